#include "serial/answer_text.h"

#include <cstring>

#include "serial/comm_channel.h"

using namespace tarvelin;

namespace {

uint32_t CountOf(const char* text, size_t length, char wanted) {
  uint32_t count = 0;
  for (const char* at = text; (at = static_cast<const char*>(memchr(at, wanted, length - static_cast<size_t>(at - text)))) != nullptr; ++at) {
    ++count;
  }
  return count;
}

}  // namespace

bool MakeAnswerEvent(tarvelin::Board& board) { return board.AnswerEvent.Make(); }

void WakeAnswerWaiter(tarvelin::Board& board) {
  board.AnswerEvent.Raise();
  WakeLeadingCaller(board);
}

void ReleaseAnswerEvent(tarvelin::Board& board) { board.AnswerEvent.Release(); }

void NoteLinesSent(tarvelin::Board& board, const char* data, int32_t byteCount) {
  const uint32_t now = NowMs();
  for (int32_t i = 1; i < byteCount; ++i) {
    if (data[i] != '\r' || data[i - 1] == '\r') continue;
    if (board.OwedCount == kOwedMax) {
      board.OwedHead = (board.OwedHead + 1) % kOwedMax;
      --board.OwedCount;
    }
    board.OwedUntil[(board.OwedHead + board.OwedCount) % kOwedMax] = now + kAnswerOwedMs;
    ++board.OwedCount;
  }
}

void ExtendLastOwedAnswer(tarvelin::Board& board, uint32_t milliseconds) {
  if (board.OwedCount == 0) return;
  board.OwedUntil[(board.OwedHead + board.OwedCount - 1) % kOwedMax] = NowMs() + milliseconds;
}

bool OldestOwedAnswer(tarvelin::Board& board, uint32_t received, uint32_t* leftMs) {
  // Prompts beyond the lines owed answer nothing still to come.
  uint32_t answered = received - board.PromptsMatched;
  board.PromptsMatched = received;
  const uint32_t now = NowMs();
  while (board.OwedCount > 0 && (answered > 0 || static_cast<int32_t>(board.OwedUntil[board.OwedHead] - now) <= 0)) {
    if (answered > 0) --answered;
    board.OwedHead = (board.OwedHead + 1) % kOwedMax;
    --board.OwedCount;
  }
  if (board.OwedCount == 0) return false;
  *leftMs = board.OwedUntil[board.OwedHead] - now;
  return true;
}

void ForgetOwedAnswers(tarvelin::Board& board) {
  board.OwedHead = 0;
  board.OwedCount = 0;
  board.PromptsMatched = board.PromptsReceived.load(std::memory_order_acquire);
}

uint32_t EmptyAnswerText(tarvelin::Board& board) {
  board.TextLock.Acquire();
  board.TextLength.store(0, std::memory_order_release);
  board.HoldsPrompt = board.HoldsLimit = board.HoldsPwm = false;
  board.Overflowed.store(false, std::memory_order_relaxed);
  board.InputLost.store(false, std::memory_order_relaxed);
  board.AnswerReady.store(0, std::memory_order_release);
  if (board.CommChannel.AnswerText != nullptr) board.CommChannel.AnswerText[0] = '\0';
  const uint32_t received = board.PromptsReceived.load(std::memory_order_acquire);
  board.TextLock.Release();
  return received;
}

bool AnswerOverflowed(tarvelin::Board& board) { return board.Overflowed.load(std::memory_order_acquire); }

void NoteInputLost(tarvelin::Board& board) { board.InputLost.store(true, std::memory_order_release); }
bool InputWasLost(tarvelin::Board& board) { return board.InputLost.load(std::memory_order_acquire); }

void AppendAnswerChunk(tarvelin::Board& board, const char* chunk, uint32_t length) {
  char* text = board.CommChannel.AnswerText;
  if (text == nullptr) return;
  // A NUL is kept: dropping it and what follows would shift a block's records
  // or turn noise into a value; the examination refuses it instead.
  const size_t size = length;
  const uint32_t prompts = CountOf(chunk, size, '>');

  bool raised = false;
  // Counted under the lock that empties the text: a prompt is either in the
  // text or counted before the emptying, never counted and appended afterwards.
  board.TextLock.Acquire();
  if (prompts != 0) board.PromptsReceived.fetch_add(prompts, std::memory_order_acq_rel);
  const int32_t used = board.TextLength.load(std::memory_order_relaxed);
  // The text keeps room for its terminator within the bound capacity; what does not fit is dropped.
  const int32_t limit = board.CommChannel.AnswerCapacity - 1;
  const size_t room = used < limit ? static_cast<size_t>(limit - used) : 0;
  const size_t take = size < room ? size : room;
  if (take != 0) {
    char* end = text + used;
    memcpy(end, chunk, take);
    end[take] = '\0';
    // Only the new characters are searched: what the text held before is remembered.
    // The prompts were counted in the whole chunk already; only a cut copy is searched again.
    if (!board.HoldsPrompt && (take == size ? prompts != 0 : memchr(end, '>', take) != nullptr))
      board.HoldsPrompt = true;
    if (!board.HoldsLimit && memchr(end, 'L', take) != nullptr) board.HoldsLimit = true;
    if (!board.HoldsPwm && memchr(end, 'P', take) != nullptr) board.HoldsPwm = true;
    board.TextLength.store(used + static_cast<int32_t>(take), std::memory_order_release);
  }
  if (take < size) {
    board.Overflowed.store(true, std::memory_order_release);
    if (prompts != 0) board.HoldsPrompt = true;
  }
  // Flags follow what the whole text holds, so a prompt or event received
  // earlier is raised again after every chunk until the text is emptied.
  if (board.CommChannel.AnswerReadyFlag != nullptr) {
    if (board.HoldsPrompt) raised = board.CommChannel.AnswerReadyFlag->exchange(1, std::memory_order_acq_rel) == 0;
    if (board.HoldsLimit) board.LimitEvent.store(1, std::memory_order_release);
    if (board.HoldsPwm) board.PwmFinished.store(1, std::memory_order_release);
  }
  board.TextLock.Release();
  // The one waiting may be this thread, leading: it sees the flag without a wake.
  if (raised) board.AnswerEvent.Raise();
}

int32_t AnswerLength(tarvelin::Board& board) { return board.TextLength.load(std::memory_order_acquire); }
