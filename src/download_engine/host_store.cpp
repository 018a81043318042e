#include "download_engine/host_store.h"

#include <curl/curl.h>
#include <openssl/evp.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <memory>
#include <utility>

#include "common/log.h"
#include "common/text.h"
#include "platform/locations.h"
#include "platform/net_info.h"

// The HTTP DNS service the product uses; a build may point elsewhere with
// -DORU_HTTPDNS_SERVER_1=... / -DORU_HTTPDNS_SERVER_2=...
#ifndef ORU_HTTPDNS_SERVER_1
#define ORU_HTTPDNS_SERVER_1 "https://203.0.113.53"
#endif
#ifndef ORU_HTTPDNS_SERVER_2
#define ORU_HTTPDNS_SERVER_2 "https://198.51.100.53"
#endif

namespace ns_PEM {
namespace {

using oru::kLogError;
using oru::kLogInfo;
using oru::kLogWarn;
using oru::Log;

// ------------------------------------------------------------ credentials

// Kept out of the binary's plain strings; Reveal() undoes the masking.
constexpr unsigned char kMask = 0x5A;
constexpr std::array<unsigned char, 6> kAccountId = {0x6B, 0x6A, 0x66, 0x77, 0x72, 0x49};
constexpr std::array<unsigned char, 16> kAccessKeyId = {0x35, 0x2F, 0x21, 0x62, 0x22, 0x15, 0x5D, 0x0A,
                                                        0x09, 0x48, 0x2B, 0x73, 0x3D, 0x67, 0x09, 0x50};
constexpr std::array<unsigned char, 24> kSigningSecret = {0x0B, 0x2B, 0x6C, 0x3C, 0x08, 0x4B, 0x00, 0x27,
                                                          0x1A, 0x50, 0x4E, 0x7C, 0x3E, 0x55, 0x55, 0x0A,
                                                          0x62, 0x5A, 0x10, 0x85, 0xB5, 0xFF, 0x99, 0x9E};

template <size_t N>
std::string Reveal(const std::array<unsigned char, N>& masked) {
  std::string plain(N, '\0');
  for (size_t i = 0; i < N; ++i) {
    plain[i] = static_cast<char>(masked[i] ^ kMask ^ static_cast<unsigned char>((i * 7) & 0xFF));
  }
  return plain;
}

// ------------------------------------------------------------ libcurl helpers

struct CurlEasyDeleter {
  void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
};
using CurlEasy = std::unique_ptr<CURL, CurlEasyDeleter>;

class CurlList {
 public:
  CurlList() = default;
  explicit CurlList(const std::vector<std::string>& lines) {
    for (const std::string& line : lines) Append(line);
  }
  ~CurlList() { curl_slist_free_all(list_); }
  CurlList(const CurlList&) = delete;
  CurlList& operator=(const CurlList&) = delete;

  void Append(const std::string& line) {
    curl_slist* grown = curl_slist_append(list_, line.c_str());
    if (grown != nullptr) list_ = grown;
  }
  curl_slist* get() const { return list_; }

