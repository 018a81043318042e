#include "ui/toolkit/message_loop.h"

#include <algorithm>
#include <atomic>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <stop_token>
#include <thread>
#include <utility>
#include <vector>

namespace oru::ui {
namespace {

using std::chrono::milliseconds;

// Longest single wait when nothing is due; the loop simply waits again.
constexpr milliseconds kIdleWait = std::chrono::hours(1);

// Completion of one Invoke. The waiter sleeps on `done` through the clock, so
// a TestClock sees it as a sleeper.
struct InvokeState {
  std::atomic<bool> ran{false};
  std::stop_source done;
};

// Held by the queued entry of an Invoke: releases the waiter when the entry
// runs, and also when it is dropped unrun (loop destroyed), with ran=false.
class InvokeTicket {
 public:
  InvokeTicket() = default;
  explicit InvokeTicket(std::shared_ptr<InvokeState> state) : state_(std::move(state)) {}
  InvokeTicket(InvokeTicket&&) noexcept = default;
  InvokeTicket& operator=(InvokeTicket&& other) noexcept {
    Release();
    state_ = std::move(other.state_);
    return *this;
  }
  InvokeTicket(const InvokeTicket&) = delete;
  InvokeTicket& operator=(const InvokeTicket&) = delete;
  ~InvokeTicket() { Release(); }

  void MarkRan() {
    if (state_) state_->ran.store(true);
    Release();
  }

 private:
  void Release() {
    if (!state_) return;
    state_->done.request_stop();
    state_.reset();
  }

  std::shared_ptr<InvokeState> state_;
};

struct Entry {
  enum class Kind { kTask, kMessage, kQuit };
  Kind kind = Kind::kTask;
  std::function<void()> task;
  WindowId window = 0;
  std::uint32_t msg = 0;
  std::intptr_t wparam = 0;
  std::intptr_t lparam = 0;
  int quit_code = 0;
  InvokeTicket ticket;
};

struct Timer {
  milliseconds interval{};
  Clock::Ticks next_due{};
  std::shared_ptr<const TimerCallback> callback;
  std::uint64_t generation = 0;
};

using TimerKey = std::pair<WindowId, TimerId>;

// First tick after `now` on the timer's phase: missed ticks are skipped.
Clock::Ticks NextDueAfter(const Timer& timer, Clock::Ticks now) {
  Clock::Ticks next = timer.next_due + timer.interval;
  if (next > now) return next;
  const auto missed = (now - timer.next_due) / timer.interval;
  return timer.next_due + (missed + 1) * timer.interval;
}

}  // namespace

class MessageLoop::Impl {
 public:
  explicit Impl(Clock& clock) : clock_(clock) {}

  int RunUntilQuit();
  void Quit(int code);
  bool Enqueue(Entry entry, bool needs_window);
  bool Invoke(const std::function<void()>& fn);
  bool RegisterWindow(WindowId window, WindowHandler handler);
  bool UnregisterWindow(WindowId window);
  bool SetTimer(WindowId window, TimerId timer_id, milliseconds interval, TimerCallback callback);
  bool KillTimer(WindowId window, TimerId timer_id);
  bool IsUiThread() const { return ui_thread_.load() == std::this_thread::get_id(); }

 private:
  std::optional<int> RunQueuedBatch();
  void Dispatch(Entry& entry);
  void FireDueTimers();
  void FireTimer(const TimerKey& key, std::uint64_t generation);
  void SleepUntilWork();
  void End();

  Clock& clock_;
  std::atomic<std::thread::id> ui_thread_{};

