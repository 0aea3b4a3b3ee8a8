// The model's common ground: power-on state, the family table, answer forms,
// field parsing, and the events that model time brings.
#include <algorithm>
#include <cctype>
#include <cstring>

#include "model.h"

namespace tarvelin::board::model {
namespace {

constexpr char kPortLetters[] = "ABCDS";
constexpr int kPortBPowerOn = 255;  // port B's inputs read high at power-on

// Searched in order: a longer prefix goes before a shorter one it starts with.
constexpr Family kFamilies[] = {
    {"PR", ReadPort},     {"PW", WritePort},  {"PC", ConfigurePort}, {"RESET", ResetBoard},
    {"B", ChangeRate},    {"CRA", AnswerMode}, {"GA", Convert},      {"GS", SampleBlock},
    {"GP", Period},       {"W", PwmCommand},   {"S", StepperCommand},
};

}  // namespace

int DigitValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

State::State() {
  std::fill(std::begin(analogPins), std::end(analogPins), -1);
  PowerOn(*this);
}

void PowerOn(State& state) {
  std::fill(std::begin(state.ports), std::end(state.ports), 0);
  state.ports[1] = kPortBPowerOn;
  std::fill(std::begin(state.directions), std::end(state.directions), 0);
  state.portSSpecial = false;
  state.portSReading = 0;
  state.portSBytesLeft = 0;
  state.adcConfigured = false;
  state.io485Mode = false;
  state.moduleSelect = -1;
  for (auto& module : state.modules) std::fill(std::begin(module), std::end(module), 0);
  state.stepper = Stepper{};
  state.pwm = Pwm{};
  state.block = Block{};
}

std::string Run(Command& command, const std::string& line) {
  std::string upper = line;
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  const std::string_view text(upper);
  for (const Family& family : kFamilies) {
    if (text.substr(0, family.prefix.size()) == family.prefix) {
      return family.handler(command, text.substr(family.prefix.size()));
    }
  }
  return DeviceError('1');
}

// ---- Answers and fields ----------------------------------------------------------

std::string Prompt() { return "\r\n>"; }

std::string DeviceError(char digit) { return std::string("\r\n?") + digit + "\r\n>"; }

std::string Value(const State& state, std::string_view tag, long long value) {
  std::string text = "\r\n";
  if (!state.io485Mode) text += tag;
  return text + std::to_string(value) + "\r\n>";
}

bool ParseNumber(std::string_view text, long long& value) {
  size_t at = 0;
  const bool negative = !text.empty() && text[0] == '-';
  if (negative) ++at;
  int base = 10;
  if (at < text.size() && text[at] == '$') {
    base = 16;
    ++at;
  }
  if (at == text.size()) return false;
  const long long limit = negative ? -static_cast<long long>(INT32_MIN) : INT32_MAX;
  long long magnitude = 0;
  for (; at < text.size(); ++at) {
    const int digit = DigitValue(text[at]);
    if (digit < 0 || digit >= base) return false;
    magnitude = magnitude * base + digit;
    if (magnitude > limit) return false;
  }
  value = negative ? -magnitude : magnitude;
  return true;
}

bool SplitFields(std::string_view text, std::string_view* fields, size_t max, size_t& count) {
  count = 0;
  while (true) {
    if (count == max) return false;
    const size_t end = text.find(';');
    fields[count++] = text.substr(0, end);
    if (end == std::string_view::npos) return true;
    text.remove_prefix(end + 1);
  }
}

int PortIndex(char letter) {
  const char upper = static_cast<char>(std::toupper(static_cast<unsigned char>(letter)));
  if (upper == '\0') return -1;
  const char* found = std::strchr(kPortLetters, upper);
  return found != nullptr ? static_cast<int>(found - kPortLetters) : -1;
}

// The board's counters are 32-bit registers.
int32_t Wrap32(int64_t value) { return static_cast<int32_t>(static_cast<uint32_t>(static_cast<uint64_t>(value))); }

int64_t CountIn(int64_t elapsedUs, int64_t perSecond) {
  if (elapsedUs <= 0) return 0;
  return elapsedUs / kMicrosPerSecond * perSecond + elapsedUs % kMicrosPerSecond * perSecond / kMicrosPerSecond;
}

int64_t TimeFor(int64_t count, int64_t perSecond) {
  return (count * kMicrosPerSecond + perSecond - 1) / perSecond;
}

// ---- Time-driven behaviour -----------------------------------------------------------

void Advance(State& state, int64_t nowUs, std::string& events) {
  // Two runs ending by the same instant announce themselves in the order they ended.
  const bool pwmFirst = state.pwm.running && state.stepper.running && state.pwm.endUs < state.stepper.endUs;
  if (pwmFirst) AdvancePwm(state, nowUs, events);
  AdvanceStepper(state, nowUs, events);
  AdvancePwm(state, nowUs, events);
}

int64_t NextEventUs(const State& state) {
  int64_t next = kNever;
  if (state.stepper.running) next = std::min(next, state.stepper.endUs);
  if (state.pwm.running) next = std::min(next, state.pwm.endUs);
  return next;
}

}  // namespace tarvelin::board::model
