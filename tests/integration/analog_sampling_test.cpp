// Block sampling over a pseudo-terminal: the command line and its framing, the
// block limits, the records into an integer array or a safe array, device
// errors within a block, the deadline, and a full-size block end to end.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "fake/standin_faults.h"
#include "protocol/result_state.h"
#include "support/board_fixture.h"
#include "tarvelin.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int32_t kUnwritten = -999999;

// Records as the board sends them: '*' and the value zero-padded to 3 digits
// at 8 bits, 4 at 10 and 12 bits.
std::string Records(const std::vector<int>& values, int resolution) {
  std::string text;
  char field[16];
  for (int value : values) {
    snprintf(field, sizeof field, resolution == 8 ? "*%03d" : "*%04d", value);
    text += field;
  }
  return text;
}

std::string Block(const std::vector<int>& values, int resolution) {
  return "\r\n" + Records(values, resolution) + "\r\n>";
}

// Acknowledges every command, answers the sampling command with a scripted
// block and any line named by an error with its device error.
class SamplingTest : public test::OpenBoardTest {
 protected:
  void SetUp() override {
    test::OpenBoardTest::SetUp();
    board_.SetResponder([this](const std::string& line) -> std::optional<std::string> {
      if (line.empty()) return std::string();
      std::lock_guard<std::mutex> lock(script_mutex_);
      const auto error = errors_.find(line);
      if (error != errors_.end()) return "\r\n?" + error->second + "\r\n>";
      if (line.rfind("GS", 0) == 0) {
        boxesAtSampling_ = standin::MessageBoxCount();
        return block_;
      }
      return std::string("\r\n>");
    });
    board_.ClearReceived();
  }

  void Answer(std::string block) {
    std::lock_guard<std::mutex> lock(script_mutex_);
    block_ = std::move(block);
  }
  void Errors(std::map<std::string, std::string> errors) {
    std::lock_guard<std::mutex> lock(script_mutex_);
    errors_ = std::move(errors);
  }

  std::mutex script_mutex_;
  std::string block_ = "\r\n>";
  std::map<std::string, std::string> errors_;
  std::atomic<int> boxesAtSampling_{-1};
};

TEST(SamplingNoPort, RefusedAtThePinSetUp) {
  test::ResetLibraryState();
  int32_t values[4] = {};
  EXPECT_EQ(ADCAnalogSampling(12, 1, 0, 4, 0, values), -1);
  EXPECT_EQ(GetError(), 25);
}

TEST_F(SamplingTest, CommandLineBoxAndFraming) {
  Answer(Block({123, 4095}, 12));
  std::vector<int32_t> values(2000, kUnwritten);
  const int boxes = standin::MessageBoxCount();
  EXPECT_EQ(ADCAnalogSampling(12, 5, 3, 1000, 1, values.data()), 1);
  EXPECT_EQ(board_.Received(), "PCD$98\rPWD0\rGS12;5;3;1000;G\rPWD$80\r");
  EXPECT_EQ(values[0], 123);
  EXPECT_EQ(values[1], 4095);
  EXPECT_EQ(values[2], kUnwritten);
  EXPECT_EQ(GetError(), -1);
  // The command is shown before it is written.
  EXPECT_EQ(boxesAtSampling_, boxes + 1);
  EXPECT_STREQ(standin::LastMessageBoxCaption(), "STring  :");
  EXPECT_STREQ(standin::LastMessageBoxText(), "GS12;5;3;1000;G");
  EXPECT_EQ(standin::LastMessageBoxStyle(), MB_OK);
  EXPECT_EQ(DefaultBoard().AdcConfigured, 1);

  // Set up once; only option 1 adds ";G".
  board_.ClearReceived();
  Answer(Block({12, 255}, 8));
  EXPECT_EQ(ADCAnalogSampling(8, 3, 0, 1, 2, values.data()), 1);
  EXPECT_EQ(board_.Received(), "PWD0\rGS8;3;0;1\rPWD$80\r");
  EXPECT_EQ(values[0], 12);
  EXPECT_EQ(values[1], 255);

  // The safe-array variant shows no box.
  board_.ClearReceived();
  Answer(Block({1, 2, 3}, 10));
  std::vector<int32_t> storage(3, kUnwritten);
  standin::VbArray arrayStore = standin::SafeArrayOver(storage.data(), 3, 0);
  SAFEARRAY& array = arrayStore.array;
  SAFEARRAY* ref = &array;
  const int before = standin::MessageBoxCount();
  EXPECT_EQ(ADCAnalogSamplingVb(10, 7, 2, 1, 0, &ref), 1);
  EXPECT_EQ(board_.Received(), "PWD0\rGS10;7;2;1\rPWD$80\r");
  EXPECT_EQ(storage, (std::vector<int32_t>{1, 2, 3}));
  EXPECT_EQ(standin::MessageBoxCount(), before);
}

