// What the tool needs from the operating system, one file per system
// (system_posix.cpp, system_windows.cpp): the serial ports present, the port
// used by default, the programs on the PATH and the terminal.
#pragma once

#include <string>
#include <vector>

namespace tarvelin::cli {

struct PortEntry {
  std::string name;         // "/dev/ttyUSB0", "/dev/serial/by-id/usb-...", "COM3"
  std::string target;       // for a by-id link, the device it points at; else empty
  std::string description;  // Windows: the device's name, "USB Serial Port (COM5)"; else empty
};

// The help and advice that name the system's own things: how --port is
// written and which port is used without it, the examples that end every help
// page, where gnuplot comes from, and whether `ports --root` means anything.
struct SystemHelp {
  const char* port;
  const char* examples;
  const char* noPlotter;
  bool portsRoot;
};
const SystemHelp& HelpForThisSystem();

// The serial ports present, looked for below `root` ("/" normally; another
// folder holds a copy of a /dev tree) where the system has such a tree.
std::vector<PortEntry> ListPorts(const std::string& root);

// The port used when none is named: the lowest n with TARVELIN_COM<n> set, else 1.
int DefaultPort();

// The full path of a program found on PATH, or empty.
std::string FindProgram(const std::string& name);
// Runs `program` (a full path) with `input` on its standard input; its exit status, -1 when it could not run.
int RunWithInput(const std::string& program, const std::string& input);

// Calls `handler` on Ctrl-C (SIGINT); a read of the terminal in progress ends then.
void CatchInterrupt(void (*handler)(int));

bool StandardErrorIsTerminal();
bool StandardInputIsTerminal();

}  // namespace tarvelin::cli
