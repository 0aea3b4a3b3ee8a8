// The host as a POSIX program sees it: the monotonic clock, a futex lock, a
// condition-variable signal, standard error for the user interface and the
// debugger, the environment, and the Visual Basic array laid out as OLE
// Automation lays it out (the library may be handed one by a bridge).
#include "platform/host.h"

#include <linux/futex.h>
#include <pthread.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "platform/posix/deadline.h"

// One dimension is all the library reads; the descriptor carries one bound.
struct tagSAFEARRAY {
  uint16_t dimensions;
  uint16_t features;
  uint32_t elementSize;
  uint32_t locks;
  void* data;
  struct {
    uint32_t count;
    int32_t lowerBound;
  } bounds[1];
};

namespace tarvelin {
namespace {

// The array's feature bits: its variant type is stored, or its elements are
// records, strings, interfaces or variants rather than plain data.
constexpr uint16_t kHasVariantType = 0x80;
constexpr uint16_t kReferenceElements = 0x20 | 0x100 | 0x200 | 0x400 | 0x800;
constexpr uint32_t kVariantInt32 = 3;

// The kernel sleeps on the word's address: the atomic must be the bare word.
static_assert(sizeof(std::atomic<uint32_t>) == sizeof(uint32_t) && std::atomic<uint32_t>::is_always_lock_free);

long Futex(std::atomic<uint32_t>* word, int operation, uint32_t value) {
  return syscall(SYS_futex, reinterpret_cast<uint32_t*>(word), operation, value, nullptr, nullptr, 0);
}

struct SignalState {
  pthread_mutex_t mutex;
  pthread_cond_t cond;
  bool raised;
};

}  // namespace

uint32_t NowMs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  const uint64_t ms = static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
  return static_cast<uint32_t>(ms);
}

void SleepMs(uint32_t milliseconds) {
  timespec ts{static_cast<time_t>(milliseconds / 1000), static_cast<long>(milliseconds % 1000) * 1000000L};
  while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
  }
}

// Asked at every call's turn: the system is asked once per thread.
uint32_t CurrentThreadId() {
  thread_local const auto id = static_cast<uint32_t>(gettid());
  return id;
}

// 0 free, 1 held, 2 held with sleepers: a releaser wakes a sleeper only when
// one may be there, and a woken thread takes the lock as 2, since others may sleep still.
void Lock::Acquire() {
  uint32_t seen = 0;
  if (word_.compare_exchange_strong(seen, 1, std::memory_order_acquire, std::memory_order_relaxed)) return;
  if (seen != 2) seen = word_.exchange(2, std::memory_order_acquire);
  while (seen != 0) {
    (void)Futex(&word_, FUTEX_WAIT_PRIVATE, 2);
    seen = word_.exchange(2, std::memory_order_acquire);
  }
}

void Lock::Release() {
  if (word_.exchange(0, std::memory_order_release) == 2) (void)Futex(&word_, FUTEX_WAKE_PRIVATE, 1);
}

bool Signal::Make() {
  if (handle_.load(std::memory_order_acquire) != nullptr) return true;
  auto* state = new (std::nothrow) SignalState;
  if (state == nullptr) return false;
  pthread_condattr_t attr;
  pthread_condattr_init(&attr);
  // Timed waits on the monotonic clock: setting the date neither stretches nor cuts them.
  pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
  const bool made = pthread_mutex_init(&state->mutex, nullptr) == 0 && pthread_cond_init(&state->cond, &attr) == 0;
  pthread_condattr_destroy(&attr);
  if (!made) {
    delete state;
    return false;
  }
  state->raised = false;
  handle_.store(state, std::memory_order_release);
  return true;
}

bool Signal::Made() const { return handle_.load(std::memory_order_acquire) != nullptr; }

void Signal::Raise() {
  auto* state = static_cast<SignalState*>(handle_.load(std::memory_order_acquire));
  if (state == nullptr) return;
  pthread_mutex_lock(&state->mutex);
  state->raised = true;
  pthread_cond_broadcast(&state->cond);
  pthread_mutex_unlock(&state->mutex);
}

