// Raw commands, the result of the last exchange and the limit event.
#include <cstring>

#include "board/families.h"
#include "protocol/call_turn.h"
#include "protocol/result_state.h"
#include "protocol/transaction.h"
#include "serial/comm_channel.h"
#include "tarvelin.h"

int32_t TARVELIN_CALL GetValue() { return DefaultBoard().LastValue; }

int32_t TARVELIN_CALL GetError() { return DefaultBoard().ErrorCode; }

const char* TARVELIN_CALL GetErrorMessage() { return DefaultBoard().ErrorMessage; }

int32_t TARVELIN_CALL IntStatusL() { return DefaultBoard().LimitEvent.exchange(0) != 0 ? 1 : 0; }

namespace tarvelin {

int32_t WriteCommand(Board& board, const char* command) {
  CallTurn turn(board);
  if (!turn.Granted()) return -1;
  return QelCommand(board, command) == 1 ? 1 : -1;
}

int32_t GetErrorMessageVb(Board& board, char* buffer) {
  if (buffer == nullptr) return -1;
  CopyErrorMessage(board, buffer);
  return 1;
}

}  // namespace tarvelin

// The classic exports act on the default board.
int32_t TARVELIN_CALL WriteCommand(const char* command) { return tarvelin::WriteCommand(DefaultBoard(), command); }
int32_t TARVELIN_CALL GetErrorMessageVb(char* buffer) { return tarvelin::GetErrorMessageVb(DefaultBoard(), buffer); }
