// The digital ports A, B, C, D and S: reading a port and writing a value to it.
#include <cstdio>
#include <cstring>

#include "board/families.h"
#include "protocol/call_turn.h"
#include "protocol/result_state.h"
#include "protocol/transaction.h"
#include "tarvelin.h"

namespace {

constexpr char kPortLetters[] = "ABCDS";
// The board takes -1 as well as the byte values.
constexpr int32_t kValueMin = -1;
constexpr int32_t kValueMax = 255;

// Only the low byte of the argument names the port, and a to z name the same
// ports as A to Z; the C library's toupper would follow the locale instead.
char PortLetter(int32_t argument) {
  const auto letter = static_cast<char>(argument & 0xFF);
  return letter >= 'a' && letter <= 'z' ? static_cast<char>(letter - 'a' + 'A') : letter;
}

// strchr would also find the terminator, so NUL is tested apart.
bool IsPortLetter(char letter) { return letter != '\0' && strchr(kPortLetters, letter) != nullptr; }

}  // namespace

namespace tarvelin {

int32_t IOPortRead(Board& board, int32_t port) {
  CallTurn turn(board);
  if (!turn.Granted()) return -1;
  const char letter = PortLetter(port);
  if (!IsPortLetter(letter)) {
    RecordError(board, LibraryErrorId::NoSuchPort);
    return -1;
  }
  char command[8];
  snprintf(command, sizeof command, "PR%c", letter);
  return QelCommand(board, command) == 1 ? board.LastValue.load() : -1;
}

int32_t IOPortWrite(Board& board, int32_t port, int32_t value) {
  CallTurn turn(board);
  if (!turn.Granted()) return -1;
  const char letter = PortLetter(port);
  // The value is judged before the letter: a bad value hides a bad letter.
  if (value < kValueMin || value > kValueMax) {
    RecordError(board, LibraryErrorId::PortValueRange);
    return -1;
  }
  if (!IsPortLetter(letter)) {
    RecordError(board, LibraryErrorId::WrongPort);
    return -1;
  }
  char command[16];
  snprintf(command, sizeof command, "PW%c%d", letter, static_cast<int>(value));
  return QelCommand(board, command) == 1 ? 1 : -1;
}

}  // namespace tarvelin

// The classic exports act on the default board.
int32_t TARVELIN_CALL IOPortRead(int32_t port) { return tarvelin::IOPortRead(DefaultBoard(), port); }
int32_t TARVELIN_CALL IOPortWrite(int32_t port, int32_t value) {
  return tarvelin::IOPortWrite(DefaultBoard(), port, value);
}
