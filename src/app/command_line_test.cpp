#include "app/command_line.h"

#include <gtest/gtest.h>

namespace oru {
namespace {

struct SplitCase {
  const char* line;
  std::vector<std::string> args;
};

class SplitCommandLineTest : public ::testing::TestWithParam<SplitCase> {};

TEST_P(SplitCommandLineTest, FollowsTheShellRules) {
  EXPECT_EQ(SplitCommandLine(GetParam().line), GetParam().args) << GetParam().line;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SplitCommandLineTest,
    ::testing::Values(
        SplitCase{"", {}},
        SplitCase{"oru.exe", {"oru.exe"}},
        SplitCase{R"("C:\Program Files\a\oru.exe" OnlyForkInstallDependent=1 HostLang=English)",
                  {R"(C:\Program Files\a\oru.exe)", "OnlyForkInstallDependent=1", "HostLang=English"}},
        // Backslashes in the program name are never escapes.
        SplitCase{R"("C:\dir\\" x)", {R"(C:\dir\\)", "x"}},
        SplitCase{"p  a\t\tb   ", {"p", "a", "b"}},
        SplitCase{R"(p "HostVersion=1.2 beta" HostHwnd=12)", {"p", "HostVersion=1.2 beta", "HostHwnd=12"}},
        SplitCase{R"(p Host"Lang=Simplified Chinese")", {"p", "HostLang=Simplified Chinese"}},
        SplitCase{R"(p a\\\"b)", {"p", R"(a\"b)"}},
        SplitCase{R"(p a\\"b c")", {"p", R"(a\b c)"}},
        SplitCase{R"(p a\\b)", {"p", R"(a\\b)"}},
        SplitCase{R"(p "a""b")", {"p", R"(a"b)"}},
        SplitCase{R"(p "" x)", {"p", "", "x"}},
        SplitCase{R"(p "unterminated arg)", {"p", "unterminated arg"}}));

TEST(ArgumentMapTest, CutsAtFirstEqualsAndLaterKeysWin) {
  ArgumentMap map = BuildArgumentMap({"/opt/oru", "HostLang=a=b", "Flag", "HostLang=c", "hostlang=lower"});
  EXPECT_EQ(map.at("/opt/oru"), "");
  EXPECT_EQ(map.at("Flag"), "");
  EXPECT_EQ(map.at("HostLang"), "c");
  EXPECT_EQ(map.at("hostlang"), "lower");  // keys are case-sensitive
}

TEST(StartupArgumentsTest, ForkOnlyWithValueOne) {
  struct Case {
    std::vector<std::string> args;
    bool fork;
  };
  const Case cases[] = {
      {{"oru"}, false},
      {{"oru", "OnlyForkInstallDependent=1"}, true},
      {{"oru", "OnlyForkInstallDependent=2"}, false},
      {{"oru", "OnlyForkInstallDependent"}, false},
      {{"oru", "OnlyForkInstallDependent="}, false},
      {{"oru", "onlyforkinstalldependent=1"}, false},
      {{"oru", "OnlyForkInstallDependent=1", "OnlyForkInstallDependent=0"}, false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ReadStartupArguments(BuildArgumentMap(c.args)).fork, c.fork) << c.args.back();
  }
}

TEST(StartupArgumentsTest, ReadsHostFacts) {
  StartupArguments a = ReadStartupArguments(
      BuildArgumentMap({"oru", "OnlyForkInstallDependent=1", "HostLang=Deutsch", "HostVersion=13.1.2", "HostHwnd=4660"}));
  EXPECT_EQ(a.host_lang, "Deutsch");
  EXPECT_EQ(a.host_version, "13.1.2");
  EXPECT_EQ(a.host_hwnd, "4660");
}

TEST(ParseDecimalHandleTest, AcceptsOnlyWholeSigned32BitNumbers) {
  EXPECT_EQ(ParseDecimalHandle("4660"), 4660);
  EXPECT_EQ(ParseDecimalHandle("0"), 0);
  EXPECT_EQ(ParseDecimalHandle("2147483647"), 2147483647);
  EXPECT_EQ(ParseDecimalHandle("-2147483648"), INT32_MIN);
  for (const char* bad : {"", "2147483648", "-2147483649", "0x1234", "12ab", " 12", "12 ", "+12", "abc"}) {
    EXPECT_EQ(ParseDecimalHandle(bad), std::nullopt) << bad;
  }
}

}  // namespace
}  // namespace oru
