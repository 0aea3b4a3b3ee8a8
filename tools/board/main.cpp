// tarvelin-board: serves the virtual board on a pseudo-terminal.
//
// Alone, it runs until SIGINT or SIGTERM; the first line on standard output is
// the device path to open, printed once the board (and the optional link) is
// ready, and control lines are read from standard input. With `-- CMD ARGS...`
// it runs CMD with every argument `{}` replaced by the board's device path (and
// with `--com N`, TARVELIN_COM<N> pointing at it), stops the board when CMD ends
// and exits with CMD's status; standard input is then CMD's.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "board_control.h"
#include "virtual_board.h"

#ifndef TARVELIN_VERSION
#define TARVELIN_VERSION "unknown"
#endif

namespace {

using tarvelin::board::VirtualBoard;

struct Options {
  std::string link;
  bool silent = false;
  double timeScale = 1.0;
  int com = 0;
  std::vector<std::string> command;
  int answerDelayMs = 0;
  size_t chunkBytes = 0;
  int chunkGapMs = 0;
  std::string deviceError;
  int hangUpAfter = -1;
  std::string send;
  std::string log;
  std::string control;
};

// Set by whoever wants the line hung up; carried out by the main thread, the
// only one from which the board's HangUp may be called at any time.
std::atomic<bool> HangUpWanted{false};

// Serialises control lines with the board's end: none is carried out once the
// board is stopping.
std::mutex ControlLock;
bool Stopping = false;

// Points `link` at `target`, replacing a symbolic link already there (never another file).
bool MakeLink(const std::string& link, const std::string& target) {
  struct stat info {};
  if (lstat(link.c_str(), &info) == 0 && !S_ISLNK(info.st_mode)) {
    std::fprintf(stderr, "tarvelin-board: %s exists and is not a symbolic link\n", link.c_str());
    return false;
  }
  // Made aside and renamed into place, so the path is never missing or half made.
  const std::string aside = link + ".tmp" + std::to_string(getpid());
  unlink(aside.c_str());
  if (symlink(target.c_str(), aside.c_str()) != 0) {
    std::fprintf(stderr, "tarvelin-board: cannot create link %s: %s\n", aside.c_str(), std::strerror(errno));
    return false;
  }
  if (rename(aside.c_str(), link.c_str()) != 0) {
    std::fprintf(stderr, "tarvelin-board: cannot create link %s: %s\n", link.c_str(), std::strerror(errno));
    unlink(aside.c_str());
    return false;
  }
  return true;
}

// Removes the link only while it still points at this board's device.
void RemoveLink(const std::string& link, const std::string& target) {
  char points[4096];
  const ssize_t size = readlink(link.c_str(), points, sizeof points - 1);
  if (size < 0) return;
  points[size] = '\0';
  if (target == points) unlink(link.c_str());
}

// Reads control lines until the input ends; runs detached, since a read of a
// terminal or a pipe cannot be interrupted portably.
void ReadControlLines(VirtualBoard* board, std::istream* input, std::string source) {
  std::string line;
  while (std::getline(*input, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    std::lock_guard<std::mutex> lock(ControlLock);
    if (Stopping) return;
    bool hangUp = false;
    std::string error;
    if (!tarvelin::board::RunControlLine(*board, line, hangUp, error)) {
      std::fprintf(stderr, "tarvelin-board: %s: %s\n", source.c_str(), error.c_str());
    }
    if (hangUp) HangUpWanted = true;
  }
}

void StartControl(VirtualBoard& board, const std::string& path) {
  if (path.empty()) {
    std::thread(ReadControlLines, &board, &std::cin, std::string("standard input")).detach();
    return;
  }
  // Opened by the thread: a FIFO's open waits for its writer.
  std::thread([&board, path] {
    std::ifstream file(path);
    if (!file) {
      std::fprintf(stderr, "tarvelin-board: cannot read control lines from %s\n", path.c_str());
      return;
    }
    ReadControlLines(&board, &file, path);
  }).detach();
}

// The argument of CMD that stands for the board's device path, as find -exec has it.
constexpr const char* kDevicePlaceholder = "{}";

bool NamesDevice(const std::vector<std::string>& command) {
  return std::find(command.begin(), command.end(), kDevicePlaceholder) != command.end();
}

// Runs the command with the board's device in place of every `{}` argument,
// and in TARVELIN_COM<n> with --com; its pid or -1.
pid_t StartCommand(const Options& options, const std::string& device, const sigset_t& original) {
  std::vector<std::string> words = options.command;
  std::replace(words.begin(), words.end(), std::string(kDevicePlaceholder), device);
  std::vector<char*> argv;
  for (std::string& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);
  const std::string variable = "TARVELIN_COM" + std::to_string(options.com);
  const pid_t child = fork();
  if (child != 0) return child;
  pthread_sigmask(SIG_SETMASK, &original, nullptr);
  if (options.com != 0) setenv(variable.c_str(), device.c_str(), 1);
  execvp(argv[0], argv.data());
  std::fprintf(stderr, "tarvelin-board: cannot run %s: %s\n", argv[0], std::strerror(errno));
  _exit(127);
}

int ExitStatusOf(int status) {
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return 1;
}

void Configure(CLI::App& app, Options& options) {
  app.set_version_flag("--version", "tarvelin-board " TARVELIN_VERSION);
  app.footer(
      "Without a command, the first line on standard output is the board's device path, and control\n"
      "lines are read from standard input (or --control FILE). With -- CMD ARGS..., every argument {}\n"
      "is replaced by the device path. See tools/board/README.md.\n\n"
      "Examples:\n  tarvelin-board -- tarvelin --port {} read B\n  tarvelin-board --com 3 -- tarvelin --port 3 read B");
  app.add_option("--com", options.com, "run CMD with TARVELIN_COM<N> set to the board's device, then stop")
      ->type_name("N")
      ->check(CLI::Range(1, 255));
  app.add_option("--link", options.link, "also reach the board through the symbolic link PATH")->type_name("PATH");
  app.add_option("--time-scale", options.timeScale, "run the board's time F times faster than real time")
      ->type_name("F")
      ->check(CLI::Range(tarvelin::board::ModelClock::kMinScale, tarvelin::board::ModelClock::kMaxScale));
  app.add_option("--log", options.log, "write the wire traffic to FILE, one timestamped line per piece")
      ->type_name("FILE");
  app.add_option("--control", options.control, "read control lines from FILE (a FIFO, say) instead of stdin")
      ->type_name("FILE");
  auto* faults = "Faults";
  app.add_flag("--silent", options.silent, "receive commands but never answer")->group(faults);
  app.add_option("--answer-delay", options.answerDelayMs, "send every answer this late")
      ->type_name("MS")
      ->check(CLI::Range(0, 600000))
      ->group(faults);
  auto* chunk = app.add_option("--chunk", options.chunkBytes, "split answers into chunks of this many bytes")
      ->type_name("BYTES")
      ->check(CLI::Range(1, 4096))
      ->group(faults);
  app.add_option("--chunk-gap", options.chunkGapMs, "pause between chunks")
      ->type_name("MS")
      ->check(CLI::Range(0, 60000))
      ->needs(chunk)
      ->group(faults);
  app.add_option("--device-error", options.deviceError, "answer the first command with ?DIGIT")
      ->type_name("DIGIT")
      ->check([](const std::string& digit) {
        return digit.size() == 1 && std::isxdigit(static_cast<unsigned char>(digit[0])) && digit != "0"
                   ? std::string()
                   : std::string("a hexadecimal digit 1..F");
      })
      ->group(faults);
  app.add_option("--hang-up-after", options.hangUpAfter, "hang up when command N+1 arrives (N answered)")
      ->type_name("N")
      ->check(CLI::Range(0, 1000000000))
      ->group(faults);
  app.add_option("--send", options.send, "send these bytes once the board runs (\\r \\n \\xNN escapes)")
      ->type_name("TEXT")
      ->check([](const std::string& text) {
        std::string bytes;
        return tarvelin::board::Unescape(text, bytes) ? std::string() : std::string("a broken escape");
      })
      ->group(faults);
  app.add_option("command", options.command,
                 "the command to run against the board (after --), then stop; {} stands for the device path")
      ->type_name("CMD ARGS...");
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"The virtual I/O controller board on a pseudo-terminal.", "tarvelin-board"};
  Options options;
  Configure(app, options);
  try {
    app.parse(argc, argv);
    if (options.com != 0 && options.command.empty()) throw CLI::ValidationError("--com", "needs -- CMD ARGS...");
    // Without either the command could not find the board.
    if (options.com == 0 && !options.command.empty() && !NamesDevice(options.command)) {
      throw CLI::ValidationError("CMD", "needs --com N or an argument {} for the device path");
    }
  } catch (const CLI::ParseError& error) {
    const int status = app.exit(error);
    return status == 0 ? 0 : 2;
  }

  // Blocked before the service thread starts, so that it inherits the mask and
  // the signals reach sigtimedwait below.
  sigset_t signals;
  sigset_t original;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGCHLD);
  if (pthread_sigmask(SIG_BLOCK, &signals, &original) != 0) {
    std::fprintf(stderr, "tarvelin-board: cannot block signals\n");
    return 1;
  }

