// Single analog readings: one channel converted at 8, 10 or 12 bits, and the
// 10-bit reading through port S in two byte reads. Port D is written 0 before
// the conversion and 128 after it.
#include <cstdio>

#include "analog/analog_pins.h"
#include "board/families.h"
#include "protocol/call_turn.h"
#include "protocol/notice.h"
#include "protocol/result_state.h"
#include "protocol/transaction.h"
#include "tarvelin.h"

namespace {

constexpr int32_t kChannelMax = 14;

struct ConversionRule {
  int32_t resolution;
  const char* commandHead;  // followed by the channel in decimal
  int32_t channelMax;       // checked after the port D preparation
  int32_t valueMax;         // -1: the value is taken as it comes
  bool showsValue;          // the value is shown to the user before port D goes back
};
constexpr ConversionRule kConversionRules[] = {
    {8, "GA8;", 11, -1, false},
    {10, "GA10;", kChannelMax, 1023, false},
    {12, "GA12;", kChannelMax, 4095, true},
};

constexpr char kValueCaption[] = " STring QEl Answer";

// Port S: the special function, the two input patterns, the byte read.
constexpr char kPortSSpecial[] = "PCSA128";
constexpr const char* kPortSPatterns[] = {"PWS$60", "PWS$70"};
constexpr char kPortSRead[] = "PRS";

const ConversionRule* FindConversionRule(int32_t resolution) {
  for (const ConversionRule& rule : kConversionRules) {
    if (rule.resolution == resolution) return &rule;
  }
  return nullptr;
}

}  // namespace

namespace tarvelin {

int32_t ADCAnalog(Board& board, int32_t resolution, int32_t channel) {
  CallTurn turn(board);
  if (!turn.Granted()) return -1;
  if (board.PortInitialized == 0) {
    RecordError(board, LibraryErrorId::NoPortOpen);
    return -1;
  }
  ResetError(board);
  const ConversionRule* rule = FindConversionRule(resolution);
  if (rule == nullptr) {
    RecordError(board, LibraryErrorId::AdcResolution);
    return -1;
  }
  if (channel < 0 || channel > kChannelMax) {
    RecordError(board, LibraryErrorId::AdcChannel);
    return -1;
  }
  if (!ConfigureAnalogPins(board)) return -1;
  if (QelCommand(board, kPortDBeforeConversion) != 1) return -1;
  if (channel > rule->channelMax) {
    RecordError(board, LibraryErrorId::AdcWrongChannel);
    return -1;
  }

  char command[16];
  snprintf(command, sizeof command, "%s%d", rule->commandHead, static_cast<int>(channel));
  if (QelCommand(board, command) != 1) return -1;
  const int32_t value = board.LastValue;
  if (rule->valueMax >= 0 && (value < 0 || value > rule->valueMax)) {
    RecordError(board, LibraryErrorId::AdcValueRange);
    return -1;
  }
  if (rule->showsValue) {
    char text[16];
    snprintf(text, sizeof text, "%d", static_cast<int>(value));
    ShowNotice(board, text, kValueCaption);
  }
  if (QelCommand(board, kPortDAfterConversion) != 1) return -1;
  return value;
}

int32_t ReadADCM2(Board& board, int32_t mode) {
  CallTurn turn(board);
  if (!turn.Granted()) return -1;
  if (QelCommand(board, kAnalogPinSetup) != 1 || QelCommand(board, kPortDAfterConversion) != 1 ||
      QelCommand(board, kPortSSpecial) != 1) {
    return -1;
  }
  // Any mode without a pattern reads nothing and is its own result.
  int32_t result = mode;
  if (mode == 0 || mode == 1) {
    if (QelCommand(board, kPortSPatterns[mode]) != 1 || QelCommand(board, kPortDBeforeConversion) != 1 ||
        QelCommand(board, kPortSRead) != 1) {
      return -1;
    }
    const int32_t high = board.LastValue;  // bits 9 and 8
    if (QelCommand(board, kPortSRead) != 1) return -1;
    result = ((high & 3) << 8) | board.LastValue;
  }
  if (QelCommand(board, kPortDAfterConversion) != 1) return -1;
  return result;
}

}  // namespace tarvelin

// The classic exports act on the default board.
int32_t TARVELIN_CALL ADCAnalog(int32_t resolution, int32_t channel) {
  return tarvelin::ADCAnalog(DefaultBoard(), resolution, channel);
}
int32_t TARVELIN_CALL ReadADCM2(int32_t mode) { return tarvelin::ReadADCM2(DefaultBoard(), mode); }
