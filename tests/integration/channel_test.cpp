// The serial channel's lifecycle, line settings, writes and the reader's
// behaviour when the device goes away.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "fake/standin_faults.h"
#include "protocol/result_state.h"
#include "serial/answer_text.h"
#include "serial/comm_channel.h"
#include "support/board_fixture.h"
#include "tarvelin.h"

namespace {

using Clock = std::chrono::steady_clock;

class ChannelTest : public test::BoardTest {
 protected:
  void Bind(uint32_t cts, uint32_t dsr, uint32_t xonXoff) {
    SetCommSettings(DefaultBoard(), 9600, 9600, 8, 0, 0, cts, dsr, xonXoff, &DefaultBoard().AnswerReady,
                    DefaultBoard().AnswerBuffer, kAnswerCapacity);
  }
  DCB State() {
    DCB dcb{};
    GetCommState(test::LinePort(), &dcb);
    return dcb;
  }
};

TEST_F(ChannelTest, OpenAppliesTheLineSettings) {
  Bind(0, 0, 0);
  ASSERT_TRUE(OpenComm(DefaultBoard(), test::kBoardPort));
  const DCB dcb = State();
  EXPECT_EQ(dcb.BaudRate, 9600u);
  EXPECT_EQ(dcb.ByteSize, 8);
  EXPECT_EQ(dcb.Parity, NOPARITY);
  EXPECT_EQ(dcb.StopBits, ONESTOPBIT);
  EXPECT_EQ(dcb.fBinary, 1u);
  EXPECT_EQ(dcb.fParity, 1u);
  EXPECT_EQ(dcb.fDtrControl, DTR_CONTROL_ENABLE);
  EXPECT_EQ(dcb.fRtsControl, RTS_CONTROL_ENABLE);
  EXPECT_EQ(dcb.fOutxCtsFlow + dcb.fOutxDsrFlow + dcb.fOutX + dcb.fInX, 0u);
  EXPECT_EQ(dcb.XonChar, 17);
  EXPECT_EQ(dcb.XoffChar, 19);
  EXPECT_EQ(dcb.XonLim, 100);
  EXPECT_EQ(dcb.XoffLim, 100);
  COMMTIMEOUTS timeouts{};
  GetCommTimeouts(test::LinePort(), &timeouts);
  EXPECT_EQ(timeouts.ReadIntervalTimeout, 1u);
  EXPECT_EQ(timeouts.ReadTotalTimeoutMultiplier + timeouts.ReadTotalTimeoutConstant +
                timeouts.WriteTotalTimeoutMultiplier + timeouts.WriteTotalTimeoutConstant,
            0u);
  EXPECT_TRUE(standin::PortDtr(test::LinePort()));
  EXPECT_TRUE(DefaultBoard().Reader.Running());
}

TEST_F(ChannelTest, FlowControlFlags) {
  Bind(1, 0, 0);
  ASSERT_TRUE(OpenComm(DefaultBoard(), test::kBoardPort));
  DCB dcb = State();
  EXPECT_EQ(dcb.fOutxCtsFlow, 1u);
  EXPECT_EQ(dcb.fRtsControl, RTS_CONTROL_HANDSHAKE);
  EXPECT_EQ(dcb.fOutxDsrFlow, 0u);
  ASSERT_EQ(CloseComm(DefaultBoard()), 1);

  Bind(0, 1, 1);
  ASSERT_TRUE(OpenComm(DefaultBoard(), test::kBoardPort));
  dcb = State();
  EXPECT_EQ(dcb.fOutxDsrFlow, 1u);
  EXPECT_EQ(dcb.fDtrControl, DTR_CONTROL_HANDSHAKE);
  EXPECT_EQ(dcb.fOutX, 1u);
  EXPECT_EQ(dcb.fInX, 1u);
}

TEST_F(ChannelTest, Lifecycle) {
  Bind(0, 0, 0);
  standin::StartTrace();
  EXPECT_EQ(CloseComm(DefaultBoard()), 0);
  EXPECT_STREQ(standin::TraceText(), "");  // closing a closed channel touches nothing

  ASSERT_TRUE(OpenComm(DefaultBoard(), test::kBoardPort));
  const HANDLE port = test::LinePort();
  EXPECT_FALSE(OpenComm(DefaultBoard(), test::kBoardPort));
  EXPECT_EQ(test::LinePort(), port);  // the open channel is untouched

  standin::StartTrace();
  EXPECT_EQ(CloseComm(DefaultBoard()), 1);
  EXPECT_FALSE(DefaultBoard().Reader.Running());
  EXPECT_EQ(test::LinePort(), INVALID_HANDLE_VALUE);
  // DTR drops after the reader is woken and its read cancelled, before the purge and the close of the port.
  const std::string trace = standin::TraceText();
  const std::string tail = "SetCommMask SetCommMask SetCommMask CancelIoEx EscapeCommFunction(CLRDTR) PurgeComm CloseHandle";
  ASSERT_GE(trace.size(), tail.size());
  EXPECT_EQ(trace.substr(trace.size() - tail.size()), tail);

  ASSERT_TRUE(OpenComm(DefaultBoard(), test::kBoardPort));
  EXPECT_EQ(CloseComm(DefaultBoard()), 1);
}

// As the library's unload closes it: the reader is stopped past its last use of
// the channel and ended there, and the port is given back.
TEST_F(ChannelTest, CloseForUnloadEndsTheReader) {
  Bind(0, 0, 0);
  ASSERT_TRUE(OpenComm(DefaultBoard(), test::kBoardPort));
  ASSERT_TRUE(DefaultBoard().Reader.Running());
  const auto start = Clock::now();
  EXPECT_EQ(CloseComm(DefaultBoard(), CloseWait::ReaderDone), 1);
  // Well under the close's 2-second wait for the thread: the parked reader was ended, not awaited.
  EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(1500));
  EXPECT_FALSE(DefaultBoard().Reader.Running());
  const int fd = open(board_.SlavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(flock(fd, LOCK_EX | LOCK_NB), 0);
  close(fd);
  // The channel opens again with a reader of its own.
  ASSERT_TRUE(OpenComm(DefaultBoard(), test::kBoardPort));
  EXPECT_EQ(WriteComm(DefaultBoard(), 4, "PRB\r"), 1);
  EXPECT_EQ(CloseComm(DefaultBoard()), 1);
}

TEST_F(ChannelTest, DeviceNameUsesTheDeviceNamespace) {
  setenv("TARVELIN_COM12", board_.SlavePath().c_str(), 1);
  standin::StartTrace();
  EXPECT_EQ(PortOpen(12), 1);
  EXPECT_EQ(std::string(standin::TraceText()).rfind("CreateFileA(\\\\.\\COM12)", 0), 0u);
  EXPECT_EQ(GetPort(), 12);
  unsetenv("TARVELIN_COM12");
}

TEST_F(ChannelTest, PortHeldElsewhereCannotBeOpened) {
  const int fd = open(board_.SlavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(flock(fd, LOCK_EX | LOCK_NB), 0);
  EXPECT_EQ(PortOpen(test::kBoardPort), -1);
  EXPECT_EQ(GetError(), 36);
  EXPECT_STREQ(GetErrorMessage(), "Unable to open COM port");
  close(fd);
  EXPECT_EQ(PortOpen(test::kBoardPort), 1);
}

TEST_F(ChannelTest, RefusedSettingsLeaveTheChannelClosed) {
  Bind(0, 0, 0);
  standin::RefuseLineSettings(true);
  EXPECT_FALSE(OpenComm(DefaultBoard(), test::kBoardPort));
  EXPECT_EQ(test::LinePort(), INVALID_HANDLE_VALUE);
  EXPECT_FALSE(DefaultBoard().Reader.Running());
  EXPECT_EQ(WriteComm(DefaultBoard(), 4, "PRB\r"), 0);
  standin::RefuseLineSettings(false);
  // The port was given back and nothing was left half made: the next open works.
  ASSERT_TRUE(OpenComm(DefaultBoard(), test::kBoardPort));
  EXPECT_EQ(WriteComm(DefaultBoard(), 4, "PRB\r"), 1);
  EXPECT_TRUE(board_.WaitForReceived(4, 1000));
}

TEST_F(ChannelTest, ReaderThatCannotSelectItsEventStillCloses) {
  Bind(0, 0, 0);
  standin::FailCommMask(true);
  ASSERT_TRUE(OpenComm(DefaultBoard(), test::kBoardPort));
  const auto deadline = Clock::now() + std::chrono::seconds(2);
  while (DefaultBoard().Reader.Running() && Clock::now() < deadline) std::this_thread::yield();
  standin::FailCommMask(false);
  EXPECT_EQ(CloseComm(DefaultBoard()), 1);
}

TEST_F(ChannelTest, RefusedPrioritiesShowBoxesAndStillOpen) {
  Bind(0, 0, 0);
  const int boxes = standin::MessageBoxCount();
  standin::RefuseThreadPriorities(1);
  ASSERT_TRUE(OpenComm(DefaultBoard(), test::kBoardPort));
  EXPECT_EQ(standin::MessageBoxCount(), boxes + 1);
  EXPECT_STREQ(standin::LastMessageBoxCaption(),
               "Can not setup priority of the KORIMAX thread to THREAD_PRIORITY_TIME_CRITICAL");
  EXPECT_TRUE(standin::PortDtr(test::LinePort()));
  ASSERT_EQ(CloseComm(DefaultBoard()), 1);

  standin::RefuseThreadPriorities(2);
  ASSERT_TRUE(OpenComm(DefaultBoard(), test::kBoardPort));
  EXPECT_EQ(standin::MessageBoxCount(), boxes + 3);
  EXPECT_STREQ(standin::LastMessageBoxCaption(),
               "Can not setup priority of the KORIMAX thread to THREAD_PRIORITY_HIGHEST");
}

TEST_F(ChannelTest, WritesRetryOnce) {
  Bind(0, 0, 0);
  ASSERT_TRUE(OpenComm(DefaultBoard(), test::kBoardPort));
  standin::CaptureDebugOutput(true);
  EXPECT_EQ(WriteCommBlock(DefaultBoard(), &DefaultBoard().CommChannel, "x", 0), 0);
  EXPECT_STREQ(standin::CapturedDebugOutput(), "KORIMAX: WriteCommBlock --> Byte count is zero\n");

  standin::CaptureDebugOutput(true);
  standin::FailNextWrites(1);
  EXPECT_EQ(WriteComm(DefaultBoard(), 2, "A\r"), 1);
  EXPECT_STREQ(standin::CapturedDebugOutput(),
               "KORIMAX: WriteCommBlock --> Write failed\nKORIMAXDLL: WriteComm --> second round\n");
  EXPECT_TRUE(board_.WaitForReceived(2, 1000));
  EXPECT_EQ(board_.Received(), "A\r");

  standin::FailNextWrites(2);
  EXPECT_EQ(WriteComm(DefaultBoard(), 2, "B\r"), 0);
  standin::CaptureDebugOutput(false);
}

// The test fake's wait on a healthy idle line blocks until a character comes, and
// fails once the other side is gone: an idle line is no hang-up.
TEST_F(ChannelTest, WaitCommEventTellsIdleFromHungUp) {
  const std::string name = "COM" + std::to_string(test::kBoardPort);
  const HANDLE port = CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                  FILE_FLAG_OVERLAPPED, nullptr);
  ASSERT_NE(port, INVALID_HANDLE_VALUE);
  DCB dcb{};
  GetCommState(port, &dcb);
  dcb.BaudRate = 9600;
  ASSERT_TRUE(SetCommState(port, &dcb));
  ASSERT_TRUE(SetCommMask(port, EV_RXCHAR));

  std::atomic<int> result{-1};
  std::atomic<DWORD> mask{0};
  auto wait = [&] {
    DWORD got = 0;
    result = WaitCommEvent(port, &got, nullptr);
    mask = got;
  };
  std::thread waiter(wait);
  std::this_thread::sleep_for(std::chrono::milliseconds(150));
  EXPECT_EQ(result.load(), -1) << "the wait ended on an idle line";
  board_.SendRaw("x");
  waiter.join();
  EXPECT_EQ(result.load(), TRUE);
  EXPECT_EQ(mask.load(), EV_RXCHAR);
  char byte = 0;
  DWORD read = 0;
  ASSERT_TRUE(ReadFile(port, &byte, 1, &read, nullptr));
  EXPECT_EQ(byte, 'x');

  board_.HangUp();
  std::thread gone(wait);
  gone.join();
  EXPECT_EQ(result.load(), FALSE);
  CloseHandle(port);
}

double ProcessCpuSeconds() {
  timespec ts{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

TEST_F(ChannelTest, HungUpDeviceCostsLittleAndStillCloses) {
  ASSERT_EQ(PortOpen(test::kBoardPort), 1);
  board_.HangUp();
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  const double before = ProcessCpuSeconds();
  std::this_thread::sleep_for(std::chrono::milliseconds(1000));
  const double used = ProcessCpuSeconds() - before;
  EXPECT_LT(used, 0.25) << "the reader spins on a device that is gone";
  EXPECT_EQ(WriteCommand("PRB"), -1);
  const auto start = Clock::now();
  EXPECT_EQ(PortClose(), 1);
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(3));
}

}  // namespace
