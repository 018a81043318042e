#include "product_server/endpoints.h"

#include <cjson/cJSON.h>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <strings.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>

#include "common/url.h"
#include "product_server/collector.h"
#include "product_server/json_value.h"

namespace oru::product_server {
namespace {

constexpr int kMaxRedirects = 20;

bool EqualsNoCase(const std::string& a, const std::string& b) {
  return a.size() == b.size() && strncasecmp(a.data(), b.data(), a.size()) == 0;
}

bool StartsWith(const std::string& text, const std::string& prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}

bool EndsWith(const std::string& text, const std::string& suffix) {
  return text.size() >= suffix.size() && text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

std::string Lower(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return text;
}

// Compares secrets without stopping at the first difference.
bool SameSecret(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  unsigned char diff = 0;
  for (size_t i = 0; i < a.size(); ++i) diff |= static_cast<unsigned char>(a[i] ^ b[i]);
  return diff == 0;
}

std::string Hex(const unsigned char* bytes, size_t size) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out;
  for (size_t i = 0; i < size; ++i) {
    out.push_back(kDigits[bytes[i] >> 4]);
    out.push_back(kDigits[bytes[i] & 0x0F]);
  }
  return out;
}

std::string RandomHex(size_t bytes) {
  std::vector<unsigned char> data(bytes);
  if (RAND_bytes(data.data(), static_cast<int>(data.size())) != 1) return {};
  return Hex(data.data(), data.size());
}

std::string Sha256Hex(const std::string& text) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (EVP_Digest(text.data(), text.size(), digest, &length, EVP_sha256(), nullptr) != 1) return {};
  return Hex(digest, length);
}

std::string Md5OfFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return {};
  std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx(EVP_MD_CTX_new(), &EVP_MD_CTX_free);
  if (!ctx || EVP_DigestInit_ex(ctx.get(), EVP_md5(), nullptr) != 1) return {};
  std::vector<char> buffer(1 << 16);
  while (in) {
    in.read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
    if (in.gcount() > 0) EVP_DigestUpdate(ctx.get(), buffer.data(), static_cast<size_t>(in.gcount()));
  }
  if (in.bad()) return {};
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (EVP_DigestFinal_ex(ctx.get(), digest, &length) != 1) return {};
  return Hex(digest, length);
}

// Escapes text for XML and HTML element content and attribute values.
std::string Escape(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      case '\'': out += "&#39;"; break;
      default: out.push_back(c);
    }
  }
  return out;
}

Answer PlainAnswer(int status, const std::string& text, const std::string& type = "text/plain") {
  Answer a;
  a.status = status;
  a.content_type = type;
  a.body = text;
  return a;
}

bool IsRead(const Call& call) { return call.method == "GET" || call.method == "HEAD"; }

struct ByteRange {
  int64_t first = 0;
  int64_t last = 0;
  bool satisfiable = true;
};

// One "bytes=a-b", "bytes=a-" or "bytes=-n" range against `size`; nullopt
// when the header is absent, malformed or asks for several ranges (the
// whole file is sent then).
std::optional<ByteRange> ParseRange(std::string header, int64_t size) {
  header.erase(std::remove(header.begin(), header.end(), ' '), header.end());
  if (!StartsWith(Lower(header), "bytes=")) return std::nullopt;
  std::string wanted = header.substr(6);
  size_t dash = wanted.find('-');
  if (wanted.find(',') != std::string::npos || dash == std::string::npos) return std::nullopt;
  std::string a = wanted.substr(0, dash);
  std::string b = wanted.substr(dash + 1);
  std::optional<int64_t> x = ParseDecimal(a);
  std::optional<int64_t> y = ParseDecimal(b);
  if (a.empty()) {  // the last n bytes
    if (!y) return std::nullopt;
    if (*y == 0 || size == 0) return ByteRange{0, 0, false};
    return ByteRange{std::max<int64_t>(0, size - *y), size - 1, true};
  }
  if (!x || (!b.empty() && !y)) return std::nullopt;
  if ((y && *y < *x) || *x >= size) return ByteRange{0, 0, false};
  return ByteRange{*x, y ? std::min(*y, size - 1) : size - 1, true};
}

