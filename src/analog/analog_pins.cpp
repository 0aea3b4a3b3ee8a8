#include "analog/analog_pins.h"

#include "protocol/result_state.h"
#include "protocol/transaction.h"

bool ConfigureAnalogPins(tarvelin::Board& board) {
  if (board.AdcConfigured != 0) return true;
  if (QelCommand(board, kAnalogPinSetup) != 1) return false;
  board.AdcConfigured = 1;
  return true;
}
