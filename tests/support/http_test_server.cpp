#include "support/http_test_server.h"

#include <httplib.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <strings.h>
#include <sys/socket.h>
#include <thread>

namespace oru::testing {
namespace {

constexpr int64_t kChunk = 64 * 1024;
constexpr int kBindTries = 20;

bool EqualsNoCase(const std::string& a, const std::string& b) {
  return a.size() == b.size() && strncasecmp(a.data(), b.data(), a.size()) == 0;
}

bool PathMatches(const std::string& pattern, const std::string& path) {
  if (pattern.empty()) return true;
  if (pattern.back() == '*') return path.compare(0, pattern.size() - 1, pattern, 0, pattern.size() - 1) == 0;
  return pattern == path;
}

bool MethodMatches(const std::string& wanted, const std::string& method) {
  if (wanted.empty() || wanted == method) return true;
  return wanted == "GET" && method == "HEAD";
}

// Where the bytes of a file or a handler's answer come from.
struct Source {
  std::shared_ptr<const std::string> memory;
  std::string disk_path;
  int64_t size = 0;
};

// A byte range the client asked for; `valid` false means "unsatisfiable".
struct ByteRange {
  int64_t first = 0;
  int64_t last = -1;
  bool valid = true;
};

bool ParseNumber(const std::string& text, int64_t* out) {
  if (text.empty() || text.size() > 18) return false;
  int64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + (c - '0');
  }
  *out = value;
  return true;
}

// One range of "bytes=a-b", "bytes=a-", "bytes=-n" against `size`; nullopt
// when the header is absent, not a single bytes range (then the whole body
// is sent), or malformed.
std::optional<ByteRange> ParseRange(const std::string& header, int64_t size) {
  const std::string prefix = "bytes=";
  if (header.compare(0, prefix.size(), prefix) != 0) return std::nullopt;
  std::string text = header.substr(prefix.size());
  text.erase(std::remove(text.begin(), text.end(), ' '), text.end());
  size_t dash = text.find('-');
  if (text.find(',') != std::string::npos || dash == std::string::npos) return std::nullopt;
  std::string a = text.substr(0, dash), b = text.substr(dash + 1);
  ByteRange r;
  int64_t x = 0, y = 0;
  if (a.empty()) {  // suffix: the last n bytes
    if (!ParseNumber(b, &y)) return std::nullopt;
    if (y == 0 || size == 0) return ByteRange{0, -1, false};
    r.first = std::max<int64_t>(0, size - y);
    r.last = size - 1;
    return r;
  }
  if (!ParseNumber(a, &x)) return std::nullopt;
  if (!b.empty() && !ParseNumber(b, &y)) return std::nullopt;
  if (!b.empty() && y < x) return ByteRange{0, -1, false};
  if (x >= size) return ByteRange{0, -1, false};
  r.first = x;
  r.last = b.empty() ? size - 1 : std::min(y, size - 1);
  return r;
}

HttpRequest ConvertRequest(const httplib::Request& req) {
  HttpRequest out;
  out.method = req.method;
  out.path = req.path;
  out.target = req.target;
  out.params.insert(req.params.begin(), req.params.end());
  for (const auto& [k, v] : req.headers) out.headers.emplace_back(k, v);
  out.body = req.body;
  for (const auto& [name, file] : req.files) {
    out.form_parts.push_back(FormPart{file.name, file.filename, file.content_type, file.content});
  }
  out.local_address = req.local_addr;
  out.local_port = static_cast<uint16_t>(req.local_port);
  out.remote_address = req.remote_addr;
  out.remote_port = static_cast<uint16_t>(req.remote_port);
  return out;
}

}  // namespace

std::string HttpRequest::Header(const std::string& name) const {
  for (const auto& [k, v] : headers) {
    if (EqualsNoCase(k, name)) return v;
  }
  return {};
}

