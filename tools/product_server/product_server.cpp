#include "product_server/product_server.h"

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <fstream>
#include <map>
#include <mutex>
#include <thread>

#include <cjson/cJSON.h>

#include "product_server/endpoints.h"
#include "product_server/json_value.h"
#include "product_server/listener.h"

namespace oru::product_server {
namespace {

constexpr int kBindTries = 20;
constexpr std::chrono::milliseconds kIoTimeout{5000};
constexpr int64_t kChunk = 64 * 1024;
constexpr int kMaxDelayMs = 600000;

struct SslCtxFree {
  void operator()(SSL_CTX* ctx) const { SSL_CTX_free(ctx); }
};
using SslContext = std::unique_ptr<SSL_CTX, SslCtxFree>;

std::string OpenSslError() {
  unsigned long code = ERR_get_error();
  if (code == 0) return "unknown TLS error";
  char text[256];
  ERR_error_string_n(code, text, sizeof(text));
  ERR_clear_error();
  return text;
}

SslContext LoadTls(const TlsFiles& files, std::string* error) {
  SslContext ctx(SSL_CTX_new(TLS_server_method()));
  if (!ctx) {
    *error = "cannot make a TLS context: " + OpenSslError();
    return nullptr;
  }
  SSL_CTX_set_min_proto_version(ctx.get(), TLS1_2_VERSION);
  if (SSL_CTX_use_certificate_chain_file(ctx.get(), files.cert_path.c_str()) != 1) {
    *error = "cannot load the TLS certificate " + files.cert_path + ": " + OpenSslError();
    return nullptr;
  }
  if (SSL_CTX_use_PrivateKey_file(ctx.get(), files.key_path.c_str(), SSL_FILETYPE_PEM) != 1) {
    *error = "cannot load the TLS key " + files.key_path + ": " + OpenSslError();
    return nullptr;
  }
  if (SSL_CTX_check_private_key(ctx.get()) != 1) {
    *error = "the TLS key " + files.key_path + " does not belong to " + files.cert_path;
    return nullptr;
  }
  return ctx;
}

// Runs the accept loop of `listener` on a new thread and returns once it
// runs (stop() does nothing before that) or has already ended.
std::thread StartAcceptLoop(Listener* listener) {
  auto ended = std::make_shared<std::atomic<bool>>(false);
  std::thread loop([listener, ended] {
    listener->listen_after_bind();
    ended->store(true);
  });
  while (!listener->is_running() && !ended->load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  return loop;
}

std::string HostForUrl(const std::string& address) {
  return address.find(':') != std::string::npos ? "[" + address + "]" : address;
}

bool KnownEndpoint(const std::string& name) {
  const auto& names = EndpointNames();
  return std::find(names.begin(), names.end(), name) != names.end();
}

// What the provider streams: a memory text or a file region, with the body
// faults applied on the way.
class BodySource {
 public:
  BodySource(const Answer& answer, const Fault& fault)
      : memory_(answer.file_path.empty() ? std::make_shared<const std::string>(answer.body) : nullptr),
        path_(answer.file_path),
        offset_(answer.file_offset),
        fault_(fault) {
    int64_t length = answer.length >= 0 ? answer.length : static_cast<int64_t>(answer.body.size());
    available_ = std::clamp<int64_t>(answer.available >= 0 ? answer.available : length, 0, length);
  }

  bool Provide(int64_t sent, int64_t wanted, httplib::DataSink& sink) {
    if (fault_.drop_after_bytes >= 0 && sent >= fault_.drop_after_bytes) return false;
    if (sent >= available_) return false;  // announced more than there is
    int64_t n = std::min({wanted, kChunk, available_ - sent});
    if (fault_.drop_after_bytes >= 0) n = std::min(n, fault_.drop_after_bytes - sent);
    buffer_.resize(static_cast<size_t>(n));
    if (!Read(offset_ + sent, n)) return false;
    if (fault_.garbage_body) {
      for (char& c : buffer_) c = static_cast<char>(~c);
    }
    return sink.write(buffer_.data(), buffer_.size());
  }

 private:
  bool Read(int64_t at, int64_t n) {
    if (memory_) {
      std::copy_n(memory_->data() + at, n, buffer_.data());
      return true;
    }
    if (!in_.is_open()) in_.open(path_, std::ios::binary);
    in_.clear();
    in_.seekg(at);
    in_.read(buffer_.data(), n);
    return in_.gcount() == n;
  }

  std::shared_ptr<const std::string> memory_;
  std::string path_;
  int64_t offset_;
  int64_t available_ = 0;
  Fault fault_;
  std::ifstream in_;
  std::vector<char> buffer_;
};

void SendAnswer(const Answer& answer, const Fault& fault, httplib::Response& res) {
  res.status = answer.status;
  for (const auto& [name, value] : answer.headers) res.set_header(name, value);
  int64_t length = answer.length >= 0 ? answer.length : static_cast<int64_t>(answer.body.size());
  if (length <= 0) {
    res.set_content("", answer.content_type);
    return;
  }
  auto source = std::make_shared<BodySource>(answer, fault);
  res.set_content_provider(static_cast<size_t>(length), answer.content_type,
                           [source](size_t sent, size_t wanted, httplib::DataSink& sink) {
                             return source->Provide(static_cast<int64_t>(sent), static_cast<int64_t>(wanted), sink);
                           });
}

Answer StatusFaultAnswer(int status) {
  Answer a;
  a.status = status;
  a.content_type = "text/html";
  a.body = "<html><body><h1>" + std::to_string(status) + "</h1>injected fault</body></html>\n";
  return a;
}

Call MakeCall(const httplib::Request& req, const std::string& address) {
  Call call;
  call.method = req.method;
  call.path = req.path;
  size_t question = req.target.find('?');
  if (question != std::string::npos) call.query = req.target.substr(question + 1);
  call.params = req.params;
  call.body = req.body;
  call.local_address = address;
  call.remote_address = req.remote_addr;
  if (const RequestHead* head = Listener::Current()) {
    call.headers = head->headers;
    call.range = head->range;
  }
  return call;
}

std::string Base64(const std::string& bytes) {
  std::string out(4 * ((bytes.size() + 2) / 3) + 1, '\0');
  int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                          reinterpret_cast<const unsigned char*>(bytes.data()), static_cast<int>(bytes.size()));
  out.resize(n > 0 ? static_cast<size_t>(n) : 0);
  return out;
}

// A stored JSON body as a member: parsed when it parses, else the text.
Json BodyMember(const std::string& body) {
  std::optional<Json> parsed = Json::Parse(body, nullptr);
  return parsed ? std::move(*parsed) : Json::String(body);
}

// Header lines as [name, value] pairs.
template <typename Headers>
Json HeadersToJson(const Headers& lines) {
  Json headers = Json::Array();
  for (const auto& [name, value] : lines) headers.Push(std::move(Json::Array().Push(Json::String(name)).Push(Json::String(value))));
  return headers;
}

Json EventToJson(const AnalyticsEvent& e) {
  Json out = Json::Object();
  out.Add("id", Json::Integer(e.id))
      .Add("time_ms", Json::Integer(e.time_ms))
      .Add("distinct_id", Json::String(e.distinct_id))
      .Add("event", Json::String(e.event))
      .Add("type", Json::String(e.type))
      .Add("remote_address", Json::String(e.remote_address));
  out.Add("record", BodyMember(e.record));
  return out;
}

Json RecordToJson(const RequestRecord& r) {
  Json out = Json::Object();
  out.Add("id", Json::Integer(r.id))
      .Add("time_ms", Json::Integer(std::chrono::duration_cast<std::chrono::milliseconds>(r.time.time_since_epoch()).count()))
      .Add("endpoint", Json::String(r.endpoint))
      .Add("method", Json::String(r.method))
      .Add("path", Json::String(r.path))
      .Add("query", Json::String(r.query))
      .Add("headers", HeadersToJson(r.headers))
      .Add("body", Json::String(r.body));
  if (std::optional<Json> body = Json::Parse(r.body, nullptr)) out.Add("body_json", std::move(*body));
  out.Add("remote_address", Json::String(r.remote_address))
      .Add("remote_port", Json::Integer(r.remote_port))
      .Add("local_address", Json::String(r.local_address))
      .Add("status", Json::Integer(r.status))
      .Add("fault", Json::String(r.fault));
  return out;
}

Json UploadToJson(const StoredUpload& u) {
  Json out = Json::Object();
  out.Add("id", Json::Integer(u.id))
      .Add("time_ms", Json::Integer(u.time_ms))
      .Add("kind", Json::String(u.kind))
      .Add("file_name", Json::String(u.file_name))
      .Add("size", Json::Integer(static_cast<int64_t>(u.content.size())))
      .Add("headers", HeadersToJson(u.headers))
      .Add("content_base64", Json::String(Base64(u.content)));
  return out;
}

Json StoredBodyToJson(const StoredBody& b) {
  Json out = Json::Object();
  out.Add("id", Json::Integer(b.id)).Add("time_ms", Json::Integer(b.time_ms)).Add("body", BodyMember(b.body));
  return out;
}

Json WhitelistToJson(const WhitelistEntry& w) {
  Json out = Json::Object();
  out.Add("id", Json::Integer(w.id))
      .Add("time_ms", Json::Integer(w.time_ms))
      .Add("client_sign", Json::String(w.client_sign))
      .Add("pid", Json::Integer(w.pid))
      .Add("version", Json::String(w.version))
      .Add("body", BodyMember(w.body));
  return out;
}

Json OfferApplyToJson(const OfferApply& a) {
  Json out = Json::Object();
  out.Add("id", Json::Integer(a.id))
      .Add("time_ms", Json::Integer(a.time_ms))
      .Add("offer_id", Json::String(a.offer_id))
      .Add("email", Json::String(a.email));
  return out;
}

// The support tables' admin reads; false for another path.
bool ListSupportTable(const ServerStore& store, const Call& call, Json& data) {
  if (call.path == "/__admin/uploads") {
    for (const StoredUpload& u : store.Uploads(call.Param("kind"))) data.Push(UploadToJson(u));
  } else if (call.path == "/__admin/log-reports") {
    for (const StoredBody& b : store.LogReports()) data.Push(StoredBodyToJson(b));
  } else if (call.path == "/__admin/tickets") {
    for (const StoredBody& b : store.Tickets()) data.Push(StoredBodyToJson(b));
  } else if (call.path == "/__admin/whitelist") {
    for (const WhitelistEntry& w : store.Whitelist()) data.Push(WhitelistToJson(w));
  } else if (call.path == "/__admin/offer-applies") {
    for (const OfferApply& a : store.OfferApplies()) data.Push(OfferApplyToJson(a));
  } else {
    return false;
  }
  return true;
}

// Reads one fault object of the admin switch; nullopt with *error otherwise.
std::optional<std::pair<std::string, Fault>> FaultFromJson(const cJSON* node, std::string* error) {
  if (!cJSON_IsObject(node)) {
    *error = "a fault must be a JSON object";
    return std::nullopt;
  }
  std::string endpoint;
  Fault f;
  for (const cJSON* m = node->child; m != nullptr; m = m->next) {
    std::string name = m->string;
    bool number = cJSON_IsNumber(m);
    // Out-of-range numbers are clamped to just past their limits, so that
    // SetFault refuses them with its own message.
    auto integer = static_cast<int64_t>(number ? std::clamp(m->valuedouble, -9.0e15, 9.0e15) : 0.0);
    if (name == "endpoint" && cJSON_IsString(m)) endpoint = m->valuestring;
    else if (name == "address" && cJSON_IsString(m)) f.address = m->valuestring;
    else if (name == "garbage_body" && cJSON_IsBool(m)) f.garbage_body = cJSON_IsTrue(m) != 0;
    else if (name == "ignore_range" && cJSON_IsBool(m)) f.ignore_range = cJSON_IsTrue(m) != 0;
    else if (name == "delay_ms" && number) f.delay_ms = static_cast<int>(std::clamp<int64_t>(integer, -1, kMaxDelayMs + 1));
    else if (name == "status" && number) f.status = static_cast<int>(std::clamp<int64_t>(integer, -1, 1000));
    else if (name == "api_code" && number) f.api_code = static_cast<int>(std::clamp<int64_t>(integer, INT32_MIN, INT32_MAX));
    else if (name == "times" && number) f.times = static_cast<int>(std::clamp<int64_t>(integer, -2, INT32_MAX));
    else if (name == "drop_after_bytes" && number) f.drop_after_bytes = std::max<int64_t>(integer, -2);
    else if (name == "wrong_length" && number) f.wrong_length = std::max<int64_t>(integer, -2);
    else {
      *error = "\"" + name + "\": unknown fault setting or wrong type";
      return std::nullopt;
    }
  }
  if (endpoint.empty()) {
    *error = "a fault needs \"endpoint\"";
    return std::nullopt;
  }
  return std::make_pair(endpoint, f);
}

}  // namespace

std::string Fault::Describe() const {
  std::string out;
  auto add = [&out](const std::string& part) { out += (out.empty() ? "" : ",") + part; };
  if (delay_ms > 0) add("delay_ms=" + std::to_string(delay_ms));
  if (status != 0) add("status=" + std::to_string(status));
  if (garbage_body) add("garbage_body");
  if (api_code != 0) add("api_code=" + std::to_string(api_code));
  if (drop_after_bytes >= 0) add("drop_after_bytes=" + std::to_string(drop_after_bytes));
  if (ignore_range) add("ignore_range");
  if (wrong_length >= 0) add("wrong_length=" + std::to_string(wrong_length));
  return out;
}

const std::vector<std::string>& EndpointNames() {
  static const std::vector<std::string> kNames = {
      "token",   "series", "runtime", "runtime_static", "relation", "preheat", "slice",    "alias",   "httpdns",
      "ip",      "myip",   "trackid", "track",          "page",     "package", "redirect", "collect",
      "logupload", "ticketupload", "whitelist", "logreport", "ticket", "offer", "offerapply", "file",
      "unknown", "admin"};
  return kNames;
}

struct ProductServer::Impl {
  explicit Impl(Clock& c) : clock(c) {}

