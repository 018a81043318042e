// oru: the online installer.
#include <vector>

#include "app/startup.h"
#include "platform/locations.h"
#include "platform/security.h"
#include "ui/console_front_end.h"

int main(int argc, char** argv) {
  // The shell has split the command line already; argv[0] takes the place
  // of the program path that the Windows splitter yields first.
  std::vector<std::string> arguments(argv, argv + argc);
  // The helper run of crash capture needs none of the installer.
  if (auto code = oru::RunCrashReportHelper(arguments)) return *code;
  oru::ui::ConsoleFrontEnd front_end(oru::SystemClock());
  oru::StartupServices services;
  services.front_end = &front_end;
  services.clock = &oru::SystemClock();
  services.locations = oru::ProcessLocations();
  services.is_administrator = &oru::IsAdministrator;
  services.capture_crashes = true;
  services.report_analytics = true;
  return oru::RunInstaller(arguments, services);
}