  std::FILE* log = nullptr;
  if (!options.log.empty()) {
    log = std::fopen(options.log.c_str(), "w");
    if (log == nullptr) {
      std::fprintf(stderr, "tarvelin-board: cannot write %s: %s\n", options.log.c_str(), std::strerror(errno));
      return 1;
    }
    fcntl(fileno(log), F_SETFD, FD_CLOEXEC);
  }

  VirtualBoard board;
  board.SetSilent(options.silent);
  board.SetTimeScale(options.timeScale);
  board.SetAnswerDelayMs(options.answerDelayMs);
  if (options.chunkBytes > 0) board.SetChunking(options.chunkBytes, options.chunkGapMs);
  if (!options.deviceError.empty()) {
    board.SetDeviceErrorOnce(static_cast<char>(std::toupper(static_cast<unsigned char>(options.deviceError[0]))));
  }
  if (log != nullptr) {
    board.SetWireObserver([log](bool fromHost, const char* data, size_t size) {
      tarvelin::board::LogWire(log, fromHost, data, size);
    });
  }
  if (options.hangUpAfter >= 0) {
    auto commands = std::make_shared<int>(0);
    board.SetResponder([commands, limit = options.hangUpAfter](const std::string& line) -> std::optional<std::string> {
      if (line.empty()) return std::nullopt;
      if (++*commands <= limit) return std::nullopt;
      HangUpWanted = true;
      return std::string();  // no answer: the line goes down instead
    });
  }
  if (!board.Start()) {
    std::fprintf(stderr, "tarvelin-board: %s\n", board.Error().c_str());
    return 1;
  }
  const std::string device = board.SlavePath();
  if (!options.link.empty() && !MakeLink(options.link, device)) {
    board.Stop();
    return 1;
  }
  if (!options.send.empty()) {
    std::string bytes;
    tarvelin::board::Unescape(options.send, bytes);
    board.SendRaw(bytes);
  }

