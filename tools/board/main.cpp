// tarvelin-board: serves the virtual board on a pseudo-terminal until SIGINT or
// SIGTERM. The first line on standard output is the device path to open; it is
// printed once the board (and the optional link) is ready.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "virtual_board.h"

namespace {

constexpr const char kUsage[] =
    "usage: tarvelin-board [--link PATH] [--silent] [--time-scale F]\n"
    "  --link PATH       also reach the board through the symbolic link PATH\n"
    "  --silent          receive commands but never answer\n"
    "  --time-scale F    run the board's time F times faster than real time (0.001..1000000)\n";

struct Options {
  std::string link;
  bool silent = false;
  double timeScale = 1.0;
};

// A number within the model clock's range, or false.
bool ParseTimeScale(const std::string& text, double& factor) {
  if (text.empty()) return false;
  char* end = nullptr;
  errno = 0;
  const double value = std::strtod(text.c_str(), &end);
  if (errno != 0 || end != text.c_str() + text.size() || !std::isfinite(value)) return false;
  if (value < tarvelin::board::ModelClock::kMinScale || value > tarvelin::board::ModelClock::kMaxScale) return false;
  factor = value;
  return true;
}

// False with a message on stderr when the arguments make no sense.
bool ParseOptions(int argc, char** argv, Options& options, bool& help) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      help = true;
    } else if (arg == "--silent") {
      options.silent = true;
    } else if (arg == "--time-scale" || arg.rfind("--time-scale=", 0) == 0) {
      std::string value;
      if (arg == "--time-scale") {
        if (i + 1 < argc) value = argv[++i];
      } else {
        value = arg.substr(13);
      }
      if (!ParseTimeScale(value, options.timeScale)) {
        std::fprintf(stderr, "tarvelin-board: --time-scale needs a number from 0.001 to 1000000\n%s", kUsage);
        return false;
      }
    } else if (arg == "--link" || arg.rfind("--link=", 0) == 0) {
      if (arg == "--link") {
        if (i + 1 >= argc) {
          std::fprintf(stderr, "tarvelin-board: --link needs a path\n%s", kUsage);
          return false;
        }
        options.link = argv[++i];
      } else {
        options.link = arg.substr(7);
      }
      if (options.link.empty()) {
        std::fprintf(stderr, "tarvelin-board: --link needs a path\n%s", kUsage);
        return false;
      }
    } else {
      std::fprintf(stderr, "tarvelin-board: unknown argument '%s'\n%s", arg.c_str(), kUsage);
      return false;
    }
  }
  return true;
}

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

}  // namespace

int main(int argc, char** argv) {
  Options options;
  bool help = false;
  if (!ParseOptions(argc, argv, options, help)) return 1;
  if (help) {
    std::fputs(kUsage, stdout);
    return 0;
  }

  // Blocked before the service thread starts, so that it inherits the mask and
  // the signals reach sigwait below.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  if (pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr) != 0) {
    std::fprintf(stderr, "tarvelin-board: cannot block signals\n");
    return 1;
  }

  tarvelin::board::VirtualBoard board;
  board.SetSilent(options.silent);
  board.SetTimeScale(options.timeScale);
  if (!board.Start()) {
    std::fprintf(stderr, "tarvelin-board: %s\n", board.Error().c_str());
    return 1;
  }
  if (!options.link.empty() && !MakeLink(options.link, board.SlavePath())) {
    board.Stop();
    return 1;
  }
  if (std::printf("%s\n", board.SlavePath().c_str()) < 0 || std::fflush(stdout) != 0) {
    std::fprintf(stderr, "tarvelin-board: cannot write the device path\n");
    if (!options.link.empty()) RemoveLink(options.link, board.SlavePath());
    board.Stop();
    return 1;
  }

  int caught = 0;
  while (sigwait(&stopSignals, &caught) != 0) {
  }

  if (!options.link.empty()) RemoveLink(options.link, board.SlavePath());
  board.Stop();
  return 0;
}
