#include "support/test_clock.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace oru::testing {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

TEST(TestClockManualTest, TimeStandsStillUntilAdvanced) {
  TestClock clock;
  EXPECT_EQ(clock.NowTicks(), TestClock::kStartTicks);
  EXPECT_EQ(UnixSeconds(clock.Now()), TestClock::kStartUnixSeconds.count());
  EXPECT_EQ(clock.NowTicks(), TestClock::kStartTicks);

  clock.Advance(milliseconds(1500));
  EXPECT_EQ(clock.NowTicks(), TestClock::kStartTicks + milliseconds(1500));
  EXPECT_EQ(clock.Now(), Clock::WallTime(TestClock::kStartUnixSeconds) + milliseconds(1500));
  clock.Advance(milliseconds(-100));
  EXPECT_EQ(clock.NowTicks(), TestClock::kStartTicks + milliseconds(1500));

  // A changed wall clock leaves the monotonic ticks alone.
  clock.SetNow(Clock::WallTime(seconds(1000)));
  EXPECT_EQ(UnixSeconds(clock.Now()), 1000);
  EXPECT_EQ(clock.NowTicks(), TestClock::kStartTicks + milliseconds(1500));
  clock.Advance(seconds(2));
  EXPECT_EQ(UnixSeconds(clock.Now()), 1002);
}

TEST(TestClockManualTest, SleeperWakesExactlyAtItsDeadline) {
  TestClock clock;
  std::atomic<int> result{-1};
  std::thread sleeper([&] { result = clock.SleepFor(milliseconds(100)) ? 1 : 0; });
  ASSERT_TRUE(clock.WaitForSleepers(1));
  EXPECT_EQ(clock.NextDeadline(), TestClock::kStartTicks + milliseconds(100));

  clock.Advance(milliseconds(99));
  EXPECT_EQ(clock.SleeperCount(), 1u);  // deadline not reached: still blocked
  clock.Advance(milliseconds(1));
  EXPECT_EQ(clock.SleeperCount(), 0u);  // released by Advance itself
  sleeper.join();
  EXPECT_EQ(result, 1);
  EXPECT_EQ(clock.NextDeadline(), Clock::Ticks::max());
}

TEST(TestClockManualTest, AdvanceWakesOnlyDueSleepers) {
  TestClock clock;
  std::vector<milliseconds> durations = {milliseconds(300), milliseconds(100), milliseconds(200)};
  std::vector<std::atomic<bool>> done(durations.size());
  std::vector<std::thread> threads;
  for (size_t i = 0; i < durations.size(); ++i) {
    threads.emplace_back([&, i] {
      EXPECT_TRUE(clock.SleepFor(durations[i]));
      done[i] = true;
    });
  }
  ASSERT_TRUE(clock.WaitForSleepers(3));
  clock.Advance(milliseconds(250));
  EXPECT_EQ(clock.SleeperCount(), 1u);
  EXPECT_EQ(clock.NextDeadline(), TestClock::kStartTicks + milliseconds(300));
  threads[1].join();
  threads[2].join();
  EXPECT_TRUE(done[1] && done[2]);
  EXPECT_FALSE(done[0]);
  clock.Advance(milliseconds(50));
  threads[0].join();
  EXPECT_TRUE(done[0]);
}

// A worker that sleeps in a loop: after each Advance the test waits for it to
// be back in SleepFor, so every step is deterministic without real sleeps.
TEST(TestClockManualTest, WaitForSleepersStepsALoopingWorker) {
  TestClock clock;
  std::atomic<int> rounds{0};
  std::stop_source stop;
  std::thread worker([&] {
    while (clock.SleepFor(milliseconds(1000), stop.get_token())) ++rounds;
  });
  for (int i = 1; i <= 5; ++i) {
    ASSERT_TRUE(clock.WaitForSleepers(1));
    clock.Advance(milliseconds(1000));
    ASSERT_TRUE(clock.WaitForSleepers(1));
    EXPECT_EQ(rounds, i);
  }
  stop.request_stop();
  worker.join();
  EXPECT_EQ(rounds, 5);
  EXPECT_EQ(clock.SleeperCount(), 0u);
}