TEST_F(SamplingTest, MasksAndCountsGoOutUnaltered) {
  DefaultBoard().AdcConfigured = 1;
  int32_t values[4] = {kUnwritten, kUnwritten, kUnwritten, kUnwritten};
  // No channel among bits 0 to 10: nothing to store, though the board sends records.
  Answer(Block({7, 8}, 8));
  EXPECT_EQ(ADCAnalogSampling(8, 0x800, 0, 5, 0, values), 1);
  EXPECT_EQ(board_.Received(), "PWD0\rGS8;2048;0;5\rPWD$80\r");
  // A negative count goes to the board as it is; nothing is stored for it.
  board_.ClearReceived();
  Answer(Block({1}, 12));
  EXPECT_EQ(ADCAnalogSampling(12, 1, 0, -5, 0, values), 1);
  EXPECT_EQ(board_.Received(), "PWD0\rGS12;1;0;-5\rPWD$80\r");
  for (int32_t value : values) EXPECT_EQ(value, kUnwritten);
  // The full mask counts 11 channels and is sent in full; a rate code outside the table too.
  board_.ClearReceived();
  Answer(Block({}, 10));
  EXPECT_EQ(ADCAnalogSampling(10, -1, 9, 1, 0, values), 1);
  EXPECT_EQ(board_.Received(), "PWD0\rGS10;-1;9;1\rPWD$80\r");
}

TEST_F(SamplingTest, BlockLimits) {
  int32_t values[1] = {};
  for (int32_t count : {65537, 0}) {
    EXPECT_EQ(ADCAnalogSampling(12, 0x7FF, 0, count, 0, values), -1);
    EXPECT_EQ(GetError(), 60);
    EXPECT_STREQ(GetErrorMessage(), "Wrong Number of Samples ");
  }
  EXPECT_EQ(ADCAnalogSampling(12, -1, 0, 65537, 0, values), -1);  // bits above 10 do not count, the rest do
  std::vector<int32_t> storage(11 * 65537);
  standin::VbArray arrayStore = standin::SafeArrayOver(storage.data(), static_cast<ULONG>(storage.size()), 0);
  SAFEARRAY& array = arrayStore.array;
  SAFEARRAY* ref = &array;
  // The safe-array variant refuses what the answer text could never hold whole.
  for (int32_t count : {0, 66800}) {
    EXPECT_EQ(ADCAnalogSamplingVb(12, 0x7FF, 0, count, 0, &ref), -1);
    EXPECT_EQ(GetError(), 60);
  }
  EXPECT_EQ(board_.Received(), "");

  // The largest block of the integer variant and a larger one of the safe-array
  // variant are accepted and sent; the board refuses both here.
  Errors({{"GS12;2047;0;65536", "F"}, {"GS12;2047;0;65537", "F"}});
  EXPECT_EQ(ADCAnalogSampling(12, 0x7FF, 0, 65536, 0, values), -1);
  EXPECT_EQ(GetError(), 15);
  EXPECT_STREQ(GetErrorMessage(), "Too many chs or speed too high!");
  EXPECT_EQ(ADCAnalogSamplingVb(12, 0x7FF, 0, 65537, 0, &ref), -1);
  EXPECT_EQ(GetError(), 15);
  EXPECT_EQ(board_.Received(), "PCD$98\rPWD0\rGS12;2047;0;65536\rPWD0\rGS12;2047;0;65537\r");
}

