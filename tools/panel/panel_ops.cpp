#include "panel_ops.h"

#include <algorithm>
#include <functional>

#include "tarvelin.h"

namespace tarvelin::panel {

namespace {

// The longest command text taken from a tab: longer ones than the library's
// 62 characters still reach it, so that its own error is shown.
constexpr size_t kMaxCommandText = 256;
constexpr int kMaxSamples = 65536;
constexpr int kMaxChannel = 10;
// The library's allowance per sample for rate codes 0..7, in milliseconds. The
// library is busy for the whole block, so the panel takes blocks whose
// allowance is at most a minute: every other tab and the poller wait meanwhile.
constexpr double kAllowanceMs[] = {0.5, 0.75, 2.5, 3.75, 11.25, 25, 50, 125};
constexpr double kLongestBlockMs = 60000;

// A whole number within low..high; one beyond 64 bits does not wrap into range.
long long WholeNumber(const Json& item, const std::string& name, long long low, long long high) {
  if (!item.is_number_integer()) throw BadRequest("'" + name + "' must be a whole number");
  const bool huge = item.is_number_unsigned() && item.get<unsigned long long>() > static_cast<unsigned long long>(high);
  const long long value = huge ? high : item.get<long long>();
  if (huge || value < low || value > high) {
    throw BadRequest("'" + name + "' must lie within " + std::to_string(low) + ".." + std::to_string(high));
  }
  return value;
}

int IntArg(const Json& args, const char* name, long long low, long long high) {
  const auto found = args.find(name);
  if (found == args.end()) throw BadRequest(std::string("'") + name + "' is missing");
  return static_cast<int>(WholeNumber(*found, name, low, high));
}

std::string TextArg(const Json& args, const char* name, size_t longest) {
  const auto found = args.find(name);
  if (found == args.end() || !found->is_string()) throw BadRequest(std::string("'") + name + "' must be a text");
  const std::string text = found->get<std::string>();
  if (text.size() > longest) throw BadRequest(std::string("'") + name + "' is longer than " + std::to_string(longest));
  // A carriage return would end the command early and send the rest as another.
  if (std::any_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7f; })) {
    throw BadRequest(std::string("'") + name + "' holds a control character");
  }
  return text;
}

char PortArg(const Json& args) {
  const std::string text = TextArg(args, "port", 1);
  const char letter = text.empty() ? '\0' : static_cast<char>(std::toupper(static_cast<unsigned char>(text[0])));
  if (letter != 'A' && letter != 'B' && letter != 'C' && letter != 'D' && letter != 'S') {
    throw BadRequest("'port' must be A, B, C, D or S");
  }
  return letter;
}

int BitsArg(const Json& args) {
  const int bits = IntArg(args, "bits", 8, 12);
  if (bits != 8 && bits != 10 && bits != 12) throw BadRequest("'bits' must be 8, 10 or 12");
  return bits;
}

// Channels in increasing order without repeats, as the board sends them.
std::vector<int> ChannelsArg(const Json& args, int highest, bool allowEmpty) {
  const auto found = args.find("channels");
  if (found == args.end() || !found->is_array()) throw BadRequest("'channels' must be a list of channel numbers");
  std::vector<int> channels;
  if (found->size() > 15) throw BadRequest("'channels' names more channels than the board has");
  for (const Json& item : *found) channels.push_back(static_cast<int>(WholeNumber(item, "channels", 0, highest)));
  if (channels.empty() && !allowEmpty) throw BadRequest("'channels' names no channel");
  std::sort(channels.begin(), channels.end());
  if (std::adjacent_find(channels.begin(), channels.end()) != channels.end()) {
    throw BadRequest("'channels' names a channel twice");
  }
  return channels;
}

Json Answer(const Outcome& outcome) {
  if (outcome.ok) return Json{{"ok", true}, {"value", outcome.value}};
  return Json{{"ok", false}, {"error", outcome.code}, {"message", outcome.message}};
}

Json PortWrite(BoardLink& link, const Json& args) {
  const char port = PortArg(args);
  const int value = IntArg(args, "value", -1, 255);
  return Answer(link.Call("write " + std::string(1, port) + " " + std::to_string(value),
                          [=](tarvelin_board* board, int32_t&) { return tarvelin_port_write(board, port, value); }));
}

