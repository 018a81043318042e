#include "server_api/strategy_services.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <limits>
#include <map>
#include <mutex>
#include <optional>
#include <string_view>
#include <utility>

#include "common/json.h"
#include "common/log.h"
#include "common/url.h"
#include "platform/system_info.h"
#include "server_api/service_endpoints.h"

namespace oru {
namespace {

using namespace std::chrono_literals;

constexpr const char* kTokenVersion = "1.1.1";
constexpr std::chrono::milliseconds kRelationTimeout = 10s;
constexpr std::chrono::milliseconds kStrategyTimeout = 5s;
constexpr int32_t kCurlTimedOut = CURLE_OPERATION_TIMEDOUT;  // 28
// Beyond these a probe measures nothing new and only delays the download.
constexpr int32_t kMaxProbeMb = 64;
constexpr int32_t kMaxProbeSeconds = 30;

std::atomic<int64_t> g_strategy_timeout_ms{kStrategyTimeout.count()};
std::atomic<Clock*> g_probe_clock{nullptr};
std::atomic<int64_t> g_probe_second_ms{1000};

// One cache of successful answers; any thread.
template <typename Key, typename Value>
class AnswerCache {
 public:
  std::optional<Value> Find(const Key& key) {
    std::lock_guard lock(mutex_);
    auto it = answers_.find(key);
    if (it == answers_.end()) return std::nullopt;
    return it->second;
  }
  void Store(const Key& key, Value value) {
    std::lock_guard lock(mutex_);
    answers_[key] = std::move(value);
  }
  void Clear() {
    std::lock_guard lock(mutex_);
    answers_.clear();
  }

