// One call at a time: every export that talks to the board takes its turn
// under its board's lock, so that callers on several threads are served
// in turn and each gets its own command's answer. A close or re-open from
// another thread first asks the call that holds the turn to end its wait.
#pragma once

#include <atomic>
#include <cstdint>

#include "protocol/result_state.h"

namespace tarvelin {
struct Board;
}  // namespace tarvelin

enum class TurnKind {
  Command,  // talks to the board; refused when re-entered from the library's own message pumping
  Reopen,   // closes and opens: cancels a waiting call first; refused when re-entered
  Close,    // cancels a waiting call first; re-entered, it closes under the call it interrupts
};

class CallTurn {
 public:
  explicit CallTurn(tarvelin::Board& board, TurnKind kind = TurnKind::Command);
  ~CallTurn();
  CallTurn(const CallTurn&) = delete;
  CallTurn& operator=(const CallTurn&) = delete;

  // False when the call was refused; the reason is recorded.
  bool Granted() const { return granted_; }

 private:
  tarvelin::Board& board_;
  bool granted_ = false;
  bool held_ = false;
};

// True once the call holding the turn should stop waiting: a close or re-open
// is waiting for the turn, or the channel it started on was closed under it.
bool CallCancelled(tarvelin::Board& board);
// True once a cancel was asked for since the turn's call began (see MarkCallStart).
bool CancelAsked(tarvelin::Board& board);
// Cancels asked for before this moment do not cancel the turn's call.
void MarkCallStart(tarvelin::Board& board);
// The channel the turn's call works on from now on (after its own open).
void AdoptChannelSession(tarvelin::Board& board);

// Keeps the result state of a call whose wait pumps messages from what calls
// nested in that pumping record: a window procedure reads its own call's
// outcome, and the interrupted call keeps its own once the pumping is over.
class NestedCallGuard {
 public:
  explicit NestedCallGuard(tarvelin::Board& board);
  ~NestedCallGuard();
  NestedCallGuard(const NestedCallGuard&) = delete;
  NestedCallGuard& operator=(const NestedCallGuard&) = delete;

 private:
  tarvelin::Board& board_;
  uint32_t nestedBefore_;
  ResultSnapshot saved_;
};
