// The command transaction every command-sending operation runs.
#pragma once

#include <cstdint>

// The longest command text a command line holds (64 bytes with CR and NUL).
constexpr int kCommandMax = 62;

// Sends one command, waits for the prompt (repeating the command once when it is
// late) and examines the answer. 1 with the value in LastValue, or 0 with the
// error recorded.
int32_t QelCommand(const char* command);

// Polls AnswerReady for one answer window. True as soon as the prompt is in.
bool WaitForPrompt(uint32_t windowMs);
