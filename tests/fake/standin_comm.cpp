// The serial port of the stand-in: a terminal device opened exclusively,
// DCB and COMMTIMEOUTS over termios, WaitCommEvent over poll, and an input
// queue that is filled in large pieces, as a Windows driver queues what arrives.
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "standin_faults.h"
#include "standin_internal.h"

namespace standin {
namespace {

constexpr DWORD kQueueMax = 65536;
constexpr ssize_t kStreamingRead = 1024;       // a read this long means more is on its way
constexpr unsigned kPtySlaveMajorFirst = 136;  // the devices of /dev/pts
constexpr unsigned kPtySlaveMajorLast = 143;
constexpr int kWriteStallMs = 5000;  // a write that makes no progress this long ends short

struct Port {
  ObjectHeader header;
  int fd;
  int wake[2];  // SetCommMask ends a wait in progress through this pipe
  std::atomic<DWORD> mask;
  std::atomic<uint32_t> generation;
  std::atomic<bool> hungUp;
  pthread_mutex_t lock;  // guards the queue, the DCB and the time-outs
  DCB dcb;
  COMMTIMEOUTS timeouts;
  bool dtr;
  DWORD queueSize;
  DWORD head;
  DWORD count;
  uint64_t received;     // bytes taken from the terminal since the open
  uint64_t arrivalMark;  // with RxCharOnArrivalOnly: what the pending wait found there
  bool mayHold;          // the terminal may hold bytes: no short read since its poll said so
  // A pseudo-terminal hands what is written straight to its other side and
  // always reports an empty output queue: it is not asked.
  bool pseudoTerminal;
  char queue[kQueueMax];

