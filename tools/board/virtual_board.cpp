// The virtual board: one service thread reads the host's bytes from the master
// side of a pseudo-terminal, cuts them into command lines, and queues the answers,
// which it writes when they are due. A pseudo-terminal has no line rate of its
// own; the rate the host programmed is read back from the terminal settings.
#include "virtual_board.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <system_error>

#include "model.h"

namespace tarvelin::board {
namespace {

constexpr size_t kReadSize = 4096;
constexpr size_t kMaxLineLength = 255;       // the board's line buffer; longer lines are refused
constexpr size_t kRecordLimit = 4u << 20;    // the record keeps the newest bytes beyond this

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

}  // namespace

// ---- Lifecycle ----------------------------------------------------------------

VirtualBoard::VirtualBoard() : model_(std::make_unique<model::State>()) {}

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
    events_.clear();
    blocked_since_.reset();
    board_baud_ = model::kPowerOnBaud;  // the new line starts at the board's power-on rate
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
  events_.clear();
  blocked_since_.reset();
  model::EndBlock(*model_);  // its records had nowhere to go
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
      AdvanceModel(now);
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
    if (observer_) observer_(true, data, size);
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
      Answer(model::DeviceError('1'));
      return;
    }
    // A lone carriage return is how the host resynchronises; it is no command.
    if (!line.empty() && error_once_ != 0) {
      Answer(model::DeviceError(error_once_));
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
    ModelAnswer(line);
  }
}

// Runs a line through the model and queues its answer (the caller holds the lock).
void VirtualBoard::ModelAnswer(const std::string& line) {
  const int64_t nowUs = clock_.NowUs(Clock::now());
  // An event that falls due as the command is taken follows its answer: in front of
  // it the host would read the event as part of the answer it waits for.
  std::string events;
  model::Advance(*model_, nowUs, events);
  model::Command command{*model_, nowUs};
  const std::string text = model::Run(command, line);
  if (command.block) {
    events_ += events;  // a block lets events in between its records
    QueueBlock();
  } else {
    Answer(text, command.baudAfter, events);
  }
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

}  // namespace tarvelin::board
