#include "protocol/transaction.h"

#include <cstring>
#include <strings.h>

#include "protocol/answer_parse.h"
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

}  // namespace

bool WaitForPrompt(uint32_t windowMs) {
  const DWORD start = GetTickCount();
  // Busy poll without sleeping, so that the answer is noticed the moment it is in;
  // each pass gives the processor to a ready thread (the reader) before polling again.
  while (static_cast<DWORD>(GetTickCount() - start) < windowMs) {
    if (AnswerReady.load(std::memory_order_acquire) != 0) return true;
    Sleep(0);
  }
  return AnswerReady.load(std::memory_order_acquire) != 0;
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

  EmptyAnswerText();
  AnswerReady.store(0, std::memory_order_release);
  LastValue = 0;
  ApplyModePrefix(command);

  char line[kCommandMax + 2];
  memcpy(line, command, length);
  line[length] = '\r';
  line[length + 1] = '\0';
  const auto lineLength = static_cast<int32_t>(length + 1);
  WriteComm(lineLength, line);

  if (!WaitForPrompt(kAnswerWindowMs)) {
    // A lone carriage return ends whatever the board took for a partial line.
    WriteComm(1, "\r");
    WriteComm(lineLength, line);
    bool answered = false;
    for (int window = 0; window < kRetryWindows && !answered; ++window) {
      DebugLine("TARVELIN: QelCommand --> Timeout (Retry needed). Last command = %s\n", command);
      answered = WaitForPrompt(kAnswerWindowMs);
    }
    if (!answered) {
      RecordError(LibraryErrorId::Timeout, command);
      return 0;
    }
  }

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
    case AnswerKind::UnknownError: {
      char shown[kQuotedAnswerMax + 1];
      QuoteExaminedAnswer(AnswerBuffer, AnswerLength(), shown);
      RecordError(LibraryErrorId::MalformedDeviceError, command, shown);
      return 0;
    }
  }
  return 0;
}