  // An overlapped WaitCommEvent stays pending, as a driver keeps it, and is
  // carried out by the thread that waits for the record's event: that thread
  // polls the terminal itself, so arriving bytes wake it directly, as a
  // driver's completion does, with no thread in between.
  pthread_cond_t driverLeft;  // the thread carrying the wait out gave it up
  bool closing;
  bool waitPending;
  bool driving;
  DWORD* waitMask;
  OVERLAPPED* waitOverlapped;
  HANDLE waitEvent;
  uint32_t waitGeneration;
  DWORD waitSelected;
  std::atomic<bool> cancelWait;
  // A read that a driver keeps waiting (see OverstateQueue): completed only by a cancel.
  OVERLAPPED* pendingRead;
  OVERLAPPED* pendingWrite;  // see StallWrites
  bool errorLatched;         // refuses waits until ClearCommError, as abort-on-error does
};

Port Ports[2];
pthread_mutex_t PortsLock = PTHREAD_MUTEX_INITIALIZER;

// A port's lock and condition are made once and never destroyed: a thread
// that waited for a record's event may still look at the port after it closed.
pthread_once_t PortsOnce = PTHREAD_ONCE_INIT;
void InitPorts() {
  for (Port& port : Ports) {
    pthread_mutex_init(&port.lock, nullptr);
    InitCond(&port.driverLeft);
  }
}

constexpr DWORD kStillPending = 0xFFFFFFFFu;  // a driven wait whose deadline passed

std::atomic<bool> RefuseSettings{false};
std::atomic<bool> RefuseState{false};
std::atomic<bool> InheritFlags{false};
std::atomic<bool> WaitsFailUntilCleared{false};
std::atomic<bool> WaitsEndEmpty{false};
std::atomic<DWORD> QueueOverstated{0};
std::atomic<unsigned> WaitCalls{0};
std::atomic<int> FailedWrites{0};
std::atomic<bool> CommMaskFails{false};
std::atomic<bool> ArrivalOnly{false};
std::atomic<bool> WritesStall{false};
std::atomic<bool> CancelsIgnored{false};
std::atomic<bool> OverrunPending{false};
std::atomic<bool> QueueSizesRefused{false};
std::atomic<DWORD> IoFailure{0};

std::atomic<bool> Tracing{false};
pthread_mutex_t TraceLock = PTHREAD_MUTEX_INITIALIZER;
char TraceBuffer[4096];
size_t TraceLength = 0;

struct RateEntry {
  DWORD baud;
  speed_t speed;
};
constexpr RateEntry kRates[] = {
    {110, B110},       {300, B300},       {600, B600},       {1200, B1200},     {2400, B2400},
    {4800, B4800},     {9600, B9600},     {19200, B19200},   {38400, B38400},   {57600, B57600},
    {115200, B115200}, {230400, B230400}, {460800, B460800}, {921600, B921600},
};

bool SpeedOf(DWORD baud, speed_t* speed) {
  for (const RateEntry& entry : kRates) {
    if (entry.baud == baud) {
      *speed = entry.speed;
      return true;
    }
  }
  return false;
}

DWORD BaudOf(speed_t speed) {
  for (const RateEntry& entry : kRates) {
    if (entry.speed == speed) return entry.baud;
  }
  return 9600;
}

Port* AsPort(HANDLE handle) { return KindOf(handle) == Kind::Port ? static_cast<Port*>(handle) : nullptr; }

Port* PortOrFail(HANDLE handle) {
  Port* port = AsPort(handle);
  if (port == nullptr) SetLastError(ERROR_INVALID_HANDLE);
  return port;
}

// Refills the empty queue from the terminal, as a driver hands over what it
// has gathered. A terminal hands over at most its line buffer (4 KiB) per
// read, so a read of 1 KiB or more means bytes are streaming in and the next
// read follows at once, until the queue is full or a read comes back short;
// gathering a stream in large pieces is what keeps the reader up with it.
// After a short read the terminal is read again only once a poll reports
// bytes: a read of an empty terminal waits for its line discipline's worker.
// A read of 0 bytes or EIO is how a pseudo-terminal reports that its other
// side is gone.
void FillQueue(Port* port) {
  if (port->count != 0 || !port->mayHold) return;
  port->head = 0;
  for (;;) {
    const DWORD room = port->queueSize - port->count;
    if (room == 0) return;
    const ssize_t got = read(port->fd, port->queue + port->count, room);
    if (got > 0) {
      port->count += static_cast<DWORD>(got);
      port->received += static_cast<uint64_t>(got);
      if (static_cast<DWORD>(got) < room && got < kStreamingRead) {
        port->mayHold = false;  // a short read: the terminal is drained
        return;
      }
      continue;
    }
    if (got < 0 && errno == EINTR) continue;
    if (got == 0 || errno != EAGAIN) port->hungUp.store(true);
    port->mayHold = false;
    return;
  }
}

void DrainWake(Port* port) {
  char scratch[64];
  while (read(port->wake[0], scratch, sizeof scratch) > 0) {
  }
}

// Derives the DCB that Windows would report from the terminal's settings.
void DcbFromTermios(const termios& tio, DCB* dcb) {
  memset(dcb, 0, sizeof *dcb);
  dcb->DCBlength = sizeof(DCB);
  dcb->BaudRate = BaudOf(cfgetospeed(&tio));
  dcb->fBinary = 1;
  switch (tio.c_cflag & CSIZE) {
    case CS5:
      dcb->ByteSize = 5;
      break;
    case CS6:
      dcb->ByteSize = 6;
      break;
    case CS7:
      dcb->ByteSize = 7;
      break;
    default:
      dcb->ByteSize = 8;
      break;
  }
  dcb->Parity = (tio.c_cflag & PARENB) == 0 ? NOPARITY : (tio.c_cflag & PARODD) != 0 ? ODDPARITY : EVENPARITY;
  dcb->StopBits = (tio.c_cflag & CSTOPB) != 0 ? TWOSTOPBITS : ONESTOPBIT;
  dcb->fOutxCtsFlow = (tio.c_cflag & CRTSCTS) != 0;
  dcb->fRtsControl = dcb->fOutxCtsFlow ? RTS_CONTROL_HANDSHAKE : RTS_CONTROL_ENABLE;
  dcb->fDtrControl = DTR_CONTROL_ENABLE;
  dcb->fOutX = (tio.c_iflag & IXON) != 0;
  dcb->fInX = (tio.c_iflag & IXOFF) != 0;
  dcb->XonChar = 17;
  dcb->XoffChar = 19;
  dcb->XonLim = 2048;
  dcb->XoffLim = 512;
}

bool TermiosFromDcb(const DCB& dcb, termios* tio) {
  speed_t speed = B0;
  if (!SpeedOf(dcb.BaudRate, &speed)) return false;
  if (dcb.ByteSize < 5 || dcb.ByteSize > 8) return false;
  if (dcb.Parity > SPACEPARITY) return false;
  if (dcb.StopBits != ONESTOPBIT && dcb.StopBits != TWOSTOPBITS) return false;
  cfmakeraw(tio);
  tio->c_cflag |= CLOCAL | CREAD;
  tio->c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
  static constexpr tcflag_t kSizes[] = {CS5, CS6, CS7, CS8};
  tio->c_cflag |= kSizes[dcb.ByteSize - 5];
  if (dcb.Parity != NOPARITY) tio->c_cflag |= PARENB;
  if (dcb.Parity == ODDPARITY || dcb.Parity == MARKPARITY) tio->c_cflag |= PARODD;
  if (dcb.Parity == MARKPARITY || dcb.Parity == SPACEPARITY) tio->c_cflag |= CMSPAR;
  if (dcb.StopBits == TWOSTOPBITS) tio->c_cflag |= CSTOPB;
  if (dcb.fOutxCtsFlow != 0 || dcb.fRtsControl == RTS_CONTROL_HANDSHAKE) tio->c_cflag |= CRTSCTS;
  tio->c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
  if (dcb.fOutX != 0) tio->c_iflag |= IXON;
  if (dcb.fInX != 0) tio->c_iflag |= IXOFF;
  tio->c_cc[VSTART] = static_cast<cc_t>(dcb.XonChar);
  tio->c_cc[VSTOP] = static_cast<cc_t>(dcb.XoffChar);
  // With VMIN 0 a read of an empty terminal returns 0, which could not be told
  // from a hang-up; with VMIN 1 and a non-blocking descriptor it fails with EAGAIN.
  tio->c_cc[VMIN] = 1;
  tio->c_cc[VTIME] = 0;
  cfsetispeed(tio, speed);
  cfsetospeed(tio, speed);
  return true;
}

void SetModemLine(Port* port, int line, bool raised) {
  // Pseudo-terminals have no modem lines and refuse the request; the state is kept all the same.
  int bits = line;
  (void)ioctl(port->fd, raised ? TIOCMBIS : TIOCMBIC, &bits);
}

// The device for "COMn" or "\\.\COMn": $TARVELIN_COM<n> when set, else /dev/ttyS<n-1>.
bool DevicePath(LPCSTR name, char* path, size_t size) {
  if (name == nullptr) return false;
  if (strncmp(name, "\\\\.\\", 4) == 0) name += 4;
  if (strncasecmp(name, "COM", 3) != 0) return false;
  const char* digits = name + 3;
  if (*digits < '1' || *digits > '9') return false;
  long number = 0;
  for (const char* p = digits; *p != '\0'; ++p) {
    if (*p < '0' || *p > '9' || p - digits > 6) return false;
    number = number * 10 + (*p - '0');
  }
  char variable[32];
  snprintf(variable, sizeof variable, "TARVELIN_COM%ld", number);
  const char* mapped = getenv(variable);
  const int written = mapped != nullptr && mapped[0] != '\0' ? snprintf(path, size, "%s", mapped)
                                                             : snprintf(path, size, "/dev/ttyS%ld", number - 1);
  return written > 0 && static_cast<size_t>(written) < size;
}

// Milliseconds to the deadline for poll, rounded up; -1 without one.
int PollTimeout(const timespec* deadline) {
  if (deadline == nullptr) return -1;
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  const int64_t ns =
      static_cast<int64_t>(deadline->tv_sec - now.tv_sec) * 1000000000 + (deadline->tv_nsec - now.tv_nsec);
  return ns <= 0 ? 0 : static_cast<int>((ns + 999999) / 1000000);
}

// Blocks until a selected event, a change of the mask after `generation`, a
// cancel, a hang-up or the deadline. ERROR_SUCCESS with the events in `mask`,
// the error, or kStillPending when the deadline passed.
DWORD BlockForEvent(Port* port, uint32_t generation, DWORD selected, DWORD* mask, bool cancellable,
                    const timespec* deadline) {
  *mask = 0;
  bool readable = false;  // the last poll reported bytes on the terminal
  for (;;) {
    pthread_mutex_lock(&port->lock);
    if (readable) port->mayHold = true;
    FillQueue(port);
    const bool queued = ArrivalOnly.load() ? port->received != port->arrivalMark : port->count > 0;
    const bool room = port->count < port->queueSize;
    pthread_mutex_unlock(&port->lock);
    if (queued && (selected & EV_RXCHAR) != 0) {
      *mask = EV_RXCHAR;
      return ERROR_SUCCESS;
    }
    if (port->hungUp.load()) return ERROR_ACCESS_DENIED;
    if (cancellable && port->cancelWait.load()) return ERROR_OPERATION_ABORTED;
    pollfd fds[2] = {{port->wake[0], POLLIN, 0}, {port->fd, static_cast<short>(room ? POLLIN : 0), 0}};
    const int ready = poll(fds, 2, PollTimeout(deadline));
    if (ready == 0) return kStillPending;
    if (ready < 0 && errno != EINTR) return ERROR_GEN_FAILURE;
    if ((fds[0].revents & POLLIN) != 0) {
      DrainWake(port);
      if (port->generation.load() != generation) return ERROR_SUCCESS;
    }
    if ((fds[1].revents & (POLLHUP | POLLERR | POLLNVAL)) != 0 && (fds[1].revents & POLLIN) == 0) {
      port->hungUp.store(true);
    }
    readable = (fds[1].revents & POLLIN) != 0;
  }
}

void Complete(OVERLAPPED* overlapped, DWORD status, DWORD transferred) {
  overlapped->InternalHigh = transferred;
  overlapped->Internal = status;
  if (overlapped->hEvent != nullptr) SignalEvent(overlapped->hEvent);
}

// Ends the pending wait; under the port's lock.
void FinishWait(Port* port, DWORD status, DWORD events) {
  port->waitPending = false;
  *port->waitMask = events;
  DetachDriver(port->waitEvent, port);
  Complete(port->waitOverlapped, status, 0);
}

// Carries the port's pending wait out in the thread that waits for its event.
void DriveWait(void* context, HANDLE event, const timespec* deadline) {
  auto* port = static_cast<Port*>(context);
  pthread_mutex_lock(&port->lock);
  for (;;) {
    if (!port->waitPending || port->waitEvent != event || port->closing) {
      pthread_mutex_unlock(&port->lock);
      return;
    }
    if (!port->driving) break;
    // Another thread carries it out: its end ends this wait too.
    const int rc = deadline == nullptr ? pthread_cond_wait(&port->driverLeft, &port->lock)
                                       : pthread_cond_timedwait(&port->driverLeft, &port->lock, deadline);
    if (rc == ETIMEDOUT) {
      pthread_mutex_unlock(&port->lock);
      return;
    }
  }
  port->driving = true;
  const uint32_t generation = port->waitGeneration;
  const DWORD selected = port->waitSelected;
  pthread_mutex_unlock(&port->lock);
  DWORD events = 0;
  const DWORD status = BlockForEvent(port, generation, selected, &events, true, deadline);
  pthread_mutex_lock(&port->lock);
  port->driving = false;
  if (status != kStillPending) FinishWait(port, status, events);
  pthread_cond_broadcast(&port->driverLeft);
  pthread_mutex_unlock(&port->lock);
}

void Wake(Port* port) {
  const char token = 1;
  (void)write(port->wake[1], &token, 1);  // a full pipe already wakes the wait
}

// Ends the port's pending wait and read with ERROR_OPERATION_ABORTED, as CancelIo does.
void CancelPending(Port* port) {
  pthread_mutex_lock(&port->lock);
  if (port->waitPending && port->driving) {
    port->cancelWait.store(true);
    Wake(port);
  } else if (port->waitPending) {
    FinishWait(port, ERROR_OPERATION_ABORTED, 0);
  }
  OVERLAPPED* read = port->pendingRead;
  OVERLAPPED* write = port->pendingWrite;
  port->pendingRead = nullptr;
  port->pendingWrite = nullptr;
  if (read != nullptr) Complete(read, ERROR_OPERATION_ABORTED, 0);
  if (write != nullptr) Complete(write, ERROR_OPERATION_ABORTED, 0);
  pthread_mutex_unlock(&port->lock);
}

}  // namespace

void Trace(const char* call) {
  if (!Tracing.load()) return;
  pthread_mutex_lock(&TraceLock);
  const int written =
      snprintf(TraceBuffer + TraceLength, sizeof TraceBuffer - TraceLength, "%s%s", TraceLength == 0 ? "" : " ", call);
  if (written > 0 && TraceLength + static_cast<size_t>(written) < sizeof TraceBuffer) {
    TraceLength += static_cast<size_t>(written);
  }
  pthread_mutex_unlock(&TraceLock);
}

bool ClosePort(HANDLE handle) {
  Port* port = AsPort(handle);
  Trace("CloseHandle");
  // Closing ends what is pending on the port, also what a cancel did not.
  CancelPending(port);
  pthread_mutex_lock(&port->lock);
  port->closing = true;
  while (port->driving) pthread_cond_wait(&port->driverLeft, &port->lock);
  pthread_mutex_unlock(&port->lock);
  // The exclusive flag outlives this descriptor while the other side stays open.
  (void)ioctl(port->fd, TIOCNXCL);
  close(port->fd);  // also gives up the exclusive lock
  close(port->wake[0]);
  close(port->wake[1]);
  pthread_mutex_lock(&PortsLock);
  port->header.kind = Kind::Free;
  pthread_mutex_unlock(&PortsLock);
  return true;
}

void RefuseLineSettings(bool refuse) { RefuseSettings.store(refuse); }
void RefuseCommState(bool refuse) { RefuseState.store(refuse); }
void InheritDcbFlags(bool inherit) { InheritFlags.store(inherit); }
void FailWaitsUntilCleared(bool fail) { WaitsFailUntilCleared.store(fail); }
void EndWaitsEmpty(bool empty) { WaitsEndEmpty.store(empty); }
void OverstateQueue(DWORD extra) { QueueOverstated.store(extra); }
unsigned WaitCommEventCalls() { return WaitCalls.load(); }
void FailNextWrites(int count) { FailedWrites.store(count); }
void FailCommMask(bool fail) { CommMaskFails.store(fail); }
void RxCharOnArrivalOnly(bool only) { ArrivalOnly.store(only); }
void FailIoWith(DWORD error) { IoFailure.store(error); }
void StallWrites(bool stall) { WritesStall.store(stall); }
void IgnoreCancels(bool ignore) { CancelsIgnored.store(ignore); }
void ReportOverrun() { OverrunPending.store(true); }
void RefuseQueueSizes(bool refuse) { QueueSizesRefused.store(refuse); }

void StartTrace() {
  pthread_mutex_lock(&TraceLock);
  TraceLength = 0;
  TraceBuffer[0] = '\0';
  pthread_mutex_unlock(&TraceLock);
  Tracing.store(true);
}

const char* TraceText() {
  // A snapshot: the reader may trace while the test reads.
  static char snapshot[sizeof TraceBuffer];
  pthread_mutex_lock(&TraceLock);
  memcpy(snapshot, TraceBuffer, TraceLength + 1);
  pthread_mutex_unlock(&TraceLock);
  return snapshot;
}

bool PortDtr(HANDLE handle) {
  Port* port = AsPort(handle);
  return port != nullptr && port->dtr;
}

void ResetFaults() {
  RefuseSettings.store(false);
  FailedWrites.store(0);
  CommMaskFails.store(false);
  RefuseState.store(false);
  InheritFlags.store(false);
  WaitsFailUntilCleared.store(false);
  WaitsEndEmpty.store(false);
  QueueOverstated.store(0);
  ArrivalOnly.store(false);
  IoFailure.store(0);
  WritesStall.store(false);
  CancelsIgnored.store(false);
  OverrunPending.store(false);
  QueueSizesRefused.store(false);
  DelayThreadStarts(0);
  RefuseThreadPriorities(0);
  SetClockScale(1.0);
  Tracing.store(false);
}

}  // namespace standin

