#include "probes/installed_products.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "probes/probes_test_fixture.h"
#include "support/log_capture.h"
#include "support/scoped_temp_dir.h"

namespace oru {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using testing::LogCapture;
using testing::ProbesTest;
using testing::WriteFileForTesting;
namespace fs = std::filesystem;

constexpr char kBrand[] = "Quorvane";
constexpr int32_t kPid = 100;

// One product registration below HKLM "Software\<brand>".
struct Registration {
  std::string subkey = "Quorvane Product";
  RegView view = RegView::k64Key;
  std::optional<uint32_t> pid = kPid;            // REG_DWORD
  std::optional<std::string> pid_text;           // REG_SZ instead
  bool pid_big_endian = false;                   // REG_DWORD_BIG_ENDIAN instead
  std::optional<std::string> install_info = "1";
  std::optional<std::string> install_date;
  std::optional<std::string> version = "13.1.2.1234";
  std::optional<std::string> install_name;
  std::optional<std::string> install_path;
};

class InstalledProductsTest : public ProbesTest {
 protected:
  void Register(const Registration& r) {
    RegKey key = Create(RegHive::kLocalMachine, std::string("Software\\") + kBrand + "\\" + r.subkey, r.view);
    if (r.pid && r.pid_big_endian) {
      const std::string bytes = {0, 0, static_cast<char>(*r.pid >> 8), static_cast<char>(*r.pid)};
      EXPECT_EQ(key.SetValue("PID", kRegDwordBigEndian, bytes), kErrorSuccess);
    } else if (r.pid) {
      EXPECT_EQ(key.SetDword("PID", *r.pid), kErrorSuccess);
    }
    if (r.pid_text) {
      EXPECT_EQ(key.SetString("PID", *r.pid_text), kErrorSuccess);
    }
    auto text = [&](const char* name, const std::optional<std::string>& value) {
      if (value) {
        EXPECT_EQ(key.SetString(name, *value), kErrorSuccess) << name;
      }
    };
    text("InstallInfo", r.install_info);
    text("InstallDate", r.install_date);
    text("Version", r.version);
    text("InstallName", r.install_name);
    text("InstallPath", r.install_path);
  }

