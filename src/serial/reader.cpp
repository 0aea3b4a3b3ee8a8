// The reader thread: waits for received characters, drains the driver in small
// reads and appends them to the answer text.
#include <atomic>
#include <cstring>

#include "serial/answer_text.h"
#include "serial/comm_channel.h"
#include "serial/wire_trace.h"

extern HANDLE ReaderStarted;
extern HANDLE ReaderStopped;

namespace {

constexpr uint32_t kChunkRequest = 80;
constexpr uint32_t kPieceSize = 1024;
constexpr DWORD kBackoffMaxMs = 50;
constexpr DWORD kWaitSliceMs = 100;
constexpr DWORD kCancelWaitMs = 500;

// The reader's waits: the event wait's record, mask and event, and the read's
// event. A wait still pending when the reader leaves may be completed by the
// system later, even after the library has been unloaded, so they live in
// memory that is never given back (one small block for the process) and the
// events are never closed.
struct WaitRecord {
  OVERLAPPED overlapped;
  DWORD mask;
  HANDLE event;
  HANDLE readEvent;
  bool pending;
  // A read, like a wait, completes into this record whenever the driver gets to it.
  OVERLAPPED readOverlapped;
  char readBuffer[kChunkRequest + 4];
  WaitRecord* next;  // on the list of records left to the driver
};
WaitRecord* Wait = nullptr;
// Records whose wait or read was not seen to end: never reused or given back,
// and kept on a list rather than forgotten.
std::atomic<WaitRecord*> LeftToDriver{nullptr};

// Leaves the current record to the driver; the next user of Wait takes a fresh one.
void LeaveRecord(WaitRecord* record) {
  if (record == nullptr) return;
  record->next = LeftToDriver.load();
  while (!LeftToDriver.compare_exchange_weak(record->next, record)) {
  }
  if (Wait == record) Wait = nullptr;
}

WaitRecord* WaitRecordOnce() {
  if (Wait == nullptr) Wait = static_cast<WaitRecord*>(LocalAlloc(LPTR, sizeof(WaitRecord)));
  if (Wait == nullptr) return nullptr;
  if (Wait->event == nullptr) Wait->event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  if (Wait->readEvent == nullptr) Wait->readEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  return Wait->event != nullptr && Wait->readEvent != nullptr ? Wait : nullptr;
}

// Waits for a receive event or a change of the event mask. False when the wait
// failed, with the system's error in `error`.
bool WaitForEvent(CommChannelRecord* channel, int32_t runNumber, HANDLE port, WaitRecord* wait, DWORD* mask,
                  DWORD* error) {
  *mask = 0;
  *error = ERROR_SUCCESS;
  if (!wait->pending) {
    wait->overlapped = OVERLAPPED{};
    wait->overlapped.hEvent = wait->event;
    wait->mask = 0;
    ResetEvent(wait->event);
    if (WaitCommEvent(port, &wait->mask, &wait->overlapped)) {
      *mask = wait->mask;
      return true;
    }
    *error = GetLastError();
    if (*error != ERROR_IO_PENDING) return false;
    wait->pending = true;
  }
  // Wake now and then to see Running: a driver that never ends the wait must not keep the reader.
  while (WaitForSingleObject(wait->event, kWaitSliceMs) != WAIT_OBJECT_0) {
    if (channel->Running.load() != runNumber) return true;
  }
  wait->pending = false;
  DWORD unused = 0;
  if (!GetOverlappedResult(port, &wait->overlapped, &unused, FALSE)) {
    *error = GetLastError();
    return false;
  }
  *mask = wait->mask;
  return true;
}

// Leaves no wait behind on the port: cancels it and lets the cancellation
// finish, for a bounded time (also while the library is being unloaded, so
// that the record can be given back).
void EndPendingWait(HANDLE port, WaitRecord* wait) {
  if (!wait->pending) return;
  CancelIo(port);
  const bool ended = WaitForSingleObject(wait->event, kCancelWaitMs) == WAIT_OBJECT_0;
  wait->pending = false;
  // A wait not seen to end completes into this record whenever the system gets
  // to it: the next reader takes a fresh one.
  if (!ended) LeaveRecord(wait);
}

// Received characters that the driver or the UART dropped: the answer being
// gathered has a hole in it.
void NoteLineErrors(DWORD errors) {
  if ((errors & (CE_RXOVER | CE_OVERRUN)) != 0) NoteInputLost();
}

// Reads what the driver holds, asking for its queue once per round rather than
// before every chunk. Each read asks for at most 80 bytes; the chunks of a
// round are appended a piece of up to 1 KiB at a time, so that a long block
// costs one append per piece rather than per chunk. The bytes read.
uint32_t DrainReceived(CommChannelRecord* channel, HANDLE port, int32_t runNumber) {
  char piece[kPieceSize + 4];
  uint32_t total = 0;
  // A close ends the drain at its next round, also while a block streams in.
  while (channel->Running.load() == runNumber) {
    DWORD errors = 0;
    COMSTAT status{};
    if (!ClearCommError(port, &errors, &status)) return total;
    NoteLineErrors(errors);
    if (status.cbInQue == 0) return total;
    DWORD queued = status.cbInQue;
    uint32_t held = 0;
    while (queued > 0) {
      const uint32_t got = ReadCommBlock(channel, piece + held, queued < kChunkRequest ? queued : kChunkRequest);
      TraceWire(WireDirection::Read, piece + held, static_cast<int32_t>(got));
      held += got;
      total += got;
      queued = got < queued ? queued - got : 0;
      const bool dry = got == 0;
      if (held != 0 && (dry || queued == 0 || held + kChunkRequest > kPieceSize)) {
        AppendAnswerChunk(piece, held);
        held = 0;
      }
      if (dry) return total;
    }
  }
  return total;
}

DWORD NextBackoff(DWORD backoffMs) {
  return backoffMs == 0 ? 1 : (backoffMs * 2 > kBackoffMaxMs ? kBackoffMaxMs : backoffMs * 2);
}

}  // namespace

