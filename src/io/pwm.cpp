// The PWM output (frequency, duty cycle, pulse count, output counter and the
// end-of-run event) and the period measurement.
#include <cstdio>

#include "protocol/call_turn.h"
#include "protocol/result_state.h"
#include "protocol/transaction.h"
#include "serial/comm_channel.h"
#include "tarvelin.h"

namespace {

struct Range {
  int32_t low;
  int32_t high;
  LibraryErrorId error;
};
// In the order they are tested; the first argument out of its range decides the error.
constexpr Range kFrequencyRange = {15, 15000, LibraryErrorId::PwmFrequency};
constexpr Range kDutyCycleRange = {0, 100, LibraryErrorId::PwmDutyCycle};
constexpr Range kPulsesRange = {0, 16000000, LibraryErrorId::PwmPulses};

// Records the range's error when the value is outside it.
bool InRange(int32_t value, const Range& range) {
  if (value >= range.low && value <= range.high) return true;
  RecordError(range.error);
  return false;
}

}  // namespace

int32_t TARVELIN_CALL SetPWMFrequency(int32_t frequency, int32_t dutyCycle, int32_t pulses) {
  CallTurn turn;
  if (!turn.Granted()) return -1;
  if (!InRange(frequency, kFrequencyRange) || !InRange(dutyCycle, kDutyCycleRange) || !InRange(pulses, kPulsesRange)) {
    return -1;
  }
  char command[40];
  snprintf(command, sizeof command, "W%d;%d;%d", static_cast<int>(frequency), static_cast<int>(dutyCycle),
           static_cast<int>(pulses));
  return QelCommand(command) == 1 ? 1 : -1;
}

int32_t TARVELIN_CALL GetPWMOutputCounter() {
  CallTurn turn;
  if (!turn.Granted()) return -1;
  return QelCommand("WN") == 1 ? DefaultBoard().LastValue.load() : -1;
}

// Test and clear in one step: a "P" the reader latches between a separate test
// and clear would otherwise be wiped out unreported.
int32_t TARVELIN_CALL GetPWMFinishFlag() {
  return DefaultBoard().PwmFinished.exchange(0, std::memory_order_acq_rel) != 0 ? 1 : 0;
}

int32_t TARVELIN_CALL GetPeriod() {
  CallTurn turn;
  if (!turn.Granted()) return -1;
  return QelCommand("GP") == 1 ? DefaultBoard().LastValue.load() : -1;
}
