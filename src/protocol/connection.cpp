// Opening, closing and re-rating the connection, and the version.
#include <cstring>

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

int32_t OpenAt(int32_t port, int32_t rate) {
  tarvelin::Board& board = DefaultBoard();
  board.PortInitialized = 1;
  board.BaudRate = rate;
  board.PortNumber = port;
  SelectPortBaudRate(rate);
  {
    NestedCallGuard nested;
    CloseComm();
  }
  SetCommSettings(board.BaudRate.load(), static_cast<uint32_t>(board.PortBaudRate), 8, 0, 0, 0, 0, 0,
                  &board.AnswerReady, board.AnswerBuffer, kAnswerCapacity);
  ClearErrorMessage();
  if (!OpenComm(board.PortNumber)) {
    RecordError(LibraryErrorId::UnableToOpen);
    return -1;
  }
  AdoptChannelSession();
  tarvelin::SleepMs(kSettleMs);
  return 1;
}

void SendLoneReturns(int count) {
  for (int i = 0; i < count; ++i) WriteComm(1, "\r");
}

}  // namespace

int32_t TARVELIN_CALL PortOpen(int32_t port) {
  CallTurn turn(TurnKind::Reopen);
  if (!turn.Granted()) return -1;
  return OpenAt(port, 9600);
}

int32_t TARVELIN_CALL PortConfigure(int32_t port, int32_t baudRate) {
  CallTurn turn(TurnKind::Reopen);
  if (!turn.Granted()) return -1;
  return OpenAt(port, baudRate);
}

int32_t TARVELIN_CALL PortClose() {
  // From another thread the close first ends the wait of the call in progress;
  // from a window procedure that a waiting call dispatched, it closes under that call.
  CallTurn turn(TurnKind::Close);
  // A close nested in a close (a double-clicked "Stop") finds the port closed.
  if (!ChannelOpen() || ChannelClosing()) {
    RecordError(LibraryErrorId::PortNotOpen);
    return -1;
  }
  tarvelin::SleepMs(kSettleMs);
  {
    NestedCallGuard nested;
    CloseComm();
  }
  return 1;
}

int32_t TARVELIN_CALL GetPort() { return DefaultBoard().PortNumber; }

int32_t TARVELIN_CALL GetBaudRate() { return DefaultBoard().BaudRate; }

int32_t TARVELIN_CALL ChangeBaudRate(int32_t baudRate) {
  tarvelin::Board& board = DefaultBoard();
  CallTurn turn;
  if (!turn.Granted()) return -1;
  // A port opened once and closed since is no port: not even the current rate is "changed" on it.
  if (!PortIsOpen()) {
    RecordError(LibraryErrorId::NoPortOpen);
    return -1;
  }
  ResetError();
  if (baudRate == board.BaudRate) return 1;

  char command[16];
  snprintf(command, sizeof command, "B%d", static_cast<int>(baudRate));
  // The board answers at the old rate, then listens at the new one.
  if (QelCommand(command) != 1) {
    RecordError(LibraryErrorId::BaudNotAccepted);
    return -1;
  }
  board.BaudRate = baudRate;
  SelectPortBaudRate(baudRate);
  if (!ApplyPortBaudRate()) {
    // The board moved and the port could not follow: nothing can be said to it.
    RecordError(LibraryErrorId::BaudNoCommunication);
    return -1;
  }
  // What was owed at the old rate will not come readable at the new one.
  ForgetOwedAnswers();

  tarvelin::SleepMs(kResyncPauseMs);
  SendLoneReturns(2);
  tarvelin::SleepMs(kResyncPauseMs);
  SendLoneReturns(2);

  ResetError();
  if (QelCommand("PRB") != 1) {
    RecordError(LibraryErrorId::BaudNoCommunication);
    return -1;
  }
  return 1;
}

const char* TARVELIN_CALL GetDLLVersion() {
  memcpy(VersionCopy, kVersionText, sizeof kVersionText);
  return VersionCopy;
}

int32_t TARVELIN_CALL GetDLLVersionVb(char* buffer) {
  if (buffer == nullptr) return -1;
  memcpy(buffer, kVersionText, sizeof kVersionText);
  return 1;
}
