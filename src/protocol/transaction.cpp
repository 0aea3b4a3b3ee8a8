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

struct ModePrefix {
  const char* prefix;
  int32_t mode;
};
// Commands that switch how the board frames its values.
constexpr ModePrefix kModePrefixes[] = {{"CRAP", 1}, {"CRAD", 0}, {"CRAH", 0}};

void ApplyModePrefix(const char* command) {
  for (const ModePrefix& entry : kModePrefixes) {
    if (strncasecmp(command, entry.prefix, 4) == 0) DefaultBoard().Io485Mode = entry.mode;
  }
}

// Lets the answers still owed to lines sent earlier arrive and drops them, so
// that none is taken for the next command's; bounded by how long a line is owed.
// Returns with the answer text emptied.
WaitEnd SettleOwedAnswers() {
  for (;;) {
    // Emptied before the count is looked at: a prompt that comes after the look raises AnswerReady.
    const uint32_t received = EmptyAnswerText();
    uint32_t sentAt = 0;
    if (!OldestOwedAnswer(received, &sentAt)) return WaitEnd::Answered;
    const uint32_t owedFor = NowMs() - sentAt;
    if (owedFor >= kAnswerOwedMs) continue;
    const WaitEnd end = WaitForAnswer(AnswerWait{NowMs(), kAnswerOwedMs - owedFor, true, false});
    if (end == WaitEnd::Closed || end == WaitEnd::LineGone) return end;
  }
}

// One answer window from now; an answer in by its end counts.
WaitEnd WaitForPrompt() { return WaitForAnswer(AnswerWait{NowMs(), kAnswerWindowMs, true, false}); }

}  // namespace

WaitEnd WaitForAnswer(const AnswerWait& wait) {
  tarvelin::Board& board = DefaultBoard();
  uint32_t previous = wait.start;
  // Unsigned 32-bit differences between successive reads, summed in 64 bits:
  // right across the tick counter's wrap, and for allowances beyond its range.
  int64_t elapsed = 0;
  bool dispatching = wait.dispatchMessages;
  std::optional<LibraryPumping> pumping;
  std::optional<NestedCallGuard> nested;
  if (dispatching) {
    pumping.emplace();
    nested.emplace();
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
    if (CallCancelled() || !made) return WaitEnd::Closed;
    if (board.LineLost.load(std::memory_order_acquire) != 0) return WaitEnd::LineGone;
    const bool answered = board.AnswerReady.load(std::memory_order_acquire) != 0;
    if (elapsed >= wait.allowanceMs) {
      return answered && (wait.lateAnswerCounts || elapsed == wait.allowanceMs) ? WaitEnd::Answered
                                                                                 : WaitEnd::TimedOut;
    }
    if (answered) return WaitEnd::Answered;
    const int64_t left = wait.allowanceMs - elapsed;
    // Sleeps of at most a minute: a long allowance is measured across several.
    const uint32_t sleepMs = left < 60000 ? static_cast<uint32_t>(left) : 60000;
    if (LeadsReading()) {
      ReadWhileWaiting(sleepMs);
    } else if (board.AnswerEvent.WaitFor(sleepMs, dispatching) == Signal::Wait::Failed) {
      SleepMs(1);  // never spin on a wait the system refuses
    }
  }
}

bool RecordWaitCut(WaitEnd end) {
  if (end == WaitEnd::Closed) RecordError(LibraryErrorId::ClosedWhileWaiting);
  if (end == WaitEnd::LineGone) RecordError(LibraryErrorId::LineGone);
  return end == WaitEnd::Closed || end == WaitEnd::LineGone;
}

bool LineStillThere() {
  if (DefaultBoard().LineLost.load(std::memory_order_acquire) == 0) return true;
  RecordError(LibraryErrorId::LineGone);
  return false;
}

bool AnswerTextIntact(const char* command) {
  if (InputWasLost()) {
    RecordError(LibraryErrorId::InputLost, command);
    return false;
  }
  if (!AnswerOverflowed()) return true;
  char shown[kQuotedAnswerMax + 1];
  QuoteAnswerText(DefaultBoard().AnswerBuffer, AnswerLength(), shown);
  RecordError(LibraryErrorId::NotAValue, command, shown);
  return false;
}

int32_t QelCommand(const char* command) {
  tarvelin::Board& board = DefaultBoard();
  ResetError();
  if (!PortIsOpen()) {
    RecordError(LibraryErrorId::NoPortOpen);
    return 0;
  }
  // The command line holds 62 characters; a longer text is refused, not cut, so
  // that the board never receives a command other than the one asked for.
  const size_t length = command != nullptr ? strnlen(command, kCommandMax + 1) : kCommandMax + 1;
  if (length > kCommandMax) {
    RecordError(LibraryErrorId::BadCommandText);
    return 0;
  }

  if (!LineStillThere()) return 0;
  // Leaves the answer text empty, as the command needs it.
  if (RecordWaitCut(SettleOwedAnswers())) return 0;

  board.LastValue = 0;
  ApplyModePrefix(command);

  char line[kCommandMax + 2];
  memcpy(line, command, length);
  line[length] = '\r';
  line[length + 1] = '\0';
  const auto lineLength = static_cast<int32_t>(length + 1);
  WriteComm(lineLength, line);

  WaitEnd end = WaitForPrompt();
  if (end == WaitEnd::TimedOut) {
    // A lone carriage return ends whatever the board took for a partial line.
    WriteComm(1, "\r");
    WriteComm(lineLength, line);
    for (int window = 0; window < kRetryWindows && end == WaitEnd::TimedOut; ++window) {
      DebugLine("TARVELIN: QelCommand --> Timeout (Retry needed). Last command = %s\n", command);
      end = WaitForPrompt();
    }
  }
  if (RecordWaitCut(end)) return 0;
  if (end != WaitEnd::Answered) {
    RecordError(LibraryErrorId::Timeout, command);
    return 0;
  }

  if (!AnswerTextIntact(command)) return 0;
  const AnswerOutcome outcome = ExamineAnswer(board.AnswerBuffer, AnswerLength(), board.Io485Mode != 0);
  switch (outcome.kind) {
    case AnswerKind::Acknowledge:
      return 1;
    case AnswerKind::Value:
      board.LastValue = outcome.value;
      return 1;
    case AnswerKind::DeviceError:
      RecordDeviceError(*FindDeviceError(outcome.digit), command);
      return 0;
    case AnswerKind::UnknownError:
    case AnswerKind::NotAValue: {
      char shown[kQuotedAnswerMax + 1];
      QuoteExaminedAnswer(board.AnswerBuffer, AnswerLength(), shown);
      RecordError(outcome.kind == AnswerKind::NotAValue ? LibraryErrorId::NotAValue
                                                         : LibraryErrorId::MalformedDeviceError,
                  command, shown);
      return 0;
    }
  }
  return 0;
}
