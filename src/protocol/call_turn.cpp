#include "protocol/call_turn.h"

#include "protocol/result_state.h"
#include "serial/answer_text.h"
#include "serial/comm_channel.h"

using namespace tarvelin;

namespace {


}  // namespace

CallTurn::CallTurn(tarvelin::Board& board, TurnKind kind) : board_(board) {
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
    RecordError(board, LibraryErrorId::CalledWhileWaiting);
    return;
  }
  const bool cancels = kind != TurnKind::Command;
  if (cancels) {
    board.ClosesWaiting.fetch_add(1, std::memory_order_acq_rel);
    board.WritesCut.fetch_add(1, std::memory_order_acq_rel);
    WakeAnswerWaiter(board);
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
  TakeReadLead(board);
}

CallTurn::~CallTurn() {
  tarvelin::Board& board = board_;
  if (held_) {
    GiveBackReadLead(board);
    board.CallOwner.store(0, std::memory_order_release);
    board.CallLock.Release();
  }
}

bool CallCancelled(tarvelin::Board& board) {
  if (board.CallOwner.load(std::memory_order_acquire) == 0) return false;  // no turn taken: nothing to cancel
  return board.ClosesWaiting.load(std::memory_order_acquire) != 0 ||
         board.TurnSession.load(std::memory_order_acquire) != board.ChannelSession.load(std::memory_order_acquire);
}

bool CancelAsked(tarvelin::Board& board) {
  return board.CancelRequests.load(std::memory_order_acquire) != board.CancelsSeen;
}

void MarkCallStart(tarvelin::Board& board) { board.CancelsSeen = board.CancelRequests.load(std::memory_order_acquire); }

void AdoptChannelSession(tarvelin::Board& board) {
  board.TurnSession.store(board.ChannelSession.load(std::memory_order_acquire));
}

NestedCallGuard::NestedCallGuard(tarvelin::Board& board)
    : board_(board), nestedBefore_(board.NestedCalls.load(std::memory_order_acquire)) {
  SaveResult(board, &saved_);
}

NestedCallGuard::~NestedCallGuard() {
  if (board_.NestedCalls.load(std::memory_order_acquire) != nestedBefore_) RestoreResult(board_, saved_);
}
