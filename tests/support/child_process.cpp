#include "support/child_process.h"

#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

extern char** environ;

namespace oru::testing {
namespace {

std::string ReadAll(const std::string& path) {
  if (path.empty()) return {};
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

std::vector<std::string> MergedEnvironment(const std::map<std::string, std::string>& extra) {
  std::map<std::string, std::string> merged;
  for (char** e = environ; *e != nullptr; ++e) {
    std::string entry = *e;
    size_t eq = entry.find('=');
    if (eq != std::string::npos) merged[entry.substr(0, eq)] = entry.substr(eq + 1);
  }
  for (const auto& [k, v] : extra) merged[k] = v;
  std::vector<std::string> out;
  for (const auto& [k, v] : merged) out.push_back(k + "=" + v);
  return out;
}

}  // namespace

ChildProcess::ChildProcess(const ChildOptions& options) {
  static int serial = 0;
  if (!options.output_dir.empty()) {
    std::string base = options.output_dir + "/child-" + std::to_string(getpid()) + "-" + std::to_string(++serial);
    stdout_path_ = base + ".out";
    stderr_path_ = base + ".err";
  }
  std::vector<std::string> env = MergedEnvironment(options.env);
  std::vector<char*> argv_ptrs;
  for (const auto& a : options.argv) argv_ptrs.push_back(const_cast<char*>(a.c_str()));
  argv_ptrs.push_back(nullptr);
  std::vector<char*> env_ptrs;
  for (const auto& e : env) env_ptrs.push_back(const_cast<char*>(e.c_str()));
  env_ptrs.push_back(nullptr);

  pid_ = fork();
  if (pid_ != 0) return;
  // Child: only async-signal-safe calls from here on.
  if (!stdout_path_.empty()) {
    int out = open(stdout_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
    int err = open(stderr_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
    dup2(out, 1);
    dup2(err, 2);
  }
  if (options.run_as_uid) {
    gid_t gid = *options.run_as_uid;
    if (setgroups(0, nullptr) != 0 || setgid(gid) != 0 || setuid(*options.run_as_uid) != 0) _exit(126);
  }
  execve(argv_ptrs[0], argv_ptrs.data(), env_ptrs.data());
  _exit(127);
}

ChildProcess::~ChildProcess() {
  if (pid_ > 0 && !status_) {
    kill(pid_, SIGKILL);
    Wait(std::chrono::seconds(10));
  }
}

void ChildProcess::Signal(int signo) {
  if (pid_ > 0 && !status_) kill(pid_, signo);
}

std::optional<int> ChildProcess::Wait(std::chrono::milliseconds timeout) {
  if (status_ || pid_ <= 0) return status_;
  auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    int raw = 0;
    pid_t r = waitpid(pid_, &raw, WNOHANG);
    if (r == pid_) {
      status_ = WIFEXITED(raw) ? WEXITSTATUS(raw) : -WTERMSIG(raw);
      return status_;
    }
    if (std::chrono::steady_clock::now() >= deadline) return std::nullopt;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

std::string ChildProcess::Stdout() const { return ReadAll(stdout_path_); }
std::string ChildProcess::Stderr() const { return ReadAll(stderr_path_); }

bool WaitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

}  // namespace oru::testing
