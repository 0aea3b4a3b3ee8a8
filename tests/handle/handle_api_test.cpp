// Boards by handle against virtual boards: several boards at once, each call
// with its own board's answer, refused handles and arguments, sampling with
// progress and cancel.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "support/board_fixture.h"
#include "tarvelin.h"
#include "virtual_board.h"

namespace {

using Clock = std::chrono::steady_clock;
using tarvelin::board::VirtualBoard;

int64_t MsSince(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

std::string ErrorText(tarvelin_board* board) {
  char text[256];
  tarvelin_error_text(board, text, sizeof text);
  return text;
}

// Answers "X<n>" with the value <board base + n>, so that an answer tells the
// board and the command it belongs to; every other line goes to the model.
void AnswerWithOwnNumber(VirtualBoard& board, int base) {
  board.SetResponder([base](const std::string& line) -> std::optional<std::string> {
    if (line.empty() || line[0] != 'X') return std::nullopt;
    return "\r\nV=" + std::to_string(base + std::stoi(line.substr(1))) + "\r\n>";
  });
}

class HandleTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (int i = 0; i < 2; ++i) {
      ASSERT_TRUE(boards_[i].Start()) << boards_[i].Error();
#ifdef TARVELIN_WIN32_SEAM
      // The Windows line reaches a board by its COM name, which the test fake maps to the device.
      const std::string port = "COM" + std::to_string(kFirstPort + i);
      setenv(("TARVELIN_" + port).c_str(), boards_[i].SlavePath().c_str(), 1);
#else
      const std::string port = boards_[i].SlavePath();
#endif
      ASSERT_EQ(tarvelin_open(port.c_str(), 9600, &handles_[i]), TARVELIN_OK) << ErrorText(nullptr);
    }
  }
  static constexpr int kFirstPort = 61;
  void TearDown() override {
    for (tarvelin_board* handle : handles_) tarvelin_close(handle);
  }

  VirtualBoard boards_[2];
  tarvelin_board* handles_[2] = {};
};

