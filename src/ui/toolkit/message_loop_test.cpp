#include "ui/toolkit/message_loop.h"

#include <gtest/gtest.h>

#include <atomic>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "support/test_clock.h"

namespace oru::ui {
namespace {

using std::chrono::milliseconds;
using oru::testing::TestClock;

// Runs the loop on its own UI thread. When the loop is idle it is the only
// sleeper of the manual clock, so WaitIdle() after a post or an Advance
// returns once the loop has handled it and gone back to sleep.
class MessageLoopTest : public ::testing::Test {
 protected:
  void TearDown() override {
    if (ui_.joinable()) StopLoop(0);
  }

  void StartLoop() {
    ui_ = std::thread([this] { quit_code_ = loop_.RunUntilQuit(); });
    WaitIdle();
  }
  int StopLoop(int code) {
    loop_.Quit(code);
    ui_.join();
    return quit_code_;
  }
  void WaitIdle() { ASSERT_TRUE(clock_.WaitForSleepers(1)); }
  // Advances and waits until the loop has handled what became due.
  void AdvanceAndSettle(milliseconds duration) {
    clock_.Advance(duration);
    WaitIdle();
  }
  Clock::Ticks At(milliseconds offset) const { return TestClock::kStartTicks + offset; }

  TestClock clock_;
  MessageLoop loop_{clock_};
  std::thread ui_;
  int quit_code_ = -100;
};

TEST_F(MessageLoopTest, RunsPostedTasksInOrderUntilTheQuitIsReached) {
  std::vector<std::string> order;
  bool tasks_on_ui_thread = true;
  auto record = [&](const char* name) {
    order.push_back(name);
    tasks_on_ui_thread = tasks_on_ui_thread && loop_.IsUiThread();
  };
  EXPECT_FALSE(loop_.IsUiThread());  // nobody runs the loop yet
  ASSERT_TRUE(loop_.Post([&] { record("a"); }));
  ASSERT_TRUE(loop_.Post([&] {
    record("b");
    EXPECT_EQ(loop_.RunUntilQuit(), -1);  // nested run refused
    EXPECT_TRUE(loop_.Post([&] { record("d"); }));
    loop_.Quit(7);
    loop_.Quit(8);  // the first quit wins
    EXPECT_FALSE(loop_.Post([&] { record("after quit"); }));
  }));
  ASSERT_TRUE(loop_.Post([&] { record("c"); }));
  EXPECT_FALSE(loop_.Post(nullptr));

  EXPECT_EQ(loop_.RunUntilQuit(), 7);
  EXPECT_EQ(order, (std::vector<std::string>{"a", "b", "c", "d"}));
  EXPECT_TRUE(tasks_on_ui_thread);

  // Ended for good: posts are refused, a second run returns the same code.
  EXPECT_FALSE(loop_.Post([&] { record("late"); }));
  loop_.Quit(9);
  EXPECT_EQ(loop_.RunUntilQuit(), 7);
  EXPECT_EQ(order.size(), 4u);
}

TEST_F(MessageLoopTest, QuitFromAnotherThreadWakesTheIdleLoop) {
  StartLoop();
  EXPECT_FALSE(loop_.IsUiThread());
  EXPECT_EQ(StopLoop(3), 3);
}

TEST_F(MessageLoopTest, PostsFromManyThreadsKeepEachThreadsOrder) {
  constexpr int kThreads = 4;
  constexpr int kPerThread = 500;
  std::vector<std::vector<int>> seen(kThreads);  // touched on the UI thread only
  StartLoop();
  std::vector<std::thread> posters;
  for (int t = 0; t < kThreads; ++t) {
    posters.emplace_back([&, t] {
      for (int i = 0; i < kPerThread; ++i) EXPECT_TRUE(loop_.Post([&seen, t, i] { seen[t].push_back(i); }));
    });
  }
  for (std::thread& poster : posters) poster.join();
  EXPECT_EQ(StopLoop(0), 0);
  for (const std::vector<int>& values : seen) {
    ASSERT_EQ(values.size(), static_cast<size_t>(kPerThread));
    for (int i = 0; i < kPerThread; ++i) EXPECT_EQ(values[i], i);
  }
}

TEST_F(MessageLoopTest, WindowMessagesReachOnlyRegisteredWindows) {
  struct Received {
    std::uint32_t msg;
    std::intptr_t wparam;
    std::intptr_t lparam;
    bool on_ui;
  };
  std::vector<Received> received;
  constexpr WindowId kWindow = 5;
  constexpr std::uint32_t kProgress = kWmUser + 111;
  EXPECT_FALSE(loop_.RegisterWindow(0, [](std::uint32_t, std::intptr_t, std::intptr_t) {}));
  EXPECT_FALSE(loop_.RegisterWindow(kWindow, nullptr));
  ASSERT_TRUE(loop_.RegisterWindow(kWindow, [&](std::uint32_t msg, std::intptr_t w, std::intptr_t l) {
    received.push_back({msg, w, l, loop_.IsUiThread()});
  }));

  EXPECT_FALSE(loop_.PostMessage(6, kProgress, 1, 1));  // unknown window
  ASSERT_TRUE(loop_.PostMessage(kWindow, kProgress, 42, -7));
  ASSERT_TRUE(loop_.Post([&] { EXPECT_TRUE(loop_.UnregisterWindow(kWindow)); }));
  // Queued while the window still exists, dispatched after it is gone.
  ASSERT_TRUE(loop_.PostMessage(kWindow, kProgress, 43, 0));
  ASSERT_TRUE(loop_.Post([&] {
    EXPECT_FALSE(loop_.PostMessage(kWindow, kProgress, 44, 0));
    EXPECT_FALSE(loop_.UnregisterWindow(kWindow));
    loop_.Quit(0);
  }));
  EXPECT_EQ(loop_.RunUntilQuit(), 0);

  ASSERT_EQ(received.size(), 1u);
  EXPECT_EQ(received[0].msg, kProgress);
  EXPECT_EQ(received[0].wparam, 42);
  EXPECT_EQ(received[0].lparam, -7);
  EXPECT_TRUE(received[0].on_ui);
}

TEST_F(MessageLoopTest, InvokeFromAWorkerRunsOnTheUiThreadAndWaits) {
  StartLoop();
  int value = 0;  // written on the UI thread, read by the worker after Invoke
  bool ran_on_ui = false;
  bool invoked = false;
  int seen_by_worker = 0;
  std::thread worker([&] {
    invoked = loop_.Invoke([&] {
      ran_on_ui = loop_.IsUiThread();
      value = 42;
    });
    seen_by_worker = value;
  });
  worker.join();
  EXPECT_TRUE(invoked);
  EXPECT_TRUE(ran_on_ui);
  EXPECT_EQ(seen_by_worker, 42);
}

TEST_F(MessageLoopTest, InvokeOnTheUiThreadRunsInline) {
  std::vector<std::string> order;
  ASSERT_TRUE(loop_.Post([&] {
    ASSERT_TRUE(loop_.Post([&] { order.push_back("posted"); }));
    EXPECT_TRUE(loop_.Invoke([&] { order.push_back("invoked"); }));
    order.push_back("after invoke");
    loop_.Quit(0);
  }));
  loop_.RunUntilQuit();
  EXPECT_EQ(order, (std::vector<std::string>{"invoked", "after invoke", "posted"}));
}

// A worker must never hang because the UI is shutting down.
TEST_F(MessageLoopTest, InvokeAfterTheQuitReturnsFalseWithoutRunning) {
  bool ran = false;
  loop_.Quit(0);
  std::thread queued_worker([&] { EXPECT_FALSE(loop_.Invoke([&] { ran = true; })); });
  queued_worker.join();
  EXPECT_EQ(loop_.RunUntilQuit(), 0);

  EXPECT_FALSE(loop_.Invoke([&] { ran = true; }));  // UI thread, loop ended
  std::thread late_worker([&] { EXPECT_FALSE(loop_.Invoke([&] { ran = true; })); });
  late_worker.join();
  EXPECT_FALSE(ran);
}

TEST(MessageLoopLifetimeTest, InvokeWaitingWhenTheLoopIsDestroyedReturnsFalse) {
  TestClock clock;
  std::optional<MessageLoop> loop(std::in_place, clock);
  std::atomic<bool> ran{false};
  std::atomic<int> result{-1};
  std::thread worker([&] { result = loop->Invoke([&] { ran = true; }) ? 1 : 0; });
  ASSERT_TRUE(clock.WaitForSleepers(1));  // the worker is blocked in Invoke
  loop.reset();
  worker.join();
  EXPECT_EQ(result, 0);
  EXPECT_FALSE(ran);
}

TEST_F(MessageLoopTest, TimerTicksOnTheInjectedClock) {
  std::atomic<int> ticks{0};
  std::atomic<bool> on_ui{true};
  std::atomic<TimerId> seen_id{0};
  StartLoop();
  ASSERT_TRUE(loop_.SetTimer(0, 1982, milliseconds(1000), [&](TimerId id) {
    ++ticks;
    seen_id = id;
    if (!loop_.IsUiThread()) on_ui = false;
  }));
  WaitIdle();
  EXPECT_EQ(clock_.NextDeadline(), At(milliseconds(1000)));

  clock_.Advance(milliseconds(999));
  EXPECT_EQ(clock_.SleeperCount(), 1u);  // not due: the loop sleeps on
  AdvanceAndSettle(milliseconds(1));
  EXPECT_EQ(ticks, 1);
  AdvanceAndSettle(milliseconds(1000));
  EXPECT_EQ(ticks, 2);
  EXPECT_EQ(seen_id, 1982u);
  EXPECT_TRUE(on_ui);
  EXPECT_EQ(clock_.NextDeadline(), At(milliseconds(3000)));
}

TEST_F(MessageLoopTest, LateTicksAreSkippedNotReplayed) {
  std::atomic<int> ticks{0};
  StartLoop();
  ASSERT_TRUE(loop_.SetTimer(0, 1, milliseconds(1000), [&](TimerId) {
    // The first callback is slow: 3.5 s pass while it runs.
    if (++ticks == 1) clock_.Advance(milliseconds(3500));
  }));
  AdvanceAndSettle(milliseconds(1000));
  EXPECT_EQ(ticks, 1);
  EXPECT_EQ(clock_.NextDeadline(), At(milliseconds(5000)));  // phase kept, no burst

  clock_.Advance(milliseconds(499));
  EXPECT_EQ(clock_.SleeperCount(), 1u);
  AdvanceAndSettle(milliseconds(1));
  EXPECT_EQ(ticks, 2);

  // A long jump (a suspended machine) gives one tick, not ten.
  AdvanceAndSettle(milliseconds(10000));
  EXPECT_EQ(ticks, 3);
  EXPECT_EQ(clock_.NextDeadline(), At(milliseconds(16000)));
}

TEST_F(MessageLoopTest, SetTimerReplacesAndKillTimerStops) {
  std::atomic<int> first{0};
  std::atomic<int> second{0};
  StartLoop();
  ASSERT_TRUE(loop_.SetTimer(0, 1, milliseconds(1000), [&](TimerId) { ++first; }));
  AdvanceAndSettle(milliseconds(600));
  // Same id: replaced, and it starts over from now.
  ASSERT_TRUE(loop_.SetTimer(0, 1, milliseconds(1000), [&](TimerId) { ++second; }));
  WaitIdle();
  EXPECT_EQ(clock_.NextDeadline(), At(milliseconds(1600)));
  AdvanceAndSettle(milliseconds(1000));
  EXPECT_EQ(first, 0);
  EXPECT_EQ(second, 1);

  EXPECT_TRUE(loop_.KillTimer(0, 1));
  EXPECT_FALSE(loop_.KillTimer(0, 1));
  WaitIdle();
  AdvanceAndSettle(std::chrono::hours(2));
  EXPECT_EQ(second, 1);

  // Too short an interval is raised to the minimum.
  ASSERT_TRUE(loop_.SetTimer(0, 2, milliseconds(0), [](TimerId) {}));
  WaitIdle();
  EXPECT_EQ(clock_.NextDeadline(), clock_.NowTicks() + kMinTimerInterval);
  EXPECT_FALSE(loop_.SetTimer(0, 3, milliseconds(100), nullptr));
}

TEST_F(MessageLoopTest, WindowTimersAreKeyedByWindowAndDieWithIt) {
  constexpr WindowId kWindow = 9;
  std::atomic<int> window_ticks{0};
  std::atomic<int> thread_ticks{0};
  StartLoop();
  EXPECT_FALSE(loop_.SetTimer(kWindow, 7, milliseconds(100), [](TimerId) {}));  // no such window
  ASSERT_TRUE(loop_.RegisterWindow(kWindow, [](std::uint32_t, std::intptr_t, std::intptr_t) {}));
  ASSERT_TRUE(loop_.SetTimer(kWindow, 7, milliseconds(100), [&](TimerId) { ++window_ticks; }));
  ASSERT_TRUE(loop_.SetTimer(0, 7, milliseconds(100), [&](TimerId) { ++thread_ticks; }));
  WaitIdle();
  AdvanceAndSettle(milliseconds(100));
  EXPECT_EQ(window_ticks, 1);
  EXPECT_EQ(thread_ticks, 1);

  ASSERT_TRUE(loop_.UnregisterWindow(kWindow));
  EXPECT_FALSE(loop_.KillTimer(kWindow, 7));
  AdvanceAndSettle(milliseconds(100));
  EXPECT_EQ(window_ticks, 1);
  EXPECT_EQ(thread_ticks, 2);
}

TEST_F(MessageLoopTest, TimerCallbackMayKillItsOwnTimer) {
  std::atomic<int> ticks{0};
  StartLoop();
  ASSERT_TRUE(loop_.SetTimer(0, 1998, milliseconds(50), [&](TimerId id) {
    ++ticks;
    EXPECT_TRUE(loop_.KillTimer(0, id));
  }));
  AdvanceAndSettle(milliseconds(50));
  AdvanceAndSettle(milliseconds(500));
  EXPECT_EQ(ticks, 1);
}

// A task that keeps re-posting itself must not keep a due timer from firing.
TEST_F(MessageLoopTest, AFloodOfPostsDoesNotStarveADueTimer) {
  bool fired = false;
  int reposts = 0;
  ASSERT_TRUE(loop_.SetTimer(0, 1, milliseconds(10), [&](TimerId) { fired = true; }));
  clock_.Advance(milliseconds(10));
  std::function<void()> again = [&] {
    if (fired) return loop_.Quit(0);
    ++reposts;
    loop_.Post(again);
  };
  ASSERT_TRUE(loop_.Post(again));
  EXPECT_EQ(loop_.RunUntilQuit(), 0);
  EXPECT_TRUE(fired);
  EXPECT_EQ(reposts, 1);
}

}  // namespace
}  // namespace oru::ui
