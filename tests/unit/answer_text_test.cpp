// The reader's append and flags, driven directly on a bound text.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "serial/answer_text.h"
#include "serial/comm_channel.h"

namespace {

class AnswerTextTest : public ::testing::Test {
 protected:
  void Bind(int32_t capacity) {
    SetCommSettings(DefaultBoard(), 9600, 9600, 8, 0, 0, 0, 0, 0, &DefaultBoard().AnswerReady, text_, capacity);
    EmptyAnswerText(DefaultBoard());
    DefaultBoard().AnswerReady.store(0);
    DefaultBoard().LimitEvent.store(0);
    DefaultBoard().PwmFinished.store(0);
  }
  void SetUp() override { Bind(sizeof text_); }
  void TearDown() override { SetCommSettings(DefaultBoard(), 9600, 9600, 8, 0, 0, 0, 0, 0, nullptr, nullptr, 0); }
  void Append(const std::string& chunk) {
    AppendAnswerChunk(DefaultBoard(), chunk.data(), static_cast<uint32_t>(chunk.size()));
  }

  char text_[32] = {};
};

TEST_F(AnswerTextTest, PromptSplitAcrossChunks) {
  Append("12");
  EXPECT_STREQ(text_, "12");
  EXPECT_EQ(DefaultBoard().AnswerReady.load(), 0);
  Append(">");
  EXPECT_STREQ(text_, "12>");
  EXPECT_EQ(DefaultBoard().AnswerReady.load(), 1);
  EXPECT_EQ(AnswerLength(DefaultBoard()), 3);
}

TEST_F(AnswerTextTest, FlagsRiseAgainUntilTheTextIsEmptied) {
  Append("xLyP>");
  EXPECT_EQ(DefaultBoard().LimitEvent.load(), 1);
  EXPECT_EQ(DefaultBoard().PwmFinished.load(), 1);
  DefaultBoard().AnswerReady.store(0);
  DefaultBoard().LimitEvent.store(0);
  DefaultBoard().PwmFinished.store(0);
  Append("z");  // holds none of the three itself
  EXPECT_EQ(DefaultBoard().AnswerReady.load(), 1);
  EXPECT_EQ(DefaultBoard().LimitEvent.load(), 1);
  EXPECT_EQ(DefaultBoard().PwmFinished.load(), 1);

  EmptyAnswerText(DefaultBoard());
  DefaultBoard().AnswerReady.store(0);
  DefaultBoard().LimitEvent.store(0);
  DefaultBoard().PwmFinished.store(0);
  Append("lp");  // lower case sets nothing
  EXPECT_EQ(DefaultBoard().AnswerReady.load() + DefaultBoard().LimitEvent.load() + DefaultBoard().PwmFinished.load(),
            0);
  EXPECT_STREQ(text_, "lp");
}

TEST_F(AnswerTextTest, NulIsKeptAsACharacter) {
  const char chunk[] = {'A', 'B', '\0', 'C', 'D', '>'};
  AppendAnswerChunk(DefaultBoard(), chunk, sizeof chunk);
  EXPECT_EQ(std::string(text_, 6), std::string(chunk, 6));
  EXPECT_EQ(AnswerLength(DefaultBoard()), 6);
  EXPECT_EQ(DefaultBoard().AnswerReady.load(), 1);
}

// What does not fit is dropped, and the overflow is known: a prompt that did
// not fit still ends the wait, so that the call fails at once.
TEST_F(AnswerTextTest, TextNeverRunsPastItsCapacity) {
  Bind(8);
  text_[8] = '#';
  Append("0123456");
  EXPECT_FALSE(AnswerOverflowed(DefaultBoard()));
  Append("789>");
  EXPECT_STREQ(text_, "0123456");
  EXPECT_EQ(text_[8], '#');
  EXPECT_EQ(AnswerLength(DefaultBoard()), 7);
  EXPECT_TRUE(AnswerOverflowed(DefaultBoard()));
  EXPECT_EQ(DefaultBoard().AnswerReady.load(), 1);
  EmptyAnswerText(DefaultBoard());
  EXPECT_FALSE(AnswerOverflowed(DefaultBoard()));
}

TEST_F(AnswerTextTest, UnboundTextIsLeftAlone) {
  SetCommSettings(DefaultBoard(), 9600, 9600, 8, 0, 0, 0, 0, 0, nullptr, nullptr, 0);
  Append("12>");
  EXPECT_EQ(DefaultBoard().AnswerReady.load(), 0);
  EXPECT_EQ(text_[0], '\0');
}

}  // namespace

namespace {

// The owed line is retired only by a prompt that was emptied with the text: one
// that arrives after the emptying stays in the text and leaves the line owed,
// so the next wait never takes an earlier line's answer for its own.
TEST_F(AnswerTextTest, PromptsAfterTheEmptyingDoNotRetireTheOwedLine) {
  ForgetOwedAnswers(DefaultBoard());
  NoteLinesSent(DefaultBoard(), "PRA\r", 4);
  Append("\r\nV=1\r\n>");
  uint32_t leftMs = 0;
  EXPECT_FALSE(OldestOwedAnswer(DefaultBoard(), EmptyAnswerText(DefaultBoard()), &leftMs));

  NoteLinesSent(DefaultBoard(), "PRB\r", 4);
  const uint32_t received = EmptyAnswerText(DefaultBoard());
  Append("\r\nV=2\r\n>");  // the reader's next chunk, after the emptying
  EXPECT_TRUE(OldestOwedAnswer(DefaultBoard(), received, &leftMs));
  EXPECT_EQ(DefaultBoard().AnswerReady.load(), 1);
  EXPECT_FALSE(OldestOwedAnswer(DefaultBoard(), EmptyAnswerText(DefaultBoard()), &leftMs));
  ForgetOwedAnswers(DefaultBoard());
}

}  // namespace
