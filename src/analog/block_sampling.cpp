// Timed block sampling: the board samples a set of channels a given number of
// times and sends every value in one answer of '*' records, which is parsed
// into the caller's integer array or Visual Basic safe array. The sampling
// command is written directly and waited for here, with a deadline that grows
// with the sample count and the rate; port D is framed through the transaction.
#include "analog/block_sampling.h"

#include <bit>
#include <cstdio>

#include "analog/analog_pins.h"
#include "analog/block_parse.h"
#include "protocol/call_turn.h"
#include "protocol/answer_parse.h"
#include "protocol/notice.h"
#include "protocol/result_state.h"
#include "protocol/transaction.h"
#include "serial/answer_text.h"
#include "serial/comm_channel.h"
#include "tarvelin.h"

using namespace tarvelin;

namespace {

constexpr uint32_t kCountedChannelBits = 0x7FF;  // channels 0 to 10
// The largest block the integer-array variant takes: 11 channels x 65,536 samples.
constexpr int64_t kBlockLimit = 720896;
// The safe-array variant takes as many values as the answer text holds records
// of the widest kind, with room for the prompt and some line noise: a larger
// block could never be read whole.
constexpr int64_t kWidestRecord = 5;
constexpr int64_t kSafeArrayBlockLimit = (kAnswerCapacity - 1 - 1024) / kWidestRecord;
static_assert(kSafeArrayBlockLimit >= kBlockLimit);

constexpr int32_t kRateFactors[] = {400, 600, 2000, 3000, 9000, 20000, 40000, 100000};
constexpr int32_t kRateCodeCount = sizeof kRateFactors / sizeof kRateFactors[0];
constexpr int64_t kAllowanceDivisor = 800;
constexpr int64_t kAllowanceBaseMs = 5000;

constexpr int32_t kGOption = 1;

struct SamplingHead {
  int32_t resolution;
  const char* head;  // followed by the channel mask in decimal
};
constexpr SamplingHead kSamplingHeads[] = {{8, "GS8;"}, {10, "GS10;"}, {12, "GS12;"}};

constexpr char kCommandCaption[] = "STring  :";
constexpr char kStoreFailedText[] = " Not enough memory for requested sampling";
constexpr char kStoreFailedCaption[] = "ERROR ";

enum class Variant { IntegerArray, SafeArray };

struct ArrayTarget {
  int32_t* values;
  int64_t capacity;  // channel count x sample count, 0 when that is not positive
};

// Records beyond the room the caller made are dropped.
bool StoreInArray(void* context, int32_t index, int32_t value) {
  const auto* target = static_cast<const ArrayTarget*>(context);
  if (index < target->capacity) target->values[index] = value;
  return true;
}

// The index counts from 0 whatever the array's lower bound; the store itself
// refuses an index outside the array.
bool StoreInSafeArray(void* context, int32_t index, int32_t value) {
  return VbArrayStore(static_cast<tagSAFEARRAY*>(context), index, value);
}

// A record that is not a value: the error quotes it and names the sampling command.
void RecordBadRecord(const char* command, int32_t recordAt, int32_t recordStep) {
  const int32_t left = AnswerLength() - recordAt;
  char shown[kQuotedAnswerMax + 1];
  QuoteAnswerText(DefaultBoard().AnswerBuffer + recordAt, left < recordStep ? left : recordStep, shown);
  RecordError(LibraryErrorId::RecordNotAValue, command, shown);
}

// Values go to the indices 0 to count - 1 whatever the lower bound. An array
// without all of them (declared 1 To n, Option Base 1, or too short) is refused
// before anything is sent, with the indices it needs, rather than after the
// whole block has been sampled.
bool HasRoomForBlock(const tagSAFEARRAY* array, int32_t channelMask, int32_t sampleCount) {
  const int32_t channels = CountSampledChannels(channelMask);
  const int64_t expected = static_cast<int64_t>(channels) * sampleCount;
  if (expected <= 0) return true;  // nothing to store: the board decides what a count of 0 channels means
  int64_t first = 0;
  int64_t count = 0;
  VbArrayBounds(array, &first, &count);
  const int64_t last = first + count - 1;
  if (first <= 0 && expected - 1 <= last) return true;
  // At most 83 characters: the whole text stays within the 151 that GetErrorMessageVb copies.
  char detail[96];
  const auto needed = static_cast<long long>(expected - 1);
  if (last < first) {
    snprintf(detail, sizeof detail, "%lld (channels x samples = %d x %d); it has none", needed,
             static_cast<int>(channels), static_cast<int>(sampleCount));
  } else {
    snprintf(detail, sizeof detail, "%lld (channels x samples = %d x %d); it has %lld to %lld", needed,
             static_cast<int>(channels), static_cast<int>(sampleCount), static_cast<long long>(first),
             static_cast<long long>(last));
  }
  RecordError(LibraryErrorId::SampleArrayTooSmall, detail);
  return false;
}

// A '?' whose digit is not one of the board's: the error names what was read as
// the device error and the sampling command.
void RecordMalformedBlockError(const char* command, char digit) {
  const char read[] = {'?', digit};
  char shown[kQuotedAnswerMax + 1];
  QuoteAnswerText(read, digit != '\0' ? 2 : 1, shown);
  RecordError(LibraryErrorId::MalformedDeviceError, command, shown);
}

struct BlockRequest {
  int32_t resolution;
  int32_t channelMask;
  int32_t rateCode;
  int32_t sampleCount;
  int32_t gOption;
  Variant variant;
  BlockValueSink sink;
  void* context;
};

// Everything after the argument checks: port D preparation, the command, the
// wait, the parse and port D afterwards.
int32_t SampleBlock(const BlockRequest& request) {
  tarvelin::Board& board = DefaultBoard();
  if (!ConfigureAnalogPins()) return -1;
  if (QelCommand(kPortDBeforeConversion) != 1) return -1;

  char command[kSamplingCommandSize];
  const int32_t length = FormatSamplingCommand(command, request.resolution, request.channelMask, request.rateCode,
                                               request.sampleCount, request.gOption);
  EmptyAnswerText();
  if (length == 0) {
    RecordError(LibraryErrorId::SampleResolution);
    return -1;
  }
  if (request.variant == Variant::IntegerArray) ShowNotice(command, kCommandCaption);

  // The formatter keeps room for the carriage return.
  command[length] = '\r';
  command[length + 1] = '\0';
  WriteComm(length + 1, command);
  command[length] = '\0';  // the line went out; errors name the command without its carriage return
  const SamplingDeadlineMark deadline = SamplingDeadline(request.rateCode, request.sampleCount);
  // The deadline is tested first, so a block that completes late still fails.
  const WaitEnd end =
      WaitForAnswer(AnswerWait{deadline.start, deadline.allowanceMs, false, request.gOption == kGOption});
  if (RecordWaitCut(end)) return -1;
  if (end != WaitEnd::Answered) {
    RecordError(LibraryErrorId::SampleTimeout);
    return -1;
  }

  if (!AnswerTextIntact(command)) return -1;
  const int32_t recordStep = BlockRecordStep(request.resolution);
  const BlockOutcome outcome =
      ParseBlock(board.AnswerBuffer, AnswerLength(), recordStep, board.Io485Mode == 0, request.sink, request.context);
  switch (outcome.end) {
    case BlockEnd::Complete:
      break;
    case BlockEnd::BadRecord:
      RecordBadRecord(command, outcome.recordAt, recordStep);
      return -1;
    case BlockEnd::DeviceError: {
      const DeviceError* error = FindDeviceError(outcome.digit);
      if (error == nullptr) {
        RecordMalformedBlockError(command, outcome.digit);
        return -1;
      }
      const bool vbText = request.variant == Variant::SafeArray && error->blockTextVb != nullptr;
      RecordFixedError(error->code, vbText ? error->blockTextVb : error->blockText);
      return -1;
    }
    case BlockEnd::StoreFailed:
      LibraryMessageBox(kStoreFailedText, kStoreFailedCaption, BoxIcon::Error);
      return -1;
  }

  const int32_t accepted = QelCommand(kPortDAfterBlock);
  if (request.variant == Variant::SafeArray) return 1;
  return accepted == 1 ? 1 : -1;
}

}  // namespace

