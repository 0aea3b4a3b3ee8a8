#include "protocol/transaction.h"

#include <cstring>
#include <optional>
#include <strings.h>

#include "protocol/answer_parse.h"
#include "protocol/call_turn.h"
#include "protocol/result_state.h"
#include "serial/answer_text.h"
#include "serial/comm_channel.h"

using namespace tarvelin;

namespace {

constexpr uint32_t kAnswerWindowMs = 200;
constexpr int kRetryWindows = 2;
constexpr int64_t kProgressSliceMs = 50;

struct ModePrefix {
  const char* prefix;
  int32_t mode;
};
// Commands that switch how the board frames its values.
constexpr ModePrefix kModePrefixes[] = {{"CRAP", 1}, {"CRAD", 0}, {"CRAH", 0}};

void ApplyModePrefix(tarvelin::Board& board, const char* command) {
  for (const ModePrefix& entry : kModePrefixes) {
    if (strncasecmp(command, entry.prefix, 4) == 0) board.Io485Mode = entry.mode;
  }
}

// Lets the answers still owed to lines sent earlier arrive and drops them, so
// that none is taken for the next command's; bounded by how long a line is owed.
// Returns with the answer text emptied.
WaitEnd SettleOwedAnswers(tarvelin::Board& board) {
  for (;;) {
    // Emptied before the count is looked at: a prompt that comes after the look raises AnswerReady.
    const uint32_t received = EmptyAnswerText(board);
    uint32_t leftMs = 0;
    if (!OldestOwedAnswer(board, received, &leftMs)) return WaitEnd::Answered;
    const WaitEnd end = WaitForAnswer(board, AnswerWait{NowMs(), leftMs, true, false});
    if (end == WaitEnd::Closed || end == WaitEnd::LineGone || end == WaitEnd::Cancelled) return end;
  }
}

// One answer window from now; an answer in by its end counts.
WaitEnd WaitForPrompt(tarvelin::Board& board) {
  return WaitForAnswer(board, AnswerWait{NowMs(), kAnswerWindowMs, true, false});
}

}  // namespace

WaitEnd WaitForAnswer(tarvelin::Board& board, const AnswerWait& wait) {
  uint32_t previous = wait.start;
  // Unsigned 32-bit differences between successive reads, summed in 64 bits:
  // right across the tick counter's wrap, and for allowances beyond its range.
  int64_t elapsed = 0;
  bool dispatching = wait.dispatchMessages;
  std::optional<LibraryPumping> pumping;
  std::optional<NestedCallGuard> nested;
  if (dispatching) {
    pumping.emplace(board);
    nested.emplace(board);
  }
  for (;;) {
    const bool made = board.AnswerEvent.Made();
    // Reset before the flags are looked at, so that a raise after the look still ends the sleep.
    board.AnswerEvent.Reset();
    // Read before the pump: time the host spends in its own handlers (a modal
    // loop, a dragged window) does not count against an answer that is in.
    const uint32_t now = NowMs();
    elapsed += static_cast<uint32_t>(now - previous);
    previous = now;
    if (dispatching && !PumpMessages()) dispatching = false;
    if (CallCancelled(board) || !made) return WaitEnd::Closed;
    if (CancelAsked(board)) return WaitEnd::Cancelled;
    if (board.LineLost.load(std::memory_order_acquire) != 0) return WaitEnd::LineGone;
    const bool answered = board.AnswerReady.load(std::memory_order_acquire) != 0;
    if (elapsed >= wait.allowanceMs) {
      return answered && (wait.lateAnswerCounts || elapsed == wait.allowanceMs) ? WaitEnd::Answered
                                                                                 : WaitEnd::TimedOut;
    }
    if (answered) return WaitEnd::Answered;
    if (wait.progress != nullptr && wait.progress->tell(wait.progress->context, AnswerLength(board)) != 0) {
      return WaitEnd::Cancelled;
    }
    const int64_t left = wait.allowanceMs - elapsed;
    // Sleeps of at most a minute: a long allowance is measured across several;
    // one that tells its progress looks again every 50 ms.
    const int64_t sliceMs = wait.progress != nullptr ? kProgressSliceMs : 60000;
    const auto sleepMs = static_cast<uint32_t>(left < sliceMs ? left : sliceMs);
    if (LeadsReading(board)) {
      ReadWhileWaiting(board, sleepMs);
    } else if (board.AnswerEvent.WaitFor(sleepMs, dispatching) == Signal::Wait::Failed) {
      SleepMs(1);  // never spin on a wait the system refuses
    }
  }
}

