#include "platform/single_instance.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <system_error>
#include <thread>
#include <utility>

#include "common/log.h"

namespace oru {
namespace {

using std::chrono::milliseconds;

constexpr std::string_view kActivateMessage = "activate\n";
constexpr std::string_view kAcknowledgement = "ok\n";
constexpr size_t kMaxReadablePart = 48;
constexpr size_t kMaxMessage = 64;
// How long the listener gives one connected client to say something: a
// silent client must not block later starts for long.
constexpr milliseconds kClientDeadline{1000};

class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  UniqueFd(UniqueFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) Reset(std::exchange(other.fd_, -1));
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd() { Reset(); }

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  void Reset(int fd = -1) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }

 private:
  int fd_ = -1;
};

std::string ErrnoText(std::string_view what, int err) {
  return std::string(what) + ": " + std::generic_category().message(err);
}

// FNV-1a, 64 bits: stable across builds and versions, so that every copy of
// the installer maps a name to the same file.
std::uint64_t Fnv1a64(std::string_view data, std::uint64_t basis = 0xcbf29ce484222325ull) {
  std::uint64_t hash = basis;
  for (unsigned char c : data) {
    hash ^= c;
    hash *= 0x100000001b3ull;
  }
  return hash;
}

std::string Hex16(std::uint64_t value) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string text(16, '0');
  for (int i = 15; i >= 0; --i, value >>= 4) text[static_cast<size_t>(i)] = kDigits[value & 0xf];
  return text;
}

bool IsKeptCharacter(unsigned char c, bool at_start) {
  if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) return true;
  if (c == '_' || c == '-') return true;
  return c == '.' && !at_start;  // no hidden file, no "." or ".."
}

std::string ReadablePart(std::string_view name) {
  std::string part;
  bool last_replaced = false;
  for (unsigned char c : name) {
    if (part.size() >= kMaxReadablePart) break;
    if (IsKeptCharacter(c, part.empty())) {
      part.push_back(static_cast<char>(c));
      last_replaced = false;
    } else if (!last_replaced) {
      part.push_back('_');  // one "_" for a run of replaced bytes
      last_replaced = true;
    }
  }
  return part.empty() ? "instance" : part;
}

std::string LockPath(const std::string& folder, std::string_view instance_name) {
  std::error_code ec;
  std::filesystem::path canonical = std::filesystem::weakly_canonical(std::filesystem::absolute(folder, ec), ec);
  if (ec) canonical = std::filesystem::path(folder).lexically_normal();
  return (canonical / InstanceLockFileName(instance_name)).string();
}

socklen_t AbstractAddress(const std::string& lock_path, sockaddr_un* address) {
  const std::string name = ActivationSocketName(lock_path);
  std::memset(address, 0, sizeof(*address));
  address->sun_family = AF_UNIX;
  std::memcpy(address->sun_path + 1, name.data(), name.size());  // sun_path[0] = 0: abstract
  return static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
}

// The other end may be this user or root; anyone else is ignored.
bool PeerIsTrusted(int fd, std::string* error) {
  ucred credentials{};
  socklen_t length = sizeof(credentials);
  if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &length) != 0) {
    *error = ErrnoText("getsockopt(SO_PEERCRED)", errno);
    return false;
  }
  if (credentials.uid == ::geteuid() || credentials.uid == 0) return true;
  *error = "peer belongs to uid " + std::to_string(credentials.uid);
  return false;
}

// Waits for `fd` to become readable. Returns 1 when readable, 0 on timeout
// or when `wake_fd` fired, -1 on error.
int WaitReadable(int fd, int wake_fd, milliseconds timeout) {
  pollfd fds[2] = {{fd, POLLIN, 0}, {wake_fd, POLLIN, 0}};
  const nfds_t count = wake_fd >= 0 ? 2 : 1;
  for (;;) {
    const int rc = ::poll(fds, count, static_cast<int>(timeout.count()));
    if (rc < 0 && errno == EINTR) continue;
    if (rc < 0) return -1;
    if (rc == 0 || (count == 2 && fds[1].revents != 0)) return 0;
    return 1;
  }
}