 private:
  std::mutex mutex_;
  std::map<Key, Value> answers_;
};

struct StrategyCaches {
  AnswerCache<int32_t, std::vector<int32_t>> relation;
  AnswerCache<int32_t, PreheatConfig> preheat;
  AnswerCache<int32_t, SliceStrategy> slice;
  AnswerCache<std::string, std::vector<std::string>> alias;
  // Held for a whole alias-host call, so concurrent downloads ask one after
  // another and the later ones are usually answered from the cache.
  std::mutex alias_call;
};

StrategyCaches& Caches() {
  static auto* caches = new StrategyCaches();  // never destroyed: used until exit
  return *caches;
}

std::chrono::milliseconds StrategyTimeout() { return std::chrono::milliseconds(g_strategy_timeout_ms.load()); }

Clock& ProbeClock() {
  Clock* clock = g_probe_clock.load();
  return clock != nullptr ? *clock : SystemClock();
}

std::string ServiceUrl(const std::string& path_and_query) {
  return GetServiceEndpoints().api_secondary + path_and_query;
}

std::string BearerLine(const std::string& token) { return "Authorization: Bearer " + token; }

// GET with the settings all four services share.
std::string ServiceGet(const std::string& url, const HeaderList& headers, std::chrono::milliseconds timeout,
                       int32_t* curl_code) {
  *curl_code = 0;
  return CurlRequest(RequestMethod::Get, url, headers, true, false, std::string(), curl_code, timeout);
}

// The services' success marker, checked on the text as the service writes
// it and on the parsed answer, so that a "code":0 nested somewhere else
// cannot pass for success.
bool IsServiceSuccess(const std::string& response) {
  return response.find("\"code\":0") != std::string::npos && ReadApiCode(response) == 0;
}

// A non-negative whole-number member, fraction dropped; 0 for anything else
// (negative numbers, texts, values beyond 32 bits).
int32_t ReadInt(JsonView object, std::string_view name) {
  std::optional<double> value = object.Get(name).Number();
  if (!value || !std::isfinite(*value) || *value < 0 || *value > std::numeric_limits<int32_t>::max()) return 0;
  return static_cast<int32_t>(*value);
}

std::string ReadText(JsonView object, std::string_view name) { return object.Get(name).String().value_or(""); }

bool ReadFlag(JsonView object, std::string_view name) { return object.Get(name).Bool().value_or(false); }

// A positive whole number within 32 bits.
std::optional<int32_t> PositiveId(JsonView element) {
  std::optional<double> value = element.Number();
  if (!value || !std::isfinite(*value) || *value < 1 || *value > std::numeric_limits<int32_t>::max()) {
    return std::nullopt;
  }
  if (std::trunc(*value) != *value) return std::nullopt;
  return static_cast<int32_t>(*value);
}

// --------------------------------------------------------------- relations

// The ids of a relation answer; nullopt when "data" is not an array.
std::optional<std::vector<int32_t>> ReadRelationIds(const std::string& response) {
  std::optional<JsonDocument> doc = JsonDocument::Parse(response);
  if (!doc) return std::nullopt;
  JsonView data = doc->root().Get("data");
  if (!data.IsArray()) return std::nullopt;
  std::vector<int32_t> ids;
  for (int i = 0; i < data.Size(); ++i) {
    if (std::optional<int32_t> id = PositiveId(data.At(i))) ids.push_back(*id);
  }
  return ids;
}

// ----------------------------------------------------------------- preheat

PreheatConfig ReadPreheat(JsonView data) {
  PreheatConfig config;
  config.preheat_file_size_mb = ReadInt(data, "preheat_file_size_mb");
  config.max_probe_time_s = ReadInt(data, "max_probe_time_s");
  config.version = ReadText(data, "version");
  config.hit_strategy = ReadFlag(data, "hit_strategy");
  config.enabled = config.max_probe_time_s >= 1;
  return config;
}

std::string PreheatUrl(int32_t product_id, int32_t package_size, const std::string& strategy_name) {
  return ServiceUrl("/v3/downloader/strategy/preheat?pid=" + std::to_string(product_id) +
                    "&package_size=" + std::to_string(package_size) + "&strategy_name=" + UrlEncode(strategy_name));
}

// ------------------------------------------------------------------- slice

SliceStrategy ReadSlice(JsonView data) {
  SliceStrategy strategy;
  strategy.slice_count = ReadInt(data, "slice_count");
  strategy.concurrency = ReadInt(data, "concurrency");
  strategy.slice_upper_limit = ReadInt(data, "slice_upper_limit");
  strategy.target_slice_size = ReadInt(data, "target_slice_size");
  strategy.version = ReadText(data, "version");
  strategy.hit_strategy = ReadFlag(data, "hit_strategy");
  strategy.network_tier_label = ReadText(data, "network_tier_label");
  strategy.package_tier_min_mb = ReadText(data, "package_tier_min_mb");
  strategy.package_tier_max_mb = ReadText(data, "package_tier_max_mb");
  strategy.valid = true;
  return strategy;
}

std::string FormatThroughput(double throughput) {
  char text[64];
  std::snprintf(text, sizeof(text), "%.2f", throughput);
  return text;
}

std::string SliceUrl(int32_t product_id, int32_t package_size, double throughput, bool enable_custom_strategy,
                     const std::string& strategy_name, int32_t network_tier_basis) {
  return ServiceUrl("/v3/downloader/strategy?pid=" + std::to_string(product_id) +
                    "&throughput_mbps=" + UrlEncode(FormatThroughput(throughput)) +
                    "&package_size=" + std::to_string(package_size) +
                    "&enable_custom_strategy=" + std::to_string(enable_custom_strategy ? 1 : 0) +
                    "&strategy_name=" + UrlEncode(strategy_name) +
                    "&network_tier_basis=" + std::to_string(network_tier_basis));
}

void LogSliceSuccess(int32_t product_id, const SliceStrategy& s) {
  Log(kLogInfo,
      "[INFO] GetSliceStrategy, success, product_id=[%d], slice_count=[%d], concurrency=[%d], "
      "slice_upper_limit=[%d], target_slice_size=[%d], version=[%s], hit_strategy=[%d], network_tier=[%s], "
      "package_tier_min_mb=[%s], package_tier_max_mb=[%s]",
      product_id, s.slice_count, s.concurrency, s.slice_upper_limit, s.target_slice_size, s.version.c_str(),
      s.hit_strategy ? 1 : 0, s.network_tier_label.c_str(), s.package_tier_min_mb.c_str(),
      s.package_tier_max_mb.c_str());
}

// ------------------------------------------------------------ alias hosts

int32_t AliasPlatformNumber() {
  const MachineFacts& facts = GetMachineFacts();
  if (!facts.wow64) return 1;
  if (facts.native == CpuArchitecture::kArm64) return 8;
  return 2;
}

bool IsHostNameChar(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' || c == '-' ||
         c == '_';
}

// "name" or "name:port": the shape of a host the download engine can pin.
bool IsPlausibleHost(std::string_view host) {
  size_t colon = host.find(':');
  std::string_view name = host.substr(0, colon);
  if (name.empty() || !std::all_of(name.begin(), name.end(), IsHostNameChar)) return false;
  if (colon == std::string_view::npos) return true;
  std::string_view port = host.substr(colon + 1);
  if (port.empty() || port.size() > 5) return false;
  if (!std::all_of(port.begin(), port.end(), [](char c) { return c >= '0' && c <= '9'; })) return false;
  const int value = std::stoi(std::string(port));
  return value >= 1 && value <= 65535;
}

// Host part of a piece the service sent: trimmed, scheme dropped, path cut.
std::string NormaliseAliasHost(std::string_view piece) {
  constexpr std::string_view kTrim = " \t\r\n\"";
  size_t first = piece.find_first_not_of(kTrim);
  if (first == std::string_view::npos) return {};
  piece = piece.substr(first, piece.find_last_not_of(kTrim) - first + 1);
  size_t scheme = piece.find("://");
  if (scheme != std::string_view::npos) piece.remove_prefix(scheme + 3);
  return std::string(piece.substr(0, piece.find('/')));
}

std::vector<std::string> ReadAliasHosts(const std::string& response) {
  std::vector<std::string> hosts;
  std::optional<JsonDocument> doc = JsonDocument::Parse(response);
  JsonView data = doc ? doc->root().Get("data") : JsonView();
  for (int i = 0; i < data.Size(); ++i) {
    std::optional<std::string> piece = data.At(i).String();
    if (!piece) continue;
    std::string host = NormaliseAliasHost(*piece);
    if (host.empty()) continue;
    if (!IsPlausibleHost(host)) {
      Log(kLogWarn, "[WARN] GetDownloadAliasHosts, host dropped, host=[%s]", host.c_str());
      continue;
    }
    hosts.push_back(std::move(host));
  }
  return hosts;
}

// The hosts of the service's answer; nullopt when the request failed.
std::optional<std::vector<std::string>> FetchAliasHosts(int32_t product_id, const std::string& version,
                                         const std::string& client_serial, int32_t platform) {
  const std::string url = ServiceUrl("/v5/product/download-alias-host?pid=" + std::to_string(product_id) +
                                     "&version=" + UrlEncode(version) + "&platform=" + std::to_string(platform));
  Log(kLogInfo, "[INFO] GetDownloadAliasHosts, url=[%s]", url.c_str());
  const std::string token_version = version.empty() ? kTokenVersion : version;
  const std::string token = GetAccessToken(std::to_string(product_id), client_serial, token_version);
  int32_t curl_code = 0;
  const std::string response = ServiceGet(
      url, DownloadAliasHostHeaders(product_id, token, token_version, client_serial), StrategyTimeout(), &curl_code);
  Log(kLogInfo, "[INFO] GetDownloadAliasHosts, response=[%s]", response.c_str());
  if (curl_code == kCurlTimedOut) {
    Log(kLogWarn, "[WARN] GetDownloadAliasHosts, timeout (5s), skip. product_id=[%d], version=[%s]", product_id,
        version.c_str());
    return std::nullopt;
  }
  if (!IsServiceSuccess(response)) {
    Log(kLogWarn,
        "[WARN] GetDownloadAliasHosts, api error, product_id=[%d], version=[%s], curl_code=[%d], response=[%s]",
        product_id, version.c_str(), curl_code, response.c_str());
    return std::nullopt;
  }
  return ReadAliasHosts(response);
}

// ------------------------------------------------------------------- probe

size_t CountBytes(char*, size_t size, size_t count, void* user) {
  *static_cast<int64_t*>(user) += static_cast<int64_t>(size * count);
  return size * count;
}

long long Ll(int64_t value) { return static_cast<long long>(value); }

// One timed ranged GET whose body is counted and dropped. nullopt when no
// handle could be made (logged); otherwise the transfer's code, with the
// bytes received and the seconds it took.
std::optional<CURLcode> RunProbe(const std::string& url, int32_t size_mb, int32_t time_s, int64_t* bytes,
                                 double* elapsed) {
  CurlEasyHandle handle = NewCurlEasyHandle();
  if (!handle) {
    Log(kLogError, "[ERROR] ProbeCdnBandwidth, curl init failed!");
    return std::nullopt;
  }
  CURL* h = handle.get();
  CurlHeaderSlist headers = BuildCurlHeaderList(
      {"Range: bytes=0-" + std::to_string(static_cast<int64_t>(size_mb) * 1048576 - 1), "connection: close"});
  SetSharedTransportOptions(h);
  curl_easy_setopt(h, CURLOPT_HTTPHEADER, headers.get());
  curl_easy_setopt(h, CURLOPT_URL, url.c_str());
  curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, &CountBytes);
  curl_easy_setopt(h, CURLOPT_WRITEDATA, bytes);
  // An error page is not the package: its bytes say nothing about bandwidth.
  curl_easy_setopt(h, CURLOPT_FAILONERROR, 1L);
  curl_easy_setopt(h, CURLOPT_TIMEOUT_MS, static_cast<long>(time_s * g_probe_second_ms.load()));
  Log(kLogInfo, "[INFO] ProbeCdnBandwidth, start, url=[%s], probe_size_mb=[%d], max_time_s=[%d]", url.c_str(),
      size_mb, time_s);
  Clock& clock = ProbeClock();
  const Clock::Ticks start = clock.NowTicks();
  const CURLcode code = curl_easy_perform(h);
  *elapsed = static_cast<double>((clock.NowTicks() - start).count()) / 1000.0;
  return code;
}

}  // namespace

