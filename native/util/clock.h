// Clocks: the wall clock for creation stamps, a monotonic clock for latency.
#pragma once

#include <chrono>
#include <cstdint>

namespace ombrel {

struct WallClockReading {
  bool before_epoch = false;
  uint64_t seconds = 0;
  uint32_t nanoseconds = 0;
};

WallClockReading read_wall_clock();

using MonotonicInstant = std::chrono::steady_clock::time_point;

inline MonotonicInstant monotonic_now() { return std::chrono::steady_clock::now(); }

// Whole microseconds since `start`, never negative.
inline uint64_t micros_since(MonotonicInstant start) {
  auto d = std::chrono::duration_cast<std::chrono::microseconds>(monotonic_now() - start).count();
  return d < 0 ? 0 : static_cast<uint64_t>(d);
}

}  // namespace ombrel
