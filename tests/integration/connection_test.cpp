// Opening, closing and changing the rate, seen on the line.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "fake/standin_faults.h"
#include "protocol/baud_rate.h"
#include "protocol/result_state.h"
#include "serial/comm_channel.h"
#include "support/board_fixture.h"
#include "tarvelin.h"
#include "tarvelin_version.h"

namespace {

class ConnectionTest : public test::BoardTest {
 protected:
  DWORD LineRate() {
    DCB dcb{};
    GetCommState(test::LinePort(), &dcb);
    return dcb.BaudRate;
  }
};

TEST_F(ConnectionTest, OpenCloseAndTheErrorsAroundThem) {
  EXPECT_EQ(PortClose(), -1);
  EXPECT_EQ(GetError(), 35);
  EXPECT_STREQ(GetErrorMessage(), "COM port is NOT open");

  ASSERT_EQ(PortOpen(test::kBoardPort), 1);
  EXPECT_STREQ(GetErrorMessage(), "");
  EXPECT_EQ(GetError(), 35);  // an open empties the text and leaves the code
  EXPECT_EQ(WriteCommand("PRB"), 1);
  EXPECT_EQ(GetValue(), 255);
  // Opening again while open closes the port first.
  EXPECT_EQ(PortOpen(test::kBoardPort), 1);
  EXPECT_EQ(WriteCommand("PRB"), 1);
  EXPECT_EQ(PortClose(), 1);
  EXPECT_EQ(PortClose(), -1);
  EXPECT_EQ(GetError(), 35);
  EXPECT_EQ(WriteCommand("PRB"), -1);
  EXPECT_EQ(GetError(), 25);
}

TEST_F(ConnectionTest, PortThatDoesNotExist) {
  unsetenv("TARVELIN_COM250");
  EXPECT_EQ(PortOpen(250), -1);
  EXPECT_EQ(GetError(), 36);
  EXPECT_STREQ(GetErrorMessage(), "Unable to open COM port");
  EXPECT_EQ(GetPort(), 250);
  EXPECT_EQ(DefaultBoard().PortInitialized, 1);
  EXPECT_EQ(WriteCommand("PRB"), -1);
  EXPECT_EQ(GetError(), 25);
  EXPECT_EQ(PortOpen(0), -1);
  EXPECT_EQ(PortOpen(-3), -1);
  EXPECT_EQ(GetPort(), -3);
}

TEST_F(ConnectionTest, ConfiguredRates) {
  ASSERT_EQ(PortConfigure(test::kBoardPort, 19250), 1);
  EXPECT_EQ(GetBaudRate(), 19250);
  EXPECT_EQ(LineRate(), 19200u);
  // A rate outside the table keeps the line at the rate selected before.
  ASSERT_EQ(PortConfigure(test::kBoardPort, 14400), 1);
  EXPECT_EQ(GetBaudRate(), 14400);
  EXPECT_EQ(LineRate(), 19200u);
}

TEST_F(ConnectionTest, ChangeBaudRateOnTheWire) {
  ASSERT_EQ(PortOpen(test::kBoardPort), 1);
  board_.ClearReceived();
  ASSERT_EQ(ChangeBaudRate(19200), 1) << GetErrorMessage();
  EXPECT_EQ(GetBaudRate(), 19200);
  EXPECT_EQ(LineRate(), 19200u);
  EXPECT_EQ(GetValue(), 255);  // the probe's answer
  const auto segments = board_.ReceivedByRate();
  ASSERT_EQ(segments.size(), 2u);
  EXPECT_EQ(segments[0].baud, 9600u);
  EXPECT_EQ(segments[0].bytes, "B19200\r");
  EXPECT_EQ(segments[1].baud, 19200u);
  EXPECT_EQ(segments[1].bytes, "\r\r\r\rPRB\r");

  // The rate in use: nothing is sent, the error state is reset.
  board_.ClearReceived();
  DefaultBoard().ErrorCode = 36;
  EXPECT_EQ(ChangeBaudRate(19200), 1);
  EXPECT_EQ(GetError(), -1);
  EXPECT_FALSE(board_.WaitForReceived(1, 100));
}

TEST_F(ConnectionTest, ChangeBaudRateFailures) {
  EXPECT_EQ(ChangeBaudRate(19200), -1);
  EXPECT_EQ(GetError(), 25);

  ASSERT_EQ(PortOpen(test::kBoardPort), 1);
  board_.SetDeviceErrorOnce('9');
  EXPECT_EQ(ChangeBaudRate(38400), -1);
  EXPECT_EQ(GetError(), 77);
  EXPECT_STREQ(GetErrorMessage(), "Command for changing Baud Rate was not accepted");
  EXPECT_EQ(GetBaudRate(), 9600);
  EXPECT_EQ(LineRate(), 9600u);

  // The board moves, the port cannot follow to a rate outside the table: the probe fails.
  // A rate outside the table that the board accepts leaves the line where it was.
  board_.SetResponder([](const std::string& line) -> std::optional<std::string> {
    if (line == "B14400") return std::string("\r\n>");
    return std::nullopt;
  });
  EXPECT_EQ(ChangeBaudRate(14400), 1);
  EXPECT_EQ(GetBaudRate(), 14400);
  EXPECT_EQ(LineRate(), 9600u);

  ASSERT_EQ(PortClose(), 1);
  EXPECT_EQ(ChangeBaudRate(19200), -1);
  EXPECT_EQ(GetError(), 25);
  EXPECT_EQ(ChangeBaudRate(14400), -1);  // the current rate, on no port, is no success either
  EXPECT_EQ(GetError(), 25);
}

TEST_F(ConnectionTest, ProbeFailsWhenTheBoardStopsAnswering) {
  ASSERT_EQ(PortOpen(test::kBoardPort), 1);
  // The board takes the rate command and is never heard of again.
  board_.SetResponder([](const std::string& line) -> std::optional<std::string> {
    return std::string(line == "B19200" ? "\r\n>" : "");
  });
  EXPECT_EQ(ChangeBaudRate(19200), -1);
  EXPECT_EQ(GetError(), 77);
  EXPECT_STREQ(GetErrorMessage(), "After changing Baud Rate, communication is not possible");
  EXPECT_EQ(GetBaudRate(), 19200);
  EXPECT_EQ(LineRate(), 19200u);
}

TEST_F(ConnectionTest, VersionTexts) {
  const char* first = GetDLLVersion();
  EXPECT_STREQ(first, " Dorvik DLL version " TARVELIN_VERSION_SHORT);
  EXPECT_EQ(GetDLLVersion(), first);
  char buffer[40];
  memset(buffer, 0x55, sizeof buffer);
  EXPECT_EQ(GetDLLVersionVb(buffer), 1);
  EXPECT_STREQ(buffer, " Dorvik DLL version " TARVELIN_VERSION_SHORT);
  EXPECT_EQ(buffer[24], '\0');
  EXPECT_EQ(buffer[25], 0x55);  // exactly 25 bytes
  EXPECT_EQ(GetDLLVersionVb(nullptr), -1);
}

// A driver that refuses the new rate: the board moved and the port could not
// follow, so the change fails with 77 at once instead of probing at a rate the
// port is not at.
TEST_F(ConnectionTest, RefusedRateChangeFails) {
  ASSERT_EQ(PortOpen(test::kBoardPort), 1);
  standin::RefuseLineSettings(true);
  EXPECT_EQ(ChangeBaudRate(19200), -1);
  EXPECT_EQ(GetError(), 77);
  EXPECT_STREQ(GetErrorMessage(), "After changing Baud Rate, communication is not possible");
  EXPECT_EQ(board_.Received().find("PRB"), std::string::npos);
}

}  // namespace
