#pragma once
// Every location the installer uses, built once at start-up from the
// environment. The ORU_* variables override each default so that tests and
// the demo run inside a sandbox folder (docs/configuration.md lists them).
// Folders end in the path separator.

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/security.h"

namespace oru {

struct Locations {
  std::string temp_dir;           // ORU_TEMP_DIR, else $TMPDIR, else /tmp
  std::string registry_dir;       // ORU_REGISTRY_DIR, else /var/lib/quorvane/registry
  std::string lock_dir;           // ORU_LOCK_DIR, else temp_dir (single-instance locks)
  std::string program_files;      // ORU_PROGRAM_FILES, else /opt
  std::string program_files_x86;  // ORU_PROGRAM_FILES_X86, else program_files
  std::string common_documents;   // ORU_COMMON_DOCUMENTS, else /var/lib
  std::string local_app_data;     // ORU_LOCAL_APP_DATA, else <desktop home>/.local/share
  std::string desktop;            // ORU_DESKTOP, else <desktop home>/Desktop
  std::string system_root;        // the system drive's root: "/"
  std::string windows_dir;        // "/"
  std::string system_dir;         // "/usr/bin"
  // ORU_DISK_ROOTS (":"-separated); empty means "ask the mount table".
  std::vector<std::string> disk_roots;
  std::string ca_bundle;          // ORU_CA_BUNDLE; empty means the TLS library's default
  std::string resource_dir;       // ORU_RESOURCE_DIR; empty means no resource overrides
  DesktopUser desktop_user;
};

using EnvironmentLookup = std::function<std::optional<std::string>(const char* name)>;

// Builds the record from an environment lookup and the desktop user.
Locations BuildLocations(const EnvironmentLookup& getenv, const DesktopUser& user);

// The process's record, built from the real environment on first use.
const Locations& ProcessLocations();
// Replaces the process's record (tests; before other threads use it).
void SetProcessLocationsForTesting(const Locations& locations);

}  // namespace oru
