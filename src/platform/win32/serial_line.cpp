// The serial line over overlapped Win32 I/O: a pending WaitCommEvent for
// received characters, reads of what the driver says it holds, writes bounded
// by the caller's deadline. A record the driver may still complete into is
// never reused or given back: it is left to the driver on a list.
#include "platform/serial_line.h"

#include <cstdio>
#include <cstring>
#include <new>

#include "platform/host.h"
#include "platform/win32/win32.h"
#include "platform/win32/win32_line.h"

namespace tarvelin {

namespace {

constexpr DWORD kQueueBytes = 4096;
constexpr DWORD kPurgeAll = PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR;
constexpr uint32_t kChunkRequest = 80;
constexpr DWORD kWaitSliceMs = 100;
constexpr DWORD kWriteSliceMs = 50;
constexpr DWORD kCancelWaitMs = 500;
constexpr size_t kHeldLine = 128;

// The event wait's record, mask and event, and the read's record, event and
// buffer: the driver completes into them whenever it gets to it.
struct WaitRecord {
  OVERLAPPED overlapped;
  DWORD mask;
  HANDLE event;
  HANDLE readEvent;
  bool pending;
  OVERLAPPED readOverlapped;
  char readBuffer[kChunkRequest + 4];
  WaitRecord* next;  // on the list of records left to the driver
};

// A write in progress, with a copy of a command line, is the driver's until it completes.
struct WriteRecord {
  OVERLAPPED overlapped;
  char line[kHeldLine];
  WriteRecord* next;
};

}  // namespace

struct SerialLine::State {
  HANDLE port = INVALID_HANDLE_VALUE;
  char device[48] = "";
  DWORD openError = 0;
  DWORD lastError = 0;
  std::atomic<bool> selected{false};  // EV_RXCHAR is the port's event mask; a wake clears it
  bool lostPending = false;  // an overrun seen by a wait, for the next read to report
  std::atomic<int32_t> woken{0};
  WaitRecord* wait = nullptr;
  WriteRecord* write = nullptr;
  HANDLE writeEvent = nullptr;
};

namespace {

// Records the driver may still complete into: never reused or given back, and
// kept on lists of the process rather than forgotten, whatever line left them.
std::atomic<WaitRecord*> WaitsLeft{nullptr};
std::atomic<WriteRecord*> WritesLeft{nullptr};

template <typename Record>
void KeepForTheDriver(std::atomic<Record*>& list, Record* record) {
  record->next = list.load();
  while (!list.compare_exchange_weak(record->next, record)) {
  }
}

bool LineGoneError(DWORD error) {
  // Drivers differ in how they say a USB adapter was pulled out: these are the
  // answers seen from the common ones to I/O on a device that is gone.
  switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_ACCESS_DENIED:
    case ERROR_BAD_COMMAND:
    case ERROR_GEN_FAILURE:
    case ERROR_DEV_NOT_EXIST:
    case ERROR_DEVICE_NOT_CONNECTED:
    case ERROR_DEVICE_REMOVED:
      return true;
    default:
      return false;
  }
}

LineResult Refused(SerialLine::State& s, DWORD error) {
  s.lastError = error;
  return LineGoneError(error) ? LineResult::Gone : LineResult::Failed;
}

void LeaveWaitRecord(SerialLine::State& s, WaitRecord* record) {
  if (record == nullptr) return;
  KeepForTheDriver(WaitsLeft, record);
  if (s.wait == record) s.wait = nullptr;
}

WaitRecord* WaitRecordOnce(SerialLine::State& s) {
  if (s.wait == nullptr) s.wait = static_cast<WaitRecord*>(LocalAlloc(LPTR, sizeof(WaitRecord)));
  WaitRecord* wait = s.wait;
  if (wait == nullptr) return nullptr;
  if (wait->event == nullptr) wait->event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  if (wait->readEvent == nullptr) wait->readEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  return wait->event != nullptr && wait->readEvent != nullptr ? wait : nullptr;
}

// Received characters that the driver or the UART dropped: what is being
// gathered has a hole in it.
void NoteLineErrors(SerialLine::State& s, DWORD errors) {
  if ((errors & (CE_RXOVER | CE_OVERRUN)) != 0) s.lostPending = true;
}

// What the driver holds; 0 also when it will not say.
DWORD QueuedBytes(SerialLine::State& s) {
  DWORD errors = 0;
  COMSTAT status{};
  if (!ClearCommError(s.port, &errors, &status)) return 0;
  NoteLineErrors(s, errors);
  return status.cbInQue;
}

// Leaves no wait behind on the port: cancels it and lets the cancellation end,
// for a bounded time; a wait not seen to end keeps its record.
void EndPendingWait(SerialLine::State& s, WaitRecord* wait) {
  if (!wait->pending) return;
  CancelIo(s.port);
  const bool ended = WaitForSingleObject(wait->event, kCancelWaitMs) == WAIT_OBJECT_0;
  wait->pending = false;
  if (!ended) LeaveWaitRecord(s, wait);
}

// One read of at most 80 bytes, which the caller knows the driver holds.
uint32_t ReadChunk(SerialLine::State& s, WaitRecord* record, char* destination, uint32_t maxLength,
                   LineResult* result) {
  if (maxLength > kChunkRequest) maxLength = kChunkRequest;
  HANDLE readEvent = record->readEvent;
  ResetEvent(readEvent);
  OVERLAPPED* overlapped = &record->readOverlapped;
  *overlapped = OVERLAPPED{};
  overlapped->hEvent = readEvent;
  DWORD count = 0;
  DWORD errors = 0;
  COMSTAT status{};
  if (ReadFile(s.port, record->readBuffer, maxLength, &count, overlapped)) {
    memcpy(destination, record->readBuffer, count);
    return count;
  }
  const DWORD error = GetLastError();
  if (error != ERROR_IO_PENDING) {
    *result = Refused(s, error);
    ClearCommError(s.port, &errors, &status);
    DebugLine("KORIMAX: ReadCommBlock --> Read failed (status = 0x%08X)\n", static_cast<unsigned>(errors));
    return 0;
  }
  // Only what the driver said it holds is asked for, so the read normally ends
  // at once; a driver that overstated its queue keeps it waiting for bytes that
  // may never come, so the wait is bounded by a wake and the read is cancelled;
  // a driver that ignores the cancel keeps the record, not the reader.
  DWORD waited = WAIT_TIMEOUT;
  while ((waited = WaitForSingleObject(readEvent, kWaitSliceMs)) == WAIT_TIMEOUT) {
    if (s.woken.load(std::memory_order_acquire) != 0) break;
  }
  if (waited != WAIT_OBJECT_0) {
    CancelIo(s.port);
    if (waited == WAIT_FAILED) DebugLine("KORIMAX: ReadCommBlock --> Wait object failed\n");
    if (WaitForSingleObject(readEvent, kCancelWaitMs) != WAIT_OBJECT_0) {
      DebugLine("KORIMAX: ReadCommBlock --> Read did not end after its cancel\n");
      LeaveWaitRecord(s, record);
      return 0;
    }
  }
  if (!GetOverlappedResult(s.port, overlapped, &count, FALSE)) {
    const DWORD failure = GetLastError();
    ClearCommError(s.port, &errors, &status);
    if (waited == WAIT_OBJECT_0) DebugLine("KORIMAX: ReadCommBlock --> Get overlapped result failed\n");
    if (LineGoneError(failure)) *result = Refused(s, failure);
    return 0;
  }
  memcpy(destination, record->readBuffer, count);
  return count;
}

WriteRecord* WriteRecordOnce(SerialLine::State& s) {
  if (s.write == nullptr) s.write = static_cast<WriteRecord*>(LocalAlloc(LPTR, sizeof(WriteRecord)));
  if (s.writeEvent == nullptr) s.writeEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  return s.writeEvent != nullptr ? s.write : nullptr;
}

// Waits for the pending write to end, for at most its allowance and only while
// the caller's cut flag is down; a write that does not end is cancelled.
LineResult WaitForWrite(SerialLine::State& s, WriteRecord* record, DWORD allowanceMs, const std::atomic<int32_t>* cut) {
  const DWORD start = GetTickCount();
  LineResult result = LineResult::TimedOut;
  for (;;) {
    const DWORD elapsed = GetTickCount() - start;
    if (elapsed >= allowanceMs) break;
    if (cut != nullptr && cut->load(std::memory_order_acquire) != 0) {
      result = LineResult::Cut;
      break;
    }
    const DWORD left = allowanceMs - elapsed;
    if (WaitForSingleObject(s.writeEvent, left < kWriteSliceMs ? left : kWriteSliceMs) == WAIT_OBJECT_0) {
      return LineResult::Done;
    }
  }
  CancelIoEx(s.port, &record->overlapped);
  if (WaitForSingleObject(s.writeEvent, kCancelWaitMs) != WAIT_OBJECT_0) {
    DebugLine("KORIMAX: WriteCommBlock --> Write did not end after its cancel\n");
    KeepForTheDriver(WritesLeft, record);
    s.write = nullptr;
  }
  return result;
}

}  // namespace

