// The serial line as the library uses it: one port, opened for this process
// alone, with its settings, DTR, writes bounded by a deadline, a wait until
// bytes are there (or the waiter is woken) and reads of what is there. One
// implementation per system: overlapped I/O on Windows, termios and poll on POSIX.
//
// Threads: one thread at a time waits or reads (the reader, or a call that
// reads for itself); one thread at a time writes; Wake may be called from any
// thread; Configure, SetRate, SetDtr, Discard and Close only while nobody waits,
// reads or writes, except that Close may follow a Wake whose waiter did not leave.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace tarvelin {

// What a line operation came to.
enum class LineResult : uint8_t {
  Done,      // it did what was asked
  TimedOut,  // its deadline passed first
  Woken,     // Wake was called before it ended (or before it began)
  Cut,       // a write given up because the caller's cut flag was raised
  Gone,      // the device was removed or the other side hung up: nothing more passes
  Failed,    // the system refused it; SystemError says why
};

enum class LineParity : uint8_t { None = 0, Odd = 1, Even = 2 };
enum class LineStopBits : uint8_t { One = 0, OneAndAHalf = 1, Two = 2 };

struct LineSettings {
  uint32_t baudRate = 9600;
  uint8_t byteSize = 8;
  LineParity parity = LineParity::None;
  LineStopBits stopBits = LineStopBits::One;
  bool ctsFlow = false;  // RTS/CTS handshake
  bool dsrFlow = false;  // DTR/DSR handshake
  bool xonXoff = false;
};

struct LineRead {
  size_t bytes = 0;                      // 0: nothing was there
  LineResult result = LineResult::Done;  // Done, Gone or Failed
  bool inputLost = false;                // received characters were dropped (an overrun) before these
};

class SerialLine {
 public:
  SerialLine();
  ~SerialLine();  // closes
  SerialLine(const SerialLine&) = delete;
  SerialLine& operator=(const SerialLine&) = delete;

  // COM<portNumber>: on Windows the port of that name; on POSIX the device that
  // TARVELIN_COM<n> names, else /dev/ttyS<n-1>. Refused (Failed) when another
  // process holds the port, or when this line is open already.
  LineResult OpenPort(int32_t portNumber);
  // A device by its path ("/dev/ttyUSB0", "\\.\COM12").
  LineResult OpenDevice(const char* path);
  bool IsOpen() const;
  // "<device>: <reason>" for the last open that failed, in the system's words.
  void DescribeOpenFailure(char* text, size_t size) const;

  // Byte format, parity, stop bits, handshakes and rate; DTR raised.
  LineResult Configure(const LineSettings& settings);
  LineResult SetRate(uint32_t baudRate);
  LineResult SetDtr(bool raised);

  // Writes all `length` bytes, or gives up after `timeoutMs` (TimedOut) or as
  // soon as `*cut` is nonzero (Cut), checked at least every 50 ms.
  LineResult Write(const char* data, size_t length, uint32_t timeoutMs, const std::atomic<int32_t>* cut);
  // Returns Done once bytes can be read (also bytes that arrived before the
  // first wait), Woken after a Wake, TimedOut at the deadline, Gone when the
  // line is gone. Sleeps meanwhile.
  LineResult WaitReadable(uint32_t timeoutMs);
  // Reads what is there, up to `capacity` bytes, without waiting for more.
  LineRead Read(char* buffer, size_t capacity);
  // From any thread: ends the wait in progress with Woken, or the next one
  // at once when none is in progress. One wake ends one wait.
  void Wake();

  // Where a call reads the line itself while it waits (see CallersReadTheLine):
  // the lead's wait, beside the reader's, with a wake of its own.
  LineResult LeadWaitReadable(uint32_t timeoutMs);
  void WakeLead();
  // Drops what is queued in either direction.
  void Discard();
  void Close();

  // The system's error code for the last Failed or Gone.
  uint32_t SystemError() const;

  // A waiter that did not leave when woken keeps what it waits with; the next
  // open takes fresh records.
  void Abandon();
  // At unload, once no waiter can be left: gives back what the line keeps
  // from one open to the next.
  void ReleaseKept();

  struct State;

 private:
  friend void* Win32PortHandle(const SerialLine& line);
  State* state_ = nullptr;
};

}  // namespace tarvelin
