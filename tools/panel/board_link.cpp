#include "board_link.h"

#include <fmt/chrono.h>

#include <ctime>

#include "session.h"
#include "tarvelin.h"

namespace tarvelin::panel {

namespace {

constexpr char kLetters[] = {'A', 'B', 'C', 'D', 'S'};
// Ports and counters are read four times a second; analog channels at most 20
// times a second, as fast as the board answers below that.
constexpr auto kSlowRound = std::chrono::milliseconds(250);
constexpr auto kAnalogRound = std::chrono::milliseconds(50);
// A round that failed is not tried again at once: an error that cannot clear
// (a silent board) would otherwise keep the line busy.
constexpr auto kAfterFailure = std::chrono::seconds(1);

std::string UtcNow() { return fmt::format("{:%H:%M:%S}", fmt::gmtime(std::time(nullptr))); }

int LetterIndex(char letter) {
  for (int i = 0; i < 5; ++i) {
    if (kLetters[i] == letter) return i;
  }
  return -1;
}

}  // namespace

void BoardLink::Opened(bool ok) {
  std::lock_guard<std::mutex> lock(state_mutex_);
  line_ = ok ? Line::kOpen : Line::kClosed;
  port_number_ = GetPort();
  baud_rate_ = GetBaudRate();
  version_ = cli::Trim(GetDLLVersion());
  if (!ok) {
    last_code_ = GetError();
    last_message_ = cli::Trim(GetErrorMessage());
    last_operation_ = "open";
  }
}

void BoardLink::Start() { poller_ = std::thread(&BoardLink::Poll, this); }

void BoardLink::Stop() {
  {
    std::lock_guard<std::mutex> lock(state_mutex_);
    if (stopping_) return;
    stopping_ = true;
  }
  wake_.notify_all();
  if (poller_.joinable()) poller_.join();
  std::lock_guard<std::mutex> library(library_);
  PortClose();
}

void BoardLink::Cancel() { PortClose(); }

Outcome BoardLink::Call(const std::string& what, const std::function<int32_t()>& call, bool logged) {
  Outcome outcome;
  {
    std::lock_guard<std::mutex> lock(library_);
    outcome.value = call();
    outcome.code = GetError();
    outcome.ok = !(outcome.value == -1 && outcome.code != TARVELIN_E_NONE);
    if (!outcome.ok) outcome.message = cli::Trim(GetErrorMessage());
  }
  Record(what, outcome, logged);
  return outcome;
}

void BoardLink::Record(const std::string& what, const Outcome& outcome, bool logged) {
  bool changed = false;
  {
    std::lock_guard<std::mutex> lock(state_mutex_);
    if (!outcome.ok) {
      // A poll that keeps failing the same way is logged once.
      changed = logged || outcome.code != last_code_ || outcome.message != last_message_;
      last_code_ = outcome.code;
      last_message_ = outcome.message;
      last_operation_ = what;
      if (outcome.code == TARVELIN_E_LINE_GONE) line_ = Line::kGone;
      if (outcome.code == TARVELIN_E_NO_PORT_OPEN) line_ = Line::kClosed;
    }
  }
  if (logged || changed) {
    Json entry{{"time", UtcNow()}, {"operation", what}, {"ok", outcome.ok}};
    if (outcome.ok) {
      entry["value"] = outcome.value;
    } else {
      entry["error"] = outcome.code;
      entry["message"] = outcome.message;
    }
    hub_.PublishLog(entry);
  }
  if (!outcome.ok) PublishState();
}

Outcome BoardLink::Reopen() {
  Outcome outcome;
  int32_t port = 0, baud = 0;
  {
    std::lock_guard<std::mutex> lock(library_);
    PortClose();  // what is left of a line that is gone; fails harmlessly when none is open
    port = GetPort();
    outcome.value = baud_ == 9600 ? PortOpen(port) : PortConfigure(port, baud_);
    outcome.code = GetError();
    outcome.ok = outcome.value == 1;
    if (!outcome.ok) outcome.message = cli::Trim(GetErrorMessage());
    baud = GetBaudRate();
  }
  {
    std::lock_guard<std::mutex> lock(state_mutex_);
    port_number_ = port;
    baud_rate_ = baud;
    if (outcome.ok) {
      line_ = Line::kReopened;
      // Another board may be behind the port now: nothing read before holds.
      for (int& direction : port_directions_) direction = -1;
      limit_ = pwm_finished_ = false;
    }
  }
  Record("reopen", outcome, true);
  PublishState();
  wake_.notify_all();
  return outcome;
}

void BoardLink::SetAnalog(int bits, const std::vector<int>& channels) {
  {
    std::lock_guard<std::mutex> lock(state_mutex_);
    analog_bits_ = bits;
    analog_channels_ = channels;
  }
  wake_.notify_all();
  PublishState();
}

void BoardLink::SetDirection(char port, int mask) {
  {
    std::lock_guard<std::mutex> lock(state_mutex_);
    const int index = LetterIndex(port);
    if (index >= 0) port_directions_[index] = mask;
  }
  PublishState();
}

void BoardLink::RunStarted(bool pwm) {
  std::lock_guard<std::mutex> lock(state_mutex_);
  (pwm ? pwm_finished_ : limit_) = false;
}

void BoardLink::KeepBlock(Block block) {
  std::lock_guard<std::mutex> lock(state_mutex_);
  block_ = std::move(block);
}

std::optional<Block> BoardLink::LastBlock() {
  std::lock_guard<std::mutex> lock(state_mutex_);
  return block_;
}

bool BoardLink::LineUsable() {
  std::lock_guard<std::mutex> lock(state_mutex_);
  return line_ == Line::kOpen || line_ == Line::kReopened;
}

void BoardLink::Poll() {
  using Clock = std::chrono::steady_clock;
  Clock::time_point next_slow = Clock::now();
  Clock::time_point next_analog = next_slow;
  PublishState();
  while (true) {
    {
      std::unique_lock<std::mutex> lock(state_mutex_);
      const bool analog = !analog_channels_.empty();
      const Clock::time_point due = analog ? std::min(next_slow, next_analog) : next_slow;
      wake_.wait_until(lock, due, [&] { return stopping_; });
      if (stopping_) return;
    }
    const Clock::time_point now = Clock::now();
    if (!LineUsable()) {
      // Nothing is sent on a line that is gone or closed until it is reopened.
      next_slow = next_analog = now + kSlowRound;
      continue;
    }
    // The two kinds of round fail apart: a channel that cannot be converted
    // leaves the ports read.
    if (now >= next_analog) next_analog = Clock::now() + (PollRound(false) ? kAnalogRound : kAfterFailure);
    if (now >= next_slow) next_slow = Clock::now() + (PollRound(true) ? kSlowRound : kAfterFailure);
  }
}

bool BoardLink::PollRound(bool slow) {
  if (!slow) {
    int bits = 10;
    std::vector<int> channels;
    {
      std::lock_guard<std::mutex> lock(state_mutex_);
      bits = analog_bits_;
      channels = analog_channels_;
    }
    if (channels.empty()) return true;
    Json values = Json::object();
    for (const int channel : channels) {
      const Outcome outcome = Call("analog " + std::to_string(channel), [&] { return ADCAnalog(bits, channel); }, false);
      if (!outcome.ok) return false;
      values[std::to_string(channel)] = outcome.value;
    }
    const double t = std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
    hub_.PublishAnalog(Json{{"t", t}, {"bits", bits}, {"values", values}});
    return true;
  }

  int32_t ports[5];
  for (int i = 0; i < 5; ++i) {
    const char letter = kLetters[i];
    const Outcome outcome =
        Call(std::string("read ") + letter, [letter] { return IOPortRead(letter); }, false);
    if (!outcome.ok) return false;
    ports[i] = outcome.value;
  }
  const Outcome counter = Call("motor counter", [] { return GetMotorCounter(); }, false);
  if (!counter.ok) return false;
  const Outcome running = Call("motor flag", [] { return GetMotorFlag(); }, false);
  if (!running.ok) return false;
  const Outcome pulses = Call("pwm counter", [] { return GetPWMOutputCounter(); }, false);
  if (!pulses.ok) return false;
  const Outcome period = Call("period", [] { return GetPeriod(); }, false);
  if (!period.ok) return false;
  int32_t limit = 0, finished = 0;
  {
    std::lock_guard<std::mutex> lock(library_);
    limit = IntStatusL();
    finished = GetPWMFinishFlag();
  }
  {
    std::lock_guard<std::mutex> lock(state_mutex_);
    for (int i = 0; i < 5; ++i) port_values_[i] = ports[i];
    motor_counter_ = counter.value;
    motor_running_ = running.value;
    pwm_counter_ = pulses.value;
    period_ = period.value;
    if (limit == 1) limit_ = true;
    if (finished == 1) pwm_finished_ = true;
  }
  PublishState();
  return true;
}

Json BoardLink::StateJson() {
  static const char* const kLineNames[] = {"closed", "open", "gone", "reopened"};
  Json ports = Json::object();
  for (int i = 0; i < 5; ++i) {
    Json port{{"value", port_values_[i] < 0 ? Json() : Json(port_values_[i])},
              {"direction", port_directions_[i] < 0 ? Json() : Json(port_directions_[i])}};
    ports[std::string(1, kLetters[i])] = port;
  }
  return Json{
      {"line", kLineNames[static_cast<int>(line_)]},
      {"port", port_number_},
      {"baud", baud_rate_},
      {"version", version_},
      {"tool", TARVELIN_VERSION},
      {"lastError", last_code_ == TARVELIN_E_NONE
                        ? Json()
                        : Json{{"code", last_code_}, {"message", last_message_}, {"operation", last_operation_}}},
      {"ports", ports},
      {"analog", {{"bits", analog_bits_}, {"channels", analog_channels_}}},
      {"stepper", {{"counter", motor_counter_}, {"running", motor_running_ != 0}, {"limit", limit_}}},
      {"pwm", {{"counter", pwm_counter_}, {"finished", pwm_finished_}}},
      {"period", period_},
  };
}

void BoardLink::PublishState() {
  Json state;
  {
    std::lock_guard<std::mutex> lock(state_mutex_);
    state = StateJson();
    std::string text = state.dump();
    if (text == published_) return;
    published_ = std::move(text);
  }
  hub_.PublishState(state);
}

}  // namespace tarvelin::panel
