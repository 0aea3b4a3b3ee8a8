// Opening and closing the channel, and the line settings.
#include "serial/comm_channel.h"

#include "serial/answer_text.h"

#include <cstdarg>
#include <cstdio>

#include "serial/port_diagnostics.h"
#include "serial/wire_trace.h"

CommChannelRecord CommChannel = {
    INVALID_HANDLE_VALUE, nullptr, {0}, {0}, 9600, 0, 0, 0, 0, 0, 8, 9600, nullptr, nullptr, 0};

std::atomic<int32_t> ReaderEnded{0};
std::atomic<HMODULE> OrphanModule{nullptr};
// No reader of this load can still run: none was started, or the last one was seen to end.
bool ReaderKnownGone = true;
std::atomic<int32_t> ParkReader{0};
std::atomic<int32_t> ReaderParked{0};
std::atomic<int32_t> LimitEvent{0};
std::atomic<int32_t> PwmFinished{0};
std::atomic<int32_t> LineLost{0};
std::atomic<uint32_t> ChannelSession{0};
std::atomic<int32_t> MessageDispatchDepth{0};

CRITICAL_SECTION WriteLock;
HANDLE WriteEvent = nullptr;
// Signalled by the reader once it runs, and again once it has stopped using the
// channel. Made once for the process: a reader late to leave never signals a released handle.
HANDLE ReaderStarted = nullptr;
HANDLE ReaderStopped = nullptr;
// Set while WriteLock and the events exist, so that a write on a closed channel never touches them.
std::atomic<int32_t> WriteObjectsReady{0};

