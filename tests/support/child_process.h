#pragma once
// Real child processes for end-to-end tests: start a program with its own
// argv and environment (optionally as another user), collect its output,
// wait for it with a bound, signal it.

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace oru::testing {

struct ChildOptions {
  std::vector<std::string> argv;                // argv[0] is the program path
  std::map<std::string, std::string> env;       // added to (or replacing in) the current environment
  std::optional<unsigned> run_as_uid;           // needs root; gid set to the same number
  std::string output_dir;                       // stdout/stderr go to files here when set
};

class ChildProcess {
 public:
  explicit ChildProcess(const ChildOptions& options);
  ~ChildProcess();  // kills and reaps a child still running
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  bool started() const { return pid_ > 0; }
  pid_t pid() const { return pid_; }
  void Signal(int signo);
  // Exit status (0..255) once it ended, -(signal) when killed by a signal,
  // nullopt when still running after `timeout`.
  std::optional<int> Wait(std::chrono::milliseconds timeout = std::chrono::seconds(20));
  std::string Stdout() const;
  std::string Stderr() const;

 private:
  pid_t pid_ = -1;
  std::optional<int> status_;
  std::string stdout_path_;
  std::string stderr_path_;
};

// Polls `condition` every few milliseconds until it holds or `timeout` passes.
bool WaitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout = std::chrono::seconds(20));

}  // namespace oru::testing
