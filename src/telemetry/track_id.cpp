#include "telemetry/track_id.h"

#include <openssl/evp.h>

#include <cstdio>
#include <exception>
#include <memory>
#include <optional>
#include <random>

#include "common/json.h"
#include "common/log.h"
#include "common/url.h"
#include "server_api/curl_request.h"
#include "telemetry/report_store.h"

namespace oru {
namespace {

constexpr std::chrono::seconds kTrackIdTimeout{10};

std::string Md5Hex(const std::string& text) {
  std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx(EVP_MD_CTX_new(), &EVP_MD_CTX_free);
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (!ctx || EVP_DigestInit_ex(ctx.get(), EVP_md5(), nullptr) != 1 ||
      EVP_DigestUpdate(ctx.get(), text.data(), text.size()) != 1 ||
      EVP_DigestFinal_ex(ctx.get(), digest, &length) != 1) {
    return {};
  }
  static constexpr char kHex[] = "0123456789abcdef";
  std::string hex;
  for (unsigned int i = 0; i < length; ++i) {
    hex.push_back(kHex[digest[i] >> 4]);
    hex.push_back(kHex[digest[i] & 0x0f]);
  }
  return hex;
}

// The answer is parsed as JSON: a "data" text is only taken from a
// well-formed object whose top-level "code" is the number 0.
std::optional<std::string> TrackIdFromAnswer(const std::string& answer) {
  if (ReadApiCode(answer) != 0) return std::nullopt;
  auto doc = JsonDocument::Parse(answer);
  if (!doc) return std::nullopt;
  std::optional<std::string> data = doc->root().Get("data").String();
  if (!data || data->empty()) return std::nullopt;
  return data;
}

// The id only has to differ between runs; without a random device the
// monotonic clock's low bits do.
uint32_t PseudoRandom() {
  try {
    std::random_device device;
    return static_cast<uint32_t>(device());
  } catch (const std::exception&) {
    return static_cast<uint32_t>(std::chrono::steady_clock::now().time_since_epoch().count());
  }
}

}  // namespace

std::string LocalTrackId(const std::string& product_id, uint32_t timestamp, uint32_t random) {
  char suffix[32];
  std::snprintf(suffix, sizeof suffix, "_%u_%u", timestamp, random);
  return Md5Hex(product_id + suffix);
}

std::string RequestTrackId(const std::string& product_id, const Clock& clock) {
  const std::string url =
      ReportStore::Instance().platform_origin() + "api/v1/prodweb/trk?pid=" + UrlEncode(product_id) + "&os=Windows";
  Log(kLogInfo, "[INFO] get tid: %s", url.c_str());
  int32_t result = -1;
  const std::string answer = CurlRequest(RequestMethod::Get, url, {}, false, false, {}, &result, kTrackIdTimeout);
  Log(kLogInfo, "[INFO] response tid: %s", answer.c_str());
  if (result == 0) {
    if (std::optional<std::string> tid = TrackIdFromAnswer(answer)) return *tid;
  }
  const auto timestamp = static_cast<uint32_t>(UnixSeconds(clock.Now()));
  const uint32_t random = PseudoRandom();
  const std::string tid = LocalTrackId(product_id, timestamp, random);
  Log(kLogInfo, "[INFO] generate local tid: pid=[%s], timestamp=[%u], random=[%u], tid=[%s]", product_id.c_str(),
      timestamp, random, tid.c_str());
  return tid;
}

}  // namespace oru
