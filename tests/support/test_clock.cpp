#include "support/test_clock.h"

#include <algorithm>
#include <cmath>

namespace oru::testing {
namespace {

using std::chrono::milliseconds;

Clock::Ticks SaturatingAdd(Clock::Ticks now, milliseconds duration) {
  if (duration >= Clock::Ticks::max() - now) return Clock::Ticks::max();
  return now + duration;
}

// Real time a scaled clock needs to cover `clock_time`; rounded up so that a
// sleeper does not wake a hair early and spin.
std::chrono::nanoseconds RealTimeFor(milliseconds clock_time, double factor) {
  const double ns = std::ceil(static_cast<double>(clock_time.count()) * 1e6 / factor);
  constexpr double kMaxNs = 3600e9;  // re-check at least hourly; no overflow
  return std::chrono::nanoseconds(static_cast<long long>(std::min(ns, kMaxNs)) + 1);
}

}  // namespace

TestClock::TestClock() : scaled_(false), factor_(1.0), real_start_(std::chrono::steady_clock::now()) {}

TestClock::TestClock(Scaled scaled)
    : scaled_(true), factor_(scaled.factor > 0 ? scaled.factor : 1.0), real_start_(std::chrono::steady_clock::now()) {}

TestClock::~TestClock() = default;

Clock::Ticks TestClock::NowTicksLocked() const {
  Ticks now = kStartTicks + offset_;
  if (!scaled_) return now;
  const auto real = std::chrono::steady_clock::now() - real_start_;
  const double scaled_ms = std::floor(std::chrono::duration<double, std::milli>(real).count() * factor_);
  return now + Ticks(static_cast<Ticks::rep>(scaled_ms));
}

Clock::WallTime TestClock::Now() const {
  std::lock_guard lock(mutex_);
  const WallTime start{kStartUnixSeconds};
  return start + (NowTicksLocked() - kStartTicks) + wall_shift_;
}

Clock::Ticks TestClock::NowTicks() const {
  std::lock_guard lock(mutex_);
  return NowTicksLocked();
}

void TestClock::SetNow(WallTime now) {
  std::lock_guard lock(mutex_);
  const WallTime unshifted = WallTime{kStartUnixSeconds} + (NowTicksLocked() - kStartTicks);
  wall_shift_ = std::chrono::duration_cast<milliseconds>(now - unshifted);
}

void TestClock::ReleaseLocked(Sleeper& sleeper) {
  if (!sleeper.registered) return;
  sleeper.registered = false;
  sleepers_.erase(std::find(sleepers_.begin(), sleepers_.end(), &sleeper));
}

bool TestClock::SleepFor(milliseconds duration, std::stop_token stop) {
  if (stop.stop_requested()) return false;
  if (duration <= milliseconds::zero()) return true;
  Sleeper sleeper;
  // Constructed before the sleeper registers: a stop that races the
  // registration is seen through `stopped` below.
  std::stop_callback on_stop(stop, [&] {
    std::lock_guard lock(mutex_);
    sleeper.stopped = true;
    ReleaseLocked(sleeper);
    changed_.notify_all();
  });
  std::unique_lock lock(mutex_);
  if (sleeper.stopped) return false;
  sleeper.deadline = SaturatingAdd(NowTicksLocked(), duration);
  sleeper.registered = true;
  sleepers_.push_back(&sleeper);
  changed_.notify_all();
  const bool elapsed = scaled_ ? WaitScaledLocked(lock, sleeper) : WaitManualLocked(lock, sleeper);
  ReleaseLocked(sleeper);
  return elapsed;
}

bool TestClock::WaitManualLocked(std::unique_lock<std::mutex>& lock, Sleeper& sleeper) {
  changed_.wait(lock, [&] { return sleeper.woken || sleeper.stopped; });
  return sleeper.woken;
}

bool TestClock::WaitScaledLocked(std::unique_lock<std::mutex>& lock, Sleeper& sleeper) {
  while (!sleeper.stopped && !sleeper.woken) {
    const Ticks now = NowTicksLocked();
    if (now >= sleeper.deadline) return true;
    changed_.wait_for(lock, RealTimeFor(sleeper.deadline - now, factor_));
  }
  return sleeper.woken;
}

void TestClock::Advance(milliseconds duration) {
  std::lock_guard lock(mutex_);
  if (duration > milliseconds::zero()) offset_ = SaturatingAdd(offset_, duration);
  const Ticks now = NowTicksLocked();
  // Release before notifying: the count drops now, not when the woken
  // thread is scheduled.
  std::vector<Sleeper*> due;
  for (Sleeper* sleeper : sleepers_) {
    if (sleeper->deadline <= now) due.push_back(sleeper);
  }
  for (Sleeper* sleeper : due) {
    sleeper->woken = true;
    ReleaseLocked(*sleeper);
  }
  changed_.notify_all();
}

std::size_t TestClock::SleeperCount() const {
  std::lock_guard lock(mutex_);
  return sleepers_.size();
}

bool TestClock::WaitForSleepers(std::size_t count, milliseconds real_timeout) const {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, real_timeout, [&] { return sleepers_.size() >= count; });
}

Clock::Ticks TestClock::NextDeadline() const {
  std::lock_guard lock(mutex_);
  Ticks next = Ticks::max();
  for (const Sleeper* sleeper : sleepers_) next = std::min(next, sleeper->deadline);
  return next;
}

}  // namespace oru::testing
