// The answer text that the reader appends to, with what the reader needs to
// know about it kept beside it (its length and whether it holds the prompt or an
// event character), so that a chunk costs the same however long the text is.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

// The largest answer: a full block of records with its prompt and some line noise.
// A block of 720,896 values at 10 or 12 bits is 3,604,480 characters of records;
// 64 Ki characters more leave room for the prompt and what the line adds.
constexpr int32_t kAnswerCapacity = 3604480 + 65536;
constexpr size_t kAnswerBufferSize = static_cast<size_t>(kAnswerCapacity) + 256;
static_assert(static_cast<size_t>(kAnswerCapacity) < kAnswerBufferSize);

extern char AnswerBuffer[kAnswerBufferSize];
extern std::atomic<int32_t> AnswerReady;

// Empties the bound answer text and forgets what it held. The only way to empty it.
void EmptyAnswerText();

// Appends a received chunk (up to a NUL byte, and only as far as the capacity
// allows) and raises the flags for what the text now holds. Reader thread only.
void AppendAnswerChunk(const char* chunk, uint32_t length);

// The length of the text as published by the reader; the characters below it
// are complete once AnswerReady has been seen at 1.
int32_t AnswerLength();
