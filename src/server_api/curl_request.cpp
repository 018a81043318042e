#include "server_api/curl_request.h"

#include <algorithm>
#include <mutex>
#include <optional>
#include <string_view>
#include <utility>

#include "common/json.h"
#include "common/log.h"
#include "common/text.h"
#include "platform/locations.h"
#include "server_api/service_endpoints.h"

namespace oru {
namespace {

using namespace std::chrono_literals;

constexpr std::chrono::seconds kConnectTimeout = 5s;
constexpr std::chrono::seconds kApiTimeout = 10s;
constexpr long kMaxRedirects = 10;
constexpr const char* kTokenPath = "/v3/user/client/token";

// Which request logs: the two kinds have their own texts.
enum class RequestKind { kPlain, kForm };

void LogInitFailed(RequestKind kind) {
  if (kind == RequestKind::kForm) {
    Log(kLogError, "[ERROR] curl form data request, curl init failed!");
    return;
  }
  Log(kLogError, "[ERROR] curl request, curl init failed!");
}

void LogPerformFailed(RequestKind kind, int code) {
  if (kind == RequestKind::kForm) {
    Log(kLogError, "[ERROR] curl form data request, curl easy perform failed, code=[%d].", code);
    return;
  }
  Log(kLogError, "[ERROR] curl request, curl easy perform failed, code=[%d].", code);
}

void LogGetinfoFailed(RequestKind kind, int code) {
  if (kind == RequestKind::kForm) {
    Log(kLogError, "[ERROR] curl form data request, curl easy getinfo failed, code=[%d].", code);
    return;
  }
  Log(kLogError, "[ERROR] curl request, curl easy getinfo failed, code=[%d].", code);
}

size_t AppendToText(char* data, size_t size, size_t count, void* user) {
  static_cast<std::string*>(user)->append(data, size * count);
  return size * count;
}

// Performs the transfer and asks for the status; returns the code of the
// step that failed (0 when both worked) and logs it.
int32_t PerformAndQuery(CURL* handle, RequestKind kind) {
  CURLcode code = curl_easy_perform(handle);
  if (code != CURLE_OK) {
    LogPerformFailed(kind, static_cast<int>(code));
    return static_cast<int32_t>(code);
  }
  long status = 0;  // callers judge the answer by its content, not its status
  code = curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &status);
  if (code != CURLE_OK) LogGetinfoFailed(kind, static_cast<int>(code));
  return static_cast<int32_t>(code);
}

void SetMethod(CURL* handle, RequestMethod method, const std::string& body) {
  if (method == RequestMethod::Head) curl_easy_setopt(handle, CURLOPT_NOBODY, 1L);
  if (method != RequestMethod::Post) return;
  curl_easy_setopt(handle, CURLOPT_POST, 1L);
  curl_easy_setopt(handle, CURLOPT_POSTFIELDS, body.c_str());
  curl_easy_setopt(handle, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
}

// "data"."access_token" of a token answer; empty when either is missing,
// null or of another type.
std::string ReadAccessToken(const std::string& response) {
  std::optional<JsonDocument> doc = JsonDocument::Parse(response);
  if (!doc) return {};
  return doc->root().Get("data").Get("access_token").String().value_or("");
}

std::string AccessTokenBody() {
  return JsonObjectBuilder()
      .AddString("grant_type", "client_credentials")
      .AddString("app_secret", GetServiceEndpoints().app_secret)
      .Print();
}

}  // namespace

CurlEasyHandle NewCurlEasyHandle() {
  // Reference-counted by libcurl, so the download manager's own
  // init/cleanup pair cannot pull the library away from under us.
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_ALL); });
  return CurlEasyHandle(curl_easy_init());
}

CurlHeaderSlist BuildCurlHeaderList(const HeaderList& headers) {
  CurlHeaderSlist list;
  for (const std::string& header : headers) {
    std::string line = header.substr(0, header.find_first_of("\r\n"));
    curl_slist* grown = curl_slist_append(list.get(), line.c_str());
    if (grown == nullptr) break;  // out of memory: keep what was built
    (void)list.release();
    list.reset(grown);
  }
  return list;
}

