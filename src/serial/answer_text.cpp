#include "serial/answer_text.h"

#include "serial/comm_channel.h"

char AnswerBuffer[kAnswerBufferSize];
std::atomic<int32_t> AnswerReady{0};

namespace {

// Written by the reader; reset by EmptyAnswerText on the calling thread.
std::atomic<int32_t> TextLength{0};
std::atomic<int32_t> HoldsPrompt{0};
std::atomic<int32_t> HoldsLimit{0};
std::atomic<int32_t> HoldsPwm{0};

}  // namespace

void EmptyAnswerText() {
  TextLength.store(0, std::memory_order_release);
  HoldsPrompt.store(0, std::memory_order_relaxed);
  HoldsLimit.store(0, std::memory_order_relaxed);
  HoldsPwm.store(0, std::memory_order_relaxed);
  if (CommChannel.AnswerText != nullptr) CommChannel.AnswerText[0] = '\0';
}

void AppendAnswerChunk(const char* chunk, uint32_t length) {
  char* text = CommChannel.AnswerText;
  if (text == nullptr) return;
  int32_t used = TextLength.load(std::memory_order_relaxed);
  // The text keeps room for its terminator within the bound capacity; what does not fit is dropped.
  const int32_t limit = CommChannel.AnswerCapacity - 1;
  for (uint32_t i = 0; i < length && chunk[i] != '\0' && used < limit; ++i) {
    const char c = chunk[i];
    text[used++] = c;
    if (c == '>') HoldsPrompt.store(1, std::memory_order_relaxed);
    if (c == 'L') HoldsLimit.store(1, std::memory_order_relaxed);
    if (c == 'P') HoldsPwm.store(1, std::memory_order_relaxed);
  }
  if (used >= 0 && used <= limit) text[used] = '\0';
  TextLength.store(used, std::memory_order_release);

  // Flags follow what the whole text holds, so a prompt or event received
  // earlier is raised again after every chunk until the text is emptied.
  if (CommChannel.AnswerReadyFlag != nullptr) {
    if (HoldsPrompt.load(std::memory_order_relaxed) != 0) {
      CommChannel.AnswerReadyFlag->store(1, std::memory_order_release);
    }
    if (HoldsLimit.load(std::memory_order_relaxed) != 0) LimitEvent.store(1, std::memory_order_release);
    if (HoldsPwm.load(std::memory_order_relaxed) != 0) PwmFinished.store(1, std::memory_order_release);
  }
}

int32_t AnswerLength() { return TextLength.load(std::memory_order_acquire); }
