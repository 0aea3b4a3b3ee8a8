// Calls as programs make them: waits that sleep, several threads served in
// turn, a close from another thread or from a window procedure that ends a
// waiting call, and a line that hangs up.
#include <gtest/gtest.h>
#include <time.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "board/board.h"
#include "fake/standin_faults.h"
#include "serial/answer_text.h"
#include "support/board_fixture.h"
#include "tarvelin.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

double ThreadCpuSeconds() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

int64_t MillisecondsSince(Clock::time_point start) {
  return std::chrono::duration_cast<milliseconds>(Clock::now() - start).count();
}

class CallsTest : public test::OpenBoardTest {
 protected:
  // The board's model answers every command but the sampling command, which
  // gets `block` (nothing when empty: the call waits out its deadline).
  void AnswerSamplingWith(const std::string& block) {
    board_.SetResponder([block](const std::string& line) -> std::optional<std::string> {
      if (line.rfind("GS", 0) == 0) return block;
      return std::nullopt;
    });
  }
};

TEST_F(CallsTest, WaitsSleepWhileTheBoardIsSlow) {
  board_.SetAnswerDelayMs(150);
  double before = ThreadCpuSeconds();
  for (int i = 0; i < 3; ++i) EXPECT_EQ(IOPortRead('B'), 255) << GetErrorMessage();
  EXPECT_LT(ThreadCpuSeconds() - before, 0.05) << "the caller spins while the board takes 150 ms";
  board_.SetAnswerDelayMs(0);

  // 400 records trickled out over about a second.
  std::string block = "\r\n";
  for (int i = 0; i < 400; ++i) block += "*0100";
  AnswerSamplingWith(block + "\r\n>");
  board_.SetChunking(100, 50);
  std::vector<int32_t> values(400, -1);
  before = ThreadCpuSeconds();
  ASSERT_EQ(ADCAnalogSampling(10, 1, 0, 400, 0, values.data()), 1) << GetErrorMessage();
  EXPECT_LT(ThreadCpuSeconds() - before, 0.1) << "the caller spins while the block trickles in";
  EXPECT_EQ(values[399], 100);
}

TEST_F(CallsTest, ThreadsAreServedInTurn) {
  const char ports[] = {'A', 'B', 'C', 'D', 'S'};
  for (int i = 0; i < 5; ++i) board_.SetPortRegister(ports[i], 10 + i);
  constexpr int kThreads = 8;
  constexpr int kCalls = 2000;
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kCalls; ++i) {
        const int port = (t + i) % 5;
        if (IOPortRead(ports[port]) != 10 + port) wrong.fetch_add(1);
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(wrong.load(), 0) << "of " << kThreads * kCalls << " calls";
}

TEST_F(CallsTest, CloseFromAnotherThreadEndsASampling) {
  AnswerSamplingWith("");  // rate code 7, 100 samples: a deadline of 17.5 s
  std::vector<int32_t> values(100, -1);
  std::atomic<int32_t> result{0};
  const auto start = Clock::now();
  std::thread sampling([&] { result = ADCAnalogSampling(10, 1, 7, 100, 0, values.data()); });
  std::this_thread::sleep_for(milliseconds(300));
  EXPECT_EQ(PortClose(), 1);
  EXPECT_LT(MillisecondsSince(start), 1300);
  sampling.join();
  EXPECT_EQ(result.load(), -1);
  EXPECT_EQ(GetError(), 38);
  EXPECT_STREQ(GetErrorMessage(), "COM port was closed while the call was waiting for the board");
  EXPECT_EQ(values[0], -1);

  // The next session is the reopened port's own.
  ASSERT_EQ(PortOpen(test::kBoardPort), 1);
  EXPECT_EQ(IOPortRead('B'), 255);
}

// A window procedure that runs while a G-option sampling waits, as a Visual
// Basic form's timer and "Stop" button would.
struct WindowProcedure {
  int32_t error = 0;
  int32_t limit = -1;
  int32_t refused = 0;
  int32_t refusedCode = 0;
  int32_t closed = 0;
  static void Run(void* self) {
    auto* procedure = static_cast<WindowProcedure*>(self);
    procedure->error = GetError();
    procedure->limit = IntStatusL();
    procedure->refused = WriteCommand("PRB");
    procedure->refusedCode = GetError();
    procedure->closed = PortClose();
  }
};

