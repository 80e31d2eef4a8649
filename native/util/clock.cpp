#include "util/clock.h"

#include <ctime>

namespace ombrel {

WallClockReading read_wall_clock() {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  WallClockReading r;
  if (ts.tv_sec < 0) {
    r.before_epoch = true;
    return r;
  }
  r.seconds = static_cast<uint64_t>(ts.tv_sec);
  r.nanoseconds = static_cast<uint32_t>(ts.tv_nsec);
  return r;
}

}  // namespace ombrel
