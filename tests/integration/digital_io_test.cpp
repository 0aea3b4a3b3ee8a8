// The digital ports, the stepper and the PWM over a pseudo-terminal against a
// scripted board: argument checks and their order, the exact command texts, the
// latched events, and the transaction's errors passed through unchanged.
#include <gtest/gtest.h>

#include <chrono>
#include <climits>
#include <functional>
#include <map>
#include <string>
#include <thread>
#include <utility>

#include "protocol/result_state.h"
#include "serial/comm_channel.h"
#include "support/board_fixture.h"
#include "tarvelin.h"

namespace {

using Clock = std::chrono::steady_clock;

// True once `condition` holds; false when it has not within a generous bound.
bool Eventually(const std::function<bool()>& condition) {
  const auto deadline = Clock::now() + std::chrono::seconds(3);
  while (!condition()) {
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

class DigitalIoTest : public test::OpenBoardTest {
 protected:
  // Answers the listed commands with their texts and everything else with a bare
  // prompt; lone carriage returns get nothing.
  void Answer(std::map<std::string, std::string> answers) {
    board_.SetResponder([answers](const std::string& line) -> std::optional<std::string> {
      if (line.empty()) return std::string();
      const auto found = answers.find(line);
      return found != answers.end() ? found->second : std::string("\r\n>");
    });
  }

  // What went out since the last check. A refused call sends nothing, so the
  // call behind it must be the first thing on the wire; its answer proves that
  // everything sent before it has arrived.
  std::string Sent() {
    std::string sent = board_.Received();
    board_.ClearReceived();
    return sent;
  }

  void ExpectError(int32_t code, const char* text) {
    EXPECT_EQ(GetError(), code);
    EXPECT_STREQ(GetErrorMessage(), text);
  }
};

constexpr char kValueRangeText[] = " Value is out of range. The Value needs to be 0 < Value <256  ";

TEST_F(DigitalIoTest, ReadUpperCasesTheLetterAndRefusesOthers) {
  Answer({{"PRB", "\r\nB=37\r\n>"}, {"PRS", "\r\nS=0\r\n>"}, {"PRA", "\r\nA=12\r\n>"}});
  EXPECT_EQ(IOPortRead('b'), 37);
  EXPECT_EQ(IOPortRead('s'), 0);
  EXPECT_EQ(IOPortRead(0x7F00 + 'a'), 12);  // only the low byte names the port
  EXPECT_EQ(Sent(), "PRB\rPRS\rPRA\r");

  for (const int32_t refused : {int32_t{'E'}, int32_t{'e'}, int32_t{'z'}, int32_t{'@'}, 0, 0x100, 'A' + 0x80}) {
    EXPECT_EQ(IOPortRead(refused), -1) << refused;
    ExpectError(4, "No such port");
    EXPECT_EQ(GetValue(), 12);  // refused before the transaction touched anything
  }
  EXPECT_EQ(IOPortRead('d'), 0);
  EXPECT_EQ(Sent(), "PRD\r");
}

TEST_F(DigitalIoTest, WriteChecksTheValueBeforeTheLetter) {
  Answer({});
  EXPECT_EQ(IOPortWrite('A', 255), 1);
  EXPECT_EQ(IOPortWrite('a', -1), 1);
  EXPECT_EQ(IOPortWrite('c', 17), 1);
  EXPECT_EQ(IOPortWrite('S', 0), 1);
  EXPECT_EQ(Sent(), "PWA255\rPWA-1\rPWC17\rPWS0\r");

  for (const int32_t value : {256, -2, INT32_MAX, INT32_MIN}) {
    EXPECT_EQ(IOPortWrite('A', value), -1) << value;
    ExpectError(80, kValueRangeText);
  }
  EXPECT_EQ(IOPortWrite('x', 300), -1);  // both wrong: the value decides
  ExpectError(80, kValueRangeText);
  EXPECT_EQ(IOPortWrite('E', 0), -1);
  ExpectError(81, "Wrong Port selected");
  EXPECT_EQ(IOPortWrite(0, 5), -1);
  ExpectError(81, "Wrong Port selected");
  EXPECT_EQ(IOPortWrite('b', 1), 1);
  EXPECT_EQ(Sent(), "PWB1\r");
}

TEST_F(DigitalIoTest, MotorGoSendsItsArgumentsUnchanged) {
  Answer({});
  EXPECT_EQ(MotorGo('X', 'Y', 200, 10, 20, 30), 1);
  EXPECT_EQ(MotorGo('f', 'x' + 0x4200, 0, -5, 0, 7), 1);  // no upper-casing; low bytes only
  EXPECT_EQ(Sent(), "SXY200;10;20;30\rSfx0;-5;0;7\r");

  // The longest text: every number at its widest.
  EXPECT_EQ(MotorGo('R', 'Z', INT32_MIN, INT32_MIN, INT32_MIN, INT32_MIN), 1);
  const std::string longest = "SRZ-2147483648;-2147483648;-2147483648;-2147483648";
  ASSERT_EQ(longest.size(), 50u);
  EXPECT_EQ(Sent(), longest + "\r");
}

TEST_F(DigitalIoTest, MotorGoRefusesControlCharacters) {
  Answer({});
  const std::pair<int32_t, int32_t> refused[] = {{'\r', 'Y'}, {'X', 0}, {31, 'Y'}, {'X', 127}, {0x4200 + '\n', 'Y'}};
  for (const auto& [first, second] : refused) {
    SCOPED_TRACE(testing::Message() << first << "," << second);
    DefaultBoard().LastValue = 9;
    EXPECT_EQ(MotorGo(first, second, 1, 2, 3, 4), -1);
    ExpectError(34, "The two characters of MotorGo must be printable (codes 32 to 126)");
    EXPECT_EQ(GetValue(), 9);
  }
  // The printable edges and bytes above 127 go out as they are.
  EXPECT_EQ(MotorGo(' ', '~', 1, 2, 3, 4), 1);
  EXPECT_EQ(MotorGo(0xE9, 'Y', 1, 2, 3, 4), 1);
  EXPECT_EQ(Sent(), "S ~1;2;3;4\rS\xE9Y1;2;3;4\r");
}

TEST_F(DigitalIoTest, StepperCommandsAndTheirResults) {
  Answer({{"SN", "\r\nN=-200\r\n>"}, {"S?", "\r\nF=1\r\n>"}, {"SD", "\r\nD=123\r\n>"}, {"SS", "\r\nS=9\r\n>"}});
  EXPECT_EQ(MotorStop(), 1);  // an acknowledgement, whatever value the answer carries
  EXPECT_EQ(MotorCounterReset(), 1);
  EXPECT_EQ(GetMotorCounter(), -200);
  EXPECT_EQ(GetMotorFlag(), 1);
  EXPECT_EQ(DisableMotor(), 123);  // the value of the answer, not 1
  EXPECT_EQ(Sent(), "SS\rSR\rSN\rS?\rSD\r");

  Answer({{"SN", "\r\nN=0\r\n>"}});
  EXPECT_EQ(GetMotorCounter(), 0);
  EXPECT_EQ(GetError(), -1);

  // The stepper's own refusals come back as the board's errors.
  board_.SetDeviceErrorOnce('E');
  EXPECT_EQ(MotorGo('F', 'X', 200, 1000, 0, 0), -1);
  ExpectError(14, " Command Error: Stepper running, do stop first! (command = SFX200;1000;0;0)");
  board_.SetDeviceErrorOnce('D');
  EXPECT_EQ(DisableMotor(), -1);
  ExpectError(13, " Command Error: Stepper Motor not enable (command = SD)");
  board_.SetDeviceErrorOnce('A');
  EXPECT_EQ(GetMotorFlag(), -1);
  EXPECT_EQ(GetError(), 10);
}

TEST_F(DigitalIoTest, LimitEventFromTheStepperLatches) {
  Answer({});
  ASSERT_EQ(MotorGo('F', 'X', 200, 1000, 0, 0), 1);
  board_.SendRaw("L");  // end of travel, unsolicited
  EXPECT_TRUE(Eventually([] { return DefaultBoard().LimitEvent.load() != 0; }));
  EXPECT_EQ(IntStatusL(), 1);
  EXPECT_EQ(IntStatusL(), 0);
  // A call whose answer trickles in long enough for the reader to sleep aside:
  // the reader reads the line again once it ends.
  board_.SetChunking(2, 20);
  ASSERT_EQ(MotorGo('F', 'X', 200, 1000, 0, 0), 1);
  board_.SetChunking(0, 0);
  board_.SendRaw("L");
  EXPECT_TRUE(Eventually([] { return DefaultBoard().LimitEvent.load() != 0; }));
}

TEST_F(DigitalIoTest, PwmRangesInTheirOrder) {
  Answer({});
  EXPECT_EQ(SetPWMFrequency(15, 50, 100), 1);
  EXPECT_EQ(SetPWMFrequency(15000, 100, 16000000), 1);
  EXPECT_EQ(SetPWMFrequency(1000, 0, 0), 1);
  EXPECT_EQ(Sent(), "W15;50;100\rW15000;100;16000000\rW1000;0;0\r");

  struct Refused {
    int32_t frequency, dutyCycle, pulses, code;
    const char* text;
  };
  const Refused refused[] = {
      {14, 50, 100, 60, " Error in setting PWM's frequency"},
      {15001, 50, 100, 60, " Error in setting PWM's frequency"},
      {INT32_MIN, 50, 100, 60, " Error in setting PWM's frequency"},
      {0, 101, -1, 60, " Error in setting PWM's frequency"},  // all three bad: the first check decides
      {1000, 101, 0, 61, " Error in setting PWM's Duty Cycle"},
      {1000, -1, 16000001, 61, " Error in setting PWM's Duty Cycle"},
      {1000, 50, 16000001, 62, " Error in setting  PWM's Pulses"},
      {1000, 50, -1, 62, " Error in setting  PWM's Pulses"},
  };
  for (const Refused& r : refused) {
    EXPECT_EQ(SetPWMFrequency(r.frequency, r.dutyCycle, r.pulses), -1) << r.frequency << " " << r.dutyCycle;
    ExpectError(r.code, r.text);
  }
  EXPECT_EQ(SetPWMFrequency(20, 1, 2), 1);
  EXPECT_EQ(Sent(), "W20;1;2\r");

  board_.SetDeviceErrorOnce('8');
  EXPECT_EQ(SetPWMFrequency(15000, 1, 10), -1);
  ExpectError(8, " Command Error: Frequency too high for required duty cycle (command = W15000;1;10)");
}

TEST_F(DigitalIoTest, PwmCounterPeriodAndTheFinishFlag) {
  Answer({{"WN", "\r\nN=100\r\n>"}, {"GP", "\r\nT=2000\r\n>"}});
  EXPECT_EQ(GetPWMOutputCounter(), 100);
  EXPECT_EQ(GetPeriod(), 2000);
  EXPECT_EQ(Sent(), "WN\rGP\r");

  // A "P" from the previous run survives the start of the next one.
  EXPECT_EQ(GetPWMFinishFlag(), 0);
  board_.SendRaw("P");
  ASSERT_TRUE(Eventually([] { return DefaultBoard().PwmFinished.load() != 0; }));
  ASSERT_EQ(SetPWMFrequency(1000, 50, 100), 1);
  EXPECT_EQ(SetPWMFrequency(1, 50, 100), -1);
  DefaultBoard().LastValue = 77;
  EXPECT_EQ(GetPWMFinishFlag(), 1);
  EXPECT_EQ(GetPWMFinishFlag(), 0);
  // The poll sends nothing and leaves the result state alone.
  EXPECT_EQ(GetError(), 60);
  EXPECT_EQ(GetValue(), 77);
  EXPECT_EQ(GetPeriod(), 2000);
  EXPECT_EQ(Sent(), "W1000;50;100\rGP\r");
}

TEST_F(DigitalIoTest, TransactionFailuresPassThrough) {
  board_.SetDeviceErrorOnce('2');
  EXPECT_EQ(IOPortWrite('c', 17), -1);
  ExpectError(2, " Command Error: Port must be configured or enabled first! (command = PWC17)");
  board_.SetDeviceErrorOnce('4');
  EXPECT_EQ(IOPortRead('D'), -1);
  ExpectError(4, " Command Error: No such port (command = PRD)");  // the board's text, not the library's

  board_.SetSilent(true);
  EXPECT_EQ(GetMotorCounter(), -1);  // -1, not the LastValue of 0 that the transaction left
  ExpectError(26, " Error Command: COM port timed out (command = SN)");
}

class DigitalIoNoPortTest : public test::BoardTest {};

TEST_F(DigitalIoNoPortTest, OwnChecksComeFirstThenNoPort) {
  const char* const kNoPort = "Commands cannot be sent before a COM port is open";
  EXPECT_EQ(IOPortRead('Q'), -1);
  EXPECT_EQ(GetError(), 4);
  EXPECT_EQ(IOPortWrite('A', 999), -1);
  EXPECT_EQ(GetError(), 80);
  EXPECT_EQ(SetPWMFrequency(1000, 50, -1), -1);
  EXPECT_EQ(GetError(), 62);

  const std::function<int32_t()> calls[] = {
      [] { return IOPortRead('a'); },      [] { return IOPortWrite('b', 1); },
      [] { return MotorGo('F', 'X', 1, 2, 3, 4); }, [] { return MotorStop(); },
      [] { return MotorCounterReset(); }, [] { return GetMotorCounter(); },
      [] { return GetMotorFlag(); },      [] { return DisableMotor(); },
      [] { return SetPWMFrequency(1000, 50, 100); }, [] { return GetPWMOutputCounter(); },
      [] { return GetPeriod(); },
  };
  for (const auto& call : calls) {
    EXPECT_EQ(call(), -1);
    EXPECT_EQ(GetError(), 25);
    EXPECT_STREQ(GetErrorMessage(), kNoPort);
  }
  // The flag poll needs no port.
  DefaultBoard().PwmFinished.store(1);
  EXPECT_EQ(GetPWMFinishFlag(), 1);
  EXPECT_EQ(GetPWMFinishFlag(), 0);
  EXPECT_EQ(GetError(), 25);
  EXPECT_FALSE(board_.WaitForReceived(1, 100));
}

}  // namespace
