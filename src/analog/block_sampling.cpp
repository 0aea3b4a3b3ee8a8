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
#include "board/families.h"
#include "protocol/answer_parse.h"
#include "protocol/call_turn.h"
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
  int64_t capacity;    // channel count x sample count, 0 when that is not positive
  int32_t stored = 0;  // one past the highest index stored
};

// Records beyond the room the caller made are dropped.
bool StoreInArray(void* context, int32_t index, int32_t value) {
  auto* target = static_cast<ArrayTarget*>(context);
  if (index < target->capacity) {
    target->values[index] = value;
    if (index >= target->stored) target->stored = index + 1;
  }
  return true;
}

// The caller's progress, told in values from the length of the text gathered so far.
struct ProgressTarget {
  tarvelin_progress progress;
  void* context;
  int32_t recordStep;
  int32_t total;
};

int32_t TellProgress(void* context, int32_t length) {
  const auto* target = static_cast<const ProgressTarget*>(context);
  const int32_t received = length / target->recordStep;
  return target->progress(target->context, received < target->total ? received : target->total, target->total);
}

// The index counts from 0 whatever the array's lower bound; the store itself
// refuses an index outside the array.
bool StoreInSafeArray(void* context, int32_t index, int32_t value) {
  return VbArrayStore(static_cast<tagSAFEARRAY*>(context), index, value);
}

// A record that is not a value: the error quotes it and names the sampling command.
void RecordBadRecord(tarvelin::Board& board, const char* command, int32_t recordAt, int32_t recordStep) {
  const int32_t left = AnswerLength(board) - recordAt;
  char shown[kQuotedAnswerMax + 1];
  QuoteAnswerText(board.AnswerBuffer + recordAt, left < recordStep ? left : recordStep, shown);
  RecordError(board, LibraryErrorId::RecordNotAValue, command, shown);
}

// Values go to the indices 0 to count - 1 whatever the lower bound. An array
// without all of them (declared 1 To n, Option Base 1, or too short) is refused
// before anything is sent, with the indices it needs, rather than after the
// whole block has been sampled.
bool HasRoomForBlock(tarvelin::Board& board, const tagSAFEARRAY* array, int32_t channelMask, int32_t sampleCount) {
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
  RecordError(board, LibraryErrorId::SampleArrayTooSmall, detail);
  return false;
}

// A '?' whose digit is not one of the board's: the error names what was read as
// the device error and the sampling command.
void RecordMalformedBlockError(tarvelin::Board& board, const char* command, char digit) {
  const char read[] = {'?', digit};
  char shown[kQuotedAnswerMax + 1];
  QuoteAnswerText(read, digit != '\0' ? 2 : 1, shown);
  RecordError(board, LibraryErrorId::MalformedDeviceError, command, shown);
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
  const WaitProgress* progress = nullptr;
};

