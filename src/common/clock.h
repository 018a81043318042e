#pragma once
// One injectable source of time. Every wait of the system (retry delays,
// stall rules, polling, timers) goes through a Clock so that tests can run
// the real waits in milliseconds with a TestClock (tests/support/test_clock.h).

#include <chrono>
#include <stop_token>

namespace oru {

class Clock {
 public:
  using WallTime = std::chrono::system_clock::time_point;
  using Ticks = std::chrono::milliseconds;  // monotonic, arbitrary origin

  virtual ~Clock() = default;

  // Wall-clock time (for time stamps and Unix seconds).
  virtual WallTime Now() const = 0;
  // Monotonic milliseconds; never goes backwards. For durations.
  virtual Ticks NowTicks() const = 0;
  // Blocks for `duration` of this clock's time, or until `stop` is requested.
  // Returns true when the full duration elapsed, false when interrupted.
  // A stop already requested returns false at once; otherwise a duration
  // <= 0 returns true at once. Any length is accepted (milliseconds::max()
  // waits until stopped). Callable from any thread.
  virtual bool SleepFor(std::chrono::milliseconds duration, std::stop_token stop = {}) = 0;
};

// The process-wide real clock (system_clock + steady_clock). Never destroyed.
Clock& SystemClock();

// Unix seconds of a wall time.
inline long long UnixSeconds(Clock::WallTime t) {
  return std::chrono::duration_cast<std::chrono::seconds>(t.time_since_epoch()).count();
}

}  // namespace oru
