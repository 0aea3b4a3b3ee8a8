// The virtual board seen from the host's end of the pseudo-terminal: the model's
// answers, the faults, the line-rate rule and the hang-up.
#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "board_host.h"

namespace {

using board_test::Clock;
using board_test::Host;
using board_test::MsSince;

class VirtualBoardTest : public board_test::BoardHostTest {};

TEST_F(VirtualBoardTest, ModelAnswersAndRemembersPorts) {
  EXPECT_EQ(host_->Exchange("PRB"), "\r\nB=255\r\n>");
  EXPECT_EQ(host_->Exchange("prs"), "\r\nS=0\r\n>");  // commands are taken in either case
  EXPECT_EQ(host_->Exchange("PCC255"), "\r\n>");
  EXPECT_EQ(host_->Exchange("PWC17"), "\r\n>");
  EXPECT_EQ(board_.PortRegister('c'), 17);
  EXPECT_EQ(host_->Exchange("PRC"), "\r\nC=17\r\n>");
  EXPECT_EQ(host_->Exchange("pcd$98"), "\r\n>");
  EXPECT_EQ(host_->Exchange("PWD$80"), "\r\n>");
  EXPECT_EQ(board_.PortRegister('D'), 128);
  board_.SetPortRegister('A', 99);
  EXPECT_EQ(host_->Exchange("PRA"), "\r\nA=99\r\n>");

  EXPECT_EQ(host_->Exchange("PWB256"), "\r\n?5\r\n>");
  EXPECT_EQ(host_->Exchange("PWB"), "\r\n?5\r\n>");
  EXPECT_EQ(host_->Exchange("PWB-2"), "\r\n?5\r\n>");
  EXPECT_EQ(host_->Exchange("PWB99999999999999999999"), "\r\n?5\r\n>");
  EXPECT_EQ(host_->Exchange("PWX1"), "\r\n?4\r\n>");
  EXPECT_EQ(host_->Exchange("PRX"), "\r\n?4\r\n>");
  EXPECT_EQ(host_->Exchange("XYZ"), "\r\n?1\r\n>");
  EXPECT_EQ(host_->Exchange(std::string(300, 'P')), "\r\n?1\r\n>");  // beyond the line buffer
  EXPECT_EQ(board_.PortRegister('B'), 255);
  EXPECT_EQ(board_.PortRegister('Q'), -1);

  // A lone carriage return is no command; line feeds are ignored, also inside a line.
  board_.ClearReceived();
  ASSERT_TRUE(host_->Send("\rP\nRB\r\n"));
  EXPECT_EQ(host_->Read(2000), "\r\nB=255\r\n>");
  EXPECT_TRUE(board_.WaitForLines(2, 1000));
  EXPECT_EQ(board_.Received(), "\rP\nRB\r\n");
  ASSERT_TRUE(host_->Send("\r\r"));
  EXPECT_TRUE(board_.WaitForLines(4, 1000));
  EXPECT_EQ(host_->Read(150, false), "");
}

TEST_F(VirtualBoardTest, FaultsShapeTheAnswers) {
  // Split into pieces of three bytes with 40 ms between them: four pieces, three gaps.
  board_.SetChunking(3, 40);
  auto start = Clock::now();
  EXPECT_EQ(host_->Exchange("PRB"), "\r\nB=255\r\n>");
  EXPECT_GE(MsSince(start), 120);
  board_.SetChunking(0, 0);

  board_.SetAnswerDelayMs(200);
  start = Clock::now();
  EXPECT_EQ(host_->Exchange("PRB"), "\r\nB=255\r\n>");
  EXPECT_GE(MsSince(start), 200);
  board_.SetAnswerDelayMs(0);

  // The device error replaces the next command's answer, and the command is not carried out.
  board_.SetDeviceErrorOnce('7');
  EXPECT_EQ(host_->Exchange("PWB1"), "\r\n?7\r\n>");
  EXPECT_EQ(board_.PortRegister('B'), 255);
  EXPECT_EQ(host_->Exchange("PRB"), "\r\nB=255\r\n>");

  // A responder answers what it knows, exactly as given; the rest goes to the model.
  board_.SetResponder([](const std::string& line) -> std::optional<std::string> {
    if (line == "HELLO") return std::string("V=1>");
    return std::nullopt;
  });
  EXPECT_EQ(host_->Exchange("HELLO"), "V=1>");
  EXPECT_EQ(host_->Exchange("PRB"), "\r\nB=255\r\n>");
  ASSERT_TRUE(host_->Send("\r"));
  EXPECT_EQ(host_->Read(150, false), "");
  board_.SetResponder(nullptr);

  board_.SendRaw("L");
  EXPECT_EQ(host_->Read(1000, false, 1), "L");

  board_.SetSilent(true);
  board_.ClearReceived();
  ASSERT_TRUE(host_->Send("PRB\r"));
  EXPECT_TRUE(board_.WaitForReceived(4, 1000));
  EXPECT_EQ(board_.Received(), "PRB\r");
  EXPECT_EQ(host_->Read(200, false), "");
  board_.SetSilent(false);
  EXPECT_EQ(host_->Exchange("PRB"), "\r\nB=255\r\n>");
}

TEST_F(VirtualBoardTest, LinesAtAnotherRateAreNotAnswered) {
  ASSERT_TRUE(host_->SetRate(B19200));
  ASSERT_TRUE(host_->Send("PRB\r"));
  EXPECT_TRUE(board_.WaitForLines(1, 1000));
  EXPECT_EQ(host_->Read(200, false), "");

  ASSERT_TRUE(host_->SetRate(B9600));
  EXPECT_EQ(host_->Exchange("PRB"), "\r\nB=255\r\n>");
  const auto segments = board_.ReceivedByRate();
  ASSERT_EQ(segments.size(), 2u);
  EXPECT_EQ(segments[0].baud, 19200u);
  EXPECT_EQ(segments[0].bytes, "PRB\r");
  EXPECT_EQ(segments[1].baud, 9600u);
  EXPECT_EQ(segments[1].bytes, "PRB\r");
}

TEST_F(VirtualBoardTest, RateChangeAnswersAtTheOldRateThenMoves) {
  EXPECT_EQ(host_->Exchange("B14400"), "\r\n?9\r\n>");
  EXPECT_EQ(host_->Exchange("Bfast"), "\r\n?9\r\n>");
  EXPECT_EQ(board_.BoardBaud(), 9600u);

  board_.ClearReceived();
  EXPECT_EQ(host_->Exchange("B19200"), "\r\n>");
  EXPECT_EQ(board_.BoardBaud(), 19200u);
  ASSERT_TRUE(host_->SetRate(B19200));
  ASSERT_TRUE(host_->Send("\r\r\r\r"));
  EXPECT_EQ(host_->Exchange("PRB"), "\r\nB=255\r\n>");
  const auto segments = board_.ReceivedByRate();
  ASSERT_EQ(segments.size(), 2u);
  EXPECT_EQ(segments[0].baud, 9600u);
  EXPECT_EQ(segments[0].bytes, "B19200\r");
  EXPECT_EQ(segments[1].baud, 19200u);
  EXPECT_EQ(segments[1].bytes, "\r\r\r\rPRB\r");

  // The old rate is now the wrong one.
  ASSERT_TRUE(host_->SetRate(B9600));
  ASSERT_TRUE(host_->Send("PRB\r"));
  EXPECT_EQ(host_->Read(200, false), "");
}

TEST_F(VirtualBoardTest, HangUpAndRestart) {
  board_.HangUp();
  pollfd p{host_->fd(), POLLIN, 0};
  ASSERT_EQ(poll(&p, 1, 1000), 1);
  EXPECT_NE(p.revents & POLLHUP, 0);
  char byte;
  EXPECT_LE(read(host_->fd(), &byte, 1), 0);
  host_.reset();

  board_.Stop();
  board_.Stop();  // a second stop does nothing
  ASSERT_TRUE(board_.Start()) << board_.Error();
  EXPECT_FALSE(board_.Start());  // already serving
  host_ = std::make_unique<Host>(board_.SlavePath());
  ASSERT_TRUE(host_->ok());
  EXPECT_EQ(host_->Exchange("PRB"), "\r\nB=255\r\n>");
}

}  // namespace
