// The stand-in's environment access and what it remembers of a failed open.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/port_open_failure.h"
#include "standin_internal.h"

namespace {

// Per thread, as GetLastError is: the open that failed on this thread.
thread_local char FailedPath[512];
thread_local int FailedErrno = 0;

}  // namespace

DWORD GetEnvironmentVariableA(LPCSTR name, LPSTR buffer, DWORD size) {
  const char* value = name != nullptr ? getenv(name) : nullptr;
  if (value == nullptr) {
    SetLastError(203);  // ERROR_ENVVAR_NOT_FOUND
    return 0;
  }
  const size_t length = strlen(value);
  if (buffer == nullptr || length >= size) return static_cast<DWORD>(length + 1);
  memcpy(buffer, value, length + 1);
  return static_cast<DWORD>(length);
}

namespace standin {

void NoteOpenFailure(const char* path, int error) {
  snprintf(FailedPath, sizeof FailedPath, "%s", path != nullptr ? path : "");
  FailedErrno = error;
}

}  // namespace standin

void DescribeOpenFailure(const char* name, char* text, size_t size) {
  if (text == nullptr || size == 0) return;
  const char* device = FailedPath[0] != '\0' ? FailedPath : (name != nullptr ? name : "");
  // The exclusive lock and TIOCEXCL refuse a port that another program holds.
  const char* reason = FailedErrno == EWOULDBLOCK || FailedErrno == EBUSY ? "in use by another program"
                       : FailedErrno == ENOTTY                             ? "not a serial device"
                       : FailedErrno != 0                                   ? strerror(FailedErrno)
                                                                            : "unknown reason";
  snprintf(text, size, "%s: %s", device, reason);
}
