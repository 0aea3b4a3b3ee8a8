// Opening and closing the channel, and the line settings.
#include "serial/comm_channel.h"

#include <cstdarg>
#include <cstdio>

#include "serial/port_diagnostics.h"
#include "serial/wire_trace.h"

CommChannelRecord CommChannel = {
    INVALID_HANDLE_VALUE, nullptr, {0}, {0}, 9600, 0, 0, 0, 0, 0, 8, 9600, nullptr, nullptr, 0};

std::atomic<int32_t> ReaderEnded{0};
std::atomic<int32_t> ParkReader{0};
std::atomic<int32_t> LimitEvent{0};
std::atomic<int32_t> PwmFinished{0};

CRITICAL_SECTION WriteLock;
HANDLE WriteEvent = nullptr;
HANDLE ReadEvent = nullptr;
// Set while WriteLock and the events exist, so that a write on a closed channel never touches them.
std::atomic<int32_t> WriteObjectsReady{0};

namespace {

constexpr DWORD kQueueBytes = 4096;
constexpr DWORD kPurgeAll = PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR;
constexpr DWORD kCloseWaitMs = 2000;  // a reader that has cleared its identifier ends at once

// The reader's handle as OpenComm got it; the record's copy is cleared by the reader itself.
HANDLE ReaderHandle = nullptr;

const char kTimeCriticalCaption[] =
    "Can not setup priority of the KORIMAX thread to THREAD_PRIORITY_TIME_CRITICAL";
const char kHighestCaption[] = "Can not setup priority of the KORIMAX thread to THREAD_PRIORITY_HIGHEST";

bool CreateWriteObjects() {
  WriteEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  ReadEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  if (WriteEvent == nullptr || ReadEvent == nullptr) {
    if (WriteEvent != nullptr) CloseHandle(WriteEvent);
    if (ReadEvent != nullptr) CloseHandle(ReadEvent);
    WriteEvent = ReadEvent = nullptr;
    return false;
  }
  InitializeCriticalSection(&WriteLock);
  WriteObjectsReady.store(1, std::memory_order_release);
  return true;
}

void ReleaseWriteObjects() {
  WriteObjectsReady.store(0, std::memory_order_release);
  DeleteCriticalSection(&WriteLock);
  CloseHandle(WriteEvent);
  CloseHandle(ReadEvent);
  WriteEvent = ReadEvent = nullptr;
}

// Undoes an open that failed after the port was opened.
HANDLE FailOpen(bool releaseObjects) {
  CommChannel.Running.store(0);
  CloseHandle(CommChannel.PortHandle);
  CommChannel.PortHandle = INVALID_HANDLE_VALUE;
  if (releaseObjects) ReleaseWriteObjects();
  return INVALID_HANDLE_VALUE;
}

bool ReaderGone() {
  return ReaderHandle == nullptr || WaitForSingleObject(ReaderHandle, 0) == WAIT_OBJECT_0;
}

}  // namespace

void DebugLine(const char* format, ...) {
  char line[256];
  va_list args;
  va_start(args, format);
  vsnprintf(line, sizeof line, format, args);
  va_end(args);
  OutputDebugStringA(line);
}

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

BOOL SetupCommState(CommChannelRecord* channel) {
  DCB dcb;
  dcb.DCBlength = sizeof(DCB);
  GetCommState(channel->PortHandle, &dcb);
  dcb.BaudRate = channel->LineBaudRate;
  dcb.ByteSize = channel->LineByteSize;
  dcb.Parity = channel->LineParity;
  dcb.StopBits = channel->LineStopBits;
  dcb.fBinary = 1;
  dcb.fParity = 1;
  dcb.fOutxCtsFlow = channel->CtsFlowControl != 0;
  dcb.fOutxDsrFlow = channel->DsrFlowControl != 0;
  dcb.fDtrControl = channel->DsrFlowControl != 0 ? DTR_CONTROL_HANDSHAKE : DTR_CONTROL_ENABLE;
  dcb.fRtsControl = channel->CtsFlowControl != 0 ? RTS_CONTROL_HANDSHAKE : RTS_CONTROL_ENABLE;
  dcb.fOutX = channel->XonXoffControl != 0;
  dcb.fInX = channel->XonXoffControl != 0;
  dcb.XonChar = 17;
  dcb.XoffChar = 19;
  dcb.XonLim = 100;
  dcb.XoffLim = 100;
  return SetCommState(channel->PortHandle, &dcb);
}

