// The reader thread on Windows. Its start needs the loader lock, and while the
// library is being unloaded (the loader lock held) no thread can leave: an
// open waits for its reader to run, and an unload parks the reader outside
// every lock and ends it there, so that no thread of the library outlives it.
#include "platform/reader_thread.h"

#include "platform/host.h"
#include "platform/win32/win32.h"

namespace tarvelin {

namespace {

// Bounds of the waits for the reader. A reader that has been woken leaves at
// once; these only keep a driver that never ends a wait from hanging the caller.
constexpr DWORD kReaderStartMs = 5000;
constexpr DWORD kReaderStopMs = 3000;
constexpr DWORD kUnloadStopMs = 1000;
constexpr DWORD kParkSliceMs = 100;

const char kTimeCriticalCaption[] = "Can not setup priority of the KORIMAX thread to THREAD_PRIORITY_TIME_CRITICAL";
const char kHighestCaption[] = "Can not setup priority of the KORIMAX thread to THREAD_PRIORITY_HIGHEST";

// Read by a reader that starts late, after a later open wrote them again.
std::atomic<ReaderBody> Body{nullptr};
std::atomic<const std::atomic<int32_t>*> Running{nullptr};
// Signalled by the reader once it runs, and again once it has stopped using the
// channel. Made once for the load: a reader late to leave never signals a released handle.
HANDLE ReaderStarted = nullptr;
HANDLE ReaderStopped = nullptr;
// The reader's handle as the open got it.
HANDLE ReaderHandle = nullptr;
// Set by the reader as its last act.
std::atomic<int32_t> ReaderEnded{0};
// From the reader's start until it leaves its body.
std::atomic<int32_t> ReaderInBody{0};
// Set by an unload's close: the reader then stops at its end, outside every
// lock, sets ReaderParked, and the close ends the thread there.
std::atomic<int32_t> ParkReader{0};
std::atomic<int32_t> ReaderParked{0};
// The library's own module, referenced for a reader whose open gave up on it
// before it ran: it leaves through FreeLibraryAndExitThread.
std::atomic<HMODULE> OrphanModule{nullptr};
// No reader of this load can still run: none was started, or the last one was seen to end.
bool ReaderKnownGone = true;

bool MakeEventOnce(HANDLE* event) {
  if (*event == nullptr) *event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  return *event != nullptr;
}

LPVOID RunNumberParameter(int32_t runNumber) { return reinterpret_cast<LPVOID>(static_cast<intptr_t>(runNumber)); }

DWORD WINAPI ReaderThreadMain(LPVOID parameter) {
  const auto runNumber = static_cast<int32_t>(reinterpret_cast<intptr_t>(parameter));
  if (Running.load()->load() != runNumber) {
    // Its open gave up before it ran: it touches nothing of a later open.
    const HMODULE module = OrphanModule.exchange(nullptr);
    if (module != nullptr) FreeLibraryAndExitThread(module, 0);
    return 0;
  }
  ReaderInBody.store(1);
  SetEvent(ReaderStarted);
  Body.load()(runNumber);
  ReaderInBody.store(0);
  // A later open has its own reader, whose signals these are now.
  const int32_t running = Running.load()->load();
  if (running != 0 && running != runNumber) return 0;
  ReaderEnded.store(1);
  if (ParkReader.load() != 0) ReaderParked.store(1);
  SetEvent(ReaderStopped);
  // While the library is being unloaded it would leave through code that is
  // gone by then: it waits here for the close to end it.
  while (ParkReader.load() != 0) Sleep(kParkSliceMs);
  return 0;
}

// Waits for the event while the calling thread's windows stay served, as the
// close always has; a quit message ends the serving, not the wait.
bool WaitServingMessages(HANDLE event, DWORD limitMs) {
  const DWORD start = GetTickCount();
  bool serving = true;
  for (;;) {
    if (serving && !PumpMessages()) serving = false;
    const DWORD elapsed = GetTickCount() - start;
    if (elapsed >= limitMs) return WaitForSingleObject(event, 0) == WAIT_OBJECT_0;
    const DWORD remaining = limitMs - elapsed;
    const DWORD result = serving ? MsgWaitForMultipleObjectsEx(1, &event, remaining, QS_ALLINPUT, MWMO_INPUTAVAILABLE)
                                 : WaitForSingleObject(event, remaining);
    if (result == WAIT_OBJECT_0) return true;
    if (result == WAIT_FAILED) return false;
  }
}

void ForgetReader() {
  ParkReader.store(0);
  if (ReaderHandle != nullptr) CloseHandle(ReaderHandle);
  ReaderHandle = nullptr;
}

}  // namespace

bool StartReaderThread(ReaderBody body, int32_t runNumber, const std::atomic<int32_t>* running) {
  if (!MakeEventOnce(&ReaderStarted) || !MakeEventOnce(&ReaderStopped)) return false;
  Body = body;
  Running = running;
  ResetEvent(ReaderStarted);
  ResetEvent(ReaderStopped);
  ReaderEnded.store(0);
  ReaderParked.store(0);
  DWORD threadId = 0;
  HANDLE thread = CreateThread(nullptr, 0, ReaderThreadMain, RunNumberParameter(runNumber), 0, &threadId);
  if (thread == nullptr) return false;
  ReaderHandle = thread;
  ReaderKnownGone = false;
  // A thread's start needs the loader lock: an open that returned before the
  // reader ran would leave an unload (which holds that lock) waiting for it forever.
  if (WaitForSingleObject(ReaderStarted, kReaderStartMs) == WAIT_OBJECT_0) return true;
  DebugLine("KORIMAX: OpenComm --> Reader thread did not start\n");
  // Not ended from outside (it may be inside the system's thread start, holding
  // its locks): it leaves by itself once it runs, and keeps the library loaded until then.
  HMODULE self = nullptr;
  if (GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, reinterpret_cast<LPCSTR>(&ReaderThreadMain), &self)) {
    OrphanModule.store(self);
  }
  ForgetReader();
  return false;
}

