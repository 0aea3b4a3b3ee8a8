#include "protocol/answer_parse.h"

#include <cstring>

#include "protocol/error_texts.h"

namespace {

constexpr char kCutMark[] = "...";
constexpr int kCutMarkLength = sizeof kCutMark - 1;
constexpr char kHexDigits[] = "0123456789ABCDEF";

bool ShownAsIs(unsigned char c) { return c >= 32 && c < 127 && c != '"' && c != '\\'; }

int ShownLength(unsigned char c) { return ShownAsIs(c) ? 1 : 4; }

}  // namespace

int32_t FirstLineBreak(const char* text, int32_t length) {
  for (int32_t i = 0; i < length; ++i) {
    if (text[i] == '\r' || text[i] == '\n') return i;
  }
  return -1;
}

int FilterAnswer(const char* text, int32_t length, char* out) {
  const int32_t answerStart = FirstLineBreak(text, length);
  int kept = 0;
  for (int32_t i = 0; i < length && kept < kFilteredMax; ++i) {
    const char c = text[i];
    if (c == 7 || c == '\n' || c == '\r' || c == 'H' || c == 'L') continue;
    // The reader has latched this event already; it is no character of the value.
    if (c == 'P' && i < answerStart) continue;
    out[kept++] = c;
  }
  out[kept] = '\0';
  return kept;
}

void QuoteAnswerText(const char* text, int32_t length, char (&out)[kQuotedAnswerMax + 1]) {
  int shownTotal = 0;
  for (int32_t i = 0; i < length && shownTotal <= kQuotedAnswerMax; ++i) {
    shownTotal += ShownLength(static_cast<unsigned char>(text[i]));
  }
  // Everything when it fits, otherwise what fits in front of the cut mark.
  const int budget = shownTotal <= kQuotedAnswerMax ? kQuotedAnswerMax : kQuotedAnswerMax - kCutMarkLength;
  int used = 0;
  for (int32_t i = 0; i < length; ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (used + ShownLength(c) > budget) break;
    if (ShownAsIs(c)) {
      out[used++] = static_cast<char>(c);
    } else {
      out[used++] = '\\';
      out[used++] = 'x';
      out[used++] = kHexDigits[c >> 4];
      out[used++] = kHexDigits[c & 0xF];
    }
  }
  if (shownTotal > kQuotedAnswerMax) {
    memcpy(out + used, kCutMark, kCutMarkLength);
    used += kCutMarkLength;
  }
  out[used] = '\0';
}

void QuoteExaminedAnswer(const char* text, int32_t length, char (&out)[kQuotedAnswerMax + 1]) {
  char filtered[kFilteredMax + 1];
  const int size = FilterAnswer(text, length, filtered);
  int shown = 0;
  while (shown < size && filtered[shown] != '>') ++shown;
  QuoteAnswerText(filtered, shown, out);
}

int32_t ParseDecimal(const char* text) {
  const char* p = text;
  while (*p == ' ' || *p == '\t' || *p == '\n' || *p == '\v' || *p == '\f' || *p == '\r') ++p;
  bool negative = false;
  if (*p == '+' || *p == '-') negative = *p++ == '-';
  int64_t magnitude = 0;
  constexpr int64_t kLimit = int64_t{INT32_MAX} + 1;
  for (; *p >= '0' && *p <= '9'; ++p) {
    magnitude = magnitude * 10 + (*p - '0');
    if (magnitude > kLimit) magnitude = kLimit;  // saturated; further digits change nothing
  }
  if (negative) return static_cast<int32_t>(-magnitude);
  return magnitude > INT32_MAX ? INT32_MAX : static_cast<int32_t>(magnitude);
}

bool IsValueText(const char* text, int32_t length) {
  int32_t at = 0;
  while (at < length && text[at] == ' ') ++at;
  if (at < length && (text[at] == '+' || text[at] == '-')) ++at;
  const int32_t digitsFrom = at;
  while (at < length && text[at] >= '0' && text[at] <= '9') ++at;
  if (at == digitsFrom) return false;
  while (at < length && text[at] == ' ') ++at;
  return at == length;
}

AnswerOutcome ExamineAnswer(const char* text, int32_t length, bool io485Mode) {
  char filtered[kFilteredMax + 1];
  const int size = FilterAnswer(text, length, filtered);
  if (size <= 1) return {AnswerKind::Acknowledge, 0, 0};
  if (filtered[0] == '?') {
    const DeviceError* error = FindDeviceError(filtered[1]);
    if (error == nullptr) return {AnswerKind::UnknownError, 0, filtered[1]};
    return {AnswerKind::DeviceError, 0, error->digit};
  }
  // What follows the first prompt belongs to whatever comes next. Without a
  // prompt in the filtered text the answer was longer than any value.
  const auto* prompt = static_cast<const char*>(memchr(filtered, '>', static_cast<size_t>(size)));
  if (prompt == nullptr && size == kFilteredMax) return {AnswerKind::NotAValue, 0, 0};
  const int body = prompt != nullptr ? static_cast<int>(prompt - filtered) : size - 1;
  for (int i = 0; i < body; ++i) {
    const auto c = static_cast<unsigned char>(filtered[i]);
    if (c < 32 || c > 126) return {AnswerKind::NotAValue, 0, 0};
  }
  const int valueFrom = io485Mode ? 0 : 2;
  if (body <= valueFrom) return {AnswerKind::Value, 0, 0};  // no value text: 0, as a bare prompt
  if (!IsValueText(filtered + valueFrom, body - valueFrom)) {
    // A single character says nothing either way: as before, it reads as 0.
    return {body == 1 ? AnswerKind::Value : AnswerKind::NotAValue, 0, 0};
  }
  filtered[body] = '\0';
  return {AnswerKind::Value, ParseDecimal(filtered + valueFrom), 0};
}
