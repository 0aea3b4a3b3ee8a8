#include <gtest/gtest.h>

#include <cstring>

#include "protocol/answer_parse.h"
#include "protocol/baud_rate.h"
#include "protocol/error_texts.h"

namespace {

TEST(BaudTable, RatesSelectByTheirHundreds) {
  EXPECT_EQ(LineRateFor(9600), 9600);
  EXPECT_EQ(LineRateFor(9699), 9600);
  EXPECT_EQ(LineRateFor(19250), 19200);
  EXPECT_EQ(LineRateFor(300), 300);
  EXPECT_EQ(LineRateFor(115200), 115200);
  EXPECT_EQ(LineRateFor(14400), 0);
  EXPECT_EQ(LineRateFor(100), 0);
  EXPECT_EQ(LineRateFor(-9600), 0);
  EXPECT_EQ(LineRateFor(INT32_MIN), 0);
}

TEST(DeviceErrorTable, DigitsOneToF) {
  const char digits[] = "123456789ABCDEF";
  for (int i = 0; i < 15; ++i) {
    const DeviceError* error = FindDeviceError(digits[i]);
    ASSERT_NE(error, nullptr) << digits[i];
    EXPECT_EQ(error->code, i + 1);
    EXPECT_NE(strstr(error->transactionFormat, "(command = %s)"), nullptr);
  }
  EXPECT_EQ(FindDeviceError('0'), nullptr);
  EXPECT_EQ(FindDeviceError('a'), nullptr);
  EXPECT_EQ(FindDeviceError('G'), nullptr);
  // The longest formatted text, with a command of 62 characters, fits the error text.
  EXPECT_EQ(strlen(FindDeviceError('B')->transactionFormat) - 2 + 62, 151u);
}

TEST(LibraryErrorTable, MalformedDeviceErrorTextFitsTheCallersBuffer) {
  const LibraryError& error = LibraryErrorOf(LibraryErrorId::MalformedDeviceError);
  EXPECT_EQ(error.code, 33);
  EXPECT_EQ(error.kind, TextKind::AnswerFormatted);
  // Both placeholders at their widest stay within the 151 characters of GetErrorMessageVb.
  EXPECT_LE(strlen(error.text) - 4 + kQuotedAnswerMax + 62, 151u);
}

}  // namespace