namespace {

constexpr DWORD kQueueBytes = 4096;
constexpr DWORD kPurgeAll = PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR;
// Bounds of the waits for the reader. A reader that has been woken leaves at
// once; these only keep a driver that never ends a wait from hanging the caller.
constexpr DWORD kReaderStartMs = 5000;
constexpr DWORD kReaderStopMs = 3000;
constexpr DWORD kUnloadStopMs = 1000;
constexpr int kMessagesPerRound = 64;

std::atomic<int32_t> Closing{0};

// The reader's handle as OpenComm got it; the record's copy is cleared by the reader itself.
HANDLE ReaderHandle = nullptr;

const char kTimeCriticalCaption[] =
    "Can not setup priority of the KORIMAX thread to THREAD_PRIORITY_TIME_CRITICAL";
const char kHighestCaption[] = "Can not setup priority of the KORIMAX thread to THREAD_PRIORITY_HIGHEST";

bool MakeEventOnce(HANDLE* event) {
  if (*event == nullptr) *event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  return *event != nullptr;
}

bool CreateWriteObjects() {
  WriteEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  if (WriteEvent == nullptr) return false;
  InitializeCriticalSection(&WriteLock);
  WriteObjectsReady.store(1, std::memory_order_release);
  return true;
}

void ReleaseWriteObjects() {
  WriteObjectsReady.store(0, std::memory_order_release);
  DeleteCriticalSection(&WriteLock);
  CloseHandle(WriteEvent);
  WriteEvent = nullptr;
}

// Undoes an open that failed after the port was opened.
HANDLE FailOpen(bool releaseObjects) {
  CommChannel.Running.store(0);
  CloseHandle(CommChannel.PortHandle);
  CommChannel.PortHandle = INVALID_HANDLE_VALUE;
  if (releaseObjects) ReleaseWriteObjects();
  return INVALID_HANDLE_VALUE;
}

// Waits for the event while the calling thread's windows stay served, as the
// close always has; a quit message ends the serving, not the wait.
bool WaitServingMessages(HANDLE event, DWORD limitMs) {
  LibraryPumping pumping;
  const DWORD start = GetTickCount();
  bool serving = true;
  for (;;) {
    if (serving && !PumpMessages(nullptr)) serving = false;
    const DWORD elapsed = GetTickCount() - start;
    if (elapsed >= limitMs) return WaitForSingleObject(event, 0) == WAIT_OBJECT_0;
    const DWORD remaining = limitMs - elapsed;
    const DWORD result = serving
                             ? MsgWaitForMultipleObjectsEx(1, &event, remaining, QS_ALLINPUT, MWMO_INPUTAVAILABLE)
                             : WaitForSingleObject(event, remaining);
    if (result == WAIT_OBJECT_0) return true;
    if (result == WAIT_FAILED) return false;
  }
}

int32_t LastRunNumber = 0;

// 1, 2, ...: never 0, which stops every reader.
int32_t NextRunNumber() {
  LastRunNumber = LastRunNumber == INT32_MAX ? 1 : LastRunNumber + 1;
  return LastRunNumber;
}

// Forgets the reader: its handle is given back and the record cleared.
void ForgetReader() {
  ParkReader.store(0);
  if (ReaderHandle != nullptr) CloseHandle(ReaderHandle);
  ReaderHandle = nullptr;
  CommChannel.ThreadId.store(0);
  CommChannel.ThreadHandle = nullptr;
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
  DCB dcb{};
  dcb.DCBlength = sizeof(DCB);
  // The driver keeps the settings of the port's last user: what cannot be read is not guessed at.
  if (!GetCommState(channel->PortHandle, &dcb)) return FALSE;
  dcb.DCBlength = sizeof(DCB);
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
  // Left set by another program these wedge the line: abort-on-error refuses all
  // I/O after the first framing error, DSR sensitivity drops every byte from a
  // board that does not drive DSR, and the null and error-character options alter the answer.
  dcb.fAbortOnError = 0;
  dcb.fDsrSensitivity = 0;
  dcb.fNull = 0;
  dcb.fErrorChar = 0;
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

  // Every call's result is looked at: a port that refuses its set-up is not
  // one the library can talk through, and a record it could not read is not passed on.
  COMMTIMEOUTS timeouts{};
  const char* refused = nullptr;
  if (!SetupComm(CommChannel.PortHandle, kQueueBytes, kQueueBytes)) refused = "SetupComm";
  else if (!PurgeComm(CommChannel.PortHandle, kPurgeAll)) refused = "PurgeComm";
  else if (!GetCommTimeouts(CommChannel.PortHandle, &timeouts)) refused = "GetCommTimeouts";
  if (refused == nullptr) {
    timeouts.ReadIntervalTimeout = 1;
    timeouts.ReadTotalTimeoutMultiplier = 0;
    timeouts.ReadTotalTimeoutConstant = 0;
    // Writes are bounded by the writer's own wait, which follows the line rate as it changes.
    timeouts.WriteTotalTimeoutMultiplier = 0;
    timeouts.WriteTotalTimeoutConstant = 0;
    if (!SetCommTimeouts(CommChannel.PortHandle, &timeouts)) refused = "SetCommTimeouts";
  }
  if (refused != nullptr) {
    DebugLine("KORIMAX: OpenComm --> %s failed (error %lu)\n", refused, static_cast<unsigned long>(GetLastError()));
    return FailOpen(false);
  }

  if (SetupCommState(&CommChannel) == 0) return FailOpen(false);

  // The reader reads as soon as it starts, so what it signals must exist before it does.
  if (!MakeAnswerEvent() || !MakeEventOnce(&ReaderStarted) || !MakeEventOnce(&ReaderStopped)) {
    return FailOpen(false);
  }
  if (!CreateWriteObjects()) return FailOpen(false);

  LineLost.store(0);
  ChannelSession.fetch_add(1);
  ForgetOwedAnswers();
  ResetEvent(ReaderStarted);
  ResetEvent(ReaderStopped);
  // Each open's reader runs while Running holds its own number: a reader that
  // outlived its close, or started after its open gave up on it, stops at once
  // instead of running beside the next open's reader.
  const int32_t runNumber = NextRunNumber();
  CommChannel.Running.store(runNumber);
  ReaderEnded.store(0);
  ReaderParked.store(0);
  DWORD threadId = 0;
  HANDLE thread = CreateThread(nullptr, 0, CommWatchThread, RunNumberParameter(runNumber), 0, &threadId);
  if (thread == nullptr) return FailOpen(true);
  ReaderHandle = thread;
  CommChannel.ThreadHandle = thread;
  CommChannel.ThreadId.store(threadId);
  // A reader that ended at once cleared the record before it was written: clear it again.
  if (ReaderEnded.load() != 0) {
    CommChannel.ThreadId.store(0);
    CommChannel.ThreadHandle = nullptr;
  }
  // A thread's start needs the loader lock: an open that returned before the
  // reader ran would leave an unload (which holds that lock) waiting for it forever.
  if (WaitForSingleObject(ReaderStarted, kReaderStartMs) != WAIT_OBJECT_0) {
    DebugLine("KORIMAX: OpenComm --> Reader thread did not start\n");
    // Not ended from outside (it may be inside the system's thread start, holding
    // its locks): it leaves by itself once it runs, and keeps the library loaded until then.
    HMODULE self = nullptr;
    if (GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, reinterpret_cast<LPCSTR>(&CommWatchThread),
                           &self)) {
      OrphanModule.store(self);
    }
    CommChannel.Running.store(0);
    ForgetReader();
    return FailOpen(true);
  }

