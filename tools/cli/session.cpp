#include "session.h"

#include <fmt/format.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>

#include "system.h"
#include "tarvelin.h"

namespace tarvelin::cli {

std::atomic<bool> Interrupted{false};

namespace {

extern "C" void OnInterrupt(int) { Interrupted = true; }

// "COM3", "com3", "\\.\COM3" or "3": the number; 0 for anything else.
int ComNumber(const std::string& text) {
  std::string digits = text.compare(0, 4, "\\\\.\\") == 0 ? text.substr(4) : text;
  if (digits.size() > 3 && (digits[0] == 'C' || digits[0] == 'c') && (digits[1] == 'O' || digits[1] == 'o') &&
      (digits[2] == 'M' || digits[2] == 'm')) {
    digits = digits.substr(3);
  }
  if (digits.empty() || digits.size() > 3 || digits.find_first_not_of("0123456789") != std::string::npos) return 0;
  const int n = std::atoi(digits.c_str());
  return n >= 1 && n <= 255 ? n : 0;
}

}  // namespace

void WatchInterrupt() { CatchInterrupt(OnInterrupt); }

std::string Trim(const std::string& text) {
  const size_t first = text.find_first_not_of(' ');
  if (first == std::string::npos) return {};
  return text.substr(first, text.find_last_not_of(' ') - first + 1);
}

std::string JsonText(const JsonValue& value) {
  return value.dump(-1, ' ', false, JsonValue::error_handler_t::replace);
}

bool Session::Open(int& status) {
  int port = 0;
  if (port_text_.empty()) {
    port = DefaultPort();
  } else if ((port = ComNumber(port_text_)) == 0) {
    if (port_text_.find('/') == std::string::npos) {
      fmt::print(stderr, "tarvelin: --port takes COM3, 3 or a device path, not '{}'\n", port_text_);
      status = kUsage;
      return false;
    }
    port = MapDevicePath(port_text_);
    if (port == 0) {
      fmt::print(stderr, "tarvelin: cannot map {} to a COM port here\n", port_text_);
      status = kUsage;
      return false;
    }
  }
  port_name_ = port_text_.find('/') != std::string::npos ? port_text_ : fmt::format("COM{}", port);
  const int32_t opened = baud_ == 9600 ? PortOpen(port) : PortConfigure(port, baud_);
  if (opened != 1) {
    // The library records only "Unable to open COM port": the system says why.
    status = Failure(fmt::format("opening {}", port_name_), OpenFailureReason(port));
    return false;
  }
  open_ = true;
  return true;
}

void Session::Close() {
  if (open_) PortClose();
  open_ = false;
}

void Session::Result(const JsonValue& fields, const std::string& text) const {
  fmt::print("{}\n", json_ ? JsonText(fields) : text);
  std::fflush(stdout);
}

int Session::Failure(const std::string& what, const std::string& reason) const {
  const int code = GetError();
  const std::string message = Trim(GetErrorMessage());
  const std::string where = reason.empty() ? port_name_ : reason;
  fmt::print(stderr, "error {}: {}{}\n", code, message, where.empty() ? "" : " (" + where + ")");
  if (json_) {
    JsonValue fields{{"operation", what}, {"error", code}, {"message", message}};
    if (!port_name_.empty()) fields["port"] = port_name_;
    if (!reason.empty()) fields["reason"] = reason;
    Result(fields, "");
  }
  return kFailed;
}

}  // namespace tarvelin::cli