bool HttpRequest::HasHeader(const std::string& name) const {
  return std::any_of(headers.begin(), headers.end(), [&](const auto& h) { return EqualsNoCase(h.first, name); });
}

std::string HttpRequest::Param(const std::string& name) const {
  auto it = params.find(name);
  return it == params.end() ? std::string() : it->second;
}

struct HttpTestServer::Impl {
  struct HandlerEntry {
    std::string method;
    std::string path;
    HttpHandler handler;
  };
  struct RuleEntry {
    int id = 0;
    FaultRule rule;
  };
  struct Decision {
    Fault fault;
    int fault_id = 0;
    uint64_t seq = 0;
    HttpHandler handler;
    std::optional<Source> file;
  };

  HttpServerOptions options;
  std::string error;
  uint16_t port = 0;
  bool ok = false;
  std::vector<std::unique_ptr<httplib::Server>> servers;
  std::vector<std::thread> threads;

  mutable std::mutex mu;
  mutable std::condition_variable cv;
  std::map<std::string, Source> files;
  std::vector<HandlerEntry> handlers;
  std::vector<RuleEntry> rules;
  int next_rule_id = 1;
  std::vector<std::pair<uint64_t, RequestRecord>> log;
  uint64_t next_seq = 1;
  int stalled = 0;
  uint64_t release_generation = 0;
  bool stopping = false;

  bool Start();
  bool BindAll(int first_port);
  void DiscardServers();
  void StopAll();
  void Dispatch(const httplib::Request& req, httplib::Response& res, const std::string& address);
  Decision Decide(const HttpRequest& request, const std::string& address);
  void SetLoggedStatus(uint64_t seq, int status);
  void AnswerFile(const HttpRequest& request, const Source& file, const Decision& d, httplib::Response& res);
  void SetBody(httplib::Response& res, const Source& src, int64_t offset, int64_t length, int64_t backed,
               const std::string& content_type, const Fault& fault);
  // Real-time wait that ends early (false) when the server stops.
  bool WaitFor(std::chrono::milliseconds d);
  // Holds a stalled connection until released (true) or stopping (false).
  bool HoldStall();
};

namespace {

// Streams one answer's body, applying the body faults. Called by httplib on
// one worker thread, with `sent` = bytes of this body sent so far.
class BodyStream {
 public:
  BodyStream(HttpTestServer::Impl* impl, Source src, int64_t offset, int64_t backed, Fault fault)
      : impl_(impl), src_(std::move(src)), offset_(offset), backed_(backed), fault_(std::move(fault)) {}

  bool Provide(int64_t sent, int64_t wanted, httplib::DataSink& sink) {
    if (fault_.drop_after && sent >= *fault_.drop_after) return false;
    if (fault_.stall_after && !stalled_ && sent >= *fault_.stall_after) {
      stalled_ = true;
      if (!impl_->HoldStall()) return false;
    }
    if (sent >= backed_) return false;  // announced more than there is
    int64_t n = std::min({wanted, kChunk, backed_ - sent});
    if (fault_.drop_after) n = std::min(n, *fault_.drop_after - sent);
    if (fault_.stall_after && !stalled_) n = std::min(n, *fault_.stall_after - sent);
    if (fault_.bytes_per_second > 0) {
      n = std::min(n, std::max<int64_t>(1, fault_.bytes_per_second / 20));
      if (!impl_->WaitFor(std::chrono::milliseconds(n * 1000 / fault_.bytes_per_second))) return false;
    }
    buffer_.resize(static_cast<size_t>(n));
    if (!Read(offset_ + sent, n)) return false;
    if (fault_.garbage) {
      for (char& c : buffer_) c = static_cast<char>(~c);
    }
    return sink.write(buffer_.data(), buffer_.size());
  }

 private:
  bool Read(int64_t at, int64_t n) {
    if (src_.memory) {
      std::copy_n(src_.memory->data() + at, n, buffer_.data());
      return true;
    }
    if (!in_.is_open()) in_.open(src_.disk_path, std::ios::binary);
    in_.clear();
    in_.seekg(at);
    in_.read(buffer_.data(), n);
    return in_.gcount() == n;
  }