  if (SetThreadPriority(thread, THREAD_PRIORITY_TIME_CRITICAL) == 0) {
    LibraryMessageBox(nullptr, kTimeCriticalCaption, MB_ICONERROR);
    if (SetThreadPriority(thread, THREAD_PRIORITY_HIGHEST) == 0) {
      LibraryMessageBox(nullptr, kHighestCaption, MB_ICONERROR);
    }
    EscapeCommFunction(CommChannel.PortHandle, SETDTR);
  }
  return CommChannel.PortHandle;
}

int32_t CloseComm(CloseWait wait) {
  if (CommChannel.PortHandle == INVALID_HANDLE_VALUE || Closing.exchange(1) != 0) return 0;
  struct ClosingEnds {
    ~ClosingEnds() { Closing.store(0, std::memory_order_release); }
  } closingEnds;
  ChannelSession.fetch_add(1);
  ForgetOwedAnswers();
  CommChannel.Running.store(0);
  if (wait == CloseWait::None) {
    // At process exit the system has ended the reader and closes the handle
    // itself; touching the device could only turn a hung driver into a hung exit.
    ForgetReader();
    CommChannel.PortHandle = INVALID_HANDLE_VALUE;
    WriteObjectsReady.store(0, std::memory_order_release);
    return 1;
  }
  if (wait == CloseWait::ReaderDone) ParkReader.store(1);
  // Changing the event mask ends a WaitCommEvent in progress, which is how close wakes the reader.
  SetCommMask(CommChannel.PortHandle, 0);
  SetCommMask(CommChannel.PortHandle, EV_BREAK);
  SetCommMask(CommChannel.PortHandle, 0);
  // A read that a driver keeps waiting (it overstated what it held) ends here too.
  CancelIoEx(CommChannel.PortHandle, nullptr);
  WakeAnswerWaiter();

  const bool readerRan = ReaderHandle != nullptr;
  bool stopped = !readerRan || ReaderEnded.load() != 0;
  if (!stopped) {
    // Under the loader lock no message is dispatched: a window procedure may need that lock.
    stopped = wait == CloseWait::Full ? WaitServingMessages(ReaderStopped, kReaderStopMs)
                                      : WaitForSingleObject(ReaderStopped, kUnloadStopMs) == WAIT_OBJECT_0;
  }
  if (!stopped) {
    DebugLine("KORIMAX: CloseComm --> Reader thread did not stop\n");
    // It stops at its next look at Running; the next reader must not share its waits.
    AbandonReaderRecord();
  }
  bool ended = !readerRan;
  if (readerRan && wait == CloseWait::ReaderDone) {
    // No thread of the library may outlive it; the reader is ended only where it
    // is parked, past its last use of the channel and out of every lock.
    if (ReaderParked.load() != 0) {
      TerminateThread(ReaderHandle, 0);
      ended = WaitForSingleObject(ReaderHandle, kUnloadStopMs) == WAIT_OBJECT_0;
    }
  } else if (readerRan && stopped) {
    ended = WaitForSingleObject(ReaderHandle, kReaderStopMs) == WAIT_OBJECT_0;
  }
  ReaderKnownGone = ended;
  ForgetReader();

  Sleep(20);
  EscapeCommFunction(CommChannel.PortHandle, CLRDTR);
  PurgeComm(CommChannel.PortHandle, kPurgeAll);
  CloseHandle(CommChannel.PortHandle);
  CommChannel.PortHandle = INVALID_HANDLE_VALUE;
  ReleaseWriteObjects();
  StopWireTrace();
  return 1;
}