  bool StartLocked(const ServerConfig& config, std::string* error);
  bool BindAll(const ServerConfig& config, uint16_t first_port, std::string* error);
  void DiscardListeners();
  void StopLocked();
  void Dispatch(const httplib::Request& req, httplib::Response& res, const std::string& address);
  Fault TakeFault(const std::string& endpoint, const std::string& address);
  // Real-time wait that ends early (false) when the server stops.
  bool WaitFor(std::chrono::milliseconds duration);
  // The in-memory log gets a request when it arrives (status 0) and its
  // answer later; the store gets it once answered.
  size_t NoteArrival(const RequestRecord& record);
  void NoteAnswer(size_t index, RequestRecord record);
  bool SetFault(const std::string& endpoint, const Fault& fault, std::string* error);
  Answer Admin(const Call& call);
  Answer AdminSetFaults(const Call& call);
  Answer AdminList(const Call& call);

  Clock& clock;
  std::mutex lifecycle;  // Start and Stop run one at a time
  ServerStore store;
  std::unique_ptr<ServerCore> core;
  SslContext tls;
  std::atomic<bool> stopping{false};
  std::vector<std::unique_ptr<Listener>> listeners;
  std::vector<std::thread> threads;

  mutable std::mutex mu;  // guards everything below
  mutable std::condition_variable changed;
  bool running = false;
  bool admin_enabled = true;
  uint16_t port = 0;
  std::vector<std::string> base_urls;
  std::string store_path;
  std::map<std::pair<std::string, std::string>, Fault> faults;  // (endpoint, address)
  std::vector<RequestRecord> log;
};

void ProductServer::Impl::DiscardListeners() {
  // A bound socket is only closed by a running accept loop that is stopped.
  for (auto& listener : listeners) {
    std::thread loop = StartAcceptLoop(listener.get());
    listener->stop();
    loop.join();
  }
  listeners.clear();
}

bool ProductServer::Impl::BindAll(const ServerConfig& config, uint16_t first_port, std::string* error) {
  DiscardListeners();
  uint16_t chosen = first_port;
  for (const std::string& address : config.listen) {
    auto listener = std::make_unique<Listener>(tls.get(), stopping, kIoTimeout);
    size_t threads_wanted = static_cast<size_t>(std::max(1, config.threads_per_address));
    listener->new_task_queue = [threads_wanted] { return new httplib::ThreadPool(threads_wanted); };
    // The library's default adds SO_REUSEPORT, which would let another
    // process share the port and take requests meant for this server.
    listener->set_socket_options([](socket_t sock) {
      int yes = 1;
      setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof(yes));
    });
    listener->set_payload_max_length(64 * 1024 * 1024);
    auto handler = [this, address](const httplib::Request& req, httplib::Response& res) { Dispatch(req, res, address); };
    listener->Get(".*", handler).Post(".*", handler).Put(".*", handler).Patch(".*", handler);
    listener->Delete(".*", handler).Options(".*", handler);
    if (chosen == 0) {
      int p = listener->bind_to_any_port(address);
      if (p <= 0) {
        *error = "cannot listen on " + address + " (any port)";
        return false;
      }
      chosen = static_cast<uint16_t>(p);
    } else if (!listener->bind_to_port(address, chosen)) {
      *error = "cannot listen on " + address + ":" + std::to_string(chosen);
      listeners.push_back(std::move(listener));
      return false;
    }
    listeners.push_back(std::move(listener));
  }
  port = chosen;
  return true;
}

