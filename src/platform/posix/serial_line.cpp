// The serial line over a terminal device: termios for its settings, poll for
// waits, an eventfd for each waiter's wake (the reader's and a lead's), flock
// and TIOCEXCL to keep it to one user.
#include "platform/serial_line.h"

#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

namespace tarvelin {

struct SerialLine::State {
  // Atomic because Close may come while a woken waiter has not yet left.
  std::atomic<int> fd{-1};
  // Kept from the first open to the end of the object, not closed with the
  // device: a Wake racing a Close then never writes to a number reused meanwhile.
  std::atomic<int> wakeFd{-1};
  std::atomic<int> leadWakeFd{-1};
  char device[256] = "";  // the device last tried, for the open failure's text
  int openError = 0;      // why that open failed; 0 when it did not
  std::atomic<int> lastError{0};
  bool countsKnown = false;  // the driver keeps overrun counts (a pseudo-terminal does not)
  uint64_t overruns = 0;     // as counted at the last read
};

namespace {

constexpr int kSliceMs = 50;  // the longest a blocked write goes without looking at its cut flag

uint64_t MonotonicUs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000000u + static_cast<uint64_t>(ts.tv_nsec) / 1000u;
}

// Milliseconds for poll until `deadline` (microseconds), rounded up so that a
// wait never ends before its time, and at most `limit`.
int PollMs(uint64_t deadline, int limit) {
  const uint64_t now = MonotonicUs();
  if (now >= deadline) return 0;
  const uint64_t left = (deadline - now + 999) / 1000;
  return left < static_cast<uint64_t>(limit) ? static_cast<int>(left) : limit;
}

speed_t SpeedFor(uint32_t rate, bool* known) {
  struct Pair {
    uint32_t rate;
    speed_t speed;
  };
  static constexpr Pair kRates[] = {
      {50, B50},           {75, B75},           {110, B110},         {134, B134},         {150, B150},
      {200, B200},         {300, B300},         {600, B600},         {1200, B1200},       {1800, B1800},
      {2400, B2400},       {4800, B4800},       {9600, B9600},       {19200, B19200},     {38400, B38400},
      {57600, B57600},     {115200, B115200},
#ifdef B230400
      {230400, B230400},
#endif
#ifdef B460800
      {460800, B460800},   {500000, B500000},   {576000, B576000},   {921600, B921600},
#endif
#ifdef B1000000
      {1000000, B1000000}, {1152000, B1152000}, {1500000, B1500000}, {2000000, B2000000}, {2500000, B2500000},
      {3000000, B3000000}, {3500000, B3500000}, {4000000, B4000000},
#endif
  };
  for (const Pair& pair : kRates) {
    if (pair.rate == rate) {
      *known = true;
      return pair.speed;
    }
  }
  *known = false;
  return B0;
}

// Overruns the driver counted so far; false where it keeps no counts.
bool CountOverruns(int fd, uint64_t* overruns) {
  serial_icounter_struct counts{};
  if (ioctl(fd, TIOCGICOUNT, &counts) != 0) return false;
  *overruns = static_cast<uint64_t>(static_cast<uint32_t>(counts.overrun)) +
              static_cast<uint64_t>(static_cast<uint32_t>(counts.buf_overrun));
  return true;
}

int DeviceOf(const SerialLine::State* state) {
  return state != nullptr ? state->fd.load(std::memory_order_acquire) : -1;
}

// Pseudo-terminals have no modem lines and refuse the request; that is no reason to fail.
bool ModemLineRefusedHarmlessly(int error) { return error == ENOTTY || error == EINVAL; }

}  // namespace

SerialLine::SerialLine() : state_(new (std::nothrow) State) {}

SerialLine::~SerialLine() {
  Close();
  if (state_ != nullptr) {
    for (const int fd : {state_->wakeFd.load(), state_->leadWakeFd.load()}) {
      if (fd >= 0) close(fd);
    }
  }
  delete state_;
}

bool SerialLine::IsOpen() const { return DeviceOf(state_) >= 0; }

LineResult SerialLine::OpenPort(int32_t portNumber) {
  if (state_ == nullptr) return LineResult::Failed;
  if (portNumber < 1) {
    snprintf(state_->device, sizeof state_->device, "COM%d", static_cast<int>(portNumber));
    state_->openError = ENODEV;
    state_->lastError.store(ENODEV, std::memory_order_relaxed);
    return LineResult::Failed;
  }
  char variable[32];
  snprintf(variable, sizeof variable, "TARVELIN_COM%d", static_cast<int>(portNumber));
  const char* mapped = getenv(variable);
  if (mapped != nullptr && mapped[0] != '\0') return OpenDevice(mapped);
  char path[32];
  snprintf(path, sizeof path, "/dev/ttyS%d", static_cast<int>(portNumber - 1));
  return OpenDevice(path);
}

