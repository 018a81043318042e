#include "platform/registry.h"

#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "support/scoped_temp_dir.h"

namespace oru {
namespace {

using ::testing::ElementsAre;
namespace fs = std::filesystem;

constexpr unsigned kDesktopUid = 4242;

class RegistryTest : public ::testing::Test {
 protected:
  std::string Root() const { return dir_.Child("reg"); }

  RegKey Create(RegHive hive, std::string_view path, RegView view = RegView::kNone,
                uint32_t access = kKeyAllAccess) {
    RegKey key;
    EXPECT_EQ(reg_.CreateKey(hive, path, access, view, &key), kErrorSuccess) << path;
    return key;
  }

  // The text of a REG_SZ, or "<status>" when it cannot be read.
  std::string Read(RegHive hive, std::string_view path, std::string_view name, RegView view = RegView::kNone) {
    RegKey key;
    if (const long st = reg_.OpenKey(hive, path, kKeyRead, view, &key); st != kErrorSuccess)
      return "<" + std::to_string(st) + ">";
    std::string text;
    if (const long st = key.QueryString(name, kRegUnlimited, &text); st != kErrorSuccess)
      return "<" + std::to_string(st) + ">";
    return text;
  }

  std::vector<std::string> SubKeys(const RegKey& key) {
    std::vector<std::string> names;
    std::string name;
    for (uint32_t i = 0; key.EnumKey(i, &name) == kErrorSuccess; ++i) names.push_back(name);
    return names;
  }

