#include "board_control.h"

#include "model.h"

#include <cctype>
#include <chrono>
#include <sstream>

namespace tarvelin::board {

namespace {

// A number (decimal or $hex, as the board reads them) within [low, high], or false.
bool ParseInt(const std::string& text, long low, long high, long& value) {
  long long parsed = 0;
  if (!model::ParseNumber(text, parsed) || parsed < low || parsed > high) return false;
  value = static_cast<long>(parsed);
  return true;
}

int HexDigit(char c) { return model::DigitValue(c); }

}  // namespace

bool Unescape(const std::string& text, std::string& bytes) {
  bytes.clear();
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\') {
      bytes.push_back(text[i]);
      continue;
    }
    if (++i >= text.size()) return false;
    switch (text[i]) {
      case 'r': bytes.push_back('\r'); break;
      case 'n': bytes.push_back('\n'); break;
      case 't': bytes.push_back('\t'); break;
      case '\\': bytes.push_back('\\'); break;
      case 'x': {
        if (i + 2 >= text.size()) return false;
        const int high = HexDigit(text[i + 1]);
        const int low = HexDigit(text[i + 2]);
        if (high < 0 || low < 0) return false;
        bytes.push_back(static_cast<char>(high * 16 + low));
        i += 2;
        break;
      }
      default: return false;
    }
  }
  return true;
}

bool RunControlLine(VirtualBoard& board, const std::string& line, bool& hangUp, std::string& error) {
  std::istringstream words(line);
  std::string verb;
  words >> verb;
  if (verb.empty() || verb[0] == '#') return true;
  std::string first;
  std::string second;
  std::string extra;
  words >> first >> second >> extra;
  const auto needs = [&](int count, const char* form) {
    const int given = first.empty() ? 0 : second.empty() ? 1 : extra.empty() ? 2 : 3;
    if (given != count) error = std::string("usage: ") + form;
    return given == count;
  };
  long value = 0;
  if (verb == "port") {
    if (!needs(2, "port <A|B|C|D|S> <0..255>")) return false;
    const char letter = first.size() == 1 ? static_cast<char>(std::toupper(static_cast<unsigned char>(first[0]))) : 0;
    if (board.PortRegister(letter) < 0) return error = "no such port: " + first, false;
    if (!ParseInt(second, 0, 255, value)) return error = "port value must be 0..255", false;
    board.SetPortRegister(letter, static_cast<int>(value));
    return true;
  }
  if (verb == "analog") {
    long channel = 0;
    if (!needs(2, "analog <channel 0..14> <0..4095, -1 releases>")) return false;
    if (!ParseInt(first, 0, 14, channel)) return error = "analog channel must be 0..14", false;
    if (!ParseInt(second, -1, 4095, value)) return error = "analog value must be 0..4095 or -1", false;
    board.SetAnalogOverride(static_cast<int>(channel), static_cast<int>(value));
    return true;
  }
  if (verb == "event") {
    if (!needs(1, "event <L|P>")) return false;
    if (first != "L" && first != "P") return error = "event must be L or P", false;
    board.SendRaw(first);
    return true;
  }
  if (verb == "raw") {
    // The rest of the line after "raw ", blanks included.
    const size_t start = line.find("raw") + 3;
    const std::string text = start < line.size() ? line.substr(start + 1) : std::string();
    std::string bytes;
    if (text.empty() || !Unescape(text, bytes)) return error = "usage: raw <text with \\r \\n \\xNN escapes>", false;
    board.SendRaw(bytes);
    return true;
  }
  if (verb == "silent") {
    if (!needs(1, "silent <on|off>")) return false;
    if (first != "on" && first != "off") return error = "silent takes on or off", false;
    board.SetSilent(first == "on");
    return true;
  }
  if (verb == "delay") {
    if (!needs(1, "delay <milliseconds>")) return false;
    if (!ParseInt(first, 0, 600000, value)) return error = "delay must be 0..600000 ms", false;
    board.SetAnswerDelayMs(static_cast<int>(value));
    return true;
  }
  if (verb == "error") {
    if (!needs(1, "error <hexadecimal digit 1..F>")) return false;
    if (first.size() != 1 || HexDigit(first[0]) <= 0) return error = "error takes one hexadecimal digit 1..F", false;
    board.SetDeviceErrorOnce(static_cast<char>(std::toupper(static_cast<unsigned char>(first[0]))));
    return true;
  }
  if (verb == "hangup") {
    if (!needs(0, "hangup")) return false;
    hangUp = true;
    return true;
  }
  error = "unknown control line: " + verb;
  return false;
}

void LogWire(std::FILE* log, bool fromHost, const char* data, size_t size) {
  using namespace std::chrono;
  const auto now = floor<milliseconds>(system_clock::now());
  const auto day = floor<days>(now);
  const year_month_day date{day};
  const hh_mm_ss<milliseconds> time{now - day};
  std::string text;
  for (size_t i = 0; i < size; ++i) {
    const auto byte = static_cast<unsigned char>(data[i]);
    static const char kHex[] = "0123456789abcdef";
    if (byte == '\r') text += "\\r";
    else if (byte == '\n') text += "\\n";
    else if (byte == '\t') text += "\\t";
    else if (byte == '\\') text += "\\\\";
    else if (byte < 0x20 || byte >= 0x7f) text += {'\\', 'x', kHex[byte >> 4], kHex[byte & 0xf]};
    else text += static_cast<char>(byte);
  }
  std::fprintf(log, "%04d-%02u-%02uT%02d:%02d:%02d.%03dZ %-5s %s\n", static_cast<int>(date.year()),
               static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
               static_cast<int>(time.hours().count()), static_cast<int>(time.minutes().count()),
               static_cast<int>(time.seconds().count()), static_cast<int>(time.subseconds().count()),
               fromHost ? "host" : "board", text.c_str());
  std::fflush(log);
}

}  // namespace tarvelin::board
