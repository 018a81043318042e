#include "platform/locations.h"

#include <gtest/gtest.h>

#include <map>

namespace oru {
namespace {

EnvironmentLookup FakeEnvironment(std::map<std::string, std::string> vars) {
  return [vars = std::move(vars)](const char* name) -> std::optional<std::string> {
    auto it = vars.find(name);
    if (it == vars.end()) return std::nullopt;
    return it->second;
  };
}

DesktopUser Alice() {
  DesktopUser user;
  user.uid = 1000;
  user.name = "alice";
  user.home = "/home/alice";
  return user;
}

TEST(LocationsTest, DefaultsFollowTheDesktopUser) {
  Locations loc = BuildLocations(FakeEnvironment({}), Alice());
  EXPECT_EQ(loc.temp_dir, "/tmp/");
  EXPECT_EQ(loc.registry_dir, "/var/lib/quorvane/registry/");
  EXPECT_EQ(loc.lock_dir, "/tmp/");
  EXPECT_EQ(loc.program_files, "/opt/");
  EXPECT_EQ(loc.program_files_x86, "/opt/");
  EXPECT_EQ(loc.common_documents, "/var/lib/");
  EXPECT_EQ(loc.local_app_data, "/home/alice/.local/share/");
  EXPECT_EQ(loc.desktop, "/home/alice/Desktop/");
  EXPECT_EQ(loc.system_root, "/");
  EXPECT_EQ(loc.system_dir, "/usr/bin/");
  EXPECT_TRUE(loc.disk_roots.empty());
  EXPECT_EQ(loc.ca_bundle, "");
  EXPECT_EQ(loc.resource_dir, "");
  EXPECT_EQ(loc.desktop_user.uid, 1000u);
}

TEST(LocationsTest, TmpdirAndOverridesWin) {
  Locations loc = BuildLocations(FakeEnvironment({{"TMPDIR", "/var/tmp"},
                                                  {"ORU_REGISTRY_DIR", "/sandbox/reg"},
                                                  {"ORU_LOCK_DIR", "/sandbox/locks/"},
                                                  {"ORU_PROGRAM_FILES", "/sandbox/opt"},
                                                  {"ORU_COMMON_DOCUMENTS", "/sandbox/common"},
                                                  {"ORU_LOCAL_APP_DATA", "/sandbox/local"},
                                                  {"ORU_DESKTOP", "/sandbox/desk"},
                                                  {"ORU_DISK_ROOTS", "/:/mnt/data::/media/usb/"},
                                                  {"ORU_CA_BUNDLE", "/sandbox/ca.pem"},
                                                  {"ORU_RESOURCE_DIR", "/sandbox/res"}}),
                                 Alice());
  EXPECT_EQ(loc.temp_dir, "/var/tmp/");
  EXPECT_EQ(loc.registry_dir, "/sandbox/reg/");
  EXPECT_EQ(loc.lock_dir, "/sandbox/locks/");
  EXPECT_EQ(loc.program_files, "/sandbox/opt/");
  EXPECT_EQ(loc.program_files_x86, "/sandbox/opt/");
  EXPECT_EQ(loc.common_documents, "/sandbox/common/");
  EXPECT_EQ(loc.local_app_data, "/sandbox/local/");
  EXPECT_EQ(loc.desktop, "/sandbox/desk/");
  EXPECT_EQ(loc.disk_roots, (std::vector<std::string>{"/", "/mnt/data/", "/media/usb/"}));
  EXPECT_EQ(loc.ca_bundle, "/sandbox/ca.pem");
  EXPECT_EQ(loc.resource_dir, "/sandbox/res/");

  Locations temp = BuildLocations(FakeEnvironment({{"TMPDIR", "/var/tmp"}, {"ORU_TEMP_DIR", "/sandbox/t"}}), Alice());
  EXPECT_EQ(temp.temp_dir, "/sandbox/t/");
  EXPECT_EQ(temp.lock_dir, "/sandbox/t/") << "locks follow the temporary folder";
}

TEST(LocationsTest, EmptyOverridesCountAsUnset) {
  Locations loc = BuildLocations(FakeEnvironment({{"TMPDIR", ""}, {"ORU_TEMP_DIR", ""}, {"ORU_PROGRAM_FILES", ""}}),
                                 Alice());
  EXPECT_EQ(loc.temp_dir, "/tmp/");
  EXPECT_EQ(loc.program_files, "/opt/");
}

}  // namespace
}  // namespace oru