bool RecordWaitCut(tarvelin::Board& board, WaitEnd end) {
  if (end == WaitEnd::Closed) RecordError(board, LibraryErrorId::ClosedWhileWaiting);
  if (end == WaitEnd::LineGone) RecordError(board, LibraryErrorId::LineGone);
  if (end == WaitEnd::Cancelled) RecordError(board, LibraryErrorId::Cancelled);
  return end == WaitEnd::Closed || end == WaitEnd::LineGone || end == WaitEnd::Cancelled;
}

bool LineStillThere(tarvelin::Board& board) {
  if (board.LineLost.load(std::memory_order_acquire) == 0) return true;
  RecordError(board, LibraryErrorId::LineGone);
  return false;
}

bool AnswerTextIntact(tarvelin::Board& board, const char* command) {
  if (InputWasLost(board)) {
    RecordError(board, LibraryErrorId::InputLost, command);
    return false;
  }
  if (!AnswerOverflowed(board)) return true;
  char shown[kQuotedAnswerMax + 1];
  QuoteAnswerText(board.AnswerBuffer, AnswerLength(board), shown);
  RecordError(board, LibraryErrorId::NotAValue, command, shown);
  return false;
}

int32_t QelCommand(tarvelin::Board& board, const char* command) {
  ResetError(board);
  if (!PortIsOpen(board)) {
    RecordError(board, LibraryErrorId::NoPortOpen);
    return 0;
  }
  // The command line holds 62 characters; a longer text is refused, not cut, so
  // that the board never receives a command other than the one asked for.
  const size_t length = command != nullptr ? strnlen(command, kCommandMax + 1) : kCommandMax + 1;
  if (length > kCommandMax) {
    RecordError(board, LibraryErrorId::BadCommandText);
    return 0;
  }

  if (!LineStillThere(board)) return 0;
  // Leaves the answer text empty, as the command needs it.
  if (RecordWaitCut(board, SettleOwedAnswers(board))) return 0;

  board.LastValue = 0;
  ApplyModePrefix(board, command);

  char line[kCommandMax + 2];
  memcpy(line, command, length);
  line[length] = '\r';
  line[length + 1] = '\0';
  const auto lineLength = static_cast<int32_t>(length + 1);
  WriteComm(board, lineLength, line);

  WaitEnd end = WaitForPrompt(board);
  if (end == WaitEnd::TimedOut) {
    // A lone carriage return ends whatever the board took for a partial line.
    WriteComm(board, 1, "\r");
    WriteComm(board, lineLength, line);
    for (int window = 0; window < kRetryWindows && end == WaitEnd::TimedOut; ++window) {
      DebugLine("TARVELIN: QelCommand --> Timeout (Retry needed). Last command = %s\n", command);
      end = WaitForPrompt(board);
    }
  }
  if (RecordWaitCut(board, end)) return 0;
  if (end != WaitEnd::Answered) {
    RecordError(board, LibraryErrorId::Timeout, command);
    return 0;
  }

  if (!AnswerTextIntact(board, command)) return 0;
  const AnswerOutcome outcome = ExamineAnswer(board.AnswerBuffer, AnswerLength(board), board.Io485Mode != 0);
  switch (outcome.kind) {
    case AnswerKind::Acknowledge:
      return 1;
    case AnswerKind::Value:
      board.LastValue = outcome.value;
      return 1;
    case AnswerKind::DeviceError:
      RecordDeviceError(board, *FindDeviceError(outcome.digit), command);
      return 0;
    case AnswerKind::UnknownError:
    case AnswerKind::NotAValue: {
      char shown[kQuotedAnswerMax + 1];
      QuoteExaminedAnswer(board.AnswerBuffer, AnswerLength(board), shown);
      RecordError(
          board,
          outcome.kind == AnswerKind::NotAValue ? LibraryErrorId::NotAValue : LibraryErrorId::MalformedDeviceError,
          command, shown);
      return 0;
    }
  }
  return 0;
}
