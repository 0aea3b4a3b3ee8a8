// The PWM output: a run of pulses at a frequency and duty cycle, counted in
// model time, "P" when a run of N pulses is out; and the period input.
#include <algorithm>

#include "model.h"

namespace tarvelin::board::model {
namespace {

constexpr size_t kPwmFields = 3;             // frequency;duty;pulses
constexpr long long kMinEdgeTimeFactor = 500;  // high or low time >= 20 us <=> percent * 500 >= frequency
constexpr long long kMeasuredPeriodUs = 2000;

}  // namespace

int64_t PwmPulsesAt(const State& state, int64_t nowUs) {
  const Pwm& pwm = state.pwm;
  if (!pwm.running) return pwm.pulses;
  const int64_t counted = CountIn(nowUs - pwm.startUs, pwm.frequency);
  return pwm.target > 0 ? std::min(counted, pwm.target) : counted;
}

void AdvancePwm(State& state, int64_t nowUs, std::string& events) {
  Pwm& pwm = state.pwm;
  if (!pwm.running || nowUs < pwm.endUs) return;
  pwm.pulses = pwm.target;
  pwm.running = false;
  events += 'P';
}

// "W<f>;<d>;<n>" starts a run (replacing the one under way); "WN" reads its count.
std::string PwmCommand(Command& command, std::string_view args) {
  State& state = command.state;
  Pwm& pwm = state.pwm;
  if (args == "N") return Value(state, "W=", Wrap32(PwmPulsesAt(state, command.nowUs)));

  std::string_view fields[kPwmFields];
  size_t count = 0;
  if (!SplitFields(args, fields, kPwmFields, count) || count != kPwmFields) return DeviceError('5');
  long long frequency = 0;
  long long duty = 0;
  long long pulses = 0;
  if (!ParseNumber(fields[0], frequency) || !ParseNumber(fields[1], duty) || !ParseNumber(fields[2], pulses) ||
      frequency <= 0 || duty < 0 || duty > 100 || pulses < 0) {
    return DeviceError('5');
  }
  // Duty 0 and 100 hold the output low or high: no edges, so no pulses either.
  const bool pulsing = duty != 0 && duty != 100;
  if (pulsing && std::min(duty, 100 - duty) * kMinEdgeTimeFactor < frequency) return DeviceError('8');

  pwm = Pwm{};
  pwm.running = pulsing;
  pwm.frequency = frequency;
  pwm.target = pulses;
  pwm.startUs = command.nowUs;
  pwm.endUs = pulsing && pulses > 0 ? command.nowUs + TimeFor(pulses, frequency) : kNever;
  return Prompt();
}

// "GP": the period input's measured period in microseconds.
std::string Period(Command& command, std::string_view args) {
  if (!args.empty()) return DeviceError('1');
  return Value(command.state, "T=", kMeasuredPeriodUs);
}

}  // namespace tarvelin::board::model
