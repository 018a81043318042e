// Loading the embedded product configuration and the run-state file.
#include <cstdlib>

#include "common/json.h"
#include "common/log.h"
#include "download_engine/host_store.h"
#include "orchestrator/oru_mgr.h"
#include "orchestrator/storage_folder.h"
#include "platform/resources.h"
#include "probes/platform_facts.h"
#include "server_api/curl_request.h"
#include "server_api/service_endpoints.h"
#include "telemetry/report_store.h"

namespace oru {
namespace {

constexpr char kSeriesTokenVersion[] = "1.1.1";

void Override(std::string& target, const std::string& value) {
  if (!value.empty()) target = value;
}

void OverrideList(std::vector<std::string>& target, const std::vector<std::string>& items) {
  if (!items.empty()) target = items;
}

// The vendor's own servers, when the product XML names them, replace the
// built-in ones before the first request goes out.
void ApplyServiceOverrides(const ServiceOverrides& services) {
  ServiceEndpoints endpoints = GetServiceEndpoints();
  Override(endpoints.api_primary, services.ApiHost);
  Override(endpoints.api_secondary, services.ApiBackupHost);
  Override(endpoints.app_key, services.AppKey);
  Override(endpoints.app_secret, services.AppSecret);
  Override(endpoints.default_license_url, services.LicenseUrl);
  OverrideList(endpoints.public_ip_services, services.PublicIpServices);
  OverrideList(endpoints.http_dns_servers, services.HttpDnsServers);
  Override(endpoints.http_dns_account, services.HttpDnsAccount);
  Override(endpoints.http_dns_access_key, services.HttpDnsAccessKey);
  Override(endpoints.http_dns_secret, services.HttpDnsSecret);
  OverrideList(endpoints.analytics_collectors, services.AnalyticsCollectors);
  SetServiceEndpoints(endpoints);
}

// The download engine resolves package hosts through the vendor's HTTP DNS
// service when the product XML names one.
void ApplyHttpDnsOverrides(const ServiceOverrides& services) {
  if (services.HttpDnsServers.empty() && services.HttpDnsAccount.empty() && services.HttpDnsAccessKey.empty() &&
      services.HttpDnsSecret.empty()) {
    return;
  }
  ns_PEM::HostStore& store = ns_PEM::HostStore::Instance();
  ns_PEM::HostStoreConfig config = store.config();
  OverrideList(config.http_dns.servers, services.HttpDnsServers);
  Override(config.http_dns.account_id, services.HttpDnsAccount);
  Override(config.http_dns.access_key_id, services.HttpDnsAccessKey);
  Override(config.http_dns.signing_secret, services.HttpDnsSecret);
  store.SetConfig(config);
}

bool IsDecimalNumber(const std::string& text) {
  if (text.empty() || text.size() > 18) return false;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

}  // namespace

bool OruMgr::LoadLocalXml() {
  Log(kLogInfo, "[INFO] LoadLocalXml");
  std::optional<std::string> xml = LoadResource("XML", 106);
  if (!xml) {
    Log(kLogError, "[ERROR] LoadLocalXml, find failed!");
    return false;
  }
  if (xml->empty()) {
    Log(kLogError, "[ERROR] LoadLocalXml, size error!");
    return false;
  }
  // Services first: the default licence page and platform host may be the
  // vendor's own.
  ProductConfig parsed;
  std::vector<std::string> item_pids;
  ProductXmlDefaults defaults;
  defaults.wow64 = is_64bit_windows_;
  defaults.arm64 = is_arm64_;
  ServiceEndpoints endpoints = GetServiceEndpoints();
  defaults.server_host = endpoints.platform_origin;
  defaults.license_url = endpoints.default_license_url;
  ProductXmlStatus status = ParseProductXml(*xml, defaults, &parsed, &item_pids);
  if (status == ProductXmlStatus::kParseError) {
    Log(kLogError, "[ERROR] LoadLocalXml err 3");
    return false;
  }
  if (status == ProductXmlStatus::kNoProduct) {
    Log(kLogError, "[ERROR] LoadLocalXml, not find product.");
    return false;
  }
  ApplyServiceOverrides(parsed.Services);
  ApplyHttpDnsOverrides(parsed.Services);
  product_config_ = std::move(parsed);
  ApplyLocalConfig(item_pids);
  return true;
}

// Everything that follows a successful parse; nothing here fails the load.
void OruMgr::ApplyLocalConfig(const std::vector<std::string>& item_pids) {
  ProductConfig& config = product_config_;
  ReportStore& report = ReportStore::Instance();
  report.SetPlatformOrigin(config.ServerHost);

  config_folder_ = GetSaveFolder(config.ProductBrand, /*skip_search=*/false);
  Log(kLogInfo, "[INFO] config folder=[%s].", config_folder_.c_str());
  run_state_path_ = config_folder_ + RunStateFileName(config.ProductID);
  Log(kLogInfo, "[INFO] LoadLocalXml, EnableCustomStrategy=[%s], StrategyName=[%s], NetworkTierBasis=[%s]",
      config.EnableCustomStrategy.c_str(), config.StrategyName.c_str(), config.NetworkTierBasis.c_str());
  for (const std::string& pid : item_pids) Log(kLogInfo, "[INFO] LoadLocalXml, dependent.item pid=[%s].", pid.c_str());
  for (const DependentItem& item : config.Dependents) {
    report.SetBindForce(std::atoi(item.ProductID.c_str()), item.ForceInstall == "true");
  }

  ReadClipboardToken();
  WriteChannelRegistration(config.AppID.empty() ? config.ProductID : config.AppID, config.Channel);
  StorageContext storage;
  storage.brand = config.ProductBrand;
  storage.product_id = std::atoi(config.ProductID.c_str());
  storage.rule = config.InstallerStorageDirectory;
  storage.run_state_install_path = run_state_.InstallPath;
  storage.server_custom_install_path = server_runtime_.custom_install_path;
  storage.local_custom_install_path = config.CustomInstallPath;
  std::string custom = GetCustomInstallPath(storage);
  if (!custom.empty()) install_root_ = custom;

  report.SetReportText("product_id", config.ProductID);
  report.SetReportText("client_sign", GetClientSign(config.ProductBrand));
  report.SetReportText("channel", config.Channel);
  report.SetReportText("defchannel", ReadDefaultChannel());
  report.SetReportText("scene_code", config.SceneCode);
  AnnounceProductSeries();
}

void OruMgr::ReadClipboardToken() {
  const ProductConfig& config = product_config_;
  clipboard_token_.clear();
  if (config.Clipboard.Access != "1" || config.Clipboard.Keyword.empty() || !clipboard_reader_) return;
  std::optional<std::string> text = clipboard_reader_();
  if (!text) return;
  if (text->compare(0, config.Clipboard.Keyword.size(), config.Clipboard.Keyword) == 0) clipboard_token_ = *text;
}

void OruMgr::AnnounceProductSeries() {
  const ProductConfig& config = product_config_;
  std::string sign = GetClientSign(config.ProductBrand);
  // The body carries the id as a bare JSON number; anything else would be
  // a malformed announcement.
  if (!IsDecimalNumber(config.ProductID)) {
    Log(kLogWarn, "[WARN] series announcement skipped, product id=[%s] is not a number.", config.ProductID.c_str());
    return;
  }
  JsonObjectBuilder body;
  body.AddInteger("product_id", std::stoll(config.ProductID)).AddString("client_sign", sign);
  std::string token = GetAccessToken(config.ProductID, sign, kSeriesTokenVersion);
  HeaderList headers = {"Content-Type: application/json", "Authorization: Bearer " + token};
  std::string reply = PostWithHostSwitch("/v1/product/series", headers, body.Print());
  if (ReadApiCode(reply) != 0) {
    Log(kLogError, "[ERROR] series PidDidInfo post info failed! result=[%s].", reply.c_str());
    return;
  }
  Log(kLogInfo, "[INFO] post info ok.");
}

void OruMgr::ReadRunConfig() {
  if (run_state_path_.empty()) return;
  oru::ReadRunConfig(run_state_path_, &run_state_);
}

void OruMgr::WriteRunConfig() {
  if (run_state_path_.empty()) return;
  oru::WriteRunConfig(run_state_path_, run_state_, fork_mode_);
}

void OruMgr::DeleteRunConfig() { oru::DeleteRunConfig(run_state_path_, &run_state_, fork_mode_); }

}  // namespace oru