std::vector<int32_t> GetRelationProductIds(int32_t product_id, const std::string& client_serial) {
  if (std::optional<std::vector<int32_t>> cached = Caches().relation.Find(product_id)) {
    Log(kLogInfo, "[INFO] GetRelationProductIds, use cache, product_id=[%d], relation_count=[%d]", product_id,
        static_cast<int>(cached->size()));
    return *cached;
  }
  const std::string url = ServiceUrl("/v5/product/get-relation-pid/" + std::to_string(product_id));
  Log(kLogInfo, "[INFO] GetRelationProductIds, url=[%s]", url.c_str());
  const std::string token = GetAccessToken(std::to_string(product_id), client_serial, kTokenVersion);
  int32_t curl_code = 0;
  const std::string response = ServiceGet(url, {BearerLine(token)}, kRelationTimeout, &curl_code);
  Log(kLogInfo, "[INFO] GetRelationProductIds, response=[%s]", response.c_str());
  if (!IsServiceSuccess(response)) {
    Log(kLogWarn, "[WARN] GetRelationProductIds, api error, product_id=[%d], response=[%s]", product_id,
        response.c_str());
    return {};
  }
  std::optional<std::vector<int32_t>> ids = ReadRelationIds(response);
  if (!ids) return {};
  Log(kLogInfo, "[INFO] GetRelationProductIds, success, product_id=[%d], relation_count=[%d]", product_id,
      static_cast<int>(ids->size()));
  if (ids->empty()) return {};
  Caches().relation.Store(product_id, *ids);
  Log(kLogInfo, "[INFO] GetRelationProductIds, cache saved, product_id=[%d]", product_id);
  return *ids;
}

