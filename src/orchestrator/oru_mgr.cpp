#include "orchestrator/oru_mgr.h"

namespace oru {

OruMgr& OruMgr::Instance() {
  // Never destroyed: worker threads and exit handlers may still reach it.
  static OruMgr* instance = new OruMgr();
  return *instance;
}

void OruMgr::ResetForTesting() {
  fork_mode_ = false;
  host_language_.clear();
  host_version_.clear();
  host_hwnd_ = 0;
  main_window_ = 0;
  product_config_ = ProductConfig();
}

}  // namespace oru