void AbandonReaderRecord() { LeaveRecord(Wait); }

void ReleaseReaderRecord() {
  if (Wait == nullptr) return;
  if (Wait->event != nullptr) CloseHandle(Wait->event);
  if (Wait->readEvent != nullptr) CloseHandle(Wait->readEvent);
  LocalFree(Wait);
  Wait = nullptr;
}

DWORD WINAPI CommWatchThread(LPVOID parameter) {
  CommChannelRecord* channel = &CommChannel;
  const auto runNumber = static_cast<int32_t>(reinterpret_cast<intptr_t>(parameter));
  if (channel->Running.load() != runNumber) {
    // Its open gave up before it ran: it touches nothing of a later open.
    const HMODULE module = OrphanModule.exchange(nullptr);
    if (module != nullptr) FreeLibraryAndExitThread(module, 0);
    return 0;
  }
  // The handle as it was opened: a close that could not wait for the reader may
  // have given the record's copy up already.
  const HANDLE port = channel->PortHandle;
  WaitRecord* wait = WaitRecordOnce();
  const bool selected = wait != nullptr && SetCommMask(port, EV_RXCHAR);
  // Running from here on; the open returns only now, so its mask is the reader's.
  SetEvent(ReaderStarted);
  if (selected) {
    // A driver raises EV_RXCHAR only as bytes arrive: what came before the mask
    // was set (a banner when DTR rose) is read now, not put in front of an answer.
    DrainReceived(channel, port, runNumber);
    DWORD backoffMs = 0;
    int emptyWakes = 0;
    while (channel->Running.load() == runNumber) {
      // A read that never ended left its record to the driver: take a fresh one.
      if (wait != Wait && (wait = WaitRecordOnce()) == nullptr) break;
      DWORD mask = 0;
      DWORD error = ERROR_SUCCESS;
      if (!WaitForEvent(channel, runNumber, port, wait, &mask, &error)) {
        // A driver that refuses a wait may be holding an error that blocks all I/O until it is read.
        DWORD errors = 0;
        if (ClearCommError(port, &errors, nullptr)) NoteLineErrors(errors);
        if (LineGoneError(error) && channel->Running.load() == runNumber) MarkLineGone("CommWatchThread", error);
        // A removed device fails every wait at once: back off instead of spinning at high priority.
        backoffMs = NextBackoff(backoffMs);
        if (channel->Running.load() == runNumber) Sleep(backoffMs);
        continue;
      }
      // Only bytes read prove the line healthy: around a surprise removal a
      // driver may end waits at once with nothing to read. One such wake is
      // normal (an event left over from the last drain); more are backed off.
      // Whatever ended the wait, what is queued is read: bytes left after a
      // drain that read nothing raise no new event.
      if (DrainReceived(channel, port, runNumber) > 0) {
        backoffMs = 0;
        emptyWakes = 0;
        continue;
      }
      if (channel->Running.load() == runNumber && ++emptyWakes > 1) {
        backoffMs = NextBackoff(backoffMs);
        Sleep(backoffMs);
      }
    }
    if (wait != nullptr) EndPendingWait(port, wait);
  }
  // A later open has its own reader, whose record and signals these are now.
  const int32_t running = channel->Running.load();
  if (running != 0 && running != runNumber) return 0;
  channel->ThreadId.store(0);
  channel->ThreadHandle = nullptr;
  ReaderEnded.store(1);
  // While the library is being unloaded the loader lock keeps a thread from
  // leaving, and it would leave through code that is gone by then: the reader
  // waits here, out of every lock, for CloseComm to end it.
  if (ParkReader.load() != 0) ReaderParked.store(1);
  SetEvent(ReaderStopped);
  while (ParkReader.load() != 0) Sleep(kWaitSliceMs);
  return 0;
}