std::string PageHtml(const std::string& title, const httplib::Params& params) {
  std::string html = "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>" + Escape(title) +
                     "</title></head>\n<body><h1>" + Escape(title) + "</h1>\n";
  if (!params.empty()) {
    html += "<ul>\n";
    for (const auto& [key, value] : params) html += "<li>" + Escape(key) + " = " + Escape(value) + "</li>\n";
    html += "</ul>\n";
  }
  return html + "</body></html>\n";
}

// The path segments after `prefix`, each a safe name; nullopt otherwise.
std::optional<std::vector<std::string>> SafeSegments(const std::string& rest) {
  std::vector<std::string> segments;
  size_t at = 0;
  while (at <= rest.size()) {
    size_t slash = rest.find('/', at);
    std::string segment = rest.substr(at, slash == std::string::npos ? std::string::npos : slash - at);
    if (!IsSafeName(segment)) return std::nullopt;
    segments.push_back(segment);
    if (slash == std::string::npos) break;
    at = slash + 1;
  }
  return segments;
}

bool IsPlainQuery(const std::string& query) {
  return std::none_of(query.begin(), query.end(), [](char c) {
    auto u = static_cast<unsigned char>(c);
    return u <= 0x20 || u == 0x7F;
  });
}

}  // namespace

// A run of 1 to 18 decimal digits and nothing else.
std::optional<int64_t> ParseDecimal(const std::string& text) {
  if (text.empty() || text.size() > 18) return std::nullopt;
  int64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + (c - '0');
  }
  return value;
}

Answer JsonAnswer(const Json& json, int status) {
  Answer a;
  a.status = status;
  a.content_type = "application/json";
  a.body = json.Print();
  return a;
}

Answer ApiOk() { return JsonAnswer(std::move(Json::Object().Add("code", Json::Integer(0)).Add("msg", Json::String("ok")))); }

Answer ApiData(Json data) {
  Json answer = Json::Object();
  answer.Add("code", Json::Integer(0)).Add("msg", Json::String("ok")).Add("data", std::move(data));
  return JsonAnswer(answer);
}

// The parsed JSON object of a request body; nullopt for anything else.
std::optional<Json> BodyObject(const Call& call) {
  std::optional<Json> body = Json::Parse(call.body, nullptr);
  if (!body || !cJSON_IsObject(body->node())) return std::nullopt;
  return body;
}

std::string Call::Header(const std::string& name) const {
  for (const auto& [key, value] : headers) {
    if (EqualsNoCase(key, name)) return value;
  }
  return {};
}

std::string Call::Param(const std::string& name) const {
  auto it = params.find(name);
  return it == params.end() ? std::string() : it->second;
}

std::string RouteEndpoint(const std::string& path) {
  static const std::map<std::string, std::string> kExact = {
      {"/v3/user/client/token", "token"},        {"/v1/product/series", "series"},
      {"/rest/v2/downloader/runtime/", "runtime"}, {"/rest/v2/downloader/runtime", "runtime"},
      {"/v3/downloader/strategy/preheat", "preheat"}, {"/v3/downloader/strategy", "slice"},
      {"/v5/product/download-alias-host", "alias"}, {"/resolve", "httpdns"},
      {"/ip", "ip"},                             {"/myip", "myip"},
      {"/api/v1/prodweb/trk", "trackid"},        {"/rest/v2/downloader/track", "track"},
      {"/v1/product/downloader/upload-log-file", "logupload"}, {"/v1/crm/ticket/file/upload", "ticketupload"},
      {"/v1/product/logs/whitelist", "whitelist"}, {"/v1/product/logs/report", "logreport"},
      {"/v1/support/tickets", "ticket"},         {"/v1/product/downloader/recovery", "offer"}};
  auto exact = kExact.find(path);
  if (exact != kExact.end()) return exact->second;
  if (StartsWith(path, "/v1/product/downloader/recovery/") && EndsWith(path, "/apply")) return "offerapply";
  // The static runtime document lives beside the packages, so it is told
  // apart before the package folder's prefix.
  size_t xml = path.rfind("/xml/");
  if (xml != std::string::npos && EndsWith(path, ".xml") && path.size() > xml + 9) return "runtime_static";
  static const std::vector<std::pair<std::string, std::string>> kPrefixes = {
      {"/__admin/", "admin"},   {"/v5/product/get-relation-pid/", "relation"}, {"/pages/", "page"},
      {"/packages/", "package"}, {"/redirect/", "redirect"}, {"/files/", "file"}};
  for (const auto& [prefix, endpoint] : kPrefixes) {
    if (StartsWith(path, prefix)) return endpoint;
  }
  return "unknown";
}

