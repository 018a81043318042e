#include "product_server/listener.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <signal.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

namespace oru::product_server {
namespace {

thread_local const RequestHead* t_current_head = nullptr;

// How long one wait lasts before the stop flag is looked at again.
constexpr int kPollSliceMs = 50;
// Longest request head read ahead of the library.
constexpr size_t kMaxHeadBytes = 64 * 1024;

// A peer that went away must not kill the process: writes on this thread
// get EPIPE instead of SIGPIPE (OpenSSL writes without MSG_NOSIGNAL).
void BlockSigpipeOnThisThread() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

// Consumes a SIGPIPE left pending on this thread by a failed write.
void DrainPendingSigpipe() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGPIPE);
  timespec zero{0, 0};
  while (sigtimedwait(&set, nullptr, &zero) == SIGPIPE) {
  }
}

void Describe(const sockaddr_storage& address, std::string& ip, int& port) {
  char text[INET6_ADDRSTRLEN] = {};
  if (address.ss_family == AF_INET) {
    const auto* v4 = reinterpret_cast<const sockaddr_in*>(&address);
    inet_ntop(AF_INET, &v4->sin_addr, text, sizeof(text));
    port = ntohs(v4->sin_port);
  } else if (address.ss_family == AF_INET6) {
    const auto* v6 = reinterpret_cast<const sockaddr_in6*>(&address);
    inet_ntop(AF_INET6, &v6->sin6_addr, text, sizeof(text));
    port = ntohs(v6->sin6_port);
  }
  ip = text;
}

bool EqualsNoCase(const std::string& a, const char* b) {
  return a.size() == std::strlen(b) && strncasecmp(a.data(), b, a.size()) == 0;
}

std::string Trim(const std::string& text) {
  size_t first = text.find_first_not_of(" \t");
  if (first == std::string::npos) return {};
  size_t last = text.find_last_not_of(" \t\r");
  return text.substr(first, last - first + 1);
}

// One accepted connection (plain or TLS) as the library's stream.
class Connection final : public httplib::Stream {
 public:
  Connection(int fd, SSL* ssl, const std::atomic<bool>& stopping, std::chrono::milliseconds timeout)
      : fd_(fd), ssl_(ssl), stopping_(stopping), timeout_(timeout) {}

  bool is_readable() const override {
    return pos_ < buffered_.size() || (ssl_ != nullptr && SSL_pending(ssl_) > 0) || Wait(POLLIN);
  }
  bool is_writable() const override { return Wait(POLLOUT); }

  ssize_t read(char* ptr, size_t size) override {
    if (pos_ < buffered_.size()) {
      size_t n = std::min(size, buffered_.size() - pos_);
      std::memcpy(ptr, buffered_.data() + pos_, n);
      pos_ += n;
      return static_cast<ssize_t>(n);
    }
    return Receive(ptr, size);
  }

  ssize_t write(const char* ptr, size_t size) override {
    size_t sent = 0;
    while (sent < size) {
      ssize_t n = SendSome(ptr + sent, size - sent);
      if (n <= 0) return -1;
      sent += static_cast<size_t>(n);
    }
    return static_cast<ssize_t>(size);
  }

  void get_remote_ip_and_port(std::string& ip, int& port) const override {
    sockaddr_storage address{};
    socklen_t length = sizeof(address);
    if (getpeername(fd_, reinterpret_cast<sockaddr*>(&address), &length) == 0) Describe(address, ip, port);
  }
  void get_local_ip_and_port(std::string& ip, int& port) const override {
    sockaddr_storage address{};
    socklen_t length = sizeof(address);
    if (getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length) == 0) Describe(address, ip, port);
  }
  socket_t socket() const override { return fd_; }

  // Reads the request head, records its header lines in order and hands
  // the library the same head without its Range lines.
  void ReadHead(RequestHead& head);

  // Waits (in slices, watching the stop flag) until `events` are possible;
  // false on stop, timeout or a dead socket.
  bool Wait(short events) const;

 private:
  ssize_t Receive(char* ptr, size_t size);
  ssize_t SendSome(const char* ptr, size_t size);
  // After a TLS call that did not finish: waits for what it needs.
  bool WaitForTls(int result) const;

  int fd_;
  SSL* ssl_;
  const std::atomic<bool>& stopping_;
  std::chrono::milliseconds timeout_;
  std::string buffered_;  // read ahead: the head and whatever followed it
  size_t pos_ = 0;
};

bool Connection::Wait(short events) const {
  auto deadline = std::chrono::steady_clock::now() + timeout_;
  while (!stopping_.load()) {
    pollfd p{fd_, events, 0};
    int ready = poll(&p, 1, kPollSliceMs);
    if (ready > 0) return (p.revents & (events | POLLHUP | POLLERR)) != 0;
    if (ready < 0 && errno != EINTR) return false;
    if (std::chrono::steady_clock::now() >= deadline) return false;
  }
  return false;
}

bool Connection::WaitForTls(int result) const {
  int error = SSL_get_error(ssl_, result);
  if (error == SSL_ERROR_WANT_READ) return Wait(POLLIN);
  if (error == SSL_ERROR_WANT_WRITE) return Wait(POLLOUT);
  return false;
}