TEST(TestClockManualTest, ZeroDurationAndEarlyStopReturnAtOnce) {
  TestClock clock;
  EXPECT_TRUE(clock.SleepFor(milliseconds(0)));
  EXPECT_TRUE(clock.SleepFor(milliseconds(-1)));
  std::stop_source stopped;
  stopped.request_stop();
  EXPECT_FALSE(clock.SleepFor(milliseconds(0), stopped.get_token()));
  EXPECT_FALSE(clock.SleepFor(milliseconds::max(), stopped.get_token()));
  EXPECT_EQ(clock.SleeperCount(), 0u);
  EXPECT_FALSE(clock.WaitForSleepers(1, milliseconds(1)));
}

struct ModeCase {
  const char* name;
  bool scaled;
};

class TestClockStopTest : public ::testing::TestWithParam<ModeCase> {
 protected:
  std::unique_ptr<TestClock> MakeClock() const {
    if (GetParam().scaled) return std::make_unique<TestClock>(TestClock::Scaled{1000});
    return std::make_unique<TestClock>();
  }
};

// An endless sleep ends the moment its stop is requested, in both modes.
TEST_P(TestClockStopTest, StopInterruptsSleepAtOnce) {
  std::unique_ptr<TestClock> clock = MakeClock();
  std::stop_source stop;
  std::atomic<int> result{-1};
  std::thread sleeper([&] { result = clock->SleepFor(milliseconds::max(), stop.get_token()) ? 1 : 0; });
  ASSERT_TRUE(clock->WaitForSleepers(1));
  stop.request_stop();
  EXPECT_EQ(clock->SleeperCount(), 0u);
  sleeper.join();
  EXPECT_EQ(result, 0);
}

// Two sleepers on one clock: stopping one leaves the other asleep.
TEST_P(TestClockStopTest, StopReleasesOnlyItsOwnSleeper) {
  std::unique_ptr<TestClock> clock = MakeClock();
  std::stop_source first;
  std::stop_source second;
  std::thread a([&] { EXPECT_FALSE(clock->SleepFor(std::chrono::hours(100), first.get_token())); });
  std::thread b([&] { EXPECT_FALSE(clock->SleepFor(std::chrono::hours(100), second.get_token())); });
  ASSERT_TRUE(clock->WaitForSleepers(2));
  first.request_stop();
  a.join();
  EXPECT_EQ(clock->SleeperCount(), 1u);
  second.request_stop();
  b.join();
}

INSTANTIATE_TEST_SUITE_P(Modes, TestClockStopTest,
                         ::testing::Values(ModeCase{"Manual", false}, ModeCase{"Scaled", true}),
                         [](const auto& mode) { return std::string(mode.param.name); });

TEST(TestClockScaledTest, RunsRealTimeMultiplied) {
  TestClock clock(TestClock::Scaled{1000});
  const auto real_start = std::chrono::steady_clock::now();
  const Clock::Ticks start = clock.NowTicks();
  const Clock::WallTime wall_start = clock.Now();
  // Ten clock seconds pass in about ten real milliseconds.
  EXPECT_TRUE(clock.SleepFor(seconds(10)));
  const auto real_elapsed = std::chrono::steady_clock::now() - real_start;
  EXPECT_GE(clock.NowTicks() - start, seconds(10));
  EXPECT_GE(clock.Now() - wall_start, seconds(10));
  EXPECT_LT(real_elapsed, seconds(5));  // far below ten real seconds
}

TEST(TestClockScaledTest, AdvanceJumpsAheadAndWakesSleepers) {
  TestClock clock(TestClock::Scaled{1});  // real speed: only Advance can wake it soon
  std::atomic<int> result{-1};
  std::thread sleeper([&] { result = clock.SleepFor(std::chrono::hours(1)) ? 1 : 0; });
  ASSERT_TRUE(clock.WaitForSleepers(1));
  const Clock::Ticks before = clock.NowTicks();
  clock.Advance(std::chrono::hours(2));
  EXPECT_GE(clock.NowTicks() - before, std::chrono::hours(2));
  sleeper.join();
  EXPECT_EQ(result, 1);
}

}  // namespace
}  // namespace oru::testing
