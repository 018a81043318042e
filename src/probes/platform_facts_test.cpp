#include "probes/platform_facts.h"

#include <sys/mount.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "platform/file_util.h"
#include "platform/process_util.h"
#include "probes/probes_test_fixture.h"
#include "server_api/service_endpoints.h"
#include "support/http_test_server.h"
#include "support/log_capture.h"
#include "support/scoped_temp_dir.h"
#include "support/test_ca.h"
#include "support/test_clock.h"
#include "support/tmpfs_fixture.h"

namespace oru {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using testing::HttpRequest;
using testing::HttpResponse;
using testing::HttpServerOptions;
using testing::HttpTestServer;
using testing::LogCapture;
using testing::ProbesTest;
using testing::ReadFileForTesting;
using testing::ScopedEnv;
using testing::TestCa;
using testing::TestClock;
using testing::TmpfsMount;
using testing::WriteFileForTesting;
namespace fs = std::filesystem;

class PlatformFactsTest : public ProbesTest {};

// ---------------------------------------------------------------- machine

TEST_F(PlatformFactsTest, ArchitectureAndProgramFilesFollowTheMachine) {
  struct Case {
    const char* name;
    CpuArchitecture native;
    bool wow64;
    bool is_wow64;
    bool arm64;
    int bits;
    std::string x86_folder;
    std::string native_folder;
  };
  const std::string pf = dir_.Child("Program Files/");
  const std::string pf86 = dir_.Child("Program Files (x86)/");
  const Case cases[] = {
      {"x64", CpuArchitecture::kX64, true, true, false, 64, pf86, pf},
      // An Arm64 machine cannot be had here; its native bits read as 32.
      {"Arm64", CpuArchitecture::kArm64, true, true, true, 32, pf86, pf},
      // Nor a 32-bit Windows: one Program Files folder, no native one.
      {"32-bit Windows", CpuArchitecture::kX86, false, false, false, 32, pf, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    UseMachine(c.native, c.wow64);
    EXPECT_EQ(IsWow64(), c.is_wow64);
    EXPECT_EQ(IsArm64Machine(), c.arm64);
    EXPECT_EQ(GetNativeBits(), c.bits);
    const ProgramFilesFolders folders = GetProgramFilesFolders();
    EXPECT_EQ(folders.x86, c.x86_folder);
    EXPECT_EQ(folders.native, c.native_folder);
  }
}

TEST_F(PlatformFactsTest, VersionsTimeZoneAndLanguageComeFromTheFacts) {
  MachineFacts facts;
  facts.os_major = 10;
  facts.os_minor = 0;
  facts.os_build = 22631;
  facts.ui_languages = {"pt-BR", "en-US"};
  SetMachineFactsForTesting(facts);
  EXPECT_EQ(GetOsVersion(), "10.0");
  EXPECT_EQ(GetWinVersion(), "10.0.22631");
  EXPECT_EQ(GetOsUiLanguage(), "pt");

  struct Zone {
    int32_t bias;
    int hours;
  };
  for (const Zone& zone : {Zone{-480, 8}, Zone{300, -5}, Zone{-330, 5}, Zone{-345, 5}, Zone{570, -9}, Zone{0, 0}}) {
    facts.time_zone_bias_minutes = zone.bias;
    SetMachineFactsForTesting(facts);
    EXPECT_EQ(GetTimeZoneHours(), zone.hours) << "bias " << zone.bias;
  }

  facts.ui_languages.clear();
  SetMachineFactsForTesting(facts);
  EXPECT_EQ(GetOsUiLanguage(), "");
}

TEST_F(PlatformFactsTest, UiLanguageAndIeVersionFromTheRegistryWhenStored) {
  MachineFacts facts;
  facts.ui_languages = {"ja-JP"};
  SetMachineFactsForTesting(facts);
  constexpr char kMui[] = "Control Panel\\Desktop\\MuiCached";
  EXPECT_EQ(Create(RegHive::kCurrentUser, kMui, RegView::kNone)
                .SetMultiString("MachinePreferredUILanguages", {"de-DE", "en-US"}),
            kErrorSuccess);
  EXPECT_EQ(GetOsUiLanguage(), "de");
  // 37 UTF-16 units (74 bytes) do not fit the 64-byte buffer.
  EXPECT_EQ(Create(RegHive::kCurrentUser, kMui, RegView::kNone)
                .SetMultiString("MachinePreferredUILanguages", {"fr-FR", "de-DE", "it-IT", "es-ES", "nl-NL", "sv-SE"}),
            kErrorSuccess);
  EXPECT_EQ(GetOsUiLanguage(), "ja") << "too long reads as absent";

  constexpr char kIe[] = "Software\\Microsoft\\Internet Explorer";
  EXPECT_EQ(GetIeVersion(), "-");
  SetText(RegHive::kLocalMachine, kIe, RegView::k64Key, "Version", "9.11.0");
  EXPECT_EQ(GetIeVersion(), "-") << "the installer's 32-bit view";
  SetText(RegHive::kLocalMachine, kIe, RegView::k32Key, "Version", "11.0.19041.1");
  EXPECT_EQ(GetIeVersion(), "11.0.19041.1");
}

// ---------------------------------------------------------------- folders

TEST_F(PlatformFactsTest, SystemPathMatchesWholeComponentsAndCase) {
  const std::string root = dir_.path();
  ChangeLocations([&](Locations& l) { l.windows_dir = root + "/Windows/"; });
  struct Case {
    std::string path;
    bool system;
  };
  const Case cases[] = {
      {root + "/Windows", true},
      {root + "/Windows/", true},
      {root + "/Windows/System32/drivers", true},
      {root + "/windows", false},  // letter case counts
      {root + "/Windows2", false},
      {root + "/Windowsx/app", false},
      {root + "/Windows/../Users/app", false},
      {"/mnt/backup" + root + "/Windows/app", false},  // the folder's text in the middle
      {root + "/Program Files", true},
      {root + "/Program Files/Quorvane", true},
      {root + "/Program Files (x86)/Quorvane", true},
      {root + "/Program Files Extra/Quorvane", false},
      {root + "/D/Program Files/Quorvane", false},  // another drive's
      {"/usr/bin/quorvane", true},                 // the system folder
      {"/usr/binaries", false},
      {root + "/Users/me/Quorvane", false},
      {"", false},
  };
  for (const Case& c : cases) EXPECT_EQ(IsSystemPath(c.path), c.system) << c.path;

  // The real layout: the system folder is the file-system root.
  ChangeLocations([&](Locations& l) {
    l.windows_dir = "/";
    l.program_files = "/opt/";
    l.program_files_x86 = "/opt/";
  });
  EXPECT_TRUE(IsSystemPath("/"));
  EXPECT_TRUE(IsSystemPath("/opt/quorvane"));
  EXPECT_FALSE(IsSystemPath("/optical/quorvane"));
  EXPECT_FALSE(IsSystemPath("/home/me/quorvane")) << "not every folder lies in the system folder";

  ChangeLocations([&](Locations& l) { l.windows_dir.clear(); });
  EXPECT_FALSE(IsSystemPath("/opt/quorvane")) << "no system folder known";
}

MountInfo Mount(const std::string& point, const char* type, bool block, bool removable = false,
                bool external_bus = false) {
  MountInfo mount;
  mount.mount_point = WithTrailingSeparator(point);
  mount.fs_type = type;
  mount.device = block ? "/dev/sdz1" : type;
  mount.block_backed = block;
  mount.removable = removable;
  mount.external_bus = external_bus;
  return mount;
}

TEST_F(PlatformFactsTest, ConfiguredDiskRootsAreFixedUnlessTheirMountSaysOtherwise) {
  const std::string internal = dir_.Child("disk-internal/");
  const std::string usb = dir_.Child("disk-usb/");
  const std::string onedrive = dir_.Child("disk-onedrive/");
  const std::string missing = dir_.Child("disk-missing/");
  const std::string second = dir_.Child("disk-second/");
  for (const std::string& d : {internal, usb, onedrive, second}) ASSERT_TRUE(CreateDirectoryLevels(d));
  // A USB disk cannot be had here: the mount table says so.
  SetMountsForTesting(std::vector<MountInfo>{Mount("/", "ext4", true), Mount(internal, "tmpfs", false),
                                             Mount(usb, "ext4", true, false, true)});
  ChangeLocations([&](Locations& l) { l.disk_roots = {internal, usb, onedrive, missing, second}; });
  ScopedEnv env({{"OneDrive", onedrive.c_str()}, {"OneDriveConsumer", nullptr}, {"OneDriveCommercial", nullptr}});
  LogCapture log;

  EXPECT_THAT(GetDiskRootDirs(), ElementsAre(internal, second));
  EXPECT_THAT(log.Matching("GetDiskRootDirs"),
              ElementsAre("[INFO] GetDiskRootDirs, skip external/onedrive drive=[" + usb + "].",
                          "[INFO] GetDiskRootDirs, skip external/onedrive drive=[" + onedrive + "]."));
}

TEST_F(PlatformFactsTest, MountedDiskRootsAreTheLocalFixedDisksInMountOrder) {
  const std::string base = dir_.path();
  for (const char* d : {"a", "b", "c", "d", "e", "g", "h", "i"}) ASSERT_TRUE(CreateDirectoryLevels(base + "/" + d));
  WriteFileForTesting(base + "/f", "a file bound over a file");
  SetMountsForTesting(std::vector<MountInfo>{
      Mount(base + "/a", "ext4", true),
      Mount(base + "/b", "tmpfs", false),
      Mount(base + "/c", "nfs4", false),               // network: silently left out
      Mount(base + "/d", "ext4", true, false, true),   // USB disk reporting "fixed"
      Mount(base + "/e", "vfat", true, true, false),   // removable medium
      Mount(base + "/f", "ext4", true),
      Mount(base + "/g", "fuse.rclone", false),
      Mount(base + "/a", "ext4", true),                // the same point again
      Mount(base + "/h", "ext4", true),                // the OneDrive folder
      Mount(base + "/i", "xfs", true),
  });
  ScopedEnv env({{"OneDrive", nullptr}, {"OneDriveConsumer", nullptr},
                 {"OneDriveCommercial", (base + "/h").c_str()}});
  LogCapture log;

  EXPECT_THAT(GetDiskRootDirs(), ElementsAre(base + "/a/", base + "/i/"));
  EXPECT_THAT(log.Matching("GetDiskRootDirs"),
              ElementsAre("[INFO] GetDiskRootDirs, skip external/onedrive drive=[" + base + "/d/].",
                          "[INFO] GetDiskRootDirs, skip external/onedrive drive=[" + base + "/e/].",
                          "[INFO] GetDiskRootDirs, skip external/onedrive drive=[" + base + "/h/]."));
}

TEST_F(PlatformFactsTest, ExternalDriveIsNotFixedOrOnAnExternalBus) {
  const std::string configured = dir_.Child("configured/");
  SetMountsForTesting(std::vector<MountInfo>{
      Mount("/", "ext4", true), Mount("/media/usb", "ext4", true, false, true),
      Mount("/media/card", "exfat", true, true, false), Mount("/mnt/share", "cifs", false),
      Mount(configured, "tmpfs", false), Mount(configured + "usb", "ext4", true, false, true)});
  ChangeLocations([&](Locations& l) { l.disk_roots = {configured}; });
  struct Case {
    std::string root;
    bool external;
  };
  const Case cases[] = {
      {"/", false},
      {"/home/me/", false},
      {"/media/usb/", true},
      {"/media/usb/photos", true},
      {"/media/card/", true},
      {"/mnt/share/", true},         // not a fixed drive
      {configured, false},           // configured roots count as fixed
      {configured + "usb/", true},   // unless their mount is on USB
  };
  for (const Case& c : cases) EXPECT_EQ(IsExternalDrive(c.root), c.external) << c.root;

  SetMountsForTesting(std::vector<MountInfo>{});
  EXPECT_FALSE(IsExternalDrive("/anything")) << "nothing to ask counts as internal";
}

TEST_F(PlatformFactsTest, OneDrivePathBeginsWithAOneDriveFolderOrLiesInACloudMount) {
  const std::string too_long = "/home/me/" + std::string(260, 'x');
  SetMountsForTesting(std::vector<MountInfo>{Mount("/", "ext4", true), Mount("/mnt/cloud", "fuse.rclone", false),
                                             Mount("/mnt/od", "fuse.onedriver", false)});
  ScopedEnv env({{"OneDrive", "/home/me/OneDrive"},
                 {"OneDriveConsumer", too_long.c_str()},
                 {"OneDriveCommercial", "/home/me/OneDrive - Contoso/"}});
  struct Case {
    std::string path;
    bool onedrive;
  };
  const Case cases[] = {
      {"/home/me/OneDrive", true},
      {"/home/me/OneDrive/Documents", true},
      {"/HOME/ME/onedrive/docs", true},  // letter case does not count
      {"/home/me/OneDrive2/docs", false},
      {"/home/me/OneDrive - Contoso/Team", true},
      {"/home/me", false},
      {too_long + "/docs", false},  // a value over 259 characters is ignored
      {"/mnt/cloud/photos", true},
      {"/mnt/od", true},
      {"/mnt/cloudy/photos", false},
      {"", false},
  };
  for (const Case& c : cases) EXPECT_EQ(IsOneDrivePath(c.path), c.onedrive) << c.path;
}

TEST_F(PlatformFactsTest, FreeDiskBytesAreWhatTheCallerMayUse) {
  TmpfsMount disk(4 << 20);
  if (!disk.mounted()) GTEST_SKIP() << disk.skip_reason();
  const uint64_t before = GetFreeDiskBytes(disk.path());
  EXPECT_GT(before, 3u << 20);
  EXPECT_LE(before, 4u << 20);
  WriteFileForTesting(disk.path() + "/fill", std::string(1 << 20, 'x'));
  EXPECT_LE(GetFreeDiskBytes(disk.path() + "/"), before - (1u << 20));
  EXPECT_EQ(GetFreeDiskBytes(dir_.Child("missing/folder")), 0u);
  EXPECT_EQ(GetFreeDiskBytes(""), 0u);
}

// ---------------------------------------------------------------- public address

class PublicIpTest : public ProbesTest {
 protected:
  void SetUp() override {
    ASSERT_TRUE(ca_.ok()) << ca_.error();
    server_ = std::make_unique<HttpTestServer>(HttpServerOptions().Tls(ca_.IssueLeaf("ip", {"127.0.0.1"})));
    ASSERT_TRUE(server_->ok()) << server_->error();
    ChangeLocations([&](Locations& l) { l.ca_bundle = ca_.bundle_path(); });
    ServiceEndpoints endpoints = DefaultServiceEndpoints();
    endpoints.public_ip_services = {server_->Url("/first"), server_->Url("/second")};
    SetServiceEndpoints(endpoints);
  }
  void TearDown() override { SetServiceEndpoints(DefaultServiceEndpoints()); }

  void Answer(const std::string& path, const std::string& body) {
    server_->SetHandler("GET", path, [body](const HttpRequest&) {
      HttpResponse response;
      response.body = body;
      return response;
    });
  }

  TestCa ca_;
  std::unique_ptr<HttpTestServer> server_;
};

TEST_F(PublicIpTest, AcceptsOnlyABareDottedAddressAndTriesTheNextService) {
  struct Case {
    std::string first;
    std::string expected;
    bool first_rejected;
  };
  const Case cases[] = {
      {"1.2.3.4\r\n", "1.2.3.4", false},
      {" \t8.8.4.4 \n", "8.8.4.4", false},
      {"255.255.255.255", "255.255.255.255", false},
      {"256.1.1.1", "9.9.9.9", true},
      {"1.2.3", "9.9.9.9", true},
      {"1.2.3.4.5", "9.9.9.9", true},
      {"1.2.3.1234", "9.9.9.9", true},
      {"1..3.4", "9.9.9.9", true},
      {"1.2.3.4x", "9.9.9.9", true},
      {"1.2.3.4 5.6.7.8", "9.9.9.9", true},
      {"<html><body>1.2.3.4</body></html>", "9.9.9.9", true},
      {"", "9.9.9.9", true},
  };
  Answer("/second", "9.9.9.9\n");
  for (const Case& c : cases) {
    Answer("/first", c.first);
    server_->ClearLog();
    LogCapture log;
    EXPECT_EQ(GetClientPublicIP(), c.expected) << c.first;
    EXPECT_EQ(server_->RequestCount("/second"), c.first_rejected ? 1 : 0) << c.first;
    const std::string warning = "[WARN] GetClientPublicIP try [" + server_->Url("/first") +
                                "] failed, curl_code=[0], resp_len=[";
    EXPECT_EQ(log.Count(warning), c.first_rejected ? 1 : 0) << c.first << "\n" << log.All();
  }
}

TEST_F(PublicIpTest, FailedTransfersAreLoggedAndBothFailingGiveNothing) {
  server_->AddFault("/first", testing::Fault::DropAfter(0));
  Answer("/first", "1.2.3.4");
  Answer("/second", "not an address");
  LogCapture log;
  EXPECT_EQ(GetClientPublicIP(), "");
  const std::vector<std::string> warnings = log.Matching("[WARN] GetClientPublicIP try [");
  ASSERT_EQ(warnings.size(), 2u) << log.All();
  EXPECT_THAT(warnings[0], ::testing::Not(::testing::HasSubstr("curl_code=[0]"))) << "the transfer failed";
  EXPECT_EQ(warnings[1], "[WARN] GetClientPublicIP try [" + server_->Url("/second") +
                             "] failed, curl_code=[0], resp_len=[14].");
}

// ---------------------------------------------------------------- .NET

struct NdpEntry {
  const char* subkey;  // below the NDP key ("v4\\Full")
  uint32_t install_type;
  std::string install_data;
  const char* version;
};

const std::string kOne("\x01\x00\x00\x00", 4);
const std::string kZero(4, '\0');

TEST_F(PlatformFactsTest, DotNetCheckReadsTheInstalledFrameworks) {
  struct Machine {
    const char* name;
    std::vector<NdpEntry> entries;
    // Minimum version -> answer.
    std::vector<std::pair<std::string, bool>> checks;
  };
  const Machine machines[] = {
      {".NET 3.5",
       {{"CDF", kRegDword, kOne, "4.0.0.0"},
        {"v2.0.50727", kRegDword, kOne, "2.0.50727.4927"},
        {"v3.0", kRegDword, kOne, "3.0.30729.4926"},
        {"v3.5", kRegDword, kOne, "3.5.30729.4926"}},
       {{"", true}, {"2.0", true}, {"3.0", true}, {"3.5", true}, {"3.6", false}, {"4.0", false}, {"4.5", false},
        {"1.1", false}, {"5.0", false}, {"abc", false}}},
      {".NET 4.8 only",
       {{"v4\\Full", kRegDword, kOne, "4.8.04084"}, {"v4.0", kRegDword, kOne, "4.0.0.0"}},
       {{"3.5", false}, {"2.0", false}, {"4.0", true}, {"4.5", true}, {"4.8", true}, {"4.8.1", true}, {"4.9", false}}},
      {".NET 4.0 only", {{"v4\\Full", kRegDword, kOne, "4.0.30319"}}, {{"4.0", true}, {"4.5", false}}},
      {"3.5 not installed", {{"v3.5", kRegDword, kZero, "3.5.30729"}}, {{"3.5", false}, {"2.0", false}}},
      {"Install big-endian", {{"v3.5", kRegDwordBigEndian, std::string("\0\0\0\x01", 4), "3.5.30729"}},
       {{"3.5", true}}},
      {"Install as text", {{"v3.5", kRegSz, "1", "3.5.30729"}}, {{"3.5", false}}},
      {"no NDP key", {}, {{"", true}, {"3.5", false}, {"2.0", false}}},
  };
  for (const Machine& machine : machines) {
    fs::remove_all(ProcessLocations().registry_dir);
    for (const NdpEntry& entry : machine.entries) {
      RegKey key = Create(RegHive::kLocalMachine,
                          std::string("Software\\Microsoft\\NET Framework Setup\\NDP\\") + entry.subkey, RegView::kNone);
      EXPECT_EQ(key.SetValue("Install", entry.install_type, entry.install_data), kErrorSuccess);
      EXPECT_EQ(key.SetString("Version", entry.version), kErrorSuccess);
    }
    for (const auto& [minimum, expected] : machine.checks) {
      LogCapture log;
      EXPECT_EQ(CheckDotNetFramework(minimum, dir_.Child("packages/")), expected)
          << machine.name << ", minimum \"" << minimum << "\"";
      EXPECT_EQ(log.Count("[WARN] CheckDotNetFramework, 2.0 checker not available on this platform."),
                minimum == "2.0" ? 1 : 0);
    }
  }
}

// ---------------------------------------------------------------- registry writes

TEST_F(PlatformFactsTest, CompatibilityLayersAreWrittenInBothViews) {
  constexpr char kLayers[] = "Software\\Microsoft\\Windows NT\\CurrentVersion\\AppCompatFlags\\Layers\\";
  const std::string program = "/opt/Quorvane/setup.exe";
  struct Case {
    std::string layers;
    std::string stored;
  };
  const std::string emoji = "\xF0\x9F\x98\x80";  // two UTF-16 units
  const Case cases[] = {
      {"~ RUNASADMIN WIN7RTM", "~ RUNASADMIN WIN7RTM"},
      {std::string(60, 'L'), std::string(50, 'L')},
      {std::string(48, 'L') + emoji + "tail", std::string(48, 'L') + emoji},
      {std::string(49, 'L') + emoji, std::string(49, 'L')},  // never half a character
  };
  for (const Case& c : cases) {
    SetAppCompatLayers(program, c.layers);
    for (RegView view : {RegView::k64Key, RegView::k32Key}) {
      std::optional<RegValue> value = Read(RegHive::kLocalMachine, kLayers, view, program);
      ASSERT_TRUE(value.has_value()) << c.layers;
      EXPECT_EQ(value->type, kRegSz);
      EXPECT_EQ(value->data, c.stored);
    }
  }
}

TEST_F(PlatformFactsTest, ChannelRegistrationKeepsTheFirstChannelAndTheValueType) {
  constexpr char kChannel[] = "Software\\HlmQX\\";
  auto value = [&](const char* name) { return Read(RegHive::kLocalMachine, kChannel, RegView::k32Key, name); };
  EXPECT_EQ(ReadDefaultChannel(), "");

  auto text = [&](const char* name) { return ReadText(RegHive::kLocalMachine, kChannel, RegView::k32Key, name); };
  WriteChannelRegistration("app1", "ch1");
  EXPECT_EQ(ReadDefaultChannel(), "ch1");
  EXPECT_EQ(text("app1"), "ch1");
  WriteChannelRegistration("app2", "ch2");
  WriteChannelRegistration("app1", "ch3");
  EXPECT_EQ(ReadDefaultChannel(), "ch1") << "the first channel ever recorded stays";
  EXPECT_EQ(text("app2"), "ch2");
  EXPECT_EQ(text("app1"), "ch3");
  EXPECT_EQ(value("app1").value_or(RegValue()).type, kRegSz);
  EXPECT_FALSE(Read(RegHive::kLocalMachine, kChannel, RegView::k64Key, "app1").has_value()) << "32-bit view";

  struct Case {
    const char* name;
    uint32_t old_type;
    std::string old_data;
    uint32_t new_type;
    std::string new_data;
  };
  const Case cases[] = {
      {"expand, other text", kRegExpandSz, "old", kRegExpandSz, "new"},
      {"expand, same text", kRegExpandSz, "new", kRegSz, "new"},
      {"expand, empty", kRegExpandSz, "", kRegSz, "new"},
      {"multi, other text", kRegMultiSz, std::string("old\0\0", 5), kRegMultiSz, std::string("new\0\0", 5)},
      // Text bytes under a number type would be a corrupt value.
      {"dword", kRegDword, kOne, kRegSz, "new"},
  };
  RegKey key = Create(RegHive::kLocalMachine, kChannel, RegView::k32Key);
  for (const Case& c : cases) {
    ASSERT_EQ(key.SetValue(c.name, c.old_type, c.old_data), kErrorSuccess);
    WriteChannelRegistration(c.name, "new");
    std::optional<RegValue> written = value(c.name);
    ASSERT_TRUE(written.has_value()) << c.name;
    EXPECT_EQ(written->type, c.new_type) << c.name;
    EXPECT_EQ(written->data, c.new_data) << c.name;
  }
}

TEST_F(PlatformFactsTest, ChannelDefaultSurvivesWhateverItsLength) {
  const std::string long_channel(60, 'c');
  RegKey key = Create(RegHive::kLocalMachine, "Software\\HlmQX\\", RegView::k32Key);
  ASSERT_EQ(key.SetString("", long_channel), kErrorSuccess);
  EXPECT_EQ(ReadDefaultChannel(), "") << "over the 100-byte buffer";
  WriteChannelRegistration("app", "ch");
  EXPECT_EQ(ReadText(RegHive::kLocalMachine, "Software\\HlmQX\\", RegView::k32Key, ""), long_channel);

  // A 32-bit Windows (not to be had here) opens the key without a view.
  fs::remove_all(ProcessLocations().registry_dir);
  UseMachine(CpuArchitecture::kX86, false);
  WriteChannelRegistration("app", "ch");
  EXPECT_EQ(ReadText(RegHive::kLocalMachine, "Software\\HlmQX\\", RegView::kNone, "app"), "ch");
  EXPECT_EQ(ReadDefaultChannel(), "ch");
}

// ---------------------------------------------------------------- files

TEST_F(PlatformFactsTest, FileVersionComesFromTheVersionNote) {
  struct Case {
    const char* name;
    std::string contents;
    std::optional<std::string> version;
  };
  const std::string binary("\x7f" "ELF\0\0\x01\x02", 8);
  const Case cases[] = {
      {"inside binary data", binary + "ORU-FILE-VERSION=13.1.2.1234" + binary, "13.1.2.1234"},
      {"two numbers", "ORU-FILE-VERSION=4.6", "4.6.0.0"},
      {"five numbers", "ORU-FILE-VERSION=1.2.3.4.5", "1.2.3.4"},
      {"largest words", "ORU-FILE-VERSION=65535.0.65535.1", "65535.0.65535.1"},
      {"a later note after an empty one", "ORU-FILE-VERSION=x ORU-FILE-VERSION=2.0.1", "2.0.1.0"},
      {"word too large", "ORU-FILE-VERSION=70000.1", std::nullopt},
      {"marker at the very end", binary + "ORU-FILE-VERSION=", std::nullopt},
      {"no note", binary + "VERSION=1.2.3.4", std::nullopt},
      {"empty file", "", std::nullopt},
  };
  for (const Case& c : cases) {
    WriteFileForTesting(dir_.Child("file"), c.contents);
    EXPECT_EQ(GetFileVersionText(dir_.Child("file")), c.version) << c.name;
  }
  EXPECT_EQ(GetFileVersionText(dir_.Child("missing")), std::nullopt);
}

TEST_F(PlatformFactsTest, VersionNoteIsFoundAcrossReadBoundariesUpTo64MiB) {
  const std::string note = "ORU-FILE-VERSION=7.8.9.10";
  // The marker, or the number after it, across the 1 MiB read size.
  for (size_t before : {size_t{(1 << 20) - 5}, size_t{(1 << 20) - 18}, size_t{(1 << 20) - 20}, size_t{3 << 20}}) {
    WriteFileForTesting(dir_.Child("big"), std::string(before, 'z') + note + "zz");
    EXPECT_EQ(GetFileVersionText(dir_.Child("big")), "7.8.9.10") << before;
  }
  // Beyond 64 MiB nothing is searched (a sparse file, no real disk use).
  const std::string far = dir_.Child("far");
  WriteFileForTesting(far, "");
  fs::resize_file(far, size_t{64} << 20);
  std::ofstream(far, std::ios::binary | std::ios::app) << note;
  EXPECT_EQ(GetFileVersionText(far), std::nullopt);
  fs::resize_file(far, (size_t{64} << 20) - note.size());
  std::ofstream(far, std::ios::binary | std::ios::app) << note;
  EXPECT_EQ(GetFileVersionText(far), "7.8.9.10") << "ending exactly at the limit";
}

TEST_F(PlatformFactsTest, SelfVersionAndFileName) {
  EXPECT_THAT(GetSelfVersion(), ::testing::MatchesRegex("[0-9]+\\.[0-9]+\\.[0-9]+\\.[0-9]+"));
  EXPECT_EQ(GetSelfFileName(), "probes_tests");
}

TEST_F(PlatformFactsTest, LocalAppDataIsTheDesktopUsersOrNothing) {
  EXPECT_EQ(GetShellUserLocalAppData(), dir_.Child("home/.local/share/"));
  ChangeLocations([](Locations& l) { l.desktop_user.home.clear(); });
  EXPECT_EQ(GetShellUserLocalAppData(), "");
}

TEST_F(PlatformFactsTest, BrandFolderIsCreatedBelowItsBase) {
  const std::string exe_folder = fs::path(OwnExecutablePath()).parent_path().string() + "/";
  struct Case {
    BrandFolderKind kind;
    std::string name;
    std::string expected;
  };
  const Case cases[] = {
      {BrandFolderKind::kCommonDocuments, "Acme", dir_.Child("common/Acme/")},
      {BrandFolderKind::kCommonDocuments, "", dir_.Child("common/Quorvane/")},
      {BrandFolderKind::kTemp, "Acme", dir_.Child("temp/Acme/")},
      {BrandFolderKind::kExeFolder, "BrandFolderTest", exe_folder + "BrandFolderTest/"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(GetBrandFolder(c.kind, c.name), c.expected);
    EXPECT_TRUE(DirectoryExists(c.expected)) << c.expected;
  }
  fs::remove_all(exe_folder + "BrandFolderTest");
}

TEST_F(PlatformFactsTest, WritableProbeNeverTouchesAnExistingFile) {
  const std::string folder = dir_.Child("install");
  ASSERT_TRUE(CreateDirectoryLevels(folder));
  WriteFileForTesting(dir_.Child("victim"), "precious");
  fs::create_symlink(dir_.Child("victim"), folder + "/oru.tmp");

  EXPECT_TRUE(IsFolderWritable(folder));
  EXPECT_TRUE(IsFolderWritable(folder + "/"));
  EXPECT_EQ(ReadFileForTesting(dir_.Child("victim")), "precious") << "the planted link was not followed";
  EXPECT_TRUE(fs::is_symlink(folder + "/oru.tmp"));
  EXPECT_EQ(std::distance(fs::directory_iterator(folder), fs::directory_iterator()), 1) << "no probe left behind";

  EXPECT_FALSE(IsFolderWritable(""));
  EXPECT_FALSE(IsFolderWritable(dir_.Child("missing")));
  EXPECT_FALSE(IsFolderWritable(dir_.Child("victim")));
}

TEST_F(PlatformFactsTest, ReadOnlyFolderIsNotWritable) {
  TmpfsMount disk(1 << 20);
  if (!disk.mounted()) GTEST_SKIP() << disk.skip_reason();
  EXPECT_TRUE(IsFolderWritable(disk.path()));
  ASSERT_EQ(::mount(nullptr, disk.path().c_str(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr), 0);
  EXPECT_FALSE(IsFolderWritable(disk.path())) << "even for root";
}

// ---------------------------------------------------------------- texts

TEST_F(PlatformFactsTest, TimestampsComeFromTheClock) {
  TestClock clock;
  {
    ScopedEnv utc({{"TZ", "UTC0"}});
    EXPECT_EQ(GetTimestampText(clock), "20240101000000");
    clock.Advance(std::chrono::hours(26) + std::chrono::minutes(3) + std::chrono::seconds(4));
    EXPECT_EQ(GetTimestampText(clock), "20240102020304");
  }
  {
    ScopedEnv tokyo({{"TZ", "JST-9"}});
    EXPECT_EQ(GetTimestampText(clock), "20240102110304") << "local time";
  }
  const std::string seconds = std::to_string(1704067200 + 26 * 3600 + 3 * 60 + 4);
  EXPECT_EQ(AppendTimestampParam("https://q.example/thanks", clock), "https://q.example/thanks?_t=" + seconds);
  EXPECT_EQ(AppendTimestampParam("https://q.example/thanks?lang=en", clock),
            "https://q.example/thanks?lang=en&_t=" + seconds);
}

TEST_F(PlatformFactsTest, WebAddressNeedsAnHttpSchemeAndMore) {
  struct Case {
    const char* text;
    bool web;
  };
  const Case cases[] = {
      {"http://a", true},   {"http://", false},      {"https://a", true},    {"https://", false},
      {" http://a", true},  {"http:// a", true},     {"https:// ", false},   {"https://q.example/x", true},
      {"ftp://q.example", false}, {"HTTP://q.example", false}, {"q.example", false}, {"", false},
      // Blanks are removed before the http check only; an https text must start with the scheme.
      {" https://q.example", false},
  };
  for (const Case& c : cases) EXPECT_EQ(IsWebAddress(c.text), c.web) << "\"" << c.text << "\"";
}

}  // namespace
}  // namespace oru
