#include "panel_server.h"

#include <httplib.h>

#include <algorithm>
#include <atomic>
#include <cctype>

#include "panel_assets.h"
#include "panel_ops.h"

namespace tarvelin::panel {

namespace {

constexpr size_t kMaxBody = 64 * 1024;
// Each event stream and each kept-alive connection holds a thread.
constexpr size_t kServerThreads = 32;
// A stream writes at least this often, which is how a closed tab is noticed.
constexpr auto kStreamBeat = std::chrono::seconds(5);

std::string Lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

bool IsIpLiteral(const std::string& host) {
  if (host.size() > 2 && host.front() == '[' && host.back() == ']') {
    return host.find_first_not_of("0123456789abcdefABCDEF:.", 1) == host.size() - 1;
  }
  return !host.empty() && host.find_first_not_of("0123456789.") == std::string::npos;
}

// Splits "host:port" or "[v6]:port"; a Host header without a port means 80.
bool SplitHostPort(const std::string& text, std::string& host, int& port) {
  const size_t colon = text.rfind(':');
  const bool bracketed = !text.empty() && text.front() == '[';
  const size_t close = text.find(']');
  if (colon == std::string::npos || (bracketed && colon < close)) {
    host = text;
    port = 80;
    return !text.empty();
  }
  host = text.substr(0, colon);
  const std::string digits = text.substr(colon + 1);
  if (digits.empty() || digits.size() > 5 || digits.find_first_not_of("0123456789") != std::string::npos) return false;
  port = std::stoi(digits);
  return !host.empty() && port <= 65535;
}

// Compares in a time that does not depend on where the texts first differ.
bool SameSecret(const std::string& given, const std::string& secret) {
  unsigned char difference = given.size() == secret.size() ? 0 : 1;
  for (size_t i = 0; i < secret.size(); ++i) {
    difference |= static_cast<unsigned char>(secret[i] ^ (i < given.size() ? given[i] : 0));
  }
  return difference == 0;
}

std::string CookieValue(const std::string& header, const std::string& name) {
  size_t at = 0;
  while (at < header.size()) {
    const size_t end = std::min(header.find(';', at), header.size());
    std::string pair = header.substr(at, end - at);
    pair.erase(0, pair.find_first_not_of(' '));
    if (pair.compare(0, name.size() + 1, name + "=") == 0) return pair.substr(name.size() + 1);
    at = end + 1;
  }
  return {};
}

void Refuse(httplib::Response& res, int status, const std::string& reason) {
  res.status = status;
  res.set_content(Json{{"error", reason}}.dump(), "application/json");
}

}  // namespace

bool IsLoopback(const std::string& host) {
  const std::string lower = Lower(host);
  return lower == "localhost" || lower == "::1" || lower == "[::1]" || lower.compare(0, 4, "127.") == 0;
}

bool ParseListen(const std::string& text, Listen& listen, std::string& reason) {
  std::string host;
  int port = 0;
  if (!SplitHostPort(text, host, port) || text.find(':') == std::string::npos) {
    reason = "--listen takes HOST:PORT (127.0.0.1:8750, [::1]:8750; port 0 picks a free one), not '" + text + "'";
    return false;
  }
  if (host.front() == '[') host = host.substr(1, host.size() - 2);
  listen.host = host;
  listen.port = port;
  return true;
}

std::string PanelUrl(const Listen& listen, int port, const std::string& token) {
  std::string host = listen.host;
  if (host == "0.0.0.0") host = "127.0.0.1";
  if (host == "::") host = "::1";
  if (host.find(':') != std::string::npos) host = "[" + host + "]";
  return "http://" + host + ":" + std::to_string(port) + "/?token=" + token;
}

struct PanelServer::Impl {
  Impl(BoardLink& l, EventHub& h, std::string t) : link(l), hub(h), token(std::move(t)) {}

  bool HostAllowed(const std::string& header) const {
    std::string host;
    int port = 0;
    if (!SplitHostPort(Lower(header), host, port) || port != bound_port) return false;
    const std::string bare = host.front() == '[' ? host.substr(1, host.size() - 2) : host;
    if (bare == Lower(listen.host)) return true;
    if (host == "localhost") return IsLoopback(listen.host) || wildcard;
    // Listening on every address: any address of this machine, but never a
    // name, which is what a rebinding site would send.
    return wildcard && IsIpLiteral(host);
  }

  bool TokenGiven(const httplib::Request& req) const {
    if (req.has_param("token")) return SameSecret(req.get_param_value("token"), token);
    return SameSecret(CookieValue(req.get_header_value("Cookie"), CookieName()), token);
  }

  // A state-changing request comes from the page itself: its Origin is this
  // server, as the Host header (checked already) names it.
  static bool OriginAllowed(const httplib::Request& req) {
    return req.has_header("Origin") && req.get_header_value("Origin") == "http://" + req.get_header_value("Host");
  }

