// The unattended switch for the informational message boxes.
#include "protocol/notice.h"

#include "platform/host.h"
#include "serial/comm_channel.h"

namespace {

// Read at each notice from the process environment, so that a host may set it
// at any time before the call (SetEnvironmentVariableA reaches the library
// where a C runtime's own copy of the environment would not).
bool MessageBoxesOff() {
  char value[8];
  const size_t length = tarvelin::ReadEnvironment("TARVELIN_MESSAGEBOX", value, sizeof value);
  return length == 1 && value[0] == '0';
}

}  // namespace

void ShowNotice(tarvelin::Board& board, const char* text, const char* caption) {
  if (text == nullptr) text = "";
  if (caption == nullptr) caption = "";
  if (MessageBoxesOff()) {
    DebugLine("TARVELIN: MessageBox [%s] %s\n", caption, text);
    return;
  }
  LibraryMessageBox(board, text, caption, tarvelin::BoxIcon::None);
}
