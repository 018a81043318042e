#include "support/scoped_env.h"
#include "orchestrator/storage_folder.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/file_util.h"
#include "platform/locations.h"
#include "platform/registry.h"
#include "platform/system_info.h"
#include "probes/installed_products.h"
#include "probes/platform_facts.h"
#include "support/log_capture.h"
#include "support/scoped_temp_dir.h"
#include "support/tmpfs_fixture.h"

namespace oru {
namespace {

namespace fs = std::filesystem;
using testing::ScopedEnv;
using ::testing::HasSubstr;
using testing::LogCapture;
using testing::ScopedTempDir;
using testing::TmpfsMount;

constexpr char kBrand[] = "Quorvane";
constexpr int32_t kProductId = 1001;
constexpr uint64_t kMiB = 1ull << 20;
constexpr uint64_t kGiB = 1ull << 30;

// A sandbox of locations with "disks" that are real folders (when only
// their identity matters) or real tmpfs mounts (when free space decides).
// The first disk is the system drive: the Windows folder lies on it.
class StorageFolderTest : public ::testing::Test {
 protected:
  StorageFolderTest() : saved_(ProcessLocations()) {
    Locations l = BuildLocations([](const char*) { return std::optional<std::string>(); }, DesktopUser());
    l.registry_dir = dir_.Child("registry/");
    l.temp_dir = dir_.Child("temp/");
    l.common_documents = dir_.Child("common/");
    l.local_app_data = dir_.Child("home/.local/share/");
    l.desktop_user.uid = ::getuid();
    l.desktop_user.home = dir_.Child("home");
    SetProcessLocationsForTesting(l);
    SetRelationIdsProviderForTesting([](int32_t) { return std::vector<int32_t>(); });
  }
  ~StorageFolderTest() override {
    SetMountsForTesting(std::nullopt);
    SetRelationIdsProviderForTesting(nullptr);
    SetProcessLocationsForTesting(saved_);
  }

  void UseDisks(const std::vector<std::string>& roots) {
    Locations l = ProcessLocations();
    l.disk_roots = roots;
    l.windows_dir = roots.front() + "Windows/";
    SetProcessLocationsForTesting(l);
    roots_ = roots;
  }

  // Plain folders disk_<name>/ as disks.
  void UseFolderDisks(const std::vector<std::string>& names) {
    std::vector<std::string> roots;
    for (const std::string& name : names) {
      roots.push_back(dir_.Child("disk_" + name + "/"));
      fs::create_directories(roots.back());
    }
    UseDisks(roots);
  }

  // tmpfs disks of these sizes; false (with skip_reason_) when mounting is not allowed.
  bool UseTmpfsDisks(const std::vector<uint64_t>& sizes) {
    mounts_.clear();
    std::vector<std::string> roots;
    for (uint64_t size : sizes) {
      mounts_.push_back(std::make_unique<TmpfsMount>(size));
      if (!mounts_.back()->mounted()) {
        skip_reason_ = mounts_.back()->skip_reason();
        return false;
      }
      roots.push_back(mounts_.back()->path() + "/");
    }
    UseDisks(roots);
    return true;
  }

  // A folder that the mount table shows as a disk on the USB bus, listed as a
  // candidate disk after the others.
  std::string AddUsbDisk() {
    const std::string usb = dir_.Child("usb/");
    fs::create_directories(usb);
    std::vector<MountInfo> mounts = ListMounts();
    MountInfo stick;
    stick.mount_point = usb;
    stick.fs_type = "vfat";
    stick.device = "/dev/sdz1";
    stick.block_backed = true;
    stick.external_bus = true;
    mounts.push_back(stick);
    SetMountsForTesting(mounts);
    std::vector<std::string> roots = roots_;
    roots.push_back(usb);
    UseDisks(roots);
    return usb;
  }

  std::string Brand(size_t disk, const std::string& brand = kBrand) const {
    return BrandFolderOnRoot(roots_[disk], brand);
  }
  std::string CommonDocumentsBrandFolder() const { return dir_.Child("common/") + kBrand + "/"; }

