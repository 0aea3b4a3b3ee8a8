// Block sampling and unsolicited events on the wire: the records' form and order,
// the pace, a block of the largest size, a slow reader, events placed between
// answers and between records, and commands that arrive while a block goes out.
#include <gtest/gtest.h>

#include <cctype>
#include <iostream>
#include <string>
#include <thread>

#include "board_host.h"

namespace {

using board_test::Clock;
using board_test::MsSince;

std::string Error(char digit) { return std::string("\r\n?") + digit + "\r\n>"; }

// "\r\n", `samples` times the records, "\r\n>".
std::string Block(const std::string& records, int samples) {
  std::string text = "\r\n";
  for (int i = 0; i < samples; ++i) text += records;
  return text + "\r\n>";
}

// Checks the framing and record form of a block of `values` records of `digits`
// digits each; the values must lie in [low, high].
::testing::AssertionResult WellFormed(const std::string& text, size_t values, int digits, int low, int high) {
  const size_t record = static_cast<size_t>(digits) + 1;
  if (text.size() != 2 + values * record + 3) return ::testing::AssertionFailure() << "size " << text.size();
  if (text.compare(0, 2, "\r\n") != 0 || text.compare(text.size() - 3, 3, "\r\n>") != 0) {
    return ::testing::AssertionFailure() << "framing";
  }
  for (size_t i = 0; i < values; ++i) {
    const size_t at = 2 + i * record;
    if (text[at] != '*') return ::testing::AssertionFailure() << "record " << i << " has no '*'";
    int value = 0;
    for (size_t d = 1; d < record; ++d) {
      const char c = text[at + d];
      if (!std::isdigit(static_cast<unsigned char>(c))) return ::testing::AssertionFailure() << "record " << i;
      value = value * 10 + (c - '0');
    }
    if (value < low || value > high) return ::testing::AssertionFailure() << "record " << i << " = " << value;
  }
  return ::testing::AssertionSuccess();
}

class BlockTest : public board_test::BoardHostTest {};

TEST_F(BlockTest, RecordsComeInChannelOrderAtEachWidth) {
  board_.SetAnalogOverride(0, 100);
  board_.SetAnalogOverride(2, 2000);
  board_.SetAnalogOverride(5, 4095);
  // Mask 37: channels 0, 2 and 5.
  EXPECT_EQ(host_->Exchange("GS12;37;0;3"), Block("*0100*2000*4095", 3));
  EXPECT_EQ(host_->Exchange("GS10;37;1;2;G"), Block("*0025*0500*1023", 2));
  EXPECT_EQ(host_->Exchange("gs8;5;2;2"), Block("*006*125", 2));

  // Four channels keep up with rate code 0, five do not.
  EXPECT_EQ(host_->Exchange("GS12;31;0;10"), Error('F'));
  EXPECT_EQ(host_->Exchange("GS12;15;0;2").size(), 2u + 8 * 5 + 3);

  for (const char* bad : {"GS12;0;1;1", "GS12;2048;1;1", "GS12;1;8;1", "GS12;1;-1;1", "GS12;1;1;0",
                          "GS12;1;1;-5", "GS12;1;1;65537", "GS9;1;1;1", "GS12;1;1;1;X", "GS12;1;1",
                          "GS12;1;1;1;G;G", "GS12;1;x;1"}) {
    EXPECT_EQ(host_->Exchange(bad), Error('5')) << bad;
  }

  // Unpinned channels carry their signals: in range, and not one constant.
  const std::string block = host_->Exchange("GS12;2;1;200");
  EXPECT_TRUE(WellFormed(block, 200, 4, 2048 - 1639, 2048 + 1639));
  EXPECT_NE(block.substr(2, 5), block.substr(2 + 50 * 5, 5));
}

TEST_F(BlockTest, SamplesArePacedByTheRateCode) {
  // Rate code 7 takes 62.5 ms per sample: eight samples cannot be out in under 500 ms.
  const auto start = Clock::now();
  const std::string block = host_->Exchange("GS8;1;7;8");
  EXPECT_GE(MsSince(start), 450);
  EXPECT_TRUE(WellFormed(block, 8, 3, 0, 255));
}

TEST_F(BlockTest, LargestBlockGoesOutWhole) {
  board_.SetTimeScale(1e5);
  const auto start = Clock::now();
  ASSERT_TRUE(host_->Send("GS12;2047;1;65536\r"));
  const std::string block = host_->ReadUntil(">", 60000);
  const long long ms = MsSince(start);
  EXPECT_TRUE(WellFormed(block, 720896, 4, 0, 4095));
  std::cout << "[ timing ] 720,896 values at 12 bits (" << block.size() << " bytes) in " << ms << " ms\n";
}

TEST_F(BlockTest, SlowReaderLosesNothing) {
  // 55 kB read 2 kB at a time every 100 ms: the board waits on a full terminal for
  // longer than its stall limit in total, but the host keeps taking bytes.
  board_.SetTimeScale(1e5);
  ASSERT_TRUE(host_->Send("GS12;2047;1;1000\r"));
  std::string block;
  const auto start = Clock::now();
  while (block.find('>') == std::string::npos && MsSince(start) < 20000) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    block += host_->ReadUntil(">", 50, 2048, 2048);
  }
  EXPECT_GT(MsSince(start), 2000);
  EXPECT_TRUE(WellFormed(block, 11000, 4, 0, 4095));
}

