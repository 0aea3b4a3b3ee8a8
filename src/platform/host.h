// What the library needs of the system besides the serial line: a monotonic
// clock, a lock and a signal to sleep on, the host program's user interface
// (message boxes, message pumping, the debugger output), its environment and
// the Visual Basic safe array. One implementation per system.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

struct tagSAFEARRAY;

// What guards what, for clang's thread-safety analysis; nothing elsewhere.
#if defined(__clang__)
#define TARVELIN_CAPABILITY(x) __attribute__((capability(x)))
#define TARVELIN_SCOPED_CAPABILITY __attribute__((scoped_lockable))
#define TARVELIN_ACQUIRE(...) __attribute__((acquire_capability(__VA_ARGS__)))
#define TARVELIN_RELEASE(...) __attribute__((release_capability(__VA_ARGS__)))
#define TARVELIN_GUARDED_BY(x) __attribute__((guarded_by(x)))
#define TARVELIN_REQUIRES(...) __attribute__((requires_capability(__VA_ARGS__)))
#else
#define TARVELIN_CAPABILITY(x)
#define TARVELIN_SCOPED_CAPABILITY
#define TARVELIN_ACQUIRE(...)
#define TARVELIN_RELEASE(...)
#define TARVELIN_GUARDED_BY(x)
#define TARVELIN_REQUIRES(...)
#endif

namespace tarvelin {

// Milliseconds on a monotonic clock; wraps at 2^32, so that differences are
// taken in unsigned 32-bit arithmetic.
uint32_t NowMs();
void SleepMs(uint32_t milliseconds);
// Nonzero for every thread.
uint32_t CurrentThreadId();

// A mutual-exclusion lock that sleeps; constant-initialized, so that a lock
// with static storage is usable before any constructor has run.
class TARVELIN_CAPABILITY("mutex") Lock {
 public:
  constexpr Lock() = default;
  Lock(const Lock&) = delete;
  Lock& operator=(const Lock&) = delete;
  void Acquire() TARVELIN_ACQUIRE();
  void Release() TARVELIN_RELEASE();

 private:
#if defined(_WIN32) || defined(TARVELIN_WIN32_SEAM)
  void* word_ = nullptr;  // a slim reader/writer lock
#else
  // 0 free, 1 held, 2 held with sleepers: a futex word.
  std::atomic<uint32_t> word_{0};
#endif
};

class TARVELIN_SCOPED_CAPABILITY LockGuard {
 public:
  explicit LockGuard(Lock& lock) TARVELIN_ACQUIRE(lock) : lock_(lock) { lock_.Acquire(); }
  ~LockGuard() TARVELIN_RELEASE() { lock_.Release(); }
  LockGuard(const LockGuard&) = delete;
  LockGuard& operator=(const LockGuard&) = delete;

 private:
  Lock& lock_;
};

// A flag that a thread sleeps on until another raises it; it stays raised
// until reset. Made once and kept, so that a thread that raises it late never
// touches something released.
class Signal {
 public:
  enum class Wait { Raised, Other, Failed };
  constexpr Signal() = default;
  ~Signal() { Release(); }
  Signal(const Signal&) = delete;
  Signal& operator=(const Signal&) = delete;
  bool Make();  // idempotent; false when the system has none to give
  bool Made() const;
  void Raise();
  void Reset();
  // Sleeps until raised or `milliseconds` have passed (Other). With
  // `serveMessages` it also returns (Other) when the thread's windows have
  // input, for the caller to pump it.
  Wait WaitFor(uint32_t milliseconds, bool serveMessages);
  void Release();  // only once nobody can raise or wait on it

 private:
  std::atomic<void*> handle_{nullptr};  // published by Make before any thread raises it
};

// Dispatches the calling thread's queued window messages, at most a round's
// worth. False when it met the quit message (posted again for the program's
// own loop): pumping must stop. Nothing to do where there are no windows.
bool PumpMessages();

enum class BoxIcon { None, Error };
// A modal message box; where there is no desktop, a debugger-output line.
void ShowMessageBox(const char* text, const char* caption, BoxIcon icon);

// One line for the debugger (Windows) or standard error (POSIX, with TARVELIN_DEBUG=1).
void DebugOutput(const char* line);
// Formats a debugger-output line and sends it.
void DebugLine(const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;

// Copies the variable's value into `value` (NUL-terminated); its length, 0
// when unset, `size` or more when it does not fit.
size_t ReadEnvironment(const char* name, char* value, size_t size);

// The Visual Basic array a caller passes to the safe-array sampling: one
// dimension of 32-bit integers, stored through the system's own checks.
bool VbArrayHoldsIntegers(tagSAFEARRAY* array);
// The lower bound and the element count of its one dimension.
void VbArrayBounds(const tagSAFEARRAY* array, int64_t* lowerBound, int64_t* count);
bool VbArrayLock(tagSAFEARRAY* array);
void VbArrayUnlock(tagSAFEARRAY* array);
// Stores `value` at the array's own index `index` (as Visual Basic numbers
// it); false when the index is outside the array.
bool VbArrayStore(tagSAFEARRAY* array, int64_t index, int32_t value);

}  // namespace tarvelin
