// Two boards at once with tarvelin.hpp, one thread each.
//
//   two_boards_cpp PORT1 PORT2      e.g. two_boards_cpp /dev/ttyUSB0 /dev/ttyUSB1, or COM3 COM4
//
// Both boards are opened here, then each is moved into a thread of its own,
// which makes port B an output, writes it a value of its own and reads it back,
// then samples channels 0 and 1 with a progress callable. The results are
// printed once both threads are done; the exit status is 0 when both boards
// did all of it.
#include <cstdint>
#include <cstdio>
#include <string>
#include <tarvelin.hpp>
#include <thread>
#include <utility>
#include <vector>

namespace {

constexpr int32_t kChannels = 2;
constexpr int32_t kSamples = 200;

struct Result {
  std::string port;
  int32_t wrote = 0;
  int32_t read = -1;
  std::vector<int32_t> values;
  int progressCalls = 0;
  std::string error;  // empty when the board did all of it
};

void Drive(tarvelin::Board board, Result& result) {
  try {
    board.command("PCB255");  // port B: all outputs
    board.port_write('B', result.wrote);
    result.read = board.port_read('B');
    result.values =
        board.sample(10, (1 << kChannels) - 1, 2, kSamples, [&result](int32_t, int32_t) { ++result.progressCalls; });
  } catch (const tarvelin::Error& e) {
    result.error = "error " + std::to_string(e.code()) + ": " + e.what();
  }
}  // the board closes here

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s PORT1 PORT2   (COM3, 3 or a device path such as /dev/ttyUSB0)\n", argv[0]);
    return 2;
  }
  std::vector<Result> results(2);
  std::vector<std::thread> threads;
  for (int i = 0; i < 2; ++i) {
    Result& result = results[static_cast<size_t>(i)];
    result.port = argv[i + 1];
    result.wrote = 17 * (i + 1);
    try {
      tarvelin::Board board(result.port);
      threads.emplace_back(Drive, std::move(board), std::ref(result));
    } catch (const tarvelin::Error& e) {
      result.error = "error " + std::to_string(e.code()) + ": " + e.what();
    }
  }
  for (std::thread& thread : threads) thread.join();

  int status = 0;
  for (const Result& result : results) {
    const char* port = result.port.c_str();
    if (!result.error.empty()) {
      std::printf("%s: %s\n", port, result.error.c_str());
      status = 1;
      continue;
    }
    std::printf("%s: port B wrote %d, read %d\n", port, static_cast<int>(result.wrote), static_cast<int>(result.read));
    std::printf("%s: sampled %d values, first %d, %d progress calls\n", port, static_cast<int>(result.values.size()),
                static_cast<int>(result.values.empty() ? 0 : result.values[0]), result.progressCalls);
    if (result.read != result.wrote || result.values.size() != static_cast<size_t>(kChannels * kSamples)) status = 1;
  }
  return status;
}