  void ForgetRegistrations() { fs::remove_all(ProcessLocations().registry_dir); }
};

Registration Marked(std::optional<std::string> info, std::optional<std::string> date) {
  Registration r;
  r.install_info = std::move(info);
  r.install_date = std::move(date);
  return r;
}

TEST_F(InstalledProductsTest, LookupTakesTheFirstRegistrationMarkedInstalled) {
  struct Case {
    const char* name;
    std::vector<Registration> registrations;
    bool installed;
    std::string version;
  };
  Registration full;
  full.install_name = "/opt/Quorvane/quorvane";
  full.install_path = "/opt/Quorvane/";
  Registration no_version;
  no_version.version.reset();
  Registration text_pid;
  text_pid.pid.reset();
  text_pid.pid_text = "100";
  Registration other_pid;
  other_pid.pid = 101;
  Registration big_endian_pid;
  big_endian_pid.pid_big_endian = true;
  Registration unmarked_first = Marked(std::nullopt, std::nullopt);
  unmarked_first.subkey = "A";
  unmarked_first.version = "1.0";
  Registration marked_second;
  marked_second.subkey = "B";
  marked_second.version = "2.0";
  Registration first_in_order = marked_second;
  first_in_order.subkey = "a-first";
  first_in_order.version = "1.5";
  Registration long_mark = Marked(std::string(255, 'i'), std::nullopt);
  Registration longest_mark = Marked(std::string(254, 'i'), std::nullopt);
  Registration long_version;
  long_version.version = std::string(255, '9');

  const Case cases[] = {
      {"marked by InstallInfo", {full}, true, "13.1.2.1234"},
      {"no install marks", {Marked(std::nullopt, std::nullopt)}, false, ""},
      {"both marks empty", {Marked("", "")}, false, ""},
      {"empty InstallInfo, dated", {Marked("", "2024-05-01")}, true, "13.1.2.1234"},
      {"installed without Version", {no_version}, true, ""},
      {"PID stored as text", {text_pid}, false, ""},
      {"PID stored big-endian", {big_endian_pid}, false, ""},
      {"another product", {other_pid}, false, ""},
      {"unmarked registration skipped", {unmarked_first, marked_second}, true, "2.0"},
      {"first in enumeration order wins", {marked_second, first_in_order}, true, "1.5"},
      {"mark longer than the buffer", {long_mark}, false, ""},
      {"mark of 254 characters", {longest_mark}, true, "13.1.2.1234"},
      {"Version longer than the buffer", {long_version}, true, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ForgetRegistrations();
    for (const Registration& r : c.registrations) Register(r);
    EXPECT_EQ(IsProductInstalled(kBrand, kPid), c.installed);
    EXPECT_EQ(GetProductInstalledVersion(kBrand, kPid), c.version);
  }

  ForgetRegistrations();
  Register(full);
  EXPECT_EQ(GetProductInstallName(kBrand, kPid), "/opt/Quorvane/quorvane");
  EXPECT_EQ(GetProductInstallPath(kBrand, kPid), "/opt/Quorvane/");
  EXPECT_EQ(GetProductInstallName("Other Brand", kPid), "");
}

TEST_F(InstalledProductsTest, SixtyFourBitViewFirstThenThirtyTwo) {
  Registration native;
  native.version = "64.0";
  Registration wow;
  wow.view = RegView::k32Key;
  wow.version = "32.0";
  Register(wow);
  {
    LogCapture log;
    EXPECT_EQ(GetProductInstalledVersion(kBrand, kPid), "32.0");
    EXPECT_THAT(log.Lines(),
                ElementsAre("[INFO] GetProductInstalledWithKey, try 64-bit registry view first, product_id=[100]",
                            "[INFO] GetProductInstalledWithKey, try 32-bit registry view, product_id=[100]",
                            "[INFO] GetProductInstalledWithKeyEx, found matched pid=[100], subkey=[Quorvane Product], "
                            "view=[32bit].",
                            "[INFO] GetProductInstalledWithKey, found in 32-bit view, product_id=[100]"));
  }
  Register(native);
  {
    LogCapture log;
    EXPECT_EQ(GetProductInstalledVersion(kBrand, kPid), "64.0");
    EXPECT_EQ(log.Count("try 32-bit registry view"), 0) << "the 32-bit view is not searched";
    EXPECT_EQ(log.Count("[INFO] GetProductInstalledWithKey, found in 64-bit view, product_id=[100]"), 1);
  }
  ForgetRegistrations();
  LogCapture log;
  EXPECT_FALSE(IsProductInstalled(kBrand, kPid));
  EXPECT_EQ(log.Count("[WARN] GetProductInstalledWithKey, not found in both views, product_id=[100]"), 1);
}

TEST_F(InstalledProductsTest, RelatedIdsReplaceTheProductId) {
  std::vector<int32_t> asked;
  std::vector<int32_t> related = {101, 102};
  SetRelationIdsProviderForTesting([&](int32_t id) {
    asked.push_back(id);
    return related;
  });
  Register(Registration());  // PID 100
  EXPECT_FALSE(IsProductInstalled(kBrand, kPid)) << "a non-empty list is used as it is";
  EXPECT_THAT(GetFamilyIds(kBrand, kPid), ElementsAre(101, 102));

  Registration relative;
  relative.subkey = "Relative";
  relative.pid = 102;
  relative.version = "2.5";
  Register(relative);
  EXPECT_EQ(GetProductInstalledVersion(kBrand, kPid), "2.5");
  EXPECT_THAT(asked, ::testing::Each(kPid));

  related.clear();  // no relations: the product id alone
  EXPECT_THAT(GetFamilyIds(kBrand, kPid), ElementsAre(kPid));
  EXPECT_EQ(GetProductInstalledVersion(kBrand, kPid), "13.1.2.1234");
}

TEST_F(InstalledProductsTest, AllVersionsFromBothViewsSortedAsTextWithoutDuplicates) {
  Registration a;  // installed
  a.subkey = "A";
  a.version = "9.2.0";
  Registration b = Marked(std::nullopt, std::nullopt);  // not installed, still listed
  b.subkey = "B";
  b.version = "10.1.0";
  Registration c;
  c.subkey = "C";
  c.view = RegView::k32Key;
  c.version = "9.2.0";
  Registration text_pid;
  text_pid.subkey = "D";
  text_pid.view = RegView::k32Key;
  text_pid.pid.reset();
  text_pid.pid_text = "100";
  text_pid.version = "11.0";
  Registration empty_version;
  empty_version.subkey = "E";
  empty_version.version = "";
  for (const Registration& r : {a, b, c, text_pid, empty_version}) Register(r);

  LogCapture log;
  EXPECT_THAT(GetAllProductInstalledVersions(kBrand, kPid), ElementsAre("10.1.0", "9.2.0"));
  EXPECT_THAT(log.Matching("CollectProductVersionsEx"),
              ElementsAre("[INFO] CollectProductVersionsEx, found version=[9.2.0] in subkey=[A], view=[64bit].",
                          "[INFO] CollectProductVersionsEx, found version=[10.1.0] in subkey=[B], view=[64bit].",
                          "[INFO] CollectProductVersionsEx, found version=[9.2.0] in subkey=[C], view=[32bit]."));
  EXPECT_EQ(log.Count("[INFO] GetAllProductInstalledVersions, product_id=[100], found [2] unique version(s)."), 1);

  ForgetRegistrations();
  EXPECT_THAT(GetAllProductInstalledVersions(kBrand, kPid), IsEmpty());
}

TEST_F(InstalledProductsTest, ThirtyTwoBitWindowsListsEachVersionOnce) {
  // Not to be had here: on a 32-bit Windows both views reach the same keys.
  UseMachine(CpuArchitecture::kX86, false);
  Registration only;
  only.view = RegView::kNone;
  only.version = "12.0";
  Register(only);
  LogCapture log;
  EXPECT_THAT(GetAllProductInstalledVersions(kBrand, kPid), ElementsAre("12.0"));
  EXPECT_EQ(log.Count("CollectProductVersionsEx, found version=[12.0]"), 2) << "collected in both views";
  EXPECT_EQ(log.Count("found [1] unique version(s)."), 1);
  EXPECT_EQ(GetProductInstalledVersion(kBrand, kPid), "12.0");
}

TEST_F(InstalledProductsTest, UninstallVersionByPidText) {
  constexpr char k64[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\";
  constexpr char k32[] = "SOFTWARE\\WOW6432Node\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\";
  struct Entry {
    const char* root;
    RegView view;
    const char* subkey;
    std::optional<std::string> pid_text;
    std::optional<uint32_t> pid_number;
    std::optional<std::string> version;
  };
  struct Case {
    const char* name;
    std::vector<Entry> entries;
    std::string version;
  };
  const Case cases[] = {
      {"64-bit pass", {{k64, RegView::k64Key, "Q", "100", {}, "5.0"}}, "5.0"},
      {"32-bit pass", {{k32, RegView::k32Key, "Q", "100", {}, "4.0"}}, "4.0"},
      {"first pass wins",
       {{k64, RegView::k64Key, "Q", "100", {}, "5.0"}, {k32, RegView::k32Key, "Q", "100", {}, "4.0"}},
       "5.0"},
      {"PID as a number", {{k64, RegView::k64Key, "Q", {}, 100u, "5.0"}}, ""},
      {"PID text must be equal", {{k64, RegView::k64Key, "Q", "0100", {}, "5.0"},
                                  {k64, RegView::k64Key, "R", "100 ", {}, "5.1"}}, ""},
      {"match without Version goes on",
       {{k64, RegView::k64Key, "A", "100", {}, {}}, {k64, RegView::k64Key, "B", "100", {}, "6.0"}},
       "6.0"},
      {"then the other pass", {{k64, RegView::k64Key, "A", "100", {}, {}}, {k32, RegView::k32Key, "Q", "100", {}, "4.2"}},
       "4.2"},
      {"empty Version ends the search",
       {{k64, RegView::k64Key, "A", "100", {}, ""}, {k32, RegView::k32Key, "Q", "100", {}, "4.2"}},
       ""},
      {"nothing registered", {}, ""},
  };
  for (const Case& c : cases) {
    ForgetRegistrations();
    for (const Entry& e : c.entries) {
      RegKey key = Create(RegHive::kLocalMachine, std::string(e.root) + e.subkey, e.view);
      if (e.pid_text) {
        EXPECT_EQ(key.SetString("PID", *e.pid_text), kErrorSuccess);
      }
      if (e.pid_number) {
        EXPECT_EQ(key.SetDword("PID", *e.pid_number), kErrorSuccess);
      }
      if (e.version) {
        EXPECT_EQ(key.SetString("Version", *e.version), kErrorSuccess);
      }
    }
    EXPECT_EQ(GetUninstallVersionByPid("100"), c.version) << c.name;
  }
}

TEST(VersionTest, ParseReadsLikeScanfAndCompareUsesThreeComponents) {
  struct Parse {
    const char* text;
    int32_t major, minor, patch;
  };
  const Parse parses[] = {
      {"13.1.2.1234", 13, 1, 2}, {"12.10", 12, 10, 0},  {" 7.2", 7, 2, 0},      {"4.x.5", 4, 0, 0},
      {"v4.5", 0, 0, 0},         {"", 0, 0, 0},         {"-1.2.3", -1, 2, 3},   {"1. 2.3", 1, 2, 3},
      {"1 .2", 1, 0, 0},         {"1.2.3beta", 1, 2, 3}, {"99999999999.1", INT32_MAX, 1, 0},
  };
  for (const Parse& p : parses) {
    const VersionValue v = ParseVersion(p.text);
    EXPECT_EQ(v.major, p.major) << p.text;
    EXPECT_EQ(v.minor, p.minor) << p.text;
    EXPECT_EQ(v.patch, p.patch) << p.text;
  }

  struct Compare {
    const char* server;
    const char* installed;
    int result;
  };
  const Compare compares[] = {
      {"12.1.3.200", "12.1.3.100", 0}, {"12.10", "12.9.9", 1},    {"12.1", "12.1.0.5", 0},
      {"12.1.2", "12.1.10", -1},       {"13.0", "12.99.99", 1},   {"abc", "0.0.0", 0},
      {"1.0", "abc", 1},               {"10.0", "9.0", 1},        {"2.0.0", "10.0.0", -1},
  };
  for (const Compare& c : compares) {
    EXPECT_EQ(CompareVersion(c.server, c.installed), c.result) << c.server << " vs " << c.installed;
  }
}

TEST_F(InstalledProductsTest, CompanionProductNeedsAnExistingFile) {
  constexpr char kDeck[] = "Software\\Quorvane\\Quorvane Launch Deck";
  const std::string present = dir_.Child("deck/launchdeck");
  const std::string gone = dir_.Child("deck/removed");
  ASSERT_TRUE(fs::create_directories(dir_.Child("deck")));
  WriteFileForTesting(present, "binary");
  struct Case {
    const char* name;
    std::optional<std::string> native;
    std::optional<std::string> wow;
    std::string name_result;
    bool installed;
  };
  const Case cases[] = {
      {"64-bit view", present, gone, present, true},
      {"32-bit view after a missing file", gone, present, present, true},
      {"both missing: the last view's text", gone, gone, gone, false},
      {"missing, then nothing", gone, {}, "", false},
      {"too long for the buffer", std::string(260, 'p'), {}, "", false},
      {"nothing registered", {}, {}, "", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ForgetRegistrations();
    if (c.native) SetText(RegHive::kLocalMachine, kDeck, RegView::k64Key, "InstallName", *c.native);
    if (c.wow) SetText(RegHive::kLocalMachine, kDeck, RegView::k32Key, "InstallName", *c.wow);
    EXPECT_EQ(GetLaunchDeckInstallName(), c.name_result);
    EXPECT_EQ(IsLaunchDeckInstalled(), c.installed);
  }
  // The key is made in both views when absent.
  RegKey key;
  EXPECT_EQ(Store().OpenKey(RegHive::kLocalMachine, kDeck, kKeyRead, RegView::k32Key, &key), kErrorSuccess);
  EXPECT_EQ(Store().OpenKey(RegHive::kLocalMachine, kDeck, kKeyRead, RegView::k64Key, &key), kErrorSuccess);
}

}  // namespace
}  // namespace oru
