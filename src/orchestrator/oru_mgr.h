#pragma once
// The orchestrator: one process-wide object that holds the run's
// configuration and facts and, as the run grows, its tasks and the download
// engine. Start-up fills it on the main thread before any worker starts.

#include <cstdint>
#include <string>

#include "config/product_config.h"

namespace oru {

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

  ProductConfig& product_config() { return product_config_; }

  // Back to a freshly constructed state (tests that run start-up in-process).
  void ResetForTesting();

 private:
  OruMgr() = default;

  bool fork_mode_ = false;
  std::string host_language_;
  std::string host_version_;
  int32_t host_hwnd_ = 0;
  uint32_t main_window_ = 0;
  ProductConfig product_config_;
};

}  // namespace oru
