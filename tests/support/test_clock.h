#pragma once
// A Clock for tests, in one of two modes:
//  - manual: time stands still until the test calls Advance(); sleepers whose
//    deadline is reached then wake up. WaitForSleepers(n) lets a test wait
//    until worker threads are blocked in SleepFor before it advances, so no
//    real sleep ever races the code under test.
//  - scaled: clock time runs `factor` times faster than real time (1000x
//    turns a 10 s stall into 10 ms). Advance() still jumps ahead.
// In both modes SleepFor ends at once when its stop token is requested.
// Every member may be called from any thread. The clock must outlive every
// thread that sleeps on it.

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <vector>

#include "common/clock.h"

namespace oru::testing {

class TestClock : public Clock {
 public:
  // Selects the scaled mode: clock time = real time * factor (factor > 0).
  struct Scaled {
    double factor = 1000.0;
  };

  // Wall time at construction (2024-01-01 00:00:00 UTC) and the tick origin
  // (not zero, so that code treating 0 as "never" is caught).
  static constexpr std::chrono::seconds kStartUnixSeconds{1704067200};
  static constexpr Ticks kStartTicks{1'000'000};

  // Manual mode.
  TestClock();
  // Scaled mode; a factor <= 0 is taken as 1.
  explicit TestClock(Scaled scaled);
  ~TestClock() override;
  TestClock(const TestClock&) = delete;
  TestClock& operator=(const TestClock&) = delete;

  WallTime Now() const override;
  Ticks NowTicks() const override;
  // Blocks until this clock's time has moved on by `duration` (through
  // Advance, or real time in scaled mode) or `stop` is requested. Returns
  // true when the duration elapsed, false when stopped (at once when the stop
  // was requested before the call). A duration <= 0 returns true at once and
  // does not count as a sleeper.
  bool SleepFor(std::chrono::milliseconds duration, std::stop_token stop = {}) override;

  // Moves ticks and wall time forward by `duration` (negative counts as 0)
  // and wakes every sleeper whose deadline is reached.
  void Advance(std::chrono::milliseconds duration);
  // Sets the wall time only (a user changing the system clock); ticks and
  // sleepers are not affected.
  void SetNow(WallTime now);

  // Number of threads blocked in SleepFor right now. A sleeper stops counting
  // the moment Advance or its stop token releases it, not when its thread
  // gets to run again, so WaitForSleepers after Advance waits for the woken
  // thread to come back to a new sleep.
  std::size_t SleeperCount() const;
  // Waits (real time, at most `real_timeout`) until at least `count` threads
  // are blocked in SleepFor. Returns false on timeout (the test is broken).
  bool WaitForSleepers(std::size_t count, std::chrono::milliseconds real_timeout = std::chrono::seconds(10)) const;
  // Earliest deadline of the current sleepers, in ticks; Ticks::max() when
  // nobody sleeps. Lets a test advance exactly to the next wake-up.
  Ticks NextDeadline() const;

 private:
  struct Sleeper {
    Ticks deadline{};
    bool registered = false;
    bool woken = false;
    bool stopped = false;
  };

  Ticks NowTicksLocked() const;
  void ReleaseLocked(Sleeper& sleeper);
  bool WaitManualLocked(std::unique_lock<std::mutex>& lock, Sleeper& sleeper);
  bool WaitScaledLocked(std::unique_lock<std::mutex>& lock, Sleeper& sleeper);

  const bool scaled_;
  const double factor_;
  const std::chrono::steady_clock::time_point real_start_;

  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  Ticks offset_{0};                     // sum of Advance calls
  std::chrono::milliseconds wall_shift_{0};  // SetNow relative to the ticks
  std::vector<Sleeper*> sleepers_;
};

}  // namespace oru::testing
