// Model time: microseconds that run `scale` times faster than the steady clock.
// A change of scale keeps model time continuous.
#pragma once

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>

namespace tarvelin::board {

class ModelClock {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr double kMinScale = 1e-3;
  static constexpr double kMaxScale = 1e6;  // keeps 64-bit model time good for months

  explicit ModelClock(Clock::time_point start = Clock::now()) : anchor_real_(start) {}

  int64_t NowUs(Clock::time_point real) const {
    const double realUs = std::chrono::duration<double, std::micro>(real - anchor_real_).count();
    return anchor_model_us_ + static_cast<int64_t>(std::floor(std::max(realUs, 0.0) * scale_));
  }

  // The earliest real time at which model time reaches `modelUs`; never further
  // off than an hour, so that a far event only means a later look.
  Clock::time_point RealAt(int64_t modelUs, Clock::time_point now) const {
    const double realUs = static_cast<double>(modelUs - anchor_model_us_) / scale_;
    const double fromNowUs = realUs - std::chrono::duration<double, std::micro>(now - anchor_real_).count();
    if (fromNowUs <= 0) return now;
    const double boundedUs = std::min(fromNowUs, kHorizonUs);
    return now + std::chrono::nanoseconds(static_cast<int64_t>(std::ceil(boundedUs * 1000.0)) + 1);
  }

  double Scale() const { return scale_; }

  // Ignores a factor that is not a positive number; clamps the rest to the range.
  void SetScale(double factor, Clock::time_point now) {
    if (!(factor > 0) || !std::isfinite(factor)) return;
    anchor_model_us_ = NowUs(now);
    anchor_real_ = now;
    scale_ = std::clamp(factor, kMinScale, kMaxScale);
  }

 private:
  static constexpr double kHorizonUs = 3600e6;

  Clock::time_point anchor_real_;
  int64_t anchor_model_us_ = 0;
  double scale_ = 1.0;
};

}  // namespace tarvelin::board
