#include "protocol/answer_parse.h"

#include "protocol/error_texts.h"

int FilterAnswer(const char* text, int32_t length, char* out) {
  int kept = 0;
  for (int32_t i = 0; i < length && text[i] != '\0' && kept < kFilteredMax; ++i) {
    const char c = text[i];
    if (c == 7 || c == '\n' || c == '\r' || c == 'H' || c == 'L') continue;
    out[kept++] = c;
  }
  out[kept] = '\0';
  return kept;
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

AnswerOutcome ExamineAnswer(const char* text, int32_t length, bool io485Mode) {
  char filtered[kFilteredMax + 1];
  int size = FilterAnswer(text, length, filtered);
  if (size <= 1) return {AnswerKind::Acknowledge, 0, 0};
  if (filtered[0] == '?') {
    const DeviceError* error = FindDeviceError(filtered[1]);
    if (error == nullptr) return {AnswerKind::UnknownError, 0, filtered[1]};
    return {AnswerKind::DeviceError, 0, error->digit};
  }
  filtered[--size] = '\0';  // normally the prompt
  int32_t value = 0;
  if (!io485Mode && size > 2) value = ParseDecimal(filtered + 2);
  if (io485Mode && size > 0) value = ParseDecimal(filtered);
  return {AnswerKind::Value, value, 0};
}
