// The digital ports, the stepper and the PWM end to end against the board's own
// model, without scripted answers: what the board does with the commands the
// library sends, and the events it raises on its own.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <thread>

#include "support/board_fixture.h"
#include "tarvelin.h"

namespace {

using Clock = std::chrono::steady_clock;

// Polls until `poll` returns 1; false when it has not within a generous bound.
bool BecomesOne(const std::function<int32_t()>& poll) {
  const auto deadline = Clock::now() + std::chrono::seconds(5);
  while (poll() != 1) {
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

class DigitalIoModelTest : public test::OpenBoardTest {};

TEST_F(DigitalIoModelTest, PortWrittenOnlyOnceConfiguredAsOutput) {
  // Port A is an input at power-on: the board refuses the write.
  EXPECT_EQ(IOPortWrite('a', 170), -1);
  EXPECT_EQ(GetError(), 2);
  EXPECT_STREQ(GetErrorMessage(), " Command Error: Port must be configured or enabled first! (command = PWA170)");

  ASSERT_EQ(WriteCommand("PCA255"), 1) << GetErrorMessage();
  EXPECT_EQ(IOPortWrite('a', 170), 1) << GetErrorMessage();
  EXPECT_EQ(IOPortRead('A'), 170) << GetErrorMessage();
  EXPECT_EQ(IOPortWrite('A', -1), 1) << GetErrorMessage();
  EXPECT_EQ(IOPortRead('a'), 255);
  EXPECT_EQ(IOPortRead('b'), 255);  // B reads 255 at power-on

  EXPECT_EQ(IOPortWrite('c', 1), -1);  // C is still an input
  EXPECT_EQ(GetError(), 2);
}

TEST_F(DigitalIoModelTest, StepperRunsToItsEndOfTravel) {
  board_.SetTimeScale(100);
  EXPECT_EQ(MotorStop(), -1);  // disabled at power-on
  EXPECT_EQ(GetError(), 13);

  ASSERT_EQ(MotorGo('F', 'X', 200, 1000, 0, 0), 1) << GetErrorMessage();
  EXPECT_TRUE(BecomesOne(IntStatusL)) << "no end-of-travel event";
  EXPECT_EQ(GetMotorFlag(), 0);
  EXPECT_EQ(GetMotorCounter(), 200);
  EXPECT_EQ(MotorCounterReset(), 1);
  EXPECT_EQ(GetMotorCounter(), 0);

  // A long motion refuses a second start and a disable until it is stopped.
  ASSERT_EQ(MotorGo('R', 'X', 1000000, 10, 0, 0), 1) << GetErrorMessage();
  EXPECT_EQ(GetMotorFlag(), 1);
  EXPECT_EQ(MotorGo('F', 'X', 10, 10, 0, 0), -1);
  EXPECT_EQ(GetError(), 14);
  EXPECT_EQ(DisableMotor(), -1);
  EXPECT_EQ(GetError(), 14);
  EXPECT_EQ(MotorStop(), 1);
  EXPECT_EQ(GetMotorFlag(), 0);
  const int32_t counter = GetMotorCounter();
  EXPECT_LE(counter, 0);  // reverse counts down
  EXPECT_EQ(DisableMotor(), counter);  // the disable answers the counter

  EXPECT_EQ(MotorGo('F', 'X', 0, 10, 0, 0), -1);
  EXPECT_EQ(GetError(), 5);
}

TEST_F(DigitalIoModelTest, PwmRunEndsWithItsEvent) {
  board_.SetTimeScale(10);
  EXPECT_EQ(GetPWMFinishFlag(), 0);
  ASSERT_EQ(SetPWMFrequency(1000, 50, 100), 1) << GetErrorMessage();
  EXPECT_TRUE(BecomesOne(GetPWMFinishFlag)) << "no end-of-run event";
  EXPECT_EQ(GetPWMFinishFlag(), 0);
  EXPECT_EQ(GetPWMOutputCounter(), 100);
  EXPECT_EQ(GetPeriod(), 2000);

  // 1 % of a 15 kHz period is far below the shortest high time the board can make.
  EXPECT_EQ(SetPWMFrequency(15000, 1, 10), -1);
  EXPECT_EQ(GetError(), 8);
}

}  // namespace
