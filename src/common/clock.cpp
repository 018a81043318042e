#include "common/clock.h"

#include <condition_variable>
#include <mutex>

namespace oru {
namespace {

using Steady = std::chrono::steady_clock;

// Longest single condition-variable wait; a longer sleep loops, so that huge
// durations never overflow the steady clock's representation.
constexpr auto kMaxSingleWait = std::chrono::hours(1);

Steady::time_point SaturatingDeadline(Steady::time_point now, std::chrono::milliseconds duration) {
  const auto room = std::chrono::duration_cast<std::chrono::milliseconds>(Steady::time_point::max() - now);
  if (duration >= room) return Steady::time_point::max();
  return now + duration;
}

class RealClock final : public Clock {
 public:
  WallTime Now() const override { return std::chrono::system_clock::now(); }

  Ticks NowTicks() const override {
    return std::chrono::duration_cast<Ticks>(Steady::now().time_since_epoch());
  }

  bool SleepFor(std::chrono::milliseconds duration, std::stop_token stop) override {
    if (stop.stop_requested()) return false;
    if (duration <= std::chrono::milliseconds::zero()) return true;
    const Steady::time_point deadline = SaturatingDeadline(Steady::now(), duration);
    // Per-call state: the stop callback may run on another thread and must
    // touch nothing that another sleeper shares.
    std::mutex mutex;
    std::condition_variable cv;
    bool stopped = false;
    std::stop_callback on_stop(stop, [&] {
      std::lock_guard lock(mutex);
      stopped = true;
      cv.notify_all();
    });
    std::unique_lock lock(mutex);
    while (!stopped) {
      const Steady::time_point now = Steady::now();
      if (now >= deadline) return true;
      const Steady::time_point step = deadline - now > kMaxSingleWait ? now + kMaxSingleWait : deadline;
      cv.wait_until(lock, step, [&] { return stopped; });
    }
    return false;
  }
};

}  // namespace

Clock& SystemClock() {
  // Never destroyed: threads may still sleep on it during static destruction.
  static RealClock* const clock = new RealClock();
  return *clock;
}

}  // namespace oru
