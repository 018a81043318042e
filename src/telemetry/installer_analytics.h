#pragma once
// The installer's analytics events on top of the event client: one report
// operation per event, delivered by a worker thread so that no caller waits
// for the network. Every event is tracked and flushed at once. After
// StopAnalytics, events are delivered on the caller's thread.
//
// All operations are safe from any thread and never report failure.

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "common/clock.h"

namespace oru {

// Project and tracking names the window passes to InitAnalytics.
inline constexpr char kAnalyticsProject[] = "UA_Oru_Web";
inline constexpr char kAnalyticsTrackingName[] = "UA-Oru-Web";

// The run's values behind the super properties that are not platform facts.
// Texts are UTF-8.
struct AnalyticsContext {
  std::string brand;            // ProductBrand; the client sign's brand
  std::string scene_code;       // "scene_code"
  std::string clipboard_param;  // "clipboard_param"
  std::string download_url;     // "downloader_url"
  uint64_t package_size = 0;    // "package_size"
  bool deferred_consent = false;
  int32_t product_id = 0;       // "pid"
  std::string product_version;  // "pver" (server runtime version)
  std::string channel;          // "psource"
  std::string lang_code;        // "plang"
  std::string product_name;     // "pname": server name, else the local one
};

// One "downloader_download" record; fields a site does not know stay 0/empty.
struct DownloadEventRecord {
  std::string type;   // "donet", "depend" or "product"
  std::string state;  // "begin", "preheat_end" or "finish"
  std::string url;    // the package URL; "domain" is taken from it
  int32_t resumedown = 0;
  int32_t times = 0;
  int32_t speed = 0;
  int32_t duration = 0;
  int32_t error_code = 0;
  std::string error_msg;
  int32_t thread = 0;
  int32_t buffer = 0;
  bool is_timeout = false;
  std::string package_tier;
  std::string strategy_version;
  std::string network_tier;
  int32_t chunk_cnt = 0;
  std::string chunk_size;
  int32_t concurrency_cnt = 0;
  int32_t preheat_file_size = 0;
};

// One "downloader_config" record.
struct ConfigEventRecord {
  std::string name;
  std::string exe_name;
  int64_t pkg_size = 0;
  std::string pkg_url, pkg_md5, x64_pkg_url, x64_pkg_md5, arm64_pkg_url, arm64_pkg_md5;
  int32_t error_code = 0;  // 0 for success
  std::string error_msg;   // the download error text of the code
};

// One "downloader_install" record.
struct InstallEventRecord {
  std::string type;   // as DownloadEventRecord::type
  std::string state;  // "begin" or "finish"
  int32_t times = 0;
  int32_t speed = 0;
  int32_t duration = 0;
  int32_t error_code = 0;
  std::string error_msg;
  bool is_first_install = true;
};

// The "downloader_crash" record.
struct CrashEventRecord {
  uint64_t address = 0;
  uint64_t offset = 0;
  std::string file_name;
  std::string section;
  uint32_t code = 0;
};

// Where the collectors and the staging file are; set before InitAnalytics.
struct AnalyticsSetup {
  // Collector addresses without the query ("https://<host>:8106/sa"),
  // tried in order; "?project=<project>" is appended. Empty: the service
  // endpoints' analytics collectors.
  std::vector<std::string> collectors;
  std::string staging_path;  // empty: <temp folder>"oru_analytics"
  Clock* clock = nullptr;    // record times; null: the system clock
};

// The installer's version for "downloader_ver": "%d.%d.%d.%d", three parts
// when the fourth is 0, "4.6.4" when unknown.
std::string AnalyticsVersionText(const std::string& four_part_version);

// Configures where events go; call before the first InitAnalytics.
void ConfigureAnalytics(const AnalyticsSetup& setup);

// Initialises the client (once), adds the super properties of `context`
// (a later call replaces them) and, the first time in the run, queues
// "downloader_startup".
void InitAnalytics(const std::string& project, const std::string& tracking_name, const AnalyticsContext& context);

void ReportPop(const std::string& pop_name);
void ReportClick(const std::string& pop_name, const std::string& button, int progress = 0);
void ReportCoverClick(const std::string& installed_version, const std::string& button);
// "downloader_startup", "language_changed", "downloader_web" ("page").
void ReportEvent(const std::string& event_name, const std::string& key = {}, const std::string& value = {});
void ReportConfig(const ConfigEventRecord& record);
void ReportDns(const std::string& domain, const std::string& ip);
void ReportDownload(const DownloadEventRecord& record);
void ReportInstall(const InstallEventRecord& record);
void ReportCrash(const CrashEventRecord& record);
// `error_msg`: the shell start error text of the result (empty above 32).
void ReportStartProduct(int32_t shell_result, const std::string& error_msg);
void ReportRedeemFailed(int32_t error);

// Sets the exit flag, lets the worker finish (at most 10 s), then delivers
// what is still pending on this thread. Later events go out synchronously.
void StopAnalytics();

// At process end: StopAnalytics, then the client's Shutdown (unsent records
// to the staging file) within `bound`. True when the client finished.
bool ShutdownAnalytics(std::chrono::milliseconds bound);

// Back to a fresh process (tests): joins the worker, drops the client.
void ResetAnalyticsForTesting();

}  // namespace oru