  HttpTestServer::Impl* impl_;
  Source src_;
  int64_t offset_;
  int64_t backed_;
  Fault fault_;
  bool stalled_ = false;
  std::ifstream in_;
  std::vector<char> buffer_;
};

// Runs the accept loop of `svr` on a new thread and returns once it runs
// (stop() does nothing before that) or has already ended.
std::thread StartAcceptLoop(httplib::Server* svr) {
  auto ended = std::make_shared<std::atomic<bool>>(false);
  std::thread loop([svr, ended] {
    svr->listen_after_bind();
    ended->store(true);
  });
  while (!svr->is_running() && !ended->load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  return loop;
}

}  // namespace

bool HttpTestServer::Impl::WaitFor(std::chrono::milliseconds d) {
  std::unique_lock lock(mu);
  cv.wait_for(lock, d, [&] { return stopping; });
  return !stopping;
}

bool HttpTestServer::Impl::HoldStall() {
  std::unique_lock lock(mu);
  uint64_t generation = release_generation;
  ++stalled;
  cv.notify_all();
  cv.wait(lock, [&] { return stopping || release_generation != generation; });
  --stalled;
  return !stopping;
}

// A bound socket is only closed by stopping a running accept loop, so run
// each one briefly and stop it.
void HttpTestServer::Impl::DiscardServers() {
  for (auto& svr : servers) {
    std::thread loop = StartAcceptLoop(svr.get());
    svr->stop();
    loop.join();
  }
  servers.clear();
}

bool HttpTestServer::Impl::BindAll(int first_port) {
  DiscardServers();
  for (size_t i = 0; i < options.addresses.size(); ++i) {
    const std::string& address = options.addresses[i];
    std::unique_ptr<httplib::Server> svr;
    if (options.tls) {
      auto it = options.tls_per_address.find(address);
      const TlsFiles& files_for = it == options.tls_per_address.end() ? *options.tls : it->second;
      svr = std::make_unique<httplib::SSLServer>(files_for.cert_path.c_str(), files_for.key_path.c_str());
    } else {
      svr = std::make_unique<httplib::Server>();
    }
    if (!svr->is_valid()) {
      error = "cannot load the certificate or key for " + address;
      return false;
    }
    int threads_wanted = std::max(1, options.threads_per_address);
    svr->new_task_queue = [threads_wanted] { return new httplib::ThreadPool(static_cast<size_t>(threads_wanted)); };
    // One request per connection: nothing waits for idle keep-alive
    // connections at shutdown, and (address, remote port) names the request.
    svr->set_keep_alive_max_count(1);
    // The library's default adds SO_REUSEPORT, which would let a second
    // server (or another test process) share our port and take our requests.
    svr->set_socket_options([](int sock) {
      int yes = 1;
      setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof(yes));
    });
    svr->set_keep_alive_timeout(1);
    auto handler = [this, address](const httplib::Request& req, httplib::Response& res) { Dispatch(req, res, address); };
    svr->Get(".*", handler).Post(".*", handler).Put(".*", handler).Patch(".*", handler);
    svr->Delete(".*", handler).Options(".*", handler);
    if (i == 0 && first_port == 0) {
      int p = svr->bind_to_any_port(address);
      if (p <= 0) {
        error = "cannot bind " + address;
        return false;
      }
      port = static_cast<uint16_t>(p);
    } else if (!svr->bind_to_port(address, i == 0 ? first_port : port)) {
      error = "cannot bind " + address + ":" + std::to_string(i == 0 ? first_port : port);
      return false;
    } else if (i == 0) {
      port = static_cast<uint16_t>(first_port);
    }
    servers.push_back(std::move(svr));
  }
  return true;
}

