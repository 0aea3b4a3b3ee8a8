// The command transaction every command-sending operation runs.
#pragma once

#include <cstdint>

namespace tarvelin {
struct Board;
}  // namespace tarvelin

// The longest command text a command line holds (64 bytes with CR and NUL).
constexpr int kCommandMax = 62;

// Sends one command, waits for the prompt (repeating the command once when it is
// late) and examines the answer. 1 with the value in LastValue, or 0 with the
// error recorded.
int32_t QelCommand(tarvelin::Board& board, const char* command);

// How a wait for the answer ended.
enum class WaitEnd { Answered, TimedOut, Closed, LineGone, Cancelled };

// Told the answer text's length while a long wait goes on, at least every
// 50 ms; a nonzero return gives the wait up.
struct WaitProgress {
  int32_t (*tell)(void* context, int32_t length);
  void* context;
};

struct AnswerWait {
  uint32_t start;         // tick count at which the allowance began
  int64_t allowanceMs;    // may exceed the tick counter's range
  bool lateAnswerCounts;  // an answer seen at the end of the allowance still counts
  bool dispatchMessages;  // keep the calling thread's windows served meanwhile
  const WaitProgress* progress = nullptr;
};

// Sleeps until the reader raises AnswerReady, the allowance has run out, the
// call is cancelled by a close or a cancel, or the line is gone; measured on the tick
// counter, so the windows and deadlines are those of a polling wait.
WaitEnd WaitForAnswer(tarvelin::Board& board, const AnswerWait& wait);

// Records the error for a wait that was cut short (closed, cancelled, line gone); false
// for the other ends, which their callers report in their own terms.
bool RecordWaitCut(tarvelin::Board& board, WaitEnd end);

// Fails at once, with the error recorded, when the line is known to be gone.
bool LineStillThere(tarvelin::Board& board);

// Fails, with the error recorded for `command`, when the answer text cannot be
// trusted: characters were lost on the way in, or dropped for want of room.
bool AnswerTextIntact(tarvelin::Board& board, const char* command);
