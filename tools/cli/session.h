// One run of the tool against the board: the port, the output form and the
// library's errors, and Ctrl-C.
#pragma once

#include <atomic>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>
#include <utility>

#include "tarvelin.h"

namespace tarvelin::cli {

// Exit statuses: the operation failed (the board or the library said so), bad usage.
constexpr int kFailed = 1;
constexpr int kUsage = 2;
constexpr int kInterrupted = 130;

// A JSON result line; its fields keep the order they are given in.
using JsonValue = nlohmann::ordered_json;
// One line of JSON text; bytes that are not UTF-8 (a garbled answer quoted in
// an error text) become U+FFFD instead of failing.
std::string JsonText(const JsonValue& value);

class Session {
 public:
  Session(bool json, std::string portText, int baud) : json_(json), port_text_(std::move(portText)), baud_(baud) {}
  ~Session() { Close(); }
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  // Opens the board named by --port (COM3, 3 or a device path) by handle; false
  // with the error reported. Usage errors in the port text leave `status` at kUsage.
  bool OpenBoard(int& status);
  void Close();
  bool IsOpen() const { return board_ != nullptr; }
  tarvelin_board* Board() const { return board_; }
  // Hands the open board to the caller, who closes it (the panel, which reopens it).
  tarvelin_board* Release() { return std::exchange(board_, nullptr); }
  // The port as opened: "COM3" or the device path given to --port.
  const std::string& PortName() const { return port_name_; }
  // The library's code for the last failed OpenBoard; TARVELIN_OK otherwise.
  int32_t OpenCode() const { return open_code_; }
  bool Json() const { return json_; }

  // Prints a result: in text the value alone, in JSON one object a line.
  void Result(const JsonValue& fields, const std::string& text) const;
  // Reports a failed call on the board as "error N: text (PORT)" on standard
  // error, PORT being the port as the user named it (and as a JSON line with
  // --json); returns kFailed.
  int Failure(const std::string& what, int32_t code) const;

 private:
  // Checks the port text: "COM<n>" for a COM name or number, the path as given
  // for a device path, empty (with a message) for anything else.
  std::string PortToOpen();
  int Report(const std::string& what, int32_t code, const std::string& message, const std::string& reason) const;

  bool json_;
  std::string port_text_;
  int baud_;
  tarvelin_board* board_ = nullptr;
  int32_t open_code_ = TARVELIN_OK;
  std::string port_name_;            // "COM3", or the device path given to --port
};

// Trims the blanks the library's texts carry at either end.
std::string Trim(const std::string& text);

// Set by Ctrl-C (SIGINT); long operations look at it between steps.
extern std::atomic<bool> Interrupted;
void WatchInterrupt();

}  // namespace tarvelin::cli
