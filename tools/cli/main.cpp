// tarvelin: the board from a terminal, through the library's exports only: a
// board by handle for the commands and the panel, which never shows a message
// box; the classic exports for the version.
#include <CLI/CLI.hpp>
#include <fmt/format.h>

#include <chrono>
#include <cstdio>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

#include "panel_command.h"
#include "sampling.h"
#include "session.h"
#include "system.h"
#include "tarvelin.h"

#ifndef TARVELIN_VERSION
#define TARVELIN_VERSION "unknown"
#endif

namespace {

using namespace tarvelin::cli;

// What the calls that give no value print: 1, as their classic exports return.
constexpr int32_t kNoValue = 1;

struct Options {
  std::string port;
  int baud = 9600;
  bool json = false;
  std::string portsRoot = "/";
  std::vector<std::string> commands;
  std::string letter;
  int value = 0;
  int bits = 10;
  int channel = 0;
  int repeat = 1;
  int interval = 0;
  SampleOptions sample;
  std::string motorAction;
  std::vector<std::string> motorArgs;
  int frequency = 1000;
  int duty = 50;
  int pulses = 0;
  bool wait = false;
  double timeout = 0;
  std::string io485Action;
  int address = -1;
  int selector = 1;
  bool broadcast = false;
};

// One command of the board: its value or its error.
int SendOne(Session& session, const std::string& command) {
  int32_t value = 0;
  const int32_t code = tarvelin_command(session.Board(), command.c_str(), &value);
  if (code != TARVELIN_OK) return session.Failure(command, code);
  session.Result({{"command", command}, {"value", value}}, fmt::format("{}", value));
  return 0;
}

// What a call on the board gave: its value, or its error.
int Returned(Session& session, const std::string& what, int32_t code, int32_t value) {
  if (code != TARVELIN_OK) return session.Failure(what, code);
  session.Result({{"operation", what}, {"value", value}}, fmt::format("{}", value));
  return 0;
}

int Ports(const Options& options) {
  for (const PortEntry& port : ListPorts(options.portsRoot)) {
    if (options.json) {
      JsonValue line{{"port", port.name}};
      if (!port.target.empty()) line["target"] = port.target;
      if (!port.description.empty()) line["description"] = port.description;
      fmt::print("{}\n", JsonText(line));
    } else {
      fmt::print("{}{}{}\n", port.name, port.target.empty() ? "" : " -> " + port.target,
                 port.description.empty() ? "" : "  " + port.description);
    }
  }
  return 0;
}

int Version(const Options& options) {
  const std::string library = Trim(GetDLLVersion());
  if (options.json) {
    fmt::print("{}\n", JsonText({{"tool", TARVELIN_VERSION}, {"library", library}}));
  } else {
    fmt::print("tarvelin {}\nlibrary: {}\n", TARVELIN_VERSION, library);
  }
  return 0;
}

int PortLetter(const std::string& text, int& status) {
  if (text.size() == 1) {
    const char letter = static_cast<char>(std::toupper(static_cast<unsigned char>(text[0])));
    if (letter == 'A' || letter == 'B' || letter == 'C' || letter == 'D' || letter == 'S') return letter;
  }
  fmt::print(stderr, "tarvelin: the port letter is A, B, C, D or S, not '{}'\n", text);
  status = kUsage;
  return 0;
}

int Adc(Session& session, const Options& options) {
  for (int i = 0; i < options.repeat && !Interrupted; ++i) {
    if (i > 0 && options.interval > 0) std::this_thread::sleep_for(std::chrono::milliseconds(options.interval));
    int32_t value = 0;
    const int32_t code = tarvelin_adc(session.Board(), options.bits, options.channel, &value);
    if (code != TARVELIN_OK) return session.Failure("adc", code);
    session.Result({{"bits", options.bits}, {"channel", options.channel}, {"value", value}}, fmt::format("{}", value));
  }
  return Interrupted ? kInterrupted : 0;
}

// The numbers of "motor go XY STEPS SPEED [N3 [N4]]" (missing ones 0); false with a message.
bool MotorNumbers(const std::vector<std::string>& args, int32_t (&numbers)[4]) {
  // The wire form: two characters (direction and a free one), steps, speed and two numbers.
  if (args.size() < 3 || args.size() > 5 || args[0].size() != 2) {
    fmt::print(stderr, "tarvelin motor go: usage: motor go XY STEPS SPEED [N3 [N4]] (X: F forward, R reverse)\n");
    return false;
  }
  for (size_t i = 1; i < 5; ++i) {
    numbers[i - 1] = 0;
    if (i >= args.size()) continue;
    try {
      size_t used = 0;
      const long long value = std::stoll(args[i], &used);
      if (used != args[i].size() || value < INT32_MIN || value > INT32_MAX) throw std::out_of_range(args[i]);
      numbers[i - 1] = static_cast<int32_t>(value);
    } catch (const std::exception&) {
      fmt::print(stderr, "tarvelin motor go: '{}' is not a 32-bit number\n", args[i]);
      return false;
    }
  }
  return true;
}

// What the argument library cannot check: kUsage with a message, before any port is opened.
int CheckUsage(const std::string& name, const Options& o) {
  int32_t numbers[4];
  if (name == "sample") return CheckSampleOptions(o.sample);
  if (name == "motor" && o.motorAction == "go" && !MotorNumbers(o.motorArgs, numbers)) return kUsage;
  if (name == "motor" && o.motorAction != "go" && !o.motorArgs.empty()) {
    fmt::print(stderr, "tarvelin motor {}: takes no arguments\n", o.motorAction);
    return kUsage;
  }
  if (name == "pwm" && o.wait && o.pulses == 0) {
    fmt::print(stderr, "tarvelin pwm: --wait needs --pulses above 0 (0 runs until stopped)\n");
    return kUsage;
  }
  if (name == "io485" && o.io485Action == "address" && o.address < 0) {
    fmt::print(stderr, "tarvelin io485 address: needs the module address 0..31\n");
    return kUsage;
  }
  return 0;
}

int Motor(Session& session, const Options& options) {
  const std::string& action = options.motorAction;
  tarvelin_board* board = session.Board();
  int32_t value = kNoValue;
  int32_t code = TARVELIN_OK;
  if (action == "go") {
    int32_t numbers[4];
    MotorNumbers(options.motorArgs, numbers);
    // The characters go as the library's MotorGo takes them, bytes above 127 included.
    const auto pair = reinterpret_cast<const unsigned char*>(options.motorArgs[0].data());
    code = tarvelin_motor_go(board, pair[0], pair[1], numbers[0], numbers[1], numbers[2], numbers[3]);
  } else if (action == "stop") {
    code = tarvelin_motor_stop(board);
  } else if (action == "reset") {
    code = tarvelin_motor_counter_reset(board);
  } else if (action == "counter") {
    code = tarvelin_motor_counter(board, &value);
  } else if (action == "flag") {
    code = tarvelin_motor_flag(board, &value);
  } else {
    code = tarvelin_motor_disable(board, &value);
  }
  return Returned(session, "motor " + action, code, value);
}

int Pwm(Session& session, const Options& options) {
  tarvelin_board* board = session.Board();
  int32_t finished = 0;
  int32_t code = TARVELIN_OK;
  // An end of run from before belongs to another run.
  if (options.wait && (code = tarvelin_pwm_finished(board, &finished)) != TARVELIN_OK) {
    return session.Failure("pwm", code);
  }
  if ((code = tarvelin_pwm_set(board, options.frequency, options.duty, options.pulses)) != TARVELIN_OK) {
    return session.Failure("pwm", code);
  }
  if (!options.wait) {
    session.Result({{"operation", "pwm"}, {"value", 1}}, "1");
    return 0;
  }
  // The run lasts pulses / frequency seconds; the default time-out allows twice that and 5 s more.
  const double seconds = options.timeout > 0 ? options.timeout
                                             : 2.0 * options.pulses / options.frequency + 5.0;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  while (true) {
    if ((code = tarvelin_pwm_finished(board, &finished)) != TARVELIN_OK) return session.Failure("pwm", code);
    if (finished == 1) break;
    if (Interrupted) return kInterrupted;
    if (std::chrono::steady_clock::now() > deadline) {
      fmt::print(stderr, "tarvelin pwm: no end of run within {:.1f} s\n", seconds);
      return kFailed;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  session.Result({{"operation", "pwm"}, {"finished", true}}, "finished");
  return 0;
}

int Io485(Session& session, const Options& options) {
  tarvelin_board* board = session.Board();
  int32_t value = kNoValue;
  int32_t code = TARVELIN_OK;
  if (options.io485Action == "init") {
    code = tarvelin_io485_initialize(board);
  } else if (options.io485Action == "reset") {
    code = tarvelin_io485_reset(board, &value);
  } else {
    code = tarvelin_io485_address(board, options.address, options.selector, options.broadcast ? 1 : 0);
  }
  return Returned(session, "io485 " + options.io485Action, code, value);
}

// Each line typed (or piped) is one command; its value or its error is printed.
int Term(Session& session) {
  const bool prompt = StandardInputIsTerminal();
  if (prompt) fmt::print(stderr, "Commands go to the board as typed; an empty line or Ctrl-D ends.\n");
  std::string line;
  int status = 0;
  while (true) {
    if (prompt) {
      fmt::print(stderr, "> ");
      std::fflush(stderr);
    }
    if (!std::getline(std::cin, line)) {
      if (Interrupted) return kInterrupted;
      break;
    }
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty()) {
      if (prompt) break;
      continue;
    }
    if (SendOne(session, line) != 0) status = kFailed;
  }
  return status;
}

void Configure(CLI::App& app, Options& o, std::vector<CLI::App*>& commands) {
  app.set_version_flag("--version", "tarvelin " TARVELIN_VERSION);
  app.require_subcommand(1);
  app.fallthrough();
  const SystemHelp& help = HelpForThisSystem();
  app.add_option("--port", o.port, help.port)->type_name("PORT");
  app.add_option("--baud", o.baud, "the line rate the board runs at")
      ->check(CLI::IsMember({300, 1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200}));
  app.add_flag("--json", o.json, "print results as JSON, one object a line");
  app.footer(
      "Exit status: 0 success, 1 the board or the library reported an error (\"error N: text\" on\n"
      "standard error), 2 bad usage, 130 interrupted.\n\n" +
      std::string(help.examples));

  auto* ports = app.add_subcommand("ports", "list the serial ports present");
  if (help.portsRoot) ports->add_option("--root", o.portsRoot, "look for /dev below this folder")->type_name("DIR");
  commands.push_back(ports);

  auto* send = app.add_subcommand("send", "send commands as typed; print each value or error");
  send->add_option("command", o.commands, "board commands, e.g. PRB")->required()->type_name("CMD");
  commands.push_back(send);

  auto* read = app.add_subcommand("read", "read a digital port");
  read->add_option("port", o.letter, "A, B, C, D or S")->required()->type_name("LETTER");
  commands.push_back(read);

  auto* write = app.add_subcommand("write", "write a digital port");
  write->add_option("port", o.letter, "A, B, C, D or S")->required()->type_name("LETTER");
  write->add_option("value", o.value, "-1..255")->required()->check(CLI::Range(-1, 255));
  commands.push_back(write);

  auto* config = app.add_subcommand("config", "set a port's direction (bit set = output)");
  config->add_option("port", o.letter, "A, B, C, D or S")->required()->type_name("LETTER");
  config->add_option("mask", o.value, "0..255")->required()->check(CLI::Range(0, 255));
  commands.push_back(config);

  auto* adc = app.add_subcommand("adc", "convert one analog channel");
  adc->add_option("--bits", o.bits, "resolution")->check(CLI::IsMember({8, 10, 12}));
  adc->add_option("--channel", o.channel, "0..14 (0..11 at 8 bits)")->check(CLI::Range(0, 14));
  adc->add_option("--repeat", o.repeat, "conversions to make")->check(CLI::Range(1, 1000000));
  adc->add_option("--interval", o.interval, "pause between conversions")->type_name("MS")->check(CLI::Range(0, 3600000));
  commands.push_back(adc);

  auto* sample = app.add_subcommand("sample", "sample channels at a fixed rate (CSV, JSON or a plot)");
  sample->add_option("--bits", o.sample.bits, "resolution 8, 10 or 12");
  sample->add_option("--channels", o.sample.channels, "channels 0..10, in increasing order")->delimiter(',');
  sample->add_option("--rate", o.sample.rate, "rate code 0 (fastest) .. 7");
  sample->add_option("--samples", o.sample.samples, "samples per channel, 1..65536");
  sample->add_option("--csv", o.sample.csv, "write the samples to FILE (header, one row per sample)")->type_name("FILE");
  sample->add_option("--plot", o.sample.plot, "draw the samples into FILE.png with gnuplot")->type_name("FILE");
  commands.push_back(sample);

  auto* motor = app.add_subcommand("motor", "the stepper: go XY STEPS SPEED [N3 [N4]], stop, reset, counter, flag, disable");
  motor->add_option("action", o.motorAction, "what to do")
      ->required()
      ->check(CLI::IsMember({"go", "stop", "reset", "counter", "flag", "disable"}));
  motor->add_option("args", o.motorArgs, "for go: XY STEPS SPEED [N3 [N4]]");
  commands.push_back(motor);

  auto* pwm = app.add_subcommand("pwm", "start a PWM run");
  pwm->add_option("--frequency", o.frequency, "15..15000")->check(CLI::Range(15, 15000));
  pwm->add_option("--duty", o.duty, "duty cycle in percent, 0..100")->check(CLI::Range(0, 100));
  pwm->add_option("--pulses", o.pulses, "pulses to put out, 0 = until stopped")->check(CLI::Range(0, 16000000));
  pwm->add_flag("--wait", o.wait, "wait for the end of the run");
  pwm->add_option("--timeout", o.timeout, "give up waiting after this many seconds")->check(CLI::Range(0.1, 86400.0));
  commands.push_back(pwm);

  commands.push_back(app.add_subcommand("period", "read the measured period"));

  auto* io485 = app.add_subcommand("io485", "the I/O-485 network: init, reset, address N [--ic I] [--broadcast]");
  io485->add_option("action", o.io485Action, "what to do")->required()->check(CLI::IsMember({"init", "reset", "address"}));
  io485->add_option("address", o.address, "module address 0..31")->check(CLI::Range(0, 31));
  io485->add_option("--ic", o.selector, "IC selector 0..3")->check(CLI::Range(0, 3));
  io485->add_flag("--broadcast", o.broadcast, "reach every module");
  commands.push_back(io485);

  commands.push_back(app.add_subcommand("version", "print the tool's and the library's versions"));
  commands.push_back(app.add_subcommand("term", "send each line typed (or piped) as a command"));
}

int Run(const std::string& name, const Options& o) {
  if (name == "ports") return Ports(o);
  if (name == "version") return Version(o);

  int status = 0;
  int letter = 0;
  if (name == "read" || name == "write" || name == "config") {
    letter = PortLetter(o.letter, status);
    if (letter == 0) return status;
  }
  if ((status = CheckUsage(name, o)) != 0) return status;

  Session session(o.json, o.port, o.baud);
  if (!session.OpenBoard(status)) return status;
  tarvelin_board* board = session.Board();
  int32_t value = 0;
  if (name == "send") {
    for (const std::string& command : o.commands) {
      if ((status = SendOne(session, command)) != 0) break;
    }
  } else if (name == "read") {
    const int32_t code = tarvelin_port_read(board, letter, &value);
    status = Returned(session, fmt::format("read {:c}", letter), code, value);
  } else if (name == "write") {
    status = Returned(session, "write", tarvelin_port_write(board, letter, o.value), kNoValue);
  } else if (name == "config") {
    status = SendOne(session, fmt::format("PC{:c}{}", letter, o.value));
  } else if (name == "adc") {
    status = Adc(session, o);
  } else if (name == "sample") {
    status = RunSample(session, o.sample);
  } else if (name == "motor") {
    status = Motor(session, o);
  } else if (name == "pwm") {
    status = Pwm(session, o);
  } else if (name == "period") {
    const int32_t code = tarvelin_period(board, &value);
    status = Returned(session, "period", code, value);
  } else if (name == "io485") {
    status = Io485(session, o);
  } else if (name == "term") {
    status = Term(session);
  }
  session.Close();
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"The I/O controller board from the command line.", "tarvelin"};
  Options options;
  std::vector<CLI::App*> commands;
  Configure(app, options, commands);
  tarvelin::panel::PanelOptions panel;
  tarvelin::panel::AddPanelCommand(app, panel);
  // Its own footer replaces the tool's: the ways to name a port on this system follow it.
  panel.command->footer(panel.command->get_footer() + "\n\n" + HelpForThisSystem().examples);
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& error) {
    const int status = app.exit(error);
    return status == 0 ? 0 : kUsage;
  }
  WatchInterrupt();
  if (panel.command->parsed()) return tarvelin::panel::RunPanel(panel, options.port, options.baud);
  for (const CLI::App* command : commands) {
    if (command->parsed()) return Run(command->get_name(), options);
  }
  return kUsage;
}
