// The reader thread over pthreads. Its start and its end are told through one
// mutex and condition per board, so that a start given up on is never run
// afterwards and a close waits no longer than it may.
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

enum class StartStep { Pending, Running, Declined, GivenUp };

}  // namespace

// Everything below is under mutex. Given back only once no thread of it is
// left, so that a reader late to leave never touches a released one.
struct ReaderThread::State {
  pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
  pthread_cond_t changed;   // on the monotonic clock
  uint64_t generation = 0;  // counts starts; a thread acts only on its own
  StartStep startState = StartStep::Pending;
  bool stopped = false;
  bool haveReader = false;
  pthread_t reader;
  int liveThreads = 0;  // made and not yet at their end, joined or not

  // Waits under mutex until `done` or the deadline; true when done.
  template <typename Done>
  bool WaitUntil(uint32_t milliseconds, Done done) {
    const timespec deadline = DeadlineAfter(milliseconds);
    int error = 0;
    while (!done() && error != ETIMEDOUT) error = pthread_cond_timedwait(&changed, &mutex, &deadline);
    return done();
  }
};

namespace {

struct Launch {
  ReaderThread::State* state;
  ReaderBody body;
  void* context;
  int32_t runNumber;
  const std::atomic<int32_t>* running;
  uint64_t generation;
};

void* ReaderMain(void* argument) {
  const Launch launch = *static_cast<Launch*>(argument);
  delete static_cast<Launch*>(argument);
  ReaderThread::State& state = *launch.state;
  pthread_mutex_lock(&state.mutex);
  // Decided under the starter's mutex: a start given up on stays given up, and
  // a run number that moved on (the port closed meanwhile) is not run.
  bool run = false;
  if (launch.generation == state.generation && state.startState == StartStep::Pending) {
    run = launch.running->load(std::memory_order_acquire) == launch.runNumber;
    state.startState = run ? StartStep::Running : StartStep::Declined;
    pthread_cond_broadcast(&state.changed);
  }
  pthread_mutex_unlock(&state.mutex);
  if (run) launch.body(launch.context, launch.runNumber);
  pthread_mutex_lock(&state.mutex);
  if (run && launch.generation == state.generation) state.stopped = true;
  --state.liveThreads;
  pthread_cond_broadcast(&state.changed);
  pthread_mutex_unlock(&state.mutex);
  return nullptr;
}

ReaderThread::State* MakeState() {
  auto* state = new (std::nothrow) ReaderThread::State;
  if (state == nullptr) return nullptr;
  pthread_condattr_t attr;
  pthread_condattr_init(&attr);
  pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
  const bool made = pthread_cond_init(&state->changed, &attr) == 0;
  pthread_condattr_destroy(&attr);
  if (made) return state;
  delete state;
  return nullptr;
}

}  // namespace

bool ReaderThread::Start(ReaderBody body, void* context, int32_t runNumber, const std::atomic<int32_t>* running) {
  if (body == nullptr || running == nullptr) return false;
  if (state_ == nullptr) state_ = MakeState();
  if (state_ == nullptr) return false;
  State& state = *state_;
  auto* launch = new (std::nothrow) Launch{state_, body, context, runNumber, running, 0};
  if (launch == nullptr) return false;
  pthread_mutex_lock(&state.mutex);
  if (state.haveReader) {  // one reader at a time: the last one was never stopped
    pthread_mutex_unlock(&state.mutex);
    delete launch;
    return false;
  }
  launch->generation = ++state.generation;
  state.startState = StartStep::Pending;
  state.stopped = false;
  pthread_t thread;
  if (pthread_create(&thread, nullptr, ReaderMain, launch) != 0) {
    pthread_mutex_unlock(&state.mutex);
    delete launch;
    return false;
  }
  ++state.liveThreads;
  state.WaitUntil(kStartMs, [&state] { return state.startState != StartStep::Pending; });
  const bool started = state.startState == StartStep::Running;
  if (state.startState == StartStep::Pending)
    state.startState = StartStep::GivenUp;  // it ends without running the body
  if (started) {
    state.reader = thread;
    state.haveReader = true;
  }
  pthread_mutex_unlock(&state.mutex);
  if (!started) pthread_detach(thread);
  return started;
}

// Linux lets an ordinary user lower a thread's priority but not raise it, and
// the reader keeps up without: the driver queues what arrives meanwhile.
bool ReaderThread::RaisePriority(void (*)(void*, const char*), void*) { return true; }

bool ReaderThread::Stop(CloseWait wait) {
  if (state_ == nullptr) return true;
  State& state = *state_;
  pthread_mutex_lock(&state.mutex);
  if (!state.haveReader) {
    pthread_mutex_unlock(&state.mutex);
    return true;
  }
  const pthread_t thread = state.reader;
  state.haveReader = false;
  // At process exit nothing is waited for; a thread that is still running stays counted as live.
  const uint32_t limitMs = wait == CloseWait::Full || wait == CloseWait::Plain ? kStopFullMs : kStopReaderDoneMs;
  const bool stopped = wait != CloseWait::None && state.WaitUntil(limitMs, [&state] { return state.stopped; });
  pthread_mutex_unlock(&state.mutex);
  if (stopped) {
    pthread_join(thread, nullptr);
  } else {
    pthread_detach(thread);
  }
  return stopped;
}

bool CallersReadTheLine() { return true; }

bool ReaderThread::Running() const {
  if (state_ == nullptr) return false;
  pthread_mutex_lock(&state_->mutex);
  const bool running = state_->haveReader && !state_->stopped;
  pthread_mutex_unlock(&state_->mutex);
  return running;
}

bool ReaderThread::Gone() const {
  if (state_ == nullptr) return true;
  pthread_mutex_lock(&state_->mutex);
  const bool gone = state_->liveThreads == 0 && !state_->haveReader;
  pthread_mutex_unlock(&state_->mutex);
  return gone;
}

void ReaderThread::ReleaseObjects() {
  if (!Gone()) return;
  if (state_ != nullptr) pthread_cond_destroy(&state_->changed);
  delete state_;
  state_ = nullptr;
}

}  // namespace tarvelin
