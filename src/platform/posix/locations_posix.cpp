#include "platform/locations.h"

#include <memory>
#include <mutex>

#include "platform/file_util.h"
#include "platform/process_util.h"

namespace oru {
namespace {

std::string Folder(const EnvironmentLookup& getenv, const char* name, const std::string& fallback) {
  std::optional<std::string> value = getenv(name);
  if (value && !value->empty()) return WithTrailingSeparator(*value);
  return WithTrailingSeparator(fallback);
}

std::string Text(const EnvironmentLookup& getenv, const char* name) {
  std::optional<std::string> value = getenv(name);
  return value ? *value : std::string();
}

std::vector<std::string> SplitRoots(const std::string& list) {
  std::vector<std::string> roots;
  size_t start = 0;
  while (start <= list.size()) {
    size_t end = list.find(':', start);
    if (end == std::string::npos) end = list.size();
    if (end > start) roots.push_back(WithTrailingSeparator(list.substr(start, end - start)));
    start = end + 1;
  }
  return roots;
}

std::unique_ptr<Locations>& ProcessRecord() {
  static std::unique_ptr<Locations>* record = new std::unique_ptr<Locations>();
  return *record;
}

std::mutex& ProcessRecordMutex() {
  static std::mutex* mutex = new std::mutex();
  return *mutex;
}

}  // namespace

Locations BuildLocations(const EnvironmentLookup& getenv, const DesktopUser& user) {
  Locations loc;
  std::string tmpdir = Text(getenv, "TMPDIR");
  loc.temp_dir = Folder(getenv, "ORU_TEMP_DIR", tmpdir.empty() ? "/tmp" : tmpdir);
  loc.registry_dir = Folder(getenv, "ORU_REGISTRY_DIR", "/var/lib/quorvane/registry");
  loc.lock_dir = Folder(getenv, "ORU_LOCK_DIR", loc.temp_dir);
  loc.program_files = Folder(getenv, "ORU_PROGRAM_FILES", "/opt");
  loc.program_files_x86 = Folder(getenv, "ORU_PROGRAM_FILES_X86", loc.program_files);
  loc.common_documents = Folder(getenv, "ORU_COMMON_DOCUMENTS", "/var/lib");
  std::string home = user.home.empty() ? std::string("/root") : user.home;
  loc.local_app_data = Folder(getenv, "ORU_LOCAL_APP_DATA", home + "/.local/share");
  loc.desktop = Folder(getenv, "ORU_DESKTOP", home + "/Desktop");
  loc.system_root = "/";
  loc.windows_dir = "/";
  loc.system_dir = "/usr/bin/";
  loc.disk_roots = SplitRoots(Text(getenv, "ORU_DISK_ROOTS"));
  loc.ca_bundle = Text(getenv, "ORU_CA_BUNDLE");
  std::string resources = Text(getenv, "ORU_RESOURCE_DIR");
  loc.resource_dir = resources.empty() ? std::string() : WithTrailingSeparator(resources);
  loc.desktop_user = user;
  return loc;
}

const Locations& ProcessLocations() {
  std::lock_guard<std::mutex> lock(ProcessRecordMutex());
  std::unique_ptr<Locations>& record = ProcessRecord();
  if (!record) {
    record = std::make_unique<Locations>(BuildLocations(&GetEnvironmentVariable, GetDesktopUser()));
  }
  return *record;
}

void SetProcessLocationsForTesting(const Locations& locations) {
  std::lock_guard<std::mutex> lock(ProcessRecordMutex());
  std::unique_ptr<Locations>& record = ProcessRecord();
  if (record) {
    *record = locations;  // keep earlier references valid
  } else {
    record = std::make_unique<Locations>(locations);
  }
}

}  // namespace oru
