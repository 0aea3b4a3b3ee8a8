// Figures for the channel and the transaction:
// - the reader's cost per chunk with an empty answer text and with a text of
//   3.5 million characters (it must not grow with the text);
// - one command round trip through the library against the virtual board,
//   and the same exchange by an ideal client writing and reading the
//   pseudo-terminal directly, in the same run, each with the CPU it costs;
// - a full 720,896-value block, through the library and by an ideal client
//   reading with large reads;
// - the CPU a caller burns per wall second while the board is slow, while a
//   block trickles in, and the process's CPU while a port is open and idle.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <time.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "serial/answer_text.h"
#include "serial/comm_channel.h"
#include "tarvelin.h"
#include "virtual_board.h"

namespace {

void BindAnswerBuffer() {
  SetCommSettings(9600, 9600, 8, 0, 0, 0, 0, 0, &AnswerReady, AnswerBuffer, kAnswerCapacity);
}

void BM_AppendChunk(benchmark::State& state) {
  BindAnswerBuffer();
  const std::string chunk(80, '5');
  const auto prefill = static_cast<size_t>(state.range(0));
  EmptyAnswerText();
  for (size_t done = 0; done < prefill; done += chunk.size()) AppendAnswerChunk(chunk.data(), 80);
  const int32_t start = AnswerLength();
  for (auto _ : state) {
    AppendAnswerChunk(chunk.data(), 80);
    if (AnswerLength() > kAnswerCapacity - 200) {
      state.PauseTiming();
      EmptyAnswerText();
      for (size_t done = 0; done < prefill; done += chunk.size()) AppendAnswerChunk(chunk.data(), 80);
      state.ResumeTiming();
    }
  }
  state.counters["text_chars_at_start"] = start;
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * 80);
}
BENCHMARK(BM_AppendChunk)->Arg(0)->Arg(3500000);

tarvelin::board::VirtualBoard* Board() {
  static tarvelin::board::VirtualBoard* board = [] {
    auto* b = new tarvelin::board::VirtualBoard;
    if (!b->Start()) abort();
    return b;
  }();
  return board;
}

