// What the channel says when the port cannot be opened.
#pragma once

#include "platform/serial_line.h"

// One debugger-output line (and a trace note) naming the device that was tried
// and the system's reason, which also ends the wire trace; called right after
// the line refused to open.
void ReportOpenFailure(const tarvelin::SerialLine& line);
