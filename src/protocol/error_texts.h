// The library-wide error codes and their texts, in one table each.
#pragma once

#include <cstdint>

// Errors the library records itself. The same code may carry different texts in
// different families; the text tells them apart.
enum class LibraryErrorId {
  NoPortOpen,            // 25
  Timeout,               // 26, formatted with the command
  BadCommandText,        // 27
  MalformedDeviceError,  // 33, formatted with the answer and the command
  PortNotOpen,           // 35
  UnableToOpen,          // 36
  BaudNotAccepted,       // 77
  BaudNoCommunication,   // 77
  // Digital ports
  NoSuchPort,      // 4
  PortValueRange,  // 80
  WrongPort,       // 81
  // Stepper
  MotorCharacters,  // 34
  // PWM
  PwmFrequency,  // 60
  PwmDutyCycle,  // 61
  PwmPulses,     // 62
  // Analog input
  AdcResolution,        // 60
  AdcChannel,           // 61
  AdcWrongChannel,      // 50
  AdcValueRange,        // 29
  SampleCount,          // 60
  SampleResolution,     // 61
  SampleTimeout,        // 26
  SampleArrayMissing,   // 28
  SampleArrayUnusable,  // 28
  SampleArrayTooSmall,  // 28, formatted with the indices needed and those the array has
  // I/O-485 network
  Io485Address,             // 30
  Io485Selector,            // 31
  Io485Broadcast,           // 32
  Io485ResetCommunication,  // 50
  Io485ResetBaudRate,       // 50
  Io485InitCommunication,   // 50
  // Calls, threads and the line
  CalledWhileWaiting,  // 37
  ClosedWhileWaiting,  // 38
  LineGone,            // 39
  // Answers that are not values, and lost input
  NotAValue,        // 40, formatted with the answer and the command
  RecordNotAValue,  // 40, formatted with the record and the sampling command
  InputLost,        // 41, formatted with the command
  // Boards by handle
  Cancelled,  // 92
  Count
};

// Formatted texts take the command text for their %s; AnswerFormatted texts take
// the quoted answer for their first %s and the command text for their second.
enum class TextKind { Fixed, Copied, Formatted, AnswerFormatted };

struct LibraryError {
  int32_t code;
  TextKind kind;
  const char* text;
};

const LibraryError& LibraryErrorOf(LibraryErrorId id);

// The fixed text of a code, whatever the family that recorded it; "No error"
// for 0 and "Unknown error code" for a code the library never gives.
const char* CodeText(int32_t code);

// The board's errors: "?" and one hexadecimal digit 1..F.
struct DeviceError {
  char digit;
  int32_t code;
  const char* transactionFormat;  // %s: the command text
  const char* blockText;
  const char* blockTextVb;        // the safe-array variant's text where it differs
};

// Null when the character is not a digit of the table (upper case only).
const DeviceError* FindDeviceError(char digit);
