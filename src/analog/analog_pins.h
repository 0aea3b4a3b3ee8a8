// The port D framing around analog conversions and the one-time set-up of the
// analog pins, shared by single conversions and block sampling.
#pragma once

#include <cstdint>

namespace tarvelin {
struct Board;
}  // namespace tarvelin

constexpr char kAnalogPinSetup[] = "PCD$98";
constexpr char kPortDBeforeConversion[] = "PWD0";
constexpr char kPortDAfterConversion[] = "PWD128";
constexpr char kPortDAfterBlock[] = "PWD$80";

// Sends the analog pin set-up unless the board has accepted it since the flag
// was last cleared. False when the board refused it (the error is recorded).
bool ConfigureAnalogPins(tarvelin::Board& board);
