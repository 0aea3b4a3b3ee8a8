// Raw commands, the result of the last exchange and the limit event.
#include <cstring>

#include "protocol/call_turn.h"
#include "protocol/result_state.h"
#include "protocol/transaction.h"
#include "serial/comm_channel.h"
#include "tarvelin.h"

int32_t TARVELIN_CALL WriteCommand(const char* command) {
  CallTurn turn;
  if (!turn.Granted()) return -1;
  return QelCommand(command) == 1 ? 1 : -1;
}

int32_t TARVELIN_CALL GetValue() { return DefaultBoard().LastValue; }

int32_t TARVELIN_CALL GetError() { return DefaultBoard().ErrorCode; }

const char* TARVELIN_CALL GetErrorMessage() { return DefaultBoard().ErrorMessage; }

int32_t TARVELIN_CALL GetErrorMessageVb(char* buffer) {
  if (buffer == nullptr) return -1;
  CopyErrorMessage(buffer);
  return 1;
}

int32_t TARVELIN_CALL IntStatusL() { return DefaultBoard().LimitEvent.exchange(0) != 0 ? 1 : 0; }
