// Figures for the channel and the transaction:
// - the reader's cost per chunk with an empty answer text and with a text of
//   3.5 million characters (it must not grow with the text);
// - one command round trip through the library against the virtual board,
//   and the same exchange by an ideal client writing and reading the
//   pseudo-terminal directly, in the same run.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

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

void BM_LibraryRoundTrip(benchmark::State& state) {
  setenv("TARVELIN_COM8", Board()->SlavePath().c_str(), 1);
  if (PortOpen(8) != 1) {
    state.SkipWithError("PortOpen failed");
    return;
  }
  for (auto _ : state) {
    if (WriteCommand("PRB") != 1) state.SkipWithError("command failed");
  }
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
  close(fd);
}
BENCHMARK(BM_IdealClientRoundTrip)->UseRealTime()->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