void SetSharedTransportOptions(CURL* handle) {
  curl_easy_setopt(handle, CURLOPT_SSL_VERIFYPEER, 1L);
  curl_easy_setopt(handle, CURLOPT_SSL_VERIFYHOST, 2L);
  const std::string ca_bundle = ProcessLocations().ca_bundle;
  if (!ca_bundle.empty()) curl_easy_setopt(handle, CURLOPT_CAINFO, ca_bundle.c_str());  // libcurl copies it
  curl_easy_setopt(handle, CURLOPT_FOLLOWLOCATION, 1L);
  // An elevated installer must not be redirected to file:// or other
  // schemes, and a redirect loop must end.
  curl_easy_setopt(handle, CURLOPT_MAXREDIRS, kMaxRedirects);
#if LIBCURL_VERSION_NUM >= 0x075500
  curl_easy_setopt(handle, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(handle, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
#else
  curl_easy_setopt(handle, CURLOPT_PROTOCOLS, static_cast<long>(CURLPROTO_HTTP | CURLPROTO_HTTPS));
  curl_easy_setopt(handle, CURLOPT_REDIR_PROTOCOLS, static_cast<long>(CURLPROTO_HTTP | CURLPROTO_HTTPS));
#endif
  curl_easy_setopt(handle, CURLOPT_IPRESOLVE, CURL_IPRESOLVE_V4);
  curl_easy_setopt(handle, CURLOPT_CONNECTTIMEOUT, static_cast<long>(kConnectTimeout.count()));
  curl_easy_setopt(handle, CURLOPT_NOSIGNAL, 1L);
}

std::string CurlRequest(RequestMethod method, const std::string& url, const HeaderList& headers, bool use_http10,
                        bool collect_headers, const std::string& body, int32_t* result,
                        std::chrono::seconds total_timeout) {
  return CurlRequest(method, url, headers, use_http10, collect_headers, body, result,
                     std::chrono::duration_cast<std::chrono::milliseconds>(total_timeout));
}

std::string CurlRequest(RequestMethod method, const std::string& url, const HeaderList& headers, bool use_http10,
                        bool collect_headers, const std::string& body, int32_t* result,
                        std::chrono::milliseconds total_timeout) {
  CurlEasyHandle handle = NewCurlEasyHandle();
  if (!handle) {
    LogInitFailed(RequestKind::kPlain);
    return {};
  }
  CURL* h = handle.get();
  std::string response_body;
  std::string header_text;
  CurlHeaderSlist header_list = BuildCurlHeaderList(headers);
  if (use_http10) curl_easy_setopt(h, CURLOPT_HTTP_VERSION, CURL_HTTP_VERSION_1_0);
  if (collect_headers) {
    curl_easy_setopt(h, CURLOPT_HEADERFUNCTION, &AppendToText);
    curl_easy_setopt(h, CURLOPT_HEADERDATA, &header_text);
  }
  SetMethod(h, method, body);
  curl_easy_setopt(h, CURLOPT_HTTPHEADER, header_list.get());
  curl_easy_setopt(h, CURLOPT_URL, url.c_str());
  curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, &AppendToText);
  curl_easy_setopt(h, CURLOPT_WRITEDATA, &response_body);
  SetSharedTransportOptions(h);
  const long timeout_ms = static_cast<long>(std::max<int64_t>(total_timeout.count(), 1));
  curl_easy_setopt(h, CURLOPT_TIMEOUT_MS, timeout_ms);
  const int32_t code = PerformAndQuery(h, RequestKind::kPlain);
  if (result != nullptr) *result = code;
  handle.reset();
  header_list.reset();
  return header_text + RemoveCrLfPairs(response_body);
}

std::string CurlFormDataRequest(const std::string& url, const HeaderList& headers, const std::string& file_path,
                                int32_t* result) {
  CurlEasyHandle handle = NewCurlEasyHandle();
  if (!handle) {
    LogInitFailed(RequestKind::kForm);
    return {};
  }
  CURL* h = handle.get();
  std::unique_ptr<curl_mime, decltype(&curl_mime_free)> form(curl_mime_init(h), &curl_mime_free);
  curl_mimepart* part = form ? curl_mime_addpart(form.get()) : nullptr;
  CURLcode code = part == nullptr ? CURLE_OUT_OF_MEMORY : curl_mime_name(part, "file");
  if (code == CURLE_OK) code = curl_mime_filedata(part, file_path.c_str());
  if (code != CURLE_OK) {
    LogPerformFailed(RequestKind::kForm, static_cast<int>(code));
    if (result != nullptr) *result = static_cast<int32_t>(code);
    return {};
  }
  std::string response_body;
  CurlHeaderSlist header_list = BuildCurlHeaderList(headers);
  curl_easy_setopt(h, CURLOPT_HTTP_VERSION, CURL_HTTP_VERSION_1_0);
  curl_easy_setopt(h, CURLOPT_MIMEPOST, form.get());
  curl_easy_setopt(h, CURLOPT_HTTPHEADER, header_list.get());
  curl_easy_setopt(h, CURLOPT_URL, url.c_str());
  curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, &AppendToText);
  curl_easy_setopt(h, CURLOPT_WRITEDATA, &response_body);
  SetSharedTransportOptions(h);
  curl_easy_setopt(h, CURLOPT_TIMEOUT_MS, static_cast<long>(std::chrono::milliseconds(kApiTimeout).count()));
  const int32_t transfer = PerformAndQuery(h, RequestKind::kForm);
  if (result != nullptr) *result = transfer;
  return RemoveCrLfPairs(response_body);
}

