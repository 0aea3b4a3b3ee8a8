#include "protocol/result_state.h"

#include "platform/host.h"
#include "serial/comm_channel.h"

#include <cstdio>
#include <cstring>


namespace {

const char kEmptyText[] = "";


const char* OrEmpty(const char* text) { return text != nullptr ? text : ""; }

// The texts that carry the command are formats from the error tables, never from
// outside; `second` is passed only to formats with two placeholders.
void FormatErrorText(const char* format, const char* first, const char* second = nullptr) {
#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
#endif
  DefaultBoard().ErrorTextLock.Acquire();
  if (second == nullptr) {
    snprintf(DefaultBoard().ErrorText, sizeof DefaultBoard().ErrorText, format, OrEmpty(first));
  } else {
    snprintf(DefaultBoard().ErrorText, sizeof DefaultBoard().ErrorText, format, OrEmpty(first), second);
  }
  DefaultBoard().ErrorTextLock.Release();
#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif
  DefaultBoard().ErrorMessage = DefaultBoard().ErrorText;
}

}  // namespace

void ResetError() {
  DefaultBoard().ErrorCode = -1;
  DefaultBoard().ErrorMessage = kEmptyText;
}

void ClearErrorMessage() { DefaultBoard().ErrorMessage = kEmptyText; }

void RecordFixedError(int32_t code, const char* text) {
  DefaultBoard().ErrorCode = code;
  DefaultBoard().ErrorMessage = text;
}

void RecordError(LibraryErrorId id, const char* command, const char* answer) {
  const LibraryError& error = LibraryErrorOf(id);
  DefaultBoard().ErrorCode = error.code;
  switch (error.kind) {
    case TextKind::Fixed:
      DefaultBoard().ErrorMessage = error.text;
      return;
    case TextKind::Copied:
      DefaultBoard().ErrorTextLock.Acquire();
      snprintf(DefaultBoard().ErrorText, sizeof DefaultBoard().ErrorText, "%s", error.text);
      DefaultBoard().ErrorTextLock.Release();
      DefaultBoard().ErrorMessage = DefaultBoard().ErrorText;
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
  DefaultBoard().ErrorCode = error.code;
  FormatErrorText(error.transactionFormat, command);
}

void CopyErrorMessage(char* buffer) {
  DefaultBoard().ErrorTextLock.Acquire();
  strcpy(buffer, DefaultBoard().ErrorMessage.load());  // every error text is at most 151 characters
  DefaultBoard().ErrorTextLock.Release();
}

bool PortIsOpen() { return DefaultBoard().PortInitialized != 0 && ChannelOpen(); }

void SaveResult(ResultSnapshot* snapshot) {
  snapshot->value = DefaultBoard().LastValue;
  snapshot->code = DefaultBoard().ErrorCode;
  DefaultBoard().ErrorTextLock.Acquire();
  snapshot->message = DefaultBoard().ErrorMessage.load();
  memcpy(snapshot->text, DefaultBoard().ErrorText, sizeof DefaultBoard().ErrorText);
  DefaultBoard().ErrorTextLock.Release();
}

void RestoreResult(const ResultSnapshot& snapshot) {
  DefaultBoard().ErrorTextLock.Acquire();
  memcpy(DefaultBoard().ErrorText, snapshot.text, sizeof DefaultBoard().ErrorText);
  DefaultBoard().ErrorTextLock.Release();
  DefaultBoard().LastValue = snapshot.value;
  DefaultBoard().ErrorCode = snapshot.code;
  DefaultBoard().ErrorMessage = snapshot.message;
}
