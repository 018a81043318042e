#include "orchestrator/oru_mgr.h"

#include "probes/platform_facts.h"

namespace oru {

OruMgr& OruMgr::Instance() {
  // Never destroyed: worker threads and exit handlers may still reach it.
  static OruMgr* instance = new OruMgr();
  return *instance;
}

OruMgr::OruMgr() { InitPlatformDefaults(); }

// The machine's bitness decides the default install root: the native
// Program Files on 64-bit Windows, the 32-bit one otherwise.
void OruMgr::InitPlatformDefaults() {
  is_64bit_windows_ = IsWow64();
  is_arm64_ = IsArm64Machine();
  ProgramFilesFolders folders = GetProgramFilesFolders();
  install_root_ = is_64bit_windows_ && !folders.native.empty() ? folders.native : folders.x86;
}

void OruMgr::ResetForTesting() {
  fork_mode_ = false;
  host_language_.clear();
  host_version_.clear();
  host_hwnd_ = 0;
  main_window_ = 0;
  product_config_ = ProductConfig();
  server_runtime_ = ServerRuntime();
  run_state_ = RunState();
  effective_ = EffectiveValues();
  config_folder_.clear();
  run_state_path_.clear();
  clipboard_token_.clear();
  clock_ = nullptr;
  clipboard_reader_ = nullptr;
  retention_offer_ = std::make_unique<RetentionOffer>();
  {
    std::lock_guard<std::mutex> lock(failure_mu_);
    failure_counts_.clear();
  }
  InitPlatformDefaults();
}

}  // namespace oru