HANDLE OpenComm(int32_t portNumber) {
  if (CommChannel.PortHandle != INVALID_HANDLE_VALUE) return INVALID_HANDLE_VALUE;

  // Windows reaches COM10 and above only through the device namespace, which names every port.
  char name[32];
  snprintf(name, sizeof name, "\\\\.\\COM%d", static_cast<int>(portNumber));
  StartWireTrace();
  CommChannel.PortHandle = CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                       FILE_FLAG_OVERLAPPED | FILE_ATTRIBUTE_NORMAL, nullptr);
  if (CommChannel.PortHandle == INVALID_HANDLE_VALUE) {
    ReportOpenFailure(name);
    return INVALID_HANDLE_VALUE;
  }

  SetupComm(CommChannel.PortHandle, kQueueBytes, kQueueBytes);
  PurgeComm(CommChannel.PortHandle, kPurgeAll);
  COMMTIMEOUTS timeouts;
  GetCommTimeouts(CommChannel.PortHandle, &timeouts);
  timeouts.ReadIntervalTimeout = 1;
  timeouts.ReadTotalTimeoutMultiplier = 0;
  timeouts.ReadTotalTimeoutConstant = 0;
  timeouts.WriteTotalTimeoutMultiplier = 0;
  timeouts.WriteTotalTimeoutConstant = 0;
  SetCommTimeouts(CommChannel.PortHandle, &timeouts);

  if (SetupCommState(&CommChannel) == 0) return FailOpen(false);

  // The reader reads as soon as it starts, so its event must exist before it does.
  if (!CreateWriteObjects()) return FailOpen(false);

  CommChannel.Running.store(1);
  ReaderEnded.store(0);
  DWORD threadId = 0;
  HANDLE thread = CreateThread(nullptr, 0, CommWatchThread, &CommChannel, 0, &threadId);
  if (thread == nullptr) return FailOpen(true);
  ReaderHandle = thread;
  CommChannel.ThreadHandle = thread;
  CommChannel.ThreadId.store(threadId);
  // A reader that ended at once cleared the record before it was written: clear it again.
  if (ReaderEnded.load() != 0) {
    CommChannel.ThreadId.store(0);
    CommChannel.ThreadHandle = nullptr;
  }

  if (SetThreadPriority(thread, THREAD_PRIORITY_TIME_CRITICAL) == 0) {
    MessageBoxA(nullptr, nullptr, kTimeCriticalCaption, MB_ICONERROR);
    if (SetThreadPriority(thread, THREAD_PRIORITY_HIGHEST) == 0) {
      MessageBoxA(nullptr, nullptr, kHighestCaption, MB_ICONERROR);
    }
    EscapeCommFunction(CommChannel.PortHandle, SETDTR);
  }
  return CommChannel.PortHandle;
}

int32_t CloseComm(CloseWait wait) {
  if (CommChannel.PortHandle == INVALID_HANDLE_VALUE) return 0;
  if (wait == CloseWait::ReaderDone) ParkReader.store(1);
  CommChannel.Running.store(0);
  // Changing the event mask ends a WaitCommEvent in progress, which is how close wakes the reader.
  SetCommMask(CommChannel.PortHandle, 0);
  SetCommMask(CommChannel.PortHandle, EV_BREAK);
  SetCommMask(CommChannel.PortHandle, 0);
  if (wait != CloseWait::None) {
    // A reader may be gone without clearing its identifier (at process exit): its handle tells.
    while (CommChannel.ThreadId.load() != 0 && !ReaderGone()) {
      PumpMessages(nullptr);
      Sleep(0);
    }
    if (wait == CloseWait::ReaderDone && ReaderHandle != nullptr && !ReaderGone()) {
      // The reader is parked past its last use of the channel; no thread of the
      // library may outlive it.
      TerminateThread(ReaderHandle, 0);
    }
    if (ReaderHandle != nullptr) WaitForSingleObject(ReaderHandle, kCloseWaitMs);
  }
  ParkReader.store(0);
  if (ReaderHandle != nullptr) CloseHandle(ReaderHandle);
  ReaderHandle = nullptr;
  CommChannel.ThreadId.store(0);
  CommChannel.ThreadHandle = nullptr;

  Sleep(20);
  EscapeCommFunction(CommChannel.PortHandle, CLRDTR);
  PurgeComm(CommChannel.PortHandle, kPurgeAll);
  CloseHandle(CommChannel.PortHandle);
  CommChannel.PortHandle = INVALID_HANDLE_VALUE;
  ReleaseWriteObjects();
  StopWireTrace();
  return 1;
}

void PumpMessages(HWND window) {
  MSG message;
  while (PeekMessageA(&message, window, 0, 0, PM_REMOVE)) {
    TranslateMessage(&message);
    DispatchMessageA(&message);
  }
}
