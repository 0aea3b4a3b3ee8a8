// The PWM output (frequency, duty cycle, pulse count, output counter and the
// end-of-run event) and the period measurement.
#include <cstdio>

#include "board/families.h"
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
bool InRange(tarvelin::Board& board, int32_t value, const Range& range) {
  if (value >= range.low && value <= range.high) return true;
  RecordError(board, range.error);
  return false;
}

}  // namespace

// Test and clear in one step: a "P" the reader latches between a separate test
// and clear would otherwise be wiped out unreported.
int32_t TARVELIN_CALL GetPWMFinishFlag() {
  return DefaultBoard().PwmFinished.exchange(0, std::memory_order_acq_rel) != 0 ? 1 : 0;
}

namespace tarvelin {

int32_t SetPWMFrequency(Board& board, int32_t frequency, int32_t dutyCycle, int32_t pulses) {
  CallTurn turn(board);
  if (!turn.Granted()) return -1;
  if (!InRange(board, frequency, kFrequencyRange) || !InRange(board, dutyCycle, kDutyCycleRange) ||
      !InRange(board, pulses, kPulsesRange)) {
    return -1;
  }
  char command[40];
  snprintf(command, sizeof command, "W%d;%d;%d", static_cast<int>(frequency), static_cast<int>(dutyCycle),
           static_cast<int>(pulses));
  return QelCommand(board, command) == 1 ? 1 : -1;
}

int32_t GetPWMOutputCounter(Board& board) {
  CallTurn turn(board);
  if (!turn.Granted()) return -1;
  return QelCommand(board, "WN") == 1 ? board.LastValue.load() : -1;
}

int32_t GetPeriod(Board& board) {
  CallTurn turn(board);
  if (!turn.Granted()) return -1;
  return QelCommand(board, "GP") == 1 ? board.LastValue.load() : -1;
}

}  // namespace tarvelin

// The classic exports act on the default board.
int32_t TARVELIN_CALL SetPWMFrequency(int32_t frequency, int32_t dutyCycle, int32_t pulses) {
  return tarvelin::SetPWMFrequency(DefaultBoard(), frequency, dutyCycle, pulses);
}
int32_t TARVELIN_CALL GetPWMOutputCounter() { return tarvelin::GetPWMOutputCounter(DefaultBoard()); }
int32_t TARVELIN_CALL GetPeriod() { return tarvelin::GetPeriod(DefaultBoard()); }
