// The I/O-485 network behind the board: selecting a remote module by its
// address byte, initializing the network, and resetting it.
#include <cstddef>
#include <cstdio>

#include "analog/analog_pins.h"
#include "board/families.h"
#include "protocol/call_turn.h"
#include "protocol/result_state.h"
#include "protocol/transaction.h"
#include "serial/comm_channel.h"
#include "tarvelin.h"

namespace {

// The address byte: bits 0-4 the module, bits 5-6 the IC, bit 7 broadcast.
constexpr int32_t kAddressMax = 31;
// Indexed by the IC selector 0..3; each selects its own pair of bits 5-6.
constexpr int32_t kSelectorBits[] = {0, 32, 64, 96};
constexpr int32_t kSelectorCount = sizeof kSelectorBits / sizeof kSelectorBits[0];
constexpr int32_t kBroadcastBit = 128;

// Written raw: the board configures and addresses port A without being waited for.
constexpr char kPortAOutputs[] = "PCA255\r";
constexpr char kSelectAllBroadcast[] = "PWA224\r";
constexpr uint32_t kRawPauseMs = 100;

constexpr int32_t kDefaultBaudRate = 9600;
const char kNoText[] = "";

template <size_t N>
void WriteRaw(tarvelin::Board& board, const char (&text)[N]) {
  WriteComm(board, static_cast<int32_t>(N - 1), text);
}

}  // namespace

namespace tarvelin {

int32_t IO485Address(Board& board, int32_t address, int32_t selector, int32_t broadcast) {
  CallTurn turn(board);
  if (!turn.Granted()) return -1;
  // A port opened once and closed since is no port: the selection would go nowhere.
  if (!PortIsOpen(board)) {
    RecordError(board, LibraryErrorId::NoPortOpen);
    return -1;
  }
  if (address < 0 || address > kAddressMax) {
    RecordError(board, LibraryErrorId::Io485Address);
    return -1;
  }
  if (selector < 0 || selector >= kSelectorCount) {
    RecordError(board, LibraryErrorId::Io485Selector);
    return -1;
  }
  if (broadcast != 0 && broadcast != 1) {
    RecordError(board, LibraryErrorId::Io485Broadcast);
    return -1;
  }
  const int32_t addressByte = address + kSelectorBits[selector] + (broadcast == 1 ? kBroadcastBit : 0);

  char command[16];
  snprintf(command, sizeof command, "PWA%d", static_cast<int>(addressByte));
  // The selection and the read that follows act on the bus alone; what the board
  // answers to them is left in the result state for the host to inspect.
  QelCommand(board, command);
  WriteRaw(board, "\r");
  WriteRaw(board, "\r");
  QelCommand(board, "PRB");
  return 1;
}

int32_t IO485Initialize(Board& board) {
  CallTurn turn(board);
  if (!turn.Granted()) return -1;
  WriteRaw(board, kPortAOutputs);
  tarvelin::SleepMs(kRawPauseMs);
  WriteRaw(board, kSelectAllBroadcast);
  tarvelin::SleepMs(kRawPauseMs);
  // Two empty command lines; what the board makes of them is not looked at.
  QelCommand(board, "\r");
  QelCommand(board, "\r");

  if (QelCommand(board, "PCSA128") != 1 || QelCommand(board, kAnalogPinSetup) != 1) {
    RecordError(board, LibraryErrorId::Io485InitCommunication);
    return -1;
  }
  board.AdcConfigured = 1;
  if (QelCommand(board, kPortDAfterConversion) != 1) return -1;
  if (QelCommand(board, "CRAP") != 1) {
    board.Io485Mode = 0;
    return -1;
  }
  board.Io485Mode = 1;
  return 1;
}

int32_t ResetIO485Network(Board& board) {
  CallTurn turn(board);
  if (!turn.Granted()) return -1;
  if (IO485Address(board, 0, 3, 1) == -1) {
    RecordError(board, LibraryErrorId::Io485ResetCommunication);
    return -1;
  }
  if (ChangeBaudRate(board, kDefaultBaudRate) == -1) {
    RecordError(board, LibraryErrorId::Io485ResetBaudRate);
    return -1;
  }
  // The reset proper starts from a cleared error: code 0 and no text.
  RecordFixedError(board, 0, kNoText);
  // The board comes out of its reset with the analog pins unconfigured.
  board.AdcConfigured = 0;
  QelCommand(board, "RESET");
  return IO485Initialize(board);
}

}  // namespace tarvelin

// The classic exports act on the default board.
int32_t TARVELIN_CALL IO485Address(int32_t address, int32_t selector, int32_t broadcast) {
  return tarvelin::IO485Address(DefaultBoard(), address, selector, broadcast);
}
int32_t TARVELIN_CALL IO485Initialize() { return tarvelin::IO485Initialize(DefaultBoard()); }
int32_t TARVELIN_CALL ResetIO485Network() { return tarvelin::ResetIO485Network(DefaultBoard()); }
