// The reader: waits until the line has bytes, reads them and appends them to
// the answer text, a piece of up to 1 KiB at a time, so that a long block
// costs one append per piece.
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

bool StillRunning(int32_t runNumber) { return CommChannel.Running.load() == runNumber; }

// Reads what the line holds; the bytes read.
uint32_t DrainReceived(SerialLine& line, int32_t runNumber) {
  char piece[kPieceSize];
  uint32_t total = 0;
  // A close ends the drain at its next piece, also while a block streams in.
  while (StillRunning(runNumber)) {
    const LineRead read = line.Read(piece, sizeof piece);
    // Received characters were dropped: the answer being gathered has a hole in it.
    if (read.inputLost) NoteInputLost();
    if (read.bytes != 0) {
      TraceWire(WireDirection::Read, piece, static_cast<int32_t>(read.bytes));
      AppendAnswerChunk(piece, static_cast<uint32_t>(read.bytes));
      total += static_cast<uint32_t>(read.bytes);
    }
    if (read.result == LineResult::Gone && StillRunning(runNumber)) {
      MarkLineGone("ReadCommBlock", line.SystemError());
    }
    if (read.bytes == 0 || read.result != LineResult::Done) return total;
  }
  return total;
}

uint32_t NextBackoff(uint32_t backoffMs) {
  return backoffMs == 0 ? 1 : (backoffMs * 2 > kBackoffMaxMs ? kBackoffMaxMs : backoffMs * 2);
}

}  // namespace

void CommWatchThread(int32_t runNumber) {
  SerialLine& line = CommChannel.Line;
  // What came before the first wait (a banner when DTR rose) is read now, not
  // put in front of an answer.
  DrainReceived(line, runNumber);
  uint32_t backoffMs = 0;
  int emptyWakes = 0;
  while (StillRunning(runNumber)) {
    const LineResult waited = line.WaitReadable(kWaitMs);
    if (waited == LineResult::Woken || waited == LineResult::TimedOut) continue;
    if (waited == LineResult::Gone || waited == LineResult::Failed) {
      if (waited == LineResult::Gone && StillRunning(runNumber)) MarkLineGone("CommWatchThread", line.SystemError());
      // A removed device fails every wait at once: back off instead of spinning.
      backoffMs = NextBackoff(backoffMs);
      if (StillRunning(runNumber)) SleepMs(backoffMs);
      continue;
    }
    // Only bytes read prove the line healthy: around a surprise removal a
    // driver may end waits at once with nothing to read. One such wake is
    // normal (an event left over from the last drain); more are backed off.
    if (DrainReceived(line, runNumber) > 0) {
      backoffMs = 0;
      emptyWakes = 0;
      continue;
    }
    if (StillRunning(runNumber) && ++emptyWakes > 1) {
      backoffMs = NextBackoff(backoffMs);
      SleepMs(backoffMs);
    }
  }
}
