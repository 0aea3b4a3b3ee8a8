// What real drivers and hosts do to a serial library: settings left by the
// last program, line errors that block I/O until read, queues that overstate,
// waits that end empty, late thread starts, quit messages, events in the middle
// of commands, and arrays that say what they hold.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "fake/standin_faults.h"
#include "serial/comm_channel.h"
#include "support/board_fixture.h"
#include "tarvelin.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

int64_t MillisecondsSince(Clock::time_point start) {
  return std::chrono::duration_cast<milliseconds>(Clock::now() - start).count();
}

class RobustnessTest : public test::BoardTest {};

TEST_F(RobustnessTest, SettingsLeftByAnotherProgramAreCleared) {
  standin::InheritDcbFlags(true);
  ASSERT_EQ(PortOpen(test::kBoardPort), 1);
  DCB dcb{};
  ASSERT_TRUE(GetCommState(test::LinePort(), &dcb));
  EXPECT_EQ(dcb.fAbortOnError, 0u);
  EXPECT_EQ(dcb.fDsrSensitivity, 0u);
  EXPECT_EQ(dcb.fNull, 0u);
  EXPECT_EQ(dcb.fErrorChar, 0u);
  EXPECT_EQ(IOPortRead('B'), 255);
  ASSERT_EQ(PortClose(), 1);

  // Settings that cannot be read or set are not guessed at: the open fails and gives the port back.
  standin::RefuseCommState(true);
  EXPECT_EQ(PortOpen(test::kBoardPort), -1);
  EXPECT_EQ(GetError(), 36);
  standin::RefuseCommState(false);
  standin::RefuseQueueSizes(true);
  EXPECT_EQ(PortOpen(test::kBoardPort), -1);
  EXPECT_EQ(GetError(), 36);
  standin::RefuseQueueSizes(false);
  EXPECT_EQ(PortOpen(test::kBoardPort), 1);
}

TEST_F(RobustnessTest, LineErrorThatBlocksWaitsIsCleared) {
  standin::FailWaitsUntilCleared(true);
  ASSERT_EQ(PortOpen(test::kBoardPort), 1);
  EXPECT_EQ(IOPortRead('B'), 255) << GetErrorMessage();
}

TEST_F(RobustnessTest, OverstatedQueueDoesNotKeepTheClose) {
  standin::OverstateQueue(10);
  ASSERT_EQ(PortOpen(test::kBoardPort), 1);
  WriteCommand("PRB");  // its answer leaves the reader in a read that waits for bytes that never come
  const auto start = Clock::now();
  EXPECT_EQ(PortClose(), 1);
  EXPECT_LT(MillisecondsSince(start), 3000);
  standin::OverstateQueue(0);
  ASSERT_EQ(PortOpen(test::kBoardPort), 1);
  EXPECT_EQ(IOPortRead('B'), 255);
}

TEST_F(RobustnessTest, WaitsThatEndEmptyAreBackedOff) {
  standin::EndWaitsEmpty(true);
  ASSERT_EQ(PortOpen(test::kBoardPort), 1);
  std::this_thread::sleep_for(milliseconds(100));
  const unsigned before = standin::WaitCommEventCalls();
  std::this_thread::sleep_for(milliseconds(1000));
  EXPECT_LT(standin::WaitCommEventCalls() - before, 100u) << "the reader spins at its raised priority";
}

TEST_F(RobustnessTest, OpenWaitsForALateReaderAndUnloadStillEndsIt) {
  standin::DelayThreadStarts(300);
  SetCommSettings(DefaultBoard(), 9600, 9600, 8, 0, 0, 0, 0, 0, nullptr, nullptr, 0);
  auto start = Clock::now();
  ASSERT_TRUE(OpenComm(DefaultBoard(), test::kBoardPort));
  EXPECT_GE(MillisecondsSince(start), 290) << "the open returned before its reader ran";
  start = Clock::now();
  EXPECT_EQ(CloseComm(DefaultBoard(), CloseWait::ReaderDone), 1);
  EXPECT_LT(MillisecondsSince(start), 1500);
}

TEST_F(RobustnessTest, QuitMessageOutlivesTheClose) {
  ASSERT_EQ(PortOpen(test::kBoardPort), 1);
  PostQuitMessage(7);
  EXPECT_EQ(PortClose(), 1);
  MSG message{};
  ASSERT_TRUE(PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE));
  EXPECT_EQ(message.message, WM_QUIT);
  EXPECT_EQ(message.wParam, 7u);
  standin::DiscardMessages();
}

TEST_F(RobustnessTest, EventsDuringCommandsNeverEmptyAnAnswer) {
  ASSERT_EQ(PortOpen(test::kBoardPort), 1);
  std::atomic<bool> running{true};
  std::thread events([&] {
    while (running.load()) {
      board_.SendRaw("L");
      std::this_thread::sleep_for(std::chrono::microseconds(300));
    }
  });
  int wrong = 0;
  for (int i = 0; i < 20000; ++i) {
    if (WriteCommand("PRB") != 1 || GetValue() != 255) ++wrong;
  }
  running = false;
  events.join();
  EXPECT_EQ(wrong, 0);
}

TEST_F(RobustnessTest, SafeArrayThatNamesAnotherTypeIsRefused) {
  ASSERT_EQ(PortOpen(test::kBoardPort), 1);
  std::vector<int32_t> storage(4, -1);
  standin::VbArray singles = standin::SafeArrayOver(storage.data(), 4, 0, 4, FADF_HAVEVARTYPE, VT_R4);
  SAFEARRAY* ref = &singles.array;
  EXPECT_EQ(ADCAnalogSamplingVb(10, 1, 0, 4, 0, &ref), -1);
  EXPECT_EQ(GetError(), 28);
  EXPECT_STREQ(GetErrorMessage(), "The array for the sampled values is not a one-dimensional array of 32-bit integers");
  EXPECT_EQ(storage[0], -1);
}

}  // namespace

