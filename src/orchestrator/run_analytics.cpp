// What the orchestrator tells the analytics layer: the run's super
// properties and the result of each server configuration load.
#include <cstdlib>

#include "download_engine/download_result.h"
#include "orchestrator/oru_mgr.h"
#include "telemetry/installer_analytics.h"

namespace oru {

AnalyticsContext OruMgr::AnalyticsContextFor(const std::string& lang_code) const {
  const ProductConfig& config = product_config_;
  AnalyticsContext context;
  context.brand = config.ProductBrand;
  context.scene_code = config.SceneCode;
  context.clipboard_param = clipboard_token_;
  context.download_url = config.DownloadFirstUrl;
  context.package_size = std::strtoull(server_runtime_.filesize.c_str(), nullptr, 10);
  context.deferred_consent = config.PrivacyPost == "1";
  context.product_id = std::atoi(config.ProductID.c_str());
  context.product_version = server_runtime_.version;
  context.channel = config.Channel;
  context.lang_code = lang_code;
  context.product_name = !server_runtime_.name.empty() ? server_runtime_.name : config.ProductName;
  return context;
}

void OruMgr::ReportServerConfig(int32_t transfer_result) const {
  const ServerRuntime& rt = server_runtime_;
  ConfigEventRecord record;
  record.name = rt.name;
  record.exe_name = rt.process_name;
  record.pkg_size = std::strtoll(rt.filesize.c_str(), nullptr, 10);
  record.pkg_url = rt.download_url;
  record.pkg_md5 = rt.md5;
  record.x64_pkg_url = rt.download_url_x64;
  record.x64_pkg_md5 = rt.md5_64;
  record.arm64_pkg_url = rt.download_url_arm64;
  record.arm64_pkg_md5 = rt.md5_arm64;
  record.error_code = transfer_result;
  record.error_msg = transfer_result == 0 ? std::string() : ns_PEM::GetDownloadResultText(transfer_result);
  ReportConfig(record);
}

}  // namespace oru
