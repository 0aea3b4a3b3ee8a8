// Linux: ports from /dev, the default COM port from TARVELIN_COM<n>.
#include <dirent.h>
#include <limits.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

#include "system.h"

extern char** environ;

namespace tarvelin::cli {

namespace {

constexpr int kMaxComNumber = 255;

std::string Join(const std::string& root, const std::string& path) {
  if (root.empty() || root == "/") return path;
  return (root.back() == '/' ? root.substr(0, root.size() - 1) : root) + path;
}

std::vector<std::string> Names(const std::string& folder) {
  std::vector<std::string> names;
  DIR* dir = opendir(folder.c_str());
  if (dir == nullptr) return names;
  while (const dirent* entry = readdir(dir)) {
    if (entry->d_name[0] != '.') names.emplace_back(entry->d_name);
  }
  closedir(dir);
  return names;
}

// ttyS2 before ttyS10.
bool NaturalLess(const std::string& a, const std::string& b) {
  const size_t aDigits = a.find_first_of("0123456789");
  const size_t bDigits = b.find_first_of("0123456789");
  if (aDigits != std::string::npos && bDigits != std::string::npos && a.compare(0, aDigits, b, 0, bDigits) == 0) {
    return std::strtol(a.c_str() + aDigits, nullptr, 10) < std::strtol(b.c_str() + bDigits, nullptr, 10);
  }
  return a < b;
}

// The kernel makes ttyS nodes for every possible UART; one without hardware
// says type 0 (unknown) in sysfs. Without that file the node counts.
bool UartPresent(const std::string& root, const std::string& name) {
  FILE* file = std::fopen(Join(root, "/sys/class/tty/" + name + "/type").c_str(), "r");
  if (file == nullptr) return true;
  int type = -1;
  const bool read = std::fscanf(file, "%d", &type) == 1;
  std::fclose(file);
  return !read || type != 0;
}

}  // namespace

std::vector<PortEntry> ListPorts(const std::string& root) {
  std::vector<PortEntry> ports;
  // The stable names first: they survive replugging, unlike ttyUSB numbers.
  const std::string byId = Join(root, "/dev/serial/by-id");
  std::vector<std::string> links = Names(byId);
  std::sort(links.begin(), links.end());
  for (const std::string& link : links) {
    const std::string path = byId + "/" + link;
    char target[PATH_MAX];
    const ssize_t size = readlink(path.c_str(), target, sizeof target - 1);
    std::string resolved;
    if (size > 0) {
      target[size] = '\0';
      // The links are relative ("../../ttyUSB0"); the device is the last part, in /dev.
      const char* last = std::strrchr(target, '/');
      resolved = "/dev/" + std::string(last != nullptr ? last + 1 : target);
    }
    ports.push_back({"/dev/serial/by-id/" + link, resolved, ""});
  }
  std::vector<std::string> devices;
  for (const std::string& name : Names(Join(root, "/dev"))) {
    for (const char* prefix : {"ttyUSB", "ttyACM", "ttyS"}) {
      const size_t length = std::strlen(prefix);
      if (name.compare(0, length, prefix) == 0 && name.size() > length &&
          name.find_first_not_of("0123456789", length) == std::string::npos) {
        struct stat info {};
        const bool uart = std::strcmp(prefix, "ttyS") == 0;
        if (stat(Join(root, "/dev/" + name).c_str(), &info) == 0 && (!uart || UartPresent(root, name))) {
          devices.push_back(name);
        }
      }
    }
  }
  // USB adapters first, then the built-in ports, each in number order.
  std::sort(devices.begin(), devices.end(), [](const std::string& a, const std::string& b) {
    const auto rank = [](const std::string& n) {
      return n.compare(0, 6, "ttyUSB") == 0 ? 0 : n.compare(0, 6, "ttyACM") == 0 ? 1 : 2;
    };
    return rank(a) != rank(b) ? rank(a) < rank(b) : NaturalLess(a, b);
  });
  for (const std::string& name : devices) ports.push_back({"/dev/" + name, "", ""});
  return ports;
}

int DefaultPort() {
  int lowest = 0;
  for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
    const char* text = *entry;
    if (std::strncmp(text, "TARVELIN_COM", 12) != 0) continue;
    char* end = nullptr;
    const long n = std::strtol(text + 12, &end, 10);
    if (end == text + 12 || *end != '=' || end[1] == '\0' || n < 1 || n > kMaxComNumber) continue;
    if (lowest == 0 || n < lowest) lowest = static_cast<int>(n);
  }
  return lowest != 0 ? lowest : 1;
}

std::string FindProgram(const std::string& name) {
  const char* path = getenv("PATH");
  std::string folders = path != nullptr ? path : "/usr/bin:/bin";
  size_t start = 0;
  while (start <= folders.size()) {
    const size_t end = std::min(folders.find(':', start), folders.size());
    const std::string candidate = (end > start ? folders.substr(start, end - start) : std::string(".")) + "/" + name;
    if (access(candidate.c_str(), X_OK) == 0) return candidate;
    start = end + 1;
  }
  return {};
}

int RunWithInput(const std::string& program, const std::string& input) {
  std::string quoted = "'";
  for (const char c : program) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  quoted += "'";
  FILE* pipe = popen(quoted.c_str(), "w");
  if (pipe == nullptr) return -1;
  std::fwrite(input.data(), 1, input.size(), pipe);
  const int status = pclose(pipe);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

const SystemHelp& HelpForThisSystem() {
  static const SystemHelp help{
      "COM3, 3 or a device path (/dev/ttyUSB0, a /dev/serial/by-id link, a pty); default: the lowest COMn mapped by "
      "TARVELIN_COM<n>, else COM1 (/dev/ttyS0)",
      "Examples:\n  tarvelin ports\n  tarvelin --port /dev/ttyUSB0 read B\n"
      "  tarvelin --port /dev/ttyUSB0 adc --bits 10 --channel 3",
      "gnuplot is not installed (Debian package gnuplot-nox)", true};
  return help;
}

void CatchInterrupt(void (*handler)(int)) {
  struct sigaction action {};
  action.sa_handler = handler;
  sigemptyset(&action.sa_mask);
  action.sa_flags = 0;  // no SA_RESTART: a blocked read returns, so term ends on Ctrl-C
  sigaction(SIGINT, &action, nullptr);
}

bool StandardErrorIsTerminal() { return isatty(STDERR_FILENO) != 0; }
bool StandardInputIsTerminal() { return isatty(STDIN_FILENO) != 0; }

}  // namespace tarvelin::cli