LineResult SerialLine::OpenDevice(const char* path) {
  if (state_ == nullptr) return LineResult::Failed;
  State& s = *state_;
  snprintf(s.device, sizeof s.device, "%s", path != nullptr ? path : "(no device named)");
  int error = 0;
  if (path == nullptr) {
    error = EINVAL;
  } else if (IsOpen()) {
    error = EBUSY;  // this line holds a device already
  } else {
    const int fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    termios settings{};
    if (fd < 0) {
      error = errno;
    } else if (tcgetattr(fd, &settings) != 0) {
      error = ENOTTY;
    } else if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
      // Also refuses a second open in this process: the lock belongs to the open file, not the process.
      error = errno;
    } else {
      // Keeps out later opens by programs that do not lock (not root, which the lock stops).
      (void)ioctl(fd, TIOCEXCL);
      int wakeFd = s.wakeFd.load(std::memory_order_acquire);
      uint64_t stale = 0;
      if (wakeFd >= 0) {
        // Wakes meant for the last open.
        (void)!read(wakeFd, &stale, sizeof stale);
        (void)!read(s.leadWakeFd.load(std::memory_order_acquire), &stale, sizeof stale);
      } else {
        wakeFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
        const int leadWakeFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
        if (wakeFd >= 0 && leadWakeFd < 0) {
          close(wakeFd);
          wakeFd = -1;
        }
        s.leadWakeFd.store(leadWakeFd, std::memory_order_release);
        s.wakeFd.store(wakeFd, std::memory_order_release);
      }
      if (wakeFd < 0) {
        error = errno;
      } else {
        s.fd.store(fd, std::memory_order_release);
        s.countsKnown = CountOverruns(fd, &s.overruns);
        s.openError = 0;
        return LineResult::Done;
      }
    }
    if (fd >= 0) close(fd);
  }
  s.openError = error;
  s.lastError.store(error, std::memory_order_relaxed);
  return LineResult::Failed;
}

void SerialLine::DescribeOpenFailure(char* text, size_t size) const {
  if (text == nullptr || size == 0) return;
  const int error = state_ != nullptr ? state_->openError : ENOMEM;
  const char* reason = error == EBUSY || error == EWOULDBLOCK ? "in use by another program"
                       : error == ENOTTY                      ? "not a serial device"
                       : error != 0                           ? strerror(error)
                                                              : "no failure";
  snprintf(text, size, "%s: %s", state_ != nullptr ? state_->device : "", reason);
}

LineResult SerialLine::Configure(const LineSettings& settings) {
  const int fd = DeviceOf(state_);
  if (fd < 0) return LineResult::Failed;
  State& s = *state_;
  bool known = false;
  const speed_t speed = SpeedFor(settings.baudRate, &known);
  static constexpr tcflag_t kSizes[] = {CS5, CS6, CS7, CS8};
  if (!known || settings.byteSize < 5 || settings.byteSize > 8 || settings.parity > LineParity::Even ||
      settings.stopBits > LineStopBits::Two) {
    s.lastError.store(EINVAL, std::memory_order_relaxed);
    return LineResult::Failed;
  }
  termios t{};
  if (tcgetattr(fd, &t) != 0) {
    s.lastError.store(errno, std::memory_order_relaxed);
    return LineResult::Failed;
  }
  cfmakeraw(&t);
  t.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS);
  t.c_cflag |= CLOCAL | CREAD | kSizes[settings.byteSize - 5];
  if (settings.parity != LineParity::None) t.c_cflag |= PARENB;
  if (settings.parity == LineParity::Odd) t.c_cflag |= PARODD;
  // The terminal has no one and a half stop bits; two is the nearer that still frames every byte.
  if (settings.stopBits != LineStopBits::One) t.c_cflag |= CSTOPB;
  if (settings.ctsFlow) t.c_cflag |= CRTSCTS;
  // The DSR handshake has no termios counterpart; the board does not drive DSR anyway.
  t.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
  if (settings.xonXoff) t.c_iflag |= IXON | IXOFF;
  // With VMIN 1 an empty non-blocking read fails with EAGAIN, so that a 0 means a hang-up.
  t.c_cc[VMIN] = 1;
  t.c_cc[VTIME] = 0;
  cfsetispeed(&t, speed);
  cfsetospeed(&t, speed);
  if (tcsetattr(fd, TCSANOW, &t) != 0) {
    s.lastError.store(errno, std::memory_order_relaxed);
    return LineResult::Failed;
  }
  return SetDtr(true);
}