  // The product's registration as the installed-product probes read it.
  void RegisterInstalledProduct(const std::string& install_path) {
    Registry store(ProcessLocations().registry_dir, ::getuid());
    RegKey key;
    ASSERT_EQ(store.CreateKey(RegHive::kLocalMachine, std::string("Software\\") + kBrand + "\\Studio", kKeyAllAccess,
                              RegView::k64Key, &key),
              kErrorSuccess);
    ASSERT_EQ(key.SetDword("PID", kProductId), kErrorSuccess);
    ASSERT_EQ(key.SetString("InstallInfo", "1"), kErrorSuccess);
    ASSERT_EQ(key.SetString("InstallPath", install_path), kErrorSuccess);
  }
  void UnregisterInstalledProduct() {
    Registry store(ProcessLocations().registry_dir, ::getuid());
    RegKey key;
    if (store.OpenKey(RegHive::kLocalMachine, "Software", kKeyAllAccess, RegView::k64Key, &key) == kErrorSuccess) {
      key.DeleteTree(kBrand);
    }
  }

  StorageContext Context(const std::string& rule = "0") const {
    StorageContext c;
    c.brand = kBrand;
    c.product_id = kProductId;
    c.rule = rule;
    return c;
  }

  int Lines(const std::string& part) const { return log_.Count(part); }

