// Block writes under the write lock, with one retry.
#include "serial/answer_text.h"
#include "serial/comm_channel.h"
#include "serial/wire_trace.h"

#include <cstring>

extern CRITICAL_SECTION WriteLock;
extern HANDLE WriteEvent;
extern std::atomic<int32_t> WriteObjectsReady;

namespace {

constexpr DWORD kWriteBaseMs = 600;  // the transaction's allowance: three answer windows
constexpr DWORD kWriteSliceMs = 50;
constexpr DWORD kCancelWaitMs = 500;
constexpr size_t kHeldLine = 128;

// A write in progress is the driver's until it completes, also after a cancel
// it ignores: its record and a copy of a command line live in memory that is
// only reused once the write is seen to end, and otherwise left to the driver.
struct WriteRecord {
  OVERLAPPED overlapped;
  char line[kHeldLine];
  WriteRecord* next;  // on the list of records left to the driver
};
WriteRecord* Record = nullptr;
WriteRecord* LeftToDriver = nullptr;  // under WriteLock

WriteRecord* WriteRecordOnce() {
  if (Record == nullptr) Record = static_cast<WriteRecord*>(LocalAlloc(LPTR, sizeof(WriteRecord)));
  return Record;
}

// What a block may take: the transaction's allowance and twice the time the
// bytes take on the line, so that a board (or adapter) that stops taking data
// cannot hold the caller, and the call's turn, for ever.
DWORD WriteAllowanceMs(const CommChannelRecord* channel, int32_t byteCount) {
  const uint64_t baud = channel->LineBaudRate != 0 ? channel->LineBaudRate : 300;
  return kWriteBaseMs + static_cast<DWORD>((static_cast<uint64_t>(byteCount) * 20000 + baud - 1) / baud);
}

// Waits for the pending write to end, for at most its allowance and only while
// no close waits for the turn; a write that does not end is cancelled. False
// when it did not complete.
bool WaitForWrite(CommChannelRecord* channel, WriteRecord* record, DWORD allowanceMs) {
  const DWORD start = GetTickCount();
  for (;;) {
    const DWORD elapsed = GetTickCount() - start;
    if (elapsed >= allowanceMs || WritesCut.load(std::memory_order_acquire) != 0) break;
    const DWORD left = allowanceMs - elapsed;
    if (WaitForSingleObject(WriteEvent, left < kWriteSliceMs ? left : kWriteSliceMs) == WAIT_OBJECT_0) return true;
  }
  CancelIoEx(channel->PortHandle, &record->overlapped);
  if (WaitForSingleObject(WriteEvent, kCancelWaitMs) != WAIT_OBJECT_0) {
    DebugLine("KORIMAX: WriteCommBlock --> Write did not end after its cancel\n");
    // The driver may still complete into it: kept, never reused.
    record->next = LeftToDriver;
    LeftToDriver = record;
    Record = nullptr;
  }
  return false;
}

}  // namespace

int32_t WriteCommBlock(CommChannelRecord* channel, const char* data, int32_t byteCount) {
  if (byteCount == 0) {
    DebugLine("KORIMAX: WriteCommBlock --> Byte count is zero\n");
    return 0;
  }
  if (byteCount < 0 || data == nullptr) return 0;
  TraceWire(WireDirection::Written, data, byteCount);
  EnterCriticalSection(&WriteLock);
  WriteRecord* record = WriteRecordOnce();
  if (record == nullptr) {
    LeaveCriticalSection(&WriteLock);
    return 0;
  }
  const DWORD wanted = static_cast<DWORD>(byteCount);
  if (wanted <= kHeldLine) data = static_cast<const char*>(memcpy(record->line, data, wanted));
  record->overlapped = OVERLAPPED{};
  ResetEvent(WriteEvent);
  record->overlapped.hEvent = WriteEvent;
  DWORD written = 0;
  if (WriteFile(channel->PortHandle, data, wanted, &written, &record->overlapped)) {
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
  if (!WaitForWrite(channel, record, WriteAllowanceMs(channel, byteCount))) {
    LeaveCriticalSection(&WriteLock);
    DebugLine("KORIMAX: WriteCommBlock --> Write Timeout: not completed\n");
    return 0;
  }
  if (!GetOverlappedResult(channel->PortHandle, &record->overlapped, &written, FALSE)) {
    const DWORD failure = GetLastError();
    LeaveCriticalSection(&WriteLock);
    DebugLine("KORIMAX: WriteCommBlock --> Get overlapped result failed\n");
    if (LineGoneError(failure)) MarkLineGone("WriteCommBlock", failure);
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

std::atomic<int32_t> WritesCut{0};

void ReleaseWriteRecord() {
  if (Record != nullptr) LocalFree(Record);
  Record = nullptr;
}

int32_t WriteComm(int32_t byteCount, const char* data) {
  // Other families write without asking whether the channel is open: a closed
  // channel has no lock or events to use, so the write fails at once.
  if (WriteObjectsReady.load(std::memory_order_acquire) == 0 ||
      CommChannel.PortHandle == INVALID_HANDLE_VALUE) {
    return 0;
  }
  int32_t written = WriteCommBlock(&CommChannel, data, byteCount);
  // A write that a close cut short is not tried again.
  if (written != 1 && WritesCut.load(std::memory_order_acquire) == 0) {
    DebugLine("KORIMAXDLL: WriteComm --> second round\n");
    written = WriteCommBlock(&CommChannel, data, byteCount);
  }
  // The lines that went out are owed their answers.
  if (written == 1) NoteLinesSent(data, byteCount);
  return written;
}
