// Single analog conversions over a pseudo-terminal: the command sequences with
// the one-time pin set-up and the port D framing, the argument checks, the
// range checks, the value box of the 12-bit path and the port S reading.
#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "fake/standin_faults.h"
#include "protocol/result_state.h"
#include "support/board_fixture.h"
#include "tarvelin.h"

namespace {

// Answers every command with a prompt, the conversions and port S reads with
// scripted values, and any line named by an error with its device error. The
// script is shared with the board's service thread, hence the lock.
class AnalogTest : public test::OpenBoardTest {
 protected:
  void SetUp() override {
    test::OpenBoardTest::SetUp();
    board_.SetResponder([this](const std::string& line) -> std::optional<std::string> {
      if (line.empty()) return std::string();
      if (line == "PWD128") boxesAtPortDBack_ = standin::MessageBoxCount();
      std::lock_guard<std::mutex> lock(script_mutex_);
      const auto error = errors_.find(line);
      if (error != errors_.end()) return "\r\n?" + error->second + "\r\n>";
      if (line.rfind("GA", 0) == 0) return "\r\nA=" + std::to_string(conversion_) + "\r\n>";
      if (line == "PRS") {
        const int value = portS_.empty() ? 0 : portS_.front();
        if (!portS_.empty()) portS_.erase(portS_.begin());
        return "\r\nS=" + std::to_string(value) + "\r\n>";
      }
      return std::string("\r\n>");
    });
    board_.ClearReceived();
  }

  void Conversion(int value) {
    std::lock_guard<std::mutex> lock(script_mutex_);
    conversion_ = value;
  }
  void PortS(std::vector<int> bytes) {
    std::lock_guard<std::mutex> lock(script_mutex_);
    portS_ = std::move(bytes);
  }
  void Errors(std::map<std::string, std::string> errors) {
    std::lock_guard<std::mutex> lock(script_mutex_);
    errors_ = std::move(errors);
  }

