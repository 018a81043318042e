#pragma once
// The installer's entry sequence: command line, log, administrator check,
// configuration, single instance, main window, message loop, and the one
// exit sequence every ending goes through.

#include <functional>
#include <optional>
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
  // Installs the crash handler and sends an earlier run's crash record.
  // Only the real program: the handler would start the helper run of
  // whatever binary hosts the run (a test runner included).
  bool capture_crashes = false;
  // Reports analytics events (only the real program: a test runner would
  // keep one analytics layer across its runs).
  bool report_analytics = false;
};

// Runs the installer with the already split arguments (program path first).
// Returns 0 after a run and -1 after a refusal; both leave through the same
// orderly teardown, so nothing that runs a thread is destroyed under it.
// Creates and installs the process logger, which is never destroyed.
int RunInstaller(const std::vector<std::string>& arguments, StartupServices& services);

// The crash report helper run (`<exe> --crash-report <record>`): delivers
// the record and returns the exit code (0 delivered, 1 nothing to deliver);
// nullopt for any other command line, which is then the installer's. It
// writes no log: opening the log rotates the live file, which the next run
// may own already. Runs before anything else of start-up.
std::optional<int> RunCrashReportHelper(const std::vector<std::string>& arguments);

// The log file start-up uses: <temp>/Quorvane/ORU/qvORU.log, qvForkORU.log
// in fork mode; the bare temporary folder when the folder cannot be created.
std::string LogFilePath(const std::string& temp_dir, bool fork);

}  // namespace oru
