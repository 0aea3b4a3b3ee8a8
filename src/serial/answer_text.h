// The answer text that the reader appends to, with what the reader needs to
// know about it kept beside it (its length and whether it holds the prompt or an
// event character), so that a chunk costs the same however long the text is.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "platform/host.h"

namespace tarvelin {
struct Board;
}  // namespace tarvelin

// Signalled by the reader each time it raises AnswerReady from 0 to 1, and by
// whatever must end a wait early (a close from another thread, a lost line).
// Made once for the load and given back only at unload, so that a waker never
// touches a released one.
bool MakeAnswerEvent(tarvelin::Board& board);
void WakeAnswerWaiter(tarvelin::Board& board);
void ReleaseAnswerEvent(tarvelin::Board& board);

// Prompts received since the port was opened, counted by the reader under the
// text's lock as it appends, also those that did not fit into the text: how
// the library tells that an answer arrived.

// The command lines sent whose answer (its prompt) has not come yet, each with
// the tick at which it went out. A line is owed an answer for at most this
// long; past that it is forgotten. An empty line (a lone carriage return) owes nothing.
constexpr uint32_t kAnswerOwedMs = 1000;
void NoteLinesSent(tarvelin::Board& board, const char* data, int32_t byteCount);
// Retires the lines answered by the first `received` prompts and those owed too
// long; true with the time the oldest line still owed stays owed. Called by
// one thread at a time.
bool OldestOwedAnswer(tarvelin::Board& board, uint32_t received, uint32_t* leftMs);
// The last line sent stays owed for `milliseconds` from now: a block given up
// on still streams in, and is dropped before the next command.
void ExtendLastOwedAnswer(tarvelin::Board& board, uint32_t milliseconds);
void ForgetOwedAnswers(tarvelin::Board& board);

// Empties the bound answer text, forgets what it held and clears AnswerReady,
// all at once with respect to the reader. The only way to empty it. Returns
// the prompts received up to that moment: every later one is in the text.
uint32_t EmptyAnswerText(tarvelin::Board& board);

// Appends a received chunk (NUL bytes included, as far as the capacity allows)
// and raises the flags for what the text now holds; a prompt that did not fit
// still raises AnswerReady, so that the waiter learns of the overflow at once.
// Reader thread only.
void AppendAnswerChunk(tarvelin::Board& board, const char* chunk, uint32_t length);

// True when characters were dropped from the text since it was last emptied.
bool AnswerOverflowed(tarvelin::Board& board);

// The driver reported received characters lost (an overrun): noted by the
// reader, forgotten when the text is emptied, so that it fails the call in progress.
void NoteInputLost(tarvelin::Board& board);
bool InputWasLost(tarvelin::Board& board);

// The length of the text as published by the reader; the characters below it
// are complete once AnswerReady has been seen at 1.
int32_t AnswerLength(tarvelin::Board& board);
