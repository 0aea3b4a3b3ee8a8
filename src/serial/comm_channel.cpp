// Opening and closing the channel, and the line settings.
#include "serial/comm_channel.h"

#include <new>

#include "serial/answer_text.h"
#include "serial/port_diagnostics.h"
#include "serial/wire_trace.h"

using namespace tarvelin;

namespace {

// Made as the library loads and never destroyed: a reader that outlived its
// close, or an unload that runs after the runtime's destructors, still finds
// it. Not a function's static: its guard would cost the load a lock of the runtime's.
alignas(SerialLine) unsigned char LineStorage[sizeof(SerialLine)];
SerialLine* const TheLine = new (LineStorage) SerialLine();

constexpr uint32_t kCloseSettleMs = 20;

std::atomic<int32_t> Closing{0};
int32_t LastRunNumber = 0;

// 1, 2, ...: never 0, which stops every reader.
int32_t NextRunNumber() {
  LastRunNumber = LastRunNumber == INT32_MAX ? 1 : LastRunNumber + 1;
  return LastRunNumber;
}

LineSettings SettingsOf(const CommChannelRecord& channel) {
  LineSettings settings;
  settings.baudRate = channel.LineBaudRate;
  settings.byteSize = channel.LineByteSize;
  settings.parity = static_cast<LineParity>(channel.LineParity);
  settings.stopBits = static_cast<LineStopBits>(channel.LineStopBits);
  settings.ctsFlow = channel.CtsFlowControl != 0;
  settings.dsrFlow = channel.DsrFlowControl != 0;
  settings.xonXoff = channel.XonXoffControl != 0;
  return settings;
}

// Undoes an open that failed after the port was opened.
bool FailOpen() {
  CommChannel.Running.store(0);
  CommChannel.Line.Close();
  return false;
}

void TellPriorityRefused(const char* caption) { LibraryMessageBox(nullptr, caption, BoxIcon::Error); }

}  // namespace

CommChannelRecord CommChannel = {*TheLine, {0}, 9600, 0, 0, 0, 0, 0, 8, 9600, nullptr, nullptr, 0};

std::atomic<int32_t> LimitEvent{0};
std::atomic<int32_t> PwmFinished{0};
std::atomic<int32_t> LineLost{0};
std::atomic<uint32_t> ChannelSession{0};
std::atomic<int32_t> MessageDispatchDepth{0};

void SetCommSettings(int32_t nominalBaudRate, uint32_t lineBaudRate, uint8_t byteSize, uint8_t parity,
                     uint8_t stopBits, uint32_t ctsFlow, uint32_t dsrFlow, uint32_t xonXoff,
                     std::atomic<int32_t>* answerReadyFlag, char* answerText, int32_t capacity) {
  CommChannel.NominalBaudRate = nominalBaudRate;
  CommChannel.LineBaudRate = lineBaudRate;
  CommChannel.LineByteSize = byteSize;
  CommChannel.LineParity = parity;
  CommChannel.LineStopBits = stopBits;
  CommChannel.CtsFlowControl = ctsFlow;
  CommChannel.DsrFlowControl = dsrFlow;
  CommChannel.XonXoffControl = xonXoff;
  CommChannel.AnswerReadyFlag = answerReadyFlag;
  CommChannel.AnswerText = answerText;
  CommChannel.AnswerCapacity = capacity;
}

bool ChannelOpen() { return CommChannel.Line.IsOpen(); }

bool OpenComm(int32_t portNumber) {
  SerialLine& line = CommChannel.Line;
  if (line.IsOpen()) return false;

  StartWireTrace();
  if (line.OpenPort(portNumber) != LineResult::Done) {
    ReportOpenFailure(line);
    return false;
  }
  if (line.Configure(SettingsOf(CommChannel)) != LineResult::Done) return FailOpen();
  // The reader reads as soon as it starts, so what it signals must exist before it does.
  if (!MakeAnswerEvent()) return FailOpen();

  LineLost.store(0);
  ChannelSession.fetch_add(1);
  ForgetOwedAnswers();
  // Each open's reader runs while Running holds its own number: a reader that
  // outlived its close, or started after its open gave up on it, stops at once
  // instead of running beside the next open's reader.
  const int32_t runNumber = NextRunNumber();
  CommChannel.Running.store(runNumber);
  if (!StartReaderThread(CommWatchThread, runNumber, &CommChannel.Running)) return FailOpen();
  if (!RaiseReaderPriority(TellPriorityRefused)) line.SetDtr(true);
  return true;
}

int32_t CloseComm(CloseWait wait) {
  SerialLine& line = CommChannel.Line;
  if (!line.IsOpen() || Closing.exchange(1) != 0) return 0;
  struct ClosingEnds {
    ~ClosingEnds() { Closing.store(0, std::memory_order_release); }
  } closingEnds;
  ChannelSession.fetch_add(1);
  ForgetOwedAnswers();
  CommChannel.Running.store(0);
  if (wait == CloseWait::None) {
    // At process exit the system has ended the reader and closes the port
    // itself; touching the device could only turn a hung driver into a hung exit.
    StopReaderThread(wait);
    return 1;
  }
  line.Wake();
  ReleaseSteppedAsideReader();
  WakeAnswerWaiter();
  bool stopped = false;
  if (wait == CloseWait::Full) {
    LibraryPumping pumping;
    stopped = StopReaderThread(wait);
  } else {
    stopped = StopReaderThread(wait);
  }
  // It stops at its next look at Running; the next reader must not share its waits.
  if (!stopped) line.Abandon();

  SleepMs(kCloseSettleMs);
  line.SetDtr(false);
  line.Discard();
  line.Close();
  StopWireTrace();
  return 1;
}

void ReleaseLoadObjects() {
  if (CommChannel.Line.IsOpen() || !ReaderThreadsGone()) return;
  ReleaseAnswerEvent();
  ReleaseReaderThreadObjects();
  CommChannel.Line.ReleaseKept();
}

bool ChannelClosing() { return Closing.load(std::memory_order_acquire) != 0; }

void LibraryMessageBox(const char* text, const char* caption, BoxIcon icon) {
  LibraryPumping pumping;
  ShowMessageBox(text, caption, icon);
}

void MarkLineGone(const char* routine, uint32_t error) {
  if (LineLost.exchange(1) != 0) return;
  DebugLine("KORIMAX: %s --> The line is gone (error %lu)\n", routine, static_cast<unsigned long>(error));
  WakeAnswerWaiter();
}