bool HttpTestServer::Impl::Start() {
  if (options.addresses.empty()) {
    error = "no address to listen on";
    return false;
  }
  bool bound = false;
  for (int attempt = 0; attempt < kBindTries && !bound; ++attempt) {
    error.clear();
    bound = BindAll(options.port);
    if (options.port != 0) break;
  }
  if (!bound) {
    DiscardServers();
    return false;
  }
  for (auto& svr : servers) threads.push_back(StartAcceptLoop(svr.get()));
  return true;
}

void HttpTestServer::Impl::StopAll() {
  {
    std::lock_guard lock(mu);
    stopping = true;
  }
  cv.notify_all();
  for (auto& svr : servers) svr->stop();
  for (auto& t : threads) t.join();
  threads.clear();
}

HttpTestServer::Impl::Decision HttpTestServer::Impl::Decide(const HttpRequest& request, const std::string& address) {
  std::lock_guard lock(mu);
  Decision d;
  for (auto& entry : rules) {
    const FaultRule& r = entry.rule;
    if (r.times == 0 || !PathMatches(r.path, request.path)) continue;
    if (!r.address.empty() && r.address != address) continue;
    if (!r.method.empty() && r.method != request.method) continue;
    if (entry.rule.times > 0) --entry.rule.times;
    d.fault = r.fault;
    d.fault_id = entry.id;
    break;
  }
  for (const auto& h : handlers) {
    if (MethodMatches(h.method, request.method) && PathMatches(h.path, request.path)) {
      d.handler = h.handler;
      break;
    }
  }
  if (!d.handler) {
    auto it = files.find(request.path);
    if (it != files.end()) d.file = it->second;
  }
  RequestRecord record;
  static_cast<HttpRequest&>(record) = request;
  record.range = request.Header("Range");
  record.fault_id = d.fault_id;
  record.time = std::chrono::steady_clock::now();
  d.seq = next_seq++;
  log.emplace_back(d.seq, std::move(record));
  cv.notify_all();
  return d;
}

void HttpTestServer::Impl::SetLoggedStatus(uint64_t seq, int status) {
  std::lock_guard lock(mu);
  for (auto it = log.rbegin(); it != log.rend(); ++it) {
    if (it->first == seq) {
      it->second.status = status;
      return;
    }
  }
}

void HttpTestServer::Impl::SetBody(httplib::Response& res, const Source& src, int64_t offset, int64_t length,
                                   int64_t backed, const std::string& content_type, const Fault& fault) {
  if (length <= 0) {
    res.set_content("", content_type);
    return;
  }
  auto stream = std::make_shared<BodyStream>(this, src, offset, std::clamp<int64_t>(backed, 0, length), fault);
  res.set_content_provider(static_cast<size_t>(length), content_type,
                           [stream](size_t sent, size_t wanted, httplib::DataSink& sink) {
                             return stream->Provide(static_cast<int64_t>(sent), static_cast<int64_t>(wanted), sink);
                           });
}

void HttpTestServer::Impl::AnswerFile(const HttpRequest& request, const Source& file, const Decision& d,
                                      httplib::Response& res) {
  const std::string type = "application/octet-stream";
  res.set_header("Accept-Ranges", "bytes");
  if (request.method != "GET" && request.method != "HEAD") {
    res.status = 405;
    res.set_content("method not allowed", "text/plain");
    return;
  }
  const int64_t size = d.fault.content_length.value_or(file.size);
  std::optional<ByteRange> range;
  if (!d.fault.ignore_range) range = ParseRange(request.Header("Range"), size);
  if (range && !range->valid) {
    res.status = 416;
    res.set_header("Content-Range", "bytes */" + std::to_string(size));
    res.set_content("", type);
    return;
  }
  int64_t first = range ? range->first : 0;
  int64_t length = range ? range->last - range->first + 1 : size;
  if (range) {
    res.status = 206;
    res.set_header("Content-Range",
                   "bytes " + std::to_string(first) + "-" + std::to_string(range->last) + "/" + std::to_string(size));
  } else {
    res.status = 200;
  }
  SetBody(res, file, first, length, file.size - first, type, d.fault);
}