// There is no export for a port's direction: the board's own command does it.
Json PortDirection(BoardLink& link, const Json& args) {
  const char port = PortArg(args);
  const int mask = IntArg(args, "mask", 0, 255);
  const std::string command = "PC" + std::string(1, port) + std::to_string(mask);
  const Outcome outcome =
      link.Call("direction " + std::string(1, port) + " " + std::to_string(mask),
                [&](tarvelin_board* board, int32_t&) { return tarvelin_command(board, command.c_str(), nullptr); });
  if (outcome.ok) link.SetDirection(port, mask);
  return Answer(outcome);
}

Json Analog(BoardLink& link, const Json& args) {
  const int bits = BitsArg(args);
  // Channels 12..14 cannot be converted at 8 bits.
  link.SetAnalog(bits, ChannelsArg(args, bits == 8 ? 11 : 14, true));
  return Json{{"ok", true}};
}

Json Sample(BoardLink& link, const Json& args) {
  Block block;
  block.bits = BitsArg(args);
  block.channels = ChannelsArg(args, kMaxChannel, false);
  const int rate = IntArg(args, "rate", 0, 7);
  const int samples = IntArg(args, "samples", 1, kMaxSamples);
  const double allowance = kAllowanceMs[rate] * samples;
  if (allowance > kLongestBlockMs) {
    throw BadRequest("a block of " + std::to_string(samples) + " samples at rate code " + std::to_string(rate) +
                     " may take " + std::to_string(static_cast<int>(allowance / 1000)) +
                     " s; the panel takes blocks of up to 60 s (fewer samples or a faster rate)");
  }
  int32_t mask = 0;
  for (const int channel : block.channels) mask |= 1 << channel;
  block.values.assign(block.channels.size() * static_cast<size_t>(samples), 0);
  const std::string what = "sample " + std::to_string(block.bits) + " bits, mask " + std::to_string(mask) +
                           ", rate " + std::to_string(rate) + ", " + std::to_string(samples) + " samples";
  const Outcome outcome = link.Call(what, [&](tarvelin_board* board, int32_t&) {
    return tarvelin_sample(board, block.bits, mask, rate, samples, block.values.data(),
                           static_cast<int32_t>(block.values.size()), nullptr, nullptr, nullptr);
  });
  Json answer = Answer(outcome);
  if (outcome.ok) {
    Json series = Json::array();
    const size_t width = block.channels.size();
    for (size_t c = 0; c < width; ++c) {
      Json values = Json::array();
      for (size_t k = c; k < block.values.size(); k += width) values.push_back(block.values[k]);
      series.push_back(Json{{"channel", block.channels[c]}, {"values", std::move(values)}});
    }
    answer["bits"] = block.bits;
    answer["series"] = std::move(series);
    link.KeepBlock(std::move(block));
  }
  return answer;
}

Json MotorGoOp(BoardLink& link, const Json& args) {
  const std::string pair = TextArg(args, "characters", 2);
  if (pair.size() != 2) throw BadRequest("'characters' must be two characters (F or R, then one more)");
  const int steps = IntArg(args, "steps", INT32_MIN, INT32_MAX);
  const int speed = IntArg(args, "speed", INT32_MIN, INT32_MAX);
  const int n3 = args.contains("n3") ? IntArg(args, "n3", INT32_MIN, INT32_MAX) : 0;
  const int n4 = args.contains("n4") ? IntArg(args, "n4", INT32_MIN, INT32_MAX) : 0;
  link.RunStarted(false);
  return Answer(link.Call("motor go " + pair + " " + std::to_string(steps) + " " + std::to_string(speed),
                          [&](tarvelin_board* board, int32_t&) {
                            return tarvelin_motor_go(board, pair[0], pair[1], steps, speed, n3, n4);
                          }));
}

