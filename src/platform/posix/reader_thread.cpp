// The reader thread over pthreads. Its start and its end are told through one
// mutex and condition, so that a start given up on is never run afterwards
// and a close waits no longer than it may.
#include "platform/reader_thread.h"

#include <pthread.h>
#include <time.h>

#include <cerrno>
#include <new>

#include "platform/posix/deadline.h"

namespace tarvelin {
namespace {

constexpr uint32_t kStartMs = 5000;
constexpr uint32_t kStopFullMs = 3000;
constexpr uint32_t kStopReaderDoneMs = 1000;

enum class Start { Pending, Running, Declined, GivenUp };

struct Launch {
  ReaderBody body;
  int32_t runNumber;
  const std::atomic<int32_t>* running;
  uint64_t generation;
};

pthread_mutex_t Mutex = PTHREAD_MUTEX_INITIALIZER;
pthread_cond_t Changed;    // made on first use, on the monotonic clock
bool ChangedMade = false;  // under Mutex, as is everything below
uint64_t Generation = 0;   // counts starts; a thread acts only on its own
Start StartState = Start::Pending;
bool Stopped = false;
bool HaveReader = false;
pthread_t Reader;
int LiveThreads = 0;  // made and not yet at their end, joined or not

bool MakeChanged() {
  if (ChangedMade) return true;
  pthread_condattr_t attr;
  pthread_condattr_init(&attr);
  pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
  ChangedMade = pthread_cond_init(&Changed, &attr) == 0;
  pthread_condattr_destroy(&attr);
  return ChangedMade;
}

// Waits under Mutex until `done` or the deadline; true when done.
template <typename Done>
bool WaitUntil(uint32_t milliseconds, Done done) {
  const timespec deadline = DeadlineAfter(milliseconds);
  int error = 0;
  while (!done() && error != ETIMEDOUT) error = pthread_cond_timedwait(&Changed, &Mutex, &deadline);
  return done();
}

void* ReaderMain(void* argument) {
  const Launch launch = *static_cast<Launch*>(argument);
  delete static_cast<Launch*>(argument);
  pthread_mutex_lock(&Mutex);
  // Decided under the starter's mutex: a start given up on stays given up, and
  // a run number that moved on (the port closed meanwhile) is not run.
  bool run = false;
  if (launch.generation == Generation && StartState == Start::Pending) {
    run = launch.running->load(std::memory_order_acquire) == launch.runNumber;
    StartState = run ? Start::Running : Start::Declined;
    pthread_cond_broadcast(&Changed);
  }
  pthread_mutex_unlock(&Mutex);
  if (run) launch.body(launch.runNumber);
  pthread_mutex_lock(&Mutex);
  if (run && launch.generation == Generation) Stopped = true;
  --LiveThreads;
  pthread_cond_broadcast(&Changed);
  pthread_mutex_unlock(&Mutex);
  return nullptr;
}

}  // namespace

bool StartReaderThread(ReaderBody body, int32_t runNumber, const std::atomic<int32_t>* running) {
  if (body == nullptr || running == nullptr) return false;
  auto* launch = new (std::nothrow) Launch{body, runNumber, running, 0};
  if (launch == nullptr) return false;
  pthread_mutex_lock(&Mutex);
  if (HaveReader || !MakeChanged()) {  // one reader at a time: the last one was never stopped
    pthread_mutex_unlock(&Mutex);
    delete launch;
    return false;
  }
  launch->generation = ++Generation;
  StartState = Start::Pending;
  Stopped = false;
  pthread_t thread;
  if (pthread_create(&thread, nullptr, ReaderMain, launch) != 0) {
    pthread_mutex_unlock(&Mutex);
    delete launch;
    return false;
  }
  ++LiveThreads;
  WaitUntil(kStartMs, [] { return StartState != Start::Pending; });
  const bool started = StartState == Start::Running;
  if (StartState == Start::Pending) StartState = Start::GivenUp;  // it ends without running the body
  if (started) {
    Reader = thread;
    HaveReader = true;
  }
  pthread_mutex_unlock(&Mutex);
  if (!started) pthread_detach(thread);
  return started;
}

// Linux lets an ordinary user lower a thread's priority but not raise it, and
// the reader keeps up without: the driver queues what arrives meanwhile.
bool RaiseReaderPriority(void (*)(const char*)) { return true; }

bool StopReaderThread(CloseWait wait) {
  pthread_mutex_lock(&Mutex);
  if (!HaveReader) {
    pthread_mutex_unlock(&Mutex);
    return true;
  }
  const pthread_t thread = Reader;
  HaveReader = false;
  // At process exit nothing is waited for; a thread that is still running stays counted as live.
  const uint32_t limitMs = wait == CloseWait::Full ? kStopFullMs : kStopReaderDoneMs;
  const bool stopped = wait != CloseWait::None && WaitUntil(limitMs, [] { return Stopped; });
  pthread_mutex_unlock(&Mutex);
  if (stopped) {
    pthread_join(thread, nullptr);
  } else {
    pthread_detach(thread);
  }
  return stopped;
}

bool CallersReadTheLine() { return true; }

bool ReaderRunning() {
  pthread_mutex_lock(&Mutex);
  const bool running = HaveReader && !Stopped;
  pthread_mutex_unlock(&Mutex);
  return running;
}

bool ReaderThreadsGone() {
  pthread_mutex_lock(&Mutex);
  const bool gone = LiveThreads == 0 && !HaveReader;
  pthread_mutex_unlock(&Mutex);
  return gone;
}

void ReleaseReaderThreadObjects() {
  pthread_mutex_lock(&Mutex);
  if (LiveThreads == 0 && !HaveReader && ChangedMade) {
    pthread_cond_destroy(&Changed);
    ChangedMade = false;
  }
  pthread_mutex_unlock(&Mutex);
}

}  // namespace tarvelin
