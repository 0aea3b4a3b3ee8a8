// The virtual board: one service thread reads the host's bytes from the master
// side of a pseudo-terminal, cuts them into command lines, and queues the answers,
// which it writes when they are due. A pseudo-terminal has no line rate of its
// own; the rate the host programmed is read back from the terminal settings.
#include "virtual_board.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <system_error>

namespace tarvelin::board {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr size_t kReadSize = 4096;
constexpr size_t kMaxLineLength = 255;       // the board's line buffer; longer lines are refused
constexpr size_t kRecordLimit = 4u << 20;    // the record keeps the newest bytes beyond this
constexpr int kMaxDelayMs = 3600 * 1000;     // keeps time arithmetic far from overflow
constexpr milliseconds kWriteStall{2000};    // output nobody takes this long is lost

// ---- Line rates -------------------------------------------------------------

struct LineRate {
  speed_t speed;
  unsigned baud;
};
constexpr LineRate kLineRates[] = {
    {B50, 50},       {B75, 75},       {B110, 110},       {B134, 134},       {B150, 150},
    {B200, 200},     {B300, 300},     {B600, 600},       {B1200, 1200},     {B1800, 1800},
    {B2400, 2400},   {B4800, 4800},   {B9600, 9600},     {B19200, 19200},   {B38400, 38400},
    {B57600, 57600}, {B115200, 115200}, {B230400, 230400},
};

std::string SystemError(const char* what) {
  return std::string(what) + ": " + std::strerror(errno);
}

void CloseFd(int& fd) {
  if (fd >= 0) close(fd);
  fd = -1;
}

// ---- The model --------------------------------------------------------------
//
// A command family is a prefix and a handler that gets the rest of the (upper-cased)
// line and the board state. Answers carrying a value put two characters in front of
// it; those are never 'H', 'L' or 'P' (ignored or taken as events by the host), '?'
// or '>'.

constexpr char kPortLetters[] = "ABCDS";
constexpr unsigned kBoardRates[] = {300, 1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200};

struct ModelState {
  int (&ports)[5];
  unsigned& baudAfter;  // a rate to move to once the answer is out
};

std::string Prompt() { return "\r\n>"; }

std::string DeviceError(char digit) { return std::string("\r\n?") + digit + "\r\n>"; }

std::string ValueAnswer(char first, char second, long long value) {
  return std::string("\r\n") + first + second + std::to_string(value) + "\r\n>";
}

int PortIndex(char letter) {
  const char upper = static_cast<char>(std::toupper(static_cast<unsigned char>(letter)));
  if (upper == '\0') return -1;
  const char* found = std::strchr(kPortLetters, upper);
  return found != nullptr ? static_cast<int>(found - kPortLetters) : -1;
}

int DigitValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// Signed decimal, or hexadecimal after '$' ("PWD$80"); nothing beyond 32 bits.
std::optional<long long> ParseNumber(std::string_view text) {
  size_t at = 0;
  const bool negative = !text.empty() && text[0] == '-';
  if (negative) ++at;
  int base = 10;
  if (at < text.size() && text[at] == '$') {
    base = 16;
    ++at;
  }
  if (at == text.size()) return std::nullopt;
  long long value = 0;
  for (; at < text.size(); ++at) {
    const int digit = DigitValue(text[at]);
    if (digit < 0 || digit >= base) return std::nullopt;
    value = value * base + digit;
    if (value > INT32_MAX) return std::nullopt;
  }
  return negative ? -value : value;
}

// "PR<port>": the port's register.
std::string ReadPort(ModelState& state, std::string_view args) {
  if (args.empty()) return DeviceError('1');
  const int index = PortIndex(args[0]);
  if (index < 0) return DeviceError('4');
  if (args.size() != 1) return DeviceError('1');
  return ValueAnswer(args[0], '=', state.ports[index]);
}

// "PW<port><value>": stores a byte in the port's register.
std::string WritePort(ModelState& state, std::string_view args) {
  if (args.empty()) return DeviceError('1');
  const int index = PortIndex(args[0]);
  if (index < 0) return DeviceError('4');
  const auto value = ParseNumber(args.substr(1));
  if (!value || *value < 0 || *value > 255) return DeviceError('5');
  state.ports[index] = static_cast<int>(*value);
  return Prompt();
}

// "B<rate>": the acknowledgement still goes out at the old rate.
std::string ChangeRate(ModelState& state, std::string_view args) {
  const auto value = ParseNumber(args);
  if (!value || std::find(std::begin(kBoardRates), std::end(kBoardRates), *value) == std::end(kBoardRates)) {
    return DeviceError('9');
  }
  state.baudAfter = static_cast<unsigned>(*value);
  return Prompt();
}

using FamilyHandler = std::string (*)(ModelState&, std::string_view);
struct Family {
  std::string_view prefix;
  FamilyHandler handler;
};
// Searched in order: a longer prefix goes before a shorter one it starts with.
constexpr Family kFamilies[] = {
    {"PR", ReadPort},
    {"PW", WritePort},
    {"B", ChangeRate},
};

}  // namespace

