// The board through the library's classic exports, shared by the poller and
// the tabs' requests. The classic exports keep one process-wide result (value,
// error code, error text), so a call and the reading of its result are one
// step under one lock, whoever makes it.
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
#include <vector>

#include "event_hub.h"

namespace tarvelin::panel {

// The result of one library call: its value, or the error the library recorded.
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
  BoardLink(EventHub& hub, int baud) : hub_(hub), baud_(baud) {}
  ~BoardLink() { Stop(); }
  BoardLink(const BoardLink&) = delete;
  BoardLink& operator=(const BoardLink&) = delete;

  // Notes the outcome of opening the port (the command-line session opened it).
  void Opened(bool ok);
  // Starts the poller; Stop ends it and closes the port.
  void Start();
  void Stop();
  // Closes the port from outside the turn of calls: the library then ends a
  // call that waits (a long block), so that the panel can stop at once.
  void Cancel();

  // One library call for the operation `what`: `call` returns the export's
  // result; a failure is one that returns -1 with an error recorded.
  Outcome Call(const std::string& what, const std::function<int32_t()>& call, bool logged = true);
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
  const int baud_;
  std::mutex library_;  // one library call and the reading of its result at a time

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
  int32_t port_number_ = 1, baud_rate_ = 9600;    // as the last open left them; guarded by state_mutex_
  std::string version_;                           // guarded by state_mutex_
  int32_t last_code_ = -1;                        // guarded by state_mutex_
  std::string last_message_, last_operation_;     // guarded by state_mutex_
  std::optional<Block> block_;                    // guarded by state_mutex_
  std::string published_;                         // the last state sent; guarded by state_mutex_
  std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
  std::thread poller_;
};

}  // namespace tarvelin::panel
