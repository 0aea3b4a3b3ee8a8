// Events, the critical section, threads, time, diagnostics and the user
// interface of the stand-in, over pthreads and the monotonic clock.
#include <linux/futex.h>
#include <pthread.h>
#include <sched.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "platform/posix/deadline.h"
#include "standin_faults.h"
#include "standin_internal.h"

namespace standin {
namespace {

thread_local DWORD LastError = 0;
struct Thread;
thread_local Thread* CurrentThread = nullptr;

// Objects live in fixed pools: the library opens one port, a few events and one thread.
constexpr int kEvents = 16;
constexpr int kThreads = 8;
constexpr int kWakeAtOnce = 8;  // waiters woken outside the lock; more are woken under it

// A thread waiting for events: its own condition, so that signalling an event
// wakes only the threads waiting for that event. A wait takes a waiter for its
// duration; waiters are never destroyed, and a signal that reaches a waiter
// after its wait ended only wakes its next user for nothing. (Not one per
// thread: a thread-local object with a destructor would keep the library from
// being unloaded.)
struct Waiter {
  pthread_cond_t cond;
  Waiter* nextFree;
};

// One waiting thread's place in an event's list; lives on that thread's stack.
struct WaitNode {
  Waiter* waiter;
  WaitNode* next;
};

// Every event shares one lock, so that a thread can wait for several events
// and its message queue at once.
struct Event {
  ObjectHeader header;
  bool manualReset;
  // Set and reset without the lock; a signal takes the lock only when a thread
  // is linked in waiting, which a waiter does before it looks at the state a
  // last time, so that one of the two always sees the other.
  std::atomic<bool> signaled;
  std::atomic<WaitNode*> waiting;
  DriveFunction drive;  // set while a pending request completes through this event
  void* driveContext;
};

struct Thread {
  ObjectHeader header;
  pthread_t thread;
  LPTHREAD_START_ROUTINE start;
  LPVOID parameter;
  bool finished;
  bool joined;  // joined or detached: no more pthread_join
  bool handleClosed;
  DWORD id;
  DWORD startDelayMs;
  std::atomic<bool> terminating;  // TerminateThread asked: the thread ends at its next Sleep
};

pthread_mutex_t PoolLock = PTHREAD_MUTEX_INITIALIZER;
pthread_cond_t ThreadEnded;  // initialised once with the monotonic clock
pthread_mutex_t EventLock = PTHREAD_MUTEX_INITIALIZER;
Waiter* FreeWaiters = nullptr;  // under EventLock

// The calling thread's message queue. Only the thread itself posts to it.
constexpr int kQueuedMessages = 64;
struct MessageQueue {
  MSG messages[kQueuedMessages];
  int head;
  int count;
};
thread_local MessageQueue Messages{};
// Messages sent to the thread (another thread's SendMessage, broadcasts, hooks):
// not queued, they run inside PeekMessage before it looks at the queue.
thread_local MessageQueue SentMessages{};
thread_local DWORD ThisThreadId = 0;
Event Events[kEvents];
Thread Threads[kThreads];
std::atomic<uint32_t> NextThreadId{1};

std::atomic<int> RefusedPriorities{0};
std::atomic<int> TerminateCalls{0};
std::atomic<DWORD> StartDelayMs{0};
std::atomic<int> MessageBoxes{0};
char LastCaption[256];
char LastText[256];
UINT LastStyle = 0;
std::atomic<bool> DebugCapture{false};
char DebugBuffer[16384];
size_t DebugLength = 0;

pthread_once_t InitOnce = PTHREAD_ONCE_INIT;
void InitPools() { InitCond(&ThreadEnded); }

// The library's clock may run faster than real time for tests: the tick count
// advances `scale` times as fast, and timed waits and sleeps last 1/scale as long.
std::atomic<double> ClockScale{1.0};
std::atomic<uint64_t> ScaleBaseRealMs{0};
std::atomic<uint64_t> ScaleBaseTickMs{0};
// Set while the tick count is held still for a test.
std::atomic<bool> ClockFrozen{false};
std::atomic<DWORD> FrozenTick{0};

uint64_t RealMs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
}

DWORD RealWaitMs(DWORD milliseconds) {
  const double scale = ClockScale.load();
  if (milliseconds == INFINITE || scale == 1.0) return milliseconds;
  const double real = static_cast<double>(milliseconds) / scale;
  return milliseconds == 0 ? 0 : static_cast<DWORD>(real) + 1;
}

// On the library's clock: a scaled clock ends the real wait sooner.
timespec DeadlineAfter(DWORD milliseconds) { return tarvelin::DeadlineAfter(RealWaitMs(milliseconds)); }

// A waiter for one wait; under EventLock.
Waiter* TakeWaiter() {
  Waiter* waiter = FreeWaiters;
  if (waiter != nullptr) {
    FreeWaiters = waiter->nextFree;
    return waiter;
  }
  waiter = new (std::nothrow) Waiter;
  if (waiter != nullptr) InitCond(&waiter->cond);
  return waiter;
}

void GiveBackWaiter(Waiter* waiter) {
  waiter->nextFree = FreeWaiters;
  FreeWaiters = waiter;
}

Thread* AsThread(HANDLE handle) { return KindOf(handle) == Kind::Thread ? static_cast<Thread*>(handle) : nullptr; }

Event* AsEvent(HANDLE handle) { return KindOf(handle) == Kind::Event ? static_cast<Event*>(handle) : nullptr; }

void MarkFinished(void* argument) {
  auto* thread = static_cast<Thread*>(argument);
  pthread_mutex_lock(&PoolLock);
  thread->finished = true;
  // A detached thread whose handle is closed gives its slot back itself.
  if (thread->handleClosed && thread->joined) thread->header.kind = Kind::Free;
  pthread_cond_broadcast(&ThreadEnded);
  pthread_mutex_unlock(&PoolLock);
}

void* ThreadMain(void* argument) {
  // A terminated thread is finished all the same: the cleanup runs either way.
  pthread_cleanup_push(MarkFinished, argument);
  auto* thread = static_cast<Thread*>(argument);
  CurrentThread = thread;
  ThisThreadId = thread->id;
  const DWORD delay = thread->startDelayMs;
  if (delay != 0) {
    timespec ts{static_cast<time_t>(delay / 1000), static_cast<long>(delay % 1000) * 1000000L};
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
    if (thread->terminating.load()) pthread_exit(nullptr);  // ended before it ran
  }
  thread->start(thread->parameter);
  pthread_cleanup_pop(1);
  return nullptr;
}

}  // namespace