bool IsApiEndpoint(const std::string& endpoint) {
  static const std::vector<std::string> kApi = {
      "token", "series", "relation", "preheat", "slice", "alias", "trackid", "track", "collect",
      "logupload", "ticketupload", "whitelist", "logreport", "ticket", "offer", "offerapply"};
  return std::find(kApi.begin(), kApi.end(), endpoint) != kApi.end();
}

Answer ApiError(int code, const std::string& message) {
  Json answer = Json::Object();
  answer.Add("code", Json::Integer(code)).Add("msg", Json::String(message));
  return JsonAnswer(answer, code >= 400 && code <= 599 ? code : 200);
}

ServerCore::ServerCore(ServerConfig config, ServerStore& store, Clock& clock)
    : store_(store), clock_(clock), config_(std::move(config)) {}

void ServerCore::SetListening(std::vector<std::string> base_urls, uint16_t port) {
  std::lock_guard lock(mutex_);
  base_urls_ = std::move(base_urls);
  port_ = port;
}

bool ServerCore::IsCollectorPath(const std::string& path) {
  std::lock_guard lock(mutex_);
  return std::find(config_.collector_paths.begin(), config_.collector_paths.end(), path) !=
         config_.collector_paths.end();
}

void ServerCore::SetProduct(const ProductEntry& product) {
  std::lock_guard lock(mutex_);
  config_.products[product.product_id] = product;
}

void ServerCore::SetRetentionOffer(std::optional<RetentionOfferEntry> offer) {
  std::lock_guard lock(mutex_);
  config_.retention_offer = std::move(offer);
}

void ServerCore::SetHttpDnsAnswer(const std::string& host, const std::vector<std::string>& addresses) {
  std::lock_guard lock(mutex_);
  if (addresses.empty()) {
    config_.http_dns.answers.erase(Lower(host));
  } else {
    config_.http_dns.answers[Lower(host)] = addresses;
  }
}

Answer ServerCore::Handle(const std::string& endpoint, const Call& call, const Fault& fault) {
  using Handler = Answer (ServerCore::*)(const Call&);
  static const std::map<std::string, Handler> kHandlers = {
      {"token", &ServerCore::Token},         {"series", &ServerCore::Series},
      {"runtime", &ServerCore::Runtime},     {"runtime_static", &ServerCore::RuntimeStatic},
      {"relation", &ServerCore::Relation},   {"preheat", &ServerCore::Preheat},
      {"slice", &ServerCore::Slice},         {"alias", &ServerCore::Alias},
      {"httpdns", &ServerCore::HttpDns},     {"ip", &ServerCore::PublicIp},
      {"myip", &ServerCore::PublicIp},       {"trackid", &ServerCore::TrackId},
      {"track", &ServerCore::Track},         {"page", &ServerCore::Page},
      {"redirect", &ServerCore::Redirect},   {"collect", &ServerCore::Collect},
      {"logupload", &ServerCore::LogUpload}, {"ticketupload", &ServerCore::TicketUpload},
      {"whitelist", &ServerCore::Whitelist}, {"logreport", &ServerCore::LogReport},
      {"ticket", &ServerCore::Ticket},       {"offer", &ServerCore::Offer},
      {"offerapply", &ServerCore::OfferApply}, {"file", &ServerCore::StoredFile}};
  if (endpoint == "package") return Package(call, fault);
  auto it = kHandlers.find(endpoint);
  if (it == kHandlers.end()) return PlainAnswer(404, "not found\n");
  return (this->*(it->second))(call);
}

// ------------------------------------------------------------ placeholders

std::string ServerCore::FileMd5(const std::string& name) {
  std::string path = (std::filesystem::path(config_.package_dir) / name).string();
  std::error_code ec;
  int64_t size = static_cast<int64_t>(std::filesystem::file_size(path, ec));
  if (ec) return {};
  int64_t mtime = std::filesystem::last_write_time(path, ec).time_since_epoch().count();
  FileDigest& cached = digests_[name];
  if (cached.size != size || cached.mtime_ns != mtime || cached.md5.empty()) {
    cached = FileDigest{size, mtime, Md5OfFile(path)};
  }
  return cached.md5;
}