bool ProductServer::Impl::StartLocked(const ServerConfig& config, std::string* error) {
  if (config.listen.empty()) {
    *error = "no address to listen on";
    return false;
  }
  tls.reset();
  if (config.tls) {
    tls = LoadTls(*config.tls, error);
    if (!tls) return false;
  }
  if (!store.Open(config.store_path, error)) return false;
  stopping = false;
  bool bound = false;
  for (int attempt = 0; attempt < kBindTries && !bound; ++attempt) {
    error->clear();
    bound = BindAll(config, config.port, error);
    if (config.port != 0) break;  // a fixed port: no point in trying again
  }
  if (!bound) {
    DiscardListeners();
    store.Close();
    return false;
  }
  std::vector<std::string> urls;
  for (const std::string& address : config.listen) {
    urls.push_back(std::string(config.tls ? "https" : "http") + "://" + HostForUrl(address) + ":" +
                   std::to_string(port));
  }
  core = std::make_unique<ServerCore>(config, store, clock);
  core->SetListening(urls, port);
  {
    std::lock_guard lock(mu);
    base_urls = urls;
    store_path = config.store_path;
    admin_enabled = config.admin_enabled;
    log.clear();
    running = true;
  }
  for (auto& listener : listeners) threads.push_back(StartAcceptLoop(listener.get()));
  return true;
}