LineResult SerialLine::SetRate(uint32_t baudRate) {
  const int fd = DeviceOf(state_);
  if (fd < 0) return LineResult::Failed;
  bool known = false;
  const speed_t speed = SpeedFor(baudRate, &known);
  termios t{};
  int error = EINVAL;
  if (known && tcgetattr(fd, &t) == 0) {
    cfsetispeed(&t, speed);
    cfsetospeed(&t, speed);
    if (tcsetattr(fd, TCSANOW, &t) == 0) return LineResult::Done;
    error = errno;
  } else if (known) {
    error = errno;
  }
  state_->lastError.store(error, std::memory_order_relaxed);
  return LineResult::Failed;
}

LineResult SerialLine::SetDtr(bool raised) {
  const int fd = DeviceOf(state_);
  if (fd < 0) return LineResult::Failed;
  int bits = TIOCM_DTR;
  if (ioctl(fd, raised ? TIOCMBIS : TIOCMBIC, &bits) != 0 && !ModemLineRefusedHarmlessly(errno)) {
    state_->lastError.store(errno, std::memory_order_relaxed);
    return LineResult::Failed;
  }
  return LineResult::Done;
}

LineResult SerialLine::Write(const char* data, size_t length, uint32_t timeoutMs, const std::atomic<int32_t>* cut) {
  const int fd = DeviceOf(state_);
  if (fd < 0 || (data == nullptr && length != 0)) {
    if (state_ != nullptr) state_->lastError.store(fd >= 0 ? EINVAL : EBADF, std::memory_order_relaxed);
    return LineResult::Failed;
  }
  State& s = *state_;
  const uint64_t deadline = MonotonicUs() + uint64_t{timeoutMs} * 1000u;
  size_t done = 0;
  while (done < length) {
    const ssize_t written = write(fd, data + done, length - done);
    if (written > 0) {
      done += static_cast<size_t>(written);
      continue;
    }
    const int error = written == 0 ? EAGAIN : errno;
    if (error == EINTR) continue;
    if (error == EIO || error == ENXIO || error == EPIPE) {
      s.lastError.store(error, std::memory_order_relaxed);
      return LineResult::Gone;
    }
    if (error != EAGAIN && error != EWOULDBLOCK) {
      s.lastError.store(error, std::memory_order_relaxed);
      return LineResult::Failed;
    }
    // The driver's queue is full: wait for room in slices, looking at the cut flag and the deadline.
    for (;;) {
      if (cut != nullptr && cut->load(std::memory_order_acquire) != 0) return LineResult::Cut;
      const int sliceMs = PollMs(deadline, kSliceMs);
      if (sliceMs == 0) return LineResult::TimedOut;
      pollfd p{fd, POLLOUT, 0};
      const int ready = poll(&p, 1, sliceMs);
      if (ready < 0 && errno != EINTR) {
        s.lastError.store(errno, std::memory_order_relaxed);
        return LineResult::Failed;
      }
      if (ready <= 0) continue;
      if ((p.revents & POLLHUP) != 0) {
        s.lastError.store(EIO, std::memory_order_relaxed);
        return LineResult::Gone;
      }
      if ((p.revents & POLLOUT) == 0) {  // an error without room: waiting on would spin
        s.lastError.store((p.revents & POLLNVAL) != 0 ? EBADF : EIO, std::memory_order_relaxed);
        return LineResult::Failed;
      }
      break;
    }
  }
  return LineResult::Done;
}

namespace {

// Waits on the device and a wake; Woken when the wake came first.
LineResult WaitOn(SerialLine::State& s, int fd, int wakeFd, uint32_t timeoutMs) {
  const uint64_t deadline = MonotonicUs() + uint64_t{timeoutMs} * 1000u;
  for (;;) {
    pollfd p[2] = {{fd, POLLIN, 0}, {wakeFd, POLLIN, 0}};
    const int ready = poll(p, 2, PollMs(deadline, INT32_MAX));
    if (ready < 0) {
      if (errno == EINTR) continue;
      s.lastError.store(errno, std::memory_order_relaxed);
      return LineResult::Failed;
    }
    if (ready == 0) {
      if (PollMs(deadline, 1) == 0) return LineResult::TimedOut;
      continue;  // the clock had not quite reached the deadline
    }
    if ((p[1].revents & POLLIN) != 0) {
      uint64_t wakes = 0;
      (void)!read(wakeFd, &wakes, sizeof wakes);
      return LineResult::Woken;
    }
    if (((p[0].revents | p[1].revents) & POLLNVAL) != 0) {  // closed under the waiter
      s.lastError.store(EBADF, std::memory_order_relaxed);
      return LineResult::Failed;
    }
    if ((p[0].revents & (POLLHUP | POLLERR)) != 0) {
      // A terminal that hung up still reports input, but none can be read;
      // what is queued on a live one is counted.
      int queued = 0;
      if ((p[0].revents & POLLIN) != 0 && ioctl(fd, FIONREAD, &queued) == 0 && queued > 0) return LineResult::Done;
      s.lastError.store(EIO, std::memory_order_relaxed);
      return LineResult::Gone;
    }
    if ((p[0].revents & POLLIN) != 0) return LineResult::Done;
  }
}

}  // namespace

