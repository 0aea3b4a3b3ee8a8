// The block record parser and the pure pieces of block sampling: the channel
// count, the deadline's allowance and the command text.
#include "analog/block_parse.h"

#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <vector>

#include "analog/block_sampling.h"

namespace {

struct Collected {
  std::vector<int32_t> values;
  int32_t refuseAt = -1;  // the sink refuses this index
};

bool Collect(void* context, int32_t index, int32_t value) {
  auto* collected = static_cast<Collected*>(context);
  if (index == collected->refuseAt) return false;
  EXPECT_EQ(index, static_cast<int32_t>(collected->values.size()));
  collected->values.push_back(value);
  return true;
}

BlockOutcome Parse(const std::string& text, int32_t resolution, Collected& out, bool deviceErrors = true) {
  return ParseBlock(text.data(), static_cast<int32_t>(text.size()), BlockRecordStep(resolution), deviceErrors,
                    Collect, &out);
}

std::vector<int32_t> Values(const std::string& text, int32_t resolution) {
  Collected out;
  EXPECT_EQ(Parse(text, resolution, out).end, BlockEnd::Complete) << text;
  return out.values;
}

using V = std::vector<int32_t>;

TEST(BlockParse, RecordsAtEachWidth) {
  EXPECT_EQ(Values("*0123*4095\r\n>", 12), (V{123, 4095}));
  EXPECT_EQ(Values("*0000*1023>", 10), (V{0, 1023}));
  EXPECT_EQ(Values("*012*255\r\n>", 8), (V{12, 255}));
  // Characters between records are skipped; the prompt is no record.
  EXPECT_EQ(Values("\r\nGS\a*0001\r\n*0002>", 12), (V{1, 2}));
  EXPECT_EQ(Values("", 12), V{});
  EXPECT_EQ(Values(">", 8), V{});
  EXPECT_EQ(BlockRecordStep(8), 4);
  EXPECT_EQ(BlockRecordStep(10), 5);
  EXPECT_EQ(BlockRecordStep(12), 5);
  EXPECT_EQ(BlockRecordStep(9), 0);
}

TEST(BlockParse, FieldsAreValuesOfTheRecordWidth) {
  EXPECT_EQ(Values("*012*255", 8), (V{12, 255}));
  EXPECT_EQ(Values("* +12*-001* 7  ", 12), (V{12, -1, 7}));
  EXPECT_EQ(Values("*12345", 12), (V{1234}));  // the fifth character is after the field
}

// A record that is not a value ends the parse instead of storing a made-up 0:
// noise, a NUL or a control character in its field, or a field cut short.
TEST(BlockParse, RecordsThatAreNotValuesFailWhereTheyStand) {
  for (const std::string& text : {std::string("*0123*ab12*0001"), std::string("*0123*01\0""2"),
                                  std::string("*0123*\n 7"), std::string("*0123*40"), std::string("*0123*"),
                                  std::string("*0123*+ *0001")}) {
    Collected out;
    const BlockOutcome outcome = Parse(text, 12, out);
    EXPECT_EQ(outcome.end, BlockEnd::BadRecord) << text;
    EXPECT_EQ(outcome.recordAt, 5) << text;
    EXPECT_EQ(out.values, (V{123})) << text;
  }
  // Nothing at or beyond the length is read: the digits after it do not count.
  const char text[] = "*12345678";
  Collected out;
  EXPECT_EQ(ParseBlock(text, 3, 5, true, Collect, &out).end, BlockEnd::BadRecord);
  EXPECT_EQ(out.values, V{});
}

TEST(BlockParse, DeviceErrorTakesTheDigitAtIndexThree) {
  Collected out;
  BlockOutcome outcome = Parse("\r\n?7\r\n>", 12, out);
  EXPECT_EQ(outcome.end, BlockEnd::DeviceError);
  EXPECT_EQ(outcome.digit, '7');
  EXPECT_EQ(outcome.values, 0);

  // Wherever the '?' stands; the values before it are kept.
  Collected before;
  outcome = Parse("\r\n*3210*0456?9\r\n>", 12, before);
  EXPECT_EQ(outcome.end, BlockEnd::DeviceError);
  EXPECT_EQ(outcome.digit, '3');
  EXPECT_EQ(before.values, (V{3210, 456}));
  EXPECT_EQ(outcome.values, 2);

  // A text too short to have index 3.
  Collected shortText;
  outcome = Parse("?5", 12, shortText);
  EXPECT_EQ(outcome.end, BlockEnd::DeviceError);
  EXPECT_EQ(outcome.digit, '\0');
}

TEST(BlockParse, PwmEventAheadOfTheAnswerDoesNotShiftTheDigit) {
  Collected out;
  EXPECT_EQ(Parse("P\r\n?7\r\n>", 12, out).digit, '7');
  EXPECT_EQ(Parse("PP\r\n?A\r\n>", 12, out).digit, 'A');
  // Past the first line break a 'P' counts like any character.
  EXPECT_EQ(Parse("\rP\n?7\r\n>", 12, out).digit, '?');
}

TEST(BlockParse, QuestionMarkSkippedOutsideDeviceErrors) {
  Collected out;
  const BlockOutcome outcome = Parse("\r\n?7*0001?*0002\r\n>", 12, out, false);
  EXPECT_EQ(outcome.end, BlockEnd::Complete);
  EXPECT_EQ(out.values, (V{1, 2}));
}

TEST(BlockParse, RefusedStoreEndsTheParse) {
  Collected out;
  out.refuseAt = 1;
  const BlockOutcome outcome = Parse("*0001*0002*0003>", 12, out);
  EXPECT_EQ(outcome.end, BlockEnd::StoreFailed);
  EXPECT_EQ(outcome.values, 1);
  EXPECT_EQ(out.values, (V{1}));
}

TEST(BlockSampling, ChannelCountFromBitsZeroToTen) {
  EXPECT_EQ(CountSampledChannels(0), 0);
  EXPECT_EQ(CountSampledChannels(5), 2);
  EXPECT_EQ(CountSampledChannels(0x7FF), 11);
  EXPECT_EQ(CountSampledChannels(0x800), 0);
  EXPECT_EQ(CountSampledChannels(-1), 11);
}

TEST(BlockSampling, AllowanceFromRateAndCount) {
  const int32_t factors[] = {400, 600, 2000, 3000, 9000, 20000, 40000, 100000};
  for (int32_t code = 0; code < 8; ++code) EXPECT_EQ(SamplingRateFactor(code), factors[code]);
  EXPECT_EQ(SamplingRateFactor(9), 9);
  EXPECT_EQ(SamplingRateFactor(-3), -3);

  EXPECT_EQ(SamplingAllowanceMs(2, 1000), 7500);
  EXPECT_EQ(SamplingAllowanceMs(7, 30000), 3755000);
  EXPECT_EQ(SamplingAllowanceMs(0, 65536), 37768);
  EXPECT_EQ(SamplingAllowanceMs(9, 1000), 5011);   // 9000 / 800 truncated
  EXPECT_EQ(SamplingAllowanceMs(0, -5), 4998);     // -2.5 truncated toward zero
  // Far beyond 32 bits, without overflow.
  EXPECT_EQ(SamplingAllowanceMs(INT32_MAX, INT32_MAX),
            static_cast<int64_t>(INT32_MAX) * INT32_MAX / 800 + 5000);
  EXPECT_EQ(SamplingAllowanceMs(INT32_MIN, INT32_MAX),
            static_cast<int64_t>(INT32_MIN) * INT32_MAX / 800 + 5000);
}

TEST(BlockSampling, CommandText) {
  char command[kSamplingCommandSize];
  EXPECT_EQ(FormatSamplingCommand(command, 12, 5, 3, 1000, 1), 15);
  EXPECT_STREQ(command, "GS12;5;3;1000;G");
  FormatSamplingCommand(command, 8, 0x800, 0, 5, 2);  // only 1 asks for ;G
  EXPECT_STREQ(command, "GS8;2048;0;5");
  FormatSamplingCommand(command, 10, -1, -7, -5, 0);
  EXPECT_STREQ(command, "GS10;-1;-7;-5");
  EXPECT_EQ(FormatSamplingCommand(command, 9, 1, 0, 10, 0), 0);
  EXPECT_STREQ(command, "");
  // The longest line still leaves room for the carriage return.
  const int32_t longest = FormatSamplingCommand(command, 12, INT32_MIN, INT32_MIN, INT32_MIN, 1);
  EXPECT_EQ(longest, 42);
  EXPECT_LE(longest + 2, static_cast<int32_t>(kSamplingCommandSize));
}

}  // namespace
