// A deadline on the monotonic clock, for the timed waits of pthreads.
#pragma once

#include <time.h>

#include <cstdint>

namespace tarvelin {

inline timespec DeadlineAfter(uint32_t milliseconds) {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  ts.tv_sec += static_cast<time_t>(milliseconds / 1000);
  ts.tv_nsec += static_cast<long>(milliseconds % 1000) * 1000000L;
  if (ts.tv_nsec >= 1000000000L) {
    ts.tv_sec += 1;
    ts.tv_nsec -= 1000000000L;
  }
  return ts;
}

}  // namespace tarvelin
