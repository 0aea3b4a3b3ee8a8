// The outcome of the last exchange and the connection state shared by every family.
#pragma once

#include <atomic>
#include <cstdint>

#include "board/board.h"
#include "protocol/error_texts.h"

// Written by the call holding the turn; the getters read them from any thread
// (a window procedure, a polling timer) without waiting for that call.

// ErrorCode -1 and an empty text: what every transaction starts from.
void ResetError(tarvelin::Board& board);
// Makes the error message read as empty; ErrorCode stays.
void ClearErrorMessage(tarvelin::Board& board);
// Records a library error; formatted texts take the command text in place of %s,
// answer-formatted texts the quoted answer and then the command text.
void RecordError(tarvelin::Board& board, LibraryErrorId id, const char* command = nullptr,
                 const char* answer = nullptr);
// Records a board error with the text the transaction gives it.
void RecordDeviceError(tarvelin::Board& board, const DeviceError& error, const char* command);
// Records a code with a fixed text that the caller owns for the life of the library.
void RecordFixedError(tarvelin::Board& board, int32_t code, const char* text);

bool PortIsOpen(tarvelin::Board& board);

// The outcome of a call as the getters see it, kept aside and put back.
struct ResultSnapshot {
  int32_t value;
  int32_t code;
  const char* message;
  char text[kErrorTextSize];
};
void SaveResult(tarvelin::Board& board, ResultSnapshot* snapshot);
void RestoreResult(tarvelin::Board& board, const ResultSnapshot& snapshot);

// Copies the current error text into the caller's storage, whole, while no error is being recorded.
void CopyErrorMessage(tarvelin::Board& board, char* buffer);