// The value of one placeholder name (without braces); nullopt when the
// name is not a placeholder (the text is then kept as written).
std::optional<std::string> ServerCore::Placeholder(const std::string& name) {
  if (name == "base") return base_urls_.empty() ? std::string() : base_urls_.front();
  if (name == "port") return std::to_string(port_);
  if (StartsWith(name, "base:")) {
    std::optional<int64_t> index = ParseDecimal(name.substr(5));
    if (!index) return std::nullopt;
    return *index < static_cast<int64_t>(base_urls_.size()) ? base_urls_[static_cast<size_t>(*index)]
                                                             : std::string();
  }
  bool md5 = StartsWith(name, "md5:");
  if (!md5 && !StartsWith(name, "size:")) return std::nullopt;
  std::string file = name.substr(md5 ? 4 : 5);
  if (!IsSafeName(file) || config_.package_dir.empty()) return std::string();
  if (md5) return FileMd5(file);
  std::error_code ec;
  auto bytes = std::filesystem::file_size(std::filesystem::path(config_.package_dir) / file, ec);
  return ec ? std::string() : std::to_string(bytes);
}

std::string ServerCore::ExpandLocked(const std::string& text) {
  std::string out;
  size_t at = 0;
  while (at < text.size()) {
    size_t open = text.find('{', at);
    size_t close = open == std::string::npos ? open : text.find('}', open);
    if (close == std::string::npos) break;
    out += text.substr(at, open - at);
    std::optional<std::string> value = Placeholder(text.substr(open + 1, close - open - 1));
    if (!value) {
      out.push_back('{');
      at = open + 1;
      continue;
    }
    out += *value;
    at = close + 1;
  }
  return out + text.substr(std::min(at, text.size()));
}

std::string ServerCore::ExpandPlaceholders(const std::string& text) {
  std::lock_guard lock(mutex_);
  return ExpandLocked(text);
}

// ------------------------------------------------------------ product API

std::optional<Answer> ServerCore::CheckToken(const Call& call) {
  std::string auth = call.Header("Authorization");
  const std::string prefix = "Bearer ";
  if (auth.size() <= prefix.size() || !EqualsNoCase(auth.substr(0, prefix.size()), prefix)) {
    return ApiError(401, "missing access token");
  }
  std::string token = auth.substr(prefix.size());
  std::lock_guard lock(mutex_);
  if (std::find(config_.tokens.begin(), config_.tokens.end(), token) != config_.tokens.end()) return std::nullopt;
  auto issued = tokens_.find(token);
  if (issued != tokens_.end() && clock_.Now() < issued->second.expires) return std::nullopt;
  return ApiError(401, "invalid or expired access token");
}

std::optional<ProductEntry> ServerCore::FindProduct(const std::string& id_text, Answer* error) {
  std::optional<int64_t> id = ParseDecimal(id_text);
  if (!id) {
    *error = ApiError(400, "product id must be a decimal number");
    return std::nullopt;
  }
  std::lock_guard lock(mutex_);
  auto it = config_.products.find(*id <= INT32_MAX ? static_cast<int32_t>(*id) : 0);
  if (it == config_.products.end()) {
    *error = ApiError(404, "unknown product " + id_text);
    return std::nullopt;
  }
  return it->second;
}

Answer ServerCore::Token(const Call& call) {
  if (call.method != "POST") return ApiError(405, "use POST");
  std::string app_key;
  std::string app_secret;
  std::chrono::seconds lifetime;
  {
    std::lock_guard lock(mutex_);
    app_key = config_.app_key;
    app_secret = config_.app_secret;
    lifetime = config_.token_lifetime;
  }
  if (!SameSecret(call.Header("X-App-Key"), app_key)) return ApiError(401, "unknown app key");
  std::optional<Json> body = BodyObject(call);
  if (!body) return ApiError(400, "body is not a JSON object");
  const cJSON* grant = cJSON_GetObjectItemCaseSensitive(body->node(), "grant_type");
  if (!cJSON_IsString(grant) || std::string(grant->valuestring) != "client_credentials") {
    return ApiError(400, "grant_type must be client_credentials");
  }
  const cJSON* secret = cJSON_GetObjectItemCaseSensitive(body->node(), "app_secret");
  if (!cJSON_IsString(secret) || !SameSecret(secret->valuestring, app_secret)) {
    return ApiError(401, "wrong app secret");
  }
  std::string token = RandomHex(16);
  if (token.empty()) return ApiError(500, "no random bytes for a token");
  {
    std::lock_guard lock(mutex_);
    Clock::WallTime now = clock_.Now();
    std::erase_if(tokens_, [&](const auto& entry) { return entry.second.expires <= now; });
    tokens_[token] = IssuedToken{now + lifetime};
  }
  Json data = Json::Object();
  data.Add("access_token", Json::String(token)).Add("expires_in", Json::Integer(lifetime.count()));
  return ApiData(std::move(data));
}