  // Cookies are kept per host, not per port: each panel has its own.
  std::string CookieName() const { return "tarvelin_panel_" + std::to_string(bound_port); }

  void Routes();

  BoardLink& link;
  EventHub& hub;
  const std::string token;
  Listen listen;
  int bound_port = 0;
  bool wildcard = false;
  httplib::Server server;
};

void PanelServer::Impl::Routes() {
  server.new_task_queue = [] { return new httplib::ThreadPool(kServerThreads); };
  server.set_payload_max_length(kMaxBody);
  server.set_read_timeout(10, 0);
  server.set_write_timeout(10, 0);
  server.set_pre_routing_handler([this](const httplib::Request& req, httplib::Response& res) {
    if (!HostAllowed(req.get_header_value("Host"))) {
      Refuse(res, 403, "the Host header does not name this panel's address");
    } else if (!TokenGiven(req)) {
      Refuse(res, 403, "no valid token: open the address the panel printed, token included");
    } else if (req.method != "GET" && req.method != "HEAD" && !OriginAllowed(req)) {
      Refuse(res, 403, "a request that changes something must come from the panel's own page");
    } else {
      res.set_header("Cache-Control", "no-store");
      res.set_header("X-Content-Type-Options", "nosniff");
      res.set_header("X-Frame-Options", "DENY");
      res.set_header("Referrer-Policy", "no-referrer");
      return httplib::Server::HandlerResponse::Unhandled;
    }
    return httplib::Server::HandlerResponse::Handled;
  });
  server.set_exception_handler([](const httplib::Request&, httplib::Response& res, std::exception_ptr) {
    Refuse(res, 500, "the request could not be carried out");
  });

  for (const Asset& asset : Assets()) {
    server.Get(asset.path, [this, &asset](const httplib::Request& req, httplib::Response& res) {
      if (std::string(asset.path) == "/") {
        res.set_header("Content-Security-Policy",
                       "default-src 'self'; style-src 'self' 'unsafe-inline'; img-src 'self' data: blob:; "
                       "frame-ancestors 'none'");
        if (req.has_param("token")) {
          res.set_header("Set-Cookie", CookieName() + "=" + token + "; Path=/; HttpOnly; SameSite=Strict");
        }
      }
      res.set_content(asset.data, asset.size, asset.type);
    });
  }

  server.Post("/api/op", [this](const httplib::Request& req, httplib::Response& res) {
    const Json body = Json::parse(req.body, nullptr, false);
    if (body.is_discarded()) return Refuse(res, 400, "the body is not JSON");
    try {
      res.set_content(RunOperation(link, body).dump(-1, ' ', false, Json::error_handler_t::replace),
                      "application/json");
    } catch (const BadRequest& error) {
      Refuse(res, 400, error.what());
    }
  });

  server.Get("/api/sample.csv", [this](const httplib::Request&, httplib::Response& res) {
    const std::optional<Block> block = link.LastBlock();
    if (!block) return Refuse(res, 404, "no block has been sampled yet");
    res.set_header("Content-Disposition", "attachment; filename=\"sample.csv\"");
    res.set_content(BlockCsv(*block), "text/csv");
  });

  server.Get("/api/events", [this](const httplib::Request&, httplib::Response& res) {
    if (!hub.OpenStream()) return Refuse(res, 503, "too many tabs are open on this panel");
    auto cursor = std::make_shared<EventHub::Cursor>();
    res.set_chunked_content_provider(
        "text/event-stream",
        [this, cursor](size_t, httplib::DataSink& sink) {
          std::string text;
          if (!hub.Next(*cursor, text, std::chrono::duration_cast<std::chrono::milliseconds>(kStreamBeat))) {
            sink.done();  // the panel stops
            return true;
          }
          if (text.empty()) text = ": beat\n\n";
          return sink.write(text.data(), text.size());
        },
        [this](bool) { hub.CloseStream(); });
  });
}

PanelServer::PanelServer(BoardLink& link, EventHub& hub, std::string token)
    : impl_(std::make_unique<Impl>(link, hub, std::move(token))) {
  impl_->Routes();
}

PanelServer::~PanelServer() = default;

int PanelServer::Bind(const Listen& listen) {
  impl_->listen = listen;
  impl_->wildcard = listen.host == "0.0.0.0" || listen.host == "::";
  if (listen.port == 0) {
    impl_->bound_port = impl_->server.bind_to_any_port(listen.host);
  } else {
    impl_->bound_port = impl_->server.bind_to_port(listen.host, listen.port) ? listen.port : -1;
  }
  return impl_->bound_port;
}

void PanelServer::Serve() { impl_->server.listen_after_bind(); }

void PanelServer::Stop() {
  impl_->hub.Stop();
  impl_->server.stop();
}

}  // namespace tarvelin::panel