 private:
  curl_slist* list_ = nullptr;
};

// State one transfer's callbacks share.
struct TransferState {
  std::string body;
  std::string headers;
  bool stop_at_body = false;  // refuse the first body bytes (length probes)
  bool body_cut = false;      // ...and that happened
  std::stop_token stop;
};

size_t OnBody(char* data, size_t size, size_t count, void* user) {
  auto* state = static_cast<TransferState*>(user);
  size_t n = size * count;
  if (state->stop_at_body && n > 0) {
    state->body_cut = true;
    return 0;  // ends the transfer with CURLE_WRITE_ERROR, which we asked for
  }
  state->body.append(data, n);
  return n;
}

size_t OnHeader(char* data, size_t size, size_t count, void* user) {
  auto* state = static_cast<TransferState*>(user);
  state->headers.append(data, size * count);
  return size * count;
}

int OnProgress(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
  auto* state = static_cast<TransferState*>(user);
  return state->stop.stop_requested() ? 1 : 0;
}

// Settings every request of this file shares: verified TLS, web protocols
// only (also after redirects), a redirect limit, no signals.
void ApplySafeDefaults(CURL* handle, const std::string& ca_bundle) {
  curl_easy_setopt(handle, CURLOPT_SSL_VERIFYPEER, 1L);
  curl_easy_setopt(handle, CURLOPT_SSL_VERIFYHOST, 2L);
  if (!ca_bundle.empty()) curl_easy_setopt(handle, CURLOPT_CAINFO, ca_bundle.c_str());
  curl_easy_setopt(handle, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(handle, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(handle, CURLOPT_MAXREDIRS, 10L);
  curl_easy_setopt(handle, CURLOPT_NOSIGNAL, 1L);
}

void WatchStop(CURL* handle, TransferState& state) {
  curl_easy_setopt(handle, CURLOPT_NOPROGRESS, 0L);
  curl_easy_setopt(handle, CURLOPT_XFERINFOFUNCTION, OnProgress);
  curl_easy_setopt(handle, CURLOPT_XFERINFODATA, &state);
}

// 51 is the old number of a certificate name mismatch (now reported as 60).
bool IsTlsError(CURLcode code) {
  return code == CURLE_SSL_CONNECT_ERROR || static_cast<int>(code) == 51 || code == CURLE_PEER_FAILED_VERIFICATION ||
         code == CURLE_SSL_ISSUER_ERROR;
}

// Fixed address entries that send `address` every connection to the URL's
// host name: the default web ports and the URL's own port.
std::vector<std::string> PinEntries(const UrlParts& parts, const std::string& address) {
  std::vector<std::string> entries;
  std::string name = HostNameOf(parts.host);
  if (name.empty() || address.empty() || name.front() == '[') return entries;
  std::vector<int> ports = {80, 443};
  int own = PortOf(parts.scheme, parts.host);
  if (own != 80 && own != 443) ports.push_back(own);
  for (int port : ports) entries.push_back(name + ":" + std::to_string(port) + ":" + address);
  return entries;
}

// One synchronous request in the manner of the service request layer:
// follow redirects, IPv4, 5 s to connect, the caller's total time; the
// answer is the collected headers (when asked) followed by the body without
// its "\r\n" pairs.
struct Request {
  bool head = false;
  std::string url;
  std::vector<std::string> headers;
  std::vector<std::string> resolve;
  bool http10 = false;
  bool collect_headers = false;
  bool stop_at_body = false;
  std::chrono::seconds timeout{10};
  std::string ca_bundle;
  std::stop_token stop;
};

struct Response {
  int code = 0;     // libcurl result
  long status = 0;  // last HTTP status, 0 when none arrived
  std::string text;
};

void SetRequestOptions(CURL* h, const Request& request, TransferState& state, const CurlList& headers,
                       const CurlList& resolve) {
  ApplySafeDefaults(h, request.ca_bundle);
  if (request.http10) curl_easy_setopt(h, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_0));
  if (request.collect_headers) {
    curl_easy_setopt(h, CURLOPT_HEADERFUNCTION, OnHeader);
    curl_easy_setopt(h, CURLOPT_HEADERDATA, &state);
  }
  if (request.head) curl_easy_setopt(h, CURLOPT_NOBODY, 1L);
  curl_easy_setopt(h, CURLOPT_HTTPHEADER, headers.get());
  curl_easy_setopt(h, CURLOPT_URL, request.url.c_str());
  curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, 1L);
  curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, OnBody);
  curl_easy_setopt(h, CURLOPT_WRITEDATA, &state);
  curl_easy_setopt(h, CURLOPT_IPRESOLVE, static_cast<long>(CURL_IPRESOLVE_V4));
  curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT, 5L);
  curl_easy_setopt(h, CURLOPT_TIMEOUT, static_cast<long>(request.timeout.count()));
  if (resolve.get() != nullptr) curl_easy_setopt(h, CURLOPT_RESOLVE, resolve.get());
  WatchStop(h, state);
}

Response Perform(const Request& request) {
  Response response;
  CurlEasy handle(curl_easy_init());
  if (!handle) {
    Log(kLogError, "[ERROR] curl request, curl init failed!");
    response.code = CURLE_FAILED_INIT;
    return response;
  }
  TransferState state;
  state.stop_at_body = request.stop_at_body;
  state.stop = request.stop;
  CurlList headers(request.headers);
  CurlList resolve(request.resolve);
  SetRequestOptions(handle.get(), request, state, headers, resolve);
  CURLcode rc = curl_easy_perform(handle.get());
  if (rc == CURLE_WRITE_ERROR && state.body_cut) rc = CURLE_OK;
  response.code = rc;
  curl_easy_getinfo(handle.get(), CURLINFO_RESPONSE_CODE, &response.status);
  if (rc != CURLE_OK) Log(kLogError, "[ERROR] curl request, curl easy perform failed, code=[%d].", static_cast<int>(rc));
  response.text = state.headers + oru::RemoveCrLfPairs(state.body);
  return response;
}

// ------------------------------------------------------------ small texts

std::string Sha256Hex(const std::string& text) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (EVP_Digest(text.data(), text.size(), digest, &length, EVP_sha256(), nullptr) != 1) return {};
  static constexpr char kHex[] = "0123456789abcdef";
  std::string hex;
  hex.reserve(length * 2);
  for (unsigned int i = 0; i < length; ++i) {
    hex.push_back(kHex[digest[i] >> 4]);
    hex.push_back(kHex[digest[i] & 0x0F]);
  }
  return hex;
}

char AsciiLower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool IsAsciiSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

