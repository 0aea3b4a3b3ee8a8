// The reader thread: waits for received characters, drains the driver in small
// reads and appends them to the answer text.
#include "serial/answer_text.h"
#include "serial/comm_channel.h"

extern HANDLE ReadEvent;

namespace {

constexpr uint32_t kChunkRequest = 80;
constexpr DWORD kBackoffMaxMs = 50;
constexpr DWORD kWaitSliceMs = 100;

// A wait that is still pending when the reader leaves is ended by closing the
// port, which writes to its record afterwards: so the record is not on the stack.
OVERLAPPED WaitOverlapped;

// Waits for a receive event or a change of the event mask. False when the wait failed.
bool WaitForEvent(CommChannelRecord* channel, HANDLE waitEvent, DWORD* mask) {
  *mask = 0;
  WaitOverlapped = OVERLAPPED{};
  WaitOverlapped.hEvent = waitEvent;
  ResetEvent(waitEvent);
  if (WaitCommEvent(channel->PortHandle, mask, &WaitOverlapped)) return true;
  if (GetLastError() != ERROR_IO_PENDING) return false;
  // Wake now and then to see Running: a driver that never ends the wait must not keep the reader.
  for (;;) {
    if (WaitForSingleObject(waitEvent, kWaitSliceMs) == WAIT_OBJECT_0) break;
    if (channel->Running.load() == 0) return true;
  }
  DWORD unused = 0;
  return GetOverlappedResult(channel->PortHandle, &WaitOverlapped, &unused, FALSE) != 0;
}

}  // namespace

DWORD WINAPI CommWatchThread(LPVOID parameter) {
  auto* channel = static_cast<CommChannelRecord*>(parameter);
  HANDLE waitEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  if (waitEvent != nullptr && SetCommMask(channel->PortHandle, EV_RXCHAR)) {
    char chunk[84];
    DWORD backoffMs = 0;
    while (channel->Running.load() != 0) {
      DWORD mask = 0;
      if (!WaitForEvent(channel, waitEvent, &mask)) {
        // A removed device fails every wait at once: back off instead of spinning at high priority.
        backoffMs = backoffMs == 0 ? 1 : (backoffMs * 2 > kBackoffMaxMs ? kBackoffMaxMs : backoffMs * 2);
        if (channel->Running.load() != 0) Sleep(backoffMs);
        continue;
      }
      backoffMs = 0;
      if ((mask & EV_RXCHAR) == 0) continue;
      for (;;) {
        const uint32_t got = ReadCommBlock(channel, chunk, kChunkRequest);
        if (got == 0) break;
        AppendAnswerChunk(chunk, got);
      }
    }
  }
  if (waitEvent != nullptr) CloseHandle(waitEvent);
  channel->ThreadId.store(0);
  channel->ThreadHandle = nullptr;
  ReaderEnded.store(1);
  return 0;
}

uint32_t ReadCommBlock(CommChannelRecord* channel, char* destination, uint32_t maxLength) {
  ResetEvent(ReadEvent);
  OVERLAPPED overlapped{};
  overlapped.hEvent = ReadEvent;
  DWORD count = 0;
  DWORD errors = 0;
  COMSTAT status{};
  ClearCommError(channel->PortHandle, &errors, &status);
  const DWORD length = maxLength < status.cbInQue ? maxLength : status.cbInQue;
  if (length == 0) return 0;
  if (ReadFile(channel->PortHandle, destination, length, &count, &overlapped)) return count;
  if (GetLastError() != ERROR_IO_PENDING) {
    errors = 0;
    ClearCommError(channel->PortHandle, &errors, &status);
    DebugLine("KORIMAX: ReadCommBlock --> Read failed (status = 0x%08X)\n", static_cast<unsigned>(errors));
    return count;
  }
  // Only what the driver already holds is asked for, so a pending read ends at once.
  if (WaitForSingleObject(ReadEvent, INFINITE) != WAIT_OBJECT_0) {
    DebugLine("KORIMAX: ReadCommBlock --> Wait object failed\n");
    return count;
  }
  if (!GetOverlappedResult(channel->PortHandle, &overlapped, &count, FALSE)) {
    errors = 0;
    ClearCommError(channel->PortHandle, &errors, &status);
    DebugLine("KORIMAX: ReadCommBlock --> Get overlapped result failed\n");
  }
  return count;
}