Json Pwm(BoardLink& link, const Json& args) {
  const int frequency = IntArg(args, "frequency", INT32_MIN, INT32_MAX);
  const int duty = IntArg(args, "duty", INT32_MIN, INT32_MAX);
  const int pulses = IntArg(args, "pulses", INT32_MIN, INT32_MAX);
  // An end of run from before belongs to another run.
  link.Call(
      "pwm finish flag", [](tarvelin_board* board, int32_t& flag) { return tarvelin_pwm_finished(board, &flag); },
      false);
  link.RunStarted(true);
  return Answer(link.Call(
      "pwm " + std::to_string(frequency) + " Hz, " + std::to_string(duty) + " %, " + std::to_string(pulses) + " pulses",
      [=](tarvelin_board* board, int32_t&) { return tarvelin_pwm_set(board, frequency, duty, pulses); }));
}

Json Io485AddressOp(BoardLink& link, const Json& args) {
  // The library checks the ranges itself and reports its own errors (30, 31, 32).
  const int address = IntArg(args, "address", INT32_MIN, INT32_MAX);
  const int ic = IntArg(args, "ic", INT32_MIN, INT32_MAX);
  const int broadcast = IntArg(args, "broadcast", INT32_MIN, INT32_MAX);
  return Answer(link.Call("io485 address " + std::to_string(address), [=](tarvelin_board* board, int32_t&) {
    return tarvelin_io485_address(board, address, ic, broadcast);
  }));
}

Json Command(BoardLink& link, const Json& args) {
  const std::string text = TextArg(args, "text", kMaxCommandText);
  return Answer(link.Call("command " + text, [&](tarvelin_board* board, int32_t& value) {
    return tarvelin_command(board, text.c_str(), &value);
  }));
}

// An operation of one library call without arguments, giving no value or one.
std::function<Json(BoardLink&, const Json&)> Plain(const char* what, int32_t(TARVELIN_CALL* call)(tarvelin_board*)) {
  return [what, call](BoardLink& link, const Json&) {
    return Answer(link.Call(what, [call](tarvelin_board* board, int32_t&) { return call(board); }));
  };
}
std::function<Json(BoardLink&, const Json&)> Plain(const char* what,
                                                   int32_t(TARVELIN_CALL* call)(tarvelin_board*, int32_t*)) {
  return [what, call](BoardLink& link, const Json&) {
    return Answer(link.Call(what, [call](tarvelin_board* board, int32_t& value) { return call(board, &value); }));
  };
}

struct Operation {
  const char* name;
  std::function<Json(BoardLink&, const Json&)> run;
};

const std::vector<Operation>& Operations() {
  static const std::vector<Operation> operations{
      {"portWrite", PortWrite},
      {"portDirection", PortDirection},
      {"analog", Analog},
      {"sample", Sample},
      {"motorGo", MotorGoOp},
      {"motorStop", Plain("motor stop", tarvelin_motor_stop)},
      {"motorDisable", Plain("motor disable", tarvelin_motor_disable)},
      {"motorReset", Plain("motor reset", tarvelin_motor_counter_reset)},
      {"pwm", Pwm},
      {"period", Plain("period", tarvelin_period)},
      {"io485Init", Plain("io485 init", tarvelin_io485_initialize)},
      {"io485Reset", Plain("io485 reset", tarvelin_io485_reset)},
      {"io485Address", Io485AddressOp},
      {"command", Command},
      {"reopen", [](BoardLink& link, const Json&) { return Answer(link.Reopen()); }},
  };
  return operations;
}

}  // namespace

Json RunOperation(BoardLink& link, const Json& body) {
  if (!body.is_object()) throw BadRequest("the body must be a JSON object");
  const auto op = body.find("op");
  if (op == body.end() || !op->is_string()) throw BadRequest("'op' names no operation");
  for (const Operation& operation : Operations()) {
    if (op->get<std::string>() == operation.name) return operation.run(link, body);
  }
  throw BadRequest("no operation '" + op->get<std::string>().substr(0, 40) + "'");
}

std::string BlockCsv(const Block& block) {
  std::string text;
  for (size_t c = 0; c < block.channels.size(); ++c) {
    text += (c == 0 ? "ch" : ",ch") + std::to_string(block.channels[c]);
  }
  text += '\n';
  const size_t width = block.channels.size();
  for (size_t k = 0; k < block.values.size(); ++k) {
    text += std::to_string(block.values[k]);
    text += (k % width == width - 1) ? '\n' : ',';
  }
  return text;
}

}  // namespace tarvelin::panel
