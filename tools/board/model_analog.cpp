// The analog inputs: signals that are functions of model time, single
// conversions, and block sampling whose records are made as they fall due.
#include <cmath>
#include <numbers>

#include "model.h"

namespace tarvelin::board::model {
namespace {

constexpr int kFullScale12 = 4096;
constexpr int kMidScale12 = kFullScale12 / 2;
constexpr double kAmplitude12 = 0.4 * kFullScale12;
constexpr int kConstantChannel = 14;
constexpr int kConstant12 = kFullScale12 * 3 / 4;
constexpr int64_t kPeriodStepUs = 100000;  // channel c repeats every (c + 1) x 100 ms
constexpr int kMaxBlockMask = (1 << kBlockChannels) - 1;
constexpr long long kMaxBlockSamples = 65536;
constexpr int kFastestRateMaxChannels = 4;  // rate code 0 keeps up with four channels at most
// Model time per sample for rate codes 0..7: half the allowance the host grants.
constexpr int64_t kPaceUs[] = {250, 375, 1250, 1875, 5625, 12500, 25000, 62500};
constexpr long long kRateCodes = sizeof kPaceUs / sizeof kPaceUs[0];

bool ValidWidth(long long bits) { return bits == 8 || bits == 10 || bits == 12; }

int Signal12(int channel, int64_t nowUs) {
  if (channel == kConstantChannel) return kConstant12;
  const int64_t periodUs = (channel + 1) * kPeriodStepUs;
  const double phase = 2.0 * std::numbers::pi * static_cast<double>(nowUs % periodUs) / static_cast<double>(periodUs);
  return static_cast<int>(std::lround(kMidScale12 + kAmplitude12 * std::sin(phase)));
}

int64_t SampleDueUs(const Block& block, int64_t sample) { return block.startUs + (sample + 1) * block.paceUs; }

// "*" and the value in 3 digits at 8 bits, 4 at 10 and 12, zero-padded.
void AppendRecord(std::string& out, int value, int bits) {
  char record[5] = {'*', '0', '0', '0', '0'};
  const int digits = bits == 8 ? 3 : 4;
  for (int at = digits; at >= 1; --at) {
    record[at] = static_cast<char>('0' + value % 10);
    value /= 10;
  }
  out.append(record, static_cast<size_t>(digits) + 1);
}

}  // namespace

int AnalogValue(const State& state, int channel, int bits, int64_t nowUs) {
  const int pinned = state.analogPins[channel];
  const int value12 = pinned >= 0 ? pinned : Signal12(channel, nowUs);
  return value12 >> (12 - bits);
}

// "GA<bits>;<channel>": one conversion, once the analog pins are set up.
std::string Convert(Command& command, std::string_view args) {
  std::string_view fields[2];
  size_t count = 0;
  long long bits = 0;
  long long channel = 0;
  if (!SplitFields(args, fields, 2, count) || count != 2 || !ParseNumber(fields[0], bits) || !ValidWidth(bits) ||
      !ParseNumber(fields[1], channel) || channel < 0 || channel >= kAnalogChannels) {
    return DeviceError('5');
  }
  if (!command.state.adcConfigured) return DeviceError('2');
  return Value(command.state, "V=", AnalogValue(command.state, static_cast<int>(channel), static_cast<int>(bits), command.nowUs));
}

// "GS<bits>;<mask>;<rate>;<count>[;G]": the block goes out as its samples are taken.
std::string SampleBlock(Command& command, std::string_view args) {
  std::string_view fields[5];
  size_t count = 0;
  long long numbers[4] = {};
  if (!SplitFields(args, fields, 5, count) || count < 4 || (count == 5 && fields[4] != "G")) return DeviceError('5');
  for (size_t i = 0; i < 4; ++i) {
    if (!ParseNumber(fields[i], numbers[i])) return DeviceError('5');
  }
  const long long bits = numbers[0];
  const long long mask = numbers[1];
  const long long rate = numbers[2];
  const long long samples = numbers[3];
  if (!ValidWidth(bits) || mask <= 0 || mask > kMaxBlockMask || rate < 0 || rate >= kRateCodes || samples <= 0 ||
      samples > kMaxBlockSamples) {
    return DeviceError('5');
  }
  Block block;
  for (int channel = 0; channel < kBlockChannels; ++channel) {
    if ((mask & (1 << channel)) != 0) block.channels[block.channelCount++] = channel;
  }
  if (rate == 0 && block.channelCount > kFastestRateMaxChannels) return DeviceError('F');
  if (command.state.block.active) return DeviceError('3');  // one block at a time

  block.active = true;
  block.bits = static_cast<int>(bits);
  block.samples = samples;
  block.paceUs = kPaceUs[rate];
  block.startUs = command.nowUs;
  command.state.block = block;
  command.block = true;
  return {};
}

int64_t NextBlockDueUs(const State& state) {
  const Block& block = state.block;
  if (!block.active) return kNever;
  if (!block.begun || block.next >= block.samples) return block.startUs;
  return SampleDueUs(block, block.next);
}

bool GenerateBlock(State& state, int64_t nowUs, size_t maxBytes, std::string& out) {
  Block& block = state.block;
  if (!block.active) return true;
  if (!block.begun) {
    out += "\r\n";
    block.begun = true;
  }
  const size_t sampleBytes = static_cast<size_t>(block.channelCount) * (block.bits == 8 ? 4 : 5);
  while (block.next < block.samples && SampleDueUs(block, block.next) <= nowUs &&
         out.size() + sampleBytes <= maxBytes) {
    const int64_t at = SampleDueUs(block, block.next);
    for (int i = 0; i < block.channelCount; ++i) {
      AppendRecord(out, AnalogValue(state, block.channels[i], block.bits, at), block.bits);
    }
    ++block.next;
  }
  if (block.next < block.samples) return false;
  out += "\r\n>";
  block.active = false;
  return true;
}

void EndBlock(State& state) { state.block.active = false; }

}  // namespace tarvelin::board::model
