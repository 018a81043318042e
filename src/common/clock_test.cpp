#include "common/clock.h"

#include <gtest/gtest.h>

#include <thread>

namespace oru {
namespace {

using std::chrono::milliseconds;

TEST(SystemClockTest, IsOneInstanceWithWallAndMonotonicTime) {
  Clock& clock = SystemClock();
  EXPECT_EQ(&clock, &SystemClock());

  const auto before = std::chrono::system_clock::now();
  const Clock::WallTime now = clock.Now();
  EXPECT_LE(before - std::chrono::seconds(1), now);
  EXPECT_LE(now, std::chrono::system_clock::now() + std::chrono::seconds(1));
  EXPECT_EQ(UnixSeconds(Clock::WallTime(std::chrono::seconds(1700000000))), 1700000000);

  Clock::Ticks last = clock.NowTicks();
  for (int i = 0; i < 1000; ++i) {
    const Clock::Ticks next = clock.NowTicks();
    ASSERT_LE(last, next);
    last = next;
  }
}

TEST(SystemClockTest, ShortSleepElapses) {
  Clock& clock = SystemClock();
  EXPECT_TRUE(clock.SleepFor(milliseconds(0)));
  EXPECT_TRUE(clock.SleepFor(milliseconds(-5)));
  const Clock::Ticks start = clock.NowTicks();
  EXPECT_TRUE(clock.SleepFor(milliseconds(3)));
  EXPECT_GE(clock.NowTicks() - start, milliseconds(3));
}

TEST(SystemClockTest, StopEndsSleepAtOnce) {
  Clock& clock = SystemClock();
  std::stop_source already;
  already.request_stop();
  EXPECT_FALSE(clock.SleepFor(milliseconds(0), already.get_token()));
  EXPECT_FALSE(clock.SleepFor(std::chrono::hours(1), already.get_token()));

  // Whether the stop lands before or during the sleep, the sleep ends early;
  // an endless duration must not overflow the deadline either.
  std::stop_source source;
  bool slept_fully = true;
  std::thread sleeper([&] { slept_fully = clock.SleepFor(milliseconds::max(), source.get_token()); });
  source.request_stop();
  sleeper.join();
  EXPECT_FALSE(slept_fully);
}

}  // namespace
}  // namespace oru