  std::mutex mutex_;
  std::deque<Entry> queue_;
  std::map<WindowId, std::shared_ptr<const WindowHandler>> windows_;
  std::map<TimerKey, Timer> timers_;
  std::uint64_t next_generation_ = 1;
  bool quit_queued_ = false;
  int quit_code_ = 0;
  bool running_ = false;
  bool ended_ = false;
  std::optional<std::stop_source> wake_;  // set while the loop sleeps
};

int MessageLoop::Impl::RunUntilQuit() {
  {
    std::lock_guard lock(mutex_);
    if (ended_) return quit_code_;
    if (running_) return -1;
    running_ = true;
    ui_thread_.store(std::this_thread::get_id());
  }
  for (;;) {
    if (std::optional<int> code = RunQueuedBatch()) {
      End();
      return *code;
    }
    FireDueTimers();
    SleepUntilWork();
  }
}

void MessageLoop::Impl::End() {
  std::deque<Entry> dropped;  // destroyed after the lock is released
  std::lock_guard lock(mutex_);
  running_ = false;
  ended_ = true;
  dropped.swap(queue_);
}

// Runs the entries queued when the batch starts; later ones wait for the next
// batch, after the timers. Returns the quit code when the quit is reached.
std::optional<int> MessageLoop::Impl::RunQueuedBatch() {
  size_t count = 0;
  {
    std::lock_guard lock(mutex_);
    count = queue_.size();
  }
  for (size_t i = 0; i < count; ++i) {
    Entry entry;
    {
      std::lock_guard lock(mutex_);
      if (queue_.empty()) break;
      entry = std::move(queue_.front());
      queue_.pop_front();
    }
    if (entry.kind == Entry::Kind::kQuit) return entry.quit_code;
    Dispatch(entry);
  }
  return std::nullopt;
}

void MessageLoop::Impl::Dispatch(Entry& entry) {
  if (entry.kind == Entry::Kind::kTask) {
    entry.task();
    entry.ticket.MarkRan();
    return;
  }
  std::shared_ptr<const WindowHandler> handler;
  {
    std::lock_guard lock(mutex_);
    auto it = windows_.find(entry.window);
    if (it == windows_.end()) return;  // window gone: the message is dropped
    handler = it->second;
  }
  (*handler)(entry.msg, entry.wparam, entry.lparam);
}

void MessageLoop::Impl::FireDueTimers() {
  std::vector<std::pair<Clock::Ticks, std::pair<TimerKey, std::uint64_t>>> due;
  {
    std::lock_guard lock(mutex_);
    const Clock::Ticks now = clock_.NowTicks();
    for (const auto& [key, timer] : timers_) {
      if (timer.next_due <= now) due.push_back({timer.next_due, {key, timer.generation}});
    }
  }
  std::sort(due.begin(), due.end());
  for (const auto& [when, id] : due) FireTimer(id.first, id.second);
}

void MessageLoop::Impl::FireTimer(const TimerKey& key, std::uint64_t generation) {
  std::shared_ptr<const TimerCallback> callback;
  {
    std::lock_guard lock(mutex_);
    auto it = timers_.find(key);
    // Killed or replaced by an earlier callback of this round.
    if (it == timers_.end() || it->second.generation != generation) return;
    callback = it->second.callback;
  }
  (*callback)(key.second);
  std::lock_guard lock(mutex_);
  auto it = timers_.find(key);
  if (it == timers_.end() || it->second.generation != generation) return;
  // Measured after the callback, so a slow one does not leave ticks behind
  // that would then fire in a burst.
  it->second.next_due = NextDueAfter(it->second, clock_.NowTicks());
}

void MessageLoop::Impl::SleepUntilWork() {
  std::stop_source source;
  milliseconds wait = kIdleWait;
  {
    std::lock_guard lock(mutex_);
    if (!queue_.empty()) return;
    const Clock::Ticks now = clock_.NowTicks();
    for (const auto& [key, timer] : timers_) wait = std::min(wait, timer.next_due - now);
    if (wait <= milliseconds::zero()) return;
    wake_ = source;
  }
  clock_.SleepFor(wait, source.get_token());
  std::lock_guard lock(mutex_);
  wake_.reset();
}

void MessageLoop::Impl::Quit(int code) {
  Entry entry;
  entry.kind = Entry::Kind::kQuit;
  entry.quit_code = code;
  std::optional<std::stop_source> wake;
  {
    std::lock_guard lock(mutex_);
    if (quit_queued_ || ended_) return;
    quit_queued_ = true;
    quit_code_ = code;
    queue_.push_back(std::move(entry));
    wake = wake_;
  }
  if (wake) wake->request_stop();
}

bool MessageLoop::Impl::Enqueue(Entry entry, bool needs_window) {
  std::optional<std::stop_source> wake;
  {
    std::lock_guard lock(mutex_);
    if (quit_queued_ || ended_) return false;
    if (needs_window && windows_.count(entry.window) == 0) return false;
    queue_.push_back(std::move(entry));
    wake = wake_;
  }
  // Outside the lock: the stop callback runs the clock's code.
  if (wake) wake->request_stop();
  return true;
}

bool MessageLoop::Impl::Invoke(const std::function<void()>& fn) {
  if (!fn) return false;
  if (IsUiThread()) {
    {
      std::lock_guard lock(mutex_);
      if (!running_) return false;
    }
    fn();
    return true;
  }
  auto state = std::make_shared<InvokeState>();
  Entry entry;
  entry.task = [&fn] { fn(); };
  entry.ticket = InvokeTicket(state);
  // The wait below must not touch the loop: it may be destroyed meanwhile.
  Clock& clock = clock_;
  if (!Enqueue(std::move(entry), false)) return false;
  while (!state->done.stop_requested()) clock.SleepFor(kIdleWait, state->done.get_token());
  return state->ran.load();
}

bool MessageLoop::Impl::RegisterWindow(WindowId window, WindowHandler handler) {
  if (window == 0 || !handler) return false;
  auto fresh = std::make_shared<const WindowHandler>(std::move(handler));
  std::lock_guard lock(mutex_);
  // The replaced handler dies with `fresh` after the lock is released.
  windows_[window].swap(fresh);
  return true;
}

bool MessageLoop::Impl::UnregisterWindow(WindowId window) {
  std::shared_ptr<const WindowHandler> handler;
  std::vector<Timer> timers;  // callbacks die after the lock is released
  std::lock_guard lock(mutex_);
  auto it = windows_.find(window);
  if (it == windows_.end()) return false;
  handler = std::move(it->second);
  windows_.erase(it);
  for (auto t = timers_.lower_bound({window, 0}); t != timers_.end() && t->first.first == window;) {
    timers.push_back(std::move(t->second));
    t = timers_.erase(t);
  }
  return true;
}

bool MessageLoop::Impl::SetTimer(WindowId window, TimerId timer_id, milliseconds interval, TimerCallback callback) {
  if (!callback) return false;
  Timer timer;
  timer.interval = std::max(interval, kMinTimerInterval);
  timer.callback = std::make_shared<const TimerCallback>(std::move(callback));
  std::optional<std::stop_source> wake;
  {
    std::lock_guard lock(mutex_);
    if (window != 0 && windows_.count(window) == 0) return false;
    timer.next_due = clock_.NowTicks() + timer.interval;
    timer.generation = next_generation_++;
    std::swap(timers_[{window, timer_id}], timer);  // old one dies below
    wake = wake_;
  }
  // The loop may be sleeping towards a later deadline.
  if (wake) wake->request_stop();
  return true;
}

bool MessageLoop::Impl::KillTimer(WindowId window, TimerId timer_id) {
  Timer killed;
  std::lock_guard lock(mutex_);
  auto it = timers_.find({window, timer_id});
  if (it == timers_.end()) return false;
  killed = std::move(it->second);
  timers_.erase(it);
  return true;
}

MessageLoop::MessageLoop(Clock& clock) : impl_(std::make_unique<Impl>(clock)) {}

MessageLoop::~MessageLoop() = default;

int MessageLoop::RunUntilQuit() { return impl_->RunUntilQuit(); }

void MessageLoop::Quit(int code) { impl_->Quit(code); }

bool MessageLoop::Post(std::function<void()> task) {
  if (!task) return false;
  Entry entry;
  entry.task = std::move(task);
  return impl_->Enqueue(std::move(entry), false);
}

bool MessageLoop::PostMessage(WindowId window, std::uint32_t msg, std::intptr_t wparam, std::intptr_t lparam) {
  Entry entry;
  entry.kind = Entry::Kind::kMessage;
  entry.window = window;
  entry.msg = msg;
  entry.wparam = wparam;
  entry.lparam = lparam;
  return impl_->Enqueue(std::move(entry), true);
}

bool MessageLoop::Invoke(const std::function<void()>& fn) { return impl_->Invoke(fn); }

bool MessageLoop::RegisterWindow(WindowId window, WindowHandler handler) {
  return impl_->RegisterWindow(window, std::move(handler));
}

bool MessageLoop::UnregisterWindow(WindowId window) { return impl_->UnregisterWindow(window); }

bool MessageLoop::SetTimer(WindowId window, TimerId timer_id, std::chrono::milliseconds interval,
                           TimerCallback callback) {
  return impl_->SetTimer(window, timer_id, interval, std::move(callback));
}

bool MessageLoop::KillTimer(WindowId window, TimerId timer_id) { return impl_->KillTimer(window, timer_id); }

bool MessageLoop::IsUiThread() const { return impl_->IsUiThread(); }

}  // namespace oru::ui
