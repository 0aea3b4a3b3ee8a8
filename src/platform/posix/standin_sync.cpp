// Events, the critical section, threads, time, diagnostics and the user
// interface of the stand-in, over pthreads and the monotonic clock.
#include <pthread.h>
#include <sched.h>
#include <time.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

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

struct Event {
  ObjectHeader header;
  pthread_mutex_t mutex;
  pthread_cond_t cond;
  bool manualReset;
  bool signaled;
};

struct Thread {
  ObjectHeader header;
  pthread_t thread;
  LPTHREAD_START_ROUTINE start;
  LPVOID parameter;
  bool finished;
  bool joined;        // joined or detached: no more pthread_join
  bool handleClosed;
  std::atomic<bool> terminating;  // TerminateThread asked: the thread ends at its next Sleep
};

pthread_mutex_t PoolLock = PTHREAD_MUTEX_INITIALIZER;
pthread_cond_t ThreadEnded;  // initialised once with the monotonic clock
Event Events[kEvents];
Thread Threads[kThreads];
std::atomic<uint32_t> NextThreadId{1};

std::atomic<int> RefusedPriorities{0};
std::atomic<int> MessageBoxes{0};
char LastCaption[256];
char LastText[256];
UINT LastStyle = 0;
std::atomic<bool> DebugCapture{false};
char DebugBuffer[16384];
size_t DebugLength = 0;

void InitCond(pthread_cond_t* cond) {
  pthread_condattr_t attr;
  pthread_condattr_init(&attr);
  pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
  pthread_cond_init(cond, &attr);
  pthread_condattr_destroy(&attr);
}

pthread_once_t InitOnce = PTHREAD_ONCE_INIT;
void InitPools() {
  InitCond(&ThreadEnded);
}

timespec DeadlineAfter(DWORD milliseconds) {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  ts.tv_sec += static_cast<time_t>(milliseconds / 1000);
  ts.tv_nsec += static_cast<long>(milliseconds % 1000) * 1000000L;
  if (ts.tv_nsec >= 1000000000L) {
    ts.tv_sec += 1;
    ts.tv_nsec -= 1000000000L;
  }
  return ts;
}

Thread* AsThread(HANDLE handle) {
  return KindOf(handle) == Kind::Thread ? static_cast<Thread*>(handle) : nullptr;
}

Event* AsEvent(HANDLE handle) {
  return KindOf(handle) == Kind::Event ? static_cast<Event*>(handle) : nullptr;
}

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
  thread->start(thread->parameter);
  pthread_cleanup_pop(1);
  return nullptr;
}

}  // namespace

Kind KindOf(HANDLE handle) {
  if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return Kind::Free;
  return static_cast<ObjectHeader*>(handle)->kind;
}

bool SignalEvent(HANDLE handle) {
  Event* event = AsEvent(handle);
  if (event == nullptr) return false;
  pthread_mutex_lock(&event->mutex);
  event->signaled = true;
  pthread_cond_broadcast(&event->cond);
  pthread_mutex_unlock(&event->mutex);
  return true;
}

DWORD WaitEvent(HANDLE handle, DWORD milliseconds) {
  auto* event = static_cast<Event*>(handle);
  const timespec deadline = DeadlineAfter(milliseconds);
  pthread_mutex_lock(&event->mutex);
  int rc = 0;
  while (!event->signaled && rc != ETIMEDOUT) {
    rc = milliseconds == INFINITE ? pthread_cond_wait(&event->cond, &event->mutex)
                                  : pthread_cond_timedwait(&event->cond, &event->mutex, &deadline);
  }
  const bool signaled = event->signaled;
  if (signaled && !event->manualReset) event->signaled = false;
  pthread_mutex_unlock(&event->mutex);
  return signaled ? WAIT_OBJECT_0 : WAIT_TIMEOUT;
}

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
  pthread_cond_destroy(&event->cond);
  pthread_mutex_destroy(&event->mutex);
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

}  // namespace standin

using namespace standin;

DWORD GetLastError() { return LastError; }
void SetLastError(DWORD error) { LastError = error; }

HANDLE CreateEventA(SECURITY_ATTRIBUTES*, BOOL manualReset, BOOL initialState, LPCSTR) {
  pthread_mutex_lock(&PoolLock);
  for (Event& event : Events) {
    if (event.header.kind != Kind::Free) continue;
    event.header.kind = Kind::Event;
    pthread_mutex_init(&event.mutex, nullptr);
    InitCond(&event.cond);
    event.manualReset = manualReset != FALSE;
    event.signaled = initialState != FALSE;
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
  pthread_mutex_lock(&event->mutex);
  event->signaled = false;
  pthread_mutex_unlock(&event->mutex);
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

HANDLE CreateThread(SECURITY_ATTRIBUTES*, size_t, LPTHREAD_START_ROUTINE start, LPVOID parameter,
                    DWORD, DWORD* threadId) {
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
  if (pthread_create(&slot->thread, nullptr, ThreadMain, slot) != 0) {
    slot->header.kind = Kind::Free;
    pthread_mutex_unlock(&PoolLock);
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  pthread_mutex_unlock(&PoolLock);
  if (threadId != nullptr) *threadId = NextThreadId.fetch_add(1);
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

void* LocalAlloc(UINT flags, size_t bytes) {
  return (flags & LPTR) != 0 ? calloc(1, bytes) : malloc(bytes);
}

DWORD GetTickCount() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  const uint64_t ms = static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
  return static_cast<DWORD>(ms);
}

void Sleep(DWORD milliseconds) {
  // As on Windows, a zero wait only hands the rest of the time slice to a ready thread.
  if (milliseconds == 0) {
    sched_yield();
    return;
  }
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
  return IDOK;
}

BOOL PeekMessageA(MSG*, HWND, UINT, UINT, UINT) { return FALSE; }
BOOL TranslateMessage(const MSG*) { return FALSE; }
LPARAM DispatchMessageA(const MSG*) { return 0; }