void Signal::Reset() {
  auto* state = static_cast<SignalState*>(handle_.load(std::memory_order_acquire));
  if (state == nullptr) return;
  pthread_mutex_lock(&state->mutex);
  state->raised = false;
  pthread_mutex_unlock(&state->mutex);
}

// There are no windows here, so there is no input to serve while waiting.
Signal::Wait Signal::WaitFor(uint32_t milliseconds, bool) {
  auto* state = static_cast<SignalState*>(handle_.load(std::memory_order_acquire));
  if (state == nullptr) return Wait::Failed;
  const timespec deadline = DeadlineAfter(milliseconds);
  pthread_mutex_lock(&state->mutex);
  int error = 0;
  while (!state->raised && error == 0) error = pthread_cond_timedwait(&state->cond, &state->mutex, &deadline);
  const bool raised = state->raised;
  pthread_mutex_unlock(&state->mutex);
  if (raised) return Wait::Raised;
  return error == ETIMEDOUT ? Wait::Other : Wait::Failed;
}

void Signal::Release() {
  auto* state = static_cast<SignalState*>(handle_.exchange(nullptr));
  if (state == nullptr) return;
  pthread_cond_destroy(&state->cond);
  pthread_mutex_destroy(&state->mutex);
  delete state;
}

bool PumpMessages() { return true; }

// A Linux host has no desktop the library may count on: the box becomes a line on standard error.
void ShowMessageBox(const char* text, const char* caption, BoxIcon) {
  fprintf(stderr, "[%s] %s\n", caption != nullptr ? caption : "", text != nullptr ? text : "");
}

// Silent unless asked for, as the debugger channel is when no debugger listens.
void DebugOutput(const char* line) {
  const char* wanted = getenv("TARVELIN_DEBUG");
  if (line != nullptr && wanted != nullptr && wanted[0] != '\0') fputs(line, stderr);
}

size_t ReadEnvironment(const char* name, char* value, size_t size) {
  const char* found = name != nullptr ? getenv(name) : nullptr;
  if (found == nullptr) return 0;
  const size_t length = strlen(found);
  if (value == nullptr || length >= size) return length + 1;
  memcpy(value, found, length + 1);
  return length;
}

bool VbArrayHoldsIntegers(tagSAFEARRAY* array) {
  if (array == nullptr || array->dimensions != 1 || array->elementSize != 4 ||
      (array->features & kReferenceElements) != 0) {
    return false;
  }
  if ((array->features & kHasVariantType) == 0) return true;
  // The variant type is kept in the four bytes in front of the descriptor.
  uint32_t vartype = 0;
  memcpy(&vartype, reinterpret_cast<const char*>(array) - sizeof vartype, sizeof vartype);
  return vartype == kVariantInt32;
}

void VbArrayBounds(const tagSAFEARRAY* array, int64_t* lowerBound, int64_t* count) {
  const bool known = array != nullptr && array->dimensions == 1;
  if (lowerBound != nullptr) *lowerBound = known ? array->bounds[0].lowerBound : 0;
  if (count != nullptr) *count = known ? array->bounds[0].count : 0;
}

// A locked array cannot be resized or freed by the program that owns it.
bool VbArrayLock(tagSAFEARRAY* array) {
  if (array == nullptr) return false;
  ++array->locks;
  return true;
}

void VbArrayUnlock(tagSAFEARRAY* array) {
  if (array != nullptr && array->locks != 0) --array->locks;
}

bool VbArrayStore(tagSAFEARRAY* array, int64_t index, int32_t value) {
  if (array == nullptr || array->dimensions != 1 || array->elementSize != sizeof value || array->data == nullptr ||
      (array->features & kReferenceElements) != 0) {
    return false;
  }
  // The array's own index, at or above its lower bound; the offset in unsigned 64 bits cannot wrap.
  const int64_t lower = array->bounds[0].lowerBound;
  if (index < lower) return false;
  const uint64_t offset = static_cast<uint64_t>(index) - static_cast<uint64_t>(lower);
  if (offset >= array->bounds[0].count) return false;
  memcpy(static_cast<char*>(array->data) + static_cast<size_t>(offset) * sizeof value, &value, sizeof value);
  return true;
}

}  // namespace tarvelin
