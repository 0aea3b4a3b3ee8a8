// The stepper: a motion of a number of steps at a speed, a signed step counter
// that follows it in model time, and "L" at the end of travel.
#include <algorithm>

#include "model.h"

namespace tarvelin::board::model {
namespace {

constexpr size_t kMotionFields = 4;  // steps;speed;n3;n4

// "S<c1><c2><steps>;<speed>;<n3>;<n4>": c1 F forward or R reverse, c2 free.
std::string StartMotion(Command& command, std::string_view args) {
  Stepper& stepper = command.state.stepper;
  if (args.size() < 2 || (args[0] != 'F' && args[0] != 'R')) return DeviceError('1');
  std::string_view fields[kMotionFields];
  size_t count = 0;
  if (!SplitFields(args.substr(2), fields, kMotionFields, count) || count != kMotionFields) {
    return DeviceError('5');
  }
  long long numbers[kMotionFields] = {};
  for (size_t i = 0; i < kMotionFields; ++i) {
    if (!ParseNumber(fields[i], numbers[i])) return DeviceError('5');
  }
  if (stepper.running) return DeviceError('E');
  if (numbers[0] <= 0 || numbers[1] <= 0) return DeviceError('5');

  stepper.enabled = true;
  stepper.running = true;
  stepper.direction = args[0] == 'F' ? 1 : -1;
  stepper.steps = numbers[0];
  stepper.speed = numbers[1];
  stepper.startUs = command.nowUs;
  stepper.endUs = command.nowUs + TimeFor(stepper.steps, stepper.speed);
  return Prompt();
}

}  // namespace

int64_t StepperCounterAt(const State& state, int64_t nowUs) {
  const Stepper& stepper = state.stepper;
  if (!stepper.running) return stepper.counter;
  const int64_t done = nowUs >= stepper.endUs ? stepper.steps
                                              : std::min(stepper.steps, CountIn(nowUs - stepper.startUs, stepper.speed));
  return stepper.counter + stepper.direction * done;
}

void AdvanceStepper(State& state, int64_t nowUs, std::string& events) {
  Stepper& stepper = state.stepper;
  if (!stepper.running || nowUs < stepper.endUs) return;
  stepper.counter = StepperCounterAt(state, stepper.endUs);
  stepper.running = false;
  events += 'L';
}

std::string StepperCommand(Command& command, std::string_view args) {
  State& state = command.state;
  Stepper& stepper = state.stepper;
  if (args == "S") {  // stop where the counter stands; no end-of-travel event
    if (!stepper.enabled) return DeviceError('D');
    stepper.counter = StepperCounterAt(state, command.nowUs);
    stepper.running = false;
    return Prompt();
  }
  if (args == "R") {
    if (stepper.running) return DeviceError('E');
    stepper.counter = 0;
    return Prompt();
  }
  if (args == "N") return Value(state, "N=", Wrap32(StepperCounterAt(state, command.nowUs)));
  if (args == "?") return Value(state, "M=", stepper.running ? 1 : 0);
  if (args == "D") {
    if (stepper.running) return DeviceError('E');
    stepper.enabled = false;
    return Value(state, "N=", Wrap32(stepper.counter));
  }
  return StartMotion(command, args);
}

}  // namespace tarvelin::board::model
