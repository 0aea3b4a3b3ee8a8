#include "protocol/result_state.h"

#include "platform/host.h"
#include "serial/comm_channel.h"

#include <cstdio>
#include <cstring>

std::atomic<int32_t> LastValue{0};
std::atomic<int32_t> ErrorCode{0};
char ErrorText[512] = "";
std::atomic<const char*> ErrorMessage{ErrorText};

int32_t PortInitialized = 0;
int32_t Io485Mode = 0;
int32_t AdcConfigured = 0;

namespace {

const char kEmptyText[] = "";

// Held only while ErrorText is written or copied.
tarvelin::Lock TextLock;

const char* OrEmpty(const char* text) { return text != nullptr ? text : ""; }

// The texts that carry the command are formats from the error tables, never from
// outside; `second` is passed only to formats with two placeholders.
void FormatErrorText(const char* format, const char* first, const char* second = nullptr) {
#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
#endif
  TextLock.Acquire();
  if (second == nullptr) {
    snprintf(ErrorText, sizeof ErrorText, format, OrEmpty(first));
  } else {
    snprintf(ErrorText, sizeof ErrorText, format, OrEmpty(first), second);
  }
  TextLock.Release();
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
      TextLock.Acquire();
      snprintf(ErrorText, sizeof ErrorText, "%s", error.text);
      TextLock.Release();
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
  TextLock.Acquire();
  strcpy(buffer, ErrorMessage.load());  // every error text is at most 151 characters
  TextLock.Release();
}

bool PortIsOpen() { return PortInitialized != 0 && ChannelOpen(); }

void SaveResult(ResultSnapshot* snapshot) {
  snapshot->value = LastValue;
  snapshot->code = ErrorCode;
  TextLock.Acquire();
  snapshot->message = ErrorMessage.load();
  memcpy(snapshot->text, ErrorText, sizeof ErrorText);
  TextLock.Release();
}

void RestoreResult(const ResultSnapshot& snapshot) {
  TextLock.Acquire();
  memcpy(ErrorText, snapshot.text, sizeof ErrorText);
  TextLock.Release();
  LastValue = snapshot.value;
  ErrorCode = snapshot.code;
  ErrorMessage = snapshot.message;
}