bool IsAsciiAlnum(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

// The value of the last "Content-Length:" line (names compare without
// case: HTTP/2 sends them in lower case); nullopt when there is none.
std::optional<int64_t> LastContentLength(const std::string& text) {
  static const std::string kName = "content-length:";
  std::string lower(text.size(), '\0');
  std::transform(text.begin(), text.end(), lower.begin(), AsciiLower);
  size_t at = lower.rfind(kName);
  if (at == std::string::npos) return std::nullopt;
  size_t start = at + kName.size();
  size_t end = text.find("\r\n", start);
  if (end == std::string::npos) end = text.size();
  std::string digits;
  for (size_t i = start; i < end; ++i) {
    if (!IsAsciiSpace(text[i])) digits.push_back(text[i]);
  }
  int64_t value = 0;
  auto [last, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
  if (ec != std::errc() || last != digits.data() + digits.size()) return 0;
  return value;
}

// A length from a probe answer; only a successful answer counts, so that an
// error page's length never passes for the package's.
std::optional<int64_t> ProbedLength(const Response& response) {
  if (response.status < 200 || response.status > 299) return std::nullopt;
  return LastContentLength(response.text);
}

std::string JoinDotted(const std::set<uint32_t>& addresses, const char* separator) {
  std::string out;
  for (uint32_t address : addresses) {
    if (!out.empty()) out += separator;
    out += FormatIpv4(address);
  }
  return out;
}

class PlatformResolver : public ISystemResolver {
 public:
  std::vector<uint32_t> ResolveIpv4(const std::string& host_name) override { return oru::ResolveIpv4(host_name); }
  bool FlushCache() override { return oru::FlushResolverCache(); }
};

}  // namespace

// ================================================================ URLs

bool SplitUrl(const std::string& url, UrlParts& parts) {
  size_t pos = url.find("://");
  if (pos == std::string::npos) return false;
  size_t host_start = pos + 3;
  size_t slash = url.find('/', host_start);
  parts.scheme = url.substr(0, pos);
  parts.host = url.substr(host_start, slash == std::string::npos ? std::string::npos : slash - host_start);
  parts.path = slash == std::string::npos ? std::string() : url.substr(slash);
  return true;
}

std::string HostNameOf(const std::string& host) {
  size_t at = host.rfind('@');
  std::string rest = at == std::string::npos ? host : host.substr(at + 1);
  if (!rest.empty() && rest.front() == '[') {
    size_t close = rest.find(']');
    return close == std::string::npos ? rest : rest.substr(0, close + 1);
  }
  return rest.substr(0, rest.find(':'));
}

int PortOf(const std::string& scheme, const std::string& host) {
  std::string lower_scheme(scheme.size(), '\0');
  std::transform(scheme.begin(), scheme.end(), lower_scheme.begin(), AsciiLower);
  int fallback = lower_scheme == "https" ? 443 : 80;
  size_t at = host.rfind('@');
  std::string rest = at == std::string::npos ? host : host.substr(at + 1);
  size_t name_end = rest.empty() || rest.front() != '[' ? 0 : rest.find(']');
  if (name_end == std::string::npos) return fallback;
  size_t colon = rest.find(':', name_end);
  if (colon == std::string::npos) return fallback;
  int port = 0;
  const char* first = rest.data() + colon + 1;
  const char* last = rest.data() + rest.size();
  auto [end, ec] = std::from_chars(first, last, port);
  if (ec != std::errc() || end != last || port <= 0 || port > 65535) return fallback;
  return port;
}

std::string ReplaceUrlHost(const std::string& url, const std::string& host) {
  size_t pos = url.find("://");
  if (pos == std::string::npos) return url;
  size_t slash = url.find('/', pos + 3);
  std::string rest = slash == std::string::npos ? std::string() : url.substr(slash);
  return url.substr(0, pos + 3) + host + rest;
}

bool IsPlausibleHost(std::string_view host) {
  if (host.empty() || host.size() > 262) return false;
  for (char c : host) {
    bool ok = IsAsciiAlnum(c) || c == '.' || c == '-' || c == '_' || c == ':' || c == '[' || c == ']';
    if (!ok) return false;
  }
  return true;
}

std::string FormatIpv4(uint32_t address) {
  return std::to_string((address >> 24) & 0xFF) + "." + std::to_string((address >> 16) & 0xFF) + "." +
         std::to_string((address >> 8) & 0xFF) + "." + std::to_string(address & 0xFF);
}

std::optional<uint32_t> ParseIpv4(std::string_view text) {
  uint32_t address = 0;
  size_t pos = 0;
  for (int part = 0; part < 4; ++part) {
    if (part > 0) {
      if (pos >= text.size() || text[pos] != '.') return std::nullopt;
      ++pos;
    }
    size_t start = pos;
    while (pos < text.size() && pos - start < 4 && text[pos] >= '0' && text[pos] <= '9') ++pos;
    size_t digits = pos - start;
    // No leading zeros: "010" means 8 to some parsers and 10 to others.
    if (digits == 0 || digits > 3 || (digits > 1 && text[start] == '0')) return std::nullopt;
    unsigned value = 0;
    std::from_chars(text.data() + start, text.data() + pos, value);
    if (value > 255) return std::nullopt;
    address = (address << 8) | value;
  }
  if (pos != text.size()) return std::nullopt;
  return address;
}

std::string PercentEncode(std::string_view value) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (char c : value) {
    auto byte = static_cast<unsigned char>(c);
    if (IsAsciiAlnum(c) || c == '-' || c == '.' || c == '_' || c == '~') {
      out.push_back(c);
      continue;
    }
    out.push_back('%');
    out.push_back(kHex[byte >> 4]);
    out.push_back(kHex[byte & 0x0F]);
  }
  return out;
}

