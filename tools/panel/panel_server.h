// The panel's HTTP server: the page, the operations and the event stream,
// behind the token, Host and Origin checks.
#pragma once

#include <memory>
#include <string>

#include "board_link.h"
#include "event_hub.h"

namespace tarvelin::panel {

struct Listen {
  std::string host = "127.0.0.1";
  int port = 8750;  // 0: a free port the system picks
};

// "127.0.0.1:8750", "[::1]:0", "0.0.0.0:8750"; false with a reason.
bool ParseListen(const std::string& text, Listen& listen, std::string& reason);
bool IsLoopback(const std::string& host);

class PanelServer {
 public:
  PanelServer(BoardLink& link, EventHub& hub, std::string token);
  ~PanelServer();
  PanelServer(const PanelServer&) = delete;
  PanelServer& operator=(const PanelServer&) = delete;

  // Binds the address; the port bound (the system's pick for port 0), or -1.
  int Bind(const Listen& listen);
  // Serves on this thread until Stop (from another thread or a signal watcher).
  void Serve();
  void Stop();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// The address to print: http://HOST:PORT/?token=...
std::string PanelUrl(const Listen& listen, int port, const std::string& token);

}  // namespace tarvelin::panel
