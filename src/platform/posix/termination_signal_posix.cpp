#include "platform/termination_signal.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

namespace oru {
namespace {

// The handler may only touch this descriptor (async-signal-safe write).
std::atomic<int> g_signal_pipe_write{-1};

void OnTerminationSignal(int signo) {
  int saved = errno;
  int fd = g_signal_pipe_write.load();
  if (fd >= 0) {
    unsigned char byte = static_cast<unsigned char>(signo);
    ssize_t ignored = ::write(fd, &byte, 1);
    (void)ignored;
  }
  errno = saved;
}

bool InstallHandler(int signo) {
  struct sigaction action{};
  action.sa_handler = &OnTerminationSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  return ::sigaction(signo, &action, nullptr) == 0;
}

void RestoreDefault(int signo) {
  struct sigaction action{};
  action.sa_handler = SIG_DFL;
  sigemptyset(&action.sa_mask);
  ::sigaction(signo, &action, nullptr);
}

}  // namespace

TerminationSignalWatcher::TerminationSignalWatcher(std::function<void(int)> on_signal)
    : on_signal_(std::move(on_signal)) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) return;
  pipe_read_ = fds[0];
  stop_fd_ = ::eventfd(0, EFD_CLOEXEC);
  if (stop_fd_ < 0) {
    ::close(fds[1]);
    return;
  }
  g_signal_pipe_write.store(fds[1]);
  ok_ = InstallHandler(SIGINT) && InstallHandler(SIGTERM);
  thread_ = std::thread([this] { Run(); });
}

TerminationSignalWatcher::~TerminationSignalWatcher() {
  RestoreDefault(SIGINT);
  RestoreDefault(SIGTERM);
  if (thread_.joinable()) {
    uint64_t one = 1;
    ssize_t ignored = ::write(stop_fd_, &one, sizeof one);
    (void)ignored;
    thread_.join();
  }
  int write_end = g_signal_pipe_write.exchange(-1);
  if (write_end >= 0) ::close(write_end);
  if (pipe_read_ >= 0) ::close(pipe_read_);
  if (stop_fd_ >= 0) ::close(stop_fd_);
}

void TerminationSignalWatcher::Run() {
  for (;;) {
    pollfd fds[2] = {{pipe_read_, POLLIN, 0}, {stop_fd_, POLLIN, 0}};
    int n = ::poll(fds, 2, -1);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 || (fds[1].revents & POLLIN)) return;
    unsigned char signo = 0;
    while (::read(pipe_read_, &signo, 1) == 1) {
      if (on_signal_) on_signal_(signo);
    }
  }
}

}  // namespace oru
