// Digital ports A, B, C, D and S, their direction registers, the 10-bit reading
// through port S, the line rate and the reset.
#include <algorithm>
#include <iterator>

#include "model.h"

namespace tarvelin::board::model {
namespace {

constexpr int kPortA = 0;
constexpr int kPortB = 1;
constexpr int kPortC = 2;
constexpr int kPortD = 3;
constexpr int kAnalogPinsSetUp = 0x98;  // "PCD$98": the analog converter's pins on port D
constexpr int kSpecialOn = 0x80;        // "PCSA128"
constexpr int kPatternM = 0x60;         // "PWS$60" selects input M
constexpr int kPatternN = 0x70;         // "PWS$70" selects input N
constexpr int kInputMChannel = 12;      // inputs M and N carry the signals of these channels
constexpr int kInputNChannel = 13;
constexpr int kInputBits = 10;
constexpr unsigned kBoardRates[] = {300, 1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200};

bool ParseByte(std::string_view text, int& byte) {
  long long value = 0;
  if (!ParseNumber(text, value) || value < 0 || value > 255) return false;
  byte = static_cast<int>(value);
  return true;
}

bool Writable(const State& state, int index) {
  return state.directions[index] != 0 || (index == kPortS && state.portSSpecial);
}

}  // namespace

// "PR<port>": the port's register, or the pending byte of the port S reading.
std::string ReadPort(Command& command, std::string_view args) {
  State& state = command.state;
  if (args.empty()) return DeviceError('1');
  const int index = PortIndex(args[0]);
  if (index < 0) return DeviceError('4');
  if (args.size() != 1) return DeviceError('1');
  if (state.io485Mode && (index == kPortB || index == kPortC)) return ReadModulePort(state, index);
  if (index == kPortS && state.portSBytesLeft > 0) {
    // The high byte carries bits 9 and 8, the low byte bits 7 to 0.
    const int byte = state.portSBytesLeft == 2 ? (state.portSReading >> 8) & 3 : state.portSReading & 0xFF;
    --state.portSBytesLeft;
    return Value(state, "S=", byte);
  }
  return Value(state, std::string(1, args[0]) + "=", state.ports[index]);
}

// "PW<port><value>": -1..255, -1 stored as 255; the port needs an output bit.
std::string WritePort(Command& command, std::string_view args) {
  State& state = command.state;
  if (args.empty()) return DeviceError('1');
  const int index = PortIndex(args[0]);
  if (index < 0) return DeviceError('4');
  long long value = 0;
  if (!ParseNumber(args.substr(1), value) || value < -1 || value > 255) return DeviceError('5');
  const int byte = static_cast<int>(value & 0xFF);
  if (state.io485Mode && (index == kPortB || index == kPortC)) return WriteModulePort(state, index, byte);
  if (!Writable(state, index)) return DeviceError('2');
  state.ports[index] = byte;
  if (index == kPortA) SelectModules(state, byte);
  if (index == kPortS) {
    // A conversion is latched at the selection, so both bytes read belong to one value.
    state.portSBytesLeft = 0;
    if (state.portSSpecial && (byte == kPatternM || byte == kPatternN)) {
      const int channel = byte == kPatternM ? kInputMChannel : kInputNChannel;
      state.portSReading = AnalogValue(state, channel, kInputBits, command.nowUs);
      state.portSBytesLeft = 2;
    }
  }
  return Prompt();
}

// "PC<port><n>": the direction register (bit set = output); "PCSA<n>": port S's special function.
std::string ConfigurePort(Command& command, std::string_view args) {
  State& state = command.state;
  if (args.empty()) return DeviceError('1');
  const int index = PortIndex(args[0]);
  if (index < 0) return DeviceError('4');
  int byte = 0;
  if (index == kPortS && args.size() > 1 && args[1] == 'A') {
    if (!ParseByte(args.substr(2), byte) || (byte != 0 && byte != kSpecialOn)) return DeviceError('5');
    state.portSSpecial = byte == kSpecialOn;
    if (!state.portSSpecial) state.portSBytesLeft = 0;
    return Prompt();
  }
  if (!ParseByte(args.substr(1), byte)) return DeviceError('5');
  state.directions[index] = byte;
  if (index == kPortD && byte == kAnalogPinsSetUp) state.adcConfigured = true;
  return Prompt();
}

// "B<rate>": the acknowledgement still goes out at the old rate.
std::string ChangeRate(Command& command, std::string_view args) {
  long long value = 0;
  if (!ParseNumber(args, value) ||
      std::find(std::begin(kBoardRates), std::end(kBoardRates), value) == std::end(kBoardRates)) {
    return DeviceError('9');
  }
  command.baudAfter = static_cast<unsigned>(value);
  return Prompt();
}

// "RESET": answered at the current rate, then the board is as after power-on.
std::string ResetBoard(Command& command, std::string_view args) {
  if (!args.empty()) return DeviceError('1');
  PowerOn(command.state);
  command.baudAfter = kPowerOnBaud;
  return Prompt();
}

}  // namespace tarvelin::board::model
