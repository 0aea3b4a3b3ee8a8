// Feeds arbitrary received bytes through the reader's append and the
// transaction's examination: no input may read or write out of bounds.
#include <cstddef>
#include <cstdint>

#include "protocol/answer_parse.h"
#include "serial/answer_text.h"
#include "serial/comm_channel.h"

namespace {
char Text[64];
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  SetCommSettings(DefaultBoard(), 9600, 9600, 8, 0, 0, 0, 0, 0, &DefaultBoard().AnswerReady, Text, sizeof Text);
  EmptyAnswerText(DefaultBoard());
  const auto* bytes = reinterpret_cast<const char*>(data);
  // Chunks of up to 80 bytes, as the reader receives them.
  for (size_t at = 0; at < size; at += 80) {
    const size_t piece = size - at < 80 ? size - at : 80;
    AppendAnswerChunk(DefaultBoard(), bytes + at, static_cast<uint32_t>(piece));
  }
  (void)ExamineAnswer(Text, AnswerLength(DefaultBoard()), false);
  (void)ExamineAnswer(bytes, static_cast<int32_t>(size > 4096 ? 4096 : size), true);
  return 0;
}
