// The board's behavioural model over a real pseudo-terminal: ports and their
// directions, the port S reading, the stepper, the PWM, single conversions, the
// answer mode, the remote modules and the reset.
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <thread>

#include "board_host.h"

namespace {

using board_test::Host;
using board_test::ValueIn;

constexpr char kPrompt[] = "\r\n>";

std::string Error(char digit) { return std::string("\r\n?") + digit + "\r\n>"; }

class ModelTest : public board_test::BoardHostTest {};

TEST_F(ModelTest, PortsTakeWritesOnlyWithOutputBits) {
  EXPECT_EQ(host_->Exchange("PWC17"), Error('2'));  // every port is an input at power-on
  EXPECT_EQ(host_->Exchange("PWA1"), Error('2'));
  EXPECT_EQ(board_.PortRegister('C'), 0);
  EXPECT_EQ(host_->Exchange("PCC$F0"), kPrompt);
  EXPECT_EQ(board_.PortDirection('C'), 0xF0);
  EXPECT_EQ(host_->Exchange("PWC17"), kPrompt);
  EXPECT_EQ(host_->Exchange("PRC"), "\r\nC=17\r\n>");
  EXPECT_EQ(host_->Exchange("PWC-1"), kPrompt);  // -1 is stored as 255
  EXPECT_EQ(host_->Exchange("PRC"), "\r\nC=255\r\n>");
  EXPECT_EQ(host_->Exchange("PWC-2"), Error('5'));
  EXPECT_EQ(host_->Exchange("PCC256"), Error('5'));
  EXPECT_EQ(host_->Exchange("PCC"), Error('5'));
  EXPECT_EQ(host_->Exchange("PCX1"), Error('4'));
  EXPECT_EQ(board_.PortDirection('C'), 0xF0);
  EXPECT_EQ(board_.PortDirection('x'), -1);

  EXPECT_EQ(host_->Exchange("PWD$80"), Error('2'));
  EXPECT_FALSE(board_.AdcConfigured());
  EXPECT_EQ(host_->Exchange("PCD$98"), kPrompt);
  EXPECT_TRUE(board_.AdcConfigured());
  EXPECT_EQ(host_->Exchange("PWD0"), kPrompt);
  EXPECT_EQ(host_->Exchange("PWD128"), kPrompt);
  EXPECT_EQ(board_.PortRegister('D'), 128);
  EXPECT_EQ(host_->Exchange("PWS$60"), Error('2'));  // port S has neither outputs nor its special function
}

TEST_F(ModelTest, PortSGivesTheTenBitReadingInTwoBytes) {
  board_.SetAnalogOverride(12, 800 << 2);  // input M: 800 at 10 bits
  board_.SetAnalogOverride(13, 421 << 2);  // input N: 421
  EXPECT_EQ(host_->Exchange("PCSA5"), Error('5'));
  EXPECT_EQ(host_->Exchange("PCSA128"), kPrompt);
  EXPECT_EQ(host_->Exchange("PWS$60"), kPrompt);
  EXPECT_EQ(host_->Exchange("PRS"), "\r\nS=3\r\n>");   // bits 9..8
  EXPECT_EQ(host_->Exchange("PRS"), "\r\nS=32\r\n>");  // bits 7..0
  EXPECT_EQ(host_->Exchange("PRS"), "\r\nS=96\r\n>");  // then the register again
  EXPECT_EQ(host_->Exchange("PWS$70"), kPrompt);
  EXPECT_EQ(host_->Exchange("PRS"), "\r\nS=1\r\n>");
  EXPECT_EQ(host_->Exchange("PRS"), "\r\nS=165\r\n>");

  // Unpinned, the reading is channel 12's signal at 10 bits: within 40 % of mid-scale.
  board_.SetAnalogOverride(12, -1);
  EXPECT_EQ(host_->Exchange("PWS$60"), kPrompt);
  const long long high = ValueIn(host_->Exchange("PRS"));
  const long long low = ValueIn(host_->Exchange("PRS"));
  ASSERT_TRUE(high >= 0 && high <= 3 && low >= 0 && low <= 255) << high << " " << low;
  const long long reading = high << 8 | low;
  EXPECT_GE(reading, 512 - 410);
  EXPECT_LE(reading, 512 + 410);
}

TEST_F(ModelTest, StepperRunsToTheEndOfTravelAndSaysL) {
  EXPECT_EQ(host_->Exchange("SS"), Error('D'));  // not enabled
  EXPECT_EQ(host_->Exchange("SFX0;100;0;0"), Error('5'));
  EXPECT_EQ(host_->Exchange("SFX100;-1;0;0"), Error('5'));
  EXPECT_EQ(host_->Exchange("SFX100;10;0"), Error('5'));
  EXPECT_EQ(host_->Exchange("SXY200;10;20;30"), Error('1'));  // neither forward nor reverse
  EXPECT_FALSE(board_.StepperEnabled());

  board_.SetTimeScale(2);  // 100 ms of travel: the prompt is read well before the event
  EXPECT_EQ(host_->Exchange("SFX200;1000;0;0"), kPrompt);
  EXPECT_TRUE(board_.StepperEnabled());
  // Nothing is asked meanwhile: the event comes on its own.
  EXPECT_EQ(host_->ReadUntil("L", 5000), "L");
  EXPECT_EQ(host_->Exchange("SN"), "\r\nN=200\r\n>");
  EXPECT_EQ(host_->Exchange("S?"), "\r\nM=0\r\n>");
  EXPECT_EQ(host_->Exchange("SRq50;250;-7;2147483647"), kPrompt);  // reverse counts down
  EXPECT_EQ(host_->ReadUntil("L", 5000), "L");
  EXPECT_EQ(host_->Exchange("SN"), "\r\nN=150\r\n>");
  EXPECT_EQ(board_.StepperCounter(), 150);
  EXPECT_FALSE(board_.StepperRunning());
}

TEST_F(ModelTest, StepperRefusesWhatARunningMotorCannotDo) {
  EXPECT_EQ(host_->Exchange("SD"), "\r\nN=0\r\n>");  // disabling a disabled stepper answers the counter
  EXPECT_EQ(host_->Exchange("SFX2000;1000;0;0"), kPrompt);  // two seconds of travel
  EXPECT_TRUE(board_.StepperRunning());
  EXPECT_EQ(host_->Exchange("S?"), "\r\nM=1\r\n>");
  EXPECT_EQ(host_->Exchange("SFX1;1;0;0"), Error('E'));
  EXPECT_EQ(host_->Exchange("SR"), Error('E'));
  EXPECT_EQ(host_->Exchange("SD"), Error('E'));
  EXPECT_EQ(host_->Exchange("SS"), kPrompt);
  EXPECT_FALSE(board_.StepperRunning());
  const long long stopped = ValueIn(host_->Exchange("SN"));
  EXPECT_GE(stopped, 0);
  EXPECT_LT(stopped, 2000);
  // The stopped motion's end passes without an event, and the counter stays.
  board_.SetTimeScale(1e5);
  EXPECT_EQ(host_->Read(200, false), "");
  EXPECT_EQ(ValueIn(host_->Exchange("SN")), stopped);

  EXPECT_EQ(host_->Exchange("SR"), kPrompt);
  EXPECT_EQ(host_->Exchange("SD"), "\r\nN=0\r\n>");
  EXPECT_FALSE(board_.StepperEnabled());
  EXPECT_EQ(host_->Exchange("SS"), Error('D'));
}

TEST_F(ModelTest, PwmCountsPulsesAndSaysPWhenTheRunIsOut) {
  EXPECT_EQ(host_->Exchange("W1000;50;100"), kPrompt);
  EXPECT_EQ(host_->ReadUntil("P", 5000), "P");
  EXPECT_EQ(host_->Exchange("WN"), "\r\nW=100\r\n>");
  EXPECT_EQ(board_.PwmPulses(), 100);
  EXPECT_FALSE(board_.PwmRunning());

  // High or low time under 20 us.
  EXPECT_EQ(host_->Exchange("W15000;10;0"), Error('8'));
  EXPECT_EQ(host_->Exchange("W15000;90;0"), Error('8'));
  EXPECT_EQ(host_->Exchange("W1000;1;0"), Error('8'));
  EXPECT_EQ(host_->Exchange("W500;1;0"), kPrompt);      // exactly 20 us is enough
  EXPECT_EQ(host_->Exchange("W15000;100;5"), kPrompt);  // a held output has no edges
  EXPECT_EQ(host_->Exchange("W1000;101;0"), Error('5'));
  EXPECT_EQ(host_->Exchange("W0;50;0"), Error('5'));
  EXPECT_EQ(host_->Exchange("W1000;50;-1"), Error('5'));
  EXPECT_EQ(host_->Exchange("W1000;50"), Error('5'));

  // Until stopped: the count grows; duty 0 holds the output and ends the run.
  EXPECT_EQ(host_->Exchange("W15000;50;0"), kPrompt);
  const long long first = ValueIn(host_->Exchange("WN"));
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_GT(ValueIn(host_->Exchange("WN")), first);
  EXPECT_TRUE(board_.PwmRunning());
  EXPECT_EQ(host_->Exchange("W1000;0;0"), kPrompt);
  EXPECT_EQ(host_->Exchange("WN"), "\r\nW=0\r\n>");
  EXPECT_FALSE(board_.PwmRunning());
  EXPECT_EQ(host_->Exchange("GP"), "\r\nT=2000\r\n>");
}

TEST_F(ModelTest, ConversionsStayInRangeAtEachWidth) {
  EXPECT_EQ(host_->Exchange("GA12;0"), Error('2'));  // the analog pins are not set up yet
  ASSERT_EQ(host_->Exchange("PCD$98"), kPrompt);
  EXPECT_EQ(host_->Exchange("GA12;15"), Error('5'));
  EXPECT_EQ(host_->Exchange("GA12;-1"), Error('5'));
  EXPECT_EQ(host_->Exchange("GA9;0"), Error('5'));
  EXPECT_EQ(host_->Exchange("GA12"), Error('5'));

  for (const int bits : {8, 10, 12}) {
    const long long mid = 1LL << (bits - 1);
    const long long swing = (4 * (1LL << bits) + 9) / 10;  // 40 % of full scale, rounded up
    for (int channel = 0; channel < 14; ++channel) {
      const std::string command = "GA" + std::to_string(bits) + ";" + std::to_string(channel);
      const long long value = ValueIn(host_->Exchange(command));
      EXPECT_GE(value, mid - swing) << command;
      EXPECT_LE(value, mid + swing) << command;
    }
    EXPECT_EQ(ValueIn(host_->Exchange("GA" + std::to_string(bits) + ";14")), 3LL << (bits - 2));
  }

  // A signal, not a constant: channel 0 repeats every 100 ms.
  std::set<long long> seen;
  for (int i = 0; i < 8; ++i) {
    seen.insert(ValueIn(host_->Exchange("GA12;0")));
    std::this_thread::sleep_for(std::chrono::milliseconds(7));
  }
  EXPECT_GT(seen.size(), 2u);

  board_.SetAnalogOverride(3, 1000);
  EXPECT_EQ(host_->Exchange("GA12;3"), "\r\nV=1000\r\n>");
  EXPECT_EQ(host_->Exchange("GA10;3"), "\r\nV=250\r\n>");
  EXPECT_EQ(host_->Exchange("GA8;3"), "\r\nV=62\r\n>");
}

TEST_F(ModelTest, AnswerModeLeavesOutTheTwoCharacters) {
  board_.SetPortRegister('A', 37);
  EXPECT_EQ(host_->Exchange("CRAP"), kPrompt);
  EXPECT_TRUE(board_.Io485Mode());
  EXPECT_EQ(host_->Exchange("PRA"), "\r\n37\r\n>");
  EXPECT_EQ(host_->Exchange("GP"), "\r\n2000\r\n>");
  EXPECT_EQ(host_->Exchange("PRX"), Error('4'));  // device errors keep their form
  EXPECT_EQ(host_->Exchange("CRAX"), Error('1'));
  EXPECT_EQ(host_->Exchange("crad"), kPrompt);
  EXPECT_FALSE(board_.Io485Mode());
  EXPECT_EQ(host_->Exchange("PRB"), "\r\nB=255\r\n>");
  EXPECT_EQ(host_->Exchange("CRAP"), kPrompt);
  EXPECT_EQ(host_->Exchange("CRAH"), kPrompt);
  EXPECT_EQ(host_->Exchange("SN"), "\r\nN=0\r\n>");
}

TEST_F(ModelTest, PortAWritesSelectRemoteModules) {
  EXPECT_EQ(host_->Exchange("PWA2"), Error('2'));  // port A drives the bus once it is an output
  EXPECT_EQ(board_.SelectedModules(), 0u);
  ASSERT_EQ(host_->Exchange("PCA255"), kPrompt);
  EXPECT_EQ(host_->Exchange("PWA37"), kPrompt);  // module 5, IC 1: nobody there
  EXPECT_EQ(board_.SelectedModules(), 0u);
  ASSERT_EQ(host_->Exchange("CRAP"), kPrompt);
  EXPECT_EQ(host_->Exchange("PRB"), Error('7'));
  EXPECT_EQ(host_->Exchange("PWB1"), Error('7'));

  EXPECT_EQ(host_->Exchange("PWA2"), kPrompt);
  EXPECT_EQ(board_.SelectedModules(), 1u << 2);
  EXPECT_EQ(host_->Exchange("PWB55"), kPrompt);
  EXPECT_EQ(board_.ModuleRegister(2, 'B'), 55);
  EXPECT_EQ(board_.PortRegister('B'), 255);  // the board's own port is untouched
  EXPECT_EQ(host_->Exchange("PRB"), "\r\n55\r\n>");

  EXPECT_EQ(host_->Exchange("PWA224"), kPrompt);  // broadcast, IC 3
  EXPECT_EQ(board_.SelectedModules(), 0xFu);
  EXPECT_EQ(host_->Exchange("PWC9"), kPrompt);
  for (int module = 0; module < 4; ++module) EXPECT_EQ(board_.ModuleRegister(module, 'C'), 9);
  EXPECT_EQ(host_->Exchange("PRC"), Error('7'));  // every module would answer at once

  EXPECT_EQ(host_->Exchange("PWA1"), kPrompt);
  board_.SetModuleRegister(1, 'b', 77);
  EXPECT_EQ(host_->Exchange("PRB"), "\r\n77\r\n>");
  EXPECT_EQ(host_->Exchange("PRC"), "\r\n9\r\n>");
  EXPECT_EQ(board_.ModuleRegister(4, 'B'), -1);
  EXPECT_EQ(board_.ModuleRegister(0, 'D'), -1);

  ASSERT_EQ(host_->Exchange("CRAD"), kPrompt);
  EXPECT_EQ(host_->Exchange("PRB"), "\r\nB=255\r\n>");
  EXPECT_EQ(host_->Exchange("PWB1"), Error('2'));
}

TEST_F(ModelTest, ResetAnswersAtTheCurrentRateThenPowersOn) {
  for (const char* command : {"PCA255", "PWA5", "PCD$98", "CRAP", "SFX1000000;1000;0;0", "W1000;50;0"}) {
    ASSERT_EQ(host_->Exchange(command), kPrompt) << command;
  }
  ASSERT_EQ(host_->Exchange("B19200"), kPrompt);
  ASSERT_TRUE(host_->SetRate(B19200));
  EXPECT_EQ(host_->Exchange("RESET1"), Error('1'));
  board_.ClearReceived();
  EXPECT_EQ(host_->Exchange("reset"), kPrompt);
  EXPECT_EQ(board_.BoardBaud(), 9600u);
  const auto segments = board_.ReceivedByRate();
  ASSERT_EQ(segments.size(), 1u);
  EXPECT_EQ(segments[0].baud, 19200u);

  ASSERT_TRUE(host_->SetRate(B9600));
  EXPECT_EQ(host_->Exchange("PRB"), "\r\nB=255\r\n>");
  EXPECT_EQ(host_->Exchange("PRA"), "\r\nA=0\r\n>");
  EXPECT_EQ(board_.PortDirection('A'), 0);
  EXPECT_FALSE(board_.Io485Mode());
  EXPECT_FALSE(board_.AdcConfigured());
  EXPECT_EQ(board_.SelectedModules(), 0u);
  EXPECT_FALSE(board_.StepperEnabled());
  EXPECT_FALSE(board_.StepperRunning());
  EXPECT_FALSE(board_.PwmRunning());
  EXPECT_EQ(board_.StepperCounter(), 0);
  // The motion and the run were stopped, not finished: no events follow.
  board_.SetTimeScale(1e6);
  EXPECT_EQ(host_->Read(200, false), "");
}

}  // namespace
