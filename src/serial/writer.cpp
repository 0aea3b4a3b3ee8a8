// Block writes under the write lock, with one retry.
#include "serial/answer_text.h"
#include "serial/comm_channel.h"
#include "serial/wire_trace.h"

using namespace tarvelin;

namespace {

constexpr uint32_t kWriteBaseMs = 600;  // the transaction's allowance: three answer windows

// What a block may take: the transaction's allowance and twice the time the
// bytes take on the line, so that a board (or adapter) that stops taking data
// cannot hold the caller, and the call's turn, for ever.
uint32_t WriteAllowanceMs(const CommChannelRecord* channel, int32_t byteCount) {
  const uint64_t baud = channel->LineBaudRate != 0 ? channel->LineBaudRate : 300;
  return kWriteBaseMs + static_cast<uint32_t>((static_cast<uint64_t>(byteCount) * 20000 + baud - 1) / baud);
}

}  // namespace

int32_t WriteCommBlock(tarvelin::Board& board, CommChannelRecord* channel, const char* data, int32_t byteCount) {
  if (byteCount == 0) {
    DebugLine("KORIMAX: WriteCommBlock --> Byte count is zero\n");
    return 0;
  }
  if (byteCount < 0 || data == nullptr) return 0;
  TraceWire(WireDirection::Written, data, byteCount);
  LineResult result = LineResult::Failed;
  {
    LockGuard guard(board.WriteLock);
    result = channel->Line.Write(data, static_cast<size_t>(byteCount), WriteAllowanceMs(channel, byteCount),
                                 &board.WritesCut);
  }
  if (result == LineResult::Gone) MarkLineGone(board, "WriteCommBlock", channel->Line.SystemError());
  return result == LineResult::Done ? 1 : 0;
}

int32_t WriteComm(tarvelin::Board& board, int32_t byteCount, const char* data) {
  // Other families write without asking whether the channel is open: on a
  // closed channel the write fails at once.
  if (!ChannelOpen(board)) return 0;
  int32_t written = WriteCommBlock(board, &board.CommChannel, data, byteCount);
  // A write that a close cut short is not tried again.
  if (written != 1 && board.WritesCut.load(std::memory_order_acquire) == 0) {
    DebugLine("KORIMAXDLL: WriteComm --> second round\n");
    written = WriteCommBlock(board, &board.CommChannel, data, byteCount);
  }
  // The lines that went out are owed their answers.
  if (written == 1) NoteLinesSent(board, data, byteCount);
  return written;
}
