// Analog input end to end against the board's behavioural model: conversions
// at each resolution, the port S reading and small blocks, all within range.
#include <gtest/gtest.h>

#include <vector>

#include "protocol/result_state.h"
#include "support/board_fixture.h"
#include "support/vb_array.h"
#include "tarvelin.h"

namespace {

class AnalogModelTest : public test::OpenBoardTest {};

TEST_F(AnalogModelTest, ConversionsWithinRange) {
  const int at8 = ADCAnalog(8, 0);
  EXPECT_GE(at8, 0) << GetErrorMessage();
  EXPECT_LE(at8, 255);
  const int at10 = ADCAnalog(10, 3);
  EXPECT_GE(at10, 0) << GetErrorMessage();
  EXPECT_LE(at10, 1023);
  // Channel 14 holds three quarters of full scale.
  const int at12 = ADCAnalog(12, 14);
  EXPECT_NEAR(at12, 3072, 2) << GetErrorMessage();
  EXPECT_EQ(DefaultBoard().AdcConfigured, 1);

  for (int mode : {0, 1}) {
    const int reading = ReadADCM2(mode);
    EXPECT_GE(reading, 0) << "mode " << mode << ": " << GetErrorMessage();
    EXPECT_LE(reading, 1023);
  }
}

TEST_F(AnalogModelTest, SmallBlocksWithinRange) {
  std::vector<int32_t> values(40, -1);
  ASSERT_EQ(ADCAnalogSampling(10, 0x3, 0, 20, 0, values.data()), 1) << GetErrorMessage();
  for (int32_t value : values) {
    EXPECT_GE(value, 0);
    EXPECT_LE(value, 1023);
  }

  std::vector<int32_t> storage(30, -1);
  SAFEARRAY array{};
  array.cDims = 1;
  array.cbElements = 4;
  array.pvData = storage.data();
  array.rgsabound[0].cElements = 30;
  SAFEARRAY* ref = &array;
  ASSERT_EQ(ADCAnalogSamplingVb(8, 0x5, 1, 15, 1, &ref), 1) << GetErrorMessage();
  for (int32_t value : storage) {
    EXPECT_GE(value, 0);
    EXPECT_LE(value, 255);
  }
}

}  // namespace