// ---- Lifecycle ----------------------------------------------------------------

VirtualBoard::VirtualBoard() = default;

VirtualBoard::~VirtualBoard() { Stop(); }

bool VirtualBoard::Start() {
  if (thread_.joinable()) {
    error_ = "the board is already serving";
    return false;
  }
  error_.clear();
  auto fail = [this](const std::string& reason) {
    error_ = reason;
    CloseFd(slave_keep_fd_);
    CloseFd(master_fd_);
    CloseFd(wake_fd_[0]);
    CloseFd(wake_fd_[1]);
    slave_path_.clear();
    return false;
  };

  master_fd_ = posix_openpt(O_RDWR | O_NOCTTY);
  if (master_fd_ < 0) return fail(SystemError("posix_openpt"));
  if (grantpt(master_fd_) != 0) return fail(SystemError("grantpt"));
  if (unlockpt(master_fd_) != 0) return fail(SystemError("unlockpt"));
  char name[128];
  if (ptsname_r(master_fd_, name, sizeof name) != 0) return fail(SystemError("ptsname_r"));
  slave_path_ = name;
  if (fcntl(master_fd_, F_SETFL, O_NONBLOCK) != 0 || fcntl(master_fd_, F_SETFD, FD_CLOEXEC) != 0) {
    return fail(SystemError("fcntl"));
  }

  // Terminal settings made through the master land on the slave side, which is
  // where the host reads them; start raw at the board's rate.
  termios settings{};
  if (tcgetattr(master_fd_, &settings) != 0) return fail(SystemError("tcgetattr"));
  cfmakeraw(&settings);
  settings.c_cflag |= CLOCAL | CREAD;
  cfsetispeed(&settings, B9600);
  cfsetospeed(&settings, B9600);
  if (tcsetattr(master_fd_, TCSANOW, &settings) != 0) return fail(SystemError("tcsetattr"));

  // With no slave descriptor open the master polls as hung up and reads EIO.
  slave_keep_fd_ = open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (slave_keep_fd_ < 0) return fail(SystemError(name));
  if (pipe2(wake_fd_, O_NONBLOCK | O_CLOEXEC) != 0) return fail(SystemError("pipe2"));

  {
    std::lock_guard<std::mutex> lock(mutex_);
    pending_line_.clear();
    line_garbled_ = false;
    line_overlong_ = false;
    outgoing_.clear();
    baud_after_answer_ = 0;
    board_baud_ = 9600;  // the new line starts at the board's power-on rate
    hang_up_requested_ = false;
    serving_ = true;
  }
  running_ = true;
  try {
    thread_ = std::thread(&VirtualBoard::Serve, this);
  } catch (const std::system_error& e) {
    running_ = false;
    std::lock_guard<std::mutex> lock(mutex_);
    serving_ = false;
    return fail(std::string("service thread: ") + e.what());
  }
  return true;
}