// ================================================================ settings

HostStoreConfig DefaultHostStoreConfig() {
  HostStoreConfig config;
  config.http_dns.servers = {ORU_HTTPDNS_SERVER_1, ORU_HTTPDNS_SERVER_2};
  config.http_dns.account_id = Reveal(kAccountId);
  config.http_dns.access_key_id = Reveal(kAccessKeyId);
  config.http_dns.signing_secret = Reveal(kSigningSecret);
  config.ca_bundle = oru::ProcessLocations().ca_bundle;
  return config;
}

ISystemResolver& PlatformSystemResolver() {
  static auto* resolver = new PlatformResolver();
  return *resolver;
}

// ================================================================ requests

std::vector<std::string> ParseHttpDnsAnswer(std::string_view answer) {
  std::vector<std::string> addresses;
  while (!answer.empty() && IsAsciiSpace(answer.front())) answer.remove_prefix(1);
  while (!answer.empty() && IsAsciiSpace(answer.back())) answer.remove_suffix(1);
  if (answer.size() < 2) return addresses;
  std::string_view inner = answer.substr(1, answer.size() - 2);
  size_t start = 0;
  while (start <= inner.size()) {
    size_t comma = inner.find(',', start);
    std::string_view piece = inner.substr(start, comma == std::string_view::npos ? std::string_view::npos : comma - start);
    std::string compact;
    for (char c : piece) {
      if (!IsAsciiSpace(c)) compact.push_back(c);
    }
    if (compact.size() > 2) {
      std::string unquoted = compact.substr(1, compact.size() - 2);
      if (ParseIpv4(unquoted)) addresses.push_back(unquoted);
    }
    if (comma == std::string_view::npos) break;
    start = comma + 1;
  }
  return addresses;
}

std::vector<std::string> ResolveByHttpDns(const std::string& host_name, const HttpDnsConfig& config,
                                          const std::string& ca_bundle, oru::Clock& clock, std::stop_token stop) {
  if (host_name.empty()) return {};
  std::string ts = std::to_string(oru::UnixSeconds(clock.Now()));
  std::string key = Sha256Hex(config.account_id + config.signing_secret + ts + host_name + config.access_key_id);
  std::string query = "/resolve?type=1&short=1&uid=" + PercentEncode(config.account_id) +
                      "&ak=" + PercentEncode(config.access_key_id) + "&name=" + PercentEncode(host_name) +
                      "&ts=" + ts + "&key=" + key;
  for (const std::string& server : config.servers) {
    if (stop.stop_requested()) break;
    Request request;
    request.url = server + query;
    request.http10 = true;
    request.timeout = config.timeout;
    request.ca_bundle = ca_bundle;
    request.stop = stop;
    Response response = Perform(request);
    if (response.code != CURLE_OK || response.text.empty()) continue;
    return ParseHttpDnsAnswer(response.text);
  }
  return {};
}

int64_t ProbeContentLength(const std::string& url, const std::string& address, const std::string& ca_bundle,
                           std::chrono::seconds timeout, std::stop_token stop) {
  UrlParts parts;
  if (!SplitUrl(url, parts) || parts.host.empty()) return 0;
  Request request;
  request.head = true;
  request.url = url;
  request.headers = {"connection: close", "Cache-Control: no-cache", "Pragma: no-cache", "Host: " + parts.host};
  request.resolve = PinEntries(parts, address);
  request.collect_headers = true;
  request.timeout = timeout;
  request.ca_bundle = ca_bundle;
  request.stop = stop;
  std::optional<int64_t> length = ProbedLength(Perform(request));
  if (!length && !stop.stop_requested()) {
    // Some servers announce no length to HEAD; the headers of a GET do,
    // and the body is not needed.
    request.head = false;
    request.stop_at_body = true;
    length = ProbedLength(Perform(request));
  }
  return length.value_or(0) > 0 ? *length : 0;
}

// ================================================================ HostStore

HostStore::HostStore(HostStoreConfig config, ISystemResolver& resolver, oru::Clock& clock)
    : resolver_(resolver), clock_(clock), config_(std::move(config)) {}

HostStore& HostStore::Instance() {
  static auto* store = new HostStore(DefaultHostStoreConfig());
  return *store;
}

void HostStore::SetConfig(HostStoreConfig config) {
  std::lock_guard lock(mutex_);
  config_ = std::move(config);
}

HostStoreConfig HostStore::config() const {
  std::lock_guard lock(mutex_);
  return config_;
}

std::set<uint32_t> HostStore::Resolve(const std::string& host, std::set<uint32_t> current,
                                      const HostStoreConfig& config, std::stop_token stop) {
  std::string name = HostNameOf(host);
  std::vector<uint32_t> system = resolver_.ResolveIpv4(name);
  if (!system.empty()) current = std::set<uint32_t>(system.begin(), system.end());
  if (current.empty()) {
    std::vector<std::string> texts = ResolveByHttpDns(name, config.http_dns, config.ca_bundle, clock_, stop);
    Log(kLogInfo, "[INFO] query httpdns, host=[%s], ip count=[%d].", host.c_str(), static_cast<int>(texts.size()));
    for (const std::string& text : texts) {
      if (std::optional<uint32_t> address = ParseIpv4(text)) current.insert(*address);
    }
  }
  Log(kLogInfo, "[INFO] query host=[%s], ip count=[%d].", host.c_str(), static_cast<int>(current.size()));
  return current;
}

