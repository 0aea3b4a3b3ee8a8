// Block sampling: the command line, the deadline of the wait and the channel
// count, kept apart from the exports so that they can be checked on their own.
#pragma once

#include <cstddef>
#include <cstdint>

// Channels counted from the mask: bits 0 to 10.
int32_t CountSampledChannels(int32_t channelMask);

// The rate factor: the table for codes 0 to 7, the code itself otherwise.
int32_t SamplingRateFactor(int32_t rateCode);

// sampleCount x factor / 800 (toward zero) + 5000, formed in 64 bits. Negative
// when a negative count or code outweighs the 5 s.
int64_t SamplingAllowanceMs(int32_t rateCode, int32_t sampleCount);

// The moment the wait began and how long it may last.
struct SamplingDeadlineMark {
  uint32_t start;
  int64_t allowanceMs;
};
SamplingDeadlineMark SamplingDeadline(int32_t rateCode, int32_t sampleCount);

// The sampling command without its carriage return ("GS12;5;3;1000;G"). An
// empty text for a resolution other than 8, 10 and 12. Returns the length.
constexpr size_t kSamplingCommandSize = 64;
int32_t FormatSamplingCommand(char (&out)[kSamplingCommandSize], int32_t resolution, int32_t channelMask,
                              int32_t rateCode, int32_t sampleCount, int32_t gOption);
