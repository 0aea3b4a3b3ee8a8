// Opening and closing the channel, and the line settings.
#include "serial/comm_channel.h"

#include "serial/answer_text.h"
#include "serial/port_diagnostics.h"
#include "serial/wire_trace.h"

using namespace tarvelin;

namespace {

constexpr uint32_t kCloseSettleMs = 20;

// 1, 2, ...: never 0, which stops every reader.
int32_t NextRunNumber() {
  tarvelin::Board& board = DefaultBoard();
  board.LastRunNumber = board.LastRunNumber == INT32_MAX ? 1 : board.LastRunNumber + 1;
  return board.LastRunNumber;
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
  tarvelin::Board& board = DefaultBoard();
  board.CommChannel.Running.store(0);
  board.CommChannel.Line.Close();
  return false;
}

void TellPriorityRefused(const char* caption) { LibraryMessageBox(nullptr, caption, BoxIcon::Error); }

}  // namespace

void SetCommSettings(int32_t nominalBaudRate, uint32_t lineBaudRate, uint8_t byteSize, uint8_t parity,
                     uint8_t stopBits, uint32_t ctsFlow, uint32_t dsrFlow, uint32_t xonXoff,
                     std::atomic<int32_t>* answerReadyFlag, char* answerText, int32_t capacity) {
  CommChannelRecord& channel = DefaultBoard().CommChannel;
  channel.NominalBaudRate = nominalBaudRate;
  channel.LineBaudRate = lineBaudRate;
  channel.LineByteSize = byteSize;
  channel.LineParity = parity;
  channel.LineStopBits = stopBits;
  channel.CtsFlowControl = ctsFlow;
  channel.DsrFlowControl = dsrFlow;
  channel.XonXoffControl = xonXoff;
  channel.AnswerReadyFlag = answerReadyFlag;
  channel.AnswerText = answerText;
  channel.AnswerCapacity = capacity;
}

bool ChannelOpen() { return DefaultBoard().CommChannel.Line.IsOpen(); }

bool OpenComm(int32_t portNumber) {
  tarvelin::Board& board = DefaultBoard();
  SerialLine& line = board.CommChannel.Line;
  if (line.IsOpen()) return false;

  StartWireTrace();
  if (line.OpenPort(portNumber) != LineResult::Done) {
    ReportOpenFailure(line);
    return false;
  }
  if (line.Configure(SettingsOf(board.CommChannel)) != LineResult::Done) return FailOpen();
  // The reader reads as soon as it starts, so what it signals must exist before it does.
  if (!MakeAnswerEvent()) return FailOpen();

  board.LineLost.store(0);
  board.ChannelSession.fetch_add(1);
  ForgetOwedAnswers();
  // Each open's reader runs while Running holds its own number: a reader that
  // outlived its close, or started after its open gave up on it, stops at once
  // instead of running beside the next open's reader.
  const int32_t runNumber = NextRunNumber();
  board.CommChannel.Running.store(runNumber);
  if (!StartReaderThread(CommWatchThread, runNumber, &board.CommChannel.Running)) return FailOpen();
  if (!RaiseReaderPriority(TellPriorityRefused)) line.SetDtr(true);
  return true;
}

int32_t CloseComm(CloseWait wait) {
  tarvelin::Board& board = DefaultBoard();
  SerialLine& line = board.CommChannel.Line;
  if (!line.IsOpen() || board.Closing.exchange(1) != 0) return 0;
  struct ClosingEnds {
    ~ClosingEnds() { DefaultBoard().Closing.store(0, std::memory_order_release); }
  } closingEnds;
  board.ChannelSession.fetch_add(1);
  ForgetOwedAnswers();
  board.CommChannel.Running.store(0);
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
  tarvelin::Board& board = DefaultBoard();
  if (board.CommChannel.Line.IsOpen() || !ReaderThreadsGone()) return;
  ReleaseAnswerEvent();
  board.ReaderMayRead.Release();
  ReleaseReaderThreadObjects();
  board.CommChannel.Line.ReleaseKept();
}

bool ChannelClosing() { return DefaultBoard().Closing.load(std::memory_order_acquire) != 0; }

void LibraryMessageBox(const char* text, const char* caption, BoxIcon icon) {
  LibraryPumping pumping;
  ShowMessageBox(text, caption, icon);
}

void MarkLineGone(const char* routine, uint32_t error) {
  if (DefaultBoard().LineLost.exchange(1) != 0) return;
  DebugLine("KORIMAX: %s --> The line is gone (error %lu)\n", routine, static_cast<unsigned long>(error));
  WakeAnswerWaiter();
}
