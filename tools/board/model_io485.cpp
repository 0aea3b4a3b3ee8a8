// The I/O-485 network: remote modules selected by the byte written to port A,
// and the answer mode in which values go out without their two characters.
#include "model.h"

namespace tarvelin::board::model {
namespace {

constexpr int kAddressMask = 0x1F;  // bits 0-4: the module address
constexpr int kBroadcast = 0x80;    // bit 7: every module listens
constexpr unsigned kAllModules = (1u << kModuleCount) - 1;
constexpr int kPortB = 1;

int RegisterIndex(int port) { return port == kPortB ? 0 : 1; }

}  // namespace

// "CRAP" enters the I/O-485 answer mode, "CRAD" and "CRAH" leave it.
std::string AnswerMode(Command& command, std::string_view args) {
  if (args == "P") {
    command.state.io485Mode = true;
  } else if (args == "D" || args == "H") {
    command.state.io485Mode = false;
  } else {
    return DeviceError('1');
  }
  return Prompt();
}

void SelectModules(State& state, int byte) { state.moduleSelect = byte & 0xFF; }

unsigned SelectedModules(const State& state) {
  if (state.moduleSelect < 0) return 0;
  if ((state.moduleSelect & kBroadcast) != 0) return kAllModules;
  const int address = state.moduleSelect & kAddressMask;
  return address < kModuleCount ? 1u << address : 0;
}

// A read needs exactly one module to answer; with none, or all at once, the bus times out.
std::string ReadModulePort(const State& state, int port) {
  if (state.moduleSelect < 0 || (state.moduleSelect & kBroadcast) != 0) return DeviceError('7');
  const int address = state.moduleSelect & kAddressMask;
  if (address >= kModuleCount) return DeviceError('7');
  const char tag[] = {port == kPortB ? 'B' : 'C', '='};
  return Value(state, std::string_view(tag, 2), state.modules[address][RegisterIndex(port)]);
}

std::string WriteModulePort(State& state, int port, int value) {
  const unsigned reached = SelectedModules(state);
  if (reached == 0) return DeviceError('7');
  for (int module = 0; module < kModuleCount; ++module) {
    if ((reached & (1u << module)) != 0) state.modules[module][RegisterIndex(port)] = value;
  }
  return Prompt();
}

}  // namespace tarvelin::board::model
