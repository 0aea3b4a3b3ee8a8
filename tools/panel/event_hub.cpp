#include "event_hub.h"

namespace tarvelin::panel {

namespace {
// Each stream holds one server thread; the rest stay for requests.
constexpr int kMaxStreams = 12;
}  // namespace

std::string EventText(const char* event, const Json& data) {
  // dump() escapes line breaks inside strings, so the data is one line.
  return std::string("event: ") + event + "\ndata: " + data.dump(-1, ' ', false, Json::error_handler_t::replace) +
         "\n\n";
}

void EventHub::PublishState(const Json& state) {
  std::string text = EventText("state", state);
  std::lock_guard<std::mutex> lock(mutex_);
  state_text_ = std::move(text);
  ++state_version_;
  changed_.notify_all();
}

void EventHub::PublishLog(const Json& entry) { Append(log_, kLogKept, "log", entry); }
void EventHub::PublishAnalog(const Json& reading) { Append(analog_, kAnalogKept, "analog", reading); }

void EventHub::Append(std::deque<Message>& kept, size_t limit, const char* event, const Json& data) {
  std::string text = EventText(event, data);
  std::lock_guard<std::mutex> lock(mutex_);
  kept.push_back({next_sequence_++, std::move(text)});
  if (kept.size() > limit) kept.pop_front();
  changed_.notify_all();
}

void EventHub::Stop() {
  std::lock_guard<std::mutex> lock(mutex_);
  stopped_ = true;
  changed_.notify_all();
}

bool EventHub::Next(Cursor& cursor, std::string& out, std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait_for(lock, timeout,
                    [&] { return stopped_ || cursor.state != state_version_ || next_sequence_ > cursor.sequence; });
  if (stopped_) return false;
  if (cursor.state != state_version_) {
    out += state_text_;
    cursor.state = state_version_;
  }
  for (const std::deque<Message>* kept : {&log_, &analog_}) {
    for (const Message& message : *kept) {
      if (message.sequence >= cursor.sequence) out += message.text;
    }
  }
  cursor.sequence = next_sequence_;
  return true;
}

bool EventHub::OpenStream() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (stopped_ || streams_ >= kMaxStreams) return false;
  ++streams_;
  return true;
}

void EventHub::CloseStream() {
  std::lock_guard<std::mutex> lock(mutex_);
  --streams_;
}

}  // namespace tarvelin::panel