bool HostStore::QueryHost(const std::string& host) {
  if (host.empty()) return false;
  std::lock_guard init(init_mutex_);
  std::set<uint32_t> current;
  HostStoreConfig config;
  {
    std::lock_guard lock(mutex_);
    auto it = address_sets_.find(host);
    if (it != address_sets_.end()) current = it->second;
    config = config_;
  }
  std::set<uint32_t> resolved = Resolve(host, std::move(current), config, {});
  std::lock_guard lock(mutex_);
  if (resolved.empty()) {
    address_sets_.erase(host);
    return false;
  }
  address_sets_[host] = std::move(resolved);
  return true;
}

bool HostStore::ProbeAndKeepMajority(const std::string& url, std::set<uint32_t>& addresses,
                                     const HostStoreConfig& config, std::stop_token stop) {
  std::map<int64_t, std::vector<uint32_t>> groups;
  for (uint32_t address : addresses) {
    std::string dotted = FormatIpv4(address);
    Log(kLogInfo, "[INFO] host ip=[%s]", dotted.c_str());
    int64_t length = ProbeContentLength(url, dotted, config.ca_bundle, config.probe_timeout, stop);
    if (stop.stop_requested()) return false;
    if (length == 0) continue;
    std::vector<uint32_t>& group = groups[length];
    group.push_back(address);
    if (group.size() >= 10) break;  // a clear majority; spare the other nodes
  }
  int64_t chosen = 0;
  size_t best = 0;
  for (const auto& [length, members] : groups) {  // ascending: ties keep the smaller length
    if (members.size() <= best) continue;
    best = members.size();
    chosen = length;
    Log(kLogInfo, "[INFO] ulfs_max=[%lld], count=[%d]", static_cast<long long>(length), static_cast<int>(best));
  }
  if (chosen == 0) return true;  // nobody answered: keep every address
  const std::vector<uint32_t>& keep = groups[chosen];
  for (auto it = addresses.begin(); it != addresses.end();) {
    if (std::find(keep.begin(), keep.end(), *it) != keep.end()) {
      ++it;
      continue;
    }
    Log(kLogWarn, "[WARN] remove host ip=[%s]", FormatIpv4(*it).c_str());
    it = addresses.erase(it);
  }
  std::lock_guard lock(mutex_);
  known_sizes_[url] = chosen;
  return true;
}

bool HostStore::InitHost(const std::string& url, std::stop_token stop) {
  if (url.empty()) {
    Log(kLogError, "[ERROR] init host url is empty.");
    return false;
  }
  UrlParts parts;
  if (!SplitUrl(url, parts) || parts.host.empty()) {
    Log(kLogError, "[ERROR] parse url failed!");
    return false;
  }
  std::lock_guard init(init_mutex_);
  HostStoreConfig config;
  {
    std::lock_guard lock(mutex_);
    auto it = address_sets_.find(parts.host);
    if (it != address_sets_.end() && !it->second.empty()) return true;
    config = config_;
  }
  std::set<uint32_t> addresses = Resolve(parts.host, {}, config, stop);
  if (addresses.empty()) {
    Log(kLogError, "[ERROR] query host failed!");
    return false;
  }
  if (!ProbeAndKeepMajority(url, addresses, config, stop)) {
    Log(kLogWarn, "[WARN] init host stopped, host=[%s].", parts.host.c_str());
    return false;
  }
  Log(kLogInfo, "[INFO] init host, vaild ip count=[%d]", static_cast<int>(addresses.size()));
  if (addresses.empty()) return false;
  std::lock_guard lock(mutex_);
  address_sets_[parts.host] = std::move(addresses);
  return true;
}

bool HostStore::HasHost(const std::string& url) const {
  UrlParts parts;
  if (!SplitUrl(url, parts)) return false;
  std::lock_guard lock(mutex_);
  auto it = address_sets_.find(parts.host);
  return it != address_sets_.end() && !it->second.empty();
}

void HostStore::ClearAll() {
  std::lock_guard init(init_mutex_);
  {
    std::lock_guard lock(mutex_);
    address_sets_.clear();
  }
  resolver_.FlushCache();
}

int64_t HostStore::GetSize(const std::string& url) const {
  std::lock_guard lock(mutex_);
  auto it = known_sizes_.find(url);
  return it == known_sizes_.end() ? 0 : it->second;
}

bool HostStore::GetDnsInfo(const std::string& url, std::string& host, std::string& addresses) const {
  UrlParts parts;
  if (!SplitUrl(url, parts)) return false;
  std::lock_guard lock(mutex_);
  auto it = address_sets_.find(parts.host);
  if (it == address_sets_.end() || it->second.empty()) return false;
  host = parts.host;
  addresses = JoinDotted(it->second, ",");
  return true;
}

