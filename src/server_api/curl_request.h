#pragma once
// The one synchronous request layer of every service call: transport
// settings shared by all calls, the identity headers of the product API, the
// client-credentials token and the switch to the secondary API host.
//
// TLS peers are always verified, against the locations record's CA bundle
// when one is set (test certificates) and the system store otherwise.
// Redirects are followed (at most 10, HTTP and HTTPS only), names resolve
// to IPv4 only and connecting may take at most 5 s. Every call blocks the
// calling thread; calls on different threads share nothing.

#include <curl/curl.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace oru {

enum class RequestMethod { Get = 0, Head = 1, Post = 2 };

// Complete header lines without line ends, sent in list order (a line is
// cut at its first CR or LF).
using HeaderList = std::vector<std::string>;

// One blocking transfer. `result` (may be null) receives the libcurl code
// (0 = success); when the handle cannot be created it is left untouched. Returns the body
// with every "\r\n" removed, preceded (when `collect_headers`) by the header
// lines of every response exactly as received. A failed transfer returns
// what arrived before the failure.
std::string CurlRequest(RequestMethod method, const std::string& url, const HeaderList& headers, bool use_http10,
                        bool collect_headers, const std::string& body, int32_t* result,
                        std::chrono::seconds total_timeout);

// As above with a total timeout finer than a second (the strategy services'
// test hooks shorten their waits with it). A timeout of zero or less is
// taken as 1 ms, never as "no limit".
std::string CurlRequest(RequestMethod method, const std::string& url, const HeaderList& headers, bool use_http10,
                        bool collect_headers, const std::string& body, int32_t* result,
                        std::chrono::milliseconds total_timeout);

// Multipart POST of one file as the form part "file" (10 s total). Returns
// the body with every "\r\n" removed; `result` as above.
std::string CurlFormDataRequest(const std::string& url, const HeaderList& headers, const std::string& file_path,
                                int32_t* result);

// POST `body` to the primary API host + `path` (10 s); when the answer's
// "code" is not 0, once more to the secondary host, whose answer is
// returned whatever it holds.
std::string PostWithHostSwitch(const std::string& path, const HeaderList& headers, const std::string& body);

// The header lines of a GetAccessToken request, in their fixed order, with
// the app key of the endpoints record.
HeaderList AccessTokenHeaders(const std::string& product_id, const std::string& client_serial,
                              const std::string& product_version);

// Client-credentials token for the product, through PostWithHostSwitch;
// empty when none could be obtained (logged).
std::string GetAccessToken(const std::string& product_id, const std::string& client_serial,
                           const std::string& product_version);

// The identity one client object sends with its requests.
struct ApiIdentity {
  std::string client_serial;
  std::string app_key = "3f0a9c1e7b2d4e6f8a0b1c2d.demo";
  int32_t product_id = 0;
  std::string product_version;  // "4.0.5.0" once headers were built while empty
  std::string language = "en-us";

  // Token from the primary API host only (no switch); empty on any failure.
  // Logs only the "x-lang" line of AppendCommonHeaders.
  std::string GetAccessToken();
};

// Appends the identity header lines in their fixed order, first setting an
// empty product version to "4.0.5.0" (it stays so); logs the language.
// Always true.
bool AppendCommonHeaders(ApiIdentity& identity, HeaderList& headers);

// --- Shared by the transfers of this module (requests and the bandwidth
// probe).

struct CurlEasyDeleter {
  void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
};
using CurlEasyHandle = std::unique_ptr<CURL, CurlEasyDeleter>;

struct CurlSlistDeleter {
  void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};
using CurlHeaderSlist = std::unique_ptr<curl_slist, CurlSlistDeleter>;

// A new easy handle, after the process-wide libcurl initialisation (done
// once, on first use). Null when libcurl cannot make one.
CurlEasyHandle NewCurlEasyHandle();

// The libcurl list of `headers` in order. A line is cut at its first CR or
// LF so that a value cannot smuggle in a header of its own. Null for an
// empty list (or when libcurl runs out of memory on the first line).
CurlHeaderSlist BuildCurlHeaderList(const HeaderList& headers);

// The settings every transfer here shares: TLS peer and host verification
// on (against ProcessLocations().ca_bundle when it is set), HTTP and HTTPS
// only and at most 10 redirects (followed), IPv4-only resolution, a 5 s
// connect timeout, no signals.
void SetSharedTransportOptions(CURL* handle);

}  // namespace oru
