// Informational notices (a conversion's value, the sampling command): message
// boxes as the library has always shown them, or debugger-output lines for
// hosts that nobody watches (services, scheduled tasks, the command-line tool).
#pragma once

namespace tarvelin {
struct Board;
}  // namespace tarvelin

// Shows `text` under `caption` with an OK button, or, while the environment
// variable TARVELIN_MESSAGEBOX is "0", writes one debugger-output line instead.
void ShowNotice(tarvelin::Board& board, const char* text, const char* caption);