void InitCond(pthread_cond_t* cond) {
  pthread_condattr_t attr;
  pthread_condattr_init(&attr);
  pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
  pthread_cond_init(cond, &attr);
  pthread_condattr_destroy(&attr);
}

Kind KindOf(HANDLE handle) {
  if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return Kind::Free;
  return static_cast<ObjectHeader*>(handle)->kind;
}

bool SignalEvent(HANDLE handle) {
  Event* event = AsEvent(handle);
  if (event == nullptr) return false;
  event->signaled.store(true);
  if (event->waiting.load() == nullptr) return true;
  Waiter* wake[kWakeAtOnce];
  int waking = 0;
  pthread_mutex_lock(&EventLock);
  for (WaitNode* node = event->waiting.load(); node != nullptr; node = node->next) {
    if (waking < kWakeAtOnce) {
      wake[waking++] = node->waiter;
    } else {
      pthread_cond_signal(&node->waiter->cond);
    }
  }
  pthread_mutex_unlock(&EventLock);
  // Woken after the lock is let go, so that a woken thread does not at once
  // wait again for the lock this thread still holds.
  for (int i = 0; i < waking; ++i) pthread_cond_signal(&wake[i]->cond);
  return true;
}

void AttachDriver(HANDLE handle, DriveFunction drive, void* context) {
  Event* event = AsEvent(handle);
  if (event == nullptr) return;
  pthread_mutex_lock(&EventLock);
  event->drive = drive;
  event->driveContext = context;
  pthread_mutex_unlock(&EventLock);
}

void DetachDriver(HANDLE handle, void* context) {
  Event* event = AsEvent(handle);
  if (event == nullptr) return;
  pthread_mutex_lock(&EventLock);
  if (event->driveContext == context) {
    event->drive = nullptr;
    event->driveContext = nullptr;
  }
  pthread_mutex_unlock(&EventLock);
}