void VirtualBoard::Stop() {
  if (thread_.joinable()) {
    running_ = false;
    // A responder that stops the board cannot wait for its own thread; the
    // thread ends after this line, and a later Stop or the destructor joins it.
    if (std::this_thread::get_id() == thread_.get_id()) return;
    Wake();
    thread_.join();
  }
  std::lock_guard<std::mutex> lock(mutex_);
  CloseLine();
  CloseFd(wake_fd_[0]);
  CloseFd(wake_fd_[1]);
}

void VirtualBoard::HangUp() {
  std::unique_lock<std::mutex> lock(mutex_);
  if (!serving_) {
    CloseLine();
    return;
  }
  // Only the service thread closes the master: another thread could otherwise
  // reuse the descriptor number while the service thread still polls it.
  hang_up_requested_ = true;
  Wake();
  changed_.wait(lock, [this] { return !hang_up_requested_; });
}

void VirtualBoard::CloseLine() {
  CloseFd(slave_keep_fd_);
  CloseFd(master_fd_);
  outgoing_.clear();
}

void VirtualBoard::Wake() {
  if (wake_fd_[1] < 0) return;
  const char byte = 1;
  // A full pipe already holds a wake-up.
  while (write(wake_fd_[1], &byte, 1) < 0 && errno == EINTR) {
  }
}

// ---- The service thread ---------------------------------------------------------

void VirtualBoard::Serve() {
  char buffer[kReadSize];
  bool masterReadable = true;
  while (true) {
    int timeoutMs = -1;
    int master = -1;
    bool blocked = false;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (!running_) break;
      if (hang_up_requested_) {
        CloseLine();
        hang_up_requested_ = false;
        changed_.notify_all();
      }
      const auto now = Clock::now();
      blocked = SendDue(now);
      timeoutMs = PollTimeoutMs(now, blocked);
      master = master_fd_;
    }

    pollfd fds[2] = {{wake_fd_[0], POLLIN, 0}, {master, 0, 0}};
    nfds_t count = 1;
    if (master >= 0 && (masterReadable || blocked)) {
      fds[1].events = static_cast<short>((masterReadable ? POLLIN : 0) | (blocked ? POLLOUT : 0));
      count = 2;
    }
    const int ready = poll(fds, count, timeoutMs);
    if (ready < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if ((fds[0].revents & POLLIN) != 0) {
      char drain[64];
      while (read(wake_fd_[0], drain, sizeof drain) > 0) {
      }
    }
    if (count == 2 && masterReadable && (fds[1].revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
      const ssize_t got = read(master, buffer, sizeof buffer);
      if (got > 0) {
        HandleBytes(buffer, static_cast<size_t>(got), LineBaud());
      } else if (got == 0 || (errno != EAGAIN && errno != EINTR)) {
        // No slave side is left (EIO): stop reading rather than spin on the hang-up.
        masterReadable = false;
      }
    }
  }

  std::lock_guard<std::mutex> lock(mutex_);
  serving_ = false;
  if (hang_up_requested_) {
    CloseLine();
    hang_up_requested_ = false;
  }
  changed_.notify_all();
}

unsigned VirtualBoard::LineBaud() const {
  termios settings{};
  if (master_fd_ < 0 || tcgetattr(master_fd_, &settings) != 0) return 0;
  const speed_t speed = cfgetospeed(&settings);
  for (const LineRate& rate : kLineRates) {
    if (rate.speed == speed) return rate.baud;
  }
  return 0;
}

void VirtualBoard::HandleBytes(const char* data, size_t size, unsigned lineBaud) {
  std::vector<std::pair<std::string, bool>> lines;  // text, overlong
  {
    std::lock_guard<std::mutex> lock(mutex_);
    received_.append(data, size);
    bytes_since_clear_ += size;
    if (!segments_.empty() && segments_.back().baud == lineBaud) {
      segments_.back().bytes.append(data, size);
    } else {
      segments_.push_back(Segment{lineBaud, std::string(data, size)});
    }
    // The board hears bytes sent at another rate as noise.
    const bool offRate = lineBaud != board_baud_;
    for (size_t i = 0; i < size; ++i) {
      const char c = data[i];
      line_garbled_ = line_garbled_ || offRate;
      if (c == '\r') {
        ++lines_since_clear_;
        if (!line_garbled_) lines.emplace_back(pending_line_, line_overlong_);
        pending_line_.clear();
        line_garbled_ = false;
        line_overlong_ = false;
      } else if (c != '\n') {
        if (pending_line_.size() < kMaxLineLength) {
          pending_line_.push_back(c);
        } else {
          line_overlong_ = true;
        }
      }
    }
    TrimRecord();
  }
  changed_.notify_all();
  for (const auto& [line, overlong] : lines) HandleLine(line, overlong);
}

void VirtualBoard::HandleLine(const std::string& line, bool overlong) {
  Responder responder;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (silent_) return;
    if (overlong) {
      Answer(DeviceError('1'));
      return;
    }
    // A lone carriage return is how the host resynchronises; it is no command.
    if (!line.empty() && error_once_ != 0) {
      Answer(DeviceError(error_once_));
      error_once_ = 0;
      return;
    }
    responder = responder_;
  }
  // Called without the lock, so that a responder may use the board's own calls.
  std::optional<std::string> answer;
  if (responder) answer = responder(line);

  std::lock_guard<std::mutex> lock(mutex_);
  if (answer) {
    Answer(*answer);
  } else if (!line.empty()) {
    std::string text = ModelAnswer(line);
    const unsigned baudAfter = baud_after_answer_;
    baud_after_answer_ = 0;
    Answer(text, baudAfter);
  }
}

