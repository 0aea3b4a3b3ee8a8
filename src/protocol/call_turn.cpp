#include "protocol/call_turn.h"

#include "protocol/result_state.h"
#include "serial/answer_text.h"
#include "serial/comm_channel.h"

using namespace tarvelin;

namespace {


}  // namespace

CallTurn::CallTurn(TurnKind kind) {
  tarvelin::Board& board = DefaultBoard();
  const uint32_t self = CurrentThreadId();
  if (board.CallOwner.load(std::memory_order_acquire) == self) {
    // An export that the library runs as part of another (the I/O-485 reset) is part of that turn.
    if (board.MessageDispatchDepth.load(std::memory_order_acquire) == 0) {
      granted_ = true;
      return;
    }
    board.NestedCalls.fetch_add(1, std::memory_order_acq_rel);
    if (kind == TurnKind::Close) {
      granted_ = true;  // a "Stop" button: the interrupted call finds its channel closed
      return;
    }
    RecordError(LibraryErrorId::CalledWhileWaiting);
    return;
  }
  const bool cancels = kind != TurnKind::Command;
  if (cancels) {
    board.ClosesWaiting.fetch_add(1, std::memory_order_acq_rel);
    board.WritesCut.fetch_add(1, std::memory_order_acq_rel);
    WakeAnswerWaiter();
  }
  board.CallLock.Acquire();
  if (cancels) {
    // No longer waiting: lowered before this call runs, so that no later call
    // takes itself for cancelled once its command has gone out.
    board.ClosesWaiting.fetch_sub(1, std::memory_order_acq_rel);
    board.WritesCut.fetch_sub(1, std::memory_order_acq_rel);
  }
  board.CallOwner.store(self, std::memory_order_release);
  board.TurnSession.store(board.ChannelSession.load(std::memory_order_acquire), std::memory_order_release);
  held_ = true;
  granted_ = true;
  TakeReadLead();
}

CallTurn::~CallTurn() {
  tarvelin::Board& board = DefaultBoard();
  if (held_) {
    GiveBackReadLead();
    board.CallOwner.store(0, std::memory_order_release);
    board.CallLock.Release();
  }
}

bool CallCancelled() {
  tarvelin::Board& board = DefaultBoard();
  if (board.CallOwner.load(std::memory_order_acquire) == 0) return false;  // no turn taken: nothing to cancel
  return board.ClosesWaiting.load(std::memory_order_acquire) != 0 ||
         board.TurnSession.load(std::memory_order_acquire) != board.ChannelSession.load(std::memory_order_acquire);
}

void AdoptChannelSession() {
  DefaultBoard().TurnSession.store(DefaultBoard().ChannelSession.load(std::memory_order_acquire));
}

NestedCallGuard::NestedCallGuard() : nestedBefore_(DefaultBoard().NestedCalls.load(std::memory_order_acquire)) {
  SaveResult(&saved_);
}

NestedCallGuard::~NestedCallGuard() {
  if (DefaultBoard().NestedCalls.load(std::memory_order_acquire) != nestedBefore_) RestoreResult(saved_);
}