namespace {

void Unlink(Event* event, WaitNode* node) {
  if (event->waiting.load() == node) {
    event->waiting.store(node->next);
    return;
  }
  for (WaitNode* before = event->waiting.load(); before != nullptr; before = before->next) {
    if (before->next == node) {
      before->next = node->next;
      return;
    }
  }
}

// Waits until one of the events is signalled (its index) or, when `messages`
// is set, a message is queued for the calling thread (`count`).
DWORD WaitEvents(DWORD count, const HANDLE* handles, DWORD milliseconds, bool messages) {
  pthread_once(&InitOnce, InitPools);
  if (count > MAXIMUM_WAIT_OBJECTS) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return WAIT_FAILED;
  }
  const timespec deadline = DeadlineAfter(milliseconds);
  pthread_mutex_lock(&EventLock);
  DriveFunction drive = nullptr;
  void* context = nullptr;
  for (DWORD i = 0; i < count; ++i) {
    auto* event = static_cast<Event*>(handles[i]);
    if (event->drive == nullptr || event->signaled.load()) continue;
    drive = event->drive;
    context = event->driveContext;
  }
  pthread_mutex_unlock(&EventLock);
  if (drive != nullptr) {
    // Only a wait for that one event can carry its request out.
    if (count != 1 || messages) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return WAIT_FAILED;
    }
    drive(context, handles[0], milliseconds == INFINITE ? nullptr : &deadline);
  }
  WaitNode nodes[MAXIMUM_WAIT_OBJECTS];
  Waiter* waiter = nullptr;
  bool linked = false;
  pthread_mutex_lock(&EventLock);
  DWORD result = WAIT_TIMEOUT;
  int rc = 0;
  for (;;) {
    for (DWORD i = 0; i < count && result == WAIT_TIMEOUT; ++i) {
      auto* event = static_cast<Event*>(handles[i]);
      if (event->manualReset ? !event->signaled.load() : !event->signaled.exchange(false)) continue;
      result = WAIT_OBJECT_0 + i;
    }
    if (result == WAIT_TIMEOUT && messages && Messages.count + SentMessages.count > 0) result = WAIT_OBJECT_0 + count;
    if (result != WAIT_TIMEOUT || rc == ETIMEDOUT || milliseconds == 0) break;
    if (!linked) {
      waiter = TakeWaiter();
      if (waiter == nullptr) {
        result = WAIT_FAILED;
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        break;
      }
      for (DWORD i = 0; i < count; ++i) {
        auto* event = static_cast<Event*>(handles[i]);
        nodes[i] = WaitNode{waiter, event->waiting.load()};
        event->waiting.store(&nodes[i]);
      }
      linked = true;
      continue;  // a last look now that a signal will wake this thread
    }
    rc = milliseconds == INFINITE ? pthread_cond_wait(&waiter->cond, &EventLock)
                                  : pthread_cond_timedwait(&waiter->cond, &EventLock, &deadline);
  }
  for (DWORD i = 0; linked && i < count; ++i) Unlink(static_cast<Event*>(handles[i]), &nodes[i]);
  if (waiter != nullptr) GiveBackWaiter(waiter);
  pthread_mutex_unlock(&EventLock);
  return result;
}

}  // namespace

DWORD WaitEvent(HANDLE handle, DWORD milliseconds) { return WaitEvents(1, &handle, milliseconds, false); }

DWORD WaitThread(HANDLE handle, DWORD milliseconds) {
  auto* thread = static_cast<Thread*>(handle);
  pthread_once(&InitOnce, InitPools);
  const timespec deadline = DeadlineAfter(milliseconds);
  pthread_mutex_lock(&PoolLock);
  int rc = 0;
  while (!thread->finished && rc != ETIMEDOUT) {
    rc = milliseconds == INFINITE ? pthread_cond_wait(&ThreadEnded, &PoolLock)
                                  : pthread_cond_timedwait(&ThreadEnded, &PoolLock, &deadline);
  }
  const bool finished = thread->finished;
  const bool mustJoin = finished && !thread->joined;
  if (mustJoin) thread->joined = true;
  pthread_mutex_unlock(&PoolLock);
  // Joining makes sure the thread has left the library's code altogether.
  if (mustJoin) pthread_join(thread->thread, nullptr);
  return finished ? WAIT_OBJECT_0 : WAIT_TIMEOUT;
}

