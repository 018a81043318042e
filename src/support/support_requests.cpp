#include "support/support_requests.h"

#include <chrono>
#include <cstdint>
#include <functional>

#include "common/json.h"
#include "common/log.h"
#include "server_api/service_endpoints.h"

namespace oru {
namespace {

constexpr std::chrono::seconds kSupportTimeout{10};

// One attempt against an origin; the answer text.
using Attempt = std::function<std::string(const std::string& origin)>;

std::string WithHostSwitch(const Attempt& attempt) {
  const ServiceEndpoints endpoints = GetServiceEndpoints();
  std::string response = attempt(endpoints.api_primary);
  if (ReadApiCode(response) == 0) return response;
  Log(kLogWarn, "[WARN] switch host domain.");
  return attempt(endpoints.api_secondary);
}

}  // namespace

std::string PostJsonWithHostSwitch(const std::string& path, const HeaderList& headers, const std::string& body) {
  return WithHostSwitch([&](const std::string& origin) {
    int32_t result = 0;
    return CurlRequest(RequestMethod::Post, origin + path, headers, true, false, body, &result, kSupportTimeout);
  });
}

std::string UploadFileWithHostSwitch(const std::string& path, const HeaderList& headers,
                                     const std::string& file_path) {
  return WithHostSwitch([&](const std::string& origin) {
    int32_t result = 0;
    return CurlFormDataRequest(origin + path, headers, file_path, &result);
  });
}

}  // namespace oru