SerialLine::SerialLine() : state_(new (std::nothrow) State) {}

SerialLine::~SerialLine() {
  Close();
  ReleaseKept();
  delete state_;
}

LineResult SerialLine::OpenPort(int32_t portNumber) {
  // Windows reaches COM10 and above only through the device namespace, which names every port.
  char name[32];
  snprintf(name, sizeof name, "\\\\.\\COM%d", static_cast<int>(portNumber));
  return OpenDevice(name);
}

LineResult SerialLine::OpenDevice(const char* path) {
  if (state_ == nullptr || path == nullptr || IsOpen()) return LineResult::Failed;
  State& s = *state_;
  snprintf(s.device, sizeof s.device, "%s", path);
  s.port = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                       FILE_FLAG_OVERLAPPED | FILE_ATTRIBUTE_NORMAL, nullptr);
  if (s.port == INVALID_HANDLE_VALUE) {
    s.openError = s.lastError = GetLastError();
    return LineResult::Failed;
  }
  s.selected.store(false);
  s.lostPending = false;
  s.woken.store(0);
  // Every call's result is looked at: a port that refuses its set-up is not
  // one the library can talk through, and a record it could not read is not passed on.
  COMMTIMEOUTS timeouts{};
  const char* refused = nullptr;
  if (!SetupComm(s.port, kQueueBytes, kQueueBytes))
    refused = "SetupComm";
  else if (!PurgeComm(s.port, kPurgeAll))
    refused = "PurgeComm";
  else if (!GetCommTimeouts(s.port, &timeouts))
    refused = "GetCommTimeouts";
  if (refused == nullptr) {
    timeouts.ReadIntervalTimeout = 1;
    timeouts.ReadTotalTimeoutMultiplier = 0;
    timeouts.ReadTotalTimeoutConstant = 0;
    // Writes are bounded by the writer's own wait, which follows the line rate as it changes.
    timeouts.WriteTotalTimeoutMultiplier = 0;
    timeouts.WriteTotalTimeoutConstant = 0;
    if (!SetCommTimeouts(s.port, &timeouts)) refused = "SetCommTimeouts";
  }
  if (refused != nullptr) {
    s.lastError = GetLastError();
    DebugLine("KORIMAX: OpenComm --> %s failed (error %lu)\n", refused, static_cast<unsigned long>(s.lastError));
    CloseHandle(s.port);
    s.port = INVALID_HANDLE_VALUE;
    return LineResult::Failed;
  }
  return LineResult::Done;
}

