// The reader thread on Windows. Its start needs the loader lock, and while the
// library is being unloaded (the loader lock held) no thread can leave: an
// open waits for its reader to run, and an unload parks the reader outside
// every lock and ends it there, so that no thread of the library outlives it.
#include "platform/reader_thread.h"

#include <new>

#include "platform/host.h"
#include "platform/win32/win32.h"

namespace tarvelin {

// What one board's reader is started, watched and ended with. Given back only
// once no thread of it can run; its events are made once and kept, so that a
// reader late to leave never signals a released handle.
struct ReaderThread::State {
  // Read by a reader that starts late, after a later open wrote them again.
  std::atomic<ReaderBody> body{nullptr};
  std::atomic<void*> context{nullptr};
  std::atomic<const std::atomic<int32_t>*> running{nullptr};
  // Signalled by the reader once it runs, and again once it has stopped using the channel.
  HANDLE started = nullptr;
  HANDLE stoppedEvent = nullptr;
  // The reader's handle as the open got it.
  HANDLE handle = nullptr;
  // Set by the reader as its last act.
  std::atomic<int32_t> ended{0};
  // From the reader's start until it leaves its body.
  std::atomic<int32_t> inBody{0};
  // Set by an unload's close: the reader then stops at its end, outside every
  // lock, sets parked, and the close ends the thread there.
  std::atomic<int32_t> park{0};
  std::atomic<int32_t> parked{0};
  // The library's own module, referenced for a reader whose open gave up on it
  // before it ran: it leaves through FreeLibraryAndExitThread.
  std::atomic<HMODULE> orphanModule{nullptr};
  // No reader of this board can still run: none was started, or the last one was seen to end.
  bool knownGone = true;
};

namespace {

// Bounds of the waits for the reader. A reader that has been woken leaves at
// once; these only keep a driver that never ends a wait from hanging the caller.
constexpr DWORD kReaderStartMs = 5000;
constexpr DWORD kReaderStopMs = 3000;
constexpr DWORD kUnloadStopMs = 1000;
constexpr DWORD kParkSliceMs = 100;

const char kTimeCriticalCaption[] = "Can not setup priority of the KORIMAX thread to THREAD_PRIORITY_TIME_CRITICAL";
const char kHighestCaption[] = "Can not setup priority of the KORIMAX thread to THREAD_PRIORITY_HIGHEST";

bool MakeEventOnce(HANDLE* event) {
  if (*event == nullptr) *event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  return *event != nullptr;
}

// What one thread is started with: its board's state and its own run number.
struct Launch {
  ReaderThread::State* state;
  int32_t runNumber;
};

DWORD WINAPI ReaderThreadMain(LPVOID parameter) {
  const Launch launch = *static_cast<Launch*>(parameter);
  delete static_cast<Launch*>(parameter);
  ReaderThread::State& state = *launch.state;
  const int32_t runNumber = launch.runNumber;
  if (state.running.load()->load() != runNumber) {
    // Its open gave up before it ran: it touches nothing of a later open.
    const HMODULE module = state.orphanModule.exchange(nullptr);
    if (module != nullptr) FreeLibraryAndExitThread(module, 0);
    return 0;
  }
  state.inBody.store(1);
  SetEvent(state.started);
  state.body.load()(state.context.load(), runNumber);
  state.inBody.store(0);
  // A later open has its own reader, whose signals these are now.
  const int32_t running = state.running.load()->load();
  if (running != 0 && running != runNumber) return 0;
  state.ended.store(1);
  if (state.park.load() != 0) state.parked.store(1);
  SetEvent(state.stoppedEvent);
  // While the library is being unloaded it would leave through code that is
  // gone by then: it waits here for the close to end it.
  while (state.park.load() != 0) Sleep(kParkSliceMs);
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

void ForgetReader(ReaderThread::State& state) {
  state.park.store(0);
  if (state.handle != nullptr) CloseHandle(state.handle);
  state.handle = nullptr;
}

}  // namespace

bool ReaderThread::Start(ReaderBody body, void* context, int32_t runNumber, const std::atomic<int32_t>* running) {
  if (state_ == nullptr) state_ = new (std::nothrow) State;
  if (state_ == nullptr) return false;
  State& state = *state_;
  if (!MakeEventOnce(&state.started) || !MakeEventOnce(&state.stoppedEvent)) return false;
  auto* launch = new (std::nothrow) Launch{state_, runNumber};
  if (launch == nullptr) return false;
  state.body = body;
  state.context = context;
  state.running = running;
  ResetEvent(state.started);
  ResetEvent(state.stoppedEvent);
  state.ended.store(0);
  state.parked.store(0);
  DWORD threadId = 0;
  HANDLE thread = CreateThread(nullptr, 0, ReaderThreadMain, launch, 0, &threadId);
  if (thread == nullptr) {
    delete launch;
    return false;
  }
  state.handle = thread;
  state.knownGone = false;
  // A thread's start needs the loader lock: an open that returned before the
  // reader ran would leave an unload (which holds that lock) waiting for it forever.
  if (WaitForSingleObject(state.started, kReaderStartMs) == WAIT_OBJECT_0) return true;
  DebugLine("KORIMAX: OpenComm --> Reader thread did not start\n");
  // Not ended from outside (it may be inside the system's thread start, holding
  // its locks): it leaves by itself once it runs, and keeps the library loaded until then.
  HMODULE self = nullptr;
  if (GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, reinterpret_cast<LPCSTR>(&ReaderThreadMain), &self)) {
    state.orphanModule.store(self);
  }
  ForgetReader(state);
  return false;
}

bool ReaderThread::RaisePriority(void (*tell)(void* context, const char* caption), void* context) {
  if (state_ == nullptr) return true;
  const HANDLE handle = state_->handle;
  if (handle == nullptr || SetThreadPriority(handle, THREAD_PRIORITY_TIME_CRITICAL) != 0) return true;
  tell(context, kTimeCriticalCaption);
  if (SetThreadPriority(handle, THREAD_PRIORITY_HIGHEST) == 0) tell(context, kHighestCaption);
  return false;
}

bool ReaderThread::Stop(CloseWait wait) {
  if (state_ == nullptr) return true;
  State& state = *state_;
  if (wait == CloseWait::None) {
    // At process exit the system has ended the reader already.
    ForgetReader(state);
    return true;
  }
  const bool readerRan = state.handle != nullptr;
  if (wait == CloseWait::ReaderDone && readerRan) state.park.store(1);
  bool stopped = !readerRan || state.ended.load() != 0;
  if (!stopped) {
    // Under the loader lock no message is dispatched: a window procedure may need that lock.
    if (wait == CloseWait::Full) {
      stopped = WaitServingMessages(state.stoppedEvent, kReaderStopMs);
    } else {
      const DWORD limitMs = wait == CloseWait::Plain ? kReaderStopMs : kUnloadStopMs;
      stopped = WaitForSingleObject(state.stoppedEvent, limitMs) == WAIT_OBJECT_0;
    }
  }
  if (!stopped) DebugLine("KORIMAX: CloseComm --> Reader thread did not stop\n");
  bool ended = !readerRan;
  if (readerRan && wait == CloseWait::ReaderDone) {
    // The reader is ended only where it is parked, past its last use of the
    // channel and out of every lock.
    if (state.parked.load() != 0) {
      TerminateThread(state.handle, 0);
      ended = WaitForSingleObject(state.handle, kUnloadStopMs) == WAIT_OBJECT_0;
    }
  } else if (readerRan && stopped) {
    ended = WaitForSingleObject(state.handle, kReaderStopMs) == WAIT_OBJECT_0;
  }
  state.knownGone = ended;
  ForgetReader(state);
  return stopped;
}

bool CallersReadTheLine() { return false; }

bool ReaderThread::Running() const { return state_ != nullptr && state_->inBody.load() != 0; }

bool ReaderThread::Gone() const {
  return state_ == nullptr || (state_->knownGone && state_->orphanModule.load() == nullptr);
}

void ReaderThread::ReleaseObjects() {
  if (!Gone() || state_ == nullptr) return;
  for (HANDLE* event : {&state_->started, &state_->stoppedEvent}) {
    if (*event != nullptr) CloseHandle(*event);
    *event = nullptr;
  }
  delete state_;
  state_ = nullptr;
}

}  // namespace tarvelin