// Everything after the argument checks: port D preparation, the command, the
// wait, the parse and port D afterwards.
int32_t SampleBlock(tarvelin::Board& board, const BlockRequest& request) {
  if (!ConfigureAnalogPins(board)) return -1;
  if (QelCommand(board, kPortDBeforeConversion) != 1) return -1;

  char command[kSamplingCommandSize];
  const int32_t length = FormatSamplingCommand(command, request.resolution, request.channelMask, request.rateCode,
                                               request.sampleCount, request.gOption);
  EmptyAnswerText(board);
  if (length == 0) {
    RecordError(board, LibraryErrorId::SampleResolution);
    return -1;
  }
  if (request.variant == Variant::IntegerArray) ShowNotice(board, command, kCommandCaption);

  // The formatter keeps room for the carriage return.
  command[length] = '\r';
  command[length + 1] = '\0';
  WriteComm(board, length + 1, command);
  command[length] = '\0';  // the line went out; errors name the command without its carriage return
  const SamplingDeadlineMark deadline = SamplingDeadline(request.rateCode, request.sampleCount);
  // The deadline is tested first, so a block that completes late still fails.
  const WaitEnd end = WaitForAnswer(
      board, AnswerWait{deadline.start, deadline.allowanceMs, false, request.gOption == kGOption, request.progress});
  if (end == WaitEnd::Cancelled) {
    // The board goes on sending the block: it is owed until its deadline and dropped before the next command.
    const int64_t leftMs = deadline.allowanceMs - static_cast<uint32_t>(NowMs() - deadline.start);
    ExtendLastOwedAnswer(board, leftMs <= 0 ? 0 : leftMs > INT32_MAX ? INT32_MAX : static_cast<uint32_t>(leftMs));
  }
  if (RecordWaitCut(board, end)) return -1;
  if (end != WaitEnd::Answered) {
    RecordError(board, LibraryErrorId::SampleTimeout);
    return -1;
  }

  if (!AnswerTextIntact(board, command)) return -1;
  const int32_t recordStep = BlockRecordStep(request.resolution);
  const BlockOutcome outcome = ParseBlock(board.AnswerBuffer, AnswerLength(board), recordStep, board.Io485Mode == 0,
                                          request.sink, request.context);
  switch (outcome.end) {
    case BlockEnd::Complete:
      break;
    case BlockEnd::BadRecord:
      RecordBadRecord(board, command, outcome.recordAt, recordStep);
      return -1;
    case BlockEnd::DeviceError: {
      const DeviceError* error = FindDeviceError(outcome.digit);
      if (error == nullptr) {
        RecordMalformedBlockError(board, command, outcome.digit);
        return -1;
      }
      const bool vbText = request.variant == Variant::SafeArray && error->blockTextVb != nullptr;
      RecordFixedError(board, error->code, vbText ? error->blockTextVb : error->blockText);
      return -1;
    }
    case BlockEnd::StoreFailed:
      LibraryMessageBox(board, kStoreFailedText, kStoreFailedCaption, BoxIcon::Error);
      return -1;
  }

  const int32_t accepted = QelCommand(board, kPortDAfterBlock);
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

namespace tarvelin {

namespace {

// A block into an array of integers: a count within the library's limit, and
// an array. `expected` is set to the values the block holds.
bool IntegerBlockAccepted(Board& board, int32_t channelMask, int32_t sampleCount, const int32_t* values,
                          int64_t* expected) {
  *expected = static_cast<int64_t>(CountSampledChannels(channelMask)) * sampleCount;
  if (sampleCount == 0 || *expected > kBlockLimit) {
    RecordError(board, LibraryErrorId::SampleCount);
    return false;
  }
  if (values == nullptr) {
    RecordError(board, LibraryErrorId::SampleArrayMissing);
    return false;
  }
  return true;
}

}  // namespace

int32_t ADCAnalogSampling(Board& board, int32_t resolution, int32_t channelMask, int32_t rateCode, int32_t sampleCount,
                          int32_t gOption, int32_t* values) {
  CallTurn turn(board);
  if (!turn.Granted()) return -1;
  int64_t expected = 0;
  if (!IntegerBlockAccepted(board, channelMask, sampleCount, values, &expected)) return -1;
  ArrayTarget target{values, expected > 0 ? expected : 0};
  return SampleBlock(board, BlockRequest{resolution, channelMask, rateCode, sampleCount, gOption, Variant::IntegerArray,
                                         StoreInArray, &target});
}

int32_t SampleIntoBuffer(Board& board, const SampleRequest& request, int32_t* stored) {
  *stored = 0;
  int64_t expected = 0;
  if (!IntegerBlockAccepted(board, request.channelMask, request.sampleCount, request.values, &expected)) return -1;
  if (expected > request.capacity) {
    char detail[96];
    snprintf(detail, sizeof detail, "%lld (channels x samples = %d x %d); it holds %d",
             static_cast<long long>(expected - 1), static_cast<int>(CountSampledChannels(request.channelMask)),
             static_cast<int>(request.sampleCount), static_cast<int>(request.capacity));
    RecordError(board, LibraryErrorId::SampleArrayTooSmall, detail);
    return -1;
  }
  ArrayTarget target{request.values, expected > 0 ? expected : 0};
  ProgressTarget progressTarget{request.progress, request.context, BlockRecordStep(request.resolution),
                                static_cast<int32_t>(target.capacity)};
  const WaitProgress waitProgress{TellProgress, &progressTarget};
  BlockRequest block{request.resolution,    request.channelMask, request.rateCode, request.sampleCount, 0,
                     Variant::IntegerArray, StoreInArray,        &target};
  // A resolution the formatter refuses has no record width; it fails before the wait.
  if (request.progress != nullptr && progressTarget.recordStep > 0) block.progress = &waitProgress;
  const int32_t result = SampleBlock(board, block);
  *stored = target.stored;
  if (result == 1 && request.progress != nullptr) request.progress(request.context, target.stored, target.stored);
  return result;
}

int32_t ADCAnalogSamplingVb(Board& board, int32_t resolution, int32_t channelMask, int32_t rateCode,
                            int32_t sampleCount, int32_t gOption, struct tagSAFEARRAY** valueArray) {
  CallTurn turn(board);
  if (!turn.Granted()) return -1;
  const int64_t expected = static_cast<int64_t>(CountSampledChannels(channelMask)) * sampleCount;
  if (sampleCount == 0 || expected > kSafeArrayBlockLimit) {
    RecordError(board, LibraryErrorId::SampleCount);
    return -1;
  }
  if (valueArray == nullptr || *valueArray == nullptr) {
    RecordError(board, LibraryErrorId::SampleArrayMissing);
    return -1;
  }
  if (!VbArrayHoldsIntegers(*valueArray)) {
    RecordError(board, LibraryErrorId::SampleArrayUnusable);
    return -1;
  }
  if (!HasRoomForBlock(board, *valueArray, channelMask, sampleCount)) return -1;
  // Locked for the call: a window procedure that the G option's pumping runs
  // cannot free or resize it under the store (Visual Basic raises error 10 instead).
  tagSAFEARRAY* array = *valueArray;
  if (!VbArrayLock(array)) {
    RecordError(board, LibraryErrorId::SampleArrayUnusable);
    return -1;
  }
  const int32_t result = SampleBlock(board, BlockRequest{resolution, channelMask, rateCode, sampleCount, gOption,
                                                         Variant::SafeArray, StoreInSafeArray, array});
  VbArrayUnlock(array);
  return result;
}

}  // namespace tarvelin

// The classic exports act on the default board.
int32_t TARVELIN_CALL ADCAnalogSampling(int32_t resolution, int32_t channelMask, int32_t rateCode, int32_t sampleCount,
                                        int32_t gOption, int32_t* values) {
  return tarvelin::ADCAnalogSampling(DefaultBoard(), resolution, channelMask, rateCode, sampleCount, gOption, values);
}
int32_t TARVELIN_CALL ADCAnalogSamplingVb(int32_t resolution, int32_t channelMask, int32_t rateCode,
                                          int32_t sampleCount, int32_t gOption, struct tagSAFEARRAY** valueArray) {
  return tarvelin::ADCAnalogSamplingVb(DefaultBoard(), resolution, channelMask, rateCode, sampleCount, gOption,
                                       valueArray);
}