  ScopedTempDir dir_;
  Locations saved_;
  std::vector<std::unique_ptr<TmpfsMount>> mounts_;
  std::vector<std::string> roots_;
  std::string skip_reason_;
  LogCapture log_;
};

// ---------------------------------------------------------------- roots

TEST_F(StorageFolderTest, BrandFolderIsRootBrandAndDownload) {
  EXPECT_EQ(BrandFolderOnRoot("/mnt/d/", "Quorvane"), "/mnt/d/Quorvane/Download/");
  EXPECT_EQ(BrandFolderOnRoot("/mnt/d", "Quorvane"), "/mnt/d/Quorvane/Download/");
  EXPECT_EQ(BrandFolderOnRoot("/mnt/d/", ""), "/mnt/d/Download/");
}

TEST_F(StorageFolderTest, RootOfAPathIsTheLongestDiskRootHoldingItAtAComponentBoundary) {
  UseFolderDisks({"a", "a/nested", "b"});
  const std::string a = roots_[0];
  const std::string nested = roots_[1];
  const std::string outside = dir_.Child("disk_abc/file");
  struct Case {
    std::string path;
    std::string root;
  };
  const std::vector<Case> cases = {
      {a + "x/y", a},
      {a.substr(0, a.size() - 1), a},
      {nested + "x", nested},
      {nested + "../x", a},
      {outside, WithTrailingSeparator(MountPointOf(outside))},  // "disk_a" is not a prefix of "disk_abc"
      {"relative/x", ""},
      {"", ""},
  };
  for (const Case& c : cases) EXPECT_EQ(GetRootOfPath(c.path), c.root) << c.path;

  EXPECT_EQ(GetSystemDriveRoot(), a);
  Locations l = ProcessLocations();
  l.windows_dir = dir_.Child("elsewhere/Windows/");
  l.system_root = "/";
  SetProcessLocationsForTesting(l);
  EXPECT_EQ(GetSystemDriveRoot(), "/") << "no disk holds the Windows folder: the system root";
}

TEST_F(StorageFolderTest, MaxFreeDiskIsTheRoomiestCandidateAndTheEarlierOnATie) {
  if (!UseTmpfsDisks({8 * kMiB, 32 * kMiB, 32 * kMiB})) GTEST_SKIP() << skip_reason_;
  EXPECT_EQ(GetMaxFreeDisk(), roots_[1]);

  AddUsbDisk();  // never a candidate, however large
  EXPECT_EQ(GetMaxFreeDisk(), roots_[1]);
  EXPECT_EQ(Lines("[INFO] GetDiskRootDirs, skip external/onedrive drive=[" + roots_[3] + "]."), 1);
}

// ---------------------------------------------------------------- save folder

TEST_F(StorageFolderTest, SaveFolderReusesAnEarlierBrandFolderOrTakesTheRoomiestDisk) {
  constexpr int kCommon = -1;
  struct Case {
    const char* name;
    std::vector<uint64_t> sizes;  // disk 0 is the system drive
    std::vector<size_t> earlier;  // disks holding a brand folder from an earlier run
    bool skip_search;
    int expected;  // disk index, or kCommon
    bool redirected;
  };
  const std::vector<Case> cases = {
      {"earlier folder on another disk is reused", {16 * kMiB, 8 * kMiB, 32 * kMiB}, {1}, false, 1, false},
      {"earlier folder on the system drive moves to the roomiest disk", {16 * kMiB, 8 * kMiB, 32 * kMiB}, {0}, false, 2,
       true},
      {"earlier folder on the system drive stays when it is the roomiest", {32 * kMiB, 8 * kMiB}, {0}, false, 0,
       false},
      {"the first disk in order holding one wins", {16 * kMiB, 8 * kMiB, 32 * kMiB}, {1, 2}, false, 1, false},
      {"no earlier folder: the roomiest disk", {16 * kMiB, 8 * kMiB, 32 * kMiB}, {}, false, 2, false},
      {"search skipped: the roomiest disk", {16 * kMiB, 8 * kMiB, 32 * kMiB}, {1}, true, 2, false},
      {"only the system drive: Common Documents", {16 * kMiB}, {}, false, kCommon, false},
      {"the system drive is the roomiest: Common Documents", {32 * kMiB, 8 * kMiB}, {}, false, kCommon, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (!UseTmpfsDisks(c.sizes)) GTEST_SKIP() << skip_reason_;
    for (size_t disk : c.earlier) fs::create_directories(Brand(disk));
    log_.Clear();

    const std::string folder = GetSaveFolder(kBrand, c.skip_search);

    const std::string expected = c.expected == kCommon ? CommonDocumentsBrandFolder() : Brand(c.expected);
    EXPECT_EQ(folder, expected);
    EXPECT_TRUE(DirectoryExists(folder));
    const std::string redirect = "[INFO] GetSaveFolder, existing folder on system disk=[" + Brand(0) +
                                 "], redirect to max free disk=[" + roots_.back() + "].";
    EXPECT_EQ(Lines(redirect), c.redirected ? 1 : 0) << log_.All();
    EXPECT_EQ(Lines("[WARN]"), 0) << log_.All();
  }
}

// A disk where the brand folder cannot be made (a file holds its name).
TEST_F(StorageFolderTest, UncreatableDefaultFolderIsLoggedAndNeverBecomesTheStore) {
  if (!UseTmpfsDisks({8 * kMiB, 32 * kMiB})) GTEST_SKIP() << skip_reason_;
  // Its own brand: the fallback folder beside the test program is shared.
  const std::string brand = "QuorvaneUncreatable";
  testing::WriteFileForTesting(roots_[1] + brand, "not a folder");

  const std::string default_folder = GetDefaultFolder(brand);
  EXPECT_EQ(default_folder, Brand(1, brand)) << "the path comes back even when it could not be created";
  EXPECT_EQ(Lines("[ERROR] create folder=[" + Brand(1, brand) + "] failed!"), 1) << log_.All();

  // The store falls back to the brand folder beside the installer.
  const std::string beside_installer = GetBrandFolder(BrandFolderKind::kExeFolder, brand);
  log_.Clear();
  EXPECT_EQ(GetSaveFolder(brand, false), beside_installer);
  EXPECT_EQ(log_.Matching("[WARN] get default folder=[" + Brand(1, brand) + "] failed, err=[").size(), 1u)
      << log_.All();

  // Rule 1 does not hand out the folder it could not create either.
  log_.Clear();
  StorageContext context = Context("1");
  context.brand = brand;
  EXPECT_EQ(ApplyStorageRule(context), beside_installer);
  EXPECT_EQ(Lines("[WARN] InstallerStorageDict=1: folder=[" + Brand(1, brand) + "] no write access!"), 1)
      << log_.All();
  EXPECT_EQ(Lines("[WARN] InstallerStorageDict=1: fallback to default."), 1) << log_.All();
  fs::remove_all(beside_installer);
}

// ---------------------------------------------------------------- storage rule

TEST_F(StorageFolderTest, StorageRuleChoosesTheDiskItNamesOrFallsBack) {
  constexpr int kNone = -1;
  struct Case {
    const char* name;
    std::string rule;
    std::string run_state_path;  // "<n>" is replaced by disk n's root
    std::string local_custom_path;
    bool block_system_brand;  // a file holds the brand's name on the system drive
    bool onedrive_on_disk1;
    int expected;  // disk index or kNone
    std::vector<std::string> lines;
  };
  const std::vector<Case> cases = {
      {"rule 0 keeps the configuration folder", "0", "", "", false, false, kNone, {}},
      {"an empty rule keeps it too", "", "", "", false, false, kNone, {}},
      {"rule 1: the roomiest disk", "1", "", "", false, false, 2,
       {"[INFO] InstallerStorageDict=1: use max free disk."}},
      {"rule 2: the system drive", "2", "", "", false, false, 0, {"[INFO] InstallerStorageDict=2: prefer system disk."}},
      {"rule 2 falls back when the folder cannot be created", "2", "", "", true, false, 2,
       {"[WARN] InstallerStorageDict=2: create folder=[<0>" + std::string(kBrand) + "/Download/] failed!",
        "[WARN] InstallerStorageDict=2: fallback to default."}},
      {"rule 3: the run state's install path", "3", "<1>Apps/Quorvane", "<0>Custom", false, false, 1,
       {"[INFO] InstallerStorageDict=3: prefer install path disk."}},
      {"rule 3: the custom install path without a run state", "3", "", "<1>Custom", false, false, 1, {}},
      {"rule 3 falls back for a relative path", "3", "Apps/Quorvane", "", false, false, 2,
       {"[WARN] InstallerStorageDict=3: fallback to default."}},
      {"rule 3 falls back for a path in OneDrive", "3", "<1>OneDrive/Apps", "", false, true, 2,
       {"[WARN] InstallerStorageDict=3: fallback to default."}},
      {"an unknown rule falls back", "7", "", "", false, false, 2, {"[WARN] InstallerStorageDict=7: fallback to default."}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (!UseTmpfsDisks({16 * kMiB, 8 * kMiB, 32 * kMiB})) GTEST_SKIP() << skip_reason_;
    const auto on_disks = [&](std::string text) {
      for (size_t i = 0; i < roots_.size(); ++i) {
        const std::string mark = "<" + std::to_string(i) + ">";
        for (size_t at = text.find(mark); at != std::string::npos; at = text.find(mark)) text.replace(at, 3, roots_[i]);
      }
      return text;
    };
    if (c.block_system_brand) testing::WriteFileForTesting(roots_[0] + kBrand, "x");
    std::optional<ScopedEnv> onedrive;
    if (c.onedrive_on_disk1) onedrive.emplace("OneDrive", roots_[1] + "OneDrive");
    StorageContext context = Context(c.rule);
    context.run_state_install_path = on_disks(c.run_state_path);
    context.local_custom_install_path = on_disks(c.local_custom_path);
    log_.Clear();

    const std::string folder = ApplyStorageRule(context);

    EXPECT_EQ(folder, c.expected == kNone ? std::string() : Brand(c.expected)) << log_.All();
    for (const std::string& line : c.lines) EXPECT_EQ(Lines(on_disks(line)), 1) << line << "\n" << log_.All();
    if (c.expected == kNone) {
      EXPECT_EQ(Lines("InstallerStorageDict"), 0) << log_.All();
    } else {
      EXPECT_TRUE(DirectoryExists(folder));
    }
  }
}

TEST_F(StorageFolderTest, StorageRuleThreeNeverStoresOnAUsbDisk) {
  if (!UseTmpfsDisks({16 * kMiB, 32 * kMiB})) GTEST_SKIP() << skip_reason_;
  const std::string usb = AddUsbDisk();
  StorageContext context = Context("3");
  context.run_state_install_path = usb + "Apps/Quorvane";

  EXPECT_EQ(ApplyStorageRule(context), Brand(1));
  EXPECT_FALSE(fs::exists(usb + kBrand));
  EXPECT_EQ(Lines("[WARN] InstallerStorageDict=3: fallback to default."), 1) << log_.All();
}

// ---------------------------------------------------------------- custom install path

TEST_F(StorageFolderTest, CustomInstallPathKeepsOnlyFoldersOnInternalDisks) {
  UseFolderDisks({"C", "D"});
  const std::string d = roots_[1];
  const std::string usb = AddUsbDisk();
  const std::string missing_root = dir_.Child("disk_Z/");  // a listed disk that is gone
  {
    Locations l = ProcessLocations();
    l.disk_roots.push_back(missing_root);
    SetProcessLocationsForTesting(l);
  }
  const std::string onedrive = d + "OneDrive";
  ScopedEnv onedrive_env("OneDrive", onedrive);
  const std::string local_app_data = dir_.Child("home/.local/share/");
  const std::string installed = d + "Installed/Quorvane";
  const std::string custom_drop = "[WARN] GetCustomInstallPath, drop external/onedrive custom path=[";
  const std::string installed_drop = "[WARN] GetCustomInstallPath, drop external/onedrive installed path=[";

  struct Case {
    const char* name;
    std::string server;
    std::string local;
    std::string installed;  // registered install folder; empty = not installed
    std::string expected;
    std::string line;  // a warning expected in the log, or empty for none
  };
  const std::vector<Case> cases = {
      {"the server's path wins", d + "Server", d + "Local", installed, d + "Server/", ""},
      {"the local path when the server gives none", "", d + "Local/", installed, d + "Local/", ""},
      {"%LOCALAPPDATA% in capitals", "", "%LOCALAPPDATA%", installed, local_app_data, ""},
      {"%localappdata% from the server", "%localappdata%", d + "Local", installed, local_app_data, ""},
      {"a longer value that begins with the token has no root", "", "%LocalAppData%/Quorvane", installed,
       installed + "/", ""},
      {"a path whose disk is gone is dropped silently", "", missing_root + "Apps", installed, installed + "/", ""},
      {"a custom path on a USB disk is dropped", "", usb + "Apps", installed, installed + "/",
       custom_drop + usb + "Apps]."},
      {"a custom path in OneDrive is dropped", "", onedrive + "/Apps", installed, installed + "/",
       custom_drop + onedrive + "/Apps]."},
      {"nothing given: the installed product's folder", "", "", installed, installed + "/", ""},
      {"an installed folder on a USB disk is dropped", "", "", usb + "Quorvane", "",
       installed_drop + usb + "Quorvane]."},
      {"an installed folder in OneDrive is dropped", "", "", onedrive + "/Quorvane", "",
       installed_drop + onedrive + "/Quorvane]."},
      {"nothing at all", "", "", "", "", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    UnregisterInstalledProduct();
    if (!c.installed.empty()) RegisterInstalledProduct(c.installed);
    StorageContext context = Context();
    context.server_custom_install_path = c.server;
    context.local_custom_install_path = c.local;
    log_.Clear();

    EXPECT_EQ(GetCustomInstallPath(context), c.expected);
    if (c.line.empty()) {
      EXPECT_EQ(Lines("GetCustomInstallPath, drop"), 0) << log_.All();
    } else {
      EXPECT_EQ(Lines(c.line), 1) << log_.All();
    }
  }
}

// ---------------------------------------------------------------- moving the store

TEST_F(StorageFolderTest, UpdateSaveFolderMovesToTheRoomiestDiskWhenThePackageDoesNotFit) {
  struct Case {
    const char* name;
    uint64_t package_size;
    bool block_roomiest;  // the roomiest disk's brand folder cannot be made
    size_t expected_disk;
    std::vector<std::string> lines;
  };
  const std::vector<Case> cases = {
      {"the package fits: stays", 1 * kMiB, false, 0, {}},
      {"too small: moves", 16 * kMiB, false, 1, {"[WARN] update save folder, dir=[<0>"}},
      {"too small and no usable folder elsewhere: stays", 16 * kMiB, true, 0,
       {"[WARN] update save folder, dir=[<0>", "[ERROR] update save folder, not enough disk space."}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (!UseTmpfsDisks({8 * kMiB, 32 * kMiB})) GTEST_SKIP() << skip_reason_;
    fs::create_directories(Brand(0));
    if (c.block_roomiest) testing::WriteFileForTesting(roots_[1] + kBrand, "x");
    log_.Clear();

    const std::string folder = UpdateSaveFolder(kBrand, Brand(0), c.package_size);

    EXPECT_EQ(folder, Brand(c.expected_disk));
    for (std::string line : c.lines) {
      if (line.find("<0>") != std::string::npos) line.replace(line.find("<0>"), 3, Brand(0));
      EXPECT_EQ(Lines(line), 1) << line << "\n" << log_.All();
    }
    if (c.lines.empty()) {
      EXPECT_EQ(Lines("update save folder"), 0) << log_.All();
    }
    EXPECT_EQ(Lines("[INFO] [disk] download folder selected: path=[" + folder + "], drive=[" +
                    roots_[c.expected_disk] + "]"),
              1)
        << log_.All();
  }
}

TEST_F(StorageFolderTest, UpdateInstallerStorageFolderFollowsTheInstallPathsDisk) {
  UseFolderDisks({"C", "D"});
  const std::string missing_root = dir_.Child("disk_Z/");
  {
    Locations l = ProcessLocations();
    l.disk_roots.push_back(missing_root);
    SetProcessLocationsForTesting(l);
  }
  const std::string c_store = Brand(0);
  const std::string d_store = Brand(1);
  struct Case {
    const char* name;
    std::string rule;
    std::string run_state_path;
    std::string local_custom_path;
    bool block_d;  // a file holds the brand's name on D
    std::string current;
    std::string expected;
    std::string line;
  };
  const std::vector<Case> cases = {
      {"other rules leave the store alone", "1", roots_[1] + "Apps", "", false, c_store, c_store, ""},
      {"no install path", "3", "", "", false, c_store, c_store,
       "[WARN] UpdateInstallerStorageFolder: install path empty, skip."},
      {"install path on another disk", "3", roots_[1] + "Apps", "", false, c_store, d_store,
       "[INFO] UpdateInstallerStorageFolder: old=[" + c_store + "], new=[" + d_store + "]."},
      {"custom install path when the run state has none", "3", "", roots_[1] + "Custom", false, c_store, d_store,
       "[INFO] UpdateInstallerStorageFolder: old=[" + c_store + "], new=[" + d_store + "]."},
      {"already there", "3", roots_[1] + "Apps", "", false, d_store, d_store,
       "[INFO] UpdateInstallerStorageFolder: folder unchanged=[" + d_store + "]."},
      {"the disk is gone", "3", missing_root + "Apps", "", false, c_store, c_store,
       "[WARN] UpdateInstallerStorageFolder: disk=[" + missing_root + "] not exist, skip."},
      {"a relative path has no disk", "3", "Apps", "", false, c_store, c_store,
       "[WARN] UpdateInstallerStorageFolder: disk=[] not exist, skip."},
      {"the folder cannot be created", "3", roots_[1] + "Apps", "", true, c_store, c_store,
       "[WARN] UpdateInstallerStorageFolder: create folder=[" + d_store + "] failed, skip."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(roots_[1] + kBrand);
    if (c.block_d) testing::WriteFileForTesting(roots_[1] + kBrand, "x");
    StorageContext context = Context(c.rule);
    context.run_state_install_path = c.run_state_path;
    context.local_custom_install_path = c.local_custom_path;
    log_.Clear();

    EXPECT_EQ(UpdateInstallerStorageFolder(context, c.current), c.expected);
    if (c.line.empty()) {
      EXPECT_EQ(Lines("UpdateInstallerStorageFolder"), 0) << log_.All();
    } else {
      EXPECT_EQ(Lines(c.line), 1) << log_.All();
    }
    if (c.expected == d_store) {
      EXPECT_TRUE(DirectoryExists(d_store));
    }
  }
}

// ---------------------------------------------------------------- install space

TEST_F(StorageFolderTest, InstallNeedsFivePackagesPlusOneOnTheSaveFoldersDisk) {
  UseFolderDisks({"C", "D"});
  struct Case {
    std::string install;
    uint64_t need;
  };
  const std::vector<Case> cases = {
      {roots_[0] + "Program Files/Quorvane", 6 * kGiB},
      {roots_[0].substr(0, roots_[0].size() - 1), 6 * kGiB},
      {roots_[1] + "Apps/Quorvane", 5 * kGiB},
      {dir_.Child("disk_CC/Apps"), 5 * kGiB},  // shares only the first letters with C
  };
  for (const Case& c : cases) EXPECT_EQ(GetInstallSpaceNeed(c.install, Brand(0), kGiB), c.need) << c.install;
  EXPECT_EQ(GetInstallSpaceNeed(roots_[0] + "Apps", Brand(0), 0), 0u);
}

TEST_F(StorageFolderTest, OneGigabytePackageNeedsSixGigabytesOnTheSameDiskAndFiveElsewhere) {
  // tmpfs sizes are limits, not memory: an empty one reports its size free.
  if (!UseTmpfsDisks({6 * kGiB, 5 * kGiB})) GTEST_SKIP() << skip_reason_;
  fs::create_directories(Brand(0));
  // Install folders that do not exist yet are measured at their disk.
  const std::string same_disk = roots_[0] + "Program Files/Quorvane";
  const std::string other_disk = roots_[1] + "Apps/Quorvane";

  EXPECT_TRUE(CheckInstallSpace(same_disk, Brand(0), kGiB)) << log_.All();
  EXPECT_TRUE(CheckInstallSpace(other_disk, Brand(0), kGiB)) << log_.All();
  EXPECT_EQ(Lines("check install space"), 0);

  const uint64_t bigger = kGiB + kMiB;
  EXPECT_FALSE(CheckInstallSpace(same_disk, Brand(0), bigger));
  EXPECT_FALSE(CheckInstallSpace(other_disk, Brand(0), bigger));
  const auto line = [](const std::string& dir, uint64_t free, uint64_t need) {
    return "[WARN] check install space size failed! dir=[" + dir + "], free=[" + std::to_string(free) +
           "], estimate=[" + std::to_string(need) + "]";
  };
  EXPECT_EQ(Lines(line(same_disk, 6 * kGiB, 6 * bigger)), 1) << log_.All();
  EXPECT_EQ(Lines(line(other_disk, 5 * kGiB, 5 * bigger)), 1) << log_.All();
}

// ---------------------------------------------------------------- [disk] lines

std::string Mb(uint64_t bytes) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f", static_cast<double>(bytes) / 1048576.0);
  return text;
}

TEST_F(StorageFolderTest, DiskLinesNameTheFolderItsDiskAndTheSystemDrive) {
  if (!UseTmpfsDisks({8 * kMiB, 24 * kMiB})) GTEST_SKIP() << skip_reason_;
  fs::create_directories(Brand(1));
  const uint64_t system_free = GetFreeDiskBytes(roots_[0]);
  const uint64_t free = GetFreeDiskBytes(roots_[1]);

  LogDownloadFolderDisk("download folder selected", Brand(1), 3 * kMiB);
  EXPECT_EQ(Lines("[INFO] [disk] download folder selected: path=[" + Brand(1) + "], drive=[" + roots_[1] +
                  "] free=[" + std::to_string(free) + "] (" + Mb(free) + " MB), system_drive=[" + roots_[0] +
                  "] free=[" + std::to_string(system_free) + "] (" + Mb(system_free) + " MB), need=[3145728] (3.0 MB)"),
            1)
      << log_.All();

  struct Case {
    const char* name;
    std::string install_dir;
    std::string run_state_path;
    std::string package_path;
    std::string expected_folder;
    std::string expected_drive;
  };
  const std::vector<Case> cases = {
      {"the task's install folder", roots_[1] + "Apps", roots_[0] + "Other", Brand(0) + "p.exe", roots_[1] + "Apps",
       roots_[1]},
      {"else the run state's", "", roots_[0] + "Other", Brand(1) + "p.exe", roots_[0] + "Other", roots_[0]},
      {"else the package", "", "Other", Brand(1) + "p.exe", Brand(1) + "p.exe", roots_[1]},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    log_.Clear();
    InstallDiskFacts facts{"before install", kProductId, c.install_dir, c.run_state_path, c.package_path, 2 * kMiB};
    EXPECT_EQ(LogInstallDisk(facts), c.expected_drive);
    const uint64_t drive_free = GetFreeDiskBytes(c.expected_drive);
    EXPECT_EQ(Lines("[INFO] [disk] before install: pid=[1001], install_dir=[" + c.expected_folder +
                    "], install_drive=[" + c.expected_drive + "] free=[" + std::to_string(drive_free) + "] (" +
                    Mb(drive_free) + " MB), system_drive=[" + roots_[0] + "] free=[" + std::to_string(system_free) +
                    "] (" + Mb(system_free) + " MB), pkg_size=[2097152] (2.0 MB)"),
              1)
        << log_.All();
  }
}

TEST_F(StorageFolderTest, FailedInstallBlamesTheDiskOnlyWhenItIsShortOfTheNeed) {
  if (!UseTmpfsDisks({8 * kMiB})) GTEST_SKIP() << skip_reason_;
  const uint64_t free = GetFreeDiskBytes(roots_[0]);
  EXPECT_FALSE(LogInstallDiskShortfall(kProductId, 5, roots_[0], free, kMiB));
  EXPECT_FALSE(LogInstallDiskShortfall(kProductId, 5, roots_[0], 0, free)) << "need 0 means one package";
  EXPECT_EQ(Lines("install likely FAILED"), 0);

  EXPECT_TRUE(LogInstallDiskShortfall(kProductId, 5, roots_[0], 0, free + 1));
  EXPECT_EQ(Lines("[ERROR] [disk] install likely FAILED due to insufficient disk space: pid=[1001], install_code=[5], "
                  "drive=[" + roots_[0] + "], free=[" + std::to_string(free) + "], need=[" +
                  std::to_string(free + 1) + "]"),
            1)
      << log_.All();
}

}  // namespace
}  // namespace oru