bool SerialLine::IsOpen() const { return state_ != nullptr && state_->port != INVALID_HANDLE_VALUE; }

void SerialLine::DescribeOpenFailure(char* text, size_t size) const {
  if (text == nullptr || size == 0) return;
  const DWORD error = state_ != nullptr ? state_->openError : ERROR_NOT_ENOUGH_MEMORY;
  char reason[192] = "";
  if (error == ERROR_ACCESS_DENIED) {
    // A COM port is opened exclusively: access is refused while another program holds it.
    snprintf(reason, sizeof reason, "in use by another program");
  } else {
    const DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error, 0,
                                        reason, sizeof reason, nullptr);
    DWORD end = length;
    while (end > 0 && (reason[end - 1] == '\r' || reason[end - 1] == '\n' || reason[end - 1] == ' ')) --end;
    reason[end] = '\0';
    if (end == 0) snprintf(reason, sizeof reason, "system error %lu", static_cast<unsigned long>(error));
  }
  snprintf(text, size, "%s: %s", state_ != nullptr ? state_->device : "", reason);
}

LineResult SerialLine::Configure(const LineSettings& settings) {
  if (!IsOpen()) return LineResult::Failed;
  State& s = *state_;
  DCB dcb{};
  dcb.DCBlength = sizeof(DCB);
  // The driver keeps the settings of the port's last user: what cannot be read is not guessed at.
  if (!GetCommState(s.port, &dcb)) return Refused(s, GetLastError());
  dcb.DCBlength = sizeof(DCB);
  dcb.BaudRate = settings.baudRate;
  dcb.ByteSize = settings.byteSize;
  dcb.Parity = static_cast<BYTE>(settings.parity);
  dcb.StopBits = static_cast<BYTE>(settings.stopBits);
  dcb.fBinary = 1;
  dcb.fParity = 1;
  dcb.fOutxCtsFlow = settings.ctsFlow;
  dcb.fOutxDsrFlow = settings.dsrFlow;
  dcb.fDtrControl = settings.dsrFlow ? DTR_CONTROL_HANDSHAKE : DTR_CONTROL_ENABLE;
  dcb.fRtsControl = settings.ctsFlow ? RTS_CONTROL_HANDSHAKE : RTS_CONTROL_ENABLE;
  dcb.fOutX = settings.xonXoff;
  dcb.fInX = settings.xonXoff;
  dcb.XonChar = 17;
  dcb.XoffChar = 19;
  dcb.XonLim = 100;
  dcb.XoffLim = 100;
  // Left set by another program these wedge the line: abort-on-error refuses all
  // I/O after the first framing error, DSR sensitivity drops every byte from a
  // board that does not drive DSR, and the null and error-character options alter the answer.
  dcb.fAbortOnError = 0;
  dcb.fDsrSensitivity = 0;
  dcb.fNull = 0;
  dcb.fErrorChar = 0;
  return SetCommState(s.port, &dcb) ? LineResult::Done : Refused(s, GetLastError());
}

