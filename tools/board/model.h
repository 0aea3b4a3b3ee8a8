// The board's behaviour: its state, the command families that act on it, and
// what follows model time on its own (the stepper's and the PWM's end-of-run
// events, the records of a sampling block). Everything here runs under the
// board's lock; model time is in microseconds since the board was made.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace tarvelin::board::model {

constexpr int64_t kNever = INT64_MAX;
constexpr int64_t kMicrosPerSecond = 1000000;
constexpr int kPortCount = 5;         // A, B, C, D, S
constexpr int kPortS = 4;
constexpr int kAnalogChannels = 15;   // 0..14
constexpr int kBlockChannels = 11;    // a block samples channels 0..10
constexpr int kModuleCount = 4;       // remote modules 0..3 answer on the bus
constexpr unsigned kPowerOnBaud = 9600;

struct Stepper {
  bool enabled = false;
  bool running = false;   // a motion is under way (until endUs)
  int64_t counter = 0;    // where the motion started, or where the counter stands when still
  int direction = 1;      // +1 forward, -1 reverse
  int64_t steps = 0;
  int64_t speed = 0;      // steps per second
  int64_t startUs = 0;
  int64_t endUs = 0;
};

struct Pwm {
  bool running = false;   // pulses are being put out
  int64_t frequency = 0;  // pulses per second
  int64_t target = 0;     // pulses of the run; 0 = until stopped
  int64_t pulses = 0;     // the count where the run ended
  int64_t startUs = 0;
  int64_t endUs = kNever;
};

// A sampling block that is going out: records are made as their samples fall due.
struct Block {
  bool active = false;
  bool begun = false;     // the line break in front of the records is out
  int bits = 12;
  int channels[kBlockChannels] = {};
  int channelCount = 0;
  int64_t samples = 0;    // per channel
  int64_t next = 0;       // the next sample to put out
  int64_t paceUs = 0;     // model time per sample
  int64_t startUs = 0;
};

struct State {
  State();

  int ports[kPortCount];
  int directions[kPortCount];       // bit set = output
  bool portSSpecial;                // "PCSA128": port S selects the 10-bit inputs
  int portSReading;                 // the latched 10-bit reading of input M or N
  int portSBytesLeft;               // 2: the high byte is next, 1: the low byte, 0: none
  bool adcConfigured;               // "PCD$98" accepted since power-on
  bool io485Mode;                   // answers leave out the two characters
  int moduleSelect;                 // the last byte written to port A, -1 none
  int modules[kModuleCount][2];     // each module's ports B and C
  Stepper stepper;
  Pwm pwm;
  Block block;
  int analogPins[kAnalogChannels];  // pinned 12-bit values (-1 free); survive RESET
};

// Back to the state after power-on (pinned analog values stay).
void PowerOn(State& state);

// One command being carried out.
struct Command {
  State& state;
  int64_t nowUs;
  unsigned baudAfter = 0;  // a rate to move to once the answer is out
  bool block = false;      // the answer is the sampling block in state.block
};

// Runs one command line (not empty); returns the answer text.
std::string Run(Command& command, const std::string& line);

// ---- Answers and fields (model_common.cpp) -------------------------------------

std::string Prompt();
std::string DeviceError(char digit);
// A value answer: two characters in front of the value, left out in the I/O-485 mode.
std::string Value(const State& state, std::string_view tag, long long value);
// The value of a hexadecimal digit (either case), -1 for another character.
int DigitValue(char c);
// Signed decimal or "$hex", within 32 bits.
bool ParseNumber(std::string_view text, long long& value);
// Splits `text` at ';' into at most `max` fields; false when there are more.
bool SplitFields(std::string_view text, std::string_view* fields, size_t max, size_t& count);
int PortIndex(char letter);
int32_t Wrap32(int64_t value);
// Events counted in `elapsedUs` at `perSecond` (floor), without overflow.
int64_t CountIn(int64_t elapsedUs, int64_t perSecond);
// The model time by which `count` events at `perSecond` are complete.
int64_t TimeFor(int64_t count, int64_t perSecond);

// ---- The command families --------------------------------------------------------

using Handler = std::string (*)(Command& command, std::string_view args);
struct Family {
  std::string_view prefix;
  Handler handler;
};

std::string ReadPort(Command& command, std::string_view args);        // PR
std::string WritePort(Command& command, std::string_view args);       // PW
std::string ConfigurePort(Command& command, std::string_view args);   // PC
std::string ChangeRate(Command& command, std::string_view args);      // B
std::string ResetBoard(Command& command, std::string_view args);      // RESET
std::string AnswerMode(Command& command, std::string_view args);      // CRAP, CRAD, CRAH
std::string StepperCommand(Command& command, std::string_view args);  // S...
std::string PwmCommand(Command& command, std::string_view args);      // W, WN
std::string Period(Command& command, std::string_view args);          // GP
std::string Convert(Command& command, std::string_view args);         // GA
std::string SampleBlock(Command& command, std::string_view args);     // GS

// ---- Remote modules (model_io485.cpp) ----------------------------------------------

// A byte written to port A selects the modules.
void SelectModules(State& state, int byte);
// Bit m set for each module that a write reaches now.
unsigned SelectedModules(const State& state);
// Ports B and C in the I/O-485 mode: the selected module's own registers.
std::string ReadModulePort(const State& state, int port);
std::string WriteModulePort(State& state, int port, int value);

// ---- Time-driven behaviour ------------------------------------------------------------

// Ends what has run its course by `nowUs`, appending its events ("L", "P") in time order.
void Advance(State& state, int64_t nowUs, std::string& events);
// The model time of the next event, kNever when none is pending.
int64_t NextEventUs(const State& state);

int64_t StepperCounterAt(const State& state, int64_t nowUs);
int64_t PwmPulsesAt(const State& state, int64_t nowUs);
void AdvanceStepper(State& state, int64_t nowUs, std::string& events);
void AdvancePwm(State& state, int64_t nowUs, std::string& events);

// The channel's value at `bits` (8, 10, 12) at model time `nowUs`.
int AnalogValue(const State& state, int channel, int bits, int64_t nowUs);
// When the next records of the block fall due; kNever when no block is going out.
int64_t NextBlockDueUs(const State& state);
// Appends the block's text due by `nowUs`, whole records only and about `maxBytes`
// at most; true once the block is complete (its prompt appended) or gone.
bool GenerateBlock(State& state, int64_t nowUs, size_t maxBytes, std::string& out);
void EndBlock(State& state);

}  // namespace tarvelin::board::model
