#include "protocol/call_turn.h"

#include "protocol/result_state.h"
#include "serial/answer_text.h"
#include "serial/comm_channel.h"

using namespace tarvelin;

namespace {

Lock CallLock;
// The thread holding the turn; the same thread asking again can only have come
// back through a window procedure that the library's own waiting dispatched.
std::atomic<uint32_t> CallOwner{0};
// Closes and re-opens waiting for the turn.
std::atomic<int32_t> ClosesWaiting{0};
// The channel the holder started on.
std::atomic<uint32_t> TurnSession{0};
// Calls that came back in through the holder's message pumping.
std::atomic<uint32_t> NestedCalls{0};

}  // namespace

CallTurn::CallTurn(TurnKind kind) {
  const uint32_t self = CurrentThreadId();
  if (CallOwner.load(std::memory_order_acquire) == self) {
    // An export that the library runs as part of another (the I/O-485 reset) is part of that turn.
    if (MessageDispatchDepth.load(std::memory_order_acquire) == 0) {
      granted_ = true;
      return;
    }
    NestedCalls.fetch_add(1, std::memory_order_acq_rel);
    if (kind == TurnKind::Close) {
      granted_ = true;  // a "Stop" button: the interrupted call finds its channel closed
      return;
    }
    RecordError(LibraryErrorId::CalledWhileWaiting);
    return;
  }
  const bool cancels = kind != TurnKind::Command;
  if (cancels) {
    ClosesWaiting.fetch_add(1, std::memory_order_acq_rel);
    WritesCut.fetch_add(1, std::memory_order_acq_rel);
    WakeAnswerWaiter();
  }
  CallLock.Acquire();
  if (cancels) {
    // No longer waiting: lowered before this call runs, so that no later call
    // takes itself for cancelled once its command has gone out.
    ClosesWaiting.fetch_sub(1, std::memory_order_acq_rel);
    WritesCut.fetch_sub(1, std::memory_order_acq_rel);
  }
  CallOwner.store(self, std::memory_order_release);
  TurnSession.store(ChannelSession.load(std::memory_order_acquire), std::memory_order_release);
  held_ = true;
  granted_ = true;
  TakeReadLead();
}

CallTurn::~CallTurn() {
  if (held_) {
    GiveBackReadLead();
    CallOwner.store(0, std::memory_order_release);
    CallLock.Release();
  }
}

bool CallCancelled() {
  if (CallOwner.load(std::memory_order_acquire) == 0) return false;  // no turn taken: nothing to cancel
  return ClosesWaiting.load(std::memory_order_acquire) != 0 ||
         TurnSession.load(std::memory_order_acquire) != ChannelSession.load(std::memory_order_acquire);
}

void AdoptChannelSession() { TurnSession.store(ChannelSession.load(std::memory_order_acquire)); }

NestedCallGuard::NestedCallGuard() : nestedBefore_(NestedCalls.load(std::memory_order_acquire)) {
  SaveResult(&saved_);
}

NestedCallGuard::~NestedCallGuard() {
  if (NestedCalls.load(std::memory_order_acquire) != nestedBefore_) RestoreResult(saved_);
}