int32_t CountSampledChannels(int32_t channelMask) {
  return static_cast<int32_t>(std::popcount(static_cast<uint32_t>(channelMask) & kCountedChannelBits));
}

int32_t SamplingRateFactor(int32_t rateCode) {
  return rateCode >= 0 && rateCode < kRateCodeCount ? kRateFactors[rateCode] : rateCode;
}

int64_t SamplingAllowanceMs(int32_t rateCode, int32_t sampleCount) {
  // Two 32-bit factors: the product fits in 63 bits. Division truncates toward zero.
  return static_cast<int64_t>(sampleCount) * SamplingRateFactor(rateCode) / kAllowanceDivisor + kAllowanceBaseMs;
}

SamplingDeadlineMark SamplingDeadline(int32_t rateCode, int32_t sampleCount) {
  return SamplingDeadlineMark{NowMs(), SamplingAllowanceMs(rateCode, sampleCount)};
}

int32_t FormatSamplingCommand(char (&out)[kSamplingCommandSize], int32_t resolution, int32_t channelMask,
                              int32_t rateCode, int32_t sampleCount, int32_t gOption) {
  out[0] = '\0';
  for (const SamplingHead& entry : kSamplingHeads) {
    if (entry.resolution != resolution) continue;
    const int written = snprintf(out, sizeof out, "%s%d;%d;%d%s", entry.head, static_cast<int>(channelMask),
                                 static_cast<int>(rateCode), static_cast<int>(sampleCount),
                                 gOption == kGOption ? ";G" : "");
    // At most 42 characters; the line needs two more bytes for the carriage return and NUL.
    if (written < 0 || static_cast<size_t>(written) + 2 > sizeof out) {
      out[0] = '\0';
      return 0;
    }
    return written;
  }
  return 0;
}