Answer ServerCore::Series(const Call& call) {
  if (call.method != "POST") return ApiError(405, "use POST");
  if (std::optional<Answer> refused = CheckToken(call)) return *refused;
  std::optional<Json> body = BodyObject(call);
  if (!body) return ApiError(400, "body is not a JSON object");
  const cJSON* id = cJSON_GetObjectItemCaseSensitive(body->node(), "product_id");
  const cJSON* sign = cJSON_GetObjectItemCaseSensitive(body->node(), "client_sign");
  if (!cJSON_IsNumber(id) || id->valuedouble < 1 || id->valuedouble > INT32_MAX ||
      std::floor(id->valuedouble) != id->valuedouble) {
    return ApiError(400, "product_id must be a positive whole number");
  }
  if (!cJSON_IsString(sign) || std::string(sign->valuestring).empty()) {
    return ApiError(400, "client_sign must be a non-empty text");
  }
  Answer error;
  if (!FindProduct(std::to_string(static_cast<int64_t>(id->valuedouble)), &error)) return error;
  return ApiOk();
}

Answer ServerCore::Relation(const Call& call) {
  if (!IsRead(call)) return ApiError(405, "use GET");
  if (std::optional<Answer> refused = CheckToken(call)) return *refused;
  Answer error;
  std::optional<ProductEntry> product = FindProduct(call.path.substr(call.path.rfind('/') + 1), &error);
  if (!product) return error;
  Json ids = Json::Array();
  for (int64_t id : product->relation_ids) ids.Push(Json::Integer(id));
  return ApiData(std::move(ids));
}

Answer ServerCore::Preheat(const Call& call) {
  if (!IsRead(call)) return ApiError(405, "use GET");
  if (std::optional<Answer> refused = CheckToken(call)) return *refused;
  Answer error;
  std::optional<ProductEntry> product = FindProduct(call.Param("pid"), &error);
  if (!product) return error;
  if (product->preheat_data.empty()) return ApiOk();
  std::optional<Json> data = Json::Parse(product->preheat_data, nullptr);
  return data ? ApiData(std::move(*data)) : ApiOk();
}

Answer ServerCore::Slice(const Call& call) {
  if (!IsRead(call)) return ApiError(405, "use GET");
  if (std::optional<Answer> refused = CheckToken(call)) return *refused;
  Answer error;
  std::optional<ProductEntry> product = FindProduct(call.Param("pid"), &error);
  if (!product) return error;
  if (product->slice_data.empty()) return ApiOk();
  std::optional<Json> data = Json::Parse(product->slice_data, nullptr);
  return data ? ApiData(std::move(*data)) : ApiOk();
}

Answer ServerCore::Alias(const Call& call) {
  if (!IsRead(call)) return ApiError(405, "use GET");
  if (std::optional<Answer> refused = CheckToken(call)) return *refused;
  Answer error;
  std::optional<ProductEntry> product = FindProduct(call.Param("pid"), &error);
  if (!product) return error;
  Json hosts = Json::Array();
  for (const std::string& host : product->alias_hosts) hosts.Push(Json::String(ExpandPlaceholders(host)));
  return ApiData(std::move(hosts));
}

Answer ServerCore::TrackId(const Call& call) {
  if (!IsRead(call)) return ApiError(405, "use GET");
  Answer error;
  if (!FindProduct(call.Param("pid"), &error)) return error;
  std::string tid = RandomHex(16);
  if (tid.empty()) return ApiError(500, "no random bytes for a track id");
  return ApiData(Json::String(tid));
}

Answer ServerCore::Track(const Call& call) {
  if (call.method != "POST") return ApiError(405, "use POST");
  std::string sign = call.Param("client_sign");
  if (sign.empty()) return ApiError(400, "client_sign is missing");
  if (!BodyObject(call)) return ApiError(400, "body is not a JSON object");
  if (store_.AddTrackReport(UnixSeconds(clock_.Now()), sign, call.body) == 0) {
    return ApiError(500, "cannot store the report: " + store_.last_error());
  }
  return ApiOk();
}