double CpuSeconds(clockid_t clock) {
  timespec ts{};
  clock_gettime(clock, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

double WallSeconds() { return CpuSeconds(CLOCK_MONOTONIC); }

// CPU of the calling thread and of the whole process (the board's thread and
// the library's reader included) over the benchmark's iterations.
class CpuMeter {
 public:
  CpuMeter()
      : thread_(CpuSeconds(CLOCK_THREAD_CPUTIME_ID)), process_(CpuSeconds(CLOCK_PROCESS_CPUTIME_ID)),
        wall_(WallSeconds()) {}
  void Report(benchmark::State& state) const {
    const double iterations = static_cast<double>(state.iterations());
    const double wall = WallSeconds() - wall_;
    const double thread = CpuSeconds(CLOCK_THREAD_CPUTIME_ID) - thread_;
    const double process = CpuSeconds(CLOCK_PROCESS_CPUTIME_ID) - process_;
    state.counters["caller_cpu_us_per_op"] = thread * 1e6 / iterations;
    state.counters["process_cpu_us_per_op"] = process * 1e6 / iterations;
    state.counters["caller_cpu_s_per_wall_s"] = thread / wall;
    state.counters["process_cpu_s_per_wall_s"] = process / wall;
  }

 private:
  double thread_;
  double process_;
  double wall_;
};

bool OpenBoardPort() {
  setenv("TARVELIN_COM8", Board()->SlavePath().c_str(), 1);
  return PortOpen(8) == 1;
}

void BM_LibraryRoundTrip(benchmark::State& state) {
  if (!OpenBoardPort()) {
    state.SkipWithError("PortOpen failed");
    return;
  }
  const CpuMeter meter;
  for (auto _ : state) {
    if (WriteCommand("PRB") != 1) state.SkipWithError("command failed");
  }
  meter.Report(state);
  PortClose();
}
BENCHMARK(BM_LibraryRoundTrip)->UseRealTime()->Unit(benchmark::kMicrosecond);

void BM_IdealClientRoundTrip(benchmark::State& state) {
  const int fd = open(Board()->SlavePath().c_str(), O_RDWR | O_NOCTTY);
  termios tio{};
  tcgetattr(fd, &tio);
  cfmakeraw(&tio);
  cfsetispeed(&tio, B9600);
  cfsetospeed(&tio, B9600);
  tcsetattr(fd, TCSANOW, &tio);
  char buffer[256];
  const CpuMeter meter;
  for (auto _ : state) {
    if (write(fd, "PRB\r", 4) != 4) state.SkipWithError("write failed");
    for (bool prompt = false; !prompt;) {
      pollfd p{fd, POLLIN, 0};
      if (poll(&p, 1, 1000) <= 0) {
        state.SkipWithError("no answer");
        break;
      }
      const ssize_t got = read(fd, buffer, sizeof buffer);
      for (ssize_t i = 0; i < got; ++i) prompt = prompt || buffer[i] == '>';
    }
  }
  meter.Report(state);
  close(fd);
}
BENCHMARK(BM_IdealClientRoundTrip)->UseRealTime()->Unit(benchmark::kMicrosecond);

// The largest block: 11 channels x 65,536 samples of 12 bits, answered at once.
constexpr int kBlockValues = 720896;
const std::string& FullBlock() {
  static const std::string block = [] {
    std::string text = "\r\n";
    text.reserve(kBlockValues * 5 + 8);
    for (int i = 0; i < kBlockValues; ++i) text += "*" + std::to_string(1000 + i % 4000);
    return text + "\r\n>";
  }();
  return block;
}

void AnswerBlocksAtOnce(size_t chunkBytes, int gapMs, const std::string& block) {
  Board()->SetChunking(chunkBytes, gapMs);
  Board()->SetResponder([&block](const std::string& line) -> std::optional<std::string> {
    if (line.rfind("GS", 0) == 0) return block;
    return std::nullopt;
  });
}

void StopAnswering() {
  Board()->SetResponder(nullptr);
  Board()->SetChunking(0, 0);
  Board()->SetAnswerDelayMs(0);
}

void BM_LibraryBlock(benchmark::State& state) {
  AnswerBlocksAtOnce(0, 0, FullBlock());
  if (!OpenBoardPort()) {
    state.SkipWithError("PortOpen failed");
    return;
  }
  std::vector<int32_t> values(kBlockValues);
  const CpuMeter meter;
  for (auto _ : state) {
    if (ADCAnalogSampling(12, 0x7FF, 0, 65536, 0, values.data()) != 1) state.SkipWithError("sampling failed");
  }
  meter.Report(state);
  PortClose();
  StopAnswering();
}
BENCHMARK(BM_LibraryBlock)->UseRealTime()->Unit(benchmark::kMillisecond)->Iterations(5);

void BM_IdealClientBlock(benchmark::State& state) {
  AnswerBlocksAtOnce(0, 0, FullBlock());
  const int fd = open(Board()->SlavePath().c_str(), O_RDWR | O_NOCTTY);
  termios tio{};
  tcgetattr(fd, &tio);
  cfmakeraw(&tio);
  tcsetattr(fd, TCSANOW, &tio);
  std::vector<char> buffer(65536);
  const CpuMeter meter;
  for (auto _ : state) {
    const char command[] = "GS12;2047;0;65536\r";
    if (write(fd, command, sizeof command - 1) != static_cast<ssize_t>(sizeof command - 1)) {
      state.SkipWithError("write failed");
    }
    for (bool prompt = false; !prompt;) {
      pollfd p{fd, POLLIN, 0};
      if (poll(&p, 1, 5000) <= 0) {
        state.SkipWithError("no block");
        break;
      }
      const ssize_t got = read(fd, buffer.data(), buffer.size());
      prompt = got > 0 && memchr(buffer.data(), '>', static_cast<size_t>(got)) != nullptr;
    }
  }
  meter.Report(state);
  close(fd);
  StopAnswering();
}
BENCHMARK(BM_IdealClientBlock)->UseRealTime()->Unit(benchmark::kMillisecond)->Iterations(5);

// A board that takes 150 ms to answer: the caller should sleep, not spin.
void BM_SlowBoardTransaction(benchmark::State& state) {
  Board()->SetAnswerDelayMs(150);
  if (!OpenBoardPort()) {
    state.SkipWithError("PortOpen failed");
    return;
  }
  const CpuMeter meter;
  for (auto _ : state) {
    if (WriteCommand("PRB") != 1) state.SkipWithError("command failed");
  }
  meter.Report(state);
  PortClose();
  StopAnswering();
}
BENCHMARK(BM_SlowBoardTransaction)->UseRealTime()->Unit(benchmark::kMillisecond)->Iterations(4);

// 4,000 values trickled out in 100-byte chunks 25 ms apart: a block of about 5 s.
void BM_TrickledBlock(benchmark::State& state) {
  static const std::string block = [] {
    std::string text = "\r\n";
    for (int i = 0; i < 4000; ++i) text += "*" + std::to_string(1000 + i % 4000);
    return text + "\r\n>";
  }();
  AnswerBlocksAtOnce(100, 25, block);
  if (!OpenBoardPort()) {
    state.SkipWithError("PortOpen failed");
    return;
  }
  std::vector<int32_t> values(4000);
  const CpuMeter meter;
  for (auto _ : state) {
    if (ADCAnalogSampling(12, 1, 0, 4000, 0, values.data()) != 1) state.SkipWithError("sampling failed");
  }
  meter.Report(state);
  PortClose();
  StopAnswering();
}
BENCHMARK(BM_TrickledBlock)->UseRealTime()->Unit(benchmark::kMillisecond)->Iterations(1);

// A port open and nothing asked of it.
void BM_IdleOpenPort(benchmark::State& state) {
  if (!OpenBoardPort()) {
    state.SkipWithError("PortOpen failed");
    return;
  }
  const CpuMeter meter;
  for (auto _ : state) std::this_thread::sleep_for(std::chrono::seconds(1));
  meter.Report(state);
  PortClose();
}
BENCHMARK(BM_IdleOpenPort)->UseRealTime()->Unit(benchmark::kMillisecond)->Iterations(1);

}  // namespace

BENCHMARK_MAIN();
