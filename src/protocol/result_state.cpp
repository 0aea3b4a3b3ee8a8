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
void FormatErrorText(tarvelin::Board& board, const char* format, const char* first, const char* second = nullptr) {
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

void ResetError(tarvelin::Board& board) {
  board.ErrorCode = -1;
  board.ErrorMessage = kEmptyText;
}

void ClearErrorMessage(tarvelin::Board& board) { board.ErrorMessage = kEmptyText; }

void RecordFixedError(tarvelin::Board& board, int32_t code, const char* text) {
  board.ErrorCode = code;
  board.ErrorMessage = text;
}

void RecordError(tarvelin::Board& board, LibraryErrorId id, const char* command, const char* answer) {
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
      FormatErrorText(board, error.text, command);
      return;
    case TextKind::AnswerFormatted:
      FormatErrorText(board, error.text, answer, OrEmpty(command));
      return;
  }
}

void RecordDeviceError(tarvelin::Board& board, const DeviceError& error, const char* command) {
  board.ErrorCode = error.code;
  FormatErrorText(board, error.transactionFormat, command);
}

void CopyErrorMessage(tarvelin::Board& board, char* buffer) {
  board.ErrorTextLock.Acquire();
  strcpy(buffer, board.ErrorMessage.load());  // every error text is at most 151 characters
  board.ErrorTextLock.Release();
}

bool PortIsOpen(tarvelin::Board& board) { return board.PortInitialized != 0 && ChannelOpen(board); }

void SaveResult(tarvelin::Board& board, ResultSnapshot* snapshot) {
  snapshot->value = board.LastValue;
  snapshot->code = board.ErrorCode;
  board.ErrorTextLock.Acquire();
  snapshot->message = board.ErrorMessage.load();
  memcpy(snapshot->text, board.ErrorText, sizeof board.ErrorText);
  board.ErrorTextLock.Release();
}

void RestoreResult(tarvelin::Board& board, const ResultSnapshot& snapshot) {
  board.ErrorTextLock.Acquire();
  memcpy(board.ErrorText, snapshot.text, sizeof board.ErrorText);
  board.ErrorTextLock.Release();
  board.LastValue = snapshot.value;
  board.ErrorCode = snapshot.code;
  board.ErrorMessage = snapshot.message;
}
