#include "protocol/transaction.h"

#include <cstring>
#include <optional>
#include <strings.h>

#include "protocol/answer_parse.h"
#include "protocol/call_turn.h"
#include "protocol/result_state.h"
#include "serial/answer_text.h"
#include "serial/comm_channel.h"

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
    if (strncasecmp(command, entry.prefix, 4) == 0) Io485Mode = entry.mode;
  }
}

// Lets the answers still owed to lines sent earlier arrive and drops them, so
// that none is taken for the next command's; bounded by how long a line is owed.
// Returns with the answer text emptied.
WaitEnd SettleOwedAnswers() {
  for (;;) {
    // Emptied before the count is looked at: a prompt that comes after the look raises AnswerReady.
    const uint32_t received = EmptyAnswerText();
    DWORD sentAt = 0;
    if (!OldestOwedAnswer(received, &sentAt)) return WaitEnd::Answered;
    const DWORD owedFor = static_cast<DWORD>(GetTickCount() - sentAt);
    if (owedFor >= kAnswerOwedMs) continue;
    const WaitEnd end = WaitForAnswer(AnswerWait{GetTickCount(), kAnswerOwedMs - owedFor, true, false});
    if (end == WaitEnd::Closed || end == WaitEnd::LineGone) return end;
  }
}

// One answer window from now; an answer in by its end counts.
WaitEnd WaitForPrompt() { return WaitForAnswer(AnswerWait{GetTickCount(), kAnswerWindowMs, true, false}); }

}  // namespace

WaitEnd WaitForAnswer(const AnswerWait& wait) {
  DWORD previous = wait.start;
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
    HANDLE event = AnswerEvent.load(std::memory_order_acquire);
    // Reset before the flags are looked at, so that a raise after the look still ends the sleep.
    if (event != nullptr) ResetEvent(event);
    // Read before the pump: time the host spends in its own handlers (a modal
    // loop, a dragged window) does not count against an answer that is in.
    const DWORD now = GetTickCount();
    elapsed += static_cast<DWORD>(now - previous);
    previous = now;
    if (dispatching && !PumpMessages(nullptr)) dispatching = false;
    if (CallCancelled() || event == nullptr) return WaitEnd::Closed;
    if (LineLost.load(std::memory_order_acquire) != 0) return WaitEnd::LineGone;
    const bool answered = AnswerReady.load(std::memory_order_acquire) != 0;
    if (elapsed >= wait.allowanceMs) {
      return answered && (wait.lateAnswerCounts || elapsed == wait.allowanceMs) ? WaitEnd::Answered
                                                                                 : WaitEnd::TimedOut;
    }
    if (answered) return WaitEnd::Answered;
    const int64_t left = wait.allowanceMs - elapsed;
    // Sleeps of at most a minute: a long allowance is measured across several.
    const DWORD sleepMs = left < 60000 ? static_cast<DWORD>(left) : 60000;
    const DWORD result = dispatching
                             ? MsgWaitForMultipleObjectsEx(1, &event, sleepMs, QS_ALLINPUT, MWMO_INPUTAVAILABLE)
                             : WaitForSingleObject(event, sleepMs);
    if (result == WAIT_FAILED) Sleep(1);  // never spin on a wait the system refuses
  }
}

bool RecordWaitCut(WaitEnd end) {
  if (end == WaitEnd::Closed) RecordError(LibraryErrorId::ClosedWhileWaiting);
  if (end == WaitEnd::LineGone) RecordError(LibraryErrorId::LineGone);
  return end == WaitEnd::Closed || end == WaitEnd::LineGone;
}

bool LineStillThere() {
  if (LineLost.load(std::memory_order_acquire) == 0) return true;
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
  QuoteAnswerText(AnswerBuffer, AnswerLength(), shown);
  RecordError(LibraryErrorId::NotAValue, command, shown);
  return false;
}

int32_t QelCommand(const char* command) {
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

  LastValue = 0;
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
  const AnswerOutcome outcome = ExamineAnswer(AnswerBuffer, AnswerLength(), Io485Mode != 0);
  switch (outcome.kind) {
    case AnswerKind::Acknowledge:
      return 1;
    case AnswerKind::Value:
      LastValue = outcome.value;
      return 1;
    case AnswerKind::DeviceError:
      RecordDeviceError(*FindDeviceError(outcome.digit), command);
      return 0;
    case AnswerKind::UnknownError:
    case AnswerKind::NotAValue: {
      char shown[kQuotedAnswerMax + 1];
      QuoteExaminedAnswer(AnswerBuffer, AnswerLength(), shown);
      RecordError(outcome.kind == AnswerKind::NotAValue ? LibraryErrorId::NotAValue
                                                         : LibraryErrorId::MalformedDeviceError,
                  command, shown);
      return 0;
    }
  }
  return 0;
}
