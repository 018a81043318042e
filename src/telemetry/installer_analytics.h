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
  // Record times and the waits of StopAnalytics (10 s) and
  // ShutdownAnalytics; null: the system clock. Must outlive the layer
  // (ResetAnalyticsForTesting in tests).
  Clock* clock = nullptr;
  // False in a run that only forwards another run's event (the crash
  // report helper): no "downloader_startup" of its own.
  bool report_startup = true;
};

// The installer's version for "downloader_ver": "%d.%d.%d.%d", three parts
// when the fourth is 0, "4.6.4" when unknown.
std::string AnalyticsVersionText(const std::string& four_part_version);

// Configures where events go; call before the first InitAnalytics (later
// calls do not move a client that already exists).
void ConfigureAnalytics(const AnalyticsSetup& setup);

// Initialises the client (until that succeeds; the distinct id is the
// client sign of `context.brand`), adds the super properties of `context`
// (a later call replaces them) and, the first time in the run, queues
// "downloader_startup". Events queued earlier leave, in order, once the
// client and every super property are in place; when the client cannot be
// initialised they stay queued.
void InitAnalytics(const std::string& project, const std::string& tracking_name, const AnalyticsContext& context);

// Each report operation queues one event and returns at once (no network
// wait while StopAnalytics has not run); none reports failure. Texts are
// sent as the UTF-8 they are; a text the event client rejects (not UTF-8,
// over 8192 bytes) is left out of the event.

// "downloader_pop" with "pop_name".
void ReportPop(const std::string& pop_name);
// "downloader_click" with "pop_name", "button" unless empty and
// "progress_rate" unless 0; logs the enqueue line.
void ReportClick(const std::string& pop_name, const std::string& button, int progress = 0);
// "downloader_click" of the "already installed" prompt ("downloader_cover").
void ReportCoverClick(const std::string& installed_version, const std::string& button);
// Any event with at most one text property ("downloader_startup",
// "language_changed", "downloader_web" with "page"); no property when `key`
// is empty.
void ReportEvent(const std::string& event_name, const std::string& key = {}, const std::string& value = {});
// "downloader_config".
void ReportConfig(const ConfigEventRecord& record);
// "downloader_dns" with the host name and the address text.
void ReportDns(const std::string& domain, const std::string& ip);
// "downloader_download"; "domain" is the URL's text between "://" and the
// next "/" (empty without "://").
void ReportDownload(const DownloadEventRecord& record);
// "downloader_install".
void ReportInstall(const InstallEventRecord& record);
// "downloader_crash": the address as "0x" and at least eight upper-case hex
// digits (64-bit addresses in full), the offset in decimal, the code as an
// unsigned number, an empty "error_msg".
void ReportCrash(const CrashEventRecord& record);
// "start_product"; `error_msg`: the shell start error text of the result
// (empty above 32).
void ReportStartProduct(int32_t shell_result, const std::string& error_msg);
// "redeem_failed" for the "free_membership_benefits" page.
void ReportRedeemFailed(int32_t error);

// Sets the exit flag, lets the worker finish (at most 10 s of the setup's
// clock), then delivers what is still pending on this thread, in order.
// Later events go out synchronously. Past the bound the worker is left to
// end after the event it is sending (it takes no further one); it is
// joined by a later StopAnalytics or ShutdownAnalytics once it has ended.
void StopAnalytics();

// At process end: StopAnalytics, then the client's Shutdown (unsent records
// to the staging file) within `bound`. True when the client finished; false
// when a send still ran past `bound` (the queue is saved as it stood and the
// client stays alive for that send).
bool ShutdownAnalytics(std::chrono::milliseconds bound);

// Back to a fresh process (tests): joins the worker, drops the client.
void ResetAnalyticsForTesting();

}  // namespace oru
