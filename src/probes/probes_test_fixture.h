#pragma once
// Shared set-up of the probe tests: a real registry store, folders and
// locations in a temporary folder, and machine facts of a 64-bit Windows
// (the installer under WOW64) unless a test picks another machine.

#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <initializer_list>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "support/scoped_env.h"
#include "platform/locations.h"
#include "platform/registry.h"
#include "platform/system_info.h"
#include "probes/installed_products.h"
#include "probes/platform_facts.h"
#include "support/scoped_temp_dir.h"

namespace oru::testing {

class ProbesTest : public ::testing::Test {
 protected:
  ProbesTest() {
    Locations locations = BuildLocations([](const char*) { return std::optional<std::string>(); }, DesktopUser());
    locations.registry_dir = dir_.Child("registry/");
    locations.temp_dir = dir_.Child("temp/");
    locations.common_documents = dir_.Child("common/");
    locations.program_files = dir_.Child("Program Files/");
    locations.program_files_x86 = dir_.Child("Program Files (x86)/");
    locations.local_app_data = dir_.Child("home/.local/share/");
    locations.desktop_user.uid = ::getuid();
    locations.desktop_user.home = dir_.Child("home");
    SetProcessLocationsForTesting(locations);
    UseMachine(CpuArchitecture::kX64, true);
    SetRelationIdsProviderForTesting([](int32_t) { return std::vector<int32_t>(); });
  }
  ~ProbesTest() override {
    SetRelationIdsProviderForTesting(nullptr);
    SetRandomSourceForTesting(nullptr);
    SetMountsForTesting(std::nullopt);
  }

  void UseMachine(CpuArchitecture native, bool wow64) {
    MachineFacts facts;
    facts.native = native;
    facts.wow64 = wow64;
    SetMachineFactsForTesting(facts);
  }

  // Changes one field of the process's locations.
  template <typename Change>
  void ChangeLocations(Change change) {
    Locations locations = ProcessLocations();
    change(locations);
    SetProcessLocationsForTesting(locations);
  }

  // The store as the probes see it, for the machine set up now.
  Registry Store() const {
    const bool x86 = GetMachineFacts().native == CpuArchitecture::kX86;
    return Registry(ProcessLocations().registry_dir, ::getuid(), x86 ? RegOsBits::k32 : RegOsBits::k64);
  }

  RegKey Create(RegHive hive, std::string_view path, RegView view) {
    RegKey key;
    EXPECT_EQ(Store().CreateKey(hive, path, kKeyAllAccess, view, &key), kErrorSuccess) << path;
    return key;
  }

  void SetText(RegHive hive, std::string_view path, RegView view, std::string_view name, std::string_view text) {
    EXPECT_EQ(Create(hive, path, view).SetString(name, text), kErrorSuccess) << path << " " << name;
  }

  // The whole value, or nullopt when the key or the value is absent.
  std::optional<RegValue> Read(RegHive hive, std::string_view path, RegView view, std::string_view name) const {
    RegKey key;
    if (Store().OpenKey(hive, path, kKeyRead, view, &key) != kErrorSuccess) return std::nullopt;
    RegValue value;
    if (key.QueryValue(name, kRegUnlimited, &value) != kErrorSuccess) return std::nullopt;
    return value;
  }

  std::string ReadText(RegHive hive, std::string_view path, RegView view, std::string_view name) const {
    std::optional<RegValue> value = Read(hive, path, view, name);
    return value ? value->data : std::string("<absent>");
  }

  ScopedTempDir dir_;
};

}  // namespace oru::testing