  pid_t child = -1;
  if (!options.command.empty()) {
    child = StartCommand(options, device, original);
    if (child < 0) {
      std::fprintf(stderr, "tarvelin-board: cannot start %s: %s\n", options.command[0].c_str(), std::strerror(errno));
      if (!options.link.empty()) RemoveLink(options.link, device);
      board.Stop();
      return 1;
    }
    if (!options.control.empty()) StartControl(board, options.control);
  } else {
    if (std::printf("%s\n", device.c_str()) < 0 || std::fflush(stdout) != 0) {
      std::fprintf(stderr, "tarvelin-board: cannot write the device path\n");
      if (!options.link.empty()) RemoveLink(options.link, device);
      board.Stop();
      return 1;
    }
    StartControl(board, options.control);
  }

  int status = 0;
  bool hungUp = false;
  const timespec slice{0, 50 * 1000 * 1000};
  for (;;) {
    if (HangUpWanted && !hungUp) {
      board.HangUp();
      hungUp = true;
    }
    const int caught = sigtimedwait(&signals, nullptr, &slice);
    if (caught == SIGCHLD && child > 0) {
      int childStatus = 0;
      if (waitpid(child, &childStatus, WNOHANG) == child) {
        status = ExitStatusOf(childStatus);
        break;
      }
    } else if (caught == SIGINT || caught == SIGTERM) {
      if (child <= 0) break;
      kill(child, caught);  // the command ends first; its end ends the board
    }
  }

  {
    std::lock_guard<std::mutex> lock(ControlLock);
    Stopping = true;
  }
  if (!options.link.empty()) RemoveLink(options.link, device);
  board.Stop();
  if (log != nullptr) std::fclose(log);
  return status;
}