bool CloseEvent(HANDLE handle) {
  auto* event = static_cast<Event*>(handle);
  pthread_mutex_lock(&PoolLock);
  event->header.kind = Kind::Free;
  pthread_mutex_unlock(&PoolLock);
  return true;
}

bool CloseThread(HANDLE handle) {
  auto* thread = static_cast<Thread*>(handle);
  pthread_mutex_lock(&PoolLock);
  thread->handleClosed = true;
  bool join = false;
  if (!thread->joined) {
    thread->joined = true;
    if (thread->finished) {
      join = true;
    } else {
      pthread_detach(thread->thread);
    }
  }
  if (thread->finished) thread->header.kind = Kind::Free;
  pthread_mutex_unlock(&PoolLock);
  if (join) pthread_join(thread->thread, nullptr);
  return true;
}

void RefuseThreadPriorities(int count) { RefusedPriorities.store(count); }
int TerminateThreadCalls() { return TerminateCalls.load(); }
void DelayThreadStarts(DWORD milliseconds) { StartDelayMs.store(milliseconds); }

void SetClockScale(double scale) {
  if (!(scale >= 1.0 && scale <= 1000.0)) scale = 1.0;
  // The tick count goes on from where it stands, at the new pace.
  const DWORD now = GetTickCount();
  ScaleBaseTickMs.store(now);
  ScaleBaseRealMs.store(RealMs());
  ClockScale.store(scale);
}
void FreezeClock(DWORD at) {
  FrozenTick.store(at);
  ClockFrozen.store(true);
}

void AdvanceClock(DWORD milliseconds) { FrozenTick.fetch_add(milliseconds); }

void ThawClock() {
  // The count goes on from where it was held.
  ScaleBaseTickMs.store(FrozenTick.load());
  ScaleBaseRealMs.store(RealMs());
  ClockFrozen.store(false);
}

int MessageBoxCount() { return MessageBoxes.load(); }
const char* LastMessageBoxCaption() { return LastCaption; }
const char* LastMessageBoxText() { return LastText; }
UINT LastMessageBoxStyle() { return LastStyle; }

void CaptureDebugOutput(bool on) {
  pthread_mutex_lock(&PoolLock);
  DebugLength = 0;
  DebugBuffer[0] = '\0';
  pthread_mutex_unlock(&PoolLock);
  DebugCapture.store(on);
}

const char* CapturedDebugOutput() {
  // A snapshot: the reader may write diagnostics while the test reads.
  static char snapshot[sizeof DebugBuffer];
  pthread_mutex_lock(&PoolLock);
  memcpy(snapshot, DebugBuffer, DebugLength + 1);
  pthread_mutex_unlock(&PoolLock);
  return snapshot;
}

bool PostToThisThread(UINT message, WPARAM wParam, LPARAM lParam) {
  pthread_mutex_lock(&EventLock);
  const bool room = Messages.count < kQueuedMessages;
  if (room) {
    MSG& slot = Messages.messages[(Messages.head + Messages.count) % kQueuedMessages];
    slot = MSG{nullptr, message, wParam, lParam, GetTickCount(), {0, 0}};
    ++Messages.count;
  }
  pthread_mutex_unlock(&EventLock);
  return room;
}

bool SendCallback(MessageCallback callback, void* argument) {
  pthread_mutex_lock(&EventLock);
  const bool room = SentMessages.count < kQueuedMessages;
  if (room) {
    MSG& slot = SentMessages.messages[(SentMessages.head + SentMessages.count) % kQueuedMessages];
    slot = MSG{nullptr,
               kCallbackMessage,
               reinterpret_cast<WPARAM>(callback),
               reinterpret_cast<LPARAM>(argument),
               GetTickCount(),
               {0, 0}};
    ++SentMessages.count;
  }
  pthread_mutex_unlock(&EventLock);
  return room;
}

bool PostCallback(MessageCallback callback, void* argument) {
  return PostToThisThread(kCallbackMessage, reinterpret_cast<WPARAM>(callback), reinterpret_cast<LPARAM>(argument));
}

void DiscardMessages() {
  pthread_mutex_lock(&EventLock);
  Messages.head = 0;
  Messages.count = 0;
  SentMessages.head = 0;
  SentMessages.count = 0;
  pthread_mutex_unlock(&EventLock);
}

}  // namespace standin

