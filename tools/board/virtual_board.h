// The virtual board: a model of the I/O controller board that speaks its wire
// protocol on the master side of a pseudo-terminal, with switchable faults, so
// that the library can be driven end to end without hardware.
#pragma once

#include <termios.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "model_clock.h"

namespace tarvelin::board {

namespace model {
struct State;
}

// A run of bytes that arrived while the line ran at one rate (bits per second).
struct Segment {
  unsigned baud = 0;
  std::string bytes;
};

class VirtualBoard {
 public:
  // Answers one command line (the text before its carriage return), exactly as
  // returned; an empty string sends nothing. Returning std::nullopt hands the line
  // to the board's own model. It also sees empty lines (a lone carriage return),
  // which the model never answers. It runs on the service thread, without the lock.
  using Responder = std::function<std::optional<std::string>(const std::string& line)>;
  // Sees every byte on the wire as it passes: from the host as it is read, to
  // the host as the terminal takes it. Runs on the service thread under the
  // board's lock, in wire order; it must not call back into the board.
  using WireObserver = std::function<void(bool fromHost, const char* data, size_t size)>;

  VirtualBoard();
  ~VirtualBoard();
  VirtualBoard(const VirtualBoard&) = delete;
  VirtualBoard& operator=(const VirtualBoard&) = delete;

  // Opens the pseudo-terminal pair and starts serving. False with a reason in Error().
  bool Start();
  // Stops serving and closes the pseudo-terminal (the slave side sees a hang-up).
  void Stop();
  const std::string& SlavePath() const { return slave_path_; }
  const std::string& Error() const { return error_; }

  // What arrived from the host.
  std::string Received() const;
  std::vector<Segment> ReceivedByRate() const;
  void ClearReceived();
  // Waits until at least `count` bytes have arrived since the last clear.
  bool WaitForReceived(size_t count, int timeoutMs) const;
  // Waits until `count` command lines (carriage returns) have arrived since the last clear.
  bool WaitForLines(size_t count, int timeoutMs) const;

  // Answering.
  void SetResponder(Responder responder);
  void SetWireObserver(WireObserver observer);
  void SendRaw(const std::string& bytes);  // unsolicited characters ("L", "P", noise)

  // Faults.
  void SetSilent(bool silent);                   // no answers at all
  void SetAnswerDelayMs(int delayMs);            // every answer goes out this late
  void SetChunking(size_t chunkBytes, int gapMs);  // answers split into chunks with gaps; 0 = whole
  void SetDeviceErrorOnce(char digit);           // the next command is answered "?<digit>"
  void HangUp();                                 // closes the master side: the host sees a hang-up

  // Model time runs `factor` times faster than real time (1 = real time; kept within
  // 0.001..1e6; a factor that is not a positive number is ignored). Faults stay in real time.
  void SetTimeScale(double factor);
  double TimeScale() const;

  // Model state.
  unsigned BoardBaud() const;  // the rate the board currently speaks at
  int PortRegister(char port) const;          // -1 for a letter other than A, B, C, D, S
  void SetPortRegister(char port, int value);  // other letters are ignored
  int PortDirection(char port) const;         // bit set = output; -1 for another letter
  int32_t StepperCounter() const;             // what "SN" would answer now
  bool StepperRunning() const;
  bool StepperEnabled() const;
  int32_t PwmPulses() const;                  // what "WN" would answer now
  bool PwmRunning() const;
  bool AdcConfigured() const;                 // "PCD$98" accepted since power-on
  bool Io485Mode() const;
  unsigned SelectedModules() const;           // bit m set for each module a write reaches now
  int ModuleRegister(int module, char port) const;          // ports B and C of modules 0..3, else -1
  void SetModuleRegister(int module, char port, int value);  // others are ignored
  // Pins channel 0..14 to a 12-bit value (the other widths follow); a value below 0
  // releases it. Pins survive RESET.
  void SetAnalogOverride(int channel, int value);

 private:
  using Clock = std::chrono::steady_clock;

  // One piece of output waiting for its time; an answer is one or more of these.
  struct Outgoing {
    std::string bytes;
    size_t written = 0;
    Clock::time_point due;
    int gapMs = 0;           // least time after the previous piece went out
    unsigned baudAfter = 0;  // the board moves to this rate once the piece is out
    bool continues = false;  // a later piece of an answer under way: no event goes before it
    bool stream = false;     // the sampling block: refilled from the model as records fall due
  };
  enum class Put { kDone, kBlocked, kLost };

  void Serve();
  void HandleBytes(const char* data, size_t size, unsigned lineBaud);
  void HandleLine(const std::string& line, bool overlong);
  void ModelAnswer(const std::string& line);
  void Answer(const std::string& text, unsigned baudAfter = 0, const std::string& events = {});
  void QueueBlock();
  unsigned LineBaud() const;
  void Wake();
  void AdvanceModel(Clock::time_point now);
  bool AtBoundary() const;
  Put PutOut(const std::string& text, size_t& written, Clock::time_point now);
  void FinishHead();
  bool SendDue(Clock::time_point now);  // true while output waits for room
  int PollTimeoutMs(Clock::time_point now, bool blocked) const;
  void CloseLine();
  void TrimRecord();

  int master_fd_ = -1;
  int slave_keep_fd_ = -1;  // keeps the slave side open so the master never reads EIO between opens
  int wake_fd_[2] = {-1, -1};
  std::string slave_path_;
  std::string error_;
  std::thread thread_;
  std::atomic<bool> running_{false};
  bool serving_ = false;           // the service thread is in its loop
  bool hang_up_requested_ = false;  // HangUp asks the service thread to close the line

  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  std::string received_;
  std::vector<Segment> segments_;
  size_t bytes_since_clear_ = 0;
  size_t lines_since_clear_ = 0;
  std::string pending_line_;
  bool line_garbled_ = false;   // part of the line came at a rate other than the board's
  bool line_overlong_ = false;  // the line outgrew the board's line buffer
  std::deque<Outgoing> outgoing_;
  Responder responder_;
  WireObserver observer_;
  bool silent_ = false;
  int delay_ms_ = 0;
  size_t chunk_bytes_ = 0;
  int chunk_gap_ms_ = 0;
  char error_once_ = 0;
  unsigned board_baud_ = 9600;
  std::unique_ptr<model::State> model_;
  ModelClock clock_;
  std::string events_;  // unsolicited events that go out at the next boundary between answers
  std::optional<Clock::time_point> blocked_since_;  // output has found no room since then
};

}  // namespace tarvelin::board