TEST_F(SamplingTest, MissingArraysAreRefusedBeforeSending) {
  EXPECT_EQ(ADCAnalogSampling(12, 1, 0, 4, 0, nullptr), -1);
  EXPECT_EQ(GetError(), 28);
  EXPECT_STREQ(GetErrorMessage(), "The array for the sampled values is missing");

  int64_t wide[4] = {};
  SAFEARRAY* none = nullptr;
  standin::VbArray eightBytesStore = standin::SafeArrayOver(wide, 4, 0, 8);
  SAFEARRAY& eightBytes = eightBytesStore.array;
  standin::VbArray variantsStore = standin::SafeArrayOver(wide, 2, 0, 4, FADF_HAVEVARTYPE | FADF_VARIANT);
  SAFEARRAY& variants = variantsStore.array;
  standin::VbArray twoDimsStore = standin::SafeArrayOver(wide, 4, 0);
  SAFEARRAY& twoDims = twoDimsStore.array;
  twoDims.cDims = 2;
  SAFEARRAY* refs[] = {&eightBytes, &variants, &twoDims};
  EXPECT_EQ(ADCAnalogSamplingVb(12, 1, 0, 4, 0, nullptr), -1);
  EXPECT_EQ(GetError(), 28);
  EXPECT_EQ(ADCAnalogSamplingVb(12, 1, 0, 4, 0, &none), -1);
  EXPECT_EQ(GetError(), 28);
  for (SAFEARRAY*& ref : refs) {
    DefaultBoard().ErrorCode = 0;
    EXPECT_EQ(ADCAnalogSamplingVb(12, 1, 0, 4, 0, &ref), -1);
    EXPECT_EQ(GetError(), 28);
    EXPECT_STREQ(GetErrorMessage(), "The array for the sampled values is not a one-dimensional array of 32-bit integers");
  }
  EXPECT_EQ(board_.Received(), "");
  for (int64_t value : wide) EXPECT_EQ(value, 0);
}

TEST_F(SamplingTest, SurplusRecordsAreDropped) {
  Answer(Block({1, 2, 3, 4, 5}, 12));
  std::vector<int32_t> values(6, kUnwritten);
  EXPECT_EQ(ADCAnalogSampling(12, 1, 0, 3, 0, values.data()), 1);
  EXPECT_EQ(values, (std::vector<int32_t>{1, 2, 3, kUnwritten, kUnwritten, kUnwritten}));

  // Two channels x 2 samples: four values, the fifth record dropped.
  std::fill(values.begin(), values.end(), kUnwritten);
  EXPECT_EQ(ADCAnalogSampling(12, 0x401, 0, 2, 0, values.data()), 1);
  EXPECT_EQ(values, (std::vector<int32_t>{1, 2, 3, 4, kUnwritten, kUnwritten}));
}

