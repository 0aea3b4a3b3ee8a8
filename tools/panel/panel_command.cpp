#include "panel_command.h"

#include <fmt/format.h>

#include <chrono>
#include <cstdio>
#include <random>
#include <thread>

#include "board_link.h"
#include "browser.h"
#include "event_hub.h"
#include "panel_server.h"
#include "session.h"

namespace tarvelin::panel {

namespace {

// 128 random bits as hex: the secret every request must carry.
std::string MakeToken() {
  std::random_device random;
  std::string token;
  for (int i = 0; i < 4; ++i) token += fmt::format("{:08x}", random());
  return token;
}

}  // namespace

void AddPanelCommand(CLI::App& app, PanelOptions& options) {
  options.command = app.add_subcommand("panel", "serve a page that shows the board live and drives it");
  options.command->add_option("--listen", options.listen,
                              "HOST:PORT to serve on; port 0 picks a free one. Any address other than the "
                              "loopback is reachable from other machines (a warning says so)")
      ->type_name("HOST:PORT")
      ->capture_default_str();
  options.command->add_flag("--open", options.open, "open the page in the browser");
  options.command->footer(
      "Prints the page's address, token included (http://127.0.0.1:8750/?token=...), as the first\n"
      "line of standard output and serves until Ctrl-C. Every request must carry the token (in the\n"
      "address, then a cookie) and name the panel's address in its Host header; changes must come\n"
      "from the page itself (its Origin). One poller reads the board for every open tab.\n\n"
      "Example, against the virtual board:\n  tarvelin-board --com 3 -- tarvelin panel --open");
}

int RunPanel(const PanelOptions& options, const std::string& port, int baud) {
  Listen listen;
  std::string reason;
  if (!ParseListen(options.listen, listen, reason)) {
    fmt::print(stderr, "tarvelin panel: {}\n", reason);
    return cli::kUsage;
  }
  cli::Session session(false, port, baud);
  int status = 0;
  const bool opened = session.OpenBoard(status);
  if (!opened && status == cli::kUsage) return status;
  if (!opened) fmt::print(stderr, "tarvelin panel: serving anyway; the page can reopen the port\n");

  EventHub hub;
  BoardLink link(hub, session.PortName(), baud);
  link.Opened(session.Release(), session.OpenCode());
  const std::string token = MakeToken();
  PanelServer server(link, hub, token);
  const int bound = server.Bind(listen);
  if (bound <= 0) {
    fmt::print(stderr, "tarvelin panel: cannot listen on {} (in use, or not an address of this machine)\n",
               options.listen);
    return cli::kFailed;
  }
  if (!IsLoopback(listen.host)) {
    fmt::print(stderr,
               "tarvelin panel: warning: listening on {}, reachable from other machines; anyone who has the "
               "address with its token drives the board\n",
               listen.host);
  }
  const std::string url = PanelUrl(listen, bound, token);
  fmt::print("{}\n", url);
  std::fflush(stdout);
  if (options.open && !OpenBrowser(url)) fmt::print(stderr, "tarvelin panel: no browser could be started\n");

  link.Start();
  cli::WatchInterrupt();
  std::atomic<bool> served{false};
  std::thread watcher([&] {
    while (!cli::Interrupted && !served) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    if (!served) link.Cancel();  // a request in a long block sampling ends now, with error 38
    server.Stop();
  });
  server.Serve();
  served = true;
  watcher.join();
  link.Stop();
  return 0;
}

}  // namespace tarvelin::panel
