#pragma once
// The installer's entry sequence: command line, log, administrator check,
// configuration, single instance, main window, message loop, and the one
// exit sequence every ending goes through.

#include <functional>
#include <string>
#include <vector>

#include "common/clock.h"
#include "platform/locations.h"
#include "ui/front_end.h"

namespace oru {

// What start-up runs on; main() passes the real ones, tests their own.
struct StartupServices {
  ui::FrontEnd* front_end = nullptr;  // required; must outlive the run
  Clock* clock = nullptr;             // required; must outlive the process logger
  Locations locations;
  std::function<bool()> is_administrator;  // required
};

// Runs the installer with the already split arguments (program path first).
// Returns 0 after a run and -1 after a refusal; both leave through the same
// orderly teardown, so nothing that runs a thread is destroyed under it.
// Creates and installs the process logger, which is never destroyed.
int RunInstaller(const std::vector<std::string>& arguments, StartupServices& services);

// The log file start-up uses: <temp>/Quorvane/ORU/qvORU.log, qvForkORU.log
// in fork mode; the bare temporary folder when the folder cannot be created.
std::string LogFilePath(const std::string& temp_dir, bool fork);

}  // namespace oru