std::string PostWithHostSwitch(const std::string& path, const HeaderList& headers, const std::string& body) {
  const ServiceEndpoints endpoints = GetServiceEndpoints();
  int32_t result = 0;
  std::string response =
      CurlRequest(RequestMethod::Post, endpoints.api_primary + path, headers, true, false, body, &result, kApiTimeout);
  if (ReadApiCode(response) == 0) return response;
  result = 0;
  return CurlRequest(RequestMethod::Post, endpoints.api_secondary + path, headers, true, false, body, &result,
                     kApiTimeout);
}

HeaderList AccessTokenHeaders(const std::string& product_id, const std::string& client_serial,
                              const std::string& product_version) {
  return {
      "X-Client-Type: 1",
      "Content-Type: application/json",
      "X-App-Key: " + GetServiceEndpoints().app_key,
      "X-Client-Sn: " + client_serial,
      "X-Prod-Id: " + product_id,
      "X-Prod-Ver: " + product_version,
  };
}

std::string GetAccessToken(const std::string& product_id, const std::string& client_serial,
                           const std::string& product_version) {
  const std::string response =
      PostWithHostSwitch(kTokenPath, AccessTokenHeaders(product_id, client_serial, product_version), AccessTokenBody());
  if (ReadApiCode(response) != 0) {
    Log(kLogError, "[ERROR] get token failed! result=[%s].", response.c_str());
    return {};
  }
  return ReadAccessToken(response);
}

std::string ApiIdentity::GetAccessToken() {
  HeaderList headers = {"Content-Type: application/json"};
  AppendCommonHeaders(*this, headers);
  int32_t result = 0;
  const std::string response = CurlRequest(RequestMethod::Post, GetServiceEndpoints().api_primary + kTokenPath,
                                           headers, true, false, AccessTokenBody(), &result, kApiTimeout);
  if (ReadApiCode(response) != 0) return {};
  return ReadAccessToken(response);
}

bool AppendCommonHeaders(ApiIdentity& identity, HeaderList& headers) {
  if (identity.product_version.empty()) identity.product_version = "4.0.5.0";
  headers.push_back("X-Client-Sn: " + identity.client_serial);
  headers.push_back("X-Client-Type: 1");
  headers.push_back("X-App-Key: " + identity.app_key);
  headers.push_back("X-Prod-Id: " + std::to_string(identity.product_id));
  headers.push_back("X-Lang: " + identity.language);
  headers.push_back("X-Prod-Ver: " + identity.product_version);
  Log(kLogInfo, "[INFO] x-lang=[%s]", identity.language.c_str());
  return true;
}

}  // namespace oru