uint32_t ReadCommBlock(CommChannelRecord* channel, char* destination, uint32_t maxLength) {
  WaitRecord* record = Wait;
  if (maxLength == 0 || record == nullptr) return 0;
  if (maxLength > kChunkRequest) maxLength = kChunkRequest;
  const HANDLE port = channel->PortHandle;
  HANDLE readEvent = record->readEvent;
  ResetEvent(readEvent);
  OVERLAPPED* overlapped = &record->readOverlapped;
  *overlapped = OVERLAPPED{};
  overlapped->hEvent = readEvent;
  DWORD count = 0;
  DWORD errors = 0;
  COMSTAT status{};
  if (ReadFile(port, record->readBuffer, maxLength, &count, overlapped)) {
    memcpy(destination, record->readBuffer, count);
    return count;
  }
  const DWORD error = GetLastError();
  if (error != ERROR_IO_PENDING) {
    if (LineGoneError(error) && channel->Running.load() != 0) MarkLineGone("ReadCommBlock", error);
    errors = 0;
    ClearCommError(port, &errors, &status);
    DebugLine("KORIMAX: ReadCommBlock --> Read failed (status = 0x%08X)\n", static_cast<unsigned>(errors));
    return 0;
  }
  // Only what the driver said it holds is asked for, so the read normally ends
  // at once; a driver that overstated its queue keeps it waiting for bytes that
  // may never come, so the wait is bounded by the reader's run and the read is
  // cancelled; a driver that ignores the cancel keeps the record, not the reader.
  DWORD waited = WAIT_TIMEOUT;
  while ((waited = WaitForSingleObject(readEvent, kWaitSliceMs)) == WAIT_TIMEOUT) {
    if (channel->Running.load() == 0) break;
  }
  if (waited != WAIT_OBJECT_0) {
    CancelIo(port);
    if (waited == WAIT_FAILED) DebugLine("KORIMAX: ReadCommBlock --> Wait object failed\n");
    if (WaitForSingleObject(readEvent, kCancelWaitMs) != WAIT_OBJECT_0) {
      DebugLine("KORIMAX: ReadCommBlock --> Read did not end after its cancel\n");
      LeaveRecord(record);
      return 0;
    }
  }
  if (!GetOverlappedResult(port, overlapped, &count, FALSE)) {
    const DWORD failure = GetLastError();
    errors = 0;
    ClearCommError(port, &errors, &status);
    if (waited == WAIT_OBJECT_0) DebugLine("KORIMAX: ReadCommBlock --> Get overlapped result failed\n");
    if (LineGoneError(failure) && channel->Running.load() != 0) MarkLineGone("ReadCommBlock", failure);
    return 0;
  }
  memcpy(destination, record->readBuffer, count);
  return count;
}
