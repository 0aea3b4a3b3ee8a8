// Reading the board's answer: the filter, the device-error form and the value rule.
#pragma once

#include <cstdint>

enum class AnswerKind {
  Acknowledge,   // at most one character after filtering: the bare prompt
  Value,         // value is set (0 when the answer carries none)
  DeviceError,   // "?" and a digit of the table: digit is set
  UnknownError,  // "?" and any other character
};

struct AnswerOutcome {
  AnswerKind kind;
  int32_t value;
  char digit;
};

// The filtered answer keeps at most this many characters, the first ones.
constexpr int kFilteredMax = 99;

// Drops BEL, LF, CR, 'H' and 'L' from text[0, length) into out (kFilteredMax + 1
// bytes), NUL-terminated; returns the filtered length.
int FilterAnswer(const char* text, int32_t length, char* out);

// Examines an answer as the transaction does. With io485Mode the value starts
// at the first character, otherwise at the third.
AnswerOutcome ExamineAnswer(const char* text, int32_t length, bool io485Mode);

// Decimal conversion with the rules of atoi (leading white space, a sign, the
// digits up to the first non-digit, 0 without digits), saturating at the
// limits of 32 bits instead of overflowing.
int32_t ParseDecimal(const char* text);
