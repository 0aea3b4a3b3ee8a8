// The board by handle, shared by the poller and the tabs' requests. A call and
// the reading of its error text are one step under one lock, so that a text
// is never that of another tab's call.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "event_hub.h"
#include "tarvelin.h"

namespace tarvelin::panel {

// The result of one library call: its value, or the error the library returned.
struct Outcome {
  bool ok = false;
  int32_t value = 0;
  int32_t code = -1;
  std::string message;
};

// One finished block sampling, kept for its CSV.
struct Block {
  int bits = 10;
  std::vector<int> channels;
  std::vector<int32_t> values;  // sample after sample, channel order within each
};

class BoardLink {
 public:
  // `port` as the board was opened: "COM3" or a device path.
  BoardLink(EventHub& hub, std::string port, int baud) : hub_(hub), port_(std::move(port)), baud_(baud) {}
  ~BoardLink() { Stop(); }
  BoardLink(const BoardLink&) = delete;
  BoardLink& operator=(const BoardLink&) = delete;

  // Takes the board the command-line session opened, or notes why it could
  // not (`board` null; read on the thread that tried, with `code`).
  void Opened(tarvelin_board* board, int32_t code);
  // Starts the poller; Stop ends it and closes the board.
  void Start();
  void Stop();
  // Closes the board from outside the turn of calls: a call that waits (a
  // long block) ends at once, and so does every later one, so that the panel
  // can stop.
  void Cancel();

  // One call on the board for the operation `what`: `call` returns the
  // library's code and leaves its result in `value`, which starts at 1 (the
  // calls that give no value answer 1, as their classic exports return).
  using BoardCall = std::function<int32_t(tarvelin_board* board, int32_t& value)>;
  Outcome Call(const std::string& what, const BoardCall& call, bool logged = true);
  // Closes what is left of the line and opens the port again.
  Outcome Reopen();

  // What the poller reads besides the ports.
  void SetAnalog(int bits, const std::vector<int>& channels);
  void SetDirection(char port, int mask);
  void RunStarted(bool pwm);  // a new stepper motion or PWM run clears its latched end
  void KeepBlock(Block block);
  std::optional<Block> LastBlock();

  // Sends the state to the tabs when it changed.
  void PublishState();

 private:
  enum class Line { kClosed, kOpen, kGone, kReopened };
  void Poll();
  bool PollRound(bool slow);
  void Record(const std::string& what, const Outcome& outcome, bool logged);
  bool LineUsable();
  Json StateJson();

  EventHub& hub_;
  const std::string port_;
  const int baud_;
  std::mutex library_;  // one call and the reading of its error text at a time; guards opening and closing
  // Null while no board is open. Atomic so that Cancel can take it outside the
  // turn of calls; a handle closed under a call is refused by the library, never followed.
  std::atomic<tarvelin_board*> board_{nullptr};

  std::mutex state_mutex_;
  std::condition_variable wake_;                  // guarded by state_mutex_
  bool stopping_ = false;                         // guarded by state_mutex_
  Line line_ = Line::kClosed;                     // guarded by state_mutex_
  int32_t port_values_[5] = {-1, -1, -1, -1, -1};  // A, B, C, D, S; guarded by state_mutex_
  int port_directions_[5] = {-1, -1, -1, -1, -1};  // -1 unknown; guarded by state_mutex_
  int analog_bits_ = 10;                          // guarded by state_mutex_
  std::vector<int> analog_channels_;              // guarded by state_mutex_
  int32_t motor_counter_ = 0, motor_running_ = 0, pwm_counter_ = 0, period_ = 0;  // guarded by state_mutex_
  bool limit_ = false, pwm_finished_ = false;     // latched until the next run; guarded by state_mutex_
  std::string version_;                           // guarded by state_mutex_
  int32_t last_code_ = -1;                        // guarded by state_mutex_
  std::string last_message_, last_operation_;     // guarded by state_mutex_
  std::optional<Block> block_;                    // guarded by state_mutex_
  std::string published_;                         // the last state sent; guarded by state_mutex_
  std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
  std::thread poller_;
};

}  // namespace tarvelin::panel