LineResult SerialLine::SetRate(uint32_t baudRate) {
  if (!IsOpen()) return LineResult::Failed;
  State& s = *state_;
  DCB dcb{};
  dcb.DCBlength = sizeof(DCB);
  if (!GetCommState(s.port, &dcb)) return Refused(s, GetLastError());
  dcb.BaudRate = baudRate;
  return SetCommState(s.port, &dcb) ? LineResult::Done : Refused(s, GetLastError());
}

LineResult SerialLine::SetDtr(bool raised) {
  if (!IsOpen()) return LineResult::Failed;
  return EscapeCommFunction(state_->port, raised ? SETDTR : CLRDTR) ? LineResult::Done
                                                                    : Refused(*state_, GetLastError());
}

LineResult SerialLine::Write(const char* data, size_t length, uint32_t timeoutMs, const std::atomic<int32_t>* cut) {
  if (!IsOpen() || data == nullptr || length > 0x7FFFFFFF) return LineResult::Failed;
  State& s = *state_;
  WriteRecord* record = WriteRecordOnce(s);
  if (record == nullptr) return LineResult::Failed;
  const auto wanted = static_cast<DWORD>(length);
  if (wanted <= kHeldLine) data = static_cast<const char*>(memcpy(record->line, data, wanted));
  record->overlapped = OVERLAPPED{};
  ResetEvent(s.writeEvent);
  record->overlapped.hEvent = s.writeEvent;
  DWORD written = 0;
  if (WriteFile(s.port, data, wanted, &written, &record->overlapped)) return LineResult::Done;
  const DWORD error = GetLastError();
  if (error != ERROR_IO_PENDING) {
    DebugLine("KORIMAX: WriteCommBlock --> Write failed\n");
    return Refused(s, error);
  }
  const LineResult waited = WaitForWrite(s, record, timeoutMs, cut);
  if (waited != LineResult::Done) {
    DebugLine("KORIMAX: WriteCommBlock --> Write Timeout: not completed\n");
    return waited;
  }
  if (!GetOverlappedResult(s.port, &record->overlapped, &written, FALSE)) {
    const DWORD failure = GetLastError();
    DebugLine("KORIMAX: WriteCommBlock --> Get overlapped result failed\n");
    return Refused(s, failure);
  }
  if (written != wanted) {
    DebugLine("KORIMAX: WriteCommBlock --> Write Timeout: %ld byte(s) of %ld byte(s) sent\n",
              static_cast<long>(written), static_cast<long>(wanted));
    return LineResult::TimedOut;
  }
  return LineResult::Done;
}

