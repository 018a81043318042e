#include "support/scoped_env.h"
#include "platform/system_info.h"

#include <sys/mount.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "support/child_process.h"
#include "support/scoped_temp_dir.h"

namespace oru {
namespace {

using ::testing::ElementsAreArray;
using testing::ChildOptions;
using testing::ChildProcess;
using testing::ScopedEnv;
using testing::ScopedTempDir;

std::string RunAndTrim(const std::vector<std::string>& argv) {
  ScopedTempDir out;
  ChildOptions options;
  options.argv = argv;
  options.output_dir = out.path();
  ChildProcess child(options);
  EXPECT_TRUE(child.started());
  EXPECT_EQ(child.Wait(), 0);
  std::string text = child.Stdout();
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  return text;
}

TEST(LcidFromPosixLocaleTest, MapsLocaleNamesToWindowsIdentifiers) {
  struct Case {
    const char* name;
    std::optional<uint32_t> lcid;
  };
  const Case cases[] = {
      // Every install language the detection knows, by its main locale.
      {"fr_FR", 0x040C}, {"es_ES", 0x0C0A}, {"zh_TW", 0x0404}, {"zh_CN", 0x0804}, {"pt_BR", 0x0416},
      {"ja_JP", 0x0411}, {"ko_KR", 0x0412}, {"ru_RU", 0x0419}, {"ar_SA", 0x0401}, {"hi_IN", 0x0439},
      {"th_TH", 0x041E}, {"sv_SE", 0x041D}, {"id_ID", 0x0421}, {"nl_NL", 0x0413}, {"de_DE", 0x0407},
      {"it_IT", 0x0410}, {"te_IN", 0x044A}, {"ta_IN", 0x0449}, {"bn_IN", 0x0445}, {"mr_IN", 0x044E},
      // Regional variants keep their own identifiers.
      {"fr_CA", 0x0C0C}, {"de_CH", 0x0807}, {"es_MX", 0x080A}, {"es_AR", 0x2C0A}, {"pt_PT", 0x0816},
      {"zh_HK", 0x0C04}, {"zh_SG", 0x1004}, {"ar_EG", 0x0C01}, {"ru_MD", 0x0819}, {"nl_BE", 0x0813},
      {"sv_FI", 0x081D}, {"it_CH", 0x0810},
      {"en_US", 0x0409}, {"en_GB", 0x0809}, {"en_AU", 0x0C09}, {"en_CA", 0x1009}, {"en_IN", 0x4009},
      // Code set and modifier do not change the locale; letter case is free.
      {"es_ES.UTF-8", 0x0C0A}, {"de_DE.ISO-8859-15@euro", 0x0407}, {"pt_br.utf8", 0x0416},
      {"es_ES@tradnl", 0x040A},
      // A language alone stands for its main locale.
      {"fr", 0x040C}, {"sv", 0x041D}, {"zh.UTF-8", 0x0804},
      // No Windows counterpart: the caller falls back to en-US.
      {"C", std::nullopt}, {"POSIX", std::nullopt}, {"C.UTF-8", std::nullopt}, {"", std::nullopt},
      {"xx_YY", std::nullopt}, {"tlh", std::nullopt}, {"_US", std::nullopt},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(LcidFromPosixLocale(c.name), c.lcid) << c.name;
  }
}

TEST(ReadMachineFactsTest, LocaleLanguagesAndTimeZoneComeFromTheEnvironment) {
  struct Case {
    const char* lc_all;
    const char* lc_messages;
    const char* lang;
    const char* language;
    const char* tz;
    uint32_t user_lcid;
    uint32_t system_lcid;
    std::vector<std::string> ui_languages;
    int32_t bias;
  };
  const Case cases[] = {
      {nullptr, nullptr, "es_ES.UTF-8", nullptr, "UTC-8", 0x0C0A, 0x0C0A, {"es-ES"}, -480},
      // LC_ALL wins over LANG for the user; LANGUAGE comes first among UI languages.
      {"ja_JP.UTF-8", nullptr, "en_US.UTF-8", "fr_FR:de:ja_JP", "EST5", 0x0411, 0x0409, {"fr-FR", "de", "ja-JP"}, 300},
      // LC_MESSAGES over LANG; "C" has no identifier: the default.
      {nullptr, "zh_TW.UTF-8", "C", nullptr, "IST-5:30", 0x0404, 0x0409, {"zh-TW"}, -330},
      {nullptr, nullptr, "POSIX", "", "UTC0", 0x0409, 0x0409, {}, 0},
      {"", "", "", nullptr, "NPT-5:45", 0x0409, 0x0409, {}, -345},
  };
  for (const Case& c : cases) {
    ScopedEnv env({{"LC_ALL", c.lc_all},
                   {"LC_MESSAGES", c.lc_messages},
                   {"LANG", c.lang},
                   {"LANGUAGE", c.language},
                   {"TZ", c.tz}});
    const MachineFacts facts = ReadMachineFacts();
    SCOPED_TRACE(std::string("LANG=") + (c.lang ? c.lang : "-") + " TZ=" + c.tz);
    EXPECT_EQ(facts.user_default_lcid, c.user_lcid);
    EXPECT_EQ(facts.system_default_lcid, c.system_lcid);
    EXPECT_THAT(facts.ui_languages, ElementsAreArray(c.ui_languages));
    EXPECT_EQ(facts.time_zone_bias_minutes, c.bias);
    EXPECT_EQ(facts.screen_width, 0);
    EXPECT_EQ(facts.screen_height, 0);
  }
}

TEST(ReadMachineFactsTest, ArchitectureAndVersionFollowUname) {
  const std::string machine = RunAndTrim({"/usr/bin/uname", "-m"});
  const std::string release = RunAndTrim({"/usr/bin/uname", "-r"});
  const MachineFacts facts = ReadMachineFacts();

  CpuArchitecture expected = CpuArchitecture::kX86;
  if (machine == "x86_64") expected = CpuArchitecture::kX64;
  if (machine == "aarch64") expected = CpuArchitecture::kArm64;
  EXPECT_EQ(facts.native, expected) << machine;
  EXPECT_EQ(facts.wow64, expected != CpuArchitecture::kX86) << "a 64-bit machine runs the 32-bit installer under WOW64";

  int major = -1, minor = -1, build = -1;
  ASSERT_GE(std::sscanf(release.c_str(), "%d.%d.%d", &major, &minor, &build), 2) << release;
  EXPECT_EQ(facts.os_major, major) << release;
  EXPECT_EQ(facts.os_minor, minor) << release;
  if (build >= 0) {
    EXPECT_EQ(facts.os_build, build) << release;
  }
}

TEST(MachineFactsTest, TestRecordReplacesTheSystemOneInPlace) {
  const MachineFacts& facts = GetMachineFacts();
  MachineFacts arm;
  arm.native = CpuArchitecture::kArm64;
  arm.os_major = 10;
  arm.os_build = 22631;
  SetMachineFactsForTesting(arm);
  EXPECT_EQ(facts.native, CpuArchitecture::kArm64) << "earlier references see the new record";
  EXPECT_EQ(GetMachineFacts().os_build, 22631);
}

TEST(FillRandomBytesTest, FillsLargeBuffersWithFreshBytes) {
  // Larger than one getrandom(2) call is guaranteed to return.
  std::vector<unsigned char> a(1 << 16), b(1 << 16);
  ASSERT_TRUE(FillRandomBytes(a.data(), a.size()));
  ASSERT_TRUE(FillRandomBytes(b.data(), b.size()));
  EXPECT_NE(a, b);
  const auto zeros = std::count(a.end() - 4096, a.end(), 0);
  EXPECT_LT(zeros, 100) << "the tail of the buffer was filled too";
  EXPECT_TRUE(FillRandomBytes(a.data(), 0));
}

// A tmpfs mounted for one test, with any source name and mount point.
class ScopedMount {
 public:
  ScopedMount(const std::string& source, const std::string& point) : point_(point) {
    if (::mount(source.c_str(), point.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, "size=1m") == 0) {
      mounted_ = true;
    } else {
      error_ = std::strerror(errno);
    }
  }
  ~ScopedMount() {
    if (mounted_ && ::umount2(point_.c_str(), 0) != 0) ::umount2(point_.c_str(), MNT_DETACH);
  }
  ScopedMount(const ScopedMount&) = delete;
  ScopedMount& operator=(const ScopedMount&) = delete;
  bool mounted() const { return mounted_; }
  const std::string& error() const { return error_; }

