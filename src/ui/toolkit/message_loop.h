#pragma once
// The UI thread's message loop and dispatcher, shared by every front end
// (console, headless and gtk backends). It stands in for the Windows thread
// message queue: posted tasks and window messages, WM_TIMER-style timers and
// a quit message, all dispatched on one thread.
//
// Threads:
//  - RunUntilQuit: on the thread that is to be the UI thread, once.
//  - Everything else (Post, PostMessage, Invoke, Quit, SetTimer, KillTimer,
//    RegisterWindow, UnregisterWindow, IsUiThread): any thread, also from
//    inside a task, handler or timer callback.
//  - Tasks, window handlers and timer callbacks run on the UI thread only,
//    never while the loop's lock is held, so they may call any member.
//
// Order: posted tasks and messages run in the order they were posted (FIFO
// across all threads). The quit message takes its place in that queue like
// PostQuitMessage: what was posted before Quit still runs, anything posted
// after it is refused. Due timers fire between batches of queued entries, so
// neither a flood of posts nor a busy timer starves the other.
//
// Time: timers are measured with the injected Clock (NowTicks) and every wait
// of the loop is a Clock::SleepFor, so a TestClock drives them.
//
// Lifetime: the loop must outlive every thread that calls it. Destroying it
// drops whatever is still queued; Invoke calls waiting on those entries
// return false.

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>

#include "common/clock.h"

namespace oru::ui {

// Stands in for an HWND. 0 is "no window" (a thread timer).
using WindowId = std::int64_t;
using TimerId = std::uint32_t;

// First private message number, as WM_USER on Windows.
inline constexpr std::uint32_t kWmUser = 0x0400;
// Shortest timer interval; shorter requests are raised to it, as
// USER_TIMER_MINIMUM on Windows.
inline constexpr std::chrono::milliseconds kMinTimerInterval{10};

// Receives the messages posted to one window, on the UI thread.
using WindowHandler = std::function<void(std::uint32_t msg, std::intptr_t wparam, std::intptr_t lparam)>;
// Called on the UI thread at every tick of a timer, with the timer's id.
using TimerCallback = std::function<void(TimerId timer_id)>;

class MessageLoop {
 public:
  // `clock` must outlive the loop and every thread that calls Invoke.
  explicit MessageLoop(Clock& clock);
  ~MessageLoop();
  MessageLoop(const MessageLoop&) = delete;
  MessageLoop& operator=(const MessageLoop&) = delete;

  // Makes the calling thread the UI thread and dispatches tasks, messages and
  // timers until the quit message is reached; returns its code. Called once:
  // a later call returns the same code at once without dispatching; a call
  // while the loop runs (nested or from another thread) returns -1 at once.
  int RunUntilQuit();

  // Queues the quit message with `code`. Entries posted before it still run;
  // the first Quit wins, later ones are ignored.
  void Quit(int code);

  // Queues `task` to run on the UI thread. Returns false (and drops the task
  // on the calling thread) when the quit message is already queued or the
  // loop has ended, or when `task` is empty.
  bool Post(std::function<void()> task);

  // Queues a message for the handler of `window`. Returns false when no
  // handler is registered for `window` at the time of posting, or when the
  // loop refuses posts (see Post). A window unregistered before the message
  // is dispatched never sees it.
  bool PostMessage(WindowId window, std::uint32_t msg, std::intptr_t wparam, std::intptr_t lparam);

  // Runs `fn` on the UI thread and returns true once it has run. On the UI
  // thread, while the loop runs, it runs inline; elsewhere it is posted and
  // the caller blocks until it has run. Returns false without running `fn`
  // when `fn` is empty, when the loop refuses posts (quit queued or loop
  // ended) or when it is destroyed before reaching it, so no worker hangs at
  // shutdown. The wait is a Clock::SleepFor. Never call it from a thread the
  // UI thread is joining inside a handler (the UI thread cannot run it then);
  // join workers after RunUntilQuit has returned. Called before the loop runs
  // on the thread that will run it, it blocks forever.
  bool Invoke(const std::function<void()>& fn);

  // Registers (or replaces) the handler of `window`. Returns false for
  // window 0 or an empty handler.
  bool RegisterWindow(WindowId window, WindowHandler handler);
  // Removes the handler and kills the window's timers, as DestroyWindow.
  // Queued messages for it are dropped. Called on the UI thread, no handler
  // or timer callback of the window runs after it returns; called elsewhere,
  // one already running may still finish. Returns false when not registered.
  bool UnregisterWindow(WindowId window);

  // Starts a repeating timer (window 0: a thread timer) whose first tick is
  // `interval` from now; an existing timer with the same window and id is
  // replaced and starts over. Intervals below kMinTimerInterval are raised to
  // it. A callback that runs late does not cause catch-up ticks: missed ticks
  // are skipped and the timer keeps its phase. Returns false for an empty
  // callback or an unregistered window.
  bool SetTimer(WindowId window, TimerId timer_id, std::chrono::milliseconds interval, TimerCallback callback);
  // Stops the timer; a tick already due is not delivered. Returns false when
  // there is no such timer.
  bool KillTimer(WindowId window, TimerId timer_id);

  // True on the thread that runs (or ran) RunUntilQuit.
  bool IsUiThread() const;

 private:
  class Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace oru::ui
