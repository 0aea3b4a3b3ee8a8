#include "protocol/answer_parse.h"

#include <gtest/gtest.h>

#include <string>

namespace {

AnswerOutcome Examine(const std::string& text, bool io485 = false) {
  return ExamineAnswer(text.data(), static_cast<int32_t>(text.size()), io485);
}

TEST(AnswerParse, ValueStartsAtTheThirdFilteredCharacter) {
  const AnswerOutcome outcome = Examine("\r\nA=42\r\n>");
  EXPECT_EQ(outcome.kind, AnswerKind::Value);
  EXPECT_EQ(outcome.value, 42);
  // Two characters and the prompt leave nothing from the third on.
  EXPECT_EQ(Examine("12>").value, 0);
  EXPECT_EQ(Examine("12>", true).value, 12);
  EXPECT_EQ(Examine("7>", true).value, 7);
  EXPECT_EQ(Examine("B= -17  >").value, -17);
  // What follows the first prompt is not part of the answer.
  EXPECT_EQ(Examine("B=5\r\n>xy").value, 5);
}

// Noise, control characters and overlong answers are not values: never a made-up 0.
TEST(AnswerParse, AnswersOfAnotherShapeAreNotValues) {
  for (const std::string& text :
       {std::string("x\r\nV=77\r\n>"), std::string("xy\r\nV=77\r\n>"), std::string("abc\r\n\r\nV=77\r\n>"),
        std::string("*\r\nV=77\r\n>"), std::string("\r\nV=12\0""34\r\n>", 12), std::string("\r\nV=\0""56\r\n>", 10),
        std::string("B=-17junk>"), std::string("B=x>"), std::string("B\x01=5>"), std::string("B=4\x7F>"),
        std::string("B=+>"), "V=" + std::string(150, '7') + ">"}) {
    EXPECT_EQ(Examine(text).kind, AnswerKind::NotAValue) << text;
  }
  // The whole text is the value in the network's answer mode: a letter is no value there.
  EXPECT_EQ(Examine("\r\nA=42\r\n>", true).kind, AnswerKind::NotAValue);
  EXPECT_EQ(Examine("\x01>").kind, AnswerKind::NotAValue);
  EXPECT_EQ(Examine("x>", true).kind, AnswerKind::Value);  // one character, as before
}

TEST(AnswerParse, IgnoredCharactersAndAcknowledgements) {
  EXPECT_EQ(Examine(">").kind, AnswerKind::Acknowledge);
  EXPECT_EQ(Examine("\r\n\a>").kind, AnswerKind::Acknowledge);
  EXPECT_EQ(Examine("").kind, AnswerKind::Acknowledge);
  // H and L are stream markers, their lower-case forms are text.
  EXPECT_EQ(Examine("HLA=5HL>").value, 5);
  EXPECT_EQ(Examine("hA=5>").kind, AnswerKind::NotAValue);
}

TEST(AnswerParse, DeviceErrors) {
  AnswerOutcome outcome = Examine("\r\n?7\r\n>");
  EXPECT_EQ(outcome.kind, AnswerKind::DeviceError);
  EXPECT_EQ(outcome.digit, '7');
  EXPECT_EQ(Examine("?\nL7>").digit, '7');  // the filter runs before the digit is read
  EXPECT_EQ(Examine("?F>").digit, 'F');
  EXPECT_EQ(Examine("?a>").kind, AnswerKind::UnknownError);
  EXPECT_EQ(Examine("?0>").kind, AnswerKind::UnknownError);
  EXPECT_EQ(Examine("?>").kind, AnswerKind::UnknownError);
}

TEST(AnswerParse, PwmEventAheadOfTheAnswerIsNoPartOfIt) {
  EXPECT_EQ(Examine("P\r\nB=200\r\n>").value, 200);
  EXPECT_EQ(Examine("PLP\r\nN=1234\r\n>").value, 1234);
  EXPECT_EQ(Examine("P\r\n?7\r\n>").digit, '7');
  EXPECT_EQ(Examine("P\r\n>").kind, AnswerKind::Acknowledge);
  EXPECT_EQ(Examine("P\r\n12\r\n>", true).value, 12);
  // From the first line break on, a "P" is the answer's own.
  EXPECT_EQ(Examine("\r\nP=5\r\n>").value, 5);
  // Without a line break nothing tells an event from the answer: kept.
  EXPECT_EQ(Examine("P12>", true).kind, AnswerKind::NotAValue);
}

TEST(AnswerParse, MalformedDeviceErrorsAreQuotedWithinBounds) {
  char shown[kQuotedAnswerMax + 1];
  const auto quote = [&shown](const std::string& text) {
    QuoteExaminedAnswer(text.data(), static_cast<int32_t>(text.size()), shown);
    return std::string(shown);
  };
  EXPECT_EQ(quote("P\r\n?Z\r\n>"), "?Z");
  EXPECT_EQ(quote("?>"), "?");
  EXPECT_EQ(quote("?\x01\"\\\x80\x7F>"), "?\\x01\\x22\\x5C\\x80\\x7F");
  EXPECT_EQ(quote("?" + std::string(23, 'b') + ">"), "?" + std::string(23, 'b'));
  EXPECT_EQ(quote("?" + std::string(40, 'a') + ">"), "?" + std::string(20, 'a') + "...");
  EXPECT_EQ(quote("?" + std::string(40, '\x01') + ">"), "?\\x01\\x01\\x01\\x01\\x01...");
}

TEST(AnswerParse, FilterKeepsTheFirst99Characters) {
  std::string answer = "V=" + std::string(96, '1') + "9" + std::string(20, '2') + ">";
  char filtered[kFilteredMax + 1];
  EXPECT_EQ(FilterAnswer(answer.data(), static_cast<int32_t>(answer.size()), filtered), kFilteredMax);
  EXPECT_EQ(filtered[98], '9');
}

TEST(AnswerParse, DecimalConversionSaturates) {
  EXPECT_EQ(ParseDecimal("  +12x"), 12);
  EXPECT_EQ(ParseDecimal("\t-0"), 0);
  EXPECT_EQ(ParseDecimal("2147483647"), INT32_MAX);
  EXPECT_EQ(ParseDecimal("2147483648"), INT32_MAX);
  EXPECT_EQ(ParseDecimal("-2147483648"), INT32_MIN);
  EXPECT_EQ(ParseDecimal("-99999999999999999999999"), INT32_MIN);
  EXPECT_EQ(ParseDecimal("- 5"), 0);
  EXPECT_EQ(ParseDecimal(""), 0);
}

}  // namespace