  std::mutex script_mutex_;
  int conversion_ = 0;
  std::vector<int> portS_;
  std::map<std::string, std::string> errors_;
  std::atomic<int> boxesAtPortDBack_{-1};
};

TEST(AnalogNoPort, NothingIsSentBeforeAPortIsOpen) {
  test::ResetLibraryState();
  EXPECT_EQ(ADCAnalog(10, 3), -1);
  EXPECT_EQ(GetError(), 25);
  EXPECT_STREQ(GetErrorMessage(), "Commands cannot be sent before a COM port is open");
  EXPECT_EQ(ReadADCM2(0), -1);
  EXPECT_EQ(GetError(), 25);
  EXPECT_EQ(DefaultBoard().AdcConfigured, 0);
}

TEST_F(AnalogTest, FirstAndLaterConversions) {
  Conversion(517);
  EXPECT_EQ(ADCAnalog(10, 3), 517);
  EXPECT_EQ(board_.Received(), "PCD$98\rPWD0\rGA10;3\rPWD128\r");
  EXPECT_EQ(DefaultBoard().AdcConfigured, 1);
  EXPECT_EQ(GetError(), -1);

  // Set up once: later calls start at port D.
  board_.ClearReceived();
  Conversion(200);
  EXPECT_EQ(ADCAnalog(8, 11), 200);
  EXPECT_EQ(board_.Received(), "PWD0\rGA8;11\rPWD128\r");
}

TEST_F(AnalogTest, TwelveBitValueIsShownBeforePortDGoesBack) {
  DefaultBoard().AdcConfigured = 1;
  Conversion(2047);
  const int boxes = standin::MessageBoxCount();
  EXPECT_EQ(ADCAnalog(12, 0), 2047);
  EXPECT_EQ(board_.Received(), "PWD0\rGA12;0\rPWD128\r");
  EXPECT_EQ(standin::MessageBoxCount(), boxes + 1);
  EXPECT_EQ(boxesAtPortDBack_, boxes + 1);
  EXPECT_STREQ(standin::LastMessageBoxCaption(), " STring QEl Answer");
  EXPECT_STREQ(standin::LastMessageBoxText(), "2047");
  EXPECT_EQ(standin::LastMessageBoxStyle(), MB_OK);

  // Ten bits show nothing.
  Conversion(5);
  EXPECT_EQ(ADCAnalog(10, 14), 5);
  EXPECT_EQ(standin::MessageBoxCount(), boxes + 1);
}

TEST_F(AnalogTest, ArgumentChecksSendNothing) {
  EXPECT_EQ(ADCAnalog(9, 3), -1);
  EXPECT_EQ(GetError(), 60);
  EXPECT_STREQ(GetErrorMessage(), "Resolution must be 8, 10 or 12 [bits]");
  EXPECT_EQ(ADCAnalog(9, 15), -1);  // the resolution is checked first
  EXPECT_EQ(GetError(), 60);
  for (int channel : {15, -1}) {
    EXPECT_EQ(ADCAnalog(10, channel), -1);
    EXPECT_EQ(GetError(), 61);
    EXPECT_STREQ(GetErrorMessage(), "Channel must be between 0 and 14 ");
  }
  EXPECT_EQ(board_.Received(), "");
  EXPECT_EQ(DefaultBoard().AdcConfigured, 0);
}

TEST_F(AnalogTest, EightBitChannelLimitComesAfterPortD) {
  EXPECT_EQ(ADCAnalog(8, 12), -1);
  EXPECT_EQ(GetError(), 50);
  EXPECT_STREQ(GetErrorMessage(), " Wrong Channel  ");
  EXPECT_EQ(board_.Received(), "PCD$98\rPWD0\r");
  board_.ClearReceived();
  EXPECT_EQ(ADCAnalog(8, 14), -1);
  EXPECT_EQ(board_.Received(), "PWD0\r");
}

TEST_F(AnalogTest, RangeChecks) {
  // Eight bits: whatever the board says.
  for (int value : {-7, 9999}) {
    Conversion(value);
    EXPECT_EQ(ADCAnalog(8, 0), value);
  }
  const int boxes = standin::MessageBoxCount();
  const struct {
    int resolution;
    int value;
    int expected;
  } cases[] = {{10, 1023, 1023}, {10, 1024, -1}, {10, -1, -1}, {12, 4096, -1}, {12, -5, -1}};
  for (const auto& c : cases) {
    Conversion(c.value);
    board_.ClearReceived();
    EXPECT_EQ(ADCAnalog(c.resolution, 1), c.expected) << c.resolution << " bits, " << c.value;
    if (c.expected == -1) {
      EXPECT_EQ(GetError(), 29);
      EXPECT_STREQ(GetErrorMessage(), "Returned value out of range");
      EXPECT_EQ(board_.Received().find("PWD128"), std::string::npos);
    }
  }
  EXPECT_EQ(standin::MessageBoxCount(), boxes);  // no box for a value out of range
}

TEST_F(AnalogTest, RefusedCommandsStopTheSequence) {
  Errors({{"PCD$98", "2"}});
  EXPECT_EQ(ADCAnalog(10, 3), -1);
  EXPECT_EQ(GetError(), 2);
  EXPECT_EQ(DefaultBoard().AdcConfigured, 0);
  EXPECT_EQ(board_.Received(), "PCD$98\r");

  Errors({{"GA12;4", "5"}});
  board_.ClearReceived();
  EXPECT_EQ(ADCAnalog(12, 4), -1);
  EXPECT_EQ(GetError(), 5);
  EXPECT_EQ(board_.Received(), "PCD$98\rPWD0\rGA12;4\r");  // port D stays at 0

  Errors({{"PWD128", "7"}});
  Conversion(300);
  EXPECT_EQ(ADCAnalog(10, 4), -1);
  EXPECT_EQ(GetError(), 7);
}

TEST_F(AnalogTest, PortSReading) {
  PortS({7, 32});
  EXPECT_EQ(ReadADCM2(0), 800);  // (7 & 3) << 8 | 32
  EXPECT_EQ(board_.Received(), "PCD$98\rPWD128\rPCSA128\rPWS$60\rPWD0\rPRS\rPRS\rPWD128\r");
  EXPECT_EQ(DefaultBoard().AdcConfigured, 0);  // neither read nor written

  // The second byte is taken unmasked.
  board_.ClearReceived();
  PortS({6, 300});
  EXPECT_EQ(ReadADCM2(1), (2 << 8) | 300);
  EXPECT_EQ(board_.Received(), "PCD$98\rPWD128\rPCSA128\rPWS$70\rPWD0\rPRS\rPRS\rPWD128\r");

  // Other modes read nothing and are their own result, -1 included.
  DefaultBoard().AdcConfigured = 1;
  board_.ClearReceived();
  EXPECT_EQ(ReadADCM2(5), 5);
  EXPECT_EQ(board_.Received(), "PCD$98\rPWD128\rPCSA128\rPWD128\r");
  EXPECT_EQ(ReadADCM2(-1), -1);
  EXPECT_EQ(GetError(), -1);
  EXPECT_EQ(DefaultBoard().AdcConfigured, 1);

  Errors({{"PRS", "7"}});
  board_.ClearReceived();
  EXPECT_EQ(ReadADCM2(0), -1);
  EXPECT_EQ(GetError(), 7);
  EXPECT_EQ(board_.Received(), "PCD$98\rPWD128\rPCSA128\rPWS$60\rPWD0\rPRS\r");
}

}  // namespace
