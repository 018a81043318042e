#pragma once
// The one synchronous request layer of every service call: transport
// settings shared by all calls, the identity headers of the product API, the
// client-credentials token and the switch to the secondary API host.
//
// TLS peers are always verified, against the locations record's CA bundle
// when one is set (test certificates) and the system store otherwise.

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace oru {

enum class RequestMethod { Get = 0, Head = 1, Post = 2 };

// Complete header lines without line ends, sent in list order.
using HeaderList = std::vector<std::string>;

// One blocking transfer. `result` receives the libcurl code (0 = success);
// when the handle cannot be created it is left untouched. Returns the body
// with every "\r\n" removed, preceded (when `collect_headers`) by the header
// lines of every response exactly as received. A failed transfer returns
// what arrived before the failure.
std::string CurlRequest(RequestMethod method, const std::string& url, const HeaderList& headers, bool use_http10,
                        bool collect_headers, const std::string& body, int32_t* result,
                        std::chrono::seconds total_timeout);

// Multipart POST of one file as the form part "file" (10 s total). Returns
// the body with every "\r\n" removed; `result` as above.
std::string CurlFormDataRequest(const std::string& url, const HeaderList& headers, const std::string& file_path,
                                int32_t* result);

// POST `body` to the primary API host + `path` (10 s); when the answer's
// "code" is not 0, once more to the secondary host, whose answer is
// returned whatever it holds.
std::string PostWithHostSwitch(const std::string& path, const HeaderList& headers, const std::string& body);

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

  // Token from the primary API host only; empty on any failure. Logs nothing.
  std::string GetAccessToken();
};

// Appends the identity header lines in their fixed order; always true.
bool AppendCommonHeaders(ApiIdentity& identity, HeaderList& headers);

}  // namespace oru