namespace {

// A driver raises EV_RXCHAR only as bytes arrive: a banner that came before
// the reader chose its events is read at once, not put in front of an answer.
TEST_F(RobustnessTest, BannerBeforeTheEventMaskIsNotTakenForAnAnswer) {
  standin::RxCharOnArrivalOnly(true);
  standin::DelayThreadStarts(300);
  std::thread banner([this] {
    std::this_thread::sleep_for(milliseconds(100));
    board_.SendRaw("\r\nV=5\r\n>");
  });
  ASSERT_EQ(PortOpen(test::kBoardPort), 1);
  banner.join();
  EXPECT_EQ(IOPortRead('B'), 255) << GetErrorMessage();
}

// Removal as drivers report it: each code fails reads, writes and waits, and
// marks the line gone, whichever of them meets it first.
TEST_F(RobustnessTest, RemovalCodesMarkTheLineGone) {
  for (DWORD code : {ERROR_GEN_FAILURE, ERROR_DEV_NOT_EXIST, ERROR_FILE_NOT_FOUND}) {
    ASSERT_EQ(PortOpen(test::kBoardPort), 1);
    standin::FailIoWith(code);
    board_.SendRaw("x");  // the reader's read meets it
    const auto start = Clock::now();
    while (DefaultBoard().LineLost.load() == 0 && MillisecondsSince(start) < 2000)
      std::this_thread::sleep_for(milliseconds(5));
    EXPECT_EQ(DefaultBoard().LineLost.load(), 1) << code;
    standin::FailIoWith(0);
    ASSERT_EQ(PortClose(), 1);

    // A write meets it first.
    ASSERT_EQ(PortOpen(test::kBoardPort), 1);
    standin::FailIoWith(code);
    EXPECT_EQ(IOPortRead('B'), -1);
    EXPECT_EQ(GetError(), 39) << code;
    standin::FailIoWith(0);
    ASSERT_EQ(PortClose(), 1);
  }
}

}  // namespace

namespace {

// A board or adapter that stops taking data: the write is bounded, and a close
// from another thread ends it at once instead of waiting behind it.
TEST_F(RobustnessTest, StuckWritesAreBoundedAndEndedByAClose) {
  ASSERT_EQ(PortOpen(test::kBoardPort), 1);
  standin::StallWrites(true);
  auto start = Clock::now();
  EXPECT_EQ(IOPortRead('B'), -1);
  EXPECT_LT(MillisecondsSince(start), 10000);

  std::atomic<int32_t> result{0};
  std::thread caller([&] { result = IOPortRead('B'); });
  std::this_thread::sleep_for(milliseconds(100));
  start = Clock::now();
  EXPECT_EQ(PortClose(), 1);
  EXPECT_LT(MillisecondsSince(start), 1500);
  caller.join();
  EXPECT_EQ(result.load(), -1);
}

// A driver that ignores cancels: every wait after a cancel is bounded, so a
// read it keeps holds neither the close nor the next open.
TEST_F(RobustnessTest, IgnoredCancelsDoNotKeepTheClose) {
  standin::OverstateQueue(10);
  standin::IgnoreCancels(true);
  ASSERT_EQ(PortOpen(test::kBoardPort), 1);
  WriteCommand("PRB");  // its answer leaves the reader in a read that waits for bytes that never come
  const auto start = Clock::now();
  EXPECT_EQ(PortClose(), 1);
  EXPECT_LT(MillisecondsSince(start), 2500);
  standin::OverstateQueue(0);
  standin::IgnoreCancels(false);
  ASSERT_EQ(PortOpen(test::kBoardPort), 1);
  EXPECT_EQ(IOPortRead('B'), 255);
}

}  // namespace

namespace {

// A reader that has not run 5 s after its open is not ended from outside (it may
// hold the system's locks): the open fails, the reader leaves by itself once it
// runs, and it never touches the next open's state.
TEST_F(RobustnessTest, ReaderGivenUpOnLeavesByItself) {
  const int terminated = standin::TerminateThreadCalls();
  standin::DelayThreadStarts(5600);
  EXPECT_EQ(PortOpen(test::kBoardPort), -1);
  EXPECT_EQ(GetError(), 36);
  standin::DelayThreadStarts(0);
  ASSERT_EQ(PortOpen(test::kBoardPort), 1);
  std::this_thread::sleep_for(milliseconds(1000));  // the first reader has run and left
  EXPECT_EQ(IOPortRead('B'), 255) << GetErrorMessage();
  EXPECT_TRUE(DefaultBoard().Reader.Running());
  EXPECT_EQ(standin::TerminateThreadCalls(), terminated);
}

// Characters the driver reports lost fail the call that was waiting for them,
// and only that call.
TEST_F(RobustnessTest, OverrunFailsTheCallThatLostInput) {
  ASSERT_EQ(PortOpen(test::kBoardPort), 1);
  standin::ReportOverrun();
  EXPECT_EQ(IOPortRead('B'), -1);
  EXPECT_EQ(GetError(), TARVELIN_E_INPUT_LOST);
  EXPECT_STREQ(GetErrorMessage(), " Error: Characters from the board were lost (receive overrun) (command = PRB)");
  EXPECT_EQ(IOPortRead('B'), 255);
}

}  // namespace
