// What the win32 line lets its own tests see, in the build against the test fake only.
#pragma once

#include "platform/serial_line.h"

namespace tarvelin {

// The port's handle while the line is open.
void* Win32PortHandle(const SerialLine& line);

}  // namespace tarvelin
