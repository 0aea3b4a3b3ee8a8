// The reader: waits until the line has bytes, reads them and appends them to
// the answer text. Where callers read the line themselves, the call holding
// the turn leads while it waits and the reader steps aside until the lead is
// given back, so that an answer wakes the caller directly and the reader still
// latches what comes between calls.
#include <atomic>

#include "serial/answer_text.h"
#include "serial/comm_channel.h"
#include "serial/wire_trace.h"

using namespace tarvelin;

namespace {

constexpr size_t kPieceSize = 1024;
constexpr uint32_t kBackoffMaxMs = 50;
// A wait ends now and then by itself: nothing depends on it, but a line
// whose waits a driver never ends is looked at again.
constexpr uint32_t kWaitMs = 60000;
// A reader that stepped aside looks this often whether the lead was given
// back, while calls come in a row: it stays aside without being woken for each
// of them, so that an answer wakes its caller alone, and what comes between
// calls is latched this much later at most.
constexpr uint32_t kAsideLookMs = 2;

bool StillRunning(tarvelin::Board& board, int32_t runNumber) { return board.CommChannel.Running.load() == runNumber; }

// Reads what the line holds; the bytes read.
uint32_t DrainReceived(tarvelin::Board& board, SerialLine& line, int32_t runNumber, char* piece, size_t pieceSize) {
  uint32_t total = 0;
  // A close ends the drain at its next piece, also while a block streams in.
  while (StillRunning(board, runNumber)) {
    const LineRead read = line.Read(piece, pieceSize);
    // Received characters were dropped: the answer being gathered has a hole in it.
    if (read.inputLost) NoteInputLost(board);
    if (read.bytes != 0) {
      TraceWire(WireDirection::Read, piece, static_cast<int32_t>(read.bytes));
      AppendAnswerChunk(board, piece, static_cast<uint32_t>(read.bytes));
      total += static_cast<uint32_t>(read.bytes);
    }
    if (read.result == LineResult::Gone && StillRunning(board, runNumber)) {
      MarkLineGone(board, "ReadCommBlock", line.SystemError());
    }
    if (read.bytes < pieceSize || read.result != LineResult::Done) return total;
  }
  return total;
}

uint32_t NextBackoff(uint32_t backoffMs) {
  return backoffMs == 0 ? 1 : (backoffMs * 2 > kBackoffMaxMs ? kBackoffMaxMs : backoffMs * 2);
}

}  // namespace

void CommWatchThread(tarvelin::Board& board, int32_t runNumber) {
  SerialLine& line = board.CommChannel.Line;
  char piece[kPieceSize];
  uint32_t backoffMs = 0;
  int emptyWakes = 0;
  // The first wait reports what came before it (a banner when DTR rose), so
  // that it is read now, not put in front of an answer.
  while (StillRunning(board, runNumber)) {
    if (board.CallerLeads.load(std::memory_order_acquire) != 0) {
      const uint32_t lead = board.LeadsTaken.load(std::memory_order_acquire);
      board.ReaderMayRead.WaitFor(kAsideLookMs, false);
      // One call's lead outlasted the look: a long wait, so the reader sleeps
      // until that lead is given back rather than look again and again.
      if (board.CallerLeads.load() != 0 && board.LeadsTaken.load() == lead) {
        board.ReaderParked.store(1);
        if (board.CallerLeads.load() != 0) board.ReaderMayRead.WaitFor(kWaitMs, false);
        board.ReaderParked.store(0);
      }
      continue;
    }
    const LineResult waited = line.WaitReadable(kWaitMs);
    // A lead reads what came.
    if (board.CallerLeads.load(std::memory_order_acquire) != 0) continue;
    if (waited == LineResult::Woken || waited == LineResult::TimedOut) continue;
    uint32_t drained = 0;
    if (waited == LineResult::Done) {
      board.ReadTurn.Acquire();
      drained = DrainReceived(board, line, runNumber, piece, sizeof piece);
      board.ReadTurn.Release();
    }
    if (waited == LineResult::Gone || waited == LineResult::Failed) {
      if (waited == LineResult::Gone && StillRunning(board, runNumber))
        MarkLineGone(board, "CommWatchThread", line.SystemError());
      // A removed device fails every wait at once: back off instead of spinning.
      backoffMs = NextBackoff(backoffMs);
      if (StillRunning(board, runNumber)) SleepMs(backoffMs);
      continue;
    }
    // Only bytes read prove the line healthy: around a surprise removal a
    // driver may end waits at once with nothing to read. One such wake is
    // normal (an event left over from the last drain); more are backed off.
    if (drained > 0) {
      backoffMs = 0;
      emptyWakes = 0;
      continue;
    }
    if (StillRunning(board, runNumber) && ++emptyWakes > 1) {
      backoffMs = NextBackoff(backoffMs);
      SleepMs(backoffMs);
    }
  }
}

// The reader is not woken to step aside: it steps aside at the first bytes it
// sees while the lead is taken, in parallel with the lead reading them, and
// comes back within its look once the lead is given back, or at once where a
// long call's lead had it parked.
void TakeReadLead(tarvelin::Board& board) {
  if (!CallersReadTheLine() || !board.ReaderMayRead.Make()) return;
  board.ReaderMayRead.Reset();
  board.LeadsTaken.fetch_add(1, std::memory_order_acq_rel);
  board.CallerLeads.store(1, std::memory_order_release);
}

void GiveBackReadLead(tarvelin::Board& board) {
  if (board.CallerLeads.load(std::memory_order_acquire) == 0) return;
  // Sequentially consistent with the reader's parking: either it sees the
  // lead given back before it sleeps, or this sees it parked and raises it.
  board.CallerLeads.store(0);
  if (board.ReaderParked.load() != 0) board.ReaderMayRead.Raise();
}

bool LeadsReading(tarvelin::Board& board) { return board.CallerLeads.load(std::memory_order_acquire) != 0; }

void ReadWhileWaiting(tarvelin::Board& board, uint32_t milliseconds) {
  SerialLine& line = board.CommChannel.Line;
  const int32_t runNumber = board.CommChannel.Running.load();
  const LineResult waited = line.LeadWaitReadable(milliseconds);
  if (waited == LineResult::Done) {
    board.ReadTurn.Acquire();
    DrainReceived(board, line, runNumber, board.LeadPiece, sizeof board.LeadPiece);
    board.ReadTurn.Release();
  } else if (waited == LineResult::Gone) {
    if (runNumber != 0) MarkLineGone(board, "CommWatchThread", line.SystemError());
  } else if (waited == LineResult::Failed) {
    SleepMs(1);  // never spin on a line that refuses its waits
  }
}

void ReleaseSteppedAsideReader(tarvelin::Board& board) {
  if (board.ReaderMayRead.Made()) board.ReaderMayRead.Raise();
}

void WakeLeadingCaller(tarvelin::Board& board) {
  if (board.CallerLeads.load(std::memory_order_acquire) != 0) board.CommChannel.Line.WakeLead();
}