bool RaiseReaderPriority(void (*tell)(const char* caption)) {
  if (ReaderHandle == nullptr || SetThreadPriority(ReaderHandle, THREAD_PRIORITY_TIME_CRITICAL) != 0) return true;
  tell(kTimeCriticalCaption);
  if (SetThreadPriority(ReaderHandle, THREAD_PRIORITY_HIGHEST) == 0) tell(kHighestCaption);
  return false;
}

bool StopReaderThread(CloseWait wait) {
  if (wait == CloseWait::None) {
    // At process exit the system has ended the reader already.
    ForgetReader();
    return true;
  }
  const bool readerRan = ReaderHandle != nullptr;
  if (wait == CloseWait::ReaderDone && readerRan) ParkReader.store(1);
  bool stopped = !readerRan || ReaderEnded.load() != 0;
  if (!stopped) {
    // Under the loader lock no message is dispatched: a window procedure may need that lock.
    stopped = wait == CloseWait::Full ? WaitServingMessages(ReaderStopped, kReaderStopMs)
                                      : WaitForSingleObject(ReaderStopped, kUnloadStopMs) == WAIT_OBJECT_0;
  }
  if (!stopped) DebugLine("KORIMAX: CloseComm --> Reader thread did not stop\n");
  bool ended = !readerRan;
  if (readerRan && wait == CloseWait::ReaderDone) {
    // The reader is ended only where it is parked, past its last use of the
    // channel and out of every lock.
    if (ReaderParked.load() != 0) {
      TerminateThread(ReaderHandle, 0);
      ended = WaitForSingleObject(ReaderHandle, kUnloadStopMs) == WAIT_OBJECT_0;
    }
  } else if (readerRan && stopped) {
    ended = WaitForSingleObject(ReaderHandle, kReaderStopMs) == WAIT_OBJECT_0;
  }
  ReaderKnownGone = ended;
  ForgetReader();
  return stopped;
}

bool CallersReadTheLine() { return false; }

bool ReaderRunning() { return ReaderInBody.load() != 0; }

bool ReaderThreadsGone() { return ReaderKnownGone && OrphanModule.load() == nullptr; }

void ReleaseReaderThreadObjects() {
  for (HANDLE* event : {&ReaderStarted, &ReaderStopped}) {
    if (*event != nullptr) CloseHandle(*event);
    *event = nullptr;
  }
}

}  // namespace tarvelin