TEST_F(SamplingTest, DeviceErrorsInABlock) {
  // Values before the '?' stay; the digit is the character at index 3.
  Answer("\r\n*3210*0456?9\r\n>");
  std::vector<int32_t> values(4, kUnwritten);
  EXPECT_EQ(ADCAnalogSampling(12, 3, 0, 2, 0, values.data()), -1);
  EXPECT_EQ(GetError(), 3);
  EXPECT_STREQ(GetErrorMessage(), "Command not allowed in current configuration !");
  EXPECT_EQ(values, (std::vector<int32_t>{3210, 456, kUnwritten, kUnwritten}));
  EXPECT_EQ(board_.Received().find("PWD$80"), std::string::npos);  // port D stays at 0

  // Stepper error D: the two variants word it differently.
  Answer("\r\nxD*0000*0456?\r\n>");
  EXPECT_EQ(ADCAnalogSampling(12, 3, 0, 2, 0, values.data()), -1);
  EXPECT_EQ(GetError(), 13);
  EXPECT_STREQ(GetErrorMessage(), "Stepper Motor not enabled!");
  std::vector<int32_t> storage(4, kUnwritten);
  standin::VbArray arrayStore = standin::SafeArrayOver(storage.data(), 4, 0);
  SAFEARRAY& array = arrayStore.array;
  SAFEARRAY* ref = &array;
  EXPECT_EQ(ADCAnalogSamplingVb(12, 3, 0, 2, 0, &ref), -1);
  EXPECT_EQ(GetError(), 13);
  EXPECT_STREQ(GetErrorMessage(), "Stepper Motor not enable!");
  EXPECT_EQ(storage, (std::vector<int32_t>{0, 456, kUnwritten, kUnwritten}));

  // Every digit, with the block's own short texts.
  const char* texts[] = {" Syntax error",
                         " Port must be configured or enabled first!",
                         "Command not allowed in current configuration !",
                         "No such port",
                         "Value out of range or syntax error!",
                         "Pin configured as an output",
                         "Time out error",
                         "Frequency too high for required duty cycle",
                         "Baud rate not supported",
                         " Stepper enabled, do disable first",
                         "SPI requires pin PD3/PS_SS always high, change and try again",
                         "Timer not available!",
                         "Stepper Motor not enabled!",
                         "Stepper running, do stop first!",
                         "Too many chs or speed too high!"};
  const char digits[] = "123456789ABCDEF";
  for (int i = 0; i < 15; ++i) {
    Answer(std::string("\r\n?") + digits[i] + "\r\n>");
    EXPECT_EQ(ADCAnalogSampling(10, 1, 0, 1, 0, values.data()), -1);
    EXPECT_EQ(GetError(), i + 1);
    EXPECT_STREQ(GetErrorMessage(), texts[i]);
  }

  // A PWM end event ahead of the block does not move the digit.
  Answer("P\r\n?7\r\n>");
  EXPECT_EQ(ADCAnalogSampling(10, 1, 0, 1, 0, values.data()), -1);
  EXPECT_EQ(GetError(), 7);
}

TEST_F(SamplingTest, MalformedDeviceErrorInABlockIsRecorded) {
  std::vector<int32_t> values(1, kUnwritten);
  const std::pair<const char*, const char*> cases[] = {
      {"\r\n?0\r\n>", "?0"}, {"\r\n?a\r\n>", "?a"}, {"\r\n?\r\n>", "?\\x0D"}, {"?>", "?"}};
  for (const auto& [answer, shown] : cases) {
    SCOPED_TRACE(shown);
    Answer(answer);
    EXPECT_EQ(ADCAnalogSampling(10, 1, 0, 1, 0, values.data()), -1);
    EXPECT_EQ(GetError(), 33);
    EXPECT_EQ(GetErrorMessage(), std::string(" Command Error: Malformed device error in answer \"") + shown +
                                     "\" (command = GS10;1;0;1)");
  }
}

TEST_F(SamplingTest, QuestionMarkInTheNetworkModeIsSkipped) {
  ASSERT_EQ(WriteCommand("CRAP"), 1);
  ASSERT_EQ(DefaultBoard().Io485Mode, 1);
  Answer("\r\n?7*0001*0002\r\n>");
  std::vector<int32_t> values(2, kUnwritten);
  board_.ClearReceived();
  EXPECT_EQ(ADCAnalogSampling(12, 1, 0, 2, 0, values.data()), 1);
  EXPECT_EQ(values, (std::vector<int32_t>{1, 2}));
  EXPECT_EQ(board_.Received(), "PCD$98\rPWD0\rGS12;1;0;2\rPWD$80\r");
}

