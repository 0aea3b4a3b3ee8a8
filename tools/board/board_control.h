// What the tarvelin-board executable adds to the board: control lines that a
// person or a script types while it runs, and the timestamped wire log.
#pragma once

#include <cstdio>
#include <string>

#include "virtual_board.h"

namespace tarvelin::board {

// Carries out one control line; false with the reason in `error` when the line
// is not understood. A hang-up is not carried out here but reported through
// `hangUp`, since the board's HangUp must not be called from every thread.
//   port <letter> <value>      set port A, B, C, D or S to 0..255
//   analog <channel> <value>   pin channel 0..14 to a 12-bit value (-1 releases it)
//   event L | event P          send the limit or the end-of-run event
//   raw <text>                 send bytes (\r, \n, \t, \\, \xNN escapes)
//   silent on|off              stop or resume answering
//   delay <ms>                 answer every command this late (0 = at once)
//   error <digit>              answer the next command with ?<digit> (hexadecimal)
//   hangup                     close the line: the host sees a hang-up
// Blank lines and lines starting with '#' are ignored.
bool RunControlLine(VirtualBoard& board, const std::string& line, bool& hangUp, std::string& error);

// Turns \r, \n, \t, \\ and \xNN into their bytes; false for a broken escape.
bool Unescape(const std::string& text, std::string& bytes);

// Appends one wire log line: the UTC time, "host" (bytes from the host) or
// "board" (bytes to the host), and the bytes with control characters escaped.
void LogWire(std::FILE* log, bool fromHost, const char* data, size_t size);

}  // namespace tarvelin::board