std::string VirtualBoard::ModelAnswer(const std::string& line) {
  std::string upper = line;
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  ModelState state{ports_, baud_after_answer_};
  for (const Family& family : kFamilies) {
    if (std::string_view(upper).substr(0, family.prefix.size()) == family.prefix) {
      return family.handler(state, std::string_view(upper).substr(family.prefix.size()));
    }
  }
  return DeviceError('1');
}

// Queues an answer behind everything already queued (the caller holds the lock).
void VirtualBoard::Answer(const std::string& text, unsigned baudAfter) {
  if (text.empty() && baudAfter == 0) return;
  const auto due = Clock::now() + milliseconds(delay_ms_);
  const size_t piece = chunk_bytes_ == 0 ? std::max<size_t>(text.size(), 1) : chunk_bytes_;
  size_t at = 0;
  do {
    Outgoing out;
    out.bytes = text.substr(at, piece);
    out.due = due;
    out.gapMs = at == 0 ? 0 : chunk_gap_ms_;
    at += piece;
    if (at >= text.size()) out.baudAfter = baudAfter;
    outgoing_.push_back(std::move(out));
  } while (at < text.size());
}

bool VirtualBoard::SendDue(Clock::time_point now) {
  while (!outgoing_.empty()) {
    Outgoing& head = outgoing_.front();
    if (head.due > now) return false;
    while (master_fd_ >= 0 && head.written < head.bytes.size()) {
      const ssize_t put = write(master_fd_, head.bytes.data() + head.written, head.bytes.size() - head.written);
      if (put > 0) {
        head.written += static_cast<size_t>(put);
        continue;
      }
      if (put < 0 && errno == EINTR) continue;
      // The host is not reading: wait for room, but not for ever.
      if (put < 0 && errno == EAGAIN && now - head.due < kWriteStall) return true;
      break;  // the rest is lost, as a board's output is when nobody listens
    }
    // Under the same lock as the write: whoever has read the answer sees the new rate.
    if (head.baudAfter != 0) board_baud_ = head.baudAfter;
    outgoing_.pop_front();
    if (!outgoing_.empty() && outgoing_.front().gapMs > 0) {
      Outgoing& next = outgoing_.front();
      next.due = std::max(next.due, Clock::now() + milliseconds(next.gapMs));
    }
  }
  return false;
}