 private:
  std::string point_;
  std::string error_;
  bool mounted_ = false;
};

const MountInfo* FindByPoint(const std::vector<MountInfo>& mounts, const std::string& point) {
  const MountInfo* found = nullptr;
  for (const MountInfo& mount : mounts) {
    if (mount.mount_point == point) found = &mount;
  }
  return found;
}

TEST(MountTableTest, ReadsRealMountsWithEscapedNamesAndFindsTheVisibleOne) {
  ScopedTempDir dir;
  // The kernel escapes blanks, tabs and backslashes in mountinfo.
  const std::string point = dir.Child("disk one\\\tx");
  ASSERT_TRUE(std::filesystem::create_directory(point));
  ScopedMount first("first-source", point);
  if (!first.mounted()) GTEST_SKIP() << "mounting a tmpfs is not permitted here: " << first.error();

  std::vector<MountInfo> mounts = ListMounts();
  const MountInfo* mount = FindByPoint(mounts, point + "/");
  ASSERT_NE(mount, nullptr) << "mount point unescaped and ending in the separator";
  EXPECT_EQ(mount->fs_type, "tmpfs");
  EXPECT_EQ(mount->device, "first-source");
  EXPECT_FALSE(mount->block_backed);
  const MountInfo* proc = FindByPoint(mounts, "/proc/");
  ASSERT_NE(proc, nullptr);
  EXPECT_FALSE(proc->block_backed);

  // A path below it, existing or not, through a symbolic link too.
  std::filesystem::create_directory_symlink(point, dir.Child("link"));
  for (const std::string& path : {point, point + "/", point + "/not/yet/there", dir.Child("link/file")}) {
    std::optional<MountInfo> holder = FindMount(path);
    ASSERT_TRUE(holder.has_value()) << path;
    EXPECT_EQ(holder->mount_point, point + "/") << path;
  }
  // A sibling whose name merely starts with the mount point's is not in it.
  EXPECT_NE(MountPointOf(point + "y/file"), point + "/");

  // Of two mounts on one point the later one is what a path reaches.
  ScopedMount second("second-source", point);
  ASSERT_TRUE(second.mounted()) << second.error();
  std::optional<MountInfo> visible = FindMount(point + "/file");
  ASSERT_TRUE(visible.has_value());
  EXPECT_EQ(visible->device, "second-source");
}

TEST(MountTableTest, TestTableAnswersListAndLongestComponentPrefix) {
  auto make = [](const char* point, const char* type) {
    MountInfo mount;
    mount.mount_point = point;
    mount.fs_type = type;
    return mount;
  };
  SetMountsForTesting(std::vector<MountInfo>{make("/", "ext4"), make("/opt/", "ext4"), make("/opt/data/", "xfs")});
  EXPECT_EQ(ListMounts().size(), 3u);
  EXPECT_EQ(MountPointOf("/opt"), "/opt/");
  EXPECT_EQ(MountPointOf("/opt/data/x/y"), "/opt/data/");
  EXPECT_EQ(MountPointOf("/opt/database"), "/opt/");
  EXPECT_EQ(MountPointOf("/optical/disc"), "/");
  EXPECT_EQ(MountPointOf("/opt/data/../x"), "/opt/") << "\"..\" is resolved before matching";

  SetMountsForTesting(std::vector<MountInfo>{});
  EXPECT_FALSE(FindMount("/x").has_value());
  EXPECT_EQ(MountPointOf("/x"), "/") << "nothing better than the root";
  SetMountsForTesting(std::nullopt);
  EXPECT_NE(FindByPoint(ListMounts(), "/proc/"), nullptr) << "the system's table again";
}

}  // namespace
}  // namespace oru
