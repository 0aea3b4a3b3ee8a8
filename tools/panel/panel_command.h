// `tarvelin panel`: the board live in a browser. Its own options and its own
// run, beside the other subcommands of the tool.
#pragma once

#include <CLI/CLI.hpp>

#include <string>

namespace tarvelin::panel {

struct PanelOptions {
  std::string listen = "127.0.0.1:8750";
  bool open = false;
  CLI::App* command = nullptr;
};

void AddPanelCommand(CLI::App& app, PanelOptions& options);
// Serves until Ctrl-C; `port` and `baud` are the tool's --port and --baud.
int RunPanel(const PanelOptions& options, const std::string& port, int baud);

}  // namespace tarvelin::panel
