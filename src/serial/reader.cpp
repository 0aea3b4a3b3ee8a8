// The reader thread: waits for received characters, drains the driver in small
// reads and appends them to the answer text.
#include "serial/answer_text.h"
#include "serial/comm_channel.h"
#include "serial/wire_trace.h"

extern HANDLE ReadEvent;

namespace {

constexpr uint32_t kChunkRequest = 80;
constexpr DWORD kBackoffMaxMs = 50;
constexpr DWORD kWaitSliceMs = 100;
constexpr DWORD kCancelWaitMs = 500;

// The reader's wait: its record, mask and event. A wait still pending when the
// reader leaves may be completed by the system later, even after the library
// has been unloaded, so they live in memory that is never given back (one small
// block for the process) and the event is never closed.
struct WaitRecord {
  OVERLAPPED overlapped;
  DWORD mask;
  HANDLE event;
  bool pending;
};
WaitRecord* Wait = nullptr;

WaitRecord* WaitRecordOnce() {
  if (Wait == nullptr) Wait = static_cast<WaitRecord*>(LocalAlloc(LPTR, sizeof(WaitRecord)));
  if (Wait == nullptr) return nullptr;
  if (Wait->event == nullptr) Wait->event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  return Wait->event != nullptr ? Wait : nullptr;
}

// Waits for a receive event or a change of the event mask. False when the wait failed.
bool WaitForEvent(CommChannelRecord* channel, WaitRecord* wait, DWORD* mask) {
  *mask = 0;
  if (!wait->pending) {
    wait->overlapped = OVERLAPPED{};
    wait->overlapped.hEvent = wait->event;
    wait->mask = 0;
    ResetEvent(wait->event);
    if (WaitCommEvent(channel->PortHandle, &wait->mask, &wait->overlapped)) {
      *mask = wait->mask;
      return true;
    }
    if (GetLastError() != ERROR_IO_PENDING) return false;
    wait->pending = true;
  }
  // Wake now and then to see Running: a driver that never ends the wait must not keep the reader.
  while (WaitForSingleObject(wait->event, kWaitSliceMs) != WAIT_OBJECT_0) {
    if (channel->Running.load() == 0) return true;
  }
  wait->pending = false;
  DWORD unused = 0;
  if (!GetOverlappedResult(channel->PortHandle, &wait->overlapped, &unused, FALSE)) return false;
  *mask = wait->mask;
  return true;
}

// Leaves no wait behind on the port: cancels it and, where the caller may
// wait, lets the cancellation finish.
void EndPendingWait(CommChannelRecord* channel, WaitRecord* wait, bool mayWait) {
  if (!wait->pending) return;
  CancelIo(channel->PortHandle);
  const bool ended = mayWait && WaitForSingleObject(wait->event, kCancelWaitMs) == WAIT_OBJECT_0;
  wait->pending = false;
  // A wait not seen to end completes into this record whenever the system gets
  // to it: the next reader takes a fresh one.
  if (!ended) Wait = nullptr;
}

}  // namespace

DWORD WINAPI CommWatchThread(LPVOID parameter) {
  auto* channel = static_cast<CommChannelRecord*>(parameter);
  WaitRecord* wait = WaitRecordOnce();
  if (wait != nullptr && SetCommMask(channel->PortHandle, EV_RXCHAR)) {
    char chunk[84];
    DWORD backoffMs = 0;
    while (channel->Running.load() != 0) {
      DWORD mask = 0;
      if (!WaitForEvent(channel, wait, &mask)) {
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
        TraceWire(WireDirection::Read, chunk, static_cast<int32_t>(got));
        AppendAnswerChunk(chunk, got);
      }
    }
    EndPendingWait(channel, wait, ParkReader.load() == 0);
  }
  channel->ThreadId.store(0);
  channel->ThreadHandle = nullptr;
  ReaderEnded.store(1);
  // While the library is being unloaded the loader lock keeps a thread from
  // leaving, and it would leave through code that is gone by then: the reader
  // waits here, out of every lock, for CloseComm to end it.
  while (ParkReader.load() != 0) Sleep(kWaitSliceMs);
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
