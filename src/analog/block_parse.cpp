#include "analog/block_parse.h"

#include "protocol/answer_parse.h"

namespace {

// The conversion reads this many characters after a '*', whatever the record's width.
constexpr int32_t kFieldRead = 4;
// The board puts two characters in front of its '?'.
constexpr int32_t kErrorDigitIndex = 3;

struct RecordStep {
  int32_t resolution;
  int32_t step;
};
constexpr RecordStep kRecordSteps[] = {{8, 4}, {10, 5}, {12, 5}};

bool IsSpace(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// atoi over text[from, end): white space, a sign, digits up to the first other
// character; 0 without digits. Four characters cannot overflow.
int32_t FieldValue(const char* text, int32_t from, int32_t end) {
  int32_t at = from;
  while (at < end && IsSpace(text[at])) ++at;
  bool negative = false;
  if (at < end && (text[at] == '+' || text[at] == '-')) {
    negative = text[at] == '-';
    ++at;
  }
  int32_t value = 0;
  for (; at < end && text[at] >= '0' && text[at] <= '9'; ++at) value = value * 10 + (text[at] - '0');
  return negative ? -value : value;
}

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
  BlockOutcome outcome{BlockEnd::Complete, 0, '\0'};
  // A step below 1 would not advance.
  if (recordStep < 1) recordStep = 1;
  int32_t at = 0;
  while (at < length) {
    const char c = text[at];
    if (c == '*') {
      const int32_t fieldEnd = length - at - 1 < kFieldRead ? length : at + 1 + kFieldRead;
      // The board's records are zero-padded digits: read them directly, and
      // leave anything else to the general conversion.
      const char* field = text + at + 1;
      int32_t value = 0;
      if (fieldEnd - at - 1 == kFieldRead && IsDigit(field[0]) && IsDigit(field[1]) && IsDigit(field[2])) {
        value = (field[0] - '0') * 100 + (field[1] - '0') * 10 + (field[2] - '0');
        if (IsDigit(field[3])) value = value * 10 + (field[3] - '0');
      } else {
        value = FieldValue(text, at + 1, fieldEnd);
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