int VirtualBoard::PollTimeoutMs(Clock::time_point now, bool blocked) const {
  if (outgoing_.empty()) return -1;
  const auto until = blocked ? outgoing_.front().due + kWriteStall : outgoing_.front().due;
  if (until <= now) return 0;
  const auto wait = std::chrono::ceil<milliseconds>(until - now).count();
  return static_cast<int>(std::min<long long>(wait, INT_MAX));
}

// Keeps the newest bytes; the counts behind the waits run on regardless.
void VirtualBoard::TrimRecord() {
  if (received_.size() <= kRecordLimit) return;
  size_t excess = received_.size() - kRecordLimit / 2;
  received_.erase(0, excess);
  size_t drop = 0;
  while (excess > 0 && drop < segments_.size()) {
    std::string& bytes = segments_[drop].bytes;
    if (bytes.size() <= excess) {
      excess -= bytes.size();
      ++drop;
    } else {
      bytes.erase(0, excess);
      excess = 0;
    }
  }
  segments_.erase(segments_.begin(), segments_.begin() + static_cast<std::ptrdiff_t>(drop));
}

// ---- What arrived ------------------------------------------------------------------

std::string VirtualBoard::Received() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return received_;
}

std::vector<Segment> VirtualBoard::ReceivedByRate() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return segments_;
}

void VirtualBoard::ClearReceived() {
  std::lock_guard<std::mutex> lock(mutex_);
  received_.clear();
  segments_.clear();
  bytes_since_clear_ = 0;
  lines_since_clear_ = 0;
}

bool VirtualBoard::WaitForReceived(size_t count, int timeoutMs) const {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, milliseconds(std::max(timeoutMs, 0)),
                           [&] { return bytes_since_clear_ >= count; });
}

bool VirtualBoard::WaitForLines(size_t count, int timeoutMs) const {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, milliseconds(std::max(timeoutMs, 0)),
                           [&] { return lines_since_clear_ >= count; });
}

// ---- Answering and faults ------------------------------------------------------------

void VirtualBoard::SetResponder(Responder responder) {
  std::lock_guard<std::mutex> lock(mutex_);
  responder_ = std::move(responder);
}

void VirtualBoard::SendRaw(const std::string& bytes) {
  if (bytes.empty()) return;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    Outgoing out;
    out.bytes = bytes;
    out.due = Clock::now();
    outgoing_.push_back(std::move(out));
  }
  Wake();
}

void VirtualBoard::SetSilent(bool silent) {
  std::lock_guard<std::mutex> lock(mutex_);
  silent_ = silent;
}

void VirtualBoard::SetAnswerDelayMs(int delayMs) {
  std::lock_guard<std::mutex> lock(mutex_);
  delay_ms_ = std::clamp(delayMs, 0, kMaxDelayMs);
}

void VirtualBoard::SetChunking(size_t chunkBytes, int gapMs) {
  std::lock_guard<std::mutex> lock(mutex_);
  chunk_bytes_ = chunkBytes;
  chunk_gap_ms_ = std::clamp(gapMs, 0, kMaxDelayMs);
}

void VirtualBoard::SetDeviceErrorOnce(char digit) {
  std::lock_guard<std::mutex> lock(mutex_);
  error_once_ = digit;
}

// ---- Model state -----------------------------------------------------------------------

unsigned VirtualBoard::BoardBaud() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return board_baud_;
}

int VirtualBoard::PortRegister(char port) const {
  const int index = PortIndex(port);
  if (index < 0) return -1;
  std::lock_guard<std::mutex> lock(mutex_);
  return ports_[index];
}

void VirtualBoard::SetPortRegister(char port, int value) {
  const int index = PortIndex(port);
  if (index < 0) return;
  std::lock_guard<std::mutex> lock(mutex_);
  ports_[index] = value;
}

}  // namespace tarvelin::board
