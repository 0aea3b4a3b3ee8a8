#include "board_link.h"

#include <fmt/chrono.h>

#include <ctime>

#include "session.h"

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

// The text of the failure `code` on `board`, or of this thread's failed open
// when `board` is null; the code's own text when the library keeps none.
std::string FailureText(tarvelin_board* board, int32_t code) {
  char text[512] = "";
  if (tarvelin_error_text(board, text, sizeof text) != TARVELIN_OK || text[0] == '\0') {
    return cli::Trim(tarvelin_code_text(code));
  }
  return cli::Trim(text);
}

// COM3 shows as the page has always shown it, the number; a device path as given.
Json PortJson(const std::string& port) {
  const bool com = port.size() > 3 && port.size() <= 6 && port.compare(0, 3, "COM") == 0 &&
                   port.find_first_not_of("0123456789", 3) == std::string::npos;
  return com ? Json(std::stoi(port.substr(3))) : Json(port);
}

// A call that reads one value: tarvelin_period, tarvelin_motor_counter, ...
BoardLink::BoardCall Reading(int32_t(TARVELIN_CALL* read)(tarvelin_board*, int32_t*)) {
  return [read](tarvelin_board* board, int32_t& value) { return read(board, &value); };
}

int LetterIndex(char letter) {
  for (int i = 0; i < 5; ++i) {
    if (kLetters[i] == letter) return i;
  }
  return -1;
}

}  // namespace

void BoardLink::Opened(tarvelin_board* board, int32_t code) {
  board_.store(board);
  std::lock_guard<std::mutex> lock(state_mutex_);
  line_ = board != nullptr ? Line::kOpen : Line::kClosed;
  version_ = cli::Trim(GetDLLVersion());
  if (board == nullptr) {
    last_code_ = code;
    last_message_ = FailureText(nullptr, code);
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
  if (tarvelin_board* board = board_.exchange(nullptr)) tarvelin_close(board);
}

void BoardLink::Cancel() {
  if (tarvelin_board* board = board_.exchange(nullptr)) tarvelin_close(board);
}

Outcome BoardLink::Call(const std::string& what, const BoardCall& call, bool logged) {
  Outcome outcome;
  outcome.value = 1;
  {
    std::lock_guard<std::mutex> lock(library_);
    tarvelin_board* const board = board_.load();
    if (board == nullptr) {
      // Without a board the call fails as the library fails one before any open.
      outcome.code = TARVELIN_E_NO_PORT_OPEN;
      outcome.message = cli::Trim(tarvelin_code_text(outcome.code));
    } else {
      outcome.code = call(board, outcome.value);
      outcome.ok = outcome.code == TARVELIN_OK;
      if (!outcome.ok) outcome.message = FailureText(board, outcome.code);
    }
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
  outcome.value = 1;
  {
    std::lock_guard<std::mutex> lock(library_);
    // What is left of a line that is gone goes first: the port is opened exclusively.
    if (tarvelin_board* old = board_.exchange(nullptr)) tarvelin_close(old);
    tarvelin_board* board = nullptr;
    outcome.code = tarvelin_open(port_.c_str(), baud_, &board);
    outcome.ok = outcome.code == TARVELIN_OK;
    if (!outcome.ok) outcome.message = FailureText(nullptr, outcome.code);
    board_.store(board);
  }
  if (outcome.ok) {
    std::lock_guard<std::mutex> lock(state_mutex_);
    line_ = Line::kReopened;
    // Another board may be behind the port now: nothing read before holds.
    for (int& direction : port_directions_) direction = -1;
    limit_ = pwm_finished_ = false;
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
      const Outcome outcome = Call(
          "analog " + std::to_string(channel),
          [&](tarvelin_board* board, int32_t& value) { return tarvelin_adc(board, bits, channel, &value); }, false);
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
    const Outcome outcome = Call(
        std::string("read ") + letter,
        [letter](tarvelin_board* board, int32_t& value) { return tarvelin_port_read(board, letter, &value); }, false);
    if (!outcome.ok) return false;
    ports[i] = outcome.value;
  }
  const Outcome counter = Call("motor counter", Reading(tarvelin_motor_counter), false);
  if (!counter.ok) return false;
  const Outcome running = Call("motor flag", Reading(tarvelin_motor_flag), false);
  if (!running.ok) return false;
  const Outcome pulses = Call("pwm counter", Reading(tarvelin_pwm_counter), false);
  if (!pulses.ok) return false;
  const Outcome period = Call("period", Reading(tarvelin_period), false);
  if (!period.ok) return false;
  // The events are latched by the board's reader and taken without a turn of
  // calls; a board closed meanwhile refuses the handle and leaves them 0.
  int32_t limit = 0, finished = 0;
  tarvelin_board* const board = board_.load();
  tarvelin_limit_event(board, &limit);
  tarvelin_pwm_finished(board, &finished);
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
      {"port", PortJson(port_)},
      {"baud", baud_},
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
