// The command transaction over a pseudo-terminal: the bytes on the wire, the
// answer rules, device errors, the retry and the time-out.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <utility>

#include "fake/standin_faults.h"
#include "protocol/result_state.h"
#include "serial/answer_text.h"
#include "serial/comm_channel.h"
#include "support/board_fixture.h"
#include "tarvelin.h"

namespace {

using test::AnswerAlways;
using Clock = std::chrono::steady_clock;

class TransactionTest : public test::OpenBoardTest {};

int CountOf(const std::string& text, const std::string& piece) {
  int count = 0;
  for (size_t at = text.find(piece); at != std::string::npos; at = text.find(piece, at + 1)) ++count;
  return count;
}

TEST_F(TransactionTest, ValueAnswerOnTheWire) {
  AnswerAlways(board_, "\r\nA=42\r\n>");
  EXPECT_EQ(WriteCommand("PRa"), 1);
  EXPECT_EQ(GetValue(), 42);
  EXPECT_EQ(GetError(), -1);
  EXPECT_STREQ(GetErrorMessage(), "");
  EXPECT_EQ(board_.Received(), "PRa\r");  // the text goes out unchanged, with one carriage return

  AnswerAlways(board_, ">");
  EXPECT_EQ(WriteCommand("PWA1"), 1);
  EXPECT_EQ(GetValue(), 0);  // a bare prompt carries no value

  // An empty text sends a lone carriage return and is examined like any other.
  board_.SetResponder([](const std::string&) -> std::optional<std::string> { return std::string(">"); });
  board_.ClearReceived();
  EXPECT_EQ(WriteCommand(""), 1);
  EXPECT_EQ(board_.Received(), "\r");
}

TEST_F(TransactionTest, AnswerModeFollowsTheCommandPrefix) {
  AnswerAlways(board_, ">");
  ASSERT_EQ(WriteCommand("crap"), 1);
  EXPECT_EQ(DefaultBoard().Io485Mode, 1);
  EXPECT_EQ(WriteCommand("CRA"), 1);
  EXPECT_EQ(DefaultBoard().Io485Mode, 1);
  AnswerAlways(board_, "12>");
  EXPECT_EQ(WriteCommand("PRB"), 1);
  EXPECT_EQ(GetValue(), 12);
  AnswerAlways(board_, "\r\nA=42\r\n>");  // the whole text is the value text: a letter is no value
  EXPECT_EQ(WriteCommand("PRA"), -1);
  EXPECT_EQ(GetError(), TARVELIN_E_NOT_A_VALUE);

  AnswerAlways(board_, "12>");
  EXPECT_EQ(WriteCommand("CRAH"), 1);
  EXPECT_EQ(DefaultBoard().Io485Mode, 0);
  EXPECT_EQ(GetValue(), 0);
  EXPECT_EQ(WriteCommand("CRAP1"), 1);
  EXPECT_EQ(WriteCommand("CrAd"), 1);
  EXPECT_EQ(DefaultBoard().Io485Mode, 0);
}

TEST_F(TransactionTest, DeviceErrorsCarryTheCommand) {
  const char digits[] = "123456789ABCDEF";
  for (int i = 0; i < 15; ++i) {
    AnswerAlways(board_, std::string("\r\n?") + digits[i] + "\r\n>");
    EXPECT_EQ(WriteCommand("PRA"), -1);
    EXPECT_EQ(GetError(), i + 1);
    EXPECT_NE(std::string(GetErrorMessage()).find("(command = PRA)"), std::string::npos);
  }
  AnswerAlways(board_, "?7>");
  WriteCommand("PRA");
  EXPECT_STREQ(GetErrorMessage(), " Command Error: Time out error (command = PRA)");
  AnswerAlways(board_, "?1>");
  WriteCommand("XYZ");
  EXPECT_STREQ(GetErrorMessage(), "Command Error: Syntax error (command = XYZ)");
  AnswerAlways(board_, "?\nL5>");
  WriteCommand("PWA300");
  EXPECT_EQ(GetError(), 5);

  char buffer[200];
  AnswerAlways(board_, ">");
  ASSERT_EQ(WriteCommand("PRA"), 1);
  memset(buffer, 'x', sizeof buffer);
  EXPECT_EQ(GetErrorMessageVb(buffer), 1);
  EXPECT_EQ(buffer[0], '\0');
  EXPECT_EQ(buffer[1], 'x');
  EXPECT_EQ(GetErrorMessageVb(nullptr), -1);
}

TEST_F(TransactionTest, MalformedDeviceErrorsNameTheAnswerAndTheCommand) {
  const std::pair<const char*, const char*> cases[] = {
      {"\r\n?Z\r\n>", "?Z"}, {"\r\n?0\r\n>", "?0"}, {"\r\n??\r\n>", "??"},
      {"\r\n?a\r\n>", "?a"}, {"\r\n?\r\n>", "?"},     {"\r\n?\x1B[2J\r\n>", "?\\x1B[2J"},
  };
  for (const auto& [answer, shown] : cases) {
    SCOPED_TRACE(shown);
    AnswerAlways(board_, answer);
    DefaultBoard().LastValue = 5;
    EXPECT_EQ(WriteCommand("PRB"), -1);
    EXPECT_EQ(GetError(), 33);
    EXPECT_EQ(GetErrorMessage(),
              std::string(" Command Error: Malformed device error in answer \"") + shown + "\" (command = PRB)");
    EXPECT_EQ(GetValue(), 0);
  }
  // The longest text, a long answer and a 62-character command, fits a caller's 152 bytes.
  AnswerAlways(board_, "\r\n?" + std::string(200, '\x01') + "\r\n>");
  const std::string command(62, 'Q');
  EXPECT_EQ(WriteCommand(command.c_str()), -1);
  EXPECT_EQ(GetError(), 33);
  EXPECT_LE(strlen(GetErrorMessage()), 151u);
  EXPECT_NE(std::string(GetErrorMessage()).find("...\" (command = " + command + ")"), std::string::npos);
}

TEST_F(TransactionTest, PwmEventAheadOfTheAnswerLatchesAndIsLeftOut) {
  AnswerAlways(board_, "P\r\nB=200\r\n>");
  EXPECT_EQ(IOPortRead('B'), 200);
  EXPECT_EQ(GetPWMFinishFlag(), 1);
  AnswerAlways(board_, "P\r\n?7\r\n>");
  EXPECT_EQ(WriteCommand("SN"), -1);
  EXPECT_EQ(GetError(), 7);
  EXPECT_EQ(GetPWMFinishFlag(), 1);
  // Inside the answer a "P" is the answer's own.
  AnswerAlways(board_, "\r\nP=1234\r\n>");
  EXPECT_EQ(GetMotorCounter(), 1234);
}

TEST_F(TransactionTest, SilentBoardTimesOutAfterOneRetry) {
  board_.SetSilent(true);
  standin::CaptureDebugOutput(true);
  const auto start = Clock::now();
  EXPECT_EQ(WriteCommand("PRB"), -1);
  const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
  EXPECT_GE(elapsed, 590);
  EXPECT_LT(elapsed, 3000);
  EXPECT_EQ(GetError(), 26);
  EXPECT_STREQ(GetErrorMessage(), " Error Command: COM port timed out (command = PRB)");
  ASSERT_TRUE(board_.WaitForReceived(9, 1000));
  EXPECT_EQ(board_.Received(), "PRB\r\rPRB\r");
  const std::string debug = standin::CapturedDebugOutput();
  EXPECT_EQ(CountOf(debug, "TARVELIN: QelCommand --> Timeout (Retry needed). Last command = PRB\n"), 2);
  standin::CaptureDebugOutput(false);
}

TEST_F(TransactionTest, LateAnswerIsExaminedWithEverythingSinceTheStart) {
  board_.SetAnswerDelayMs(300);
  standin::CaptureDebugOutput(true);
  EXPECT_EQ(WriteCommand("PRB"), 1);
  EXPECT_EQ(GetValue(), 255);
  EXPECT_EQ(CountOf(standin::CapturedDebugOutput(), "Timeout (Retry needed)"), 1);
  standin::CaptureDebugOutput(false);
}

TEST_F(TransactionTest, AnswerInSmallChunks) {
  board_.SetChunking(1, 15);
  AnswerAlways(board_, "\r\nB=-1234\r\n>");
  EXPECT_EQ(WriteCommand("PRB"), 1);
  EXPECT_EQ(GetValue(), -1234);
}

TEST_F(TransactionTest, CommandTextLimits) {
  AnswerAlways(board_, ">");
  const std::string longest(62, 'A');
  EXPECT_EQ(WriteCommand(longest.c_str()), 1);
  EXPECT_EQ(board_.Received(), longest + "\r");

  board_.ClearReceived();
  AnswerAlways(board_, "\r\nA=42\r\n>");
  ASSERT_EQ(WriteCommand("PRA"), 1);
  const std::string tooLong(63, 'A');
  EXPECT_EQ(WriteCommand(tooLong.c_str()), -1);
  EXPECT_EQ(GetError(), 27);
  EXPECT_STREQ(GetErrorMessage(), "Command text is missing or longer than 62 characters");
  EXPECT_EQ(GetValue(), 42);  // refused before the transaction touched anything
  EXPECT_EQ(WriteCommand(nullptr), -1);
  EXPECT_EQ(GetError(), 27);
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(board_.Received(), "PRA\r");
}

TEST_F(TransactionTest, ValuesBeyondThirtyTwoBitsSaturate) {
  AnswerAlways(board_, "V=99999999999>");
  EXPECT_EQ(WriteCommand("PRA"), 1);
  EXPECT_EQ(GetValue(), INT32_MAX);
  AnswerAlways(board_, "V=" + std::string(150, '7') + ">");  // longer than any value
  EXPECT_EQ(WriteCommand("PRA"), -1);
  EXPECT_EQ(GetError(), TARVELIN_E_NOT_A_VALUE);
}

TEST_F(TransactionTest, LimitEventLatchesUntilRead) {
  EXPECT_EQ(IntStatusL(), 0);
  board_.SendRaw("L");
  const auto deadline = Clock::now() + std::chrono::seconds(2);
  while (DefaultBoard().LimitEvent.load() == 0 && Clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  EXPECT_EQ(IntStatusL(), 1);
  EXPECT_EQ(IntStatusL(), 0);
  // An "L" inside an answer latches the event as well, and the transaction leaves it set.
  AnswerAlways(board_, "\r\nL=3\r\n>");
  EXPECT_EQ(WriteCommand("PRA"), 1);
  EXPECT_EQ(IntStatusL(), 1);
}

class NoPortTest : public test::BoardTest {};

TEST_F(NoPortTest, NothingIsSentBeforeAPortIsOpen) {
  DefaultBoard().LastValue = 7;
  EXPECT_EQ(WriteCommand("PRB"), -1);
  EXPECT_EQ(GetError(), 25);
  EXPECT_STREQ(GetErrorMessage(), "Commands cannot be sent before a COM port is open");
  EXPECT_EQ(GetValue(), 7);
  EXPECT_FALSE(board_.WaitForReceived(1, 100));
  // A write on a closed channel fails at once without a second round.
  standin::CaptureDebugOutput(true);
  EXPECT_EQ(WriteComm(DefaultBoard(), 4, "PRB\r"), 0);
  EXPECT_STREQ(standin::CapturedDebugOutput(), "");
  standin::CaptureDebugOutput(false);
}

}  // namespace

namespace {

// A hostile board: noise ahead of the answer, NULs in it, megabytes of garbage
// in front of it. Each is an error that quotes what came, never a made-up value.
TEST_F(TransactionTest, AnswersThatAreNotValuesFailTheCall) {
  const std::string answer = "\r\nV=77\r\n>";
  for (const std::string& noise : {"x", "xy", "abc\r\n", "*"}) {
    AnswerAlways(board_, noise + answer);
    EXPECT_EQ(WriteCommand("PRA"), -1) << noise;
    EXPECT_EQ(GetError(), TARVELIN_E_NOT_A_VALUE) << noise;
  }
  EXPECT_STREQ(GetErrorMessage(), " Command Error: Answer is not a value \"*V=77\" (command = PRA)");
  AnswerAlways(board_, std::string("\r\nV=12\0" "34\r\n>", 12));
  EXPECT_EQ(WriteCommand("PRA"), -1);
  EXPECT_STREQ(GetErrorMessage(), " Command Error: Answer is not a value \"V=12\\x0034\" (command = PRA)");
  AnswerAlways(board_, std::string("\r\nV=\0" "56\r\n>", 10));
  EXPECT_EQ(WriteCommand("PRA"), -1);
  EXPECT_EQ(GetError(), TARVELIN_E_NOT_A_VALUE);

  // More than the answer text holds, then the real answer.
  std::string garbage(5 << 20, 'g');
  for (size_t i = 0; i < garbage.size(); i += 97) garbage[i] = static_cast<char>(i % 31);
  AnswerAlways(board_, garbage + answer);
  EXPECT_EQ(WriteCommand("PRA"), -1);
  EXPECT_NE(GetError(), -1);

  AnswerAlways(board_, answer);
  std::this_thread::sleep_for(std::chrono::milliseconds(1100));  // what is owed for the garbage is let go
  EXPECT_EQ(WriteCommand("PRA"), 1) << GetErrorMessage();
  EXPECT_EQ(GetValue(), 77);
}

// On a clock held still the second a line stays owed is exact, also across
// the tick counter's wrap: owed at 999 ms, forgotten at 1000.
TEST(OwedAnswerClock, ALineIsOwedForExactlyOneSecond) {
  for (const DWORD sent : {DWORD{5000}, DWORD{0xFFFFFFFFu - 500}}) {
    standin::FreezeClock(sent);
    ForgetOwedAnswers(DefaultBoard());
    NoteLinesSent(DefaultBoard(), "PRB\r", 4);
    const uint32_t received = DefaultBoard().PromptsReceived.load();
    uint32_t leftMs = 0;
    standin::AdvanceClock(kAnswerOwedMs - 1);
    EXPECT_TRUE(OldestOwedAnswer(DefaultBoard(), received, &leftMs)) << sent;
    EXPECT_EQ(leftMs, 1u);
    standin::AdvanceClock(1);
    EXPECT_FALSE(OldestOwedAnswer(DefaultBoard(), received, &leftMs)) << sent;
  }
  standin::ThawClock();
  ForgetOwedAnswers(DefaultBoard());
}

}  // namespace
