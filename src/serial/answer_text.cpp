#include "serial/answer_text.h"

#include <cstring>

#include "serial/comm_channel.h"

using namespace tarvelin;

char AnswerBuffer[kAnswerBufferSize];
std::atomic<int32_t> AnswerReady{0};
Signal AnswerEvent;
std::atomic<uint32_t> PromptsReceived{0};

namespace {

// Appending and emptying exclude each other: a chunk that arrives while a
// command starts either lands before the text is emptied or after it, never
// half in the old text and half in the new. The reader holds it only for the copy.
Lock TextLock;

// Guarded by TextLock; the length is also published for AnswerLength.
std::atomic<int32_t> TextLength{0};
bool HoldsPrompt = false;
bool HoldsLimit = false;
bool HoldsPwm = false;
std::atomic<bool> Overflowed{false};
std::atomic<bool> InputLost{false};

// The owed lines, oldest first, in a ring; a line that finds it full pushes
// out the oldest, which is as good as answered for a board that far behind.
constexpr int kOwedMax = 16;
uint32_t OwedSentAt[kOwedMax];
int OwedHead = 0;
int OwedCount = 0;
uint32_t PromptsMatched = 0;

uint32_t CountOf(const char* text, size_t length, char wanted) {
  uint32_t count = 0;
  for (const char* at = text; (at = static_cast<const char*>(memchr(at, wanted, length - static_cast<size_t>(at - text)))) != nullptr; ++at) {
    ++count;
  }
  return count;
}

}  // namespace

bool MakeAnswerEvent() { return AnswerEvent.Make(); }

void WakeAnswerWaiter() {
  AnswerEvent.Raise();
  WakeLeadingCaller();
}

void ReleaseAnswerEvent() { AnswerEvent.Release(); }

void NoteLinesSent(const char* data, int32_t byteCount) {
  const uint32_t now = NowMs();
  for (int32_t i = 1; i < byteCount; ++i) {
    if (data[i] != '\r' || data[i - 1] == '\r') continue;
    if (OwedCount == kOwedMax) {
      OwedHead = (OwedHead + 1) % kOwedMax;
      --OwedCount;
    }
    OwedSentAt[(OwedHead + OwedCount) % kOwedMax] = now;
    ++OwedCount;
  }
}

bool OldestOwedAnswer(uint32_t received, uint32_t* sentAt) {
  // Prompts beyond the lines owed answer nothing still to come.
  uint32_t answered = received - PromptsMatched;
  PromptsMatched = received;
  const uint32_t now = NowMs();
  while (OwedCount > 0 && (answered > 0 || static_cast<uint32_t>(now - OwedSentAt[OwedHead]) >= kAnswerOwedMs)) {
    if (answered > 0) --answered;
    OwedHead = (OwedHead + 1) % kOwedMax;
    --OwedCount;
  }
  if (OwedCount == 0) return false;
  *sentAt = OwedSentAt[OwedHead];
  return true;
}

void ForgetOwedAnswers() {
  OwedHead = 0;
  OwedCount = 0;
  PromptsMatched = PromptsReceived.load(std::memory_order_acquire);
}

uint32_t EmptyAnswerText() {
  TextLock.Acquire();
  TextLength.store(0, std::memory_order_release);
  HoldsPrompt = HoldsLimit = HoldsPwm = false;
  Overflowed.store(false, std::memory_order_relaxed);
  InputLost.store(false, std::memory_order_relaxed);
  AnswerReady.store(0, std::memory_order_release);
  if (CommChannel.AnswerText != nullptr) CommChannel.AnswerText[0] = '\0';
  const uint32_t received = PromptsReceived.load(std::memory_order_acquire);
  TextLock.Release();
  return received;
}

bool AnswerOverflowed() { return Overflowed.load(std::memory_order_acquire); }

void NoteInputLost() { InputLost.store(true, std::memory_order_release); }
bool InputWasLost() { return InputLost.load(std::memory_order_acquire); }

void AppendAnswerChunk(const char* chunk, uint32_t length) {
  char* text = CommChannel.AnswerText;
  if (text == nullptr) return;
  // A NUL is kept: dropping it and what follows would shift a block's records
  // or turn noise into a value; the examination refuses it instead.
  const size_t size = length;
  const uint32_t prompts = CountOf(chunk, size, '>');

  bool raised = false;
  // Counted under the lock that empties the text: a prompt is either in the
  // text or counted before the emptying, never counted and appended afterwards.
  TextLock.Acquire();
  if (prompts != 0) PromptsReceived.fetch_add(prompts, std::memory_order_acq_rel);
  const int32_t used = TextLength.load(std::memory_order_relaxed);
  // The text keeps room for its terminator within the bound capacity; what does not fit is dropped.
  const int32_t limit = CommChannel.AnswerCapacity - 1;
  const size_t room = used < limit ? static_cast<size_t>(limit - used) : 0;
  const size_t take = size < room ? size : room;
  if (take != 0) {
    char* end = text + used;
    memcpy(end, chunk, take);
    end[take] = '\0';
    // Only the new characters are searched: what the text held before is remembered.
    // The prompts were counted in the whole chunk already; only a cut copy is searched again.
    if (!HoldsPrompt && (take == size ? prompts != 0 : memchr(end, '>', take) != nullptr)) HoldsPrompt = true;
    if (!HoldsLimit && memchr(end, 'L', take) != nullptr) HoldsLimit = true;
    if (!HoldsPwm && memchr(end, 'P', take) != nullptr) HoldsPwm = true;
    TextLength.store(used + static_cast<int32_t>(take), std::memory_order_release);
  }
  if (take < size) {
    Overflowed.store(true, std::memory_order_release);
    if (prompts != 0) HoldsPrompt = true;
  }
  // Flags follow what the whole text holds, so a prompt or event received
  // earlier is raised again after every chunk until the text is emptied.
  if (CommChannel.AnswerReadyFlag != nullptr) {
    if (HoldsPrompt) raised = CommChannel.AnswerReadyFlag->exchange(1, std::memory_order_acq_rel) == 0;
    if (HoldsLimit) LimitEvent.store(1, std::memory_order_release);
    if (HoldsPwm) PwmFinished.store(1, std::memory_order_release);
  }
  TextLock.Release();
  // The one waiting may be this thread, leading: it sees the flag without a wake.
  if (raised) AnswerEvent.Raise();
}

int32_t AnswerLength() { return TextLength.load(std::memory_order_acquire); }
