#include "protocol/error_texts.h"

namespace {

constexpr LibraryError kLibraryErrors[] = {
    {25, TextKind::Fixed, "Commands cannot be sent before a COM port is open"},
    {26, TextKind::Formatted, " Error Command: COM port timed out (command = %s)"},
    {27, TextKind::Fixed, "Command text is missing or longer than 62 characters"},
    {33, TextKind::AnswerFormatted, " Command Error: Malformed device error in answer \"%s\" (command = %s)"},
    {35, TextKind::Fixed, "COM port is NOT open"},
    {36, TextKind::Copied, "Unable to open COM port"},
    {77, TextKind::Copied, "Command for changing Baud Rate was not accepted"},
    {77, TextKind::Copied, "After changing Baud Rate, communication is not possible"},
    {4, TextKind::Fixed, "No such port"},
    {80, TextKind::Copied, " Value is out of range. The Value needs to be 0 < Value <256  "},
    {81, TextKind::Copied, "Wrong Port selected"},
    {34, TextKind::Fixed, "The two characters of MotorGo must be printable (codes 32 to 126)"},
    {60, TextKind::Copied, " Error in setting PWM's frequency"},
    {61, TextKind::Copied, " Error in setting PWM's Duty Cycle"},
    {62, TextKind::Copied, " Error in setting  PWM's Pulses"},
    {60, TextKind::Fixed, "Resolution must be 8, 10 or 12 [bits]"},
    {61, TextKind::Fixed, "Channel must be between 0 and 14 "},
    {50, TextKind::Fixed, " Wrong Channel  "},
    {29, TextKind::Fixed, "Returned value out of range"},
    {60, TextKind::Fixed, "Wrong Number of Samples "},
    {61, TextKind::Fixed, "Wrong ADC Resolution"},
    {26, TextKind::Fixed, "COM port timed out"},
    {28, TextKind::Fixed, "The array for the sampled values is missing"},
    {28, TextKind::Fixed, "The array for the sampled values is not a one-dimensional array of 32-bit integers"},
    {28, TextKind::Formatted, "The array for the sampled values needs the indices 0 to %s"},
    {30, TextKind::Fixed, "I/O-485 address out of range (0..31)"},
    {31, TextKind::Fixed, "I/O-485 IC out of range (0, 1 or 3 {or BROAD})"},
    {32, TextKind::Fixed, "I/O-485 Broadcast parameter must be True or False"},
    {50, TextKind::Copied, " Error of Communication in Resetting IO485 Network"},
    {50, TextKind::Copied, " Error on Setting to defualt Baud Rate, in Resetting IO485 Network"},
    {50, TextKind::Copied, " Error of Communication in Initializing IO485 Network"},
    {37, TextKind::Fixed, "Call refused: this thread is inside a call that is waiting for the board"},
    {38, TextKind::Fixed, "COM port was closed while the call was waiting for the board"},
    {39, TextKind::Fixed, "COM port is no longer available (device removed or line hung up)"},
    {40, TextKind::AnswerFormatted, " Command Error: Answer is not a value \"%s\" (command = %s)"},
    {40, TextKind::AnswerFormatted, " Error: Sampled record is not a value \"%s\" (command = %s)"},
    {41, TextKind::Formatted, " Error: Characters from the board were lost (receive overrun) (command = %s)"},
    {92, TextKind::Fixed, "Call cancelled"},
};
static_assert(sizeof kLibraryErrors / sizeof kLibraryErrors[0] == static_cast<int>(LibraryErrorId::Count));

constexpr DeviceError kDeviceErrors[] = {
    {'1', 1, "Command Error: Syntax error (command = %s)", " Syntax error", nullptr},
    {'2', 2, " Command Error: Port must be configured or enabled first! (command = %s)",
     " Port must be configured or enabled first!", nullptr},
    {'3', 3, " Command Error: Command not allowed in current configuration (command = %s)",
     "Command not allowed in current configuration !", nullptr},
    {'4', 4, " Command Error: No such port (command = %s)", "No such port", nullptr},
    {'5', 5, " Command Error: Value out of range or syntax error (command = %s)",
     "Value out of range or syntax error!", nullptr},
    {'6', 6, " Command Error: Pin configured as an output (command = %s)", "Pin configured as an output", nullptr},
    {'7', 7, " Command Error: Time out error (command = %s)", "Time out error", nullptr},
    {'8', 8, " Command Error: Frequency too high for required duty cycle (command = %s)",
     "Frequency too high for required duty cycle", nullptr},
    {'9', 9, " Command Error: Baud rate not supported (command = %s)", "Baud rate not supported", nullptr},
    {'A', 10, " Command Error: Stepper enabled, do disable first (command = %s)", " Stepper enabled, do disable first",
     nullptr},
    {'B', 11, " Command Error: SPI requires pin PD3/PS_SS always high, change and try again (command = %s)",
     "SPI requires pin PD3/PS_SS always high, change and try again", nullptr},
    {'C', 12, " Command Error: Timer not available! (command = %s)", "Timer not available!", nullptr},
    {'D', 13, " Command Error: Stepper Motor not enable (command = %s)", "Stepper Motor not enabled!",
     "Stepper Motor not enable!"},
    {'E', 14, " Command Error: Stepper running, do stop first! (command = %s)", "Stepper running, do stop first!",
     nullptr},
    {'F', 15, " Command Error: Too many chs or speed too high! (command = %s)", "Too many chs or speed too high!",
     nullptr},
};

struct CodeEntry {
  int32_t code;
  const char* text;
};
// One text per code: several families share 4, 26, 28, 50, 60, 61 and 77.
constexpr CodeEntry kCodeTexts[] = {
    {0, "No error"},
    {25, "Commands cannot be sent before a COM port is open"},
    {26, "COM port timed out"},
    {27, "Command text is missing or longer than 62 characters"},
    {28, "The buffer for the sampled values is missing or too small"},
    {29, "Returned value out of range"},
    {30, "I/O-485 address out of range (0..31)"},
    {31, "I/O-485 IC out of range (0, 1 or 3 {or BROAD})"},
    {32, "I/O-485 Broadcast parameter must be True or False"},
    {33, "Malformed device error in the answer"},
    {34, "The two characters of MotorGo must be printable (codes 32 to 126)"},
    {35, "COM port is NOT open"},
    {36, "Unable to open COM port"},
    {37, "Call refused: this thread is inside a call that is waiting for the board"},
    {38, "COM port was closed while the call was waiting for the board"},
    {39, "COM port is no longer available (device removed or line hung up)"},
    {40, "Answer is not a value"},
    {41, "Characters from the board were lost (receive overrun)"},
    {50, "Wrong channel, or I/O-485 communication failed"},
    {60, "Resolution, number of samples or PWM frequency out of range"},
    {61, "Channel, sampling resolution or PWM duty cycle out of range"},
    {62, "PWM pulses out of range"},
    {77, "Baud rate could not be changed"},
    {80, "Port value out of range (-1..255)"},
    {81, "Wrong Port selected"},
    {90, "Not an open board handle"},
    {91, "Missing or unusable argument"},
    {92, "Call cancelled"},
};

}  // namespace

const char* CodeText(int32_t code) {
  for (const CodeEntry& entry : kCodeTexts) {
    if (entry.code == code) return entry.text;
  }
  for (const DeviceError& error : kDeviceErrors) {
    if (error.code == code) return error.blockText;
  }
  return "Unknown error code";
}

const LibraryError& LibraryErrorOf(LibraryErrorId id) { return kLibraryErrors[static_cast<int>(id)]; }

const DeviceError* FindDeviceError(char digit) {
  for (const DeviceError& error : kDeviceErrors) {
    if (error.digit == digit) return &error;
  }
  return nullptr;
}