void ProductServer::Impl::StopLocked() {
  {
    // Under the lock, so that no delay fault misses the wake-up.
    std::lock_guard lock(mu);
    if (!running) return;
    running = false;
    stopping = true;
  }
  changed.notify_all();
  for (auto& listener : listeners) listener->stop();
  for (auto& thread : threads) thread.join();
  threads.clear();
  listeners.clear();
  core.reset();
  store.Close();
}

bool ProductServer::Impl::WaitFor(std::chrono::milliseconds duration) {
  std::unique_lock lock(mu);
  changed.wait_for(lock, duration, [&] { return stopping.load(); });
  return !stopping.load();
}

Fault ProductServer::Impl::TakeFault(const std::string& endpoint, const std::string& address) {
  std::lock_guard lock(mu);
  for (const std::string& where : {address, std::string()}) {
    auto it = faults.find({endpoint, where});
    if (it == faults.end()) continue;
    Fault fault = it->second;
    if (it->second.times > 0 && --it->second.times == 0) faults.erase(it);
    return fault;
  }
  return Fault{};
}

size_t ProductServer::Impl::NoteArrival(const RequestRecord& record) {
  std::lock_guard lock(mu);
  log.push_back(record);
  changed.notify_all();
  return log.size() - 1;
}

void ProductServer::Impl::NoteAnswer(size_t index, RequestRecord record) {
  record.id = store.AddRequest(record);
  std::lock_guard lock(mu);
  if (index < log.size()) log[index] = std::move(record);
  changed.notify_all();
}

