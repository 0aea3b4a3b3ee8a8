// The board's calls for tests: what arrived, scripted answers and faults, the
// time scale, and the model's state read and set under the board's lock.
#include <algorithm>

#include "model.h"
#include "virtual_board.h"

namespace tarvelin::board {
namespace {

using std::chrono::milliseconds;

constexpr int kMaxDelayMs = 3600 * 1000;  // keeps time arithmetic far from overflow
constexpr int kMax12Bit = 4095;

int ModuleRegisterIndex(int module, char port) {
  if (module < 0 || module >= model::kModuleCount) return -1;
  const int index = model::PortIndex(port);
  return index == 1 || index == 2 ? index - 1 : -1;  // ports B and C
}

}  // namespace

// ---- What arrived ------------------------------------------------------------------

std::string VirtualBoard::Received() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return received_;
}

std::vector<Segment> VirtualBoard::ReceivedByRate() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return segments_;
}

void VirtualBoard::ClearReceived() {
  std::lock_guard<std::mutex> lock(mutex_);
  received_.clear();
  segments_.clear();
  bytes_since_clear_ = 0;
  lines_since_clear_ = 0;
}

bool VirtualBoard::WaitForReceived(size_t count, int timeoutMs) const {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, milliseconds(std::max(timeoutMs, 0)),
                           [&] { return bytes_since_clear_ >= count; });
}

bool VirtualBoard::WaitForLines(size_t count, int timeoutMs) const {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, milliseconds(std::max(timeoutMs, 0)),
                           [&] { return lines_since_clear_ >= count; });
}

// ---- Answering and faults ------------------------------------------------------------

void VirtualBoard::SetResponder(Responder responder) {
  std::lock_guard<std::mutex> lock(mutex_);
  responder_ = std::move(responder);
}

void VirtualBoard::SetWireObserver(WireObserver observer) {
  std::lock_guard<std::mutex> lock(mutex_);
  observer_ = std::move(observer);
}

void VirtualBoard::SendRaw(const std::string& bytes) {
  if (bytes.empty()) return;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    Outgoing out;
    out.bytes = bytes;
    out.due = Clock::now();
    outgoing_.push_back(std::move(out));
  }
  Wake();
}

void VirtualBoard::SetSilent(bool silent) {
  std::lock_guard<std::mutex> lock(mutex_);
  silent_ = silent;
}

void VirtualBoard::SetAnswerDelayMs(int delayMs) {
  std::lock_guard<std::mutex> lock(mutex_);
  delay_ms_ = std::clamp(delayMs, 0, kMaxDelayMs);
}

void VirtualBoard::SetChunking(size_t chunkBytes, int gapMs) {
  std::lock_guard<std::mutex> lock(mutex_);
  chunk_bytes_ = chunkBytes;
  chunk_gap_ms_ = std::clamp(gapMs, 0, kMaxDelayMs);
}

void VirtualBoard::SetDeviceErrorOnce(char digit) {
  std::lock_guard<std::mutex> lock(mutex_);
  error_once_ = digit;
}

// ---- Time ------------------------------------------------------------------------------

void VirtualBoard::SetTimeScale(double factor) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    clock_.SetScale(factor, Clock::now());
  }
  Wake();  // the service thread's wait was reckoned at the old scale
}

double VirtualBoard::TimeScale() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return clock_.Scale();
}

// ---- Model state -----------------------------------------------------------------------
// Queries compute the state at this moment of model time; ending a run and sending its
// event is left to the service thread, which does so when the event falls due.

unsigned VirtualBoard::BoardBaud() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return board_baud_;
}

int VirtualBoard::PortRegister(char port) const {
  const int index = model::PortIndex(port);
  if (index < 0) return -1;
  std::lock_guard<std::mutex> lock(mutex_);
  return model_->ports[index];
}

void VirtualBoard::SetPortRegister(char port, int value) {
  const int index = model::PortIndex(port);
  if (index < 0) return;
  std::lock_guard<std::mutex> lock(mutex_);
  model_->ports[index] = value;
}

int VirtualBoard::PortDirection(char port) const {
  const int index = model::PortIndex(port);
  if (index < 0) return -1;
  std::lock_guard<std::mutex> lock(mutex_);
  return model_->directions[index];
}

int32_t VirtualBoard::StepperCounter() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return model::Wrap32(model::StepperCounterAt(*model_, clock_.NowUs(Clock::now())));
}

bool VirtualBoard::StepperRunning() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return model_->stepper.running && clock_.NowUs(Clock::now()) < model_->stepper.endUs;
}

bool VirtualBoard::StepperEnabled() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return model_->stepper.enabled;
}

int32_t VirtualBoard::PwmPulses() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return model::Wrap32(model::PwmPulsesAt(*model_, clock_.NowUs(Clock::now())));
}

bool VirtualBoard::PwmRunning() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return model_->pwm.running && clock_.NowUs(Clock::now()) < model_->pwm.endUs;
}

bool VirtualBoard::AdcConfigured() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return model_->adcConfigured;
}

bool VirtualBoard::Io485Mode() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return model_->io485Mode;
}

unsigned VirtualBoard::SelectedModules() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return model::SelectedModules(*model_);
}

int VirtualBoard::ModuleRegister(int module, char port) const {
  const int index = ModuleRegisterIndex(module, port);
  if (index < 0) return -1;
  std::lock_guard<std::mutex> lock(mutex_);
  return model_->modules[module][index];
}

void VirtualBoard::SetModuleRegister(int module, char port, int value) {
  const int index = ModuleRegisterIndex(module, port);
  if (index < 0) return;
  std::lock_guard<std::mutex> lock(mutex_);
  model_->modules[module][index] = value;
}

void VirtualBoard::SetAnalogOverride(int channel, int value) {
  if (channel < 0 || channel >= model::kAnalogChannels) return;
  std::lock_guard<std::mutex> lock(mutex_);
  model_->analogPins[channel] = value < 0 ? -1 : std::min(value, kMax12Bit);
}

}  // namespace tarvelin::board