PreheatConfig GetPreheatConfig(int32_t product_id, int32_t package_size, const std::string& client_serial,
                               const std::string& strategy_name) {
  if (std::optional<PreheatConfig> c = Caches().preheat.Find(product_id)) {
    Log(kLogInfo,
        "[INFO] GetPreheatConfig, use cache, product_id=[%d], preheat_file_size_mb=[%d], max_probe_time_s=[%d], "
        "hit_strategy=[%d]",
        product_id, c->preheat_file_size_mb, c->max_probe_time_s, c->hit_strategy ? 1 : 0);
    return *c;
  }
  const std::string url = PreheatUrl(product_id, package_size, strategy_name);
  Log(kLogInfo, "[INFO] GetPreheatConfig, url=[%s]", url.c_str());
  const std::string token = GetAccessToken(std::to_string(product_id), client_serial, kTokenVersion);
  int32_t curl_code = 0;
  const std::string response = ServiceGet(url, {BearerLine(token)}, StrategyTimeout(), &curl_code);
  Log(kLogInfo, "[INFO] GetPreheatConfig, response=[%s]", response.c_str());
  if (curl_code == kCurlTimedOut) {
    Log(kLogWarn, "[WARN] GetPreheatConfig, timeout (5s), skip. product_id=[%d], package_size_mb=[%d]", product_id,
        package_size);
    return {};
  }
  if (!IsServiceSuccess(response)) {
    Log(kLogWarn,
        "[WARN] GetPreheatConfig, api error, product_id=[%d], package_size_mb=[%d], curl_code=[%d], "
        "response=[%s]",
        product_id, package_size, curl_code, response.c_str());
    return {};
  }
  std::optional<JsonDocument> doc = JsonDocument::Parse(response);
  JsonView data = doc ? doc->root().Get("data") : JsonView();
  if (!data.IsObject()) return {};
  const PreheatConfig config = ReadPreheat(data);
  Log(kLogInfo,
      "[INFO] GetPreheatConfig, success, product_id=[%d], preheat_file_size_mb=[%d], max_probe_time_s=[%d], "
      "version=[%s], hit_strategy=[%d]",
      product_id, config.preheat_file_size_mb, config.max_probe_time_s, config.version.c_str(),
      config.hit_strategy ? 1 : 0);
  Caches().preheat.Store(product_id, config);
  return config;
}

