// The automatic log report after a failed download or package run.
#include <string>

#include "orchestrator/oru_mgr.h"
#include "support/log_reporter.h"

namespace oru {
namespace {

// Download codes and install codes share one set, apart by these offsets.
constexpr int32_t kDownloadFailureBase = 1000;
constexpr int32_t kInstallFailureBase = 2000;

}  // namespace

bool OruMgr::FirstFailure(int32_t key) {
  std::lock_guard<std::mutex> lock(failure_mu_);
  return ++failure_counts_[key] == 1;
}

bool OruMgr::ReportDownloadFailure(int32_t error_code) {
  if (!FirstFailure(error_code + kDownloadFailureBase)) return false;
  std::string remark = "pid=" + product_config_.ProductID + ", download err=" + std::to_string(error_code);
  return AutoReportErrorLog(false, remark, product_config_.ProductID, server_runtime_.version, std::string());
}

bool OruMgr::ReportInstallFailure(int32_t exit_code, const std::string& package_log_path) {
  if (!FirstFailure(exit_code + kInstallFailureBase)) return false;
  std::string remark = "pid=" + product_config_.ProductID + ", install err=" + std::to_string(exit_code);
  return AutoReportErrorLog(true, remark, product_config_.ProductID, server_runtime_.version, package_log_path);
}

}  // namespace oru
