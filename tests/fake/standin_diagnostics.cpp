// The stand-in's environment access and what it remembers of a failed open.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

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

// The system's text for the last failed open on this thread: the errno the
// device refused it with, as the driver would have put it.
DWORD FormatMessageA(DWORD, const void*, DWORD, DWORD, LPSTR buffer, DWORD size, void*) {
  if (buffer == nullptr || size == 0) return 0;
  const char* reason = FailedErrno == ENOTTY ? "not a serial device" : FailedErrno != 0 ? strerror(FailedErrno) : "";
  const int written = snprintf(buffer, size, "%s", reason);
  return written < 0 ? 0
                     : static_cast<DWORD>(static_cast<size_t>(written) < size ? written : static_cast<int>(size) - 1);
}