TEST_F(SamplingTest, ResolutionIsCheckedAfterPortD) {
  int32_t values[1] = {kUnwritten};
  const int boxes = standin::MessageBoxCount();
  EXPECT_EQ(ADCAnalogSampling(9, 1, 0, 1, 0, values), -1);
  EXPECT_EQ(GetError(), 61);
  EXPECT_STREQ(GetErrorMessage(), "Wrong ADC Resolution");
  EXPECT_EQ(board_.Received(), "PCD$98\rPWD0\r");
  EXPECT_EQ(standin::MessageBoxCount(), boxes);
}

TEST_F(SamplingTest, DeadlinePassesWithoutThePrompt) {
  // Records but no prompt: 10 samples at rate code 0 are allowed 5005 ms.
  Answer("\r\n*0001*0002");
  std::vector<int32_t> values(10, kUnwritten);
  const auto start = Clock::now();
  EXPECT_EQ(ADCAnalogSampling(12, 1, 0, 10, 0, values.data()), -1);
  const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
  EXPECT_EQ(GetError(), 26);
  EXPECT_STREQ(GetErrorMessage(), "COM port timed out");
  EXPECT_GE(elapsed, 4900);
  EXPECT_LT(elapsed, 60000);
  EXPECT_EQ(values[0], kUnwritten);  // nothing is parsed
  EXPECT_EQ(board_.Received(), "PCD$98\rPWD0\rGS12;1;0;10\r");
}

TEST_F(SamplingTest, RefusedPortDAfterTheBlock) {
  Errors({{"PWD$80", "2"}});
  Answer(Block({11, 22}, 10));
  std::vector<int32_t> values(2, kUnwritten);
  EXPECT_EQ(ADCAnalogSampling(10, 1, 0, 2, 0, values.data()), -1);
  EXPECT_EQ(GetError(), 2);
  EXPECT_EQ(values, (std::vector<int32_t>{11, 22}));  // stored all the same

  std::vector<int32_t> storage(2, kUnwritten);
  standin::VbArray arrayStore = standin::SafeArrayOver(storage.data(), 2, 0);
  SAFEARRAY& array = arrayStore.array;
  SAFEARRAY* ref = &array;
  EXPECT_EQ(ADCAnalogSamplingVb(10, 1, 0, 2, 0, &ref), 1);
  EXPECT_EQ(storage, (std::vector<int32_t>{11, 22}));
  EXPECT_NE(board_.Received().rfind("PWD$80\r"), std::string::npos);
}

// Indices 0 to count - 1 must all lie within the array: otherwise 28 with the
// indices needed and those there, and nothing is sent.
TEST_F(SamplingTest, SafeArrayWithoutTheIndicesIsRefusedBeforeSending) {
  DefaultBoard().AdcConfigured = 1;
  std::vector<int32_t> storage(4, kUnwritten);
  struct Case {
    ULONG count;
    LONG lowerBound;
    int32_t mask;
    int32_t samples;
    const char* text;
  };
  const Case refused[] = {
      {3, 1, 1, 3,
       "The array for the sampled values needs the indices 0 to 2 (channels x samples = 1 x 3); it has 1 to 3"},
      {4, 0, 3, 3,
       "The array for the sampled values needs the indices 0 to 5 (channels x samples = 2 x 3); it has 0 to 3"},
      {0, 0, 1, 1,
       "The array for the sampled values needs the indices 0 to 0 (channels x samples = 1 x 1); it has none"},
      // Wide numbers still fit the 152 bytes of GetErrorMessageVb.
      {0xFFFFFFFFu, 1, 0x7FF, 65536,
       "The array for the sampled values needs the indices 0 to 720895 (channels x samples = 11 x 65536); "
       "it has 1 to 4294967295"},
  };
  for (const Case& c : refused) {
    standin::VbArray store = standin::SafeArrayOver(storage.data(), c.count, c.lowerBound);
    SAFEARRAY* ref = &store.array;
    const int boxes = standin::MessageBoxCount();
    EXPECT_EQ(ADCAnalogSamplingVb(12, c.mask, 0, c.samples, 0, &ref), -1);
    EXPECT_EQ(GetError(), 28);
    EXPECT_STREQ(GetErrorMessage(), c.text);
    EXPECT_LT(strlen(GetErrorMessage()), 152u);
    EXPECT_EQ(standin::MessageBoxCount(), boxes);
  }
  EXPECT_EQ(board_.Received(), "");
  EXPECT_EQ(storage, (std::vector<int32_t>(4, kUnwritten)));

  // A lower bound below 0 holds index 0 onwards: accepted, filled from index 0.
  Answer(Block({5, 6}, 12));
  standin::VbArray fromMinusOne = standin::SafeArrayOver(storage.data(), 3, -1);
  SAFEARRAY* ref = &fromMinusOne.array;
  EXPECT_EQ(ADCAnalogSamplingVb(12, 1, 0, 2, 0, &ref), 1);
  EXPECT_EQ(storage, (std::vector<int32_t>{kUnwritten, 5, 6, kUnwritten}));
}