bool PumpMessages(HWND window) {
  MSG message;
  for (int round = 0; round < kMessagesPerRound; ++round) {
    // A Unicode window gets its messages in Unicode: taken through the ANSI
    // calls, a keystroke outside the ANSI code page would arrive as "?".
    if (!PeekMessageW(&message, window, 0, 0, PM_NOREMOVE)) break;
    const bool unicode = message.hwnd != nullptr && IsWindowUnicode(message.hwnd);
    if (!(unicode ? PeekMessageW : PeekMessageA)(&message, window, 0, 0, PM_REMOVE)) break;
    if (message.message == WM_QUIT) {
      // The program's own loop must still see it, or the program never exits.
      PostQuitMessage(static_cast<int>(message.wParam));
      return false;
    }
    TranslateMessage(&message);
    if (unicode) {
      DispatchMessageW(&message);
    } else {
      DispatchMessageA(&message);
    }
  }
  return true;
}

void ReleaseLoadObjects() {
  if (CommChannel.PortHandle != INVALID_HANDLE_VALUE || !ReaderKnownGone || OrphanModule.load() != nullptr) return;
  HANDLE answerEvent = AnswerEvent.exchange(nullptr);
  if (answerEvent != nullptr) CloseHandle(answerEvent);
  for (HANDLE* event : {&ReaderStarted, &ReaderStopped}) {
    if (*event != nullptr) CloseHandle(*event);
    *event = nullptr;
  }
  ReleaseReaderRecord();
  ReleaseWriteRecord();
}

bool ChannelClosing() { return Closing.load(std::memory_order_acquire) != 0; }

int LibraryMessageBox(LPCSTR text, LPCSTR caption, UINT type) {
  MessageDispatchDepth.fetch_add(1, std::memory_order_acq_rel);
  const int pressed = MessageBoxA(nullptr, text, caption, type);
  MessageDispatchDepth.fetch_sub(1, std::memory_order_acq_rel);
  return pressed;
}

bool LineGoneError(DWORD error) {
  // Drivers differ in how they say a USB adapter was pulled out: these are the
  // answers seen from the common ones to I/O on a device that is gone.
  switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_ACCESS_DENIED:
    case ERROR_BAD_COMMAND:
    case ERROR_GEN_FAILURE:
    case ERROR_DEV_NOT_EXIST:
    case ERROR_DEVICE_NOT_CONNECTED:
    case ERROR_DEVICE_REMOVED:
      return true;
    default:
      return false;
  }
}

void MarkLineGone(const char* routine, DWORD error) {
  if (LineLost.exchange(1) != 0) return;
  DebugLine("KORIMAX: %s --> The line is gone (error %lu)\n", routine, static_cast<unsigned long>(error));
  WakeAnswerWaiter();
}