ssize_t Connection::Receive(char* ptr, size_t size) {
  for (;;) {
    if (ssl_ != nullptr) {
      int n = SSL_read(ssl_, ptr, static_cast<int>(std::min<size_t>(size, 1 << 20)));
      if (n > 0) return n;
      if (SSL_get_error(ssl_, n) == SSL_ERROR_ZERO_RETURN) return 0;
      if (!WaitForTls(n)) return -1;
      continue;
    }
    ssize_t n = ::recv(fd_, ptr, size, 0);
    if (n >= 0) return n;
    if (errno == EINTR) continue;
    if ((errno != EAGAIN && errno != EWOULDBLOCK) || !Wait(POLLIN)) return -1;
  }
}

ssize_t Connection::SendSome(const char* ptr, size_t size) {
  for (;;) {
    if (ssl_ != nullptr) {
      int n = SSL_write(ssl_, ptr, static_cast<int>(std::min<size_t>(size, 1 << 20)));
      if (n > 0) return n;
      if (!WaitForTls(n)) return -1;
      continue;
    }
    ssize_t n = ::send(fd_, ptr, size, MSG_NOSIGNAL);
    if (n >= 0) return n;
    if (errno == EINTR) continue;
    if ((errno != EAGAIN && errno != EWOULDBLOCK) || !Wait(POLLOUT)) return -1;
  }
}

// Index just past the blank line that ends a request head; npos when the
// head is not complete yet. Bare "\n" line ends are accepted too.
size_t HeadEnd(const std::string& raw) {
  size_t crlf = raw.find("\r\n\r\n");
  size_t lf = raw.find("\n\n");
  return std::min(crlf == std::string::npos ? crlf : crlf + 4, lf == std::string::npos ? lf : lf + 2);
}

void Connection::ReadHead(RequestHead& head) {
  std::string raw;
  size_t body_at = std::string::npos;
  while ((body_at = HeadEnd(raw)) == std::string::npos && raw.size() < kMaxHeadBytes) {
    char chunk[4096];
    ssize_t n = Receive(chunk, sizeof(chunk));
    if (n <= 0) break;
    raw.append(chunk, static_cast<size_t>(n));
  }
  if (body_at == std::string::npos) {
    buffered_ = std::move(raw);  // not a complete head: the library answers it
    return;
  }
  size_t first_end = raw.find('\n');
  std::string rebuilt = raw.substr(0, first_end);
  if (!rebuilt.empty() && rebuilt.back() == '\r') rebuilt.pop_back();
  rebuilt += "\r\n";  // the library wants CRLF line ends
  for (size_t at = first_end + 1; at < body_at;) {
    size_t line_end = raw.find('\n', at);
    std::string line = raw.substr(at, line_end - at);
    at = line_end + 1;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty()) continue;
    size_t colon = line.find(':');
    if (colon != std::string::npos) {
      std::string name = line.substr(0, colon);
      std::string value = Trim(line.substr(colon + 1));
      head.headers.emplace_back(name, value);
      if (EqualsNoCase(name, "Range")) {
        if (head.range.empty()) head.range = value;
        continue;
      }
      // The library would take a form body apart itself (and answer 400
      // before any handler for a boundary it dislikes); the upload services
      // read the raw body with the header from `head`.
      if (EqualsNoCase(name, "Content-Type") && EqualsNoCase(value.substr(0, 10), "multipart/")) continue;
    }
    rebuilt += line + "\r\n";
  }
  buffered_ = rebuilt + "\r\n" + raw.substr(body_at);
}

bool SetNonBlocking(int fd) {
  int flags = fcntl(fd, F_GETFL, 0);
  return flags >= 0 && fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

// The TLS handshake on a non-blocking socket, bounded like every other wait.
bool Handshake(SSL* ssl, const Connection& connection) {
  for (;;) {
    int result = SSL_accept(ssl);
    if (result == 1) return true;
    int error = SSL_get_error(ssl, result);
    bool ready = error == SSL_ERROR_WANT_READ    ? connection.Wait(POLLIN)
                 : error == SSL_ERROR_WANT_WRITE ? connection.Wait(POLLOUT)
                                                 : false;
    if (!ready) return false;
  }
}

}  // namespace

Listener::Listener(SSL_CTX* tls, const std::atomic<bool>& stopping, std::chrono::milliseconds io_timeout)
    : tls_(tls), stopping_(stopping), io_timeout_(io_timeout) {}

const RequestHead* Listener::Current() { return t_current_head; }

bool Listener::process_and_close_socket(socket_t sock) {
  BlockSigpipeOnThisThread();
  SSL* ssl = nullptr;
  bool ready = SetNonBlocking(sock);
  if (ready && tls_ != nullptr) {
    ssl = SSL_new(tls_);
    ready = ssl != nullptr && SSL_set_fd(ssl, sock) == 1;
  }
  bool served = false;
  {
    Connection connection(sock, ssl, stopping_, io_timeout_);
    if (ready && ssl != nullptr) ready = Handshake(ssl, connection);
    if (ready) {
      RequestHead head;
      connection.ReadHead(head);
      t_current_head = &head;
      bool closed = true;
      // Ranges are ours to answer (see RequestHead::range).
      served = process_request(connection, true, closed, [](httplib::Request& req) { req.ranges.clear(); });
      t_current_head = nullptr;
    }
  }
  if (ssl != nullptr) {
    SSL_shutdown(ssl);
    SSL_free(ssl);
  }
  ::shutdown(sock, SHUT_RDWR);
  ::close(sock);
  DrainPendingSigpipe();
  return served;
}

}  // namespace oru::product_server