bool HostStore::GetHostIps(const std::string& host, std::vector<std::string>& addresses) const {
  std::lock_guard lock(mutex_);
  auto it = address_sets_.find(host);
  if (it == address_sets_.end() || it->second.empty()) return false;
  addresses.clear();
  for (uint32_t address : it->second) addresses.push_back(FormatIpv4(address));
  return true;
}

// ================================================================ alias hosts

CAliasSwitchState& CAliasSwitchState::Instance() {
  static auto* state = new CAliasSwitchState();
  return *state;
}

std::string CAliasSwitchState::GetStickyHost(int32_t task_id) {
  std::lock_guard lock(mutex_);
  return entries_[task_id].sticky_host;
}

void CAliasSwitchState::SetStickyHost(int32_t task_id, const std::string& host) {
  std::lock_guard lock(mutex_);
  Entry& entry = entries_[task_id];
  entry.sticky_host = host;
  entry.sticky_failures = 0;
}

bool CAliasSwitchState::BeginAliasRound(int32_t task_id) {
  std::lock_guard lock(mutex_);
  Entry& entry = entries_[task_id];
  if (entry.gave_up) {
    Log(kLogWarn, "[WARN] alias switch, already gave up, pid=[%d], round=[%d].", task_id, entry.round);
    return false;
  }
  if (entry.round < kRoundLimit) {
    ++entry.round;
    Log(kLogInfo, "[INFO] alias switch, begin round=[%d/%d], pid=[%d].", entry.round, kRoundLimit, task_id);
    return true;
  }
  entry.gave_up = true;
  Log(kLogWarn, "[WARN] alias switch, round limit reached (%d), give up for pid=[%d].", kRoundLimit, task_id);
  return false;
}

void CAliasSwitchState::ReportStickyHostFailure(int32_t task_id) {
  std::lock_guard lock(mutex_);
  Entry& entry = entries_[task_id];
  if (entry.sticky_host.empty()) return;
  ++entry.sticky_failures;
  if (entry.sticky_failures < kStickyFailureLimit) return;
  Log(kLogWarn, "[WARN] alias switch, sticky host=[%s] failed [%d] rounds, drop it and fall back to origin, pid=[%d].",
      entry.sticky_host.c_str(), entry.sticky_failures, task_id);
  entry.sticky_host.clear();
  entry.sticky_failures = 0;
}

void CAliasSwitchState::ResetAliasRounds(int32_t task_id) {
  std::lock_guard lock(mutex_);
  Entry& entry = entries_[task_id];
  entry.round = 0;
  entry.gave_up = false;
  entry.sticky_failures = 0;
}

void CAliasSwitchState::SetAliasHostProvider(AliasHostProvider provider) {
  std::lock_guard lock(provider_mutex_);
  provider_ = std::move(provider);
}

std::vector<std::string> CAliasSwitchState::GetAliasHosts(int32_t task_id, const std::string& exe_version) {
  AliasHostProvider provider;
  {
    std::lock_guard lock(provider_mutex_);
    provider = provider_;
  }
  if (!provider) return {};
  return provider(task_id, exe_version);
}

// ================================================================ CHostSelector

CHostSelector::Options CHostSelector::DefaultOptions() {
  Options options;
  options.ca_bundle = oru::ProcessLocations().ca_bundle;
  return options;
}

CHostSelector::CHostSelector(HostEventSink sink, HostStore& store, CAliasSwitchState& alias, oru::Clock& clock,
                             Options options)
    : sink_(std::move(sink)), store_(store), alias_(alias), clock_(clock), options_(std::move(options)) {}

void CHostSelector::Send(DownloadEvent event) {
  if (sink_) sink_(std::move(event));
}

bool CHostSelector::ApplyStickyHost(HostJob& job) {
  std::string sticky = alias_.GetStickyHost(job.task_id);
  UrlParts parts;
  if (sticky.empty() || !IsPlausibleHost(sticky) || !SplitUrl(job.url, parts) || parts.host == sticky) return false;
  job.url = ReplaceUrlHost(job.url, sticky);
  job.sticky_host = sticky;
  Log(kLogInfo, "[INFO] multi, reuse sticky alias host=[%s], url=[%s].", sticky.c_str(), job.url.c_str());
  return true;
}

bool CHostSelector::PrepareHost(const std::string& url, bool clear_cache, int64_t& total_size, std::stop_token stop) {
  if (clear_cache && store_.HasHost(url)) {
    store_.ClearAll();
    Send(MakeValueEvent(DownloadEventType::DnsCacheCleared));
  }
  if (!store_.HasHost(url)) {
    if (!store_.InitHost(url, stop)) {
      Log(kLogError, "[ERROR] multi, get dns info failed!");
      ClearAddresses();
      return false;
    }
    total_size = store_.GetSize(url);
    std::string host;
    std::string addresses;
    if (store_.GetDnsInfo(url, host, addresses)) {
      Send(MakeTextEvent(DownloadEventType::DnsResolved, host + ":" + addresses));
    } else {
      Log(kLogError, "[ERROR] multi, get dns info failed! url=[%s].", url.c_str());
    }
  }
  UrlParts parts;
  std::vector<std::string> ips;
  if (SplitUrl(url, parts)) store_.GetHostIps(parts.host, ips);
  {
    std::lock_guard lock(map_mutex_);
    addresses_.clear();
    for (const std::string& ip : ips) addresses_[ip] = 0;
  }
  if (ips.empty()) {
    Log(kLogError, "[ERROR] multi, get dns info failed!");
    return false;
  }
  return true;
}

