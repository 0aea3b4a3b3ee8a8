// Opening, closing and re-rating the connection, and the version.
#include <cstring>

#include "board/families.h"
#include "protocol/baud_rate.h"
#include "protocol/call_turn.h"
#include "protocol/result_state.h"
#include "protocol/transaction.h"
#include "serial/answer_text.h"
#include "serial/comm_channel.h"
#include "tarvelin.h"
#include "tarvelin_version.h"

namespace {

// " Dorvik DLL version 3.51": major and minor of the project version. Hosts
// size their buffers for its 25 bytes (GetDLLVersionVb copies exactly that).
constexpr char kVersionText[] = " Dorvik DLL version " TARVELIN_VERSION_SHORT;
static_assert(sizeof kVersionText == 25, "the version text is 24 characters and its NUL");
char VersionCopy[256];

constexpr uint32_t kSettleMs = 300;
constexpr uint32_t kResyncPauseMs = 100;

int32_t OpenAt(tarvelin::Board& board, int32_t port, int32_t rate, const char* device = nullptr) {
  board.PortInitialized = 1;
  board.BaudRate = rate;
  board.PortNumber = port;
  SelectPortBaudRate(board, rate);
  {
    NestedCallGuard nested(board);
    CloseComm(board);
  }
  SetCommSettings(board, board.BaudRate.load(), static_cast<uint32_t>(board.PortBaudRate), 8, 0, 0, 0, 0, 0,
                  &board.AnswerReady, board.AnswerBuffer, kAnswerCapacity);
  ClearErrorMessage(board);
  if (!OpenComm(board, board.PortNumber, device)) {
    RecordError(board, LibraryErrorId::UnableToOpen);
    return -1;
  }
  AdoptChannelSession(board);
  tarvelin::SleepMs(kSettleMs);
  return 1;
}

void SendLoneReturns(tarvelin::Board& board, int count) {
  for (int i = 0; i < count; ++i) WriteComm(board, 1, "\r");
}

}  // namespace

int32_t TARVELIN_CALL GetPort() { return DefaultBoard().PortNumber; }

int32_t TARVELIN_CALL GetBaudRate() { return DefaultBoard().BaudRate; }

const char* TARVELIN_CALL GetDLLVersion() {
  memcpy(VersionCopy, kVersionText, sizeof kVersionText);
  return VersionCopy;
}

int32_t TARVELIN_CALL GetDLLVersionVb(char* buffer) {
  if (buffer == nullptr) return -1;
  memcpy(buffer, kVersionText, sizeof kVersionText);
  return 1;
}

namespace tarvelin {

int32_t PortOpen(Board& board, int32_t port) {
  CallTurn turn(board, TurnKind::Reopen);
  if (!turn.Granted()) return -1;
  return OpenAt(board, port, 9600);
}

int32_t PortConfigure(Board& board, int32_t port, int32_t baudRate) {
  CallTurn turn(board, TurnKind::Reopen);
  if (!turn.Granted()) return -1;
  return OpenAt(board, port, baudRate);
}

int32_t OpenBoard(Board& board, int32_t port, const char* device, int32_t baudRate) {
  CallTurn turn(board, TurnKind::Reopen);
  if (!turn.Granted()) return -1;
  return OpenAt(board, port, baudRate, device);
}

int32_t PortClose(Board& board) {
  // From another thread the close first ends the wait of the call in progress;
  // from a window procedure that a waiting call dispatched, it closes under that call.
  CallTurn turn(board, TurnKind::Close);
  // A close nested in a close (a double-clicked "Stop") finds the port closed.
  if (!ChannelOpen(board) || ChannelClosing(board)) {
    RecordError(board, LibraryErrorId::PortNotOpen);
    return -1;
  }
  tarvelin::SleepMs(kSettleMs);
  {
    NestedCallGuard nested(board);
    CloseComm(board);
  }
  return 1;
}

int32_t ChangeBaudRate(Board& board, int32_t baudRate) {
  CallTurn turn(board);
  if (!turn.Granted()) return -1;
  // A port opened once and closed since is no port: not even the current rate is "changed" on it.
  if (!PortIsOpen(board)) {
    RecordError(board, LibraryErrorId::NoPortOpen);
    return -1;
  }
  ResetError(board);
  if (baudRate == board.BaudRate) return 1;

  char command[16];
  snprintf(command, sizeof command, "B%d", static_cast<int>(baudRate));
  // The board answers at the old rate, then listens at the new one.
  if (QelCommand(board, command) != 1) {
    RecordError(board, LibraryErrorId::BaudNotAccepted);
    return -1;
  }
  board.BaudRate = baudRate;
  SelectPortBaudRate(board, baudRate);
  if (!ApplyPortBaudRate(board)) {
    // The board moved and the port could not follow: nothing can be said to it.
    RecordError(board, LibraryErrorId::BaudNoCommunication);
    return -1;
  }
  // What was owed at the old rate will not come readable at the new one.
  ForgetOwedAnswers(board);

  tarvelin::SleepMs(kResyncPauseMs);
  SendLoneReturns(board, 2);
  tarvelin::SleepMs(kResyncPauseMs);
  SendLoneReturns(board, 2);

  ResetError(board);
  if (QelCommand(board, "PRB") != 1) {
    RecordError(board, LibraryErrorId::BaudNoCommunication);
    return -1;
  }
  return 1;
}

}  // namespace tarvelin

// The classic exports act on the default board.
int32_t TARVELIN_CALL PortOpen(int32_t port) { return tarvelin::PortOpen(DefaultBoard(), port); }
int32_t TARVELIN_CALL PortConfigure(int32_t port, int32_t baudRate) {
  return tarvelin::PortConfigure(DefaultBoard(), port, baudRate);
}
int32_t TARVELIN_CALL PortClose() { return tarvelin::PortClose(DefaultBoard()); }
int32_t TARVELIN_CALL ChangeBaudRate(int32_t baudRate) { return tarvelin::ChangeBaudRate(DefaultBoard(), baudRate); }
