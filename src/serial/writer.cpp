// Block writes under the write lock, with one retry.
#include "serial/answer_text.h"
#include "serial/comm_channel.h"
#include "serial/wire_trace.h"

extern CRITICAL_SECTION WriteLock;
extern HANDLE WriteEvent;
extern std::atomic<int32_t> WriteObjectsReady;

int32_t WriteCommBlock(CommChannelRecord* channel, const char* data, int32_t byteCount) {
  if (byteCount == 0) {
    DebugLine("KORIMAX: WriteCommBlock --> Byte count is zero\n");
    return 0;
  }
  if (byteCount < 0 || data == nullptr) return 0;
  TraceWire(WireDirection::Written, data, byteCount);
  EnterCriticalSection(&WriteLock);
  OVERLAPPED overlapped{};
  ResetEvent(WriteEvent);
  overlapped.hEvent = WriteEvent;
  DWORD written = 0;
  const DWORD wanted = static_cast<DWORD>(byteCount);
  if (WriteFile(channel->PortHandle, data, wanted, &written, &overlapped)) {
    LeaveCriticalSection(&WriteLock);
    return 1;
  }
  const DWORD error = GetLastError();
  if (error != ERROR_IO_PENDING) {
    LeaveCriticalSection(&WriteLock);
    DebugLine("KORIMAX: WriteCommBlock --> Write failed\n");
    if (LineGoneError(error)) MarkLineGone("WriteCommBlock", error);
    return 0;
  }
  if (!GetOverlappedResult(channel->PortHandle, &overlapped, &written, TRUE)) {
    LeaveCriticalSection(&WriteLock);
    DebugLine("KORIMAX: WriteCommBlock --> Get overlapped result failed\n");
    return 0;
  }
  if (written != wanted) {
    LeaveCriticalSection(&WriteLock);
    DebugLine("KORIMAX: WriteCommBlock --> Write Timeout: %ld byte(s) of %ld byte(s) sent\n",
              static_cast<long>(written), static_cast<long>(byteCount));
    return 0;
  }
  LeaveCriticalSection(&WriteLock);
  return 1;
}

int32_t WriteComm(int32_t byteCount, const char* data) {
  // Other families write without asking whether the channel is open: a closed
  // channel has no lock or events to use, so the write fails at once.
  if (WriteObjectsReady.load(std::memory_order_acquire) == 0 ||
      CommChannel.PortHandle == INVALID_HANDLE_VALUE) {
    return 0;
  }
  int32_t written = WriteCommBlock(&CommChannel, data, byteCount);
  if (written != 1) {
    DebugLine("KORIMAXDLL: WriteComm --> second round\n");
    written = WriteCommBlock(&CommChannel, data, byteCount);
  }
  // The lines that went out are owed their answers.
  if (written == 1) NoteLinesSent(data, byteCount);
  return written;
}