Answer ServerCore::Collect(const Call& call) {
  if (call.method != "POST") return ApiError(405, "use POST");
  std::string why;
  std::optional<std::vector<CollectedRecord>> records = DecodeCollectorBody(call.body, &why);
  if (!records) return ApiError(400, why);
  const int64_t now_ms =
      std::chrono::duration_cast<std::chrono::milliseconds>(clock_.Now().time_since_epoch()).count();
  std::vector<AnalyticsEvent> events;
  events.reserve(records->size());
  for (CollectedRecord& r : *records) {
    events.push_back(AnalyticsEvent{0, now_ms, std::move(r.distinct_id), std::move(r.event), std::move(r.type),
                                    std::move(r.json), call.remote_address});
  }
  if (!events.empty() && !store_.AddEvents(events)) return ApiError(500, "cannot store the events: " + store_.last_error());
  return JsonAnswer(std::move(Json::Object().Add("code", Json::Integer(0))));
}

// ------------------------------------------------------------ runtime document

std::string ServerCore::RuntimeDocument(const ProductEntry& product) {
  std::string xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<qvrp>\n  <downloader>\n    <runtime>\n";
  std::lock_guard lock(mutex_);
  for (const auto& [name, value] : product.runtime) {
    xml += "      <" + name + ">" + Escape(ExpandLocked(value)) + "</" + name + ">\n";
  }
  xml += "    </runtime>\n";
  if (!product.bind.empty()) {
    xml += "    <bind>\n";
    for (const ElementList& item : product.bind) {
      xml += "      <item>\n";
      for (const auto& [name, value] : item) {
        xml += "        <" + name + ">" + Escape(ExpandLocked(value)) + "</" + name + ">\n";
      }
      xml += "      </item>\n";
    }
    xml += "    </bind>\n";
  }
  return xml + "  </downloader>\n</qvrp>\n";
}

Answer ServerCore::Runtime(const Call& call) {
  const std::string type = "text/xml; charset=utf-8";
  if (!IsRead(call)) return PlainAnswer(405, "use GET\n");
  std::optional<int64_t> id = ParseDecimal(call.Param("product_id"));
  if (!id) return PlainAnswer(400, "product_id must be a decimal number\n");
  Answer unused;
  std::optional<ProductEntry> product = FindProduct(call.Param("product_id"), &unused);
  if (!product) {
    // The installer judges the text: a document without runtime data.
    return PlainAnswer(404, "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<qvrp>\n  <downloader>\n  </downloader>\n</qvrp>\n",
                       type);
  }
  return PlainAnswer(200, RuntimeDocument(*product), type);
}

Answer ServerCore::RuntimeStatic(const Call& call) {
  if (!IsRead(call)) return PlainAnswer(405, "use GET\n");
  size_t at = call.path.rfind("/xml/") + 5;
  std::string name = call.path.substr(at, call.path.size() - at - 4);
  std::optional<ProductEntry> found;
  {
    std::lock_guard lock(mutex_);
    for (const auto& [id, product] : config_.products) {
      const auto& names = product.static_documents;
      if (std::find(names.begin(), names.end(), name) != names.end()) found = product;
    }
  }
  if (!found) return PlainAnswer(404, "not found\n");
  return PlainAnswer(200, RuntimeDocument(*found), "text/xml; charset=utf-8");
}

// ------------------------------------------------------------ other services

Answer ServerCore::HttpDns(const Call& call) {
  if (!IsRead(call)) return ApiError(405, "use GET");
  std::string name = call.Param("name");
  if (name.empty()) return ApiError(400, "name is missing");
  HttpDnsSettings settings;
  {
    std::lock_guard lock(mutex_);
    settings = config_.http_dns;
  }
  if (!settings.account_id.empty()) {
    std::string uid = call.Param("uid");
    std::string ak = call.Param("ak");
    std::string ts = call.Param("ts");
    if (uid != settings.account_id || ak != settings.access_key_id) return ApiError(403, "unknown account");
    std::string expected = Sha256Hex(uid + settings.signing_secret + ts + name + ak);
    if (!SameSecret(Lower(call.Param("key")), expected)) return ApiError(403, "bad signature");
    std::optional<int64_t> seconds = ParseDecimal(ts);
    if (settings.max_clock_skew.count() > 0 &&
        (!seconds || std::llabs(*seconds - UnixSeconds(clock_.Now())) > settings.max_clock_skew.count())) {
      return ApiError(403, "timestamp too far from the server's clock");
    }
  }
  Json list = Json::Array();
  auto it = settings.answers.find(Lower(name));
  if (it != settings.answers.end()) {
    for (const std::string& address : it->second) list.Push(Json::String(address));
  }
  return JsonAnswer(list);
}

