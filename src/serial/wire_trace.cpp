// The wire trace file. The caller's thread writes and the reader thread reads,
// so lines are appended under a small lock of their own.
#include "serial/wire_trace.h"

#include <atomic>
#include <chrono>
#include <cstdio>

#include "platform/host.h"

namespace {

FILE* TraceFile = nullptr;
std::atomic<int32_t> Tracing{0};
// Held for one line's formatting and write. A lock that sleeps: a spinning
// waiter at the reader's time-critical priority could starve the holder.
tarvelin::Lock TraceLock;

struct TraceGuard {
  TraceGuard() { TraceLock.Acquire(); }
  ~TraceGuard() { TraceLock.Release(); }
  TraceGuard(const TraceGuard&) = delete;
  TraceGuard& operator=(const TraceGuard&) = delete;
};

// "2026-12-08T07:12:03.123Z": UTC, so that traces from several machines line up.
void Timestamp(char* text, size_t size) {
  using namespace std::chrono;
  const auto now = floor<milliseconds>(system_clock::now());
  const auto day = floor<days>(now);
  const year_month_day date{day};
  const hh_mm_ss<milliseconds> time{now - day};
  snprintf(text, size, "%04d-%02u-%02uT%02d:%02d:%02d.%03dZ", static_cast<int>(date.year()),
           static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
           static_cast<int>(time.hours().count()), static_cast<int>(time.minutes().count()),
           static_cast<int>(time.seconds().count()), static_cast<int>(time.subseconds().count()));
}

// Appends `data` to `out` with \r, \n, \t, \\ and \xNN for every other byte
// outside printable ASCII; returns the new length. `out` holds 4 bytes per input byte.
size_t Escape(const char* data, size_t length, char* out) {
  static const char kHex[] = "0123456789abcdef";
  size_t at = 0;
  for (size_t i = 0; i < length; ++i) {
    const auto byte = static_cast<unsigned char>(data[i]);
    if (byte == '\r' || byte == '\n' || byte == '\t' || byte == '\\') {
      out[at++] = '\\';
      out[at++] = byte == '\r' ? 'r' : byte == '\n' ? 'n' : byte == '\t' ? 't' : '\\';
    } else if (byte < 0x20 || byte >= 0x7f) {
      out[at++] = '\\';
      out[at++] = 'x';
      out[at++] = kHex[byte >> 4];
      out[at++] = kHex[byte & 0xf];
    } else {
      out[at++] = static_cast<char>(byte);
    }
  }
  return at;
}

void WriteLine(const char* kind, const char* text, size_t length) {
  char stamp[40];
  Timestamp(stamp, sizeof stamp);
  fprintf(TraceFile, "%s %s %.*s\n", stamp, kind, static_cast<int>(length), text);
  fflush(TraceFile);
}

}  // namespace

void StartWireTrace() {
  char path[512];
  const size_t length = tarvelin::ReadEnvironment("TARVELIN_TRACE", path, sizeof path);
  TraceGuard guard;
  if (TraceFile != nullptr) fclose(TraceFile);
  TraceFile = length > 0 && length < sizeof path ? fopen(path, "a") : nullptr;
  Tracing.store(TraceFile != nullptr ? 1 : 0, std::memory_order_release);
}

void StopWireTrace() {
  if (Tracing.load(std::memory_order_acquire) == 0) return;
  TraceGuard guard;
  Tracing.store(0, std::memory_order_release);
  if (TraceFile != nullptr) fclose(TraceFile);
  TraceFile = nullptr;
}

void TraceWire(WireDirection direction, const char* data, int32_t length) {
  if (Tracing.load(std::memory_order_acquire) == 0 || data == nullptr || length <= 0) return;
  constexpr size_t kPiece = 256;  // a long block goes out as several lines
  char escaped[kPiece * 4];
  const char* kind = direction == WireDirection::Written ? "write" : "read ";
  TraceGuard guard;
  if (TraceFile == nullptr) return;
  for (size_t done = 0; done < static_cast<size_t>(length); done += kPiece) {
    const size_t rest = static_cast<size_t>(length) - done;
    WriteLine(kind, escaped, Escape(data + done, rest < kPiece ? rest : kPiece, escaped));
  }
}

void TraceWireNote(const char* text) {
  if (Tracing.load(std::memory_order_acquire) == 0 || text == nullptr) return;
  TraceGuard guard;
  if (TraceFile == nullptr) return;
  size_t length = 0;
  while (text[length] != '\0' && text[length] != '\n') ++length;
  WriteLine("note ", text, length);
}