BandwidthProbeResult ProbeCdnBandwidth(const std::string& package_url, int32_t probe_size_mb,
                                       int32_t max_probe_time_s) {
  if (package_url.empty() || probe_size_mb <= 0 || max_probe_time_s <= 0) {
    Log(kLogWarn, "[WARN] ProbeCdnBandwidth, invalid params, probe_size_mb=[%d], max_probe_time_s=[%d]", probe_size_mb,
        max_probe_time_s);
    return {};
  }
  const int32_t size_mb = std::min(probe_size_mb, kMaxProbeMb);
  const int32_t time_s = std::min(max_probe_time_s, kMaxProbeSeconds);
  int64_t bytes = 0;
  double elapsed = 0;
  std::optional<CURLcode> code = RunProbe(package_url, size_mb, time_s, &bytes, &elapsed);
  if (!code) return {};
  if (*code != CURLE_OK && *code != CURLE_OPERATION_TIMEDOUT) {
    Log(kLogWarn, "[WARN] ProbeCdnBandwidth, curl failed, code=[%d], elapsed_s=[%.3f]", static_cast<int>(*code),
        elapsed);
    return {};
  }
  if (elapsed < 0.001 || bytes <= 0) {
    Log(kLogWarn, "[WARN] ProbeCdnBandwidth, no data, bytes=[%lld], elapsed_s=[%.3f]", Ll(bytes), elapsed);
    return {};
  }
  BandwidthProbeResult result{static_cast<double>(bytes) / elapsed / 1000000.0, elapsed, bytes};
  Log(kLogInfo,
      "[INFO] ProbeCdnBandwidth, done, bytes=[%lld], elapsed_s=[%.3f], throughput_mbps=[%.2f], curl_code=[%d]",
      Ll(bytes), elapsed, result.throughput, static_cast<int>(*code));
  return result;
}

