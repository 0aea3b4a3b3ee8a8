// tarvelin.hpp over the shared library, against the virtual board: the Board's
// lifetime and moves, failures as tarvelin::Error, and the sampling's progress
// callable, cancel and size guard.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <stdexcept>
#include <string>
#include <tarvelin.hpp>
#include <thread>
#include <vector>

#include "virtual_board.h"

namespace {

using Clock = std::chrono::steady_clock;

// Thrown by a progress callable: it must come out of sample() as it went in.
struct Stop : std::runtime_error {
  Stop() : std::runtime_error("stop here") {}
};

class HppTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(virtual_.Start()) << virtual_.Error(); }

  // The code of the Error that `call` throws; 0 when it throws none.
  template <class Call>
  static int32_t CodeOf(Call&& call, std::string* text = nullptr) {
    try {
      call();
    } catch (const tarvelin::Error& e) {
      if (text != nullptr) *text = e.what();
      return e.code();
    }
    return 0;
  }

  const std::string& Path() const { return virtual_.SlavePath(); }

  tarvelin::board::VirtualBoard virtual_;
};

TEST_F(HppTest, DrivesTheBoard) {
  tarvelin::Board board(Path());
  EXPECT_EQ(board.command("PCB255"), 0);
  board.port_write('B', 17);
  EXPECT_EQ(virtual_.PortRegister('B'), 17);
  EXPECT_EQ(board.port_read('b'), 17);
}

TEST_F(HppTest, FailedOpenThrowsWithTheDevice) {
  std::string text;
  EXPECT_EQ(CodeOf([] { tarvelin::Board("/dev/no-such-tarvelin-port"); }, &text), TARVELIN_E_OPEN_FAILED);
  EXPECT_NE(text.find("/dev/no-such-tarvelin-port"), std::string::npos) << text;
}

TEST_F(HppTest, DestructorGivesThePortBack) {
  {
    tarvelin::Board first(Path());
    // Held exclusively while open.
    EXPECT_EQ(CodeOf([this] { tarvelin::Board second(Path()); }), TARVELIN_E_OPEN_FAILED);
  }
  EXPECT_EQ(CodeOf([this] { tarvelin::Board again(Path()); }), 0);
}

TEST_F(HppTest, MoveLeavesTheSourceEmpty) {
  tarvelin::Board source(Path());
  tarvelin::Board target(std::move(source));
  EXPECT_FALSE(source);
  EXPECT_EQ(source.handle(), nullptr);
  EXPECT_EQ(CodeOf([&] { source.port_read('B'); }), TARVELIN_E_BAD_HANDLE);
  EXPECT_EQ(source.error_text(), "");
  source.cancel();  // nothing to cancel, nothing happens
  ASSERT_TRUE(target);
  EXPECT_EQ(CodeOf([&] { target.port_read('B'); }), 0);
}

TEST_F(HppTest, MoveAssignmentClosesTheTargetsBoard) {
  tarvelin::board::VirtualBoard other;
  ASSERT_TRUE(other.Start()) << other.Error();
  tarvelin::Board target(Path());
  tarvelin::Board source(other.SlavePath());
  target = std::move(source);
  EXPECT_FALSE(source);
  // The board target held before is closed: its port can be opened again.
  EXPECT_EQ(CodeOf([this] { tarvelin::Board again(Path()); }), 0);
  other.ClearReceived();
  EXPECT_EQ(CodeOf([&] { target.port_read('B'); }), 0);
  EXPECT_NE(other.Received().find("PRB"), std::string::npos);
}

TEST_F(HppTest, DeviceErrorCarriesItsCodeAndTheBoardsText) {
  tarvelin::Board board(Path());
  virtual_.SetDeviceErrorOnce('5');
  std::string text;
  EXPECT_EQ(CodeOf([&] { board.command("PWB17"); }, &text), TARVELIN_E_DEVICE_VALUE_RANGE);
  EXPECT_NE(text.find("PWB17"), std::string::npos) << text;
  EXPECT_EQ(board.error_text(), text);
}

TEST_F(HppTest, TextWithNulIsRefusedUnsent) {
  tarvelin::Board board(Path());
  virtual_.ClearReceived();
  EXPECT_EQ(CodeOf([&] { board.command(std::string("PR\0B", 4)); }), TARVELIN_E_BAD_ARGUMENT);
  EXPECT_EQ(CodeOf([&] { tarvelin::Board(Path() + std::string(1, '\0') + "x"); }), TARVELIN_E_BAD_ARGUMENT);
  EXPECT_EQ(virtual_.Received(), "");
}

TEST_F(HppTest, SampleFillsTheVectorAndReportsProgress) {
  tarvelin::Board board(Path());
  int32_t lastReceived = -1;
  int32_t lastTotal = -1;
  const std::vector<int32_t> values = board.sample(10, 0x3, 2, 50, [&](int32_t received, int32_t total) {
    lastReceived = received;
    lastTotal = total;
  });
  ASSERT_EQ(values.size(), 100u);
  EXPECT_EQ(lastReceived, 100);
  EXPECT_EQ(lastTotal, 100);
  for (int32_t value : values) EXPECT_TRUE(value >= 0 && value < 1024) << value;
}

TEST_F(HppTest, ProgressExceptionCancelsAndIsThrownAfterTheCall) {
  tarvelin::Board board(Path());
  int calls = 0;
  EXPECT_THROW(board.sample(10, 0x3, 2, 200,
                            [&](int32_t, int32_t) {
                              ++calls;
                              throw Stop();
                            }),
               Stop);
  EXPECT_EQ(calls, 1);
  // The board is left usable.
  EXPECT_EQ(CodeOf([&] { board.port_read('B'); }), 0);
}

TEST_F(HppTest, ProgressSayingStopCancels) {
  tarvelin::Board board(Path());
  EXPECT_EQ(CodeOf([&] { board.sample(10, 0x3, 2, 200, [](int32_t, int32_t) { return false; }); }),
            TARVELIN_E_CANCELLED);
}

TEST_F(HppTest, CancelFromAnotherThreadEndsTheSampling) {
  tarvelin::Board board(Path());
  std::atomic<bool> started{false};
  std::thread canceller([&] {
    while (!started.load()) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    board.cancel();
  });
  const auto start = Clock::now();
  // About a minute of samples at rate code 7.
  const int32_t code = CodeOf([&] { board.sample(12, 0x1, 7, 1000, [&](int32_t, int32_t) { started.store(true); }); });
  canceller.join();
  EXPECT_EQ(code, TARVELIN_E_CANCELLED);
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(20));
}

TEST_F(HppTest, OversizedBlockIsRefusedWithoutItsBuffer) {
  tarvelin::Board board(Path());
  virtual_.ClearReceived();
  // 11 channels x INT32_MAX samples: never allocated, and refused by its count.
  EXPECT_EQ(CodeOf([&] { board.sample(12, 0x7FF, 2, INT32_MAX); }), TARVELIN_E_SAMPLE_COUNT);
  EXPECT_EQ(virtual_.Received().find("GS"), std::string::npos);
}

}  // namespace