Answer ServerCore::PublicIp(const Call& call) {
  if (!IsRead(call)) return PlainAnswer(405, "use GET\n");
  std::string ip;
  {
    std::lock_guard lock(mutex_);
    ip = config_.public_ip;
  }
  if (ip.empty()) return PlainAnswer(404, "no public address configured\n");
  return PlainAnswer(200, ip + "\r\n");
}

Answer ServerCore::Page(const Call& call) {
  if (!IsRead(call)) return PlainAnswer(405, "use GET\n");
  std::string name = call.path.substr(std::string("/pages/").size());
  if (!IsSafeName(name)) return PlainAnswer(404, "not found\n");
  std::string title = name;
  {
    std::lock_guard lock(mutex_);
    auto it = config_.pages.find(name);
    if (it != config_.pages.end()) title = it->second;
  }
  return PlainAnswer(200, PageHtml(title, call.params), "text/html; charset=utf-8");
}

Answer ServerCore::Package(const Call& call, const Fault& fault) {
  if (!IsRead(call)) return PlainAnswer(405, "use GET or HEAD\n");
  std::string name = call.path.substr(std::string("/packages/").size());
  std::string folder;
  {
    std::lock_guard lock(mutex_);
    folder = config_.package_dir;
  }
  std::error_code ec;
  std::filesystem::path path = std::filesystem::path(folder) / name;
  if (folder.empty() || !IsSafeName(name) || !std::filesystem::is_regular_file(path, ec)) {
    return PlainAnswer(404, "no such package\n");
  }
  int64_t real = static_cast<int64_t>(std::filesystem::file_size(path, ec));
  if (ec) return PlainAnswer(404, "no such package\n");
  int64_t size = fault.wrong_length >= 0 ? fault.wrong_length : real;
  Answer a;
  a.content_type = "application/octet-stream";
  a.file_path = path.string();
  a.headers = {{"Accept-Ranges", "bytes"}};
  std::optional<ByteRange> range;
  if (!fault.ignore_range && !call.range.empty()) range = ParseRange(call.range, size);
  if (range && !range->satisfiable) {
    a.status = 416;
    a.file_path.clear();
    a.headers.emplace_back("Content-Range", "bytes */" + std::to_string(size));
    return a;
  }
  a.file_offset = range ? range->first : 0;
  a.length = range ? range->last - range->first + 1 : size;
  a.available = std::max<int64_t>(0, real - a.file_offset);
  if (range) {
    a.status = 206;
    a.headers.emplace_back("Content-Range", "bytes " + std::to_string(range->first) + "-" +
                                                std::to_string(range->last) + "/" + std::to_string(size));
  }
  return a;
}

Answer ServerCore::Redirect(const Call& call) {
  if (!IsRead(call)) return PlainAnswer(405, "use GET or HEAD\n");
  std::string rest = call.path.substr(std::string("/redirect/").size());
  size_t slash = rest.find('/');
  std::optional<int64_t> count = ParseDecimal(rest.substr(0, slash));
  if (slash == std::string::npos || !count || *count < 1 || *count > kMaxRedirects) {
    return PlainAnswer(400, "use /redirect/<1-" + std::to_string(kMaxRedirects) + ">/<path>\n");
  }
  std::optional<std::vector<std::string>> segments = SafeSegments(rest.substr(slash + 1));
  if (!segments || !IsPlainQuery(call.query)) return PlainAnswer(400, "not a plain path\n");
  std::string target = *count > 1 ? "/redirect/" + std::to_string(*count - 1) : std::string();
  for (const std::string& segment : *segments) target += "/" + UrlEncode(segment);
  if (!call.query.empty()) target += "?" + call.query;
  Answer a = PlainAnswer(302, "redirect\n");
  a.headers = {{"Location", target}};
  return a;
}

}  // namespace oru::product_server
