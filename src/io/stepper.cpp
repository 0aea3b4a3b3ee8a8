// The stepper motor: a motion with its parameters, and the fixed two-letter
// commands around it. The board judges every parameter; the library passes them on
// and refuses only control characters, which would break the command line.
#include <cstdio>

#include "protocol/call_turn.h"
#include "protocol/result_state.h"
#include "protocol/transaction.h"
#include "tarvelin.h"

namespace {

// "S", two characters, four numbers of at most 11 characters and three separators:
// 50 characters, well inside a command line.
constexpr int kMotionTextMax = 1 + 2 + 4 * 11 + 3;
static_assert(kMotionTextMax <= kCommandMax);

// The character arguments are 32-bit slots of which the low byte counts.
int LowByte(int32_t argument) { return static_cast<int>(static_cast<unsigned char>(argument & 0xFF)); }

// A control character would cut the command (NUL) or end its line early (carriage
// return), so that the board receives another command than the one asked for.
bool IsPrintable(int c) { return c >= 32 && c != 127; }

int32_t RunForAcknowledge(const char* command) { return QelCommand(command) == 1 ? 1 : -1; }

int32_t RunForValue(const char* command) { return QelCommand(command) == 1 ? DefaultBoard().LastValue.load() : -1; }

}  // namespace

int32_t TARVELIN_CALL MotorGo(int32_t first, int32_t second, int32_t number1, int32_t number2, int32_t number3,
                              int32_t number4) {
  CallTurn turn;
  if (!turn.Granted()) return -1;
  if (!IsPrintable(LowByte(first)) || !IsPrintable(LowByte(second))) {
    RecordError(LibraryErrorId::MotorCharacters);
    return -1;
  }
  char command[kMotionTextMax + 1];
  snprintf(command, sizeof command, "S%c%c%d;%d;%d;%d", LowByte(first), LowByte(second), static_cast<int>(number1),
           static_cast<int>(number2), static_cast<int>(number3), static_cast<int>(number4));
  return RunForAcknowledge(command);
}

int32_t TARVELIN_CALL MotorStop() {
  CallTurn turn;
  if (!turn.Granted()) return -1;
  return RunForAcknowledge("SS");
}

int32_t TARVELIN_CALL MotorCounterReset() {
  CallTurn turn;
  if (!turn.Granted()) return -1;
  return RunForAcknowledge("SR");
}

int32_t TARVELIN_CALL GetMotorCounter() {
  CallTurn turn;
  if (!turn.Granted()) return -1;
  return RunForValue("SN");
}

int32_t TARVELIN_CALL GetMotorFlag() {
  CallTurn turn;
  if (!turn.Granted()) return -1;
  return RunForValue("S?");
}

// The board answers a disable with the counter it stopped at.
int32_t TARVELIN_CALL DisableMotor() {
  CallTurn turn;
  if (!turn.Granted()) return -1;
  return RunForValue("SD");
}
