#include "analog/block_parse.h"

#include "protocol/answer_parse.h"

namespace {

// The board puts two characters in front of its '?'.
constexpr int32_t kErrorDigitIndex = 3;

struct RecordStep {
  int32_t resolution;
  int32_t step;
};
constexpr RecordStep kRecordSteps[] = {{8, 4}, {10, 5}, {12, 5}};

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// The character at kErrorDigitIndex of the answer proper: a 'P' ahead of the first
// line break is the PWM end event sent between answers and does not count.
char ErrorDigit(const char* text, int32_t length) {
  const int32_t answerStart = FirstLineBreak(text, length);
  int32_t counted = 0;
  for (int32_t at = 0; at < length; ++at) {
    if (text[at] == 'P' && at < answerStart) continue;
    if (counted++ == kErrorDigitIndex) return text[at];
  }
  return '\0';
}

}  // namespace

int32_t BlockRecordStep(int32_t resolution) {
  for (const RecordStep& entry : kRecordSteps) {
    if (entry.resolution == resolution) return entry.step;
  }
  return 0;
}

BlockOutcome ParseBlock(const char* text, int32_t length, int32_t recordStep, bool deviceErrors,
                        BlockValueSink sink, void* context) {
  BlockOutcome outcome{BlockEnd::Complete, 0, '\0', 0};
  // A step below 2 leaves no field.
  if (recordStep < 2) recordStep = 2;
  const int32_t width = recordStep - 1;
  int32_t at = 0;
  while (at < length) {
    const char c = text[at];
    if (c == '*') {
      const char* field = text + at + 1;
      int32_t value = 0;
      if (length - at - 1 < width) {
        outcome.end = BlockEnd::BadRecord;
        outcome.recordAt = at;
        return outcome;
      }
      // The board's records are zero-padded digits: read them directly, and
      // leave anything else to the general check and conversion.
      bool digits = true;
      for (int32_t i = 0; i < width && digits; ++i) digits = IsDigit(field[i]);
      if (digits) {
        for (int32_t i = 0; i < width; ++i) value = value * 10 + (field[i] - '0');
      } else if (IsValueText(field, width)) {
        char copy[8] = {};
        for (int32_t i = 0; i < width && i < 7; ++i) copy[i] = field[i];
        value = ParseDecimal(copy);
      } else {
        outcome.end = BlockEnd::BadRecord;
        outcome.recordAt = at;
        return outcome;
      }
      if (!sink(context, outcome.values, value)) {
        outcome.end = BlockEnd::StoreFailed;
        return outcome;
      }
      ++outcome.values;
      // Past the end means done; the remaining length decides, so the position cannot overflow.
      if (length - at <= recordStep) break;
      at += recordStep;
    } else if (c == '?' && deviceErrors) {
      outcome.end = BlockEnd::DeviceError;
      outcome.digit = ErrorDigit(text, length);
      return outcome;
    } else {
      ++at;
    }
  }
  return outcome;
}
