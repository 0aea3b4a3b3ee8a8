// The thread that reads the line between calls, as the system lets it start,
// run and end (on Windows also while the library is being unloaded).
#pragma once

#include <atomic>
#include <cstdint>

namespace tarvelin {

using ReaderBody = void (*)(void* context, int32_t runNumber);

// How a close may wait for the reader. PortClose waits and keeps the calling
// thread's windows served; the library's unload (the loader lock held) waits a
// bounded time without dispatching anything; at process exit the system has
// ended the reader and closes the port itself, so nothing is waited for. Plain
// waits as Full does without serving windows (a board that never dispatches them).
enum class CloseWait { Full, Plain, ReaderDone, None };

// The reader thread of one board's line: one at a time, started by an open and
// stopped by its close.
class ReaderThread {
 public:
  ReaderThread() = default;
  ~ReaderThread() { ReleaseObjects(); }  // a reader that may still run keeps what it uses
  ReaderThread(const ReaderThread&) = delete;
  ReaderThread& operator=(const ReaderThread&) = delete;

  // Starts a thread that runs `body(context, runNumber)` and returns once it
  // runs. False when no thread could be made or it did not start in time; it
  // then never runs the body. `running` is the open's run number as the
  // channel holds it: the thread runs the body only while it holds `runNumber`.
  bool Start(ReaderBody body, void* context, int32_t runNumber, const std::atomic<int32_t>* running);
  // Gives the running reader the priority it needs to keep up with the line;
  // false when the system refused it. Each refusal is told through `tell`,
  // with `context` and the caption of the message the host is shown.
  bool RaisePriority(void (*tell)(void* context, const char* caption), void* context);
  // Once the body was told to stop (the run number changed, the line woken):
  // waits for the reader to leave, as `wait` allows (with Full, the caller's
  // windows are served meanwhile). False when it did not stop, so that the
  // caller leaves it what it may still use.
  bool Stop(CloseWait wait);
  // True from the reader's start until it leaves its body.
  bool Running() const;
  // True when no reader of this object can still run, so that what it uses may be given back.
  bool Gone() const;
  // Once Gone: gives back what the threads' start and stop used.
  void ReleaseObjects();

  struct State;

 private:
  State* state_ = nullptr;  // made at the first start
};

// True where a call that waits for its answer reads the line itself, so that
// the answer wakes it directly; where windows must be served meanwhile
// (Windows), the reader reads and wakes the call.
bool CallersReadTheLine();

}  // namespace tarvelin