int32_t TARVELIN_CALL ADCAnalogSampling(int32_t resolution, int32_t channelMask, int32_t rateCode,
                                        int32_t sampleCount, int32_t gOption, int32_t* values) {
  CallTurn turn;
  if (!turn.Granted()) return -1;
  const int64_t expected = static_cast<int64_t>(CountSampledChannels(channelMask)) * sampleCount;
  if (sampleCount == 0 || expected > kBlockLimit) {
    RecordError(LibraryErrorId::SampleCount);
    return -1;
  }
  if (values == nullptr) {
    RecordError(LibraryErrorId::SampleArrayMissing);
    return -1;
  }
  ArrayTarget target{values, expected > 0 ? expected : 0};
  return SampleBlock(BlockRequest{resolution, channelMask, rateCode, sampleCount, gOption, Variant::IntegerArray,
                                  StoreInArray, &target});
}

int32_t TARVELIN_CALL ADCAnalogSamplingVb(int32_t resolution, int32_t channelMask, int32_t rateCode,
                                          int32_t sampleCount, int32_t gOption, struct tagSAFEARRAY** valueArray) {
  CallTurn turn;
  if (!turn.Granted()) return -1;
  const int64_t expected = static_cast<int64_t>(CountSampledChannels(channelMask)) * sampleCount;
  if (sampleCount == 0 || expected > kSafeArrayBlockLimit) {
    RecordError(LibraryErrorId::SampleCount);
    return -1;
  }
  if (valueArray == nullptr || *valueArray == nullptr) {
    RecordError(LibraryErrorId::SampleArrayMissing);
    return -1;
  }
  if (!VbArrayHoldsIntegers(*valueArray)) {
    RecordError(LibraryErrorId::SampleArrayUnusable);
    return -1;
  }
  if (!HasRoomForBlock(*valueArray, channelMask, sampleCount)) return -1;
  // Locked for the call: a window procedure that the G option's pumping runs
  // cannot free or resize it under the store (Visual Basic raises error 10 instead).
  tagSAFEARRAY* array = *valueArray;
  if (!VbArrayLock(array)) {
    RecordError(LibraryErrorId::SampleArrayUnusable);
    return -1;
  }
  const int32_t result = SampleBlock(BlockRequest{resolution, channelMask, rateCode, sampleCount, gOption,
                                                  Variant::SafeArray, StoreInSafeArray, array});
  VbArrayUnlock(array);
  return result;
}
