// Windows: the COM devices the system knows, with their names from the device
// manager; the library opens COMn itself.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <io.h>
#include <windows.h>
#include <setupapi.h>

#include <algorithm>
#include <map>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "system.h"

namespace tarvelin::cli {

namespace {

// "COM5" (either case): 5; 0 for anything else.
int ComNumberOf(const char* name) {
  if (_strnicmp(name, "COM", 3) != 0) return 0;
  char* end = nullptr;
  const long n = std::strtol(name + 3, &end, 10);
  return end != name + 3 && *end == '\0' && n > 0 && n <= 255 ? static_cast<int>(n) : 0;
}

// The names Device Manager shows under "Ports (COM & LPT)", by COM number:
// "USB Serial Port (COM5)". Empty where the system keeps no such devices.
std::map<int, std::string> PortDescriptions() {
  // The device setup class "Ports", {4D36E978-E325-11CE-BFC1-08002BE10318}.
  static const GUID kPortsClass = {0x4D36E978, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};
  std::map<int, std::string> descriptions;
  HDEVINFO devices = SetupDiGetClassDevsA(&kPortsClass, nullptr, nullptr, DIGCF_PRESENT);
  if (devices == INVALID_HANDLE_VALUE) return descriptions;
  SP_DEVINFO_DATA device{};
  device.cbSize = sizeof device;
  for (DWORD index = 0; SetupDiEnumDeviceInfo(devices, index, &device); ++index) {
    HKEY key = SetupDiOpenDevRegKey(devices, &device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
    if (key == INVALID_HANDLE_VALUE) continue;
    char port[32] = "";
    DWORD size = sizeof port - 1;
    DWORD type = 0;
    const LONG read = RegQueryValueExA(key, "PortName", nullptr, &type, reinterpret_cast<BYTE*>(port), &size);
    RegCloseKey(key);
    if (read != ERROR_SUCCESS || type != REG_SZ) continue;
    port[std::min<DWORD>(size, sizeof port - 1)] = '\0';
    const int n = ComNumberOf(port);
    char name[256] = "";
    if (n != 0 && SetupDiGetDeviceRegistryPropertyA(devices, &device, SPDRP_FRIENDLYNAME, nullptr,
                                                    reinterpret_cast<BYTE*>(name), sizeof name - 1, nullptr)) {
      descriptions[n] = name;
    }
  }
  SetupDiDestroyDeviceInfoList(devices);
  return descriptions;
}

}  // namespace

const SystemHelp& HelpForThisSystem() {
  static const SystemHelp help{
      "COM3 or 3: the number Device Manager shows under \"Ports (COM & LPT)\" (tarvelin ports lists them); "
      "default: COM1",
      "Examples:\n  tarvelin ports\n  tarvelin --port COM3 read B\n  tarvelin --port COM3 adc --bits 10 --channel 3",
      "gnuplot.exe is not on the PATH (install gnuplot for Windows and add its bin folder to PATH, or write the "
      "samples with --csv FILE)",
      false};
  return help;
}

std::vector<PortEntry> ListPorts(const std::string&) {
  // Every DOS device name, NUL-separated; the COM ones are the serial ports.
  std::string names(65536, '\0');
  const DWORD size = QueryDosDeviceA(nullptr, names.data(), static_cast<DWORD>(names.size()));
  std::vector<int> numbers;
  for (size_t at = 0; at < size && names[at] != '\0'; at += std::strlen(names.c_str() + at) + 1) {
    const int n = ComNumberOf(names.c_str() + at);
    if (n != 0) numbers.push_back(n);
  }
  const std::map<int, std::string> descriptions = PortDescriptions();
  // A port whose device is known but whose name is not (yet) linked still counts.
  for (const auto& entry : descriptions) numbers.push_back(entry.first);
  std::sort(numbers.begin(), numbers.end());
  numbers.erase(std::unique(numbers.begin(), numbers.end()), numbers.end());
  std::vector<PortEntry> ports;
  for (const int n : numbers) {
    const auto found = descriptions.find(n);
    ports.push_back({"COM" + std::to_string(n), "", found != descriptions.end() ? found->second : ""});
  }
  return ports;
}

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

void CatchInterrupt(void (*handler)(int)) { std::signal(SIGINT, handler); }

bool StandardErrorIsTerminal() { return _isatty(_fileno(stderr)) != 0; }
bool StandardInputIsTerminal() { return _isatty(_fileno(stdin)) != 0; }

}  // namespace tarvelin::cli
