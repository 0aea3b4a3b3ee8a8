// Opening and closing the channel, and the line settings.
#include "serial/comm_channel.h"

#include "serial/answer_text.h"
#include "serial/port_diagnostics.h"
#include "serial/wire_trace.h"

using namespace tarvelin;

namespace {

constexpr uint32_t kCloseSettleMs = 20;

// 1, 2, ...: never 0, which stops every reader.
int32_t NextRunNumber(tarvelin::Board& board) {
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
bool FailOpen(tarvelin::Board& board) {
  board.CommChannel.Running.store(0);
  board.CommChannel.Line.Close();
  return false;
}

void TellPriorityRefused(void* board, const char* caption) {
  LibraryMessageBox(*static_cast<tarvelin::Board*>(board), nullptr, caption, BoxIcon::Error);
}

void ReaderBodyOf(void* board, int32_t runNumber) { CommWatchThread(*static_cast<tarvelin::Board*>(board), runNumber); }

}  // namespace

void SetCommSettings(tarvelin::Board& board, int32_t nominalBaudRate, uint32_t lineBaudRate, uint8_t byteSize,
                     uint8_t parity, uint8_t stopBits, uint32_t ctsFlow, uint32_t dsrFlow, uint32_t xonXoff,
                     std::atomic<int32_t>* answerReadyFlag, char* answerText, int32_t capacity) {
  CommChannelRecord& channel = board.CommChannel;
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

bool ChannelOpen(tarvelin::Board& board) { return board.CommChannel.Line.IsOpen(); }

bool OpenComm(tarvelin::Board& board, int32_t portNumber, const char* device) {
  SerialLine& line = board.CommChannel.Line;
  if (line.IsOpen()) return false;

  StartWireTrace();
  const LineResult opened = device != nullptr ? line.OpenDevice(device) : line.OpenPort(portNumber);
  if (opened != LineResult::Done) {
    ReportOpenFailure(line);
    return false;
  }
  if (line.Configure(SettingsOf(board.CommChannel)) != LineResult::Done) return FailOpen(board);
  // The reader reads as soon as it starts, so what it signals must exist before it does.
  if (!MakeAnswerEvent(board)) return FailOpen(board);

  board.LineLost.store(0);
  board.ChannelSession.fetch_add(1);
  ForgetOwedAnswers(board);
  // Each open's reader runs while Running holds its own number: a reader that
  // outlived its close, or started after its open gave up on it, stops at once
  // instead of running beside the next open's reader.
  const int32_t runNumber = NextRunNumber(board);
  board.CommChannel.Running.store(runNumber);
  if (!board.Reader.Start(ReaderBodyOf, &board, runNumber, &board.CommChannel.Running)) return FailOpen(board);
  if (!board.Reader.RaisePriority(TellPriorityRefused, &board)) line.SetDtr(true);
  return true;
}

int32_t CloseComm(tarvelin::Board& board, CloseWait wait) {
  SerialLine& line = board.CommChannel.Line;
  if (!line.IsOpen() || board.Closing.exchange(1) != 0) return 0;
  struct ClosingEnds {
    tarvelin::Board& board;
    ~ClosingEnds() { board.Closing.store(0, std::memory_order_release); }
  } closingEnds{board};
  board.ChannelSession.fetch_add(1);
  ForgetOwedAnswers(board);
  board.CommChannel.Running.store(0);
  if (wait == CloseWait::None) {
    // At process exit the system has ended the reader and closes the port
    // itself; touching the device could only turn a hung driver into a hung exit.
    board.Reader.Stop(wait);
    return 1;
  }
  line.Wake();
  ReleaseSteppedAsideReader(board);
  WakeAnswerWaiter(board);
  bool stopped = false;
  if (wait == CloseWait::Full && !board.Quiet) {
    LibraryPumping pumping(board);
    stopped = board.Reader.Stop(wait);
  } else {
    stopped = board.Reader.Stop(wait == CloseWait::Full ? CloseWait::Plain : wait);
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

void ReleaseLoadObjects(tarvelin::Board& board) {
  if (board.CommChannel.Line.IsOpen() || !board.Reader.Gone()) return;
  ReleaseAnswerEvent(board);
  board.ReaderMayRead.Release();
  board.Reader.ReleaseObjects();
  board.CommChannel.Line.ReleaseKept();
}

bool ChannelClosing(tarvelin::Board& board) { return board.Closing.load(std::memory_order_acquire) != 0; }

void LibraryMessageBox(tarvelin::Board& board, const char* text, const char* caption, BoxIcon icon) {
  if (board.Quiet) {
    DebugLine("TARVELIN: MessageBox [%s] %s\n", caption != nullptr ? caption : "", text != nullptr ? text : "");
    return;
  }
  LibraryPumping pumping(board);
  ShowMessageBox(text, caption, icon);
}

void MarkLineGone(tarvelin::Board& board, const char* routine, uint32_t error) {
  if (board.LineLost.exchange(1) != 0) return;
  DebugLine("KORIMAX: %s --> The line is gone (error %lu)\n", routine, static_cast<unsigned long>(error));
  WakeAnswerWaiter(board);
}
