// What the board puts out: answers queued in order and written when due, the
// sampling block made and written as fast as its samples fall due and the host
// takes it, and unsolicited events, which go out between answers (between the
// records of a block), never inside one.
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>

#include "model.h"
#include "virtual_board.h"

namespace tarvelin::board {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr milliseconds kWriteStall{2000};  // output that finds no room this long is lost
constexpr size_t kStreamChunk = 64 * 1024;  // block text made ahead of the terminal, at most

}  // namespace

// Queues an answer behind everything already queued, then the events that fell due
// while it was made (the caller holds the lock).
void VirtualBoard::Answer(const std::string& text, unsigned baudAfter, const std::string& events) {
  if (text.empty() && baudAfter == 0) {
    events_ += events;
    return;
  }
  const auto due = Clock::now() + milliseconds(delay_ms_);
  const size_t piece = chunk_bytes_ == 0 ? std::max<size_t>(text.size(), 1) : chunk_bytes_;
  size_t at = 0;
  do {
    Outgoing out;
    out.bytes = text.substr(at, piece);
    out.due = due;
    out.gapMs = at == 0 ? 0 : chunk_gap_ms_;
    out.continues = at != 0;
    at += piece;
    if (at >= text.size()) out.baudAfter = baudAfter;
    outgoing_.push_back(std::move(out));
  } while (at < text.size());
  if (!events.empty()) {
    Outgoing out;
    out.bytes = events;
    out.due = due;
    outgoing_.push_back(std::move(out));
  }
}

void VirtualBoard::QueueBlock() {
  Outgoing out;
  out.stream = true;
  out.due = Clock::now() + milliseconds(delay_ms_);
  outgoing_.push_back(std::move(out));
}

void VirtualBoard::AdvanceModel(Clock::time_point now) {
  model::Advance(*model_, clock_.NowUs(now), events_);
}

// True where an event may go out: no answer is partly written.
bool VirtualBoard::AtBoundary() const {
  if (outgoing_.empty()) return true;
  const Outgoing& head = outgoing_.front();
  // The block's text is made in whole records, so once it is written a record has ended.
  if (head.stream) return head.written == head.bytes.size();
  return head.written == 0 && !head.continues;
}

// Writes `text` from `written` on as far as the terminal takes it. Output that finds
// no room for kWriteStall is lost, as a board's output is when nobody listens; any
// progress starts that wait again, so a host that keeps reading loses nothing.
VirtualBoard::Put VirtualBoard::PutOut(const std::string& text, size_t& written, Clock::time_point now) {
  while (written < text.size()) {
    if (master_fd_ < 0) return Put::kLost;
    const ssize_t put = write(master_fd_, text.data() + written, text.size() - written);
    if (put > 0) {
      if (observer_) observer_(false, text.data() + written, static_cast<size_t>(put));
      written += static_cast<size_t>(put);
      blocked_since_.reset();
      continue;
    }
    if (put < 0 && errno == EINTR) continue;
    if (put < 0 && errno == EAGAIN) {
      if (!blocked_since_) blocked_since_ = now;
      if (now - *blocked_since_ < kWriteStall) return Put::kBlocked;
    }
    blocked_since_.reset();
    return Put::kLost;
  }
  return Put::kDone;
}

void VirtualBoard::FinishHead() {
  // Under the same lock as the write: whoever has read the answer sees the new rate.
  if (outgoing_.front().baudAfter != 0) board_baud_ = outgoing_.front().baudAfter;
  outgoing_.pop_front();
  if (!outgoing_.empty() && outgoing_.front().gapMs > 0) {
    Outgoing& next = outgoing_.front();
    next.due = std::max(next.due, Clock::now() + milliseconds(next.gapMs));
  }
}

bool VirtualBoard::SendDue(Clock::time_point now) {
  const int64_t nowUs = clock_.NowUs(now);
  while (true) {
    if (!events_.empty() && AtBoundary()) {
      size_t written = 0;
      const Put put = PutOut(events_, written, now);
      events_.erase(0, written);
      if (put == Put::kBlocked) return true;
      if (put == Put::kLost) events_.clear();
      continue;
    }
    if (outgoing_.empty()) return false;
    Outgoing& head = outgoing_.front();
    if (head.due > now) return false;
    if (head.stream && head.written == head.bytes.size()) {
      head.bytes.clear();
      head.written = 0;
      if (model::GenerateBlock(*model_, nowUs, kStreamChunk, head.bytes)) {
        // The last of the block: an ordinary piece now, the rest of an answer under way.
        head.stream = false;
        head.continues = true;
      }
      if (head.bytes.empty()) {
        if (head.stream) return false;  // the next sample is not due yet
        FinishHead();
        continue;
      }
    }
    const Put put = PutOut(head.bytes, head.written, now);
    if (put == Put::kBlocked) return true;
    if (put == Put::kLost && head.stream) {
      model::EndBlock(*model_);
    } else if (head.stream) {
      continue;  // written out: the next records, with a chance for events before them
    }
    FinishHead();
  }
}

int VirtualBoard::PollTimeoutMs(Clock::time_point now, bool blocked) const {
  std::optional<Clock::time_point> until;
  auto consider = [&until](Clock::time_point when) {
    if (!until || when < *until) until = when;
  };
  if (blocked && blocked_since_) {
    consider(*blocked_since_ + kWriteStall);
  } else if (!outgoing_.empty()) {
    const Outgoing& head = outgoing_.front();
    if (head.due > now) {
      consider(head.due);
    } else if (head.stream && head.written == head.bytes.size()) {
      const int64_t records = model::NextBlockDueUs(*model_);
      if (records != model::kNever) consider(clock_.RealAt(records, now));
    } else {
      consider(now);
    }
  }
  // Events fall due whether or not anything else happens.
  const int64_t event = model::NextEventUs(*model_);
  if (event != model::kNever) consider(clock_.RealAt(event, now));
  if (!until) return -1;
  if (*until <= now) return 0;
  const auto wait = std::chrono::ceil<milliseconds>(*until - now).count();
  return static_cast<int>(std::min<long long>(wait, INT_MAX));
}

}  // namespace tarvelin::board
