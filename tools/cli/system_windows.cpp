// Windows: the COM devices the system knows; the library opens COMn itself.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <io.h>
#include <windows.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "system.h"

namespace tarvelin::cli {

std::vector<PortEntry> ListPorts(const std::string&) {
  // Every DOS device name, NUL-separated; the COM ones are the serial ports.
  std::string names(65536, '\0');
  const DWORD size = QueryDosDeviceA(nullptr, names.data(), static_cast<DWORD>(names.size()));
  std::vector<int> numbers;
  for (size_t at = 0; at < size && names[at] != '\0'; at += std::strlen(names.c_str() + at) + 1) {
    const char* name = names.c_str() + at;
    if (_strnicmp(name, "COM", 3) != 0) continue;
    char* end = nullptr;
    const long n = std::strtol(name + 3, &end, 10);
    if (end != name + 3 && *end == '\0' && n > 0) numbers.push_back(static_cast<int>(n));
  }
  std::sort(numbers.begin(), numbers.end());
  numbers.erase(std::unique(numbers.begin(), numbers.end()), numbers.end());
  std::vector<PortEntry> ports;
  for (const int n : numbers) ports.push_back({"COM" + std::to_string(n), ""});
  return ports;
}

int MapDevicePath(const std::string&) { return 0; }

int DefaultPort() { return 1; }

std::string FindProgram(const std::string& name) {
  char found[MAX_PATH];
  const DWORD length = SearchPathA(nullptr, name.c_str(), ".exe", sizeof found, found, nullptr);
  return length > 0 && length < sizeof found ? std::string(found) : std::string();
}

int RunWithInput(const std::string& program, const std::string& input) {
  FILE* pipe = _popen(("\"" + program + "\"").c_str(), "wb");
  if (pipe == nullptr) return -1;
  std::fwrite(input.data(), 1, input.size(), pipe);
  return _pclose(pipe);
}

void SetEnvironmentDefault(const char* name, const char* value) {
  char existing[8];
  if (GetEnvironmentVariableA(name, existing, sizeof existing) == 0) SetEnvironmentVariableA(name, value);
}

void CatchInterrupt(void (*handler)(int)) { std::signal(SIGINT, handler); }

bool StandardErrorIsTerminal() { return _isatty(_fileno(stderr)) != 0; }
bool StandardInputIsTerminal() { return _isatty(_fileno(stdin)) != 0; }

}  // namespace tarvelin::cli
