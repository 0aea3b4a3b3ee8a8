// The stepper motor: a motion with its parameters, and the fixed two-letter
// commands around it. The board judges every parameter; the library passes them on
// and refuses only control characters, which would break the command line.
#include <cstdio>

#include "board/families.h"
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

int32_t RunForAcknowledge(tarvelin::Board& board, const char* command) {
  return QelCommand(board, command) == 1 ? 1 : -1;
}

int32_t RunForValue(tarvelin::Board& board, const char* command) {
  return QelCommand(board, command) == 1 ? board.LastValue.load() : -1;
}

}  // namespace

// The board answers a disable with the counter it stopped at.

namespace tarvelin {

int32_t MotorGo(Board& board, int32_t first, int32_t second, int32_t number1, int32_t number2, int32_t number3,
                int32_t number4) {
  CallTurn turn(board);
  if (!turn.Granted()) return -1;
  if (!IsPrintable(LowByte(first)) || !IsPrintable(LowByte(second))) {
    RecordError(board, LibraryErrorId::MotorCharacters);
    return -1;
  }
  char command[kMotionTextMax + 1];
  snprintf(command, sizeof command, "S%c%c%d;%d;%d;%d", LowByte(first), LowByte(second), static_cast<int>(number1),
           static_cast<int>(number2), static_cast<int>(number3), static_cast<int>(number4));
  return RunForAcknowledge(board, command);
}

int32_t MotorStop(Board& board) {
  CallTurn turn(board);
  if (!turn.Granted()) return -1;
  return RunForAcknowledge(board, "SS");
}

int32_t MotorCounterReset(Board& board) {
  CallTurn turn(board);
  if (!turn.Granted()) return -1;
  return RunForAcknowledge(board, "SR");
}

int32_t GetMotorCounter(Board& board) {
  CallTurn turn(board);
  if (!turn.Granted()) return -1;
  return RunForValue(board, "SN");
}

int32_t GetMotorFlag(Board& board) {
  CallTurn turn(board);
  if (!turn.Granted()) return -1;
  return RunForValue(board, "S?");
}

int32_t DisableMotor(Board& board) {
  CallTurn turn(board);
  if (!turn.Granted()) return -1;
  return RunForValue(board, "SD");
}

}  // namespace tarvelin

// The classic exports act on the default board.
int32_t TARVELIN_CALL MotorGo(int32_t first, int32_t second, int32_t number1, int32_t number2, int32_t number3,
                              int32_t number4) {
  return tarvelin::MotorGo(DefaultBoard(), first, second, number1, number2, number3, number4);
}
int32_t TARVELIN_CALL MotorStop() { return tarvelin::MotorStop(DefaultBoard()); }
int32_t TARVELIN_CALL MotorCounterReset() { return tarvelin::MotorCounterReset(DefaultBoard()); }
int32_t TARVELIN_CALL GetMotorCounter() { return tarvelin::GetMotorCounter(DefaultBoard()); }
int32_t TARVELIN_CALL GetMotorFlag() { return tarvelin::GetMotorFlag(DefaultBoard()); }
int32_t TARVELIN_CALL DisableMotor() { return tarvelin::DisableMotor(DefaultBoard()); }