// Reads up to `limit` bytes or the first line, until `deadline`. Returns what
// arrived (possibly cut short).
std::string ReadLine(int fd, int wake_fd, std::chrono::steady_clock::time_point deadline, size_t limit) {
  std::string text;
  while (text.size() < limit && (text.empty() || text.back() != '\n')) {
    const auto left = std::chrono::duration_cast<milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left <= milliseconds::zero() || WaitReadable(fd, wake_fd, left) != 1) break;
    char buffer[kMaxMessage];
    const ssize_t n = ::recv(fd, buffer, std::min(sizeof(buffer), limit - text.size()), 0);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (n <= 0) break;
    text.append(buffer, static_cast<size_t>(n));
  }
  return text;
}

bool Fail(std::string* error, std::string text) {
  *error = std::move(text);
  return false;
}

bool SendAll(int fd, std::string_view data) {
  while (!data.empty()) {
    const ssize_t n = ::send(fd, data.data(), data.size(), MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

class PosixInstanceLock final : public InstanceLock {
 public:
  PosixInstanceLock(UniqueFd lock_fd, std::string path) : lock_fd_(std::move(lock_fd)), path_(std::move(path)) {}
  ~PosixInstanceLock() override { Close(); }

  bool StartListening(std::function<void()> on_activate, std::string* error) override;
  void Close() override;
  const std::string& path() const override { return path_; }

 private:
  void ListenLoop();
  void ServeClient(UniqueFd client);

  UniqueFd lock_fd_;
  std::string path_;
  UniqueFd listen_fd_;
  UniqueFd wake_fd_;
  std::function<void()> on_activate_;
  std::thread listener_;
};

bool PosixInstanceLock::StartListening(std::function<void()> on_activate, std::string* error) {
  std::string ignored;
  if (error == nullptr) error = &ignored;
  if (!lock_fd_.valid()) return Fail(error, "the instance lock is closed");
  if (listener_.joinable()) return Fail(error, "already listening");
  UniqueFd socket_fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (!socket_fd.valid()) return Fail(error, ErrnoText("socket", errno));
  sockaddr_un address;
  const socklen_t length = AbstractAddress(path_, &address);
  if (::bind(socket_fd.get(), reinterpret_cast<const sockaddr*>(&address), length) != 0) {
    const int err = errno;  // before the text is built
    return Fail(error, ErrnoText("bind @" + ActivationSocketName(path_), err));
  }
  if (::listen(socket_fd.get(), 8) != 0) return Fail(error, ErrnoText("listen", errno));
  UniqueFd wake(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
  if (!wake.valid()) return Fail(error, ErrnoText("eventfd", errno));
  listen_fd_ = std::move(socket_fd);
  wake_fd_ = std::move(wake);
  on_activate_ = std::move(on_activate);
  listener_ = std::thread([this] { ListenLoop(); });
  return true;
}

void PosixInstanceLock::Close() {
  if (listener_.joinable()) {
    const std::uint64_t one = 1;
    // An eventfd write of 8 bytes cannot be short; if it fails the thread
    // cannot be woken, which would be a broken kernel.
    [[maybe_unused]] const ssize_t n = ::write(wake_fd_.get(), &one, sizeof(one));
    listener_.join();
  }
  listen_fd_.Reset();
  wake_fd_.Reset();
  on_activate_ = nullptr;
  lock_fd_.Reset();  // releases the flock; the file stays (unlinking races)
}

void PosixInstanceLock::ListenLoop() {
  for (;;) {
    const int ready = WaitReadable(listen_fd_.get(), wake_fd_.get(), milliseconds(-1));
    if (ready == 0) return;  // woken by Close
    if (ready < 0) {
      Log(kLogWarn, "[WARN] single instance: %s", ErrnoText("poll", errno).c_str());
      return;
    }
    const int client = ::accept4(listen_fd_.get(), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (client >= 0) {
      ServeClient(UniqueFd(client));
      continue;
    }
    if (errno == EINTR || errno == EAGAIN || errno == ECONNABORTED || errno == EPROTO) continue;
    // EMFILE and the like would make poll report the socket ready forever.
    Log(kLogWarn, "[WARN] single instance: %s", ErrnoText("accept", errno).c_str());
    return;
  }
}

void PosixInstanceLock::ServeClient(UniqueFd client) {
  const auto deadline = std::chrono::steady_clock::now() + kClientDeadline;
  const std::string message = ReadLine(client.get(), wake_fd_.get(), deadline, kMaxMessage);
  if (message != kActivateMessage) return;
  std::string why;
  if (!PeerIsTrusted(client.get(), &why)) {
    Log(kLogWarn, "[WARN] single instance: activation refused, %s", why.c_str());
    return;
  }
  if (on_activate_) on_activate_();
  SendAll(client.get(), kAcknowledgement);
}

}  // namespace

std::string InstanceLockFileName(std::string_view instance_name) {
  return ReadablePart(instance_name) + "-" + Hex16(Fnv1a64(instance_name)) + ".lock";
}

std::string ActivationSocketName(const std::string& lock_path) {
  // Two differently seeded hashes: 128 bits keep unrelated folders apart.
  const std::uint64_t first = Fnv1a64(lock_path);
  return "oru-instance-" + Hex16(first) + Hex16(Fnv1a64(lock_path, first));
}

InstanceLockResult AcquireInstanceLock(const std::string& folder, std::string_view instance_name) {
  InstanceLockResult result;
  const std::string path = LockPath(folder, instance_name);
  // 0600: another user could otherwise open the file and hold the lock.
  UniqueFd fd(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600));
  if (!fd.valid()) {
    const int err = errno;
    result.error = ErrnoText("open " + path, err);
    return result;
  }
  int rc = 0;
  do {
    rc = ::flock(fd.get(), LOCK_EX | LOCK_NB);
  } while (rc != 0 && errno == EINTR);
  // Another open file description holds it: another process, or another
  // InstanceLock of this process.
  if (rc != 0 && errno == EWOULDBLOCK) {
    result.status = InstanceLockStatus::kAlreadyRunning;
    return result;
  }
  if (rc != 0) {
    const int err = errno;
    result.error = ErrnoText("flock " + path, err);
    return result;
  }
  result.status = InstanceLockStatus::kAcquired;
  result.lock = std::make_unique<PosixInstanceLock>(std::move(fd), path);
  return result;
}

ActivateResult ActivateRunningInstance(const std::string& folder, std::string_view instance_name,
                                       milliseconds timeout) {
  ActivateResult result;
  const std::string path = LockPath(folder, instance_name);
  // Non-blocking: a full backlog gives EAGAIN instead of a hang.
  UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (!fd.valid()) return {ActivateStatus::kFailed, ErrnoText("socket", errno)};
  sockaddr_un address;
  const socklen_t length = AbstractAddress(path, &address);
  if (::connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), length) != 0) {
    const int err = errno;
    const ActivateStatus status = err == ECONNREFUSED ? ActivateStatus::kNoListener : ActivateStatus::kFailed;
    return {status, ErrnoText("connect @" + ActivationSocketName(path), err)};
  }
  if (!PeerIsTrusted(fd.get(), &result.error)) return result;
  if (!SendAll(fd.get(), kActivateMessage)) return {ActivateStatus::kFailed, ErrnoText("send", errno)};
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  const std::string answer = ReadLine(fd.get(), -1, deadline, kAcknowledgement.size());
  if (answer != kAcknowledgement) return {ActivateStatus::kFailed, "no acknowledgement from the running instance"};
  return {ActivateStatus::kAcknowledged, ""};
}

}  // namespace oru
