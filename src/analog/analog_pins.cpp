#include "analog/analog_pins.h"

#include "protocol/result_state.h"
#include "protocol/transaction.h"

bool ConfigureAnalogPins() {
  if (DefaultBoard().AdcConfigured != 0) return true;
  if (QelCommand(kAnalogPinSetup) != 1) return false;
  DefaultBoard().AdcConfigured = 1;
  return true;
}
