// Raw commands, the result of the last exchange and the limit event.
#include <cstring>

#include "protocol/result_state.h"
#include "protocol/transaction.h"
#include "serial/comm_channel.h"
#include "tarvelin.h"

int32_t TARVELIN_CALL WriteCommand(const char* command) { return QelCommand(command) == 1 ? 1 : -1; }

int32_t TARVELIN_CALL GetValue() { return LastValue; }

int32_t TARVELIN_CALL GetError() { return ErrorCode; }

const char* TARVELIN_CALL GetErrorMessage() { return ErrorMessage; }

int32_t TARVELIN_CALL GetErrorMessageVb(char* buffer) {
  if (buffer == nullptr) return -1;
  strcpy(buffer, ErrorMessage);  // every error text is at most 151 characters
  return 1;
}

int32_t TARVELIN_CALL IntStatusL() { return LimitEvent.exchange(0) != 0 ? 1 : 0; }
