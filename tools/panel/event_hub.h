// What every tab sees: the board's latest state, the operation log and the
// analog readings, handed to each open event stream (server-sent events).
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>

#include <nlohmann/json.hpp>

namespace tarvelin::panel {

using Json = nlohmann::ordered_json;

class EventHub {
 public:
  // The state replaces the previous one; a stream that falls behind skips to it.
  void PublishState(const Json& state);
  // Log entries and analog readings are kept in order, the latest of each
  // (kLogKept, kAnalogKept), for a tab opened later.
  void PublishLog(const Json& entry);
  void PublishAnalog(const Json& reading);
  // Ends every stream's wait for good.
  void Stop();

  // One stream's place: the messages it has not had yet.
  struct Cursor {
    uint64_t state = 0;
    uint64_t sequence = 0;
  };
  // Waits up to `timeout` for messages after `cursor`; appends them to `out` as
  // event-stream text. False once the hub is stopped.
  bool Next(Cursor& cursor, std::string& out, std::chrono::milliseconds timeout);

  // Event streams open now, bounded so that they cannot take every server thread.
  bool OpenStream();
  void CloseStream();

 private:
  static constexpr size_t kLogKept = 200;
  static constexpr size_t kAnalogKept = 40;
  struct Message {
    uint64_t sequence;
    std::string text;
  };
  void Append(std::deque<Message>& kept, size_t limit, const char* event, const Json& data);

  std::mutex mutex_;
  std::condition_variable changed_;  // guarded by mutex_
  bool stopped_ = false;             // guarded by mutex_
  uint64_t state_version_ = 0;       // guarded by mutex_
  std::string state_text_;           // guarded by mutex_
  uint64_t next_sequence_ = 1;       // guarded by mutex_
  std::deque<Message> log_;          // guarded by mutex_
  std::deque<Message> analog_;       // guarded by mutex_
  int streams_ = 0;                  // guarded by mutex_
};

// The event-stream form of one message.
std::string EventText(const char* event, const Json& data);

}  // namespace tarvelin::panel
