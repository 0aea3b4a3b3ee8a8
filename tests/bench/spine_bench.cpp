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

#include <atomic>
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
  SetCommSettings(DefaultBoard(), 9600, 9600, 8, 0, 0, 0, 0, 0, &DefaultBoard().AnswerReady,
                  DefaultBoard().AnswerBuffer, kAnswerCapacity);
}

void BM_AppendChunk(benchmark::State& state) {
  BindAnswerBuffer();
  const std::string chunk(80, '5');
  const auto prefill = static_cast<size_t>(state.range(0));
  EmptyAnswerText(DefaultBoard());
  for (size_t done = 0; done < prefill; done += chunk.size()) AppendAnswerChunk(DefaultBoard(), chunk.data(), 80);
  const int32_t start = AnswerLength(DefaultBoard());
  for (auto _ : state) {
    AppendAnswerChunk(DefaultBoard(), chunk.data(), 80);
    if (AnswerLength(DefaultBoard()) > kAnswerCapacity - 200) {
      state.PauseTiming();
      EmptyAnswerText(DefaultBoard());
      for (size_t done = 0; done < prefill; done += chunk.size()) AppendAnswerChunk(DefaultBoard(), chunk.data(), 80);
      state.ResumeTiming();
    }
  }
  state.counters["text_chars_at_start"] = start;
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * 80);
}
BENCHMARK(BM_AppendChunk)->Arg(0)->Arg(3500000);

// A virtual board for the whole run (never stopped: benchmarks run to the process's end).
tarvelin::board::VirtualBoard* StartedBoard() {
  auto* board = new tarvelin::board::VirtualBoard;
  if (!board->Start()) abort();
  return board;
}

tarvelin::board::VirtualBoard* Board() {
  static tarvelin::board::VirtualBoard* board = StartedBoard();
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
  setenv("TARVELIN_MESSAGEBOX", "0", 1);  // unattended: the sampling command's notice is not a box
  return PortOpen(8) == 1;
}

// One "PRB" transaction per iteration, with the CPU it costs.
void TimeCommands(benchmark::State& state) {
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

void BM_LibraryRoundTrip(benchmark::State& state) { TimeCommands(state); }
BENCHMARK(BM_LibraryRoundTrip)->UseRealTime()->Unit(benchmark::kMicrosecond);

// Boards by handle: one board's round trip alone, and the same while a second
// board is kept busy by another thread (each board has its own turn and reader).
tarvelin::board::VirtualBoard* SecondBoard() {
  static tarvelin::board::VirtualBoard* board = StartedBoard();
  return board;
}

void TimeHandleCommands(benchmark::State& state, bool otherBusy) {
  tarvelin_board* first = nullptr;
  tarvelin_board* second = nullptr;
  if (tarvelin_open(Board()->SlavePath().c_str(), 9600, &first) != TARVELIN_OK ||
      tarvelin_open(SecondBoard()->SlavePath().c_str(), 9600, &second) != TARVELIN_OK) {
    state.SkipWithError("tarvelin_open failed");
    tarvelin_close(first);
    return;
  }
  std::atomic<bool> stop{false};
  std::thread other;
  if (otherBusy) {
    other = std::thread([&] {
      int32_t value = 0;
      while (!stop.load()) tarvelin_port_read(second, 'B', &value);
    });
  }
  const CpuMeter meter;
  int32_t value = 0;
  for (auto _ : state) {
    if (tarvelin_port_read(first, 'B', &value) != TARVELIN_OK) state.SkipWithError("command failed");
  }
  meter.Report(state);
  stop = true;
  if (other.joinable()) other.join();
  tarvelin_close(first);
  tarvelin_close(second);
}

void BM_HandleRoundTripAlone(benchmark::State& state) { TimeHandleCommands(state, false); }
BENCHMARK(BM_HandleRoundTripAlone)->UseRealTime()->Unit(benchmark::kMicrosecond);

void BM_HandleRoundTripBothBusy(benchmark::State& state) { TimeHandleCommands(state, true); }
BENCHMARK(BM_HandleRoundTripBothBusy)->UseRealTime()->Unit(benchmark::kMicrosecond);

// The ideal client: the board's terminal opened raw by the benchmark itself.
int OpenRawSlave(tarvelin::board::VirtualBoard* board = Board()) {
  const int fd = open(board->SlavePath().c_str(), O_RDWR | O_NOCTTY);
  termios tio{};
  tcgetattr(fd, &tio);
  cfmakeraw(&tio);
  cfsetispeed(&tio, B9600);
  cfsetospeed(&tio, B9600);
  tcsetattr(fd, TCSANOW, &tio);
  return fd;
}

// Writes the command line and reads until the prompt, a buffer's worth a read;
// a failure is told to `state` where there is one.
bool ExchangeRaw(benchmark::State* state, int fd, const std::string& line, std::vector<char>& buffer,
                 int timeoutMs) {
  if (write(fd, line.data(), line.size()) != static_cast<ssize_t>(line.size())) {
    if (state != nullptr) state->SkipWithError("write failed");
    return false;
  }
  for (bool prompt = false; !prompt;) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, timeoutMs) <= 0) {
      if (state != nullptr) state->SkipWithError("no answer");
      return false;
    }
    const ssize_t got = read(fd, buffer.data(), buffer.size());
    prompt = got > 0 && memchr(buffer.data(), '>', static_cast<size_t>(got)) != nullptr;
  }
  return true;
}