TEST_F(BlockTest, EventsGoBetweenAnswersNeverInside) {
  // The motion ends while the answer trickles out in pieces: the event waits for its end.
  EXPECT_EQ(host_->Exchange("SFX100;1000;0;0"), "\r\n>");
  board_.SetChunking(2, 40);
  ASSERT_TRUE(host_->Send("PRB\r"));
  std::string text = host_->ReadUntil(">", 3000);
  if (text.find('L') == std::string::npos) text += host_->ReadUntil("L", 3000);
  EXPECT_TRUE(text == "\r\nB=255\r\n>L" || text == "L\r\nB=255\r\n>") << text;
  board_.SetChunking(0, 0);

  // An event during a block falls between records: the block is intact without it.
  board_.SetAnalogOverride(0, 1234);
  EXPECT_EQ(host_->Exchange("SFX50;200;0;0"), "\r\n>");  // ends after 250 ms
  ASSERT_TRUE(host_->Send("GS12;1;4;100\r"));            // 100 samples at 5.625 ms
  text = host_->ReadUntil(">", 5000);
  if (text.find('L') == std::string::npos) text += host_->ReadUntil("L", 3000);
  const size_t event = text.find('L');
  ASSERT_NE(event, std::string::npos);
  EXPECT_EQ(text.find('L', event + 1), std::string::npos);
  std::string block = text;
  block.erase(event, 1);
  EXPECT_EQ(block, Block("*1234", 100));
  const bool afterRecordOrFrame = event == 0 || text[event - 1] == '4' || text[event - 1] == '\n' ||
                                  text[event - 1] == '>';
  const bool beforeRecordOrFrame = event + 1 == text.size() || text[event + 1] == '*' || text[event + 1] == '\r';
  EXPECT_TRUE(afterRecordOrFrame && beforeRecordOrFrame) << text.substr(event > 6 ? event - 6 : 0, 13);
}

TEST_F(BlockTest, CommandsDuringABlockAreAnsweredAfterIt) {
  board_.SetAnalogOverride(1, 4095);
  ASSERT_TRUE(host_->Send("GS12;2;7;4\r"));  // 250 ms
  ASSERT_TRUE(board_.WaitForLines(1, 1000));
  ASSERT_TRUE(host_->Send("GS12;2;0;1\rPRB\r"));
  EXPECT_EQ(host_->ReadUntil("B=255\r\n>", 3000), Block("*4095", 4) + Error('3') + "\r\nB=255\r\n>");

  // A reset ends a block where it stands; the reset's own prompt follows.
  ASSERT_TRUE(host_->Send("GS12;2;7;1000\r"));
  ASSERT_TRUE(host_->ReadUntil("*4095", 3000).size() > 0);
  ASSERT_TRUE(host_->Send("RESET\r"));
  const std::string rest = host_->ReadUntil(">", 3000);
  EXPECT_EQ(rest.substr(rest.size() - 3), "\r\n>");
  EXPECT_EQ(rest.find_first_not_of("*4095"), rest.size() - 3) << rest;
}

}  // namespace