void ProductServer::Impl::Dispatch(const httplib::Request& req, httplib::Response& res, const std::string& address) {
  Call call = MakeCall(req, address);
  RequestRecord record;
  record.time = clock.Now();
  record.endpoint = RouteEndpoint(call.path);
  if (record.endpoint == "unknown" && core->IsCollectorPath(call.path)) record.endpoint = "collect";
  record.method = call.method;
  record.path = call.path;
  record.query = call.query;
  record.headers = call.headers;
  record.body = call.body;
  record.remote_address = req.remote_addr;
  record.remote_port = req.remote_port;
  record.local_address = address;
  const bool admin = record.endpoint == "admin";
  Fault fault = admin ? Fault{} : TakeFault(record.endpoint, address);
  record.fault = fault.Describe();
  size_t index = NoteArrival(record);
  Answer answer;
  if (fault.delay_ms > 0 && !WaitFor(std::chrono::milliseconds(fault.delay_ms))) {
    answer = StatusFaultAnswer(503);  // stopping: the client sees a failure
    fault.drop_after_bytes = 0;
  } else if (admin) {
    answer = Admin(call);
  } else if (fault.status != 0) {
    answer = StatusFaultAnswer(fault.status);
  } else if (fault.api_code != 0 && IsApiEndpoint(record.endpoint)) {
    answer = ApiError(fault.api_code, "injected fault");
    answer.status = 200;
  } else {
    answer = core->Handle(record.endpoint, call, fault);
  }
  record.status = answer.status;
  NoteAnswer(index, std::move(record));
  SendAnswer(answer, fault, res);
}