LineResult SerialLine::WaitReadable(uint32_t timeoutMs) {
  if (!IsOpen()) return LineResult::Failed;
  State& s = *state_;
  WaitRecord* wait = WaitRecordOnce(s);
  if (wait == nullptr) return LineResult::Failed;
  if (s.woken.exchange(0) != 0) {
    EndPendingWait(s, wait);
    return LineResult::Woken;
  }
  if (!s.selected.load()) {
    if (!SetCommMask(s.port, EV_RXCHAR)) return Refused(s, GetLastError());
    s.selected.store(true);
  }
  if (!wait->pending) {
    wait->overlapped = OVERLAPPED{};
    wait->overlapped.hEvent = wait->event;
    wait->mask = 0;
    ResetEvent(wait->event);
    if (WaitCommEvent(s.port, &wait->mask, &wait->overlapped)) return LineResult::Done;
    const DWORD error = GetLastError();
    if (error != ERROR_IO_PENDING) {
      // A driver that refuses a wait may be holding an error that blocks all I/O until it is read.
      DWORD errors = 0;
      if (ClearCommError(s.port, &errors, nullptr)) NoteLineErrors(s, errors);
      return Refused(s, error);
    }
    wait->pending = true;
  }
  // A driver raises EV_RXCHAR only as bytes arrive: bytes that came before the
  // wait began (a banner as DTR rose, the tail of a drain) are reported now.
  if (QueuedBytes(s) > 0) return LineResult::Done;
  const DWORD start = GetTickCount();
  for (;;) {
    const DWORD elapsed = GetTickCount() - start;
    const DWORD left = elapsed < timeoutMs ? timeoutMs - elapsed : 0;
    // Slices: a driver that ends no wait on a mask change must not keep a woken reader.
    const DWORD result = WaitForSingleObject(wait->event, left < kWaitSliceMs ? left : kWaitSliceMs);
    if (result == WAIT_OBJECT_0) {
      wait->pending = false;
      DWORD unused = 0;
      const bool completed = GetOverlappedResult(s.port, &wait->overlapped, &unused, FALSE) != 0;
      const DWORD error = completed ? ERROR_SUCCESS : GetLastError();
      // A wait that a wake's cancel or mask change ended is a wake, not a failure.
      if (s.woken.exchange(0) != 0) return LineResult::Woken;
      return completed ? LineResult::Done : Refused(s, error);
    }
    if (result == WAIT_FAILED) return Refused(s, GetLastError());
    if (s.woken.exchange(0) != 0) {
      EndPendingWait(s, wait);
      return LineResult::Woken;
    }
    if (left == 0) return LineResult::TimedOut;
  }
}

LineRead SerialLine::Read(char* buffer, size_t capacity) {
  LineRead read;
  if (!IsOpen() || buffer == nullptr) {
    read.result = LineResult::Failed;
    return read;
  }
  State& s = *state_;
  WaitRecord* record = WaitRecordOnce(s);
  DWORD queued = QueuedBytes(s);
  read.inputLost = s.lostPending;
  s.lostPending = false;
  // Each read asks for at most 80 bytes of what the driver says it holds.
  while (record != nullptr && queued > 0 && read.bytes < capacity && s.wait == record) {
    const size_t room = capacity - read.bytes;
    const uint32_t asked = static_cast<uint32_t>(queued < room ? queued : room);
    const uint32_t got = ReadChunk(s, record, buffer + read.bytes, asked, &read.result);
    if (got == 0) break;
    read.bytes += got;
    queued = got < queued ? queued - got : 0;
  }
  return read;
}

void SerialLine::Wake() {
  if (!IsOpen()) return;
  State& s = *state_;
  s.woken.store(1, std::memory_order_release);
  // Changing the event mask ends a WaitCommEvent in progress, and a read that
  // a driver keeps waiting (it overstated what it held) ends with the cancel.
  SetCommMask(s.port, 0);
  SetCommMask(s.port, EV_BREAK);
  SetCommMask(s.port, 0);
  CancelIoEx(s.port, nullptr);
  s.selected.store(false);
}

// The reader reads for every call here: nothing leads.
LineResult SerialLine::LeadWaitReadable(uint32_t) { return LineResult::Failed; }
void SerialLine::WakeLead() {}

void SerialLine::Discard() {
  if (IsOpen()) PurgeComm(state_->port, kPurgeAll);
}

void SerialLine::Close() {
  if (!IsOpen()) return;
  CloseHandle(state_->port);
  state_->port = INVALID_HANDLE_VALUE;
}

uint32_t SerialLine::SystemError() const { return state_ != nullptr ? state_->lastError : 0; }

void SerialLine::Abandon() {
  if (state_ != nullptr) LeaveWaitRecord(*state_, state_->wait);
}

void SerialLine::ReleaseKept() {
  if (state_ == nullptr) return;
  State& s = *state_;
  if (s.wait != nullptr) {
    if (s.wait->event != nullptr) CloseHandle(s.wait->event);
    if (s.wait->readEvent != nullptr) CloseHandle(s.wait->readEvent);
    LocalFree(s.wait);
    s.wait = nullptr;
  }
  if (s.write != nullptr) LocalFree(s.write);
  s.write = nullptr;
  if (s.writeEvent != nullptr) CloseHandle(s.writeEvent);
  s.writeEvent = nullptr;
}

#ifdef TARVELIN_WIN32_SEAM
// For the tests that look at the port through the fake; not in the DLL.
void* Win32PortHandle(const SerialLine& line) { return line.state_ != nullptr ? line.state_->port : nullptr; }
#endif

}  // namespace tarvelin
