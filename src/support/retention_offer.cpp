#include "support/retention_offer.h"

#include <algorithm>
#include <chrono>
#include <limits>
#include <optional>

#include "common/json.h"
#include "common/log.h"
#include "common/url.h"
#include "probes/platform_facts.h"
#include "server_api/service_endpoints.h"
#include "support/log_reporter.h"

namespace oru {
namespace {

constexpr std::chrono::seconds kOfferTimeout{10};
constexpr const char* kRecoveryPath = "/v1/product/downloader/recovery";

// What one answer of the query holds; fields left unset keep the record's.
struct OfferAnswer {
  std::optional<int64_t> id;
  std::optional<int32_t> type;
  std::optional<std::string> title;
  std::optional<std::string> content;
};

std::optional<int32_t> ReadInt32(JsonView value) {
  std::optional<int64_t> number = value.Integer();
  if (!number) return std::nullopt;
  return static_cast<int32_t>(std::clamp<int64_t>(*number, std::numeric_limits<int32_t>::min(),
                                                  std::numeric_limits<int32_t>::max()));
}

OfferAnswer ReadOfferAnswer(JsonView data) {
  OfferAnswer answer;
  answer.id = data.Get("id").Integer();
  answer.type = ReadInt32(data.Get("type"));
  JsonView tips = data.Get("tips");
  if (tips.IsNull()) return answer;
  answer.title = tips.Get("title").String();
  answer.content = tips.Get("content").String();
  return answer;
}

std::string GetText(JsonDocument* doc, const char* name) {
  if (doc == nullptr) return {};
  return doc->root().Get(name).String().value_or("");
}

}  // namespace

bool RetentionOffer::QueryRetentionOffer(int32_t product_id, const std::string& product_version,
                                         const std::string& client_serial, const std::string& installer_version) {
  ApiIdentity identity;
  {
    std::lock_guard<std::mutex> lock(mu_);
    installer_version_ = installer_version;
    identity_.client_serial = client_serial;
    identity_.product_id = product_id;
    identity_.product_version = product_version;
    identity = identity_;
  }
  // Percent-encoded like every other value put into a URL; a dotted
  // version passes unchanged.
  const std::string url =
      GetServiceEndpoints().api_primary + kRecoveryPath + "?version=" + UrlEncode(installer_version);
  HeaderList headers = {"Authorization: Bearer " + identity.GetAccessToken()};
  AppendCommonHeaders(identity, headers);
  {
    std::lock_guard<std::mutex> lock(mu_);
    identity_.product_version = identity.product_version;
  }
  Log(kLogInfo, "[INFO] query redeem request = %s", url.c_str());
  int32_t result = 0;
  const std::string response =
      CurlRequest(RequestMethod::Get, url, headers, true, false, std::string(), &result, kOfferTimeout);
  Log(kLogInfo, "[INFO] query redeem response = %s", response.c_str());

  const int code = ReadApiCode(response);
  if (code != 0) {
    Log(kLogError, "[ERROR] query retention strategy failed! err=[%d].", code);
    return false;
  }
  std::optional<JsonDocument> doc = JsonDocument::Parse(response);
  if (!doc) return false;
  JsonView data = doc->root().Get("data");
  if (data.IsNull()) return false;
  const OfferAnswer answer = ReadOfferAnswer(data);
  std::lock_guard<std::mutex> lock(mu_);
  offer_id_ = answer.id.value_or(offer_id_);
  offer_type_ = answer.type.value_or(offer_type_);
  offer_title_ = answer.title.value_or(offer_title_);
  offer_content_ = answer.content.value_or(offer_content_);
  return true;
}

int32_t RetentionOffer::ApplyRetentionBenefit(const std::string& email) {
  ApiIdentity identity;
  int64_t offer_id = 0;
  {
    std::lock_guard<std::mutex> lock(mu_);
    identity = identity_;
    offer_id = offer_id_;
  }
  const std::string url =
      GetServiceEndpoints().api_primary + kRecoveryPath + "/" + std::to_string(offer_id) + "/apply";
  HeaderList headers = {"Authorization: Bearer " + identity.GetAccessToken(), "Content-Type: application/json"};
  AppendCommonHeaders(identity, headers);
  {
    std::lock_guard<std::mutex> lock(mu_);
    identity_.product_version = identity.product_version;
  }
  const std::string body = JsonObjectBuilder().AddString("email", email).Print();
  int32_t result = 0;
  const std::string response = CurlRequest(RequestMethod::Post, url, headers, true, false, body, &result, kOfferTimeout);
  const int code = ReadApiCode(response);
  if (code == 0) {
    Log(kLogInfo, "[INFO] apply auth success.");
    return 0;
  }
  std::optional<JsonDocument> doc = JsonDocument::Parse(response);
  const std::string message = GetText(doc ? &*doc : nullptr, "msg");
  Log(kLogError, "[ERROR] apply auth failed! err=[%d][%s].", code, message.c_str());
  return code;
}

int32_t RetentionOffer::GetOfferType() const {
  std::lock_guard<std::mutex> lock(mu_);
  return offer_type_;
}

int64_t RetentionOffer::GetOfferId() const {
  std::lock_guard<std::mutex> lock(mu_);
  return offer_id_;
}

std::string RetentionOffer::GetOfferTitle() const {
  std::lock_guard<std::mutex> lock(mu_);
  return offer_title_;
}

std::string RetentionOffer::GetOfferContent() const {
  std::lock_guard<std::mutex> lock(mu_);
  return offer_content_;
}

std::string RetentionOffer::GetEmail() const {
  std::lock_guard<std::mutex> lock(mu_);
  return email_;
}

void RetentionOffer::SetEmail(const std::string& email) {
  std::lock_guard<std::mutex> lock(mu_);
  email_ = email;
}

int32_t RetentionOffer::GetApplyResult() const {
  std::lock_guard<std::mutex> lock(mu_);
  return apply_result_;
}

void RetentionOffer::SetApplyResult(int32_t result) {
  std::lock_guard<std::mutex> lock(mu_);
  apply_result_ = result;
}

std::string RetentionOffer::GetInstallerVersion() const {
  std::lock_guard<std::mutex> lock(mu_);
  return installer_version_;
}

ApiIdentity RetentionOffer::GetIdentity() const {
  std::lock_guard<std::mutex> lock(mu_);
  return identity_;
}

std::string QueryInstallerVersion(const std::string& own_version) {
  if (own_version.empty() || own_version[0] < '0' || own_version[0] > '9') return "4.6.4";
  int32_t parts[3] = {0, 0, 0};
  size_t pos = 0;
  for (int32_t& part : parts) {
    if (pos >= own_version.size()) break;
    part = LeadingInteger(own_version.substr(pos));
    const size_t dot = own_version.find('.', pos);
    if (dot == std::string::npos) break;
    pos = dot + 1;
  }
  return std::to_string(parts[0]) + "." + std::to_string(parts[1]) + "." + std::to_string(parts[2]);
}

bool LoadRetentionOfferFor(RetentionOffer& offer, const std::string& brand, const std::string& product_id_text,
                           const std::string& server_version, const std::string& own_version) {
  const std::string client_serial = GetClientSign(brand);
  return offer.QueryRetentionOffer(LeadingInteger(product_id_text), server_version, client_serial,
                                   QueryInstallerVersion(own_version));
}

}  // namespace oru