// A board that sends more records than were asked for overruns an array that
// has exactly the indices asked for: the store fails there.
TEST_F(SamplingTest, SafeArrayStoreFailure) {
  DefaultBoard().AdcConfigured = 1;
  Answer(Block({5, 6, 7}, 12));
  std::vector<int32_t> storage(3, kUnwritten);
  standin::VbArray twoStore = standin::SafeArrayOver(storage.data(), 2, 0);
  SAFEARRAY* ref = &twoStore.array;
  const int boxes = standin::MessageBoxCount();
  EXPECT_EQ(ADCAnalogSamplingVb(12, 1, 0, 2, 0, &ref), -1);
  EXPECT_EQ(standin::MessageBoxCount(), boxes + 1);
  EXPECT_STREQ(standin::LastMessageBoxCaption(), "ERROR ");
  EXPECT_STREQ(standin::LastMessageBoxText(), " Not enough memory for requested sampling");
  EXPECT_EQ(standin::LastMessageBoxStyle(), MB_ICONERROR);
  EXPECT_EQ(GetError(), -1);  // no code of its own
  EXPECT_EQ(storage, (std::vector<int32_t>{5, 6, kUnwritten}));
  EXPECT_EQ(board_.Received(), "PWD0\rGS12;1;0;2\r");
}

TEST_F(SamplingTest, FullTwelveBitBlockEndToEnd) {
  constexpr int kChannels = 11;
  constexpr int kSamples = 65536;
  constexpr int kValues = kChannels * kSamples;
  std::vector<int> sent(kValues);
  for (int k = 0; k < kValues; ++k) sent[static_cast<size_t>(k)] = (k * 37 + 11) % 4096;
  const std::string block = Block(sent, 12);
  ASSERT_EQ(block.size(), 3604480u + 5u);
  Answer(block);
  // In pieces with a pause between them: the board gives up on output that
  // nobody has taken within its stall time, and a 3.6 MB answer is one piece otherwise.
  board_.SetChunking(65536, 1);

  std::vector<int32_t> values(kValues + 1, kUnwritten);
  const auto start = Clock::now();
  EXPECT_EQ(ADCAnalogSampling(12, 0x7FF, 0, kSamples, 0, values.data()), 1) << GetErrorMessage();
  const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
  printf("full 12-bit block of %d values: %lld ms\n", kValues, static_cast<long long>(elapsed));
  int mismatches = 0;
  for (int k = 0; k < kValues; ++k) mismatches += values[static_cast<size_t>(k)] != sent[static_cast<size_t>(k)];
  EXPECT_EQ(mismatches, 0);
  EXPECT_EQ(values[kValues], kUnwritten);
}

}  // namespace