using namespace standin;

DWORD GetLastError() { return LastError; }
void SetLastError(DWORD error) { LastError = error; }

HANDLE CreateEventA(SECURITY_ATTRIBUTES*, BOOL manualReset, BOOL initialState, LPCSTR) {
  pthread_mutex_lock(&PoolLock);
  for (Event& event : Events) {
    if (event.header.kind != Kind::Free) continue;
    event.header.kind = Kind::Event;
    event.manualReset = manualReset != FALSE;
    event.waiting.store(nullptr);
    event.drive = nullptr;
    event.driveContext = nullptr;
    event.signaled.store(initialState != FALSE);
    pthread_mutex_unlock(&PoolLock);
    return &event;
  }
  pthread_mutex_unlock(&PoolLock);
  SetLastError(ERROR_NOT_ENOUGH_MEMORY);
  return nullptr;
}

BOOL SetEvent(HANDLE handle) {
  if (SignalEvent(handle)) return TRUE;
  SetLastError(ERROR_INVALID_HANDLE);
  return FALSE;
}

BOOL ResetEvent(HANDLE handle) {
  Event* event = AsEvent(handle);
  if (event == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  event->signaled.store(false, std::memory_order_release);
  return TRUE;
}

DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
  switch (KindOf(handle)) {
    case Kind::Event:
      return WaitEvent(handle, milliseconds);
    case Kind::Thread:
      return WaitThread(handle, milliseconds);
    default:
      SetLastError(ERROR_INVALID_HANDLE);
      return WAIT_FAILED;
  }
}

BOOL CloseHandle(HANDLE handle) {
  bool closed = false;
  switch (KindOf(handle)) {
    case Kind::Port:
      closed = ClosePort(handle);
      break;
    case Kind::Event:
      closed = CloseEvent(handle);
      break;
    case Kind::Thread:
      closed = CloseThread(handle);
      break;
    default:
      break;
  }
  if (!closed) SetLastError(ERROR_INVALID_HANDLE);
  return closed ? TRUE : FALSE;
}

static_assert(sizeof(pthread_mutex_t) <= sizeof(CRITICAL_SECTION::Opaque));

void InitializeCriticalSection(CRITICAL_SECTION* section) {
  pthread_mutexattr_t attr;
  pthread_mutexattr_init(&attr);
  // A Win32 critical section may be entered again by the thread that holds it.
  pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
  pthread_mutex_init(new (section->Opaque) pthread_mutex_t, &attr);
  pthread_mutexattr_destroy(&attr);
}

static pthread_mutex_t* MutexOf(CRITICAL_SECTION* section) {
  return std::launder(reinterpret_cast<pthread_mutex_t*>(section->Opaque));
}

void EnterCriticalSection(CRITICAL_SECTION* section) { pthread_mutex_lock(MutexOf(section)); }
void LeaveCriticalSection(CRITICAL_SECTION* section) { pthread_mutex_unlock(MutexOf(section)); }
void DeleteCriticalSection(CRITICAL_SECTION* section) { pthread_mutex_destroy(MutexOf(section)); }