bool ProductServer::Impl::SetFault(const std::string& endpoint, const Fault& fault, std::string* error) {
  std::string why;
  if (!KnownEndpoint(endpoint) || endpoint == "admin") {
    why = "unknown endpoint \"" + endpoint + "\"";
  } else if (fault.delay_ms < 0 || fault.delay_ms > kMaxDelayMs) {
    why = "delay_ms must be between 0 and " + std::to_string(kMaxDelayMs);
  } else if (fault.status != 0 && (fault.status < 100 || fault.status > 599)) {
    why = "status must be 0 or between 100 and 599";
  } else if (fault.drop_after_bytes < -1 || fault.wrong_length < -1) {
    why = "drop_after_bytes and wrong_length must be -1 (off) or at least 0";
  } else if (fault.times == 0 || fault.times < -1) {
    why = "times must be -1 (always) or at least 1";
  }
  if (!why.empty()) {
    if (error != nullptr) *error = why;
    return false;
  }
  std::lock_guard lock(mu);
  faults[{endpoint, fault.address}] = fault;
  return true;
}

Answer ProductServer::Impl::AdminSetFaults(const Call& call) {
  std::string error;
  std::optional<Json> doc = Json::Parse(call.body, &error);
  if (!doc) return ApiError(400, "faults: " + error);
  std::vector<std::pair<std::string, Fault>> parsed;
  const cJSON* root = doc->node();
  bool many = cJSON_IsArray(root);
  for (const cJSON* node = many ? root->child : root; node != nullptr; node = many ? node->next : nullptr) {
    std::optional<std::pair<std::string, Fault>> one = FaultFromJson(node, &error);
    if (!one) return ApiError(400, error);
    parsed.push_back(std::move(*one));
  }
  for (const auto& [endpoint, fault] : parsed) {
    if (!SetFault(endpoint, fault, &error)) return ApiError(400, endpoint + ": " + error);
  }
  return ApiError(0, "ok");
}