void HttpTestServer::Impl::Dispatch(const httplib::Request& req, httplib::Response& res, const std::string& address) {
  // The library would apply Range on its own (even to a 200 we want to send
  // whole); the request object is ours to change, it is not const underneath.
  const_cast<httplib::Request&>(req).ranges.clear();
  HttpRequest request = ConvertRequest(req);
  if (request.local_address.empty()) request.local_address = address;
  Decision d = Decide(request, address);
  if (d.fault.delay.count() > 0 && !WaitFor(d.fault.delay)) {
    // Stopping: cut the answer short so the client sees a failure.
    res.status = 503;
    res.set_content_provider(1, "text/plain", [](size_t, size_t, httplib::DataSink&) { return false; });
    SetLoggedStatus(d.seq, res.status);
    return;
  }
  if (!d.fault.redirect_to.empty()) {
    res.status = 302;
    res.set_header("Location", d.fault.redirect_to);
    res.set_content("redirect", "text/plain");
  } else if (d.fault.status != 0) {
    res.status = d.fault.status;
    if (d.fault.status == 416 && d.file) {
      res.set_header("Content-Range", "bytes */" + std::to_string(d.fault.content_length.value_or(d.file->size)));
    }
    auto body = std::make_shared<const std::string>("status " + std::to_string(d.fault.status));
    SetBody(res, Source{body, {}, static_cast<int64_t>(body->size())}, 0, static_cast<int64_t>(body->size()),
            static_cast<int64_t>(body->size()), "text/plain", d.fault);
  } else if (d.handler) {
    HttpResponse answer = d.handler(request);
    res.status = answer.status;
    for (const auto& [k, v] : answer.headers) res.set_header(k, v);
    auto body = std::make_shared<const std::string>(std::move(answer.body));
    int64_t real = static_cast<int64_t>(body->size());
    SetBody(res, Source{body, {}, real}, 0, d.fault.content_length.value_or(real), real, answer.content_type,
            d.fault);
  } else if (d.file) {
    AnswerFile(request, *d.file, d, res);
  } else {
    res.status = 404;
    res.set_content("not found", "text/plain");
  }
  SetLoggedStatus(d.seq, res.status);
}

HttpTestServer::HttpTestServer(HttpServerOptions options) : impl_(std::make_unique<Impl>()) {
  impl_->options = std::move(options);
  impl_->ok = impl_->Start();
}

HttpTestServer::~HttpTestServer() { impl_->StopAll(); }

bool HttpTestServer::ok() const { return impl_->ok; }
const std::string& HttpTestServer::error() const { return impl_->error; }
uint16_t HttpTestServer::port() const { return impl_->port; }
const std::vector<std::string>& HttpTestServer::addresses() const { return impl_->options.addresses; }
std::string HttpTestServer::scheme() const { return impl_->options.tls ? "https" : "http"; }

std::string HttpTestServer::BaseUrl() const {
  return scheme() + "://" + impl_->options.addresses.front() + ":" + std::to_string(impl_->port);
}

std::string HttpTestServer::Url(const std::string& path) const { return BaseUrl() + path; }

std::string HttpTestServer::UrlOn(const std::string& host, const std::string& path) const {
  return scheme() + "://" + host + ":" + std::to_string(impl_->port) + path;
}

void HttpTestServer::AddFile(const std::string& path, std::string content) {
  auto data = std::make_shared<const std::string>(std::move(content));
  std::lock_guard lock(impl_->mu);
  impl_->files[path] = Source{data, {}, static_cast<int64_t>(data->size())};
}