namespace {

// A size query's transfer: HEAD, later GET cut off at the first body byte.
struct SizeQuery {
  CurlEasy handle;
  CurlList resolve;
  TransferState state;
};

void SetSizeQueryOptions(SizeQuery& query, const std::string& url, const CHostSelector::Options& options) {
  CURL* h = query.handle.get();
  ApplySafeDefaults(h, options.ca_bundle);
  curl_easy_setopt(h, CURLOPT_URL, url.c_str());
  curl_easy_setopt(h, CURLOPT_NOBODY, 1L);
  curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, 1L);
  curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT, static_cast<long>(options.size_connect_timeout.count()));
  curl_easy_setopt(h, CURLOPT_TIMEOUT, static_cast<long>(options.size_total_timeout.count()));
  // An error page's length is not the package's size.
  curl_easy_setopt(h, CURLOPT_FAILONERROR, 1L);
  curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, OnBody);
  curl_easy_setopt(h, CURLOPT_WRITEDATA, &query.state);
  if (query.resolve.get() != nullptr) curl_easy_setopt(h, CURLOPT_RESOLVE, query.resolve.get());
  WatchStop(h, query.state);
}

// One try; the size it learned (-1 when none) or nullopt after a failed
// transfer, whose code lands in `code`.
std::optional<int64_t> PerformSizeTry(SizeQuery& query, CURLcode& code) {
  query.state.body_cut = false;
  code = curl_easy_perform(query.handle.get());
  if (code == CURLE_WRITE_ERROR && query.state.body_cut) code = CURLE_OK;
  if (code != CURLE_OK) {
    Log(kLogError, "[ERROR] multi, curl_easy_perform failed! error=[%d][%s].", static_cast<int>(code),
        curl_easy_strerror(code));
    return std::nullopt;
  }
  curl_off_t length = -1;
  CURLcode info = curl_easy_getinfo(query.handle.get(), CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length);
  if (info != CURLE_OK) {
    Log(kLogError, "[ERROR] multi, curl_easy_getinfo failed! error=[%d][%s].", static_cast<int>(info),
        curl_easy_strerror(info));
    return -1;
  }
  return static_cast<int64_t>(length);
}

}  // namespace

int64_t CHostSelector::QuerySize(const std::string& url, int tries, std::stop_token stop) {
  const int n = tries < 1 ? 10 : tries;
  SizeQuery query;
  query.handle.reset(curl_easy_init());
  if (!query.handle) {
    Log(kLogError, "[ERROR] multi, curl_easy_init failed!");
    return 0;
  }
  query.state.stop_at_body = true;
  query.state.stop = stop;
  std::string address = TakeLeastUsedAddress();
  UrlParts parts;
  if (!address.empty() && SplitUrl(url, parts)) {
    for (const std::string& entry : PinEntries(parts, address)) query.resolve.Append(entry);
  }
  SetSizeQueryOptions(query, url, options_);
  int64_t size = 0;
  int tls_errors = 0;
  for (int i = 0; i < n && !stop.stop_requested(); ++i) {
    if (i > 0 && i == n / 2) {  // the later half asks for the body: some servers ignore HEAD
      curl_easy_setopt(query.handle.get(), CURLOPT_NOBODY, 0L);
      curl_easy_setopt(query.handle.get(), CURLOPT_HTTPGET, 1L);
    }
    CURLcode code = CURLE_OK;
    std::optional<int64_t> learned = PerformSizeTry(query, code);
    if (!learned && IsTlsError(code) && ++tls_errors >= 6) {
      Log(kLogWarn, "[WARN] multi, ssl error %d times in a row, stop retrying this host.", tls_errors);
      break;
    }
    if (learned) {
      tls_errors = 0;
      size = *learned;
    }
    if (size > 0) break;
    if (i + 1 < n && !clock_.SleepFor(options_.size_retry_wait, stop)) break;
  }
  return size > 0 ? size : 0;
}

std::string CHostSelector::TakeLeastUsedAddress() {
  std::lock_guard lock(map_mutex_);
  auto least = addresses_.end();
  for (auto it = addresses_.begin(); it != addresses_.end(); ++it) {
    if (least == addresses_.end() || it->second < least->second) least = it;
  }
  if (least == addresses_.end()) return {};
  ++least->second;
  return least->first;
}

void CHostSelector::ClearAddresses() {
  std::lock_guard lock(map_mutex_);
  addresses_.clear();
}

std::map<std::string, uint32_t> CHostSelector::Addresses() const {
  std::lock_guard lock(map_mutex_);
  return addresses_;
}

bool CHostSelector::TryAliasHostsForSize(HostJob& job, std::stop_token stop) {
  return RunAliasRound(job, RoundKind::kForSize, 0, {}, stop);
}