using namespace standin;

HANDLE CreateFileA(LPCSTR name, DWORD, DWORD, SECURITY_ATTRIBUTES*, DWORD, DWORD, HANDLE) {
  char call[64];
  snprintf(call, sizeof call, "CreateFileA(%.40s)", name != nullptr ? name : "");
  Trace(call);
  char path[512];
  if (!DevicePath(name, path, sizeof path)) {
    NoteOpenFailure(name, ENODEV);
    SetLastError(ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  const int fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    NoteOpenFailure(path, errno);
    SetLastError(errno == EACCES || errno == EBUSY ? ERROR_ACCESS_DENIED : ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  termios tio{};
  if (!isatty(fd) || tcgetattr(fd, &tio) != 0) {
    NoteOpenFailure(path, ENOTTY);
    close(fd);
    SetLastError(ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  // A COM port is not shared. TIOCEXCL alone does not stop root, the lock does.
  if (flock(fd, LOCK_EX | LOCK_NB) != 0 || ioctl(fd, TIOCEXCL) != 0) {
    NoteOpenFailure(path, EBUSY);
    close(fd);
    SetLastError(ERROR_ACCESS_DENIED);
    return INVALID_HANDLE_VALUE;
  }
  int wake[2];
  if (pipe2(wake, O_NONBLOCK | O_CLOEXEC) != 0) {
    close(fd);
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return INVALID_HANDLE_VALUE;
  }
  pthread_once(&PortsOnce, InitPorts);
  pthread_mutex_lock(&PortsLock);
  Port* port = nullptr;
  for (Port& candidate : Ports) {
    if (candidate.header.kind == Kind::Free) {
      port = &candidate;
      break;
    }
  }
  if (port == nullptr) {
    pthread_mutex_unlock(&PortsLock);
    close(fd);
    close(wake[0]);
    close(wake[1]);
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return INVALID_HANDLE_VALUE;
  }
  port->header.kind = Kind::Port;
  pthread_mutex_unlock(&PortsLock);
  port->fd = fd;
  port->wake[0] = wake[0];
  port->wake[1] = wake[1];
  port->mask.store(0);
  port->generation.store(0);
  port->hungUp.store(false);
  pthread_mutex_lock(&port->lock);
  DcbFromTermios(tio, &port->dcb);
  port->timeouts = COMMTIMEOUTS{};
  port->dtr = false;
  port->queueSize = 4096;
  port->head = 0;
  port->count = 0;
  port->received = 0;
  port->arrivalMark = 0;
  port->mayHold = true;
  struct stat device {};
  port->pseudoTerminal = fstat(fd, &device) == 0 && major(device.st_rdev) >= kPtySlaveMajorFirst &&
                         major(device.st_rdev) <= kPtySlaveMajorLast;
  port->closing = false;
  port->waitPending = false;
  port->driving = false;
  port->cancelWait.store(false);
  port->pendingRead = nullptr;
  port->pendingWrite = nullptr;
  port->errorLatched = WaitsFailUntilCleared.load();
  if (InheritFlags.load()) {
    // What another program may leave in the driver's settings.
    port->dcb.fAbortOnError = 1;
    port->dcb.fDsrSensitivity = 1;
    port->dcb.fNull = 1;
    port->dcb.fErrorChar = 1;
  }
  pthread_mutex_unlock(&port->lock);
  return port;
}

BOOL SetupComm(HANDLE handle, DWORD inQueue, DWORD) {
  Trace("SetupComm");
  Port* port = PortOrFail(handle);
  if (port == nullptr) return FALSE;
  if (QueueSizesRefused.load()) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  pthread_mutex_lock(&port->lock);
  // Resizing keeps nothing that is queued, as the driver does. The size asked
  // for is a recommendation that drivers may exceed, as USB adapters do: this
  // one gathers up to 64 KiB, so that a burst costs few reads of the terminal.
  (void)inQueue;
  port->queueSize = kQueueMax;
  port->head = 0;
  port->count = 0;
  port->mayHold = true;
  pthread_mutex_unlock(&port->lock);
  return TRUE;
}

BOOL PurgeComm(HANDLE handle, DWORD flags) {
  Trace("PurgeComm");
  Port* port = PortOrFail(handle);
  if (port == nullptr) return FALSE;
  pthread_mutex_lock(&port->lock);
  if ((flags & PURGE_RXCLEAR) != 0) {
    tcflush(port->fd, TCIFLUSH);
    port->head = 0;
    port->count = 0;
    port->mayHold = true;
  }
  if ((flags & PURGE_TXCLEAR) != 0) tcflush(port->fd, TCOFLUSH);
  pthread_mutex_unlock(&port->lock);
  return TRUE;
}

BOOL GetCommTimeouts(HANDLE handle, COMMTIMEOUTS* timeouts) {
  Port* port = PortOrFail(handle);
  if (port == nullptr || timeouts == nullptr) return FALSE;
  pthread_mutex_lock(&port->lock);
  *timeouts = port->timeouts;
  pthread_mutex_unlock(&port->lock);
  return TRUE;
}

BOOL SetCommTimeouts(HANDLE handle, COMMTIMEOUTS* timeouts) {
  Trace("SetCommTimeouts");
  Port* port = PortOrFail(handle);
  if (port == nullptr || timeouts == nullptr) return FALSE;
  // Reads only ever take what is queued, so the record is kept for GetCommTimeouts.
  pthread_mutex_lock(&port->lock);
  port->timeouts = *timeouts;
  pthread_mutex_unlock(&port->lock);
  return TRUE;
}

BOOL GetCommState(HANDLE handle, DCB* dcb) {
  Port* port = PortOrFail(handle);
  if (port == nullptr || dcb == nullptr) return FALSE;
  if (RefuseState.load()) {
    SetLastError(ERROR_GEN_FAILURE);
    return FALSE;
  }
  pthread_mutex_lock(&port->lock);
  *dcb = port->dcb;
  pthread_mutex_unlock(&port->lock);
  return TRUE;
}

BOOL SetCommState(HANDLE handle, DCB* dcb) {
  Trace("SetCommState");
  Port* port = PortOrFail(handle);
  if (port == nullptr || dcb == nullptr) return FALSE;
  termios tio{};
  if (RefuseSettings.load() || tcgetattr(port->fd, &tio) != 0 || !TermiosFromDcb(*dcb, &tio) ||
      tcsetattr(port->fd, TCSANOW, &tio) != 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  pthread_mutex_lock(&port->lock);
  port->dcb = *dcb;
  port->dcb.DCBlength = sizeof(DCB);
  pthread_mutex_unlock(&port->lock);
  if (dcb->fDtrControl == DTR_CONTROL_ENABLE || dcb->fDtrControl == DTR_CONTROL_HANDSHAKE) {
    port->dtr = true;
    SetModemLine(port, TIOCM_DTR, true);
  }
  if (dcb->fRtsControl == RTS_CONTROL_ENABLE) SetModemLine(port, TIOCM_RTS, true);
  return TRUE;
}

BOOL SetCommMask(HANDLE handle, DWORD mask) {
  Trace("SetCommMask");
  Port* port = PortOrFail(handle);
  if (port == nullptr) return FALSE;
  if (mask != 0 && CommMaskFails.load()) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  port->mask.store(mask);
  port->generation.fetch_add(1);
  Wake(port);
  return TRUE;
}

BOOL WaitCommEvent(HANDLE handle, DWORD* mask, OVERLAPPED* overlapped) {
  Port* port = PortOrFail(handle);
  if (port == nullptr || mask == nullptr) return FALSE;
  WaitCalls.fetch_add(1);
  *mask = 0;
  // Only a change of the mask after the wait began ends it; earlier changes are history.
  const uint32_t generation = port->generation.load();
  const DWORD selected = port->mask.load();
  if (selected == 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  pthread_mutex_lock(&port->lock);
  const bool latched = port->errorLatched;
  pthread_mutex_unlock(&port->lock);
  if (latched) {
    SetLastError(ERROR_OPERATION_ABORTED);
    return FALSE;
  }
  if (IoFailure.load() != 0) {
    SetLastError(IoFailure.load());
    return FALSE;
  }
  // A driver around a surprise removal: the wait ends at once with nothing to read.
  if (WaitsEndEmpty.load()) return TRUE;
  if (overlapped == nullptr) {
    const DWORD status = BlockForEvent(port, generation, selected, mask, false, nullptr);
    if (status == ERROR_SUCCESS) return TRUE;
    SetLastError(status);
    return FALSE;
  }
  // What is already there completes the wait at once; otherwise it is pending.
  // A driver that raises EV_RXCHAR only as bytes arrive leaves what is queued unsaid.
  pthread_mutex_lock(&port->lock);
  FillQueue(port);
  port->arrivalMark = port->received;
  const bool queued = port->count > 0 && (selected & EV_RXCHAR) != 0 && !ArrivalOnly.load();
  if (queued || port->hungUp.load()) {
    pthread_mutex_unlock(&port->lock);
    if (!queued) {
      SetLastError(ERROR_ACCESS_DENIED);
      return FALSE;
    }
    *mask = EV_RXCHAR;
    overlapped->Internal = 0;
    overlapped->InternalHigh = 0;
    if (overlapped->hEvent != nullptr) SignalEvent(overlapped->hEvent);
    return TRUE;
  }
  if (port->waitPending || overlapped->hEvent == nullptr) {
    pthread_mutex_unlock(&port->lock);
    // One wait at a time, as the driver allows; and it completes through its event only.
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  overlapped->Internal = STATUS_PENDING;
  overlapped->InternalHigh = 0;
  port->cancelWait.store(false);
  port->waitMask = mask;
  port->waitOverlapped = overlapped;
  port->waitEvent = overlapped->hEvent;
  port->waitGeneration = generation;
  port->waitSelected = selected;
  port->waitPending = true;
  AttachDriver(overlapped->hEvent, DriveWait, port);
  pthread_mutex_unlock(&port->lock);
  SetLastError(ERROR_IO_PENDING);
  return FALSE;
}

BOOL ClearCommError(HANDLE handle, DWORD* errors, COMSTAT* status) {
  Port* port = PortOrFail(handle);
  if (port == nullptr) return FALSE;
  pthread_mutex_lock(&port->lock);
  FillQueue(port);
  if (errors != nullptr) {
    *errors = port->errorLatched ? CE_FRAME : 0;
    // Reported once, with the next bytes there are, as a UART reports what it lost.
    if (port->count > 0 && OverrunPending.exchange(false)) *errors |= CE_OVERRUN;
  }
  port->errorLatched = false;
  if (status != nullptr) {
    int pending = 0;
    if (!port->pseudoTerminal && ioctl(port->fd, TIOCOUTQ, &pending) != 0) pending = 0;
    *status = COMSTAT{0, port->count + QueueOverstated.load(), static_cast<DWORD>(pending)};
  }
  pthread_mutex_unlock(&port->lock);
  return TRUE;
}

BOOL EscapeCommFunction(HANDLE handle, DWORD function) {
  Trace(function == CLRDTR ? "EscapeCommFunction(CLRDTR)" : "EscapeCommFunction(SETDTR)");
  Port* port = PortOrFail(handle);
  if (port == nullptr) return FALSE;
  if (function != SETDTR && function != CLRDTR) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  port->dtr = function == SETDTR;
  SetModemLine(port, TIOCM_DTR, port->dtr);
  return TRUE;
}

BOOL ReadFile(HANDLE handle, void* buffer, DWORD length, DWORD* read, OVERLAPPED* overlapped) {
  Port* port = PortOrFail(handle);
  if (port == nullptr || buffer == nullptr) return FALSE;
  if (IoFailure.load() != 0) {
    SetLastError(IoFailure.load());
    return FALSE;
  }
  // Reads take only what is queued, which is what a read time-out of 1 ms gives.
  pthread_mutex_lock(&port->lock);
  FillQueue(port);
  if (port->count == 0 && overlapped != nullptr && QueueOverstated.load() != 0 && length > 0) {
    // The driver said it held bytes it does not: the read waits for bytes that do not come.
    overlapped->Internal = STATUS_PENDING;
    overlapped->InternalHigh = 0;
    port->pendingRead = overlapped;
    pthread_mutex_unlock(&port->lock);
    SetLastError(ERROR_IO_PENDING);
    return FALSE;
  }
  const DWORD take = length < port->count ? length : port->count;
  auto* out = static_cast<char*>(buffer);
  for (DWORD done = 0; done < take;) {
    DWORD piece = port->queueSize - port->head;
    if (piece > take - done) piece = take - done;
    memcpy(out + done, port->queue + port->head, piece);
    port->head = (port->head + piece) % port->queueSize;
    done += piece;
  }
  port->count -= take;
  pthread_mutex_unlock(&port->lock);
  if (read != nullptr) *read = take;
  if (overlapped != nullptr) {
    overlapped->Internal = 0;
    overlapped->InternalHigh = take;
    if (overlapped->hEvent != nullptr) SignalEvent(overlapped->hEvent);
  }
  return TRUE;
}

BOOL WriteFile(HANDLE handle, const void* buffer, DWORD length, DWORD* written, OVERLAPPED* overlapped) {
  Port* port = PortOrFail(handle);
  if (port == nullptr || buffer == nullptr) return FALSE;
  int refused = FailedWrites.load();
  while (refused > 0 && !FailedWrites.compare_exchange_weak(refused, refused - 1)) {
  }
  if (refused > 0 || IoFailure.load() != 0) {
    SetLastError(refused > 0 ? ERROR_WRITE_FAULT : IoFailure.load());
    return FALSE;
  }
  if (WritesStall.load() && overlapped != nullptr) {
    // An adapter that stopped taking data: the write stays pending until it is cancelled.
    pthread_mutex_lock(&port->lock);
    overlapped->Internal = STATUS_PENDING;
    overlapped->InternalHigh = 0;
    port->pendingWrite = overlapped;
    pthread_mutex_unlock(&port->lock);
    SetLastError(ERROR_IO_PENDING);
    return FALSE;
  }
  const auto* data = static_cast<const char*>(buffer);
  DWORD done = 0;
  while (done < length) {
    const ssize_t put = write(port->fd, data + done, length - done);
    if (put > 0) {
      done += static_cast<DWORD>(put);
      continue;
    }
    if (put < 0 && errno == EINTR) continue;
    if (put < 0 && errno != EAGAIN) {
      SetLastError(ERROR_GEN_FAILURE);
      return FALSE;
    }
    pollfd out{port->fd, POLLOUT, 0};
    if (poll(&out, 1, kWriteStallMs) <= 0 || (out.revents & (POLLERR | POLLHUP | POLLNVAL)) != 0) break;
  }
  if (written != nullptr) *written = done;
  if (overlapped != nullptr) {
    overlapped->Internal = 0;
    overlapped->InternalHigh = done;
    if (overlapped->hEvent != nullptr) SignalEvent(overlapped->hEvent);
  }
  // A write that stalled ends the way an overlapped one does: pending, then short.
  if (done < length && overlapped != nullptr) {
    SetLastError(ERROR_IO_PENDING);
    return FALSE;
  }
  return TRUE;
}

BOOL CancelIo(HANDLE handle) {
  Port* port = PortOrFail(handle);
  if (port == nullptr) return FALSE;
  if (!CancelsIgnored.load()) CancelPending(port);
  return TRUE;
}

BOOL CancelIoEx(HANDLE handle, OVERLAPPED*) {
  Trace("CancelIoEx");
  Port* port = PortOrFail(handle);
  if (port == nullptr) return FALSE;
  if (!CancelsIgnored.load()) CancelPending(port);
  return TRUE;
}

BOOL GetOverlappedResult(HANDLE handle, OVERLAPPED* overlapped, DWORD* transferred, BOOL wait) {
  if (PortOrFail(handle) == nullptr || overlapped == nullptr) return FALSE;
  if (overlapped->Internal == STATUS_PENDING) {
    if (!wait || overlapped->hEvent == nullptr) {
      SetLastError(ERROR_IO_INCOMPLETE);
      return FALSE;
    }
    WaitEvent(overlapped->hEvent, INFINITE);
  }
  if (transferred != nullptr) *transferred = static_cast<DWORD>(overlapped->InternalHigh);
  if (overlapped->Internal != 0) {
    SetLastError(static_cast<DWORD>(overlapped->Internal));
    return FALSE;
  }
  return TRUE;
}