bool HttpTestServer::AddFileFromDisk(const std::string& path, const std::string& disk_path) {
  std::error_code ec;
  auto size = std::filesystem::file_size(disk_path, ec);
  if (ec || !std::ifstream(disk_path, std::ios::binary).good()) return false;
  std::lock_guard lock(impl_->mu);
  impl_->files[path] = Source{nullptr, disk_path, static_cast<int64_t>(size)};
  return true;
}

void HttpTestServer::RemoveFile(const std::string& path) {
  std::lock_guard lock(impl_->mu);
  impl_->files.erase(path);
}

void HttpTestServer::SetHandler(const std::string& method, const std::string& path, HttpHandler handler) {
  std::lock_guard lock(impl_->mu);
  auto& hs = impl_->handlers;
  hs.erase(std::remove_if(hs.begin(), hs.end(), [&](const auto& h) { return h.method == method && h.path == path; }),
           hs.end());
  hs.push_back(Impl::HandlerEntry{method, path, std::move(handler)});
}

void HttpTestServer::RemoveHandler(const std::string& method, const std::string& path) {
  std::lock_guard lock(impl_->mu);
  auto& hs = impl_->handlers;
  hs.erase(std::remove_if(hs.begin(), hs.end(), [&](const auto& h) { return h.method == method && h.path == path; }),
           hs.end());
}

int HttpTestServer::AddFault(FaultRule rule) {
  std::lock_guard lock(impl_->mu);
  int id = impl_->next_rule_id++;
  impl_->rules.push_back(Impl::RuleEntry{id, std::move(rule)});
  return id;
}

int HttpTestServer::AddFault(const std::string& path, Fault fault, int times) {
  FaultRule rule;
  rule.path = path;
  rule.times = times;
  rule.fault = std::move(fault);
  return AddFault(std::move(rule));
}

void HttpTestServer::RemoveFault(int id) {
  std::lock_guard lock(impl_->mu);
  auto& rs = impl_->rules;
  rs.erase(std::remove_if(rs.begin(), rs.end(), [&](const auto& r) { return r.id == id; }), rs.end());
}

void HttpTestServer::ClearFaults() {
  std::lock_guard lock(impl_->mu);
  impl_->rules.clear();
}

void HttpTestServer::ReleaseStalls() {
  {
    std::lock_guard lock(impl_->mu);
    ++impl_->release_generation;
  }
  impl_->cv.notify_all();
}

int HttpTestServer::StalledCount() const {
  std::lock_guard lock(impl_->mu);
  return impl_->stalled;
}

bool HttpTestServer::WaitForStalls(int count, std::chrono::milliseconds timeout) const {
  std::unique_lock lock(impl_->mu);
  return impl_->cv.wait_for(lock, timeout, [&] { return impl_->stalled >= count; });
}

std::vector<RequestRecord> HttpTestServer::Requests() const { return RequestsFor(""); }

std::vector<RequestRecord> HttpTestServer::RequestsFor(const std::string& path) const {
  std::lock_guard lock(impl_->mu);
  std::vector<RequestRecord> out;
  for (const auto& [seq, record] : impl_->log) {
    if (PathMatches(path, record.path)) out.push_back(record);
  }
  return out;
}

int HttpTestServer::RequestCount(const std::string& path) const {
  std::lock_guard lock(impl_->mu);
  return static_cast<int>(std::count_if(impl_->log.begin(), impl_->log.end(),
                                        [&](const auto& e) { return PathMatches(path, e.second.path); }));
}

bool HttpTestServer::WaitForRequests(const std::string& path, int count, std::chrono::milliseconds timeout) const {
  std::unique_lock lock(impl_->mu);
  return impl_->cv.wait_for(lock, timeout, [&] {
    return std::count_if(impl_->log.begin(), impl_->log.end(),
                         [&](const auto& e) { return PathMatches(path, e.second.path); }) >= count;
  });
}

void HttpTestServer::ClearLog() {
  std::lock_guard lock(impl_->mu);
  impl_->log.clear();
}

}  // namespace oru::testing