TEST_F(CallsTest, WindowProcedureDuringAGOptionSamplingStopsIt) {
  setenv("TARVELIN_MESSAGEBOX", "0", 1);  // the procedure runs in the wait, not in the command's notice
  AnswerSamplingWith("");
  std::vector<int32_t> values(100, -1);
  WindowProcedure procedure;
  standin::PostCallback(&WindowProcedure::Run, &procedure);
  const auto start = Clock::now();
  EXPECT_EQ(ADCAnalogSampling(10, 1, 7, 100, 1, values.data()), -1);
  EXPECT_LT(MillisecondsSince(start), 2000);
  EXPECT_EQ(procedure.error, -1);
  EXPECT_EQ(procedure.limit, 0);
  EXPECT_EQ(procedure.refused, -1);
  EXPECT_EQ(procedure.refusedCode, 37);
  EXPECT_EQ(procedure.closed, 1);
  EXPECT_EQ(GetError(), 38);
  EXPECT_EQ(values[0], -1);
  EXPECT_EQ(PortClose(), -1);  // closed before the sampling call returned
  EXPECT_EQ(GetError(), 35);
  unsetenv("TARVELIN_MESSAGEBOX");
}

// A library message box's modal loop is the library's own pumping too: a
// window procedure run from it is refused a command and may close the port.
TEST_F(CallsTest, WindowProcedureDuringALibraryMessageBox) {
  unsetenv("TARVELIN_MESSAGEBOX");
  WindowProcedure procedure;
  standin::PostCallback(&WindowProcedure::Run, &procedure);
  // A 12-bit conversion shows its value before port D goes back.
  EXPECT_EQ(ADCAnalog(12, 3), -1);
  EXPECT_EQ(procedure.refused, -1);
  EXPECT_EQ(procedure.refusedCode, 37);
  EXPECT_EQ(procedure.closed, 1);
  EXPECT_EQ(PortClose(), -1);  // the box's "Stop" closed it
}

TEST_F(CallsTest, HangUpFailsCallsAtOnceAndAReopenWorks) {
  ASSERT_EQ(IOPortRead('B'), 255);
  board_.HangUp();
  std::this_thread::sleep_for(milliseconds(100));
  const auto start = Clock::now();
  EXPECT_EQ(IOPortRead('B'), -1);
  EXPECT_LT(MillisecondsSince(start), 50);
  EXPECT_EQ(GetError(), 39);
  EXPECT_STREQ(GetErrorMessage(), "COM port is no longer available (device removed or line hung up)");
  EXPECT_EQ(WriteCommand("PRA"), -1);
  EXPECT_EQ(GetError(), 39);
  EXPECT_EQ(PortClose(), 1);

  board_.Stop();
  ASSERT_TRUE(board_.Start()) << board_.Error();
  setenv(("TARVELIN_COM" + std::to_string(test::kBoardPort)).c_str(), board_.SlavePath().c_str(), 1);
  ASSERT_EQ(PortOpen(test::kBoardPort), 1);
  EXPECT_EQ(IOPortRead('B'), 255);
}

// A message sent to the thread (a broadcast, another thread's SendMessage) runs
// inside PeekMessage: the wait is the library's own from its start, so a
// command from that handler is refused, and the waiting call keeps its outcome.
TEST_F(CallsTest, SentMessageDuringAGOptionSamplingIsRefused) {
  setenv("TARVELIN_MESSAGEBOX", "0", 1);
  AnswerSamplingWith("\r\n*0100*0200\r\n>");
  struct Handler {
    int32_t result = 0;
    int32_t code = 0;
    static void Run(void* self) {
      auto* handler = static_cast<Handler*>(self);
      handler->result = WriteCommand("PRB");
      handler->code = GetError();
    }
  } handler;
  standin::SendCallback(&Handler::Run, &handler);
  std::vector<int32_t> values(2, -1);
  EXPECT_EQ(ADCAnalogSampling(10, 1, 0, 2, 1, values.data()), 1) << GetErrorMessage();
  EXPECT_EQ(handler.result, -1);
  EXPECT_EQ(handler.code, 37);
  EXPECT_EQ(GetError(), -1);  // the refusal is the handler's, not the sampling's
  EXPECT_EQ(values, (std::vector<int32_t>{100, 200}));
  EXPECT_EQ(board_.Received().find("PRB"), std::string::npos);
  unsetenv("TARVELIN_MESSAGEBOX");
}

int32_t NestedCloseResult = 0;
int32_t NestedCloseCode = 0;
void NestedClose(void*) {
  NestedCloseResult = PortClose();
  NestedCloseCode = GetError();
}
// A double-clicked "Stop": the second close runs inside the first one's
// message pumping and finds the port closed; the port is torn down once.
TEST_F(CallsTest, DoubleClickedStopTearsThePortDownOnce) {
  standin::StartTrace();
  NestedCloseResult = 0;
  standin::PostCallback(&NestedClose, nullptr);
  EXPECT_EQ(PortClose(), 1);
  EXPECT_EQ(NestedCloseResult, -1);
  EXPECT_EQ(NestedCloseCode, 35);
  const std::string trace = standin::TraceText();
  size_t drops = 0;
  for (size_t at = trace.find("CLRDTR"); at != std::string::npos; at = trace.find("CLRDTR", at + 1)) ++drops;
  EXPECT_EQ(drops, 1u) << trace;
  EXPECT_EQ(PortClose(), -1);
  EXPECT_EQ(GetError(), 35);
}

