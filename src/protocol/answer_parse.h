// Reading the board's answer: the filter, the device-error form and the value rule.
#pragma once

#include <cstdint>

enum class AnswerKind {
  Acknowledge,   // at most one character after filtering: the bare prompt
  Value,         // value is set (0 when the answer carries none)
  DeviceError,   // "?" and a digit of the table: digit is set
  UnknownError,  // "?" and any other character
  NotAValue,     // noise, a control character, or more than the filtered text holds
};

struct AnswerOutcome {
  AnswerKind kind;
  int32_t value;
  char digit;
};

// The filtered answer keeps at most this many characters, the first ones.
constexpr int kFilteredMax = 99;

// Drops BEL, LF, CR, 'H' and 'L' from text[0, length) into out (kFilteredMax + 1
// bytes), NUL-terminated; returns the filtered length. A NUL received is kept
// as a character: it is no end of the answer. A 'P' ahead of the first
// line break is dropped too: the answer proper begins with its line break, so such
// a 'P' is the PWM end event that came between answers. Without a line break, or
// after it, a 'P' is kept.
int FilterAnswer(const char* text, int32_t length, char* out);

// Index of the first carriage return or line feed in text[0, length), -1 when
// there is none.
int32_t FirstLineBreak(const char* text, int32_t length);

// An answer as an error text shows it: at most this many characters, NUL apart.
constexpr int kQuotedAnswerMax = 24;

// Writes text[0, length) for an error text into out: printable characters as
// they are, '"', '\\' and every other byte as \xNN, cut with "..." so that at
// most kQuotedAnswerMax characters are written.
void QuoteAnswerText(const char* text, int32_t length, char (&out)[kQuotedAnswerMax + 1]);

// The answer as the transaction examined it (filtered), up to its prompt, quoted
// as QuoteAnswerText does.
void QuoteExaminedAnswer(const char* text, int32_t length, char (&out)[kQuotedAnswerMax + 1]);

// Examines an answer as the transaction does, up to its first prompt. With
// io485Mode the value starts at the first character, otherwise at the third.
// An answer of more than one character is a value only when its value text is
// blanks, an optional sign, digits and blanks, and every character of it is
// printable; two characters and the prompt give the value 0, as a bare prompt
// acknowledges.
AnswerOutcome ExamineAnswer(const char* text, int32_t length, bool io485Mode);

// True for text[0, length) = blanks, an optional sign, at least one decimal
// digit and blanks.
bool IsValueText(const char* text, int32_t length);

// Decimal conversion with the rules of atoi (leading white space, a sign, the
// digits up to the first non-digit, 0 without digits), saturating at the
// limits of 32 bits instead of overflowing.
int32_t ParseDecimal(const char* text);
