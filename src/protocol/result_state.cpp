#include "protocol/result_state.h"

#include <cstdio>
#include <cstring>

#include "platform/host.h"
#include "serial/comm_channel.h"

namespace {

const char kEmptyText[] = "";

const char* OrEmpty(const char* text) { return text != nullptr ? text : ""; }

// The texts that carry the command are formats from the error tables, never from
// outside; `second` is passed only to formats with two placeholders.
void FormatErrorText(const char* format, const char* first, const char* second = nullptr) {
  tarvelin::Board& board = DefaultBoard();
#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
#endif
  board.ErrorTextLock.Acquire();
  if (second == nullptr) {
    snprintf(board.ErrorText, sizeof board.ErrorText, format, OrEmpty(first));
  } else {
    snprintf(board.ErrorText, sizeof board.ErrorText, format, OrEmpty(first), second);
  }
  // Pointed at once the text is whole.
  board.ErrorMessage = board.ErrorText;
  board.ErrorTextLock.Release();
#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif
}

}  // namespace

void ResetError() {
  tarvelin::Board& board = DefaultBoard();
  board.ErrorCode = -1;
  board.ErrorMessage = kEmptyText;
}

void ClearErrorMessage() { DefaultBoard().ErrorMessage = kEmptyText; }

void RecordFixedError(int32_t code, const char* text) {
  tarvelin::Board& board = DefaultBoard();
  board.ErrorCode = code;
  board.ErrorMessage = text;
}

void RecordError(LibraryErrorId id, const char* command, const char* answer) {
  tarvelin::Board& board = DefaultBoard();
  const LibraryError& error = LibraryErrorOf(id);
  board.ErrorCode = error.code;
  switch (error.kind) {
    case TextKind::Fixed:
      board.ErrorMessage = error.text;
      return;
    case TextKind::Copied:
      board.ErrorTextLock.Acquire();
      snprintf(board.ErrorText, sizeof board.ErrorText, "%s", error.text);
      board.ErrorMessage = board.ErrorText;
      board.ErrorTextLock.Release();
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
  tarvelin::Board& board = DefaultBoard();
  board.ErrorTextLock.Acquire();
  strcpy(buffer, board.ErrorMessage.load());  // every error text is at most 151 characters
  board.ErrorTextLock.Release();
}

bool PortIsOpen() { return DefaultBoard().PortInitialized != 0 && ChannelOpen(); }

void SaveResult(ResultSnapshot* snapshot) {
  tarvelin::Board& board = DefaultBoard();
  snapshot->value = board.LastValue;
  snapshot->code = board.ErrorCode;
  board.ErrorTextLock.Acquire();
  snapshot->message = board.ErrorMessage.load();
  memcpy(snapshot->text, board.ErrorText, sizeof board.ErrorText);
  board.ErrorTextLock.Release();
}

void RestoreResult(const ResultSnapshot& snapshot) {
  tarvelin::Board& board = DefaultBoard();
  board.ErrorTextLock.Acquire();
  memcpy(board.ErrorText, snapshot.text, sizeof board.ErrorText);
  board.ErrorTextLock.Release();
  board.LastValue = snapshot.value;
  board.ErrorCode = snapshot.code;
  board.ErrorMessage = snapshot.message;
}