LineResult SerialLine::WaitReadable(uint32_t timeoutMs) {
  const int fd = DeviceOf(state_);
  if (fd < 0) return LineResult::Failed;
  return WaitOn(*state_, fd, state_->wakeFd.load(std::memory_order_acquire), timeoutMs);
}

LineResult SerialLine::LeadWaitReadable(uint32_t timeoutMs) {
  const int fd = DeviceOf(state_);
  if (fd < 0) return LineResult::Failed;
  return WaitOn(*state_, fd, state_->leadWakeFd.load(std::memory_order_acquire), timeoutMs);
}

void SerialLine::WakeLead() {
  const int wakeFd = state_ != nullptr ? state_->leadWakeFd.load(std::memory_order_acquire) : -1;
  if (wakeFd < 0) return;
  const uint64_t one = 1;
  (void)!write(wakeFd, &one, sizeof one);
}

LineRead SerialLine::Read(char* buffer, size_t capacity) {
  LineRead outcome;
  const int fd = DeviceOf(state_);
  if (fd < 0 || (buffer == nullptr && capacity != 0)) {
    if (state_ != nullptr) state_->lastError.store(fd >= 0 ? EINVAL : EBADF, std::memory_order_relaxed);
    outcome.result = LineResult::Failed;
    return outcome;
  }
  if (capacity == 0) return outcome;
  State& s = *state_;
  ssize_t got = 0;
  do {
    got = read(fd, buffer, capacity);
  } while (got < 0 && errno == EINTR);
  if (got > 0) {
    outcome.bytes = static_cast<size_t>(got);
    uint64_t overruns = 0;
    if (s.countsKnown && CountOverruns(fd, &overruns) && overruns != s.overruns) {
      outcome.inputLost = true;
      s.overruns = overruns;
    }
  } else if (got == 0) {
    // In raw mode with VMIN 1 an empty terminal says EAGAIN; a 0 is a hang-up.
    s.lastError.store(EIO, std::memory_order_relaxed);
    outcome.result = LineResult::Gone;
  } else if (const int error = errno; error != EAGAIN && error != EWOULDBLOCK) {  // EAGAIN: nothing there
    s.lastError.store(error, std::memory_order_relaxed);
    outcome.result = error == EIO || error == ENXIO ? LineResult::Gone : LineResult::Failed;
  }
  return outcome;
}

void SerialLine::Wake() {
  // Only a load and a write: safe from a signal handler.
  const int wakeFd = state_ != nullptr ? state_->wakeFd.load(std::memory_order_acquire) : -1;
  if (wakeFd < 0) return;
  const uint64_t one = 1;
  (void)!write(wakeFd, &one, sizeof one);
}

void SerialLine::Discard() {
  const int fd = DeviceOf(state_);
  if (fd >= 0) (void)tcflush(fd, TCIOFLUSH);
}

void SerialLine::Close() {
  if (state_ == nullptr) return;
  State& s = *state_;
  const int fd = s.fd.exchange(-1, std::memory_order_acq_rel);
  if (fd >= 0) {
    // A pseudo-terminal outlives its last open while the other side holds it: let the next open in.
    (void)ioctl(fd, TIOCNXCL);
    (void)flock(fd, LOCK_UN);
    close(fd);
  }
  s.countsKnown = false;
  s.overruns = 0;
}

uint32_t SerialLine::SystemError() const {
  return state_ != nullptr ? static_cast<uint32_t>(state_->lastError.load(std::memory_order_relaxed))
                           : static_cast<uint32_t>(ENOMEM);
}

// A waiter left behind holds nothing of the line's but its descriptors, which
// the line keeps for its whole life.
void SerialLine::Abandon() {}

void SerialLine::ReleaseKept() {}

}  // namespace tarvelin