HANDLE CreateThread(SECURITY_ATTRIBUTES*, size_t, LPTHREAD_START_ROUTINE start, LPVOID parameter, DWORD,
                    DWORD* threadId) {
  pthread_once(&InitOnce, InitPools);
  pthread_mutex_lock(&PoolLock);
  Thread* slot = nullptr;
  for (Thread& thread : Threads) {
    if (thread.header.kind == Kind::Free) {
      slot = &thread;
      break;
    }
  }
  if (slot == nullptr) {
    pthread_mutex_unlock(&PoolLock);
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  slot->header.kind = Kind::Thread;
  slot->start = start;
  slot->parameter = parameter;
  slot->finished = false;
  slot->joined = false;
  slot->handleClosed = false;
  slot->terminating.store(false);
  slot->id = NextThreadId.fetch_add(1);
  slot->startDelayMs = StartDelayMs.load();
  const DWORD id = slot->id;
  if (pthread_create(&slot->thread, nullptr, ThreadMain, slot) != 0) {
    slot->header.kind = Kind::Free;
    pthread_mutex_unlock(&PoolLock);
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  pthread_mutex_unlock(&PoolLock);
  if (threadId != nullptr) *threadId = id;
  return slot;
}

BOOL SetThreadPriority(HANDLE thread, int) {
  if (KindOf(thread) != Kind::Thread) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  int refused = RefusedPriorities.load();
  while (refused > 0 && !RefusedPriorities.compare_exchange_weak(refused, refused - 1)) {
  }
  if (refused > 0) {
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  // Priorities are accepted and not applied: real-time scheduling needs privileges
  // and would let a runaway reader starve the machine.
  return TRUE;
}

// A POSIX thread cannot be ended from outside without unwinding through code
// that does not expect it: the stand-in ends it at its next Sleep, which is
// where the library's reader is when it is ended.
BOOL TerminateThread(HANDLE handle, DWORD) {
  TerminateCalls.fetch_add(1);
  auto* thread = AsThread(handle);
  if (thread == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  pthread_mutex_lock(&PoolLock);
  thread->terminating.store(true);
  pthread_mutex_unlock(&PoolLock);
  return TRUE;
}

// The shared object stays loaded while the process runs: a reference is a count only.
std::atomic<int> ModuleReferences{0};

BOOL GetModuleHandleExA(DWORD, LPCSTR, HMODULE* module) {
  if (module == nullptr) return FALSE;
  ModuleReferences.fetch_add(1);
  *module = &ModuleReferences;
  return TRUE;
}

void FreeLibraryAndExitThread(HMODULE, DWORD) {
  ModuleReferences.fetch_sub(1);
  pthread_exit(nullptr);
}

void* LocalFree(void* memory) {
  free(memory);
  return nullptr;
}

void* LocalAlloc(UINT flags, size_t bytes) { return (flags & LPTR) != 0 ? calloc(1, bytes) : malloc(bytes); }

DWORD GetTickCount() {
  if (ClockFrozen.load()) return FrozenTick.load();
  const double scale = ClockScale.load();
  const uint64_t real = RealMs();
  if (scale == 1.0) return static_cast<DWORD>(real - ScaleBaseRealMs.load() + ScaleBaseTickMs.load());
  const double run = static_cast<double>(real - ScaleBaseRealMs.load()) * scale;
  return static_cast<DWORD>(ScaleBaseTickMs.load() + static_cast<uint64_t>(run));
}

void Sleep(DWORD milliseconds) {
  // As on Windows, a zero wait only hands the rest of the time slice to a ready thread.
  if (milliseconds == 0) {
    sched_yield();
    return;
  }
  milliseconds = RealWaitMs(milliseconds);
  timespec ts{static_cast<time_t>(milliseconds / 1000), static_cast<long>(milliseconds % 1000) * 1000000L};
  while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
  }
  if (CurrentThread != nullptr && CurrentThread->terminating.load()) pthread_exit(nullptr);
}

void OutputDebugStringA(LPCSTR text) {
  if (text == nullptr) return;
  if (DebugCapture.load()) {
    pthread_mutex_lock(&PoolLock);
    const size_t length = strlen(text);
    const size_t room = sizeof(DebugBuffer) - 1 - DebugLength;
    const size_t take = length < room ? length : room;
    memcpy(DebugBuffer + DebugLength, text, take);
    DebugLength += take;
    DebugBuffer[DebugLength] = '\0';
    pthread_mutex_unlock(&PoolLock);
  }
  // The debugger channel is silent unless asked for, as it is without a debugger attached.
  const char* wanted = getenv("TARVELIN_DEBUG");
  if (wanted != nullptr && wanted[0] != '\0') fputs(text, stderr);
}

int MessageBoxA(HWND, LPCSTR text, LPCSTR caption, UINT type) {
  snprintf(LastCaption, sizeof LastCaption, "%s", caption != nullptr ? caption : "");
  snprintf(LastText, sizeof LastText, "%s", text != nullptr ? text : "");
  LastStyle = type;
  MessageBoxes.fetch_add(1);
  fprintf(stderr, "[%s] %s\n", caption != nullptr ? caption : "", text != nullptr ? text : "");
  // The box's modal loop dispatches what is queued for the thread, then the
  // user presses OK; a quit ends the loop and is posted again, as Windows does.
  MSG message;
  while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
    if (message.message == WM_QUIT) {
      PostQuitMessage(static_cast<int>(message.wParam));
      break;
    }
    DispatchMessageA(&message);
  }
  return IDOK;
}

BOOL PeekMessageA(MSG* message, HWND, UINT, UINT, UINT remove) {
  // Sent messages are delivered first, inside the call, as Windows does.
  for (;;) {
    pthread_mutex_lock(&EventLock);
    const bool sent = SentMessages.count > 0;
    MSG delivered{};
    if (sent) {
      delivered = SentMessages.messages[SentMessages.head];
      SentMessages.head = (SentMessages.head + 1) % kQueuedMessages;
      --SentMessages.count;
    }
    pthread_mutex_unlock(&EventLock);
    if (!sent) break;
    DispatchMessageA(&delivered);
  }
  // Only this thread touches its queue; the lock orders it with a waiter's look.
  pthread_mutex_lock(&EventLock);
  const bool any = Messages.count > 0;
  if (any) {
    *message = Messages.messages[Messages.head];
    if ((remove & PM_REMOVE) != 0) {
      Messages.head = (Messages.head + 1) % kQueuedMessages;
      --Messages.count;
    }
  }
  pthread_mutex_unlock(&EventLock);
  return any ? TRUE : FALSE;
}

BOOL TranslateMessage(const MSG*) { return FALSE; }

// The stand-in's windows are callbacks: no text is converted either way.
BOOL PeekMessageW(MSG* message, HWND window, UINT first, UINT last, UINT remove) {
  return PeekMessageA(message, window, first, last, remove);
}
LPARAM DispatchMessageW(const MSG* message) { return DispatchMessageA(message); }
BOOL IsWindowUnicode(HWND) { return FALSE; }

LPARAM DispatchMessageA(const MSG* message) {
  if (message == nullptr || message->message != kCallbackMessage) return 0;
  reinterpret_cast<MessageCallback>(message->wParam)(reinterpret_cast<void*>(message->lParam));
  return 0;
}

void PostQuitMessage(int exitCode) { PostToThisThread(WM_QUIT, static_cast<WPARAM>(exitCode), 0); }

DWORD GetCurrentThreadId() {
  if (ThisThreadId == 0) ThisThreadId = NextThreadId.fetch_add(1);
  return ThisThreadId;
}

// A futex word in the lock's pointer: 0 free, 1 held, 2 held with sleepers.
static std::atomic<uint32_t>* LockWord(SRWLOCK* lock) {
  static_assert(sizeof(std::atomic<uint32_t>) <= sizeof(void*));
  return reinterpret_cast<std::atomic<uint32_t>*>(&lock->Ptr);
}

void AcquireSRWLockExclusive(SRWLOCK* lock) {
  std::atomic<uint32_t>* word = LockWord(lock);
  uint32_t seen = 0;
  if (word->compare_exchange_strong(seen, 1, std::memory_order_acquire)) return;
  if (seen != 2) seen = word->exchange(2, std::memory_order_acquire);
  while (seen != 0) {
    syscall(SYS_futex, word, FUTEX_WAIT_PRIVATE, 2, nullptr, nullptr, 0);
    seen = word->exchange(2, std::memory_order_acquire);
  }
}

BOOL TryAcquireSRWLockExclusive(SRWLOCK* lock) {
  uint32_t seen = 0;
  return LockWord(lock)->compare_exchange_strong(seen, 1, std::memory_order_acquire) ? TRUE : FALSE;
}

void ReleaseSRWLockExclusive(SRWLOCK* lock) {
  std::atomic<uint32_t>* word = LockWord(lock);
  if (word->exchange(0, std::memory_order_release) == 2)
    syscall(SYS_futex, word, FUTEX_WAKE_PRIVATE, 1, nullptr, nullptr, 0);
}

DWORD MsgWaitForMultipleObjectsEx(DWORD count, const HANDLE* handles, DWORD milliseconds, DWORD wakeMask, DWORD) {
  for (DWORD i = 0; i < count; ++i) {
    if (KindOf(handles[i]) != Kind::Event) {
      SetLastError(ERROR_INVALID_HANDLE);
      return WAIT_FAILED;
    }
  }
  return WaitEvents(count, handles, milliseconds, (wakeMask & QS_ALLINPUT) != 0);
}
