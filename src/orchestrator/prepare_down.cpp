// The server runtime configuration and the preparation before a download.
#include <chrono>
#include <cstdlib>

#include "common/log.h"
#include "orchestrator/oru_mgr.h"
#include "probes/installed_products.h"
#include "probes/platform_facts.h"
#include "server_api/curl_request.h"
#include "telemetry/report_store.h"
#include "telemetry/track_id.h"

namespace oru {
namespace {

constexpr int kServerXmlAttempts = 3;
constexpr std::chrono::seconds kServerXmlTimeout{10};

// Waits after the first and the second failed attempt.
std::chrono::milliseconds RetryWait(int failed_attempt) {
  return std::chrono::milliseconds(failed_attempt == 1 ? 500 : 1000);
}

}  // namespace

std::string OruMgr::BuildServerXmlUrl() const {
  const ProductConfig& config = product_config_;
  RuntimeQuery query;
  // The deferred-consent mode asks before consent: no machine identifier.
  if (!UseStaticRuntimeDocument(config) && config.PrivacyPost != "1") {
    query.client_sign = GetClientSign(config.ProductBrand);
  }
  query.self_version = GetSelfVersion();
  query.wow64 = is_64bit_windows_;
  query.arm64 = is_arm64_;
  return ServerRuntimeUrl(config, query);
}

bool OruMgr::LoadServerXml() {
  std::string url = BuildServerXmlUrl();
  Log(kLogInfo, "[INFO] LoadServerXml, url=[%s].", url.c_str());
  int32_t result = -1;
  std::string response = CurlRequest(RequestMethod::Get, url, {}, true, false, std::string(), &result,
                                     kServerXmlTimeout);
  std::vector<DependentItem> bound;
  std::vector<std::string> bind_pids;
  bool found_root = ParseServerRuntimeXml(response, &server_runtime_, &bound, &bind_pids);
  if (found_root) {
    ReportStore& report = ReportStore::Instance();
    for (DependentItem& item : bound) {
      int32_t pid = std::atoi(item.ProductID.c_str());
      report.SetBindForce(pid, item.ForceInstall == "true");
      report.SetBindServerDigest(pid, BindServerDigests(item));
      MergeBoundDependent(product_config_.Dependents, std::move(item));
    }
    for (const std::string& pid : bind_pids) Log(kLogInfo, "[INFO] LoadServerXml bind.item pid=[%s].", pid.c_str());
    report.SetReportText("serverxmlmd5", ServerXmlDigests(server_runtime_));
    report.SetReportText("xmlprodcutver", server_runtime_.version);
  }
  ReportServerConfig(result);
  bool loaded = result == 0 && found_root;
  // Only after a load that reached the platform host: an unreachable host
  // would otherwise add a 10 s wait to each of the three attempts.
  if (loaded) RequestTrackId(product_config_.ProductID, clock_ != nullptr ? *clock_ : SystemClock());
  return loaded;
}

void OruMgr::PrepareDown() {
  Log(kLogInfo, "[INFO] PrepareDown");
  const ProductConfig& config = product_config_;
  if (!config.BannerImg.empty()) {
    effective_.banner_url = config.BannerImg;
    Log(kLogInfo, "[INFO] PrepareDown, use local banner url immediately.");
  }
  Clock& clock = clock_ != nullptr ? *clock_ : SystemClock();
  for (int attempt = 1; attempt <= kServerXmlAttempts; ++attempt) {
    if (LoadServerXml()) {
      Log(kLogInfo, "[INFO] PrepareDown, LoadServerXml ok, attempt=[%d/3].", attempt);
      break;
    }
    Log(kLogWarn, "[WARN] PrepareDown, LoadServerXml failed, attempt=[%d/3].", attempt);
    if (attempt < kServerXmlAttempts) clock.SleepFor(RetryWait(attempt));
  }
  LoadRetentionOffer();
  SettleDotNet();
  if (effective_.banner_url.empty() && !server_runtime_.banner_url.empty()) {
    effective_.banner_url = AddCacheBuster(server_runtime_.banner_url, UnixSeconds(clock.Now()));
    Log(kLogInfo, "[INFO] PrepareDown, use server banner url.");
  }
  SettleEffectiveValues();
  ProbeInstalledVersion();
}

bool OruMgr::LoadRetentionOffer() {
  const ProductConfig& config = product_config_;
  // A build without a version resource reads "0.0.0.0": the query then
  // sends its fallback version.
  std::string own_version = GetSelfVersion();
  if (own_version == "0.0.0.0") own_version.clear();
  return LoadRetentionOfferFor(*retention_offer_, config.ProductBrand, config.ProductID, server_runtime_.version,
                               own_version);
}

void OruMgr::SettleDotNet() {
  std::optional<DotNetRequirement> dotnet = EffectiveDotNet(product_config_, server_runtime_);
  effective_.dotnet_min_version = dotnet ? dotnet->min_version : std::string();
  effective_.dotnet_url = dotnet ? dotnet->url : std::string();
}

void OruMgr::SettleEffectiveValues() {
  const ProductConfig& config = product_config_;
  effective_.thank_you_page = EffectiveThankYouUrl(config, server_runtime_);
  effective_.license_page = EffectiveLicenseUrl(config, server_runtime_);
  effective_.languages = EffectiveLanguages(config, server_runtime_);
  effective_.install_duration = EffectiveInstallDuration(config.InstallTime);
}

void OruMgr::ProbeInstalledVersion() {
  const ProductConfig& config = product_config_;
  int32_t pid = std::atoi(config.ProductID.c_str());
  std::string version = GetProductInstalledVersion(config.ProductBrand, pid);
  if (version.empty()) version = GetUninstallVersionByPid(config.ProductID);
  if (version.empty()) return;
  Log(kLogInfo, "[INFO] pid=[%d] already install version=[%s].", pid, version.c_str());
  ReportStore::Instance().SetFirstInstall(false);
}

}  // namespace oru