// Two boards, two threads each, every command with an answer of its own: none
// is read in place of another, within a board or between boards.
TEST_F(HandleTest, TwoBoardsTwoThreadsEachNeverCrossAnswers) {
  constexpr int kCommands = 5000;
  AnswerWithOwnNumber(boards_[0], 10000);
  AnswerWithOwnNumber(boards_[1], 30000);
  std::atomic<int> crossed{0};
  std::atomic<int> failed{0};
  std::vector<std::thread> threads;
  for (int b = 0; b < 2; ++b) {
    for (int t = 0; t < 2; ++t) {
      threads.emplace_back([&, b, t] {
        for (int i = 0; i < kCommands; ++i) {
          const int n = t * kCommands + i;
          int32_t value = 0;
          const std::string command = "X" + std::to_string(n);
          if (tarvelin_command(handles_[b], command.c_str(), &value) != TARVELIN_OK) {
            ++failed;
          } else if (value != 10000 + b * 20000 + n) {
            ++crossed;
          }
        }
      });
    }
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(crossed.load(), 0);
  EXPECT_EQ(failed.load(), 0);
}

TEST_F(HandleTest, RefusedHandlesAndArgumentsNeverCrash) {
  int32_t value = 0;
  int local = 0;
  auto* foreign = reinterpret_cast<tarvelin_board*>(&local);
  for (tarvelin_board* handle : {static_cast<tarvelin_board*>(nullptr), foreign}) {
    EXPECT_EQ(tarvelin_command(handle, "PRA", &value), TARVELIN_E_BAD_HANDLE);
    EXPECT_EQ(tarvelin_cancel(handle), TARVELIN_E_BAD_HANDLE);
    EXPECT_EQ(tarvelin_close(handle), TARVELIN_E_BAD_HANDLE);
  }
  tarvelin_board* closed = handles_[1];
  ASSERT_EQ(tarvelin_close(closed), TARVELIN_OK);
  handles_[1] = nullptr;
  EXPECT_EQ(tarvelin_port_read(closed, 'A', &value), TARVELIN_E_BAD_HANDLE);
  EXPECT_EQ(tarvelin_close(closed), TARVELIN_E_BAD_HANDLE);
  char text[8];
  EXPECT_EQ(tarvelin_error_text(closed, text, sizeof text), TARVELIN_E_BAD_HANDLE);

  EXPECT_EQ(tarvelin_port_read(handles_[0], 'A', nullptr), TARVELIN_E_BAD_ARGUMENT);
  EXPECT_EQ(tarvelin_error_text(handles_[0], nullptr, 8), TARVELIN_E_BAD_ARGUMENT);
  EXPECT_EQ(tarvelin_sample(handles_[0], 10, 1, 0, 10, &value, 1, nullptr, nullptr, nullptr), TARVELIN_E_SAMPLE_ARRAY);
  EXPECT_EQ(tarvelin_port_read(handles_[0], 'Q', &value), TARVELIN_E_NO_SUCH_PORT);
  // The board's text is cut to the caller's buffer and terminated.
  EXPECT_EQ(tarvelin_error_text(handles_[0], text, sizeof text), TARVELIN_OK);
  EXPECT_EQ(std::string(text), "No such");
  EXPECT_STREQ(tarvelin_code_text(TARVELIN_E_TIMEOUT), "COM port timed out");
  EXPECT_STREQ(tarvelin_code_text(12345), "Unknown error code");
}

// Each thread reads the text of its own last call on a board, whatever other
// threads did on the board since.
TEST_F(HandleTest, EachThreadReadsItsOwnCallsText) {
  int32_t value = 0;
  EXPECT_EQ(tarvelin_port_read(handles_[0], 'Q', &value), TARVELIN_E_NO_SUCH_PORT);
  std::thread other([&] {
    int32_t mine = 0;
    EXPECT_EQ(tarvelin_port_read(handles_[0], 'B', &mine), TARVELIN_OK);
    EXPECT_EQ(ErrorText(handles_[0]), "");
  });
  other.join();
  EXPECT_EQ(ErrorText(handles_[0]), "No such port");
}

// A close from another thread ends the call waiting on the board; the board is
// given back only once that call has left it (the sanitizer lanes watch this).
TEST_F(HandleTest, ACloseFromAnotherThreadEndsTheWaitingCall) {
  boards_[0].SetSilent(true);
  int32_t code = 0;
  std::thread caller([&] {
    int32_t value = 0;
    code = tarvelin_command(handles_[0], "PRA", &value);
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  const auto start = Clock::now();
  EXPECT_EQ(tarvelin_close(handles_[0]), TARVELIN_OK);
  caller.join();
  EXPECT_LT(MsSince(start), 2000);
  EXPECT_EQ(code, TARVELIN_E_CLOSED_WHILE_WAITING);
  handles_[0] = nullptr;
}

#ifndef TARVELIN_WIN32_SEAM  // a device path: the POSIX line
TEST(HandleOpen, AFailedOpenNamesTheDeviceAndTheSystemsReason) {
  tarvelin_board* board = reinterpret_cast<tarvelin_board*>(1);
  EXPECT_EQ(tarvelin_open("/dev/no-such-board", 9600, &board), TARVELIN_E_OPEN_FAILED);
  EXPECT_EQ(board, nullptr);
  const std::string text = ErrorText(nullptr);
  EXPECT_NE(text.find("/dev/no-such-board"), std::string::npos) << text;
  EXPECT_NE(text.find("No such file or directory"), std::string::npos) << text;
  EXPECT_EQ(tarvelin_open(nullptr, 9600, &board), TARVELIN_E_BAD_ARGUMENT);
  EXPECT_EQ(tarvelin_open("COM3", 0, &board), TARVELIN_E_BAD_ARGUMENT);
}
#endif

TEST_F(HandleTest, SamplingTellsProgressAndFillsTheBuffer) {
  std::vector<int32_t> values(2 * 200, -1);
  struct Seen {
    int calls = 0;
    int32_t last = -1;
    bool shrank = false;
  } seen;
  const auto progress = [](void* context, int32_t received, int32_t total) -> int32_t {
    auto* s = static_cast<Seen*>(context);
    s->shrank = s->shrank || received < s->last || total != 400;
    s->last = received;
    ++s->calls;
    return 0;
  };
  int32_t count = 0;
  ASSERT_EQ(tarvelin_sample(handles_[0], 10, 0x3, 2, 200, values.data(), 400, progress, &seen, &count), TARVELIN_OK)
      << ErrorText(handles_[0]);
  EXPECT_EQ(count, 400);
  EXPECT_GE(seen.calls, 3);  // a block of about a quarter second, told every 50 ms and at its end
  EXPECT_EQ(seen.last, 400);
  EXPECT_FALSE(seen.shrank);
  for (const int32_t value : values) ASSERT_TRUE(value >= 0 && value < 1024) << value;
}

// A cancel from the progress callback or from another thread ends the call
// soon; the rest of the block is dropped, and the next command is answered.
TEST_F(HandleTest, ACancelEndsTheSamplingAndTheBoardStaysUsable) {
  std::vector<int32_t> values(1000);
  const auto cancelAt100 = [](void*, int32_t received, int32_t) -> int32_t { return received >= 100 ? 1 : 0; };
  int32_t count = -1;
  EXPECT_EQ(tarvelin_sample(handles_[0], 10, 1, 2, 1000, values.data(), 1000, cancelAt100, nullptr, &count),
            TARVELIN_E_CANCELLED);
  EXPECT_EQ(count, 0);
  AnswerWithOwnNumber(boards_[0], 10000);
  int32_t value = 0;
  EXPECT_EQ(tarvelin_command(handles_[0], "X77", &value), TARVELIN_OK) << ErrorText(handles_[0]);
  EXPECT_EQ(value, 10077);

  std::atomic<int64_t> cancelledAt{0};
  const auto start = Clock::now();
  std::thread canceller([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    cancelledAt = MsSince(start);
    tarvelin_cancel(handles_[1]);
  });
  EXPECT_EQ(tarvelin_sample(handles_[1], 10, 1, 2, 1000, values.data(), 1000, nullptr, nullptr, nullptr),
            TARVELIN_E_CANCELLED);
  const int64_t endedAt = MsSince(start);
  canceller.join();
  EXPECT_LT(endedAt - cancelledAt, 500);  // due within 100 ms; generous for a loaded machine
  EXPECT_EQ(ErrorText(handles_[1]), "Call cancelled");
}

}  // namespace