bool CHostSelector::SwitchAliasForTls(HostJob& job, int32_t tls_error_count,
                                      const std::function<void()>& discard_temp_file, std::stop_token stop) {
  return RunAliasRound(job, RoundKind::kForTls, tls_error_count, discard_temp_file, stop);
}

bool CHostSelector::RunAliasRound(HostJob& job, RoundKind kind, int32_t tls_error_count,
                                  const std::function<void()>& discard_temp_file, std::stop_token stop) {
  const bool tls = kind == RoundKind::kForTls;
  alias_.SetStickyHost(job.task_id, {});
  if (!alias_.BeginAliasRound(job.task_id)) return false;
  std::vector<std::string> hosts = alias_.GetAliasHosts(job.task_id, job.exe_version);
  if (hosts.empty()) {
    if (tls) Log(kLogWarn, "[WARN] multi, ssl error, but no alias host available.");
    if (!tls) Log(kLogWarn, "[WARN] multi, no alias host available.");
    return false;
  }
  UrlParts parts;
  SplitUrl(job.url, parts);
  const std::string origin = parts.host;
  const int count = static_cast<int>(hosts.size());
  if (tls) {
    Log(kLogInfo, "[INFO] multi, ssl error count=[%d], try alias hosts, origin=[%s], count=[%d].", tls_error_count,
        origin.c_str(), count);
  } else {
    Log(kLogInfo, "[INFO] multi, try alias hosts, origin=[%s], count=[%d].", origin.c_str(), count);
  }
  const std::string start_url = job.url;
  const int64_t start_size = job.total_size;
  int tried = 0;
  for (const std::string& host : hosts) {
    if (host.empty() || host == origin) continue;
    if (!IsPlausibleHost(host)) {
      // Never spliced into a URL, never printed as it stands.
      Log(kLogWarn, "[WARN] multi, skip alias host that is not a host name, length=[%d].", static_cast<int>(host.size()));
      continue;
    }
    if (tried >= CAliasSwitchState::kHostsPerRound) {
      Log(kLogWarn, "[WARN] multi, alias host try limit reached (%d).", CAliasSwitchState::kHostsPerRound);
      break;
    }
    if (stop.stop_requested()) break;
    ++tried;
    if (TryOneAlias(job, kind, origin, host, discard_temp_file, stop)) return true;
  }
  ClearAddresses();
  if (!stop.stop_requested()) PrepareHost(start_url, true, job.total_size, stop);
  if (tls) {
    job.total_size = start_size;
    Log(kLogError, "[ERROR] multi, ssl error, all alias hosts failed, tried=[%d].", tried);
  } else {
    job.total_size = 0;
    Log(kLogError, "[ERROR] multi, all alias hosts failed, tried=[%d].", tried);
  }
  return false;
}

bool CHostSelector::TryOneAlias(HostJob& job, RoundKind kind, const std::string& origin, const std::string& host,
                                const std::function<void()>& discard_temp_file, std::stop_token stop) {
  const bool tls = kind == RoundKind::kForTls;
  const std::string alias_url = ReplaceUrlHost(job.url, host);
  if (tls) Log(kLogInfo, "[INFO] multi, ssl error, try alias host=[%s].", host.c_str());
  if (!tls) Log(kLogInfo, "[INFO] multi, try alias host=[%s], url=[%s].", host.c_str(), alias_url.c_str());
  const int64_t expected = job.total_size;
  ClearAddresses();
  PrepareHost(alias_url, true, job.total_size, stop);
  if (tls) job.total_size = expected;
  const int64_t size = QuerySize(alias_url, 2, stop);
  if (!tls && size <= 0) {
    Log(kLogWarn, "[WARN] multi, alias host failed, host=[%s].", host.c_str());
    return false;
  }
  if (tls && (size <= 0 || size != expected)) {
    Log(kLogWarn, "[WARN] multi, alias host size mismatch, host=[%s], size=[%lld], expect=[%lld], skip.", host.c_str(),
        static_cast<long long>(size), static_cast<long long>(expected));
    return false;
  }
  if (tls) {
    // The next attempt starts fresh on the new host.
    if (discard_temp_file) discard_temp_file();
    Log(kLogInfo, "[INFO] multi, ssl error, switch host [%s] -> [%s], size=[%lld].", origin.c_str(), host.c_str(),
        static_cast<long long>(size));
  } else {
    Log(kLogInfo, "[INFO] multi, alias host success, [%s] -> [%s], size=[%lld].", origin.c_str(), host.c_str(),
        static_cast<long long>(size));
    job.total_size = size;
  }
  job.url = alias_url;
  job.sticky_host = host;
  alias_.SetStickyHost(job.task_id, host);
  return true;
}

void CHostSelector::ReportAttemptFailed(const HostJob& job, int32_t result) {
  if (job.sticky_host.empty() || result == 9 || result == 10) return;
  alias_.ReportStickyHostFailure(job.task_id);
}

void CHostSelector::ReportDownloadSucceeded(const HostJob& job) { alias_.ResetAliasRounds(job.task_id); }

}  // namespace ns_PEM