SliceStrategy GetSliceStrategy(int32_t product_id, int32_t package_size, double throughput,
                               bool enable_custom_strategy, const std::string& strategy_name,
                               int32_t network_tier_basis, const std::string& client_serial) {
  if (std::optional<SliceStrategy> c = Caches().slice.Find(product_id)) {
    Log(kLogInfo,
        "[INFO] GetSliceStrategy, use cache, product_id=[%d], slice_count=[%d], concurrency=[%d], hit_strategy=[%d]",
        product_id, c->slice_count, c->concurrency, c->hit_strategy ? 1 : 0);
    return *c;
  }
  const std::string url =
      SliceUrl(product_id, package_size, throughput, enable_custom_strategy, strategy_name, network_tier_basis);
  Log(kLogInfo, "[INFO] GetSliceStrategy, url=[%s]", url.c_str());
  const std::string token = GetAccessToken(std::to_string(product_id), client_serial, kTokenVersion);
  int32_t curl_code = 0;
  const std::string response = ServiceGet(url, {BearerLine(token)}, StrategyTimeout(), &curl_code);
  Log(kLogInfo, "[INFO] GetSliceStrategy, response=[%s]", response.c_str());
  if (curl_code == kCurlTimedOut) {
    Log(kLogWarn,
        "[WARN] GetSliceStrategy, timeout (5s), skip. product_id=[%d], throughput_mbps=[%.2f], "
        "package_size_mb=[%d]",
        product_id, throughput, package_size);
    return {};
  }
  if (!IsServiceSuccess(response)) {
    Log(kLogWarn,
        "[WARN] GetSliceStrategy, api error, product_id=[%d], throughput_mbps=[%.2f], package_size_mb=[%d], "
        "curl_code=[%d], response=[%s]",
        product_id, throughput, package_size, curl_code, response.c_str());
    return {};
  }
  std::optional<JsonDocument> doc = JsonDocument::Parse(response);
  JsonView data = doc ? doc->root().Get("data") : JsonView();
  if (!data.IsObject()) return {};
  const SliceStrategy strategy = ReadSlice(data);
  LogSliceSuccess(product_id, strategy);
  Caches().slice.Store(product_id, strategy);
  return strategy;
}

std::vector<std::string> GetDownloadAliasHosts(int32_t product_id, const std::string& version,
                                               const std::string& client_serial) {
  const int32_t platform = AliasPlatformNumber();
  const std::string key = std::to_string(product_id) + "_" + version + "_" + std::to_string(platform);
  std::lock_guard call_lock(Caches().alias_call);
  if (std::optional<std::vector<std::string>> cached = Caches().alias.Find(key)) {
    Log(kLogInfo, "[INFO] GetDownloadAliasHosts, use cache, key=[%s], host_count=[%d]", key.c_str(),
        static_cast<int>(cached->size()));
    return *cached;
  }
  std::optional<std::vector<std::string>> fetched = FetchAliasHosts(product_id, version, client_serial, platform);
  if (!fetched) return {};
  std::vector<std::string> hosts = std::move(*fetched);
  if (hosts.empty()) {
    Log(kLogWarn, "[WARN] GetDownloadAliasHosts, empty data, product_id=[%d], version=[%s]", product_id,
        version.c_str());
    return {};
  }
  Caches().alias.Store(key, hosts);
  Log(kLogInfo, "[INFO] GetDownloadAliasHosts, success, product_id=[%d], version=[%s], platform=[%d], host_count=[%d]",
      product_id, version.c_str(), platform, static_cast<int>(hosts.size()));
  return hosts;
}

HeaderList DownloadAliasHostHeaders(int32_t product_id, const std::string& token, const std::string& token_version,
                                    const std::string& client_serial) {
  return {
      "Content-Type: application/json",
      BearerLine(token),
      "X-Prod-Id: " + std::to_string(product_id),
      "X-Prod-Ver: " + token_version,
      "X-Client-Type: 1",
      "X-Client-Sn: " + client_serial,
  };
}

void ResetStrategyCachesForTesting() {
  StrategyCaches& caches = Caches();
  caches.relation.Clear();
  caches.preheat.Clear();
  caches.slice.Clear();
  std::lock_guard call_lock(caches.alias_call);
  caches.alias.Clear();
}

void SetStrategyTimeoutForTesting(std::chrono::milliseconds timeout) {
  g_strategy_timeout_ms.store(timeout.count() > 0 ? timeout.count() : kStrategyTimeout.count());
}

void SetProbeTimingForTesting(Clock* clock, std::chrono::milliseconds probe_second) {
  g_probe_clock.store(clock);
  g_probe_second_ms.store(probe_second.count() > 0 ? probe_second.count() : 1000);
}

}  // namespace oru