Answer ProductServer::Impl::AdminList(const Call& call) {
  Json data = Json::Array();
  if (ListSupportTable(store, call, data)) return ApiData(std::move(data));
  if (call.path == "/__admin/reports") {
    for (const TrackReport& r : store.TrackReports()) {
      Json item = Json::Object();
      item.Add("id", Json::Integer(r.id)).Add("time", Json::Integer(r.time)).Add("client_sign", Json::String(r.client_sign));
      std::optional<Json> body = Json::Parse(r.body, nullptr);
      item.Add("report", body ? std::move(*body) : Json::String(r.body));
      data.Push(std::move(item));
    }
  } else if (call.path == "/__admin/events") {
    for (const AnalyticsEvent& e : store.Events(call.Param("event"))) data.Push(EventToJson(e));
  } else if (call.path == "/__admin/faults") {
    std::lock_guard lock(mu);
    for (const auto& [key, fault] : faults) {
      Json item = Json::Object();
      item.Add("endpoint", Json::String(key.first)).Add("address", Json::String(key.second));
      item.Add("fault", Json::String(fault.Describe())).Add("times", Json::Integer(fault.times));
      data.Push(std::move(item));
    }
  } else {
    std::string endpoint = call.Param("endpoint");
    std::lock_guard lock(mu);
    for (const RequestRecord& r : log) {
      if (endpoint.empty() || r.endpoint == endpoint) data.Push(RecordToJson(r));
    }
  }
  return ApiData(std::move(data));
}

Answer ProductServer::Impl::Admin(const Call& call) {
  {
    std::lock_guard lock(mu);
    if (!admin_enabled) return ApiError(404, "the admin switches are off");
  }
  bool faults_path = call.path == "/__admin/faults";
  if (faults_path && call.method == "POST") return AdminSetFaults(call);
  if (faults_path && call.method == "DELETE") {
    std::string endpoint = call.Param("endpoint");
    std::lock_guard lock(mu);
    std::erase_if(faults, [&](const auto& entry) { return endpoint.empty() || entry.first.first == endpoint; });
    return ApiError(0, "ok");
  }
  static const std::vector<std::string> kListings = {
      "/__admin/requests", "/__admin/reports",     "/__admin/events",   "/__admin/uploads",
      "/__admin/log-reports", "/__admin/tickets", "/__admin/whitelist", "/__admin/offer-applies"};
  bool listing = faults_path || std::find(kListings.begin(), kListings.end(), call.path) != kListings.end();
  if (listing && (call.method == "GET" || call.method == "HEAD")) return AdminList(call);
  return ApiError(404,
                  "admin: use POST/DELETE/GET /__admin/faults, GET /__admin/requests, /__admin/reports, "
                  "/__admin/events, /__admin/uploads, /__admin/log-reports, /__admin/tickets, /__admin/whitelist, "
                  "/__admin/offer-applies");
}

// ============================================================ ProductServer

ProductServer::ProductServer(Clock& clock) : impl_(std::make_unique<Impl>(clock)) {}

