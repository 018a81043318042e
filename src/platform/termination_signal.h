#pragma once
// The console's way of closing the window: SIGINT (Ctrl-C) and SIGTERM.

#include <functional>
#include <thread>

namespace oru {

// While it exists, SIGINT and SIGTERM no longer kill the process: each one
// calls `on_signal(signal number)` on a thread owned by this object. Only one
// watcher may exist at a time. The destructor restores the default actions
// and joins its thread. Not copyable.
class TerminationSignalWatcher {
 public:
  explicit TerminationSignalWatcher(std::function<void(int)> on_signal);
  ~TerminationSignalWatcher();
  TerminationSignalWatcher(const TerminationSignalWatcher&) = delete;
  TerminationSignalWatcher& operator=(const TerminationSignalWatcher&) = delete;

  // False when the signal handlers could not be installed.
  bool ok() const { return ok_; }

 private:
  void Run();

  std::function<void(int)> on_signal_;
  int pipe_read_ = -1;
  int stop_fd_ = -1;
  bool ok_ = false;
  std::thread thread_;
};

}  // namespace oru
