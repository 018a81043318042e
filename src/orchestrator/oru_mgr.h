#pragma once
// The orchestrator: one process-wide object that holds the run's
// configuration and facts and, as the run grows, its tasks and the download
// engine. Start-up fills it on the main thread before any worker starts.

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "common/clock.h"
#include "config/product_config.h"
#include "config/run_state.h"
#include "config/server_runtime.h"
#include "support/retention_offer.h"
#include "telemetry/installer_analytics.h"

namespace oru {

// What the run ends up using where local and server data meet.
struct EffectiveValues {
  std::string banner_url;
  std::string thank_you_page;
  std::string license_page;
  std::string languages;
  std::chrono::seconds install_duration{240};
  std::string dotnet_min_version;  // empty: no .NET requirement
  std::string dotnet_url;
};

class OruMgr {
 public:
  // The one instance; created on first use and never destroyed.
  static OruMgr& Instance();

  OruMgr(const OruMgr&) = delete;
  OruMgr& operator=(const OruMgr&) = delete;

  // Fork mode: a hidden second copy that installs only fork dependents.
  void SetForkMode(bool fork) { fork_mode_ = fork; }
  bool IsForkMode() const { return fork_mode_; }

  // Facts a host installer passes to a fork-mode copy.
  void SetHostLanguage(std::string lang) { host_language_ = std::move(lang); }
  const std::string& host_language() const { return host_language_; }
  void SetHostVersion(std::string version) { host_version_ = std::move(version); }
  const std::string& host_version() const { return host_version_; }
  void SetHostHwnd(int32_t hwnd) { host_hwnd_ = hwnd; }
  int32_t host_hwnd() const { return host_hwnd_; }

  // The main window's id, handed to package installers.
  void SetMainWindow(uint32_t id) { main_window_ = id; }
  uint32_t main_window() const { return main_window_; }

  // Reads the embedded product XML into the product configuration, derives
  // the configuration folder and run-state path, records the channel and the
  // first report values and announces the product. False when the XML is
  // missing, empty, does not parse or has no Product root.
  bool LoadLocalXml();

  // The run-state file (no-ops without a path; writes skipped in fork mode).
  void ReadRunConfig();
  void WriteRunConfig();
  void DeleteRunConfig();

  // One request of the server runtime configuration; true when the transfer
  // succeeded and the document's root was found.
  bool LoadServerXml();
  // Server configuration (three attempts), offers, effective values and the
  // installed-version probe. Runs on the preparation worker.
  void PrepareDown();
  // Asks the product API for this run's retention offer (once per run, from
  // PrepareDown). True when an offer record was read.
  bool LoadRetentionOffer();
  // The offer the window presents when the user abandons the installation.
  RetentionOffer& retention_offer() { return *retention_offer_; }

  // Sends the logs after a failure, once per distinct failure: a download
  // error code (without the package log) or a package installer exit code
  // (with `package_log_path`). Repeated codes are only counted. Blocks for
  // the uploads; returns whether a report was sent.
  bool ReportDownloadFailure(int32_t error_code);
  bool ReportInstallFailure(int32_t exit_code, const std::string& package_log_path);

  // The analytics super properties of this run, with the selected install
  // language's code.
  AnalyticsContext AnalyticsContextFor(const std::string& lang_code) const;

  ProductConfig& product_config() { return product_config_; }
  ServerRuntime& server_runtime() { return server_runtime_; }
  RunState& run_state() { return run_state_; }
  const EffectiveValues& effective() const { return effective_; }
  const std::string& config_folder() const { return config_folder_; }
  const std::string& run_state_path() const { return run_state_path_; }
  const std::string& install_root() const { return install_root_; }
  const std::string& clipboard_token() const { return clipboard_token_; }
  bool is_64bit_windows() const { return is_64bit_windows_; }
  bool is_arm64() const { return is_arm64_; }

  // Waits between runtime configuration attempts go through this clock.
  void SetClock(Clock* clock) { clock_ = clock; }
  // Where the clipboard text comes from (no clipboard service on a headless
  // machine; the window backend installs one).
  void SetClipboardReader(std::function<std::optional<std::string>()> reader) {
    clipboard_reader_ = std::move(reader);
  }

  // Back to a freshly constructed state (tests that run start-up in-process).
  void ResetForTesting();

 private:
  OruMgr();
  void InitPlatformDefaults();
  void ReadClipboardToken();
  void ApplyLocalConfig(const std::vector<std::string>& item_pids);
  void AnnounceProductSeries();
  std::string BuildServerXmlUrl() const;
  void SettleDotNet();
  void SettleEffectiveValues();
  void ProbeInstalledVersion();
  // "downloader_config" with what the load brought and its transfer result.
  void ReportServerConfig(int32_t transfer_result) const;
  // True the first time `key` is seen (counts every time).
  bool FirstFailure(int32_t key);

  bool fork_mode_ = false;
  std::string host_language_;
  std::string host_version_;
  int32_t host_hwnd_ = 0;
  uint32_t main_window_ = 0;
  ProductConfig product_config_;
  ServerRuntime server_runtime_;
  RunState run_state_;
  EffectiveValues effective_;
  std::string config_folder_;
  std::string run_state_path_;
  std::string install_root_;
  std::string clipboard_token_;
  bool is_64bit_windows_ = false;
  bool is_arm64_ = false;
  Clock* clock_ = nullptr;
  std::function<std::optional<std::string>()> clipboard_reader_;
  std::unique_ptr<RetentionOffer> retention_offer_ = std::make_unique<RetentionOffer>();
  std::mutex failure_mu_;
  std::map<int32_t, int> failure_counts_;  // guarded by failure_mu_
};

}  // namespace oru
