#include <cstdarg>
#include <cstdio>

#include "platform/host.h"

namespace tarvelin {

void DebugLine(const char* format, ...) {
  char line[256];
  va_list args;
  va_start(args, format);
  vsnprintf(line, sizeof line, format, args);
  va_end(args);
  DebugOutput(line);
}

}  // namespace tarvelin