// A "Stop" while a long G-option block streams in: the close ends the reader
// at its next chunk, returns within a second and the sampling fails with 38.
TEST_F(CallsTest, StopDuringAStreamingBlockReturnsWithinASecond) {
  setenv("TARVELIN_MESSAGEBOX", "0", 1);
  std::string block = "\r\n";
  for (int i = 0; i < 4000; ++i) block += "*0100";
  AnswerSamplingWith(block + "\r\n>");
  board_.SetChunking(200, 20);  // about 2 s in all
  struct Stop {
    int64_t closeMs = -1;
    int32_t closed = 0;
    static void Run(void* self) {
      auto* stop = static_cast<Stop*>(self);
      if (AnswerLength(DefaultBoard()) < 1000) {
        std::this_thread::sleep_for(milliseconds(5));
        standin::PostCallback(&Stop::Run, self);  // not yet: the block has to be arriving
        return;
      }
      const auto start = Clock::now();
      stop->closed = PortClose();
      stop->closeMs = MillisecondsSince(start);
    }
  } stop;
  standin::PostCallback(&Stop::Run, &stop);
  std::vector<int32_t> values(4000, -1);
  EXPECT_EQ(ADCAnalogSampling(10, 1, 0, 4000, 1, values.data()), -1);
  EXPECT_EQ(GetError(), 38);
  EXPECT_EQ(stop.closed, 1);
  EXPECT_GE(stop.closeMs, 0);
  EXPECT_LT(stop.closeMs, 1000);
  unsetenv("TARVELIN_MESSAGEBOX");
}

// The host's own modal loop (a dragged window, a menu, a box of its own) runs
// inside the pump: a block that is in when the pump returns counts as arrived.
TEST_F(CallsTest, HostModalLoopDoesNotCostAnArrivedBlock) {
  setenv("TARVELIN_MESSAGEBOX", "0", 1);
  AnswerSamplingWith("\r\n*0100*0200\r\n>");
  standin::SetClockScale(100);  // the 5 s allowance lasts 50 ms
  standin::PostCallback([](void*) { std::this_thread::sleep_for(milliseconds(200)); }, nullptr);
  std::vector<int32_t> values(2, -1);
  EXPECT_EQ(ADCAnalogSampling(10, 1, 0, 2, 1, values.data()), 1) << GetErrorMessage();
  standin::SetClockScale(1);
  unsetenv("TARVELIN_MESSAGEBOX");
}

// The array stays locked while the G option's pumping runs window procedures,
// so that one of them cannot free or resize it under the store.
TEST_F(CallsTest, SafeArrayIsLockedWhileTheSamplingPumps) {
  AnswerSamplingWith("\r\n*0100*0200\r\n>");
  std::vector<int32_t> storage(2, -1);
  standin::VbArray arrayStore = standin::SafeArrayOver(storage.data(), 2, 0);
  SAFEARRAY* ref = &arrayStore.array;
  static ULONG locksSeen;
  locksSeen = 0;
  standin::PostCallback([](void* array) { locksSeen = static_cast<SAFEARRAY*>(array)->cLocks; }, ref);
  EXPECT_EQ(ADCAnalogSamplingVb(10, 1, 0, 2, 1, &ref), 1) << GetErrorMessage();
  EXPECT_EQ(locksSeen, 1u);
  EXPECT_EQ(arrayStore.array.cLocks, 0u);
  EXPECT_EQ(storage, (std::vector<int32_t>{100, 200}));
}

// A window that posts to itself on every message keeps the queue full: the
// pump hands back after a round, so the answer and the deadline are still seen.
TEST_F(CallsTest, WindowThatRepostsItselfDoesNotHoldTheWait) {
  setenv("TARVELIN_MESSAGEBOX", "0", 1);
  AnswerSamplingWith("\r\n*0100*0200\r\n>");
  static std::atomic<bool> reposting;
  reposting = true;
  struct Repost {
    static void Run(void*) {
      if (reposting) standin::PostCallback(&Repost::Run, nullptr);
    }
  };
  standin::PostCallback(&Repost::Run, nullptr);
  std::vector<int32_t> values(2, -1);
  EXPECT_EQ(ADCAnalogSampling(10, 1, 0, 2, 1, values.data()), 1) << GetErrorMessage();
  reposting = false;
  standin::DiscardMessages();
  unsetenv("TARVELIN_MESSAGEBOX");
}

}  // namespace
