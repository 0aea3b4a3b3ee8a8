// The I/O-485 network over a pseudo-terminal: the address byte, the raw writes
// and their place in the byte stream, the initialization's errors and flags,
// the reset with its return to 9600 baud, and a module of the board's model.
#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <memory>
#include <string>

#include "protocol/result_state.h"
#include "support/board_fixture.h"
#include "tarvelin.h"

namespace {

using tarvelin::board::VirtualBoard;
using Clock = std::chrono::steady_clock;

constexpr char kAck[] = "\r\n>";
const std::string kInitLines = "PCA255\rPWA224\r\r\r\r\rPCSA128\rPCD$98\rPWD128\rCRAP\r";
constexpr char kInitFailed[] = " Error of Communication in Initializing IO485 Network";

// The board's side of the network commands: the given answers by line, a bare
// prompt for every other command, and rate commands left to the board's model.
// Of the four empty lines that follow PCA255 (two transactions of one carriage
// return each, which send two apiece) the second and fourth get a prompt, so
// that each of those transactions sees exactly one answer; other empty lines,
// such as the raw ones of the address selection, get none.
void ScriptNetwork(VirtualBoard& board, const std::map<std::string, std::string>& answers) {
  auto initBlanks = std::make_shared<int>(0);
  board.SetResponder([answers, initBlanks](const std::string& line) -> std::optional<std::string> {
    if (line.empty()) {
      if (*initBlanks == 0) return std::string();
      --*initBlanks;
      return std::string(*initBlanks % 2 == 0 ? kAck : "");
    }
    if (line == "PCA255") {
      *initBlanks = 4;
    } else if (line != "PWA224") {
      *initBlanks = 0;
    }
    const auto found = answers.find(line);
    if (found != answers.end()) return found->second;
    if (line[0] == 'B') return std::nullopt;
    return std::string(kAck);
  });
}

long long MillisecondsSince(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

class Io485Test : public test::OpenBoardTest {};

TEST_F(Io485Test, AddressByteAndTheRawReturnsOnTheWire) {
  ScriptNetwork(board_, {{"PRB", "\r\nB=9\r\n>"}});
  struct Case {
    int32_t address, selector, broadcast;
    const char* command;
  };
  const Case cases[] = {
      {5, 1, 0, "PWA37"},  {31, 3, 1, "PWA255"}, {5, 0, 0, "PWA5"},   {5, 2, 0, "PWA69"},
      {0, 0, 1, "PWA128"}, {0, 3, 1, "PWA224"},  {31, 2, 0, "PWA95"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.command);
    board_.ClearReceived();
    EXPECT_EQ(IO485Address(c.address, c.selector, c.broadcast), 1);
    EXPECT_EQ(board_.Received(), std::string(c.command) + "\r" + "\r" + "\r" + "PRB\r");
    EXPECT_EQ(GetValue(), 9);  // what the read after the selection left
    EXPECT_EQ(GetError(), -1);
  }
}

TEST_F(Io485Test, AddressSelectionIgnoresWhatTheBoardAnswers) {
  ScriptNetwork(board_, {{"PWA37", "\r\n?2\r\n>"}, {"PRB", "\r\n?7\r\n>"}});
  EXPECT_EQ(IO485Address(5, 1, 0), 1);
  EXPECT_EQ(GetError(), 7);
  EXPECT_STREQ(GetErrorMessage(), " Command Error: Time out error (command = PRB)");

  // A board that never answers: both transactions time out, each with its repeat.
  board_.SetSilent(true);
  board_.ClearReceived();
  EXPECT_EQ(IO485Address(5, 1, 0), 1);
  EXPECT_EQ(GetError(), 26);
  EXPECT_STREQ(GetErrorMessage(), " Error Command: COM port timed out (command = PRB)");
  const std::string expected = "PWA37\r\rPWA37\r\r\rPRB\r\rPRB\r";
  ASSERT_TRUE(board_.WaitForReceived(expected.size(), 1000));
  EXPECT_EQ(board_.Received(), expected);
}

TEST_F(Io485Test, AddressAfterTheCloseIsRefused) {
  ScriptNetwork(board_, {});
  ASSERT_EQ(PortClose(), 1);
  board_.ClearReceived();
  EXPECT_EQ(IO485Address(5, 1, 0), -1);
  EXPECT_EQ(GetError(), 25);
  EXPECT_STREQ(GetErrorMessage(), "Commands cannot be sent before a COM port is open");
  EXPECT_FALSE(board_.WaitForReceived(1, 100));
}

TEST_F(Io485Test, RefusedArgumentsSendNothing) {
  struct Case {
    int32_t address, selector, broadcast, code;
  };
  // The checks run in order address, IC selector, broadcast; the first failing one decides.
  const Case cases[] = {
      {32, 1, 0, 30}, {-1, 1, 0, 30}, {32, 4, 2, 30}, {0, 4, 0, 31}, {0, -1, 0, 31},
      {0, 4, 2, 31},  {31, 1, 2, 32}, {0, 1, -1, 32}, {0, 0, 256, 32},
  };
  const std::map<int32_t, std::string> texts = {
      {30, "I/O-485 address out of range (0..31)"},
      {31, "I/O-485 IC out of range (0, 1 or 3 {or BROAD})"},
      {32, "I/O-485 Broadcast parameter must be True or False"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.address << "," << c.selector << "," << c.broadcast);
    EXPECT_EQ(IO485Address(c.address, c.selector, c.broadcast), -1);
    EXPECT_EQ(GetError(), c.code);
    EXPECT_EQ(GetErrorMessage(), texts.at(c.code));
  }
  EXPECT_FALSE(board_.WaitForReceived(1, 100));
}

TEST_F(Io485Test, InitializationOnTheWireAndTheAnswerModeAfterIt) {
  // The raw writes are not waited for: unanswered, they cost no repeat.
  ScriptNetwork(board_, {{"PCA255", ""}, {"PWA224", ""}});
  const auto start = Clock::now();
  EXPECT_EQ(IO485Initialize(), 1) << GetErrorMessage();
  EXPECT_GE(MillisecondsSince(start), 200);  // the two pauses after the raw writes
  EXPECT_EQ(board_.Received(), kInitLines);
  EXPECT_EQ(GetError(), -1);
  EXPECT_EQ(DefaultBoard().AdcConfigured, 1);
  EXPECT_EQ(DefaultBoard().Io485Mode, 1);

  // Values now begin at the first character of the answer.
  test::AnswerAlways(board_, "\r\n12\r\n>");
  EXPECT_EQ(WriteCommand("PRB"), 1);
  EXPECT_EQ(GetValue(), 12);
}

TEST_F(Io485Test, InitializationIgnoresTheEmptyLineTransactions) {
  test::AnswerAlways(board_, kAck);  // no answer to empty lines: both transactions time out
  EXPECT_EQ(IO485Initialize(), 1) << GetErrorMessage();
  const std::string blankTransaction = "\r\r\r\r\r";  // line, repeat's lone return, line again
  const std::string expected =
      "PCA255\rPWA224\r" + blankTransaction + blankTransaction + "PCSA128\rPCD$98\rPWD128\rCRAP\r";
  EXPECT_EQ(board_.Received(), expected);
  EXPECT_EQ(DefaultBoard().Io485Mode, 1);
}

TEST_F(Io485Test, RefusedSetUpIsCodeFiftyAndLeavesTheFlags) {
  for (const std::string failing : {"PCSA128", "PCD$98"}) {
    SCOPED_TRACE(failing);
    ScriptNetwork(board_, {{failing, "\r\n?5\r\n>"}});
    board_.ClearReceived();
    DefaultBoard().Io485Mode = 1;
    EXPECT_EQ(IO485Initialize(), -1);
    EXPECT_EQ(GetError(), 50);
    EXPECT_STREQ(GetErrorMessage(), kInitFailed);
    EXPECT_EQ(DefaultBoard().AdcConfigured, 0);
    EXPECT_EQ(DefaultBoard().Io485Mode, 1);
    // Nothing follows the refused command.
    EXPECT_EQ(board_.Received(), kInitLines.substr(0, kInitLines.find(failing) + failing.size() + 1));
  }
  // A time-out of the set-up is reported the same way.
  ScriptNetwork(board_, {{"PCSA128", ""}});
  EXPECT_EQ(IO485Initialize(), -1);
  EXPECT_EQ(GetError(), 50);
  EXPECT_STREQ(GetErrorMessage(), kInitFailed);
}

TEST_F(Io485Test, LaterStepsKeepTheTransactionsError) {
  ScriptNetwork(board_, {{"PWD128", "\r\n?2\r\n>"}});
  DefaultBoard().Io485Mode = 1;
  EXPECT_EQ(IO485Initialize(), -1);
  EXPECT_EQ(GetError(), 2);
  EXPECT_STREQ(GetErrorMessage(), " Command Error: Port must be configured or enabled first! (command = PWD128)");
  EXPECT_EQ(DefaultBoard().AdcConfigured, 1);
  EXPECT_EQ(DefaultBoard().Io485Mode, 1);  // unchanged by a failure before the last step

  // A refused CRAP: set up, but the answers are read the ordinary way.
  DefaultBoard().AdcConfigured = 0;
  ScriptNetwork(board_, {{"CRAP", "\r\n?1\r\n>"}});
  EXPECT_EQ(IO485Initialize(), -1);
  EXPECT_EQ(GetError(), 1);
  EXPECT_STREQ(GetErrorMessage(), "Command Error: Syntax error (command = CRAP)");
  EXPECT_EQ(DefaultBoard().AdcConfigured, 1);
  EXPECT_EQ(DefaultBoard().Io485Mode, 0);
  test::AnswerAlways(board_, "\r\n12\r\n>");
  EXPECT_EQ(WriteCommand("PRB"), 1);
  EXPECT_EQ(GetValue(), 0);  // nothing from the third character on
  test::AnswerAlways(board_, "\r\nB=255\r\n>");
  EXPECT_EQ(WriteCommand("PRB"), 1);
  EXPECT_EQ(GetValue(), 255);
}

TEST_F(Io485Test, ResetAtTheDefaultRateSendsNoRateCommand) {
  // The set-up is refused, so what is left of the flags is the reset's own doing.
  ScriptNetwork(board_, {{"PCSA128", "\r\n?3\r\n>"}});
  DefaultBoard().AdcConfigured = 1;
  board_.ClearReceived();
  EXPECT_EQ(ResetIO485Network(), -1);
  EXPECT_EQ(GetError(), 50);
  EXPECT_STREQ(GetErrorMessage(), kInitFailed);
  EXPECT_EQ(DefaultBoard().AdcConfigured, 0);
  EXPECT_EQ(board_.Received(), "PWA224\r\r\rPRB\rRESET\rPCA255\rPWA224\r\r\r\r\rPCSA128\r");
}

// Against the board's own model, without scripted answers.
TEST_F(Io485Test, ResetThenWriteAndReadBackAModuleOfTheModel) {
  ASSERT_EQ(ResetIO485Network(), 1) << GetError() << " " << GetErrorMessage();
  EXPECT_EQ(DefaultBoard().Io485Mode, 1);
  EXPECT_EQ(DefaultBoard().AdcConfigured, 1);

  // Module 2 on IC 1, no broadcast.
  ASSERT_EQ(IO485Address(2, 1, 0), 1);
  ASSERT_EQ(WriteCommand("PWB7"), 1) << GetErrorMessage();
  ASSERT_EQ(WriteCommand("PRB"), 1) << GetErrorMessage();
  EXPECT_EQ(GetValue(), 7);  // read from the first character of the answer

  // Another module keeps its own register.
  ASSERT_EQ(IO485Address(1, 1, 0), 1);
  ASSERT_EQ(WriteCommand("PWB9"), 1) << GetErrorMessage();
  ASSERT_EQ(IO485Address(2, 1, 0), 1);
  ASSERT_EQ(WriteCommand("PRB"), 1) << GetErrorMessage();
  EXPECT_EQ(GetValue(), 7);
}

class Io485NoPortTest : public test::BoardTest {};

TEST_F(Io485NoPortTest, NothingIsSentBeforeAPortIsOpen) {
  // The port check comes before the argument checks.
  EXPECT_EQ(IO485Address(99, 9, 9), -1);
  EXPECT_EQ(GetError(), 25);
  EXPECT_STREQ(GetErrorMessage(), "Commands cannot be sent before a COM port is open");
  EXPECT_EQ(IO485Address(0, 1, 0), -1);
  EXPECT_EQ(GetError(), 25);

  EXPECT_EQ(ResetIO485Network(), -1);
  EXPECT_EQ(GetError(), 50);
  EXPECT_STREQ(GetErrorMessage(), " Error of Communication in Resetting IO485 Network");

  EXPECT_EQ(IO485Initialize(), -1);
  EXPECT_EQ(GetError(), 50);
  EXPECT_STREQ(GetErrorMessage(), kInitFailed);
  EXPECT_EQ(DefaultBoard().AdcConfigured, 0);
  EXPECT_EQ(DefaultBoard().Io485Mode, 0);
  EXPECT_FALSE(board_.WaitForReceived(1, 100));
}

TEST_F(Io485NoPortTest, ResetReturnsTheLineTo9600) {
  // Board and library both at 19200 before the reset.
  ASSERT_EQ(PortOpen(test::kBoardPort), 1);
  ASSERT_EQ(WriteCommand("B19200"), 1);
  ASSERT_EQ(PortConfigure(test::kBoardPort, 19200), 1);
  ScriptNetwork(board_, {{"PRB", "\r\nB=255\r\n>"}});
  board_.ClearReceived();

  EXPECT_EQ(ResetIO485Network(), 1) << GetErrorMessage();
  EXPECT_EQ(GetBaudRate(), 9600);
  EXPECT_EQ(GetError(), -1);
  EXPECT_EQ(DefaultBoard().AdcConfigured, 1);
  EXPECT_EQ(DefaultBoard().Io485Mode, 1);
  const auto segments = board_.ReceivedByRate();
  ASSERT_EQ(segments.size(), 2u);
  EXPECT_EQ(segments[0].baud, 19200u);
  EXPECT_EQ(segments[0].bytes, "PWA224\r\r\rPRB\rB9600\r");
  EXPECT_EQ(segments[1].baud, 9600u);
  EXPECT_EQ(segments[1].bytes, "\r\r\r\rPRB\rRESET\r" + kInitLines);
}

TEST_F(Io485NoPortTest, ResetStopsWhenTheRateIsNotAccepted) {
  // The library at 19200 while the board listens at 9600: nothing is understood.
  ASSERT_EQ(PortConfigure(test::kBoardPort, 19200), 1);
  EXPECT_EQ(ResetIO485Network(), -1);
  EXPECT_EQ(GetError(), 50);
  EXPECT_STREQ(GetErrorMessage(), " Error on Setting to defualt Baud Rate, in Resetting IO485 Network");
  EXPECT_EQ(GetBaudRate(), 19200);
  const std::string expected = "PWA224\r\rPWA224\r\r\rPRB\r\rPRB\rB9600\r\rB9600\r";
  ASSERT_TRUE(board_.WaitForReceived(expected.size(), 1000));
  EXPECT_EQ(board_.Received(), expected);
}

}  // namespace
