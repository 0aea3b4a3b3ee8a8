// The host's end of the virtual board's pseudo-terminal: the slave device opened
// raw, as the library opens a COM port, and a fixture with a board and a host.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>

#include "virtual_board.h"

namespace board_test {

using Clock = std::chrono::steady_clock;

inline long long MsSince(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

class Host {
 public:
  explicit Host(const std::string& path) : fd_(open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK)) {
    if (fd_ >= 0) SetRate(B9600);
  }
  ~Host() {
    if (fd_ >= 0) close(fd_);
  }
  Host(const Host&) = delete;
  Host& operator=(const Host&) = delete;

  bool ok() const { return fd_ >= 0; }
  int fd() const { return fd_; }

  bool SetRate(speed_t speed) {
    termios settings{};
    if (tcgetattr(fd_, &settings) != 0) return false;
    cfmakeraw(&settings);
    settings.c_cflag |= CLOCAL | CREAD;
    cfsetispeed(&settings, speed);
    cfsetospeed(&settings, speed);
    return tcsetattr(fd_, TCSANOW, &settings) == 0;
  }

  bool Send(const std::string& bytes) {
    return write(fd_, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
  }

  // What arrives until `stop` is in it (when given), `enough` bytes, or the time is up.
  // At most `chunk` bytes are taken per read.
  std::string ReadUntil(const std::string& stop, int timeoutMs, size_t enough = SIZE_MAX, size_t chunk = 65536) {
    std::string text;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    size_t searched = 0;
    while (text.size() < enough) {
      if (!stop.empty() && text.find(stop, searched) != std::string::npos) break;
      searched = text.size() >= stop.size() ? text.size() - stop.size() + 1 : 0;
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
      if (left <= 0) break;
      pollfd p{fd_, POLLIN, 0};
      if (poll(&p, 1, static_cast<int>(left)) <= 0) continue;
      buffer_.resize(std::min(chunk, enough - text.size()));
      const ssize_t got = read(fd_, buffer_.data(), buffer_.size());
      if (got <= 0) break;
      text.append(buffer_.data(), static_cast<size_t>(got));
    }
    return text;
  }

  // Up to the prompt, or what arrives in the time when `untilPrompt` is false.
  std::string Read(int timeoutMs, bool untilPrompt = true, size_t enough = SIZE_MAX) {
    return ReadUntil(untilPrompt ? ">" : "", timeoutMs, enough);
  }

  std::string Exchange(const std::string& command) {
    if (!Send(command + "\r")) return "(send failed)";
    return Read(2000);
  }

 private:
  int fd_;
  std::string buffer_;
};

class BoardHostTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(board_.Start()) << board_.Error();
    host_ = std::make_unique<Host>(board_.SlavePath());
    ASSERT_TRUE(host_->ok());
  }
  void TearDown() override {
    host_.reset();
    board_.Stop();
  }

  tarvelin::board::VirtualBoard board_;
  std::unique_ptr<Host> host_;
};

// The number in a value answer ("\r\nV=123\r\n>", or "\r\n123\r\n>" in the I/O-485 mode);
// -100000 when there is none.
inline long long ValueIn(const std::string& answer) {
  const size_t digits = answer.find_first_of("-0123456789");
  if (digits == std::string::npos || answer.find('?') != std::string::npos) return -100000;
  return std::strtoll(answer.c_str() + digits, nullptr, 10);
}

}  // namespace board_test