void BM_IdealClientRoundTrip(benchmark::State& state) {
  const int fd = OpenRawSlave();
  std::vector<char> buffer(256);
  const CpuMeter meter;
  for (auto _ : state) {
    if (!ExchangeRaw(&state, fd, "PRB\r", buffer, 1000)) break;
  }
  meter.Report(state);
  close(fd);
}
BENCHMARK(BM_IdealClientRoundTrip)->UseRealTime()->Unit(benchmark::kMicrosecond);

// The same while a second ideal client keeps the second board busy: what two
// boards at once cost on this machine's terminals and CPUs without the library.
void BM_IdealClientRoundTripBothBusy(benchmark::State& state) {
  const int fd = OpenRawSlave();
  const int otherFd = OpenRawSlave(SecondBoard());
  std::atomic<bool> stop{false};
  std::thread other([&] {
    std::vector<char> otherBuffer(256);
    while (!stop.load() && ExchangeRaw(nullptr, otherFd, "PRB\r", otherBuffer, 1000)) {
    }
  });
  std::vector<char> buffer(256);
  const CpuMeter meter;
  for (auto _ : state) {
    if (!ExchangeRaw(&state, fd, "PRB\r", buffer, 1000)) break;
  }
  meter.Report(state);
  stop = true;
  other.join();
  close(otherFd);
  close(fd);
}
BENCHMARK(BM_IdealClientRoundTripBothBusy)->UseRealTime()->Unit(benchmark::kMicrosecond);

// A sampling block's answer: `values` records of 12 bits and the prompt.
std::string SamplingAnswer(int values) {
  std::string text = "\r\n";
  text.reserve(static_cast<size_t>(values) * 5 + 8);
  for (int i = 0; i < values; ++i) text += "*" + std::to_string(1000 + i % 4000);
  return text + "\r\n>";
}

// The largest block: 11 channels x 65,536 samples of 12 bits, answered at once.
constexpr int kBlockValues = 720896;
const std::string& FullBlock() {
  static const std::string block = SamplingAnswer(kBlockValues);
  return block;
}

// The board answers the sampling command with `block`, in chunks of
// `chunkBytes` (0: whole) `gapMs` apart, and the rest from its model.
void AnswerSamplingWith(size_t chunkBytes, int gapMs, const std::string& block) {
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

// Samples `block` through the library at 12 bits, rate code 0.
void SampleThroughLibrary(benchmark::State& state, const std::string& block, size_t chunkBytes, int gapMs,
                          int32_t channelMask, int32_t samples, size_t values) {
  AnswerSamplingWith(chunkBytes, gapMs, block);
  if (!OpenBoardPort()) {
    state.SkipWithError("PortOpen failed");
    return;
  }
  std::vector<int32_t> stored(values);
  const CpuMeter meter;
  for (auto _ : state) {
    if (ADCAnalogSampling(12, channelMask, 0, samples, 0, stored.data()) != 1) state.SkipWithError("sampling failed");
  }
  meter.Report(state);
  PortClose();
  StopAnswering();
}

void BM_LibraryBlock(benchmark::State& state) {
  SampleThroughLibrary(state, FullBlock(), 0, 0, 0x7FF, 65536, kBlockValues);
}
BENCHMARK(BM_LibraryBlock)->UseRealTime()->Unit(benchmark::kMillisecond)->Iterations(5);

void BM_IdealClientBlock(benchmark::State& state) {
  AnswerSamplingWith(0, 0, FullBlock());
  const int fd = OpenRawSlave();
  std::vector<char> buffer(65536);
  const CpuMeter meter;
  for (auto _ : state) {
    if (!ExchangeRaw(&state, fd, "GS12;2047;0;65536\r", buffer, 5000)) break;
  }
  meter.Report(state);
  close(fd);
  StopAnswering();
}
BENCHMARK(BM_IdealClientBlock)->UseRealTime()->Unit(benchmark::kMillisecond)->Iterations(5);

// A board that takes 150 ms to answer: the caller should sleep, not spin.
void BM_SlowBoardTransaction(benchmark::State& state) {
  Board()->SetAnswerDelayMs(150);
  TimeCommands(state);
  StopAnswering();
}
BENCHMARK(BM_SlowBoardTransaction)->UseRealTime()->Unit(benchmark::kMillisecond)->Iterations(4);

// 4,000 values trickled out in 100-byte chunks 25 ms apart: a block of about 5 s.
void BM_TrickledBlock(benchmark::State& state) {
  static const std::string block = SamplingAnswer(4000);
  SampleThroughLibrary(state, block, 100, 25, 1, 4000, 4000);
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