ProductServer::~ProductServer() { Stop(); }

bool ProductServer::Start(const ServerConfig& config, std::string* error) {
  std::lock_guard lock(impl_->lifecycle);
  std::string why;
  bool started = false;
  if (running()) {
    why = "the server is already running";
  } else {
    started = impl_->StartLocked(config, &why);
  }
  if (!started && error != nullptr) *error = why;
  return started;
}

void ProductServer::Stop() {
  std::lock_guard lock(impl_->lifecycle);
  impl_->StopLocked();
}

bool ProductServer::running() const {
  std::lock_guard lock(impl_->mu);
  return impl_->running;
}

uint16_t ProductServer::port() const {
  std::lock_guard lock(impl_->mu);
  return impl_->port;
}

std::string ProductServer::base_url(size_t index) const {
  std::lock_guard lock(impl_->mu);
  return index < impl_->base_urls.size() ? impl_->base_urls[index] : std::string();
}

std::vector<std::string> ProductServer::base_urls() const {
  std::lock_guard lock(impl_->mu);
  return impl_->base_urls;
}

std::string ProductServer::store_path() const {
  std::lock_guard lock(impl_->mu);
  return impl_->store_path;
}

bool ProductServer::SetFault(const std::string& endpoint, const Fault& fault, std::string* error) {
  return impl_->SetFault(endpoint, fault, error);
}

void ProductServer::ClearFaults() {
  std::lock_guard lock(impl_->mu);
  impl_->faults.clear();
}

std::vector<RequestRecord> ProductServer::Requests(const std::string& endpoint) const {
  std::lock_guard lock(impl_->mu);
  std::vector<RequestRecord> out;
  for (const RequestRecord& r : impl_->log) {
    if (endpoint.empty() || r.endpoint == endpoint) out.push_back(r);
  }
  return out;
}

bool ProductServer::WaitForRequests(const std::string& endpoint, size_t count,
                                    std::chrono::milliseconds timeout) const {
  std::unique_lock lock(impl_->mu);
  return impl_->changed.wait_for(lock, timeout, [&] {
    return static_cast<size_t>(std::count_if(impl_->log.begin(), impl_->log.end(), [&](const RequestRecord& r) {
             return endpoint.empty() || r.endpoint == endpoint;
           })) >= count;
  });
}

std::vector<RequestRecord> ProductServer::StoredRequests(const std::string& endpoint) const {
  return impl_->store.Requests(endpoint);
}

std::vector<TrackReport> ProductServer::TrackReports() const { return impl_->store.TrackReports(); }

std::vector<AnalyticsEvent> ProductServer::Events(const std::string& event_name) const {
  return impl_->store.Events(event_name);
}

std::vector<StoredUpload> ProductServer::Uploads(const std::string& kind) const { return impl_->store.Uploads(kind); }
std::vector<StoredBody> ProductServer::LogReports() const { return impl_->store.LogReports(); }
std::vector<WhitelistEntry> ProductServer::Whitelist() const { return impl_->store.Whitelist(); }
std::vector<StoredBody> ProductServer::Tickets() const { return impl_->store.Tickets(); }
std::vector<OfferApply> ProductServer::OfferApplies() const { return impl_->store.OfferApplies(); }

void ProductServer::SetRetentionOffer(std::optional<RetentionOfferEntry> offer) {
  std::lock_guard lock(impl_->lifecycle);
  if (impl_->core) impl_->core->SetRetentionOffer(std::move(offer));
}

void ProductServer::SetProduct(const ProductEntry& product) {
  std::lock_guard lock(impl_->lifecycle);
  if (impl_->core) impl_->core->SetProduct(product);
}

void ProductServer::SetHttpDnsAnswer(const std::string& host, const std::vector<std::string>& addresses) {
  std::lock_guard lock(impl_->lifecycle);
  if (impl_->core) impl_->core->SetHttpDnsAnswer(host, addresses);
}

}  // namespace oru::product_server
