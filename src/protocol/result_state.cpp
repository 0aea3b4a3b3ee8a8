#include "protocol/result_state.h"

#include <cstdio>
#include <cstring>

std::atomic<int32_t> LastValue{0};
std::atomic<int32_t> ErrorCode{0};
char ErrorText[512] = "";
std::atomic<const char*> ErrorMessage{ErrorText};

int32_t PortInitialized = 0;
HANDLE ConnectionHandle = INVALID_HANDLE_VALUE;
int32_t Io485Mode = 0;
int32_t AdcConfigured = 0;

namespace {

const char kEmptyText[] = "";

// Held only while ErrorText is written or copied.
SRWLOCK TextLock = SRWLOCK_INIT;

const char* OrEmpty(const char* text) { return text != nullptr ? text : ""; }

// The texts that carry the command are formats from the error tables, never from
// outside; `second` is passed only to formats with two placeholders.
void FormatErrorText(const char* format, const char* first, const char* second = nullptr) {
#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
#endif
  AcquireSRWLockExclusive(&TextLock);
  if (second == nullptr) {
    snprintf(ErrorText, sizeof ErrorText, format, OrEmpty(first));
  } else {
    snprintf(ErrorText, sizeof ErrorText, format, OrEmpty(first), second);
  }
  ReleaseSRWLockExclusive(&TextLock);
#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif
  ErrorMessage = ErrorText;
}

}  // namespace

void ResetError() {
  ErrorCode = -1;
  ErrorMessage = kEmptyText;
}

void ClearErrorMessage() { ErrorMessage = kEmptyText; }

void RecordFixedError(int32_t code, const char* text) {
  ErrorCode = code;
  ErrorMessage = text;
}

void RecordError(LibraryErrorId id, const char* command, const char* answer) {
  const LibraryError& error = LibraryErrorOf(id);
  ErrorCode = error.code;
  switch (error.kind) {
    case TextKind::Fixed:
      ErrorMessage = error.text;
      return;
    case TextKind::Copied:
      AcquireSRWLockExclusive(&TextLock);
      snprintf(ErrorText, sizeof ErrorText, "%s", error.text);
      ReleaseSRWLockExclusive(&TextLock);
      ErrorMessage = ErrorText;
      return;
    case TextKind::Formatted:
      FormatErrorText(error.text, command);
      return;
    case TextKind::AnswerFormatted:
      FormatErrorText(error.text, answer, OrEmpty(command));
      return;
  }
}

void RecordDeviceError(const DeviceError& error, const char* command) {
  ErrorCode = error.code;
  FormatErrorText(error.transactionFormat, command);
}

void CopyErrorMessage(char* buffer) {
  AcquireSRWLockExclusive(&TextLock);
  strcpy(buffer, ErrorMessage.load());  // every error text is at most 151 characters
  ReleaseSRWLockExclusive(&TextLock);
}

bool PortIsOpen() { return PortInitialized != 0 && ConnectionHandle != INVALID_HANDLE_VALUE; }

void SaveResult(ResultSnapshot* snapshot) {
  snapshot->value = LastValue;
  snapshot->code = ErrorCode;
  AcquireSRWLockExclusive(&TextLock);
  snapshot->message = ErrorMessage.load();
  memcpy(snapshot->text, ErrorText, sizeof ErrorText);
  ReleaseSRWLockExclusive(&TextLock);
}

void RestoreResult(const ResultSnapshot& snapshot) {
  AcquireSRWLockExclusive(&TextLock);
  memcpy(ErrorText, snapshot.text, sizeof ErrorText);
  ReleaseSRWLockExclusive(&TextLock);
  LastValue = snapshot.value;
  ErrorCode = snapshot.code;
  ErrorMessage = snapshot.message;
}
