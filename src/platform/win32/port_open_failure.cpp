// Why Windows refused to open a COM port, in the system's own words.
#include "platform/port_open_failure.h"

#include <cstdio>

#include "platform/platform.h"

void DescribeOpenFailure(const char* name, char* text, size_t size) {
  if (text == nullptr || size == 0) return;
  const DWORD error = GetLastError();
  char reason[192] = "";
  if (error == ERROR_ACCESS_DENIED) {
    // A COM port is opened exclusively: access is refused while another program holds it.
    snprintf(reason, sizeof reason, "in use by another program");
  } else {
    const DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                        error, 0, reason, sizeof reason, nullptr);
    DWORD end = length;
    while (end > 0 && (reason[end - 1] == '\r' || reason[end - 1] == '\n' || reason[end - 1] == ' ')) --end;
    reason[end] = '\0';
    if (end == 0) snprintf(reason, sizeof reason, "system error %lu", static_cast<unsigned long>(error));
  }
  snprintf(text, size, "%s: %s", name != nullptr ? name : "", reason);
}