  oru::testing::ScopedTempDir dir_;
  Registry reg_{Root(), kDesktopUid};
};

const std::string kNotFound = "<" + std::to_string(kErrorFileNotFound) + ">";

TEST_F(RegistryTest, CreatesEveryLevelAndReadsBackEachType) {
  bool created = false;
  RegKey key;
  ASSERT_EQ(reg_.CreateKey(RegHive::kLocalMachine, "SOFTWARE\\Quorvane\\Product\\", kKeyAllAccess, RegView::kNone,
                           &key, &created),
            kErrorSuccess);
  EXPECT_TRUE(created);
  EXPECT_EQ(key.SetString("", "default text"), kErrorSuccess);
  EXPECT_EQ(key.SetString("Version", "13.1.2.1234"), kErrorSuccess);
  EXPECT_EQ(key.SetDword("PID", 0xDEADBEEF), kErrorSuccess);
  EXPECT_EQ(key.SetMultiString("Langs", {"en-US", "zh-CN"}), kErrorSuccess);
  EXPECT_EQ(key.SetValue("Path", kRegExpandSz, "%ProgramFiles%\\Q"), kErrorSuccess);
  EXPECT_EQ(key.SetValue("Blob", kRegBinary, std::string("\x00\x01\xff", 3)), kErrorSuccess);
  EXPECT_EQ(key.SetValue("Big", kRegDwordBigEndian, std::string("\x00\x00\x00\x01", 4)), kErrorSuccess);
  key.Close();

  // A fresh store object on the same folder sees it all: it lives in files.
  Registry again(Root(), kDesktopUid);
  ASSERT_EQ(again.CreateKey(RegHive::kLocalMachine, "SOFTWARE\\Quorvane\\Product", kKeyRead, RegView::kNone, &key,
                            &created),
            kErrorSuccess);
  EXPECT_FALSE(created);
  std::string text;
  EXPECT_EQ(key.QueryString("", 100, &text), kErrorSuccess);
  EXPECT_EQ(text, "default text");
  EXPECT_EQ(key.QueryString("Version", 510, &text), kErrorSuccess);
  EXPECT_EQ(text, "13.1.2.1234");
  uint32_t number = 0, type = 0;
  EXPECT_EQ(key.QueryDword("PID", &number, &type), kErrorSuccess);
  EXPECT_EQ(number, 0xDEADBEEFu);
  EXPECT_EQ(type, kRegDword);
  EXPECT_EQ(key.QueryDword("Big", &number, &type), kErrorSuccess);
  EXPECT_EQ(number, 1u);
  EXPECT_EQ(type, kRegDwordBigEndian);
  std::vector<std::string> texts;
  EXPECT_EQ(key.QueryMultiString("Langs", 64, &texts), kErrorSuccess);
  EXPECT_THAT(texts, ElementsAre("en-US", "zh-CN"));
  RegValue value;
  EXPECT_EQ(key.QueryValue("Path", kRegUnlimited, &value), kErrorSuccess);
  EXPECT_EQ(value.type, kRegExpandSz);
  EXPECT_EQ(value.data, "%ProgramFiles%\\Q");
  EXPECT_EQ(key.QueryValue("Blob", kRegUnlimited, &value), kErrorSuccess);
  EXPECT_EQ(value.type, kRegBinary);
  EXPECT_EQ(value.data, std::string("\x00\x01\xff", 3));
}

TEST_F(RegistryTest, TypedReadsRefuseOtherTypesAndMissingThings) {
  RegKey key = Create(RegHive::kLocalMachine, "SOFTWARE\\Quorvane\\Types");
  ASSERT_EQ(key.SetString("PID", "100"), kErrorSuccess);
  ASSERT_EQ(key.SetDword("Count", 7), kErrorSuccess);
  ASSERT_EQ(key.SetValue("Short", kRegDword, "ab"), kErrorSuccess);
  std::string text = "untouched";
  uint32_t number = 0;
  std::vector<std::string> texts;
  EXPECT_EQ(key.QueryDword("PID", &number), kErrorUnsupportedType);  // a PID stored as text never matches
  EXPECT_EQ(key.QueryString("Count", kRegUnlimited, &text), kErrorUnsupportedType);
  EXPECT_EQ(key.QueryMultiString("PID", kRegUnlimited, &texts), kErrorUnsupportedType);
  EXPECT_EQ(key.QueryDword("Short", &number), kErrorInvalidData);
  EXPECT_EQ(key.QueryString("Missing", kRegUnlimited, &text), kErrorFileNotFound);
  EXPECT_EQ(text, "untouched");

  RegKey missing;
  EXPECT_EQ(reg_.OpenKey(RegHive::kLocalMachine, "SOFTWARE\\Quorvane\\Nope", kKeyRead, RegView::kNone, &missing),
            kErrorFileNotFound);
  EXPECT_FALSE(missing.IsOpen());
  EXPECT_EQ(missing.QueryString("x", 100, &text), kErrorInvalidHandle);

  // Rewriting with another type replaces the type; "keeps its type" is the
  // caller passing the old type back, which SetValue stores verbatim.
  ASSERT_EQ(key.SetValue("PID", kRegExpandSz, "101"), kErrorSuccess);
  RegValue value;
  ASSERT_EQ(key.QueryValue("PID", kRegUnlimited, &value), kErrorSuccess);
  EXPECT_EQ(value.type, kRegExpandSz);
  EXPECT_EQ(value.data, "101");
  EXPECT_EQ(key.SetString("Bad", std::string("a\0b", 3)), kErrorInvalidParameter);
  EXPECT_EQ(key.SetMultiString("Bad", {"a", ""}), kErrorInvalidParameter);
}

struct BufferCase {
  const char* label;
  uint32_t type;
  std::string data;
  size_t buffer;
  long status;
  size_t size;
};

std::string Repeat(const std::string& piece, size_t n) {
  std::string out;
  for (size_t i = 0; i < n; ++i) out += piece;
  return out;
}

std::string Multi(const std::vector<std::string>& texts) {
  std::string out;
  for (const std::string& t : texts) out += t + std::string(1, '\0');
  return out + std::string(1, '\0');
}

TEST_F(RegistryTest, ValueLargerThanItsBufferIsMoreDataWithoutData) {
  const std::string kEuro = "\xe2\x82\xac";        // one UTF-16 unit, 3 UTF-8 bytes
  const std::string kEmoji = "\xf0\x9f\x98\x80";   // two UTF-16 units
  const std::vector<BufferCase> cases = {
      {"sz 49 chars in 100", kRegSz, std::string(49, 's'), 100, kErrorSuccess, 100},
      {"sz 50 chars in 100", kRegSz, std::string(50, 's'), 100, kErrorMoreData, 102},
      {"sz 254 chars in 510", kRegSz, std::string(254, 'v'), 510, kErrorSuccess, 510},
      {"sz 255 chars in 510", kRegSz, std::string(255, 'v'), 510, kErrorMoreData, 512},
      {"sz 49 euro signs in 100", kRegSz, Repeat(kEuro, 49), 100, kErrorSuccess, 100},
      {"sz 24 emoji in 100", kRegSz, Repeat(kEmoji, 24), 100, kErrorSuccess, 98},
      {"sz 25 emoji in 100", kRegSz, Repeat(kEmoji, 25), 100, kErrorMoreData, 102},
      {"sz stored with terminator", kRegSz, std::string(49, 's') + std::string(1, '\0'), 100, kErrorSuccess, 100},
      {"expand_sz counts as text", kRegExpandSz, std::string(50, 'e'), 100, kErrorMoreData, 102},
      {"empty sz", kRegSz, "", 2, kErrorSuccess, 2},
      {"multi_sz en-US in 64", kRegMultiSz, Multi({"en-US"}), 64, kErrorSuccess, 14},
      {"multi_sz 31 units in 64", kRegMultiSz, Multi({"abcdefghij", "abcdefghij", "abcdefgh"}), 64, kErrorSuccess,
       64},
      {"multi_sz 32 units in 64", kRegMultiSz, Multi({"abcdefghij", "abcdefghij", "abcdefghi"}), 64, kErrorMoreData,
       66},
      {"dword in 4", kRegDword, std::string("\x01\x00\x00\x00", 4), 4, kErrorSuccess, 4},
      {"dword in 3", kRegDword, std::string("\x01\x00\x00\x00", 4), 3, kErrorMoreData, 4},
      {"binary in its size", kRegBinary, std::string(10, 'b'), 10, kErrorSuccess, 10},
      {"binary one over", kRegBinary, std::string(10, 'b'), 9, kErrorMoreData, 10},
  };
  RegKey key = Create(RegHive::kLocalMachine, "SOFTWARE\\Quorvane\\Sizes");
  for (const BufferCase& c : cases) {
    SCOPED_TRACE(c.label);
    ASSERT_EQ(key.SetValue("v", c.type, c.data), kErrorSuccess);
    RegValue value;
    value.data = "stale";
    EXPECT_EQ(key.QueryValue("v", c.buffer, &value), c.status);
    EXPECT_EQ(value.type, c.type);
    EXPECT_EQ(value.size, c.size);
    EXPECT_EQ(value.data, c.status == kErrorSuccess ? c.data : "");
  }
}

TEST_F(RegistryTest, TypedReadsHonourTheBufferToo) {
  RegKey key = Create(RegHive::kCurrentUser, "Control Panel\\Desktop\\MuiCached");
  ASSERT_EQ(key.SetString("ClientSign", std::string(50, 'c')), kErrorSuccess);
  std::string text = "before";
  EXPECT_EQ(key.QueryString("ClientSign", 100, &text), kErrorMoreData);
  EXPECT_EQ(text, "before");
  ASSERT_EQ(key.SetMultiString("MachinePreferredUILanguages", {"abcdefghij", "abcdefghij", "abcdefghi"}),
            kErrorSuccess);
  std::vector<std::string> texts;
  EXPECT_EQ(key.QueryMultiString("MachinePreferredUILanguages", 64, &texts), kErrorMoreData);
  EXPECT_TRUE(texts.empty());
  EXPECT_EQ(key.QueryMultiString("MachinePreferredUILanguages", 66, &texts), kErrorSuccess);
  EXPECT_EQ(texts.size(), 3u);
}

TEST_F(RegistryTest, ThirtyTwoBitViewIsRedirectedUnderWow6432Node) {
  RegKey key = Create(RegHive::kLocalMachine, "Software\\Quorvane\\HLM", RegView::k32Key);
  ASSERT_EQ(key.SetString("ClientSign", "32-bit"), kErrorSuccess);

  EXPECT_EQ(Read(RegHive::kLocalMachine, "SOFTWARE\\WOW6432Node\\Quorvane\\HLM", "ClientSign"), "32-bit");
  EXPECT_EQ(Read(RegHive::kLocalMachine, "Software\\Quorvane\\HLM", "ClientSign", RegView::k64Key), kNotFound);
  EXPECT_EQ(Read(RegHive::kLocalMachine, "Software\\Quorvane\\HLM", "ClientSign", RegView::kNone), kNotFound);
  EXPECT_EQ(Read(RegHive::kLocalMachine, "Software\\Quorvane\\HLM", "ClientSign", RegView::k32Key), "32-bit");
  // A path already naming WOW6432Node is not redirected twice.
  EXPECT_EQ(Read(RegHive::kLocalMachine, "SOFTWARE\\WOW6432Node\\Quorvane\\HLM", "ClientSign", RegView::k32Key),
            "32-bit");

  RegKey native = Create(RegHive::kLocalMachine, "SOFTWARE\\Quorvane\\HLM", RegView::k64Key);
  ASSERT_EQ(native.SetString("ClientSign", "64-bit"), kErrorSuccess);
  EXPECT_EQ(Read(RegHive::kLocalMachine, "Software\\Quorvane\\HLM", "ClientSign", RegView::k32Key), "32-bit");
  EXPECT_EQ(Read(RegHive::kLocalMachine, "Software\\Quorvane\\HLM", "ClientSign", RegView::kNone), "64-bit");

  // Outside SOFTWARE, under SOFTWARE\Classes and in HKCU nothing moves.
  Create(RegHive::kLocalMachine, "SYSTEM\\Setup", RegView::k32Key).SetString("v", "sys");
  EXPECT_EQ(Read(RegHive::kLocalMachine, "SYSTEM\\Setup", "v", RegView::k64Key), "sys");
  Create(RegHive::kLocalMachine, "SOFTWARE\\Classes\\.q", RegView::k32Key).SetString("", "cls");
  EXPECT_EQ(Read(RegHive::kLocalMachine, "SOFTWARE\\Classes\\.q", "", RegView::k64Key), "cls");
  Create(RegHive::kCurrentUser, "Software\\Quorvane\\Kit", RegView::k32Key).SetString("v", "user");
  EXPECT_EQ(Read(RegHive::kCurrentUser, "Software\\Quorvane\\Kit", "v", RegView::k64Key), "user");
  EXPECT_EQ(Read(RegHive::kCurrentUser, "Software\\WOW6432Node\\Quorvane\\Kit", "v"), kNotFound);

  // Relative opens keep the view; the hive itself opened in the 32-bit view too.
  RegKey hklm;
  ASSERT_EQ(reg_.OpenKey(RegHive::kLocalMachine, "", kKeyRead, RegView::k32Key, &hklm), kErrorSuccess);
  RegKey sub;
  ASSERT_EQ(hklm.OpenSubKey("Software\\Quorvane\\HLM", kKeyRead, &sub), kErrorSuccess);
  std::string text;
  EXPECT_EQ(sub.QueryString("ClientSign", 100, &text), kErrorSuccess);
  EXPECT_EQ(text, "32-bit");
}

TEST_F(RegistryTest, StoreOfA32BitWindowsGivesBothViewsTheSameKeys) {
  Registry reg32(Root(), kDesktopUid, RegOsBits::k32);
  RegKey key;
  ASSERT_EQ(reg32.CreateKey(RegHive::kLocalMachine, "SOFTWARE\\Quorvane\\P", kKeyAllAccess, RegView::k32Key, &key),
            kErrorSuccess);
  ASSERT_EQ(key.SetString("Version", "9.2.0"), kErrorSuccess);
  RegKey other;
  ASSERT_EQ(reg32.OpenKey(RegHive::kLocalMachine, "SOFTWARE\\Quorvane\\P", kKeyRead, RegView::k64Key, &other),
            kErrorSuccess);
  std::string text;
  EXPECT_EQ(other.QueryString("Version", 510, &text), kErrorSuccess);
  EXPECT_EQ(text, "9.2.0");
  EXPECT_EQ(Read(RegHive::kLocalMachine, "SOFTWARE\\WOW6432Node\\Quorvane\\P", "Version"), kNotFound);
}

TEST_F(RegistryTest, CurrentUserIsTheDesktopUsersOwnStore) {
  Create(RegHive::kCurrentUser, "Software\\Quorvane\\Kit").SetString("ClientSign", "mine");
  Registry other_user(Root(), kDesktopUid + 1);
  RegKey key;
  EXPECT_EQ(other_user.OpenKey(RegHive::kCurrentUser, "Software\\Quorvane\\Kit", kKeyRead, RegView::kNone, &key),
            kErrorFileNotFound);
  EXPECT_EQ(Read(RegHive::kLocalMachine, "Software\\Quorvane\\Kit", "ClientSign"), kNotFound);
  EXPECT_TRUE(fs::is_directory(Root() + "/HKU/" + std::to_string(kDesktopUid) + "/software/quorvane/kit"));

  // Both users share the machine store.
  Create(RegHive::kLocalMachine, "Software\\HlmQX").SetString("", "chan");
  ASSERT_EQ(other_user.OpenKey(RegHive::kLocalMachine, "Software\\HlmQX", kKeyRead, RegView::kNone, &key),
            kErrorSuccess);
  std::string text;
  EXPECT_EQ(key.QueryString("", 100, &text), kErrorSuccess);
  EXPECT_EQ(text, "chan");
}

TEST_F(RegistryTest, ClassesRootReadsUserFirstAndWritesMachine) {
  const std::string kCommand = "Applications\\opera.exe\\shell\\open\\command";
  RegKey machine = Create(RegHive::kLocalMachine, "Software\\Classes\\" + kCommand);
  ASSERT_EQ(machine.SetString("", "\"/opt/opera-machine\" %1"), kErrorSuccess);
  ASSERT_EQ(machine.SetString("OnlyMachine", "m"), kErrorSuccess);
  RegKey user = Create(RegHive::kCurrentUser, "Software\\Classes\\" + kCommand);
  ASSERT_EQ(user.SetString("", "\"/opt/opera-user\" %1"), kErrorSuccess);
  Create(RegHive::kCurrentUser, "Software\\Classes\\.userext").SetString("", "user only");
  Create(RegHive::kLocalMachine, "Software\\Classes\\.machineext");

  EXPECT_EQ(Read(RegHive::kClassesRoot, kCommand, ""), "\"/opt/opera-user\" %1");
  EXPECT_EQ(Read(RegHive::kClassesRoot, kCommand, "OnlyMachine"), "m");
  EXPECT_EQ(Read(RegHive::kClassesRoot, ".userext", ""), "user only");

  RegKey root;
  ASSERT_EQ(reg_.OpenKey(RegHive::kClassesRoot, "", kKeyRead, RegView::kNone, &root), kErrorSuccess);
  EXPECT_THAT(SubKeys(root), ElementsAre(".machineext", ".userext", "Applications"));

  RegKey cls;
  ASSERT_EQ(reg_.OpenKey(RegHive::kClassesRoot, kCommand, kKeyAllAccess, RegView::kNone, &cls), kErrorSuccess);
  ASSERT_EQ(cls.SetString("Written", "w"), kErrorSuccess);
  EXPECT_EQ(Read(RegHive::kLocalMachine, "Software\\Classes\\" + kCommand, "Written"), "w");
  EXPECT_EQ(Read(RegHive::kCurrentUser, "Software\\Classes\\" + kCommand, "Written"), kNotFound);

  // A class known only to the user gets its machine key on the first write.
  RegKey user_only;
  ASSERT_EQ(reg_.OpenKey(RegHive::kClassesRoot, ".userext", kKeyAllAccess, RegView::kNone, &user_only),
            kErrorSuccess);
  ASSERT_EQ(user_only.SetString("Added", "a"), kErrorSuccess);
  EXPECT_EQ(Read(RegHive::kLocalMachine, "Software\\Classes\\.userext", "Added"), "a");
  EXPECT_EQ(Read(RegHive::kClassesRoot, ".userext", ""), "user only");
}

TEST_F(RegistryTest, NamesAreCaseInsensitiveAndKeepTheirFirstSpelling) {
  Create(RegHive::kLocalMachine, "Software\\Quorvane\\MyProduct").SetString("Version", "1.0");
  bool created = true;
  RegKey key;
  ASSERT_EQ(reg_.CreateKey(RegHive::kLocalMachine, "SOFTWARE\\QUORVANE\\myproduct", kKeyAllAccess, RegView::kNone,
                           &key, &created),
            kErrorSuccess);
  EXPECT_FALSE(created);
  std::string text;
  EXPECT_EQ(key.QueryString("VERSION", 100, &text), kErrorSuccess);
  EXPECT_EQ(text, "1.0");
  ASSERT_EQ(key.SetString("version", "2.0"), kErrorSuccess);
  ASSERT_EQ(key.SetString("Alpha", "a"), kErrorSuccess);
  std::string name;
  RegValue value;
  ASSERT_EQ(key.EnumValue(0, &name, &value), kErrorSuccess);
  EXPECT_EQ(name, "Version");  // first spelling, first place
  EXPECT_EQ(value.data, "2.0");
  ASSERT_EQ(key.EnumValue(1, &name), kErrorSuccess);
  EXPECT_EQ(name, "Alpha");
  EXPECT_EQ(key.EnumValue(2, &name), kErrorNoMoreItems);

  RegKey brand = Create(RegHive::kLocalMachine, "software\\quorvane");
  brand.CreateSubKey("beta", kKeyRead, &key);
  brand.CreateSubKey("Zulu", kKeyRead, &key);
  brand.CreateSubKey("ALPHA", kKeyRead, &key);
  brand.CreateSubKey("alpha", kKeyRead, &key);
  EXPECT_THAT(SubKeys(brand), ElementsAre("ALPHA", "beta", "MyProduct", "Zulu"));
  uint32_t subkeys = 0, values = 0;
  ASSERT_EQ(brand.QueryInfo(&subkeys, &values), kErrorSuccess);
  EXPECT_EQ(subkeys, 4u);
  EXPECT_EQ(values, 0u);
  EXPECT_EQ(brand.EnumKey(4, &name), kErrorNoMoreItems);
}

TEST_F(RegistryTest, HostileKeyNamesAreRejectedAndNothingEscapesTheStore) {
  const std::vector<std::string> bad = {
      "..", ".", "Software\\..", "Software\\..\\..\\..\\etc", "Software\\\\X", "\\Software", "\\", "A\\\\",
      std::string("Soft\0ware", 9), "Software\\\xff\xfe", std::string(256, 'k'),
  };
  for (const std::string& path : bad) {
    SCOPED_TRACE(path);
    RegKey key;
    EXPECT_EQ(reg_.CreateKey(RegHive::kLocalMachine, path, kKeyAllAccess, RegView::kNone, &key),
              kErrorInvalidParameter);
    EXPECT_EQ(reg_.OpenKey(RegHive::kCurrentUser, path, kKeyRead, RegView::kNone, &key), kErrorInvalidParameter);
  }

  // Legal on Windows, and kept intact: one folder each, names round-trip.
  const std::vector<std::string> odd = {"a/b",      "../../escape", "100%", "%2f",
                                        "tab\tname", "...",          std::string(255, 'k')};
  RegKey parent = Create(RegHive::kLocalMachine, "Software\\Odd");
  for (const std::string& name : odd) {
    RegKey child;
    ASSERT_EQ(parent.CreateSubKey(name, kKeyAllAccess, &child), kErrorSuccess) << name;
    ASSERT_EQ(child.SetString("n", name), kErrorSuccess);
  }
  std::set<std::string> listed;
  for (const std::string& name : SubKeys(parent)) {
    listed.insert(name);
    EXPECT_EQ(Read(RegHive::kLocalMachine, "Software\\Odd\\" + name, "n"), name);
  }
  EXPECT_EQ(listed, std::set<std::string>(odd.begin(), odd.end()));
  EXPECT_FALSE(fs::exists(dir_.Child("escape")));
  EXPECT_FALSE(fs::exists(Root() + "/escape"));
  size_t folders = 0;
  for (const auto& entry : fs::directory_iterator(Root() + "/HKLM/software/odd")) folders += entry.is_directory();
  EXPECT_EQ(folders, odd.size());

  // Value names may hold separators (a program path names the value).
  ASSERT_EQ(parent.SetString("C:\\Program Files\\Q\\q.exe", "~ HIGHDPIAWARE"), kErrorSuccess);
  ASSERT_EQ(parent.SetString("/opt/q/bin/q", "~ RUNASADMIN"), kErrorSuccess);
  EXPECT_EQ(Read(RegHive::kLocalMachine, "Software\\Odd", "/opt/q/bin/q"), "~ RUNASADMIN");
  EXPECT_EQ(parent.SetString(std::string("a\0b", 3), "x"), kErrorInvalidParameter);
}

TEST_F(RegistryTest, DeletesValuesKeysAndTrees) {
  RegKey brand = Create(RegHive::kLocalMachine, "SOFTWARE\\Quorvane");
  RegKey product = Create(RegHive::kLocalMachine, "SOFTWARE\\Quorvane\\Product\\Sub\\Deep");
  ASSERT_EQ(product.SetString("v", "deep"), kErrorSuccess);
  ASSERT_EQ(brand.SetString("keep", "k"), kErrorSuccess);

  EXPECT_EQ(brand.DeleteValue("KEEP"), kErrorSuccess);
  EXPECT_EQ(brand.DeleteValue("keep"), kErrorFileNotFound);
  EXPECT_EQ(Read(RegHive::kLocalMachine, "SOFTWARE\\Quorvane", "keep"), kNotFound);

  EXPECT_EQ(brand.DeleteSubKey("Product\\Sub"), kErrorAccessDenied);  // it has a subkey
  EXPECT_EQ(Read(RegHive::kLocalMachine, "SOFTWARE\\Quorvane\\Product\\Sub\\Deep", "v"), "deep");
  EXPECT_EQ(brand.DeleteSubKey("Product\\Sub\\Deep"), kErrorSuccess);
  EXPECT_EQ(brand.DeleteSubKey("Product\\Sub\\Deep"), kErrorFileNotFound);
  EXPECT_EQ(brand.DeleteSubKey(""), kErrorInvalidParameter);

  // The open handle of a deleted key refuses changes and does not revive it.
  EXPECT_EQ(product.SetString("v", "again"), kErrorKeyDeleted);
  RegKey gone;
  EXPECT_EQ(reg_.OpenKey(RegHive::kLocalMachine, "SOFTWARE\\Quorvane\\Product\\Sub\\Deep", kKeyRead, RegView::kNone,
                         &gone),
            kErrorFileNotFound);
  RegKey fresh = Create(RegHive::kLocalMachine, "SOFTWARE\\Quorvane\\Product\\Sub\\Deep");
  EXPECT_EQ(Read(RegHive::kLocalMachine, "SOFTWARE\\Quorvane\\Product\\Sub\\Deep", "v"), kNotFound);

  Create(RegHive::kLocalMachine, "SOFTWARE\\Quorvane\\Product\\Other").SetDword("PID", 1);
  EXPECT_EQ(brand.DeleteTree("Product"), kErrorSuccess);
  EXPECT_TRUE(SubKeys(brand).empty());
  EXPECT_EQ(fresh.SetString("v", "x"), kErrorKeyDeleted);
  EXPECT_EQ(brand.DeleteTree("Product"), kErrorFileNotFound);

  // An empty path clears the key itself but keeps it.
  Create(RegHive::kLocalMachine, "SOFTWARE\\Quorvane\\A\\B");
  ASSERT_EQ(brand.SetString("v", "1"), kErrorSuccess);
  EXPECT_EQ(brand.DeleteTree(""), kErrorSuccess);
  uint32_t subkeys = 9, values = 9;
  ASSERT_EQ(brand.QueryInfo(&subkeys, &values), kErrorSuccess);
  EXPECT_EQ(subkeys, 0u);
  EXPECT_EQ(values, 0u);
  EXPECT_EQ(brand.SetString("after", "ok"), kErrorSuccess);
}

TEST_F(RegistryTest, EachOperationNeedsItsAccessRight) {
  Create(RegHive::kLocalMachine, "Software\\Q\\Child");
  RegKey reader, writer;
  ASSERT_EQ(reg_.OpenKey(RegHive::kLocalMachine, "Software\\Q", kKeyRead, RegView::kNone, &reader), kErrorSuccess);
  ASSERT_EQ(reg_.OpenKey(RegHive::kLocalMachine, "Software\\Q", kKeyWrite, RegView::kNone, &writer), kErrorSuccess);
  std::string text;
  RegKey sub;
  EXPECT_EQ(reader.SetString("v", "x"), kErrorAccessDenied);
  EXPECT_EQ(reader.DeleteValue("v"), kErrorAccessDenied);
  EXPECT_EQ(reader.CreateSubKey("New", kKeyRead, &sub), kErrorAccessDenied);
  EXPECT_EQ(reader.DeleteTree("Child"), kErrorAccessDenied);
  EXPECT_EQ(writer.SetString("v", "x"), kErrorSuccess);
  EXPECT_EQ(writer.QueryString("v", 100, &text), kErrorAccessDenied);
  EXPECT_EQ(writer.EnumKey(0, &text), kErrorAccessDenied);
  EXPECT_EQ(reader.QueryString("v", 100, &text), kErrorSuccess);
  EXPECT_EQ(reader.EnumKey(0, &text), kErrorSuccess);
  EXPECT_EQ(text, "Child");
}

// Runs `body` in a child process as `uid`; returns its exit code (-1 when it
// died of a signal).
int RunAs(uid_t uid, int (*body)(const std::string&), const std::string& root) {
  const pid_t pid = fork();
  if (pid == 0) {
    if (setgroups(0, nullptr) != 0 || setresgid(65534, 65534, 65534) != 0 || setresuid(uid, uid, uid) != 0) _exit(90);
    _exit(body(root));
  }
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

int DesktopUserChecks(const std::string& root) {
  Registry reg(root, kDesktopUid);
  RegKey key;
  if (reg.OpenKey(RegHive::kLocalMachine, "SOFTWARE\\Quorvane", kKeyRead, RegView::kNone, &key) != kErrorSuccess)
    return 1;
  std::string text;
  if (key.QueryString("Machine", 100, &text) != kErrorSuccess || text != "m") return 2;
  if (reg.OpenKey(RegHive::kLocalMachine, "SOFTWARE\\Quorvane", kKeyWrite, RegView::kNone, &key) != kErrorAccessDenied)
    return 3;
  if (reg.CreateKey(RegHive::kLocalMachine, "SOFTWARE\\Other", kKeyWrite, RegView::kNone, &key) != kErrorAccessDenied)
    return 4;
  if (open((root + "/HKLM/software/quorvane/LOCK").c_str(), O_RDONLY) >= 0) return 5;  // could stall the installer
  // The user's own hive, made by the elevated installer, is the user's.
  if (reg.OpenKey(RegHive::kCurrentUser, "Software\\Quorvane", kKeyAllAccess, RegView::kNone, &key) != kErrorSuccess)
    return 6;
  if (key.SetString("User", "u") != kErrorSuccess) return 7;
  RegKey child;
  if (key.CreateSubKey("Made by user", kKeyAllAccess, &child) != kErrorSuccess) return 8;
  return 0;
}

TEST_F(RegistryTest, MachineStoreIsReadOnlyForTheDesktopUserWhoOwnsTheirHive) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to create a store owned by another user";
  const mode_t old_umask = umask(077);  // modes must not depend on the umask
  Create(RegHive::kLocalMachine, "SOFTWARE\\Quorvane").SetString("Machine", "m");
  Create(RegHive::kCurrentUser, "Software\\Quorvane").SetString("Root", "r");
  umask(old_umask);
  ASSERT_EQ(chmod(dir_.path().c_str(), 0755), 0);

  struct stat st {};
  const std::string machine_key = Root() + "/HKLM/software/quorvane";
  ASSERT_EQ(stat(machine_key.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0755u);
  ASSERT_EQ(stat((machine_key + "/VALUES").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0644u);
  EXPECT_EQ(st.st_uid, 0u);
  ASSERT_EQ(stat((machine_key + "/LOCK").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u);
  const std::string user_key = Root() + "/HKU/" + std::to_string(kDesktopUid) + "/software/quorvane";
  ASSERT_EQ(stat((user_key + "/VALUES").c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, kDesktopUid);

  EXPECT_EQ(RunAs(kDesktopUid, DesktopUserChecks, Root()), 0);
  EXPECT_EQ(Read(RegHive::kCurrentUser, "Software\\Quorvane", "User"), "u");
  EXPECT_EQ(Read(RegHive::kCurrentUser, "Software\\Quorvane", "Root"), "r");
}

int WriteValues(const std::string& root, int writer, int go_fd) {
  Registry reg(root, kDesktopUid);
  RegKey key;
  if (reg.CreateKey(RegHive::kLocalMachine, "SOFTWARE\\Quorvane\\Busy", kKeyAllAccess, RegView::kNone, &key) !=
      kErrorSuccess)
    return 1;
  char go = 0;
  if (go_fd >= 0 && read(go_fd, &go, 1) != 1) return 2;
  for (int i = 0; i < 1000; ++i) {
    const std::string name = "w" + std::to_string(writer) + "_" + std::to_string(i);
    if (key.SetString(name, "value of " + name) != kErrorSuccess) return 3;
  }
  return 0;
}

void ExpectAllWritten(Registry& reg, int writers, int per_writer) {
  RegKey key;
  ASSERT_EQ(reg.OpenKey(RegHive::kLocalMachine, "SOFTWARE\\Quorvane\\Busy", kKeyRead, RegView::kNone, &key),
            kErrorSuccess);
  uint32_t values = 0;
  ASSERT_EQ(key.QueryInfo(nullptr, &values), kErrorSuccess);
  EXPECT_EQ(values, static_cast<uint32_t>(writers * per_writer));
  for (int w = 0; w < writers; ++w) {
    for (int i = 0; i < per_writer; ++i) {
      const std::string name = "w" + std::to_string(w) + "_" + std::to_string(i);
      std::string text;
      ASSERT_EQ(key.QueryString(name, kRegUnlimited, &text), kErrorSuccess) << name;
      ASSERT_EQ(text, "value of " + name);
    }
  }
}

TEST_F(RegistryTest, TwoProcessesWritingOneKeyLoseNothing) {
  int go[2];
  ASSERT_EQ(pipe(go), 0);
  std::vector<pid_t> children;
  for (int writer = 0; writer < 2; ++writer) {
    const pid_t pid = fork();
    if (pid == 0) {
      close(go[1]);
      _exit(WriteValues(Root(), writer, go[0]));
    }
    children.push_back(pid);
  }
  close(go[0]);
  ASSERT_EQ(write(go[1], "gg", 2), 2);  // both start together
  close(go[1]);
  for (pid_t pid : children) {
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
  }
  ExpectAllWritten(reg_, 2, 1000);
}

TEST_F(RegistryTest, ThreadsOfOneProcessWritingOneKeyLoseNothing) {
  std::vector<std::thread> threads;
  std::vector<int> results(2, -1);
  for (int writer = 0; writer < 2; ++writer)
    threads.emplace_back([&, writer] { results[static_cast<size_t>(writer)] = WriteValues(Root(), writer, -1); });
  for (std::thread& t : threads) t.join();
  EXPECT_THAT(results, ElementsAre(0, 0));
  ExpectAllWritten(reg_, 2, 1000);
}

TEST_F(RegistryTest, WriterKilledBeforeReplacingKeepsEarlierValues) {
  RegKey key = Create(RegHive::kLocalMachine, "SOFTWARE\\Quorvane\\Kit");
  ASSERT_EQ(key.SetString("ClientSign", "old"), kErrorSuccess);
  const std::string folder = Root() + "/HKLM/software/quorvane/kit";

  const pid_t pid = fork();
  if (pid == 0) {
    SetRegistryBeforeReplaceHookForTesting([] { kill(getpid(), SIGKILL); });
    Registry reg(Root(), kDesktopUid);
    RegKey child;
    reg.OpenKey(RegHive::kLocalMachine, "SOFTWARE\\Quorvane\\Kit", kKeyAllAccess, RegView::kNone, &child);
    child.SetString("ClientSign", "new");
    _exit(0);
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << "status " << status;
  EXPECT_TRUE(fs::exists(folder + "/VALUES.TMP"));  // it died mid-write

  EXPECT_EQ(Read(RegHive::kLocalMachine, "SOFTWARE\\Quorvane\\Kit", "ClientSign"), "old");
  ASSERT_EQ(key.SetString("Later", "works"), kErrorSuccess);  // its lock died with it
  EXPECT_EQ(Read(RegHive::kLocalMachine, "SOFTWARE\\Quorvane\\Kit", "ClientSign"), "old");
  EXPECT_EQ(Read(RegHive::kLocalMachine, "SOFTWARE\\Quorvane\\Kit", "Later"), "works");
  EXPECT_FALSE(fs::exists(folder + "/VALUES.TMP"));
}

TEST_F(RegistryTest, UnreadableValuesFileIsReportedThenSetAside) {
  RegKey key = Create(RegHive::kLocalMachine, "SOFTWARE\\Quorvane\\Broken");
  ASSERT_EQ(key.SetString("a", "1"), kErrorSuccess);
  const std::string folder = Root() + "/HKLM/software/quorvane/broken";
  oru::testing::WriteFileForTesting(folder + "/VALUES", "ORUREG1\n\x05\x00\x00");
  std::string text;
  EXPECT_EQ(key.QueryString("a", 100, &text), kErrorRegistryCorrupt);
  EXPECT_EQ(key.EnumValue(0, &text), kErrorRegistryCorrupt);
  EXPECT_EQ(key.SetString("b", "2"), kErrorSuccess);
  EXPECT_EQ(key.QueryString("b", 100, &text), kErrorSuccess);
  EXPECT_EQ(oru::testing::ReadFileForTesting(folder + "/VALUES.BAD"), "ORUREG1\n\x05\x00\x00");
}

TEST_F(RegistryTest, LeftoversOfKilledProcessesAreIgnoredAndCleared) {
  RegKey key = Create(RegHive::kLocalMachine, "SOFTWARE\\Quorvane\\Kit");
  ASSERT_EQ(key.SetString("ClientSign", "kept"), kErrorSuccess);
  const std::string folder = Root() + "/HKLM/software/quorvane/kit";
  // A key being assembled, a key being deleted, values being written.
  for (const char* junk : {"/NEWKEY.TMP", "/DELETING.TMP", "/DELETING.TMP/half"}) fs::create_directory(folder + junk);
  oru::testing::WriteFileForTesting(folder + "/NEWKEY.TMP/NAME", "Ghost");
  oru::testing::WriteFileForTesting(folder + "/DELETING.TMP/half/NAME", "half");
  oru::testing::WriteFileForTesting(folder + "/VALUES.TMP", "torn");

  EXPECT_TRUE(SubKeys(key).empty());
  EXPECT_EQ(Read(RegHive::kLocalMachine, "SOFTWARE\\Quorvane\\Kit", "ClientSign"), "kept");
  RegKey child;
  ASSERT_EQ(key.CreateSubKey("New", kKeyAllAccess, &child), kErrorSuccess);
  EXPECT_THAT(SubKeys(key), ElementsAre("New"));
  EXPECT_EQ(key.DeleteSubKey("New"), kErrorSuccess);
  EXPECT_EQ(key.SetString("Later", "ok"), kErrorSuccess);
  for (const char* junk : {"/NEWKEY.TMP", "/DELETING.TMP", "/VALUES.TMP"})
    EXPECT_FALSE(fs::exists(folder + junk)) << junk;
  EXPECT_EQ(Read(RegHive::kLocalMachine, "SOFTWARE\\Quorvane\\Kit", "ClientSign"), "kept");
}

TEST_F(RegistryTest, OversizedValuesFileIsRefusedWithoutReadingIt) {
  RegKey key = Create(RegHive::kCurrentUser, "Software\\Quorvane");
  ASSERT_EQ(key.SetString("a", "1"), kErrorSuccess);
  const std::string values = Root() + "/HKU/" + std::to_string(kDesktopUid) + "/software/quorvane/VALUES";
  fs::resize_file(values, std::uintmax_t{1} << 40);  // sparse: a terabyte planted by a user
  std::string text;
  EXPECT_EQ(key.QueryString("a", 100, &text), kErrorRegistryCorrupt);
  EXPECT_EQ(key.SetString("b", "2"), kErrorSuccess);
  EXPECT_EQ(key.QueryString("b", 100, &text), kErrorSuccess);
}

}  // namespace
}  // namespace oru
