#include "session.h"

#include <fmt/format.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>

#include "system.h"

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

std::string Session::PortToOpen() {
  if (port_text_.empty()) return fmt::format("COM{}", DefaultPort());
  const int number = ComNumber(port_text_);
  if (number != 0) return fmt::format("COM{}", number);
  if (port_text_.find_first_of("/\\") != std::string::npos) return port_text_;
  fmt::print(stderr, "tarvelin: --port takes COM3, 3 or a device path, not '{}'\n", port_text_);
  return {};
}

bool Session::OpenBoard(int& status) {
  port_name_ = PortToOpen();
  if (port_name_.empty()) {
    status = kUsage;
    return false;
  }
  const int32_t code = tarvelin_open(port_name_.c_str(), baud_, &board_);
  open_code_ = code;
  if (code == TARVELIN_OK) return true;
  board_ = nullptr;
  // The library's text names the device and the system's reason after the
  // code's own text; they go in parentheses, as the tool reports every failed
  // open: "error 36: Unable to open COM port (/dev/ttyUSB0: Permission denied)".
  char text[512] = "";
  tarvelin_error_text(nullptr, text, sizeof text);
  const std::string message = Trim(tarvelin_code_text(code));
  std::string reason = Trim(text);
  if (reason.compare(0, message.size(), message) == 0) reason = Trim(reason.substr(message.size()));
  status = Report(fmt::format("opening {}", port_name_), code, message, reason);
  return false;
}

void Session::Close() {
  if (board_ != nullptr) tarvelin_close(board_);
  board_ = nullptr;
}

void Session::Result(const JsonValue& fields, const std::string& text) const {
  fmt::print("{}\n", json_ ? JsonText(fields) : text);
  std::fflush(stdout);
}

int Session::Failure(const std::string& what, int32_t code) const {
  char text[512] = "";
  if (tarvelin_error_text(board_, text, sizeof text) != TARVELIN_OK || text[0] == '\0') {
    std::snprintf(text, sizeof text, "%s", tarvelin_code_text(code));
  }
  return Report(what, code, Trim(text), "");
}

int Session::Report(const std::string& what, int32_t code, const std::string& message,
                    const std::string& reason) const {
  const bool hasReason = !reason.empty() && reason != message;
  const std::string& where = hasReason ? reason : port_name_;
  fmt::print(stderr, "error {}: {}{}\n", code, message, where.empty() ? "" : " (" + where + ")");
  if (json_) {
    JsonValue fields{{"operation", what}, {"error", code}, {"message", message}};
    if (!port_name_.empty()) fields["port"] = port_name_;
    if (hasReason) fields["reason"] = reason;
    Result(fields, "");
  }
  return kFailed;
}

}  // namespace tarvelin::cli
