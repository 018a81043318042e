#include "config/language_table.h"

#include <gtest/gtest.h>

#include <optional>
#include <set>
#include <string>
#include <vector>

#include "config/run_state.h"
#include "platform/resources.h"
#include "platform/system_info.h"
#include "support/log_capture.h"

namespace oru {
namespace {

using testing::LogCapture;

// Runs a test with chosen locale identifiers and restores the real facts.
class LanguageTableTest : public ::testing::Test {
 protected:
  void TearDown() override { SetMachineFactsForTesting(saved_); }

  void SetLocale(uint32_t user, uint32_t system = 0x0804) {
    MachineFacts facts = saved_;
    facts.user_default_lcid = user;
    facts.system_default_lcid = system;
    SetMachineFactsForTesting(facts);
  }

  const MachineFacts saved_ = GetMachineFacts();
};

std::vector<std::string> Names(const std::vector<LanguageEntry>& entries) {
  std::vector<std::string> out;
  for (const LanguageEntry& e : entries) out.push_back(e.name);
  return out;
}

TEST_F(LanguageTableTest, SelectableListIsFixed) {
  SetLocale(0x0409);
  const LanguageTable table;
  const std::vector<LanguageEntry> expected = {
      {"English", "ENG"}, {"Deutsch", "DEU"}, {"Français", "FRA"}, {"Italiano", "ITA"},
      {"Português", "PTG"}, {"Español", "ESP"}, {"Dutch", "NLD"}, {"Pусский", "RUS"},
      {"日本語", "JPN"}, {"中文繁體", "CHA"}, {"中文简体", "CHS"}, {"العربية", "ARA"},
      {"한국어", "KOR"}, {"Bahasa Indonesia", "INA"}, {"Svenska", "SWE"}, {"తెలుగు", "INDTE"},
      {"தமிழ்", "INDTA"}, {"हिन्दी", "INDHI"}, {"বাংলা", "INDBN"}, {"मराठी", "INDMR"},
      {"ไทย", "THA"},
  };
  EXPECT_EQ(table.selectable(), expected);
  EXPECT_EQ(table.offered(), expected);
  EXPECT_EQ(table.selectable()[7].name.substr(0, 1), "P");  // Latin P, as the lists spell it
  for (const LanguageEntry& e : expected) EXPECT_EQ(table.GetLangCode(e.name), e.code) << e.name;
  EXPECT_EQ(table.GetLangCode("Русский"), "ENG");  // Cyrillic first letter: no entry
  EXPECT_EQ(table.GetLangCode("english"), "ENG");
  EXPECT_EQ(table.GetLangCode(""), "ENG");
}

TEST_F(LanguageTableTest, LocaleDetection) {
  struct Case {
    uint32_t lcid;
    const char* current;
    int index;
  } cases[] = {
      {0x0C0A, "Español", 31}, {0x0409, "English", -1}, {0x080C, "Français", 0},
      {0x0807, "Deutsch", 10}, {0x0419, "Pусский", 40}, {0x001D, "Svenska", 46},
      {0x2401, "العربية", 64}, {0x041E, "ไทย", 74}, {0x0000, "English", -1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << std::hex << c.lcid);
    SetLocale(c.lcid);
    LogCapture log;
    const LanguageTable table;
    EXPECT_EQ(table.current_language(), c.current);
    EXPECT_EQ(log.Lines(),
              (std::vector<std::string>{"[INFO] InitLangCode SystemDefaultLCID: 2052",
                                        "[INFO] InitLangCode GetUserDefaultLCID: " + std::to_string(c.lcid),
                                        "[INFO] InitLangCode set: " + std::to_string(c.index)}));
  }
}

TEST_F(LanguageTableTest, UnmatchedLocaleKeepsTheCurrentLanguage) {
  SetLocale(0x0407);
  LanguageTable table;
  ASSERT_EQ(table.current_language(), "Deutsch");
  SetLocale(0x0409);
  EXPECT_FALSE(table.InitLangCode());
  EXPECT_EQ(table.current_language(), "Deutsch");
}

constexpr const char* kTexts =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<Lang>"
    "<item name=\"main_privacy_tip\">I have read and agree to the Quorvane</item>"
    "<item name=\"twice\">Quorvane and Quorvane</item>"
    "<item name=\"lower\">quorvane stays</item>"
    "<item name=\"main_privacy_tip_tail\"></item>"
    "<item name=\"markup\">{f 1}{c #7a7b7f}a &amp; b &lt;c&gt;{/c}{/f}</item>"
    "<item name=\"dup\">first</item><item name=\"dup\">second</item>"
    "</Lang>";

TEST_F(LanguageTableTest, BrandReplacesQuorvaneUnlessItIsQuorvane) {
  struct Case {
    const char* brand;
    const char* tip;
    const char* twice;
  } cases[] = {
      {"Quorvane", "I have read and agree to the Quorvane", "Quorvane and Quorvane"},
      {"QUORVANE", "I have read and agree to the Quorvane", "Quorvane and Quorvane"},
      {"quorvane", "I have read and agree to the Quorvane", "Quorvane and Quorvane"},
      {"Acme", "I have read and agree to the Acme", "Acme and Acme"},
      {"", "I have read and agree to the ", " and "},
      {"Quorvane Pro", "I have read and agree to the Quorvane Pro", "Quorvane Pro and Quorvane Pro"},
  };
  SetLocale(0x0409);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.brand);
    LanguageTable table;
    ASSERT_TRUE(table.loadLangXMLData(kTexts, c.brand));
    EXPECT_EQ(table.GetText("main_privacy_tip"), c.tip);
    EXPECT_EQ(table.GetText("twice"), c.twice);
    EXPECT_EQ(table.GetText("lower"), "quorvane stays");
  }
}

TEST_F(LanguageTableTest, TextLookups) {
  SetLocale(0x0409);
  LanguageTable table;
  LogCapture log;
  ASSERT_TRUE(table.loadLangXMLData(kTexts, "Quorvane"));
  EXPECT_EQ(log.Count("[INFO] loadLangXML"), 1);
  EXPECT_EQ(table.GetText("markup"), "{f 1}{c #7a7b7f}a & b <c>{/c}{/f}");
  EXPECT_EQ(table.GetText("dup"), "second");  // a later item replaces
  EXPECT_EQ(table.GetText("main_privacy_tip_tail"), "main_privacy_tip_tail");
  EXPECT_EQ(table.GetTextOrEmpty("main_privacy_tip_tail"), "");
  EXPECT_EQ(table.GetText("no_such_key"), "no_such_key");
  EXPECT_EQ(table.GetTextOrEmpty("no_such_key"), "");
}

TEST_F(LanguageTableTest, UnusableTextTablesFailAndKeepEarlierTexts) {
  SetLocale(0x0409);
  LanguageTable table;
  ASSERT_TRUE(table.loadLangXMLData(kTexts, "Quorvane"));
  for (const char* bad : {"", "<Lang>", "<Texts><item name=\"dup\">x</item></Texts>", "plain text"}) {
    SCOPED_TRACE(bad);
    EXPECT_FALSE(table.loadLangXMLData(bad, "Quorvane"));
    EXPECT_EQ(table.GetText("dup"), "second");
  }
}

TEST_F(LanguageTableTest, FilterLanglist) {
  struct Case {
    const char* languages;
    const char* current_before;
    std::vector<std::string> offered;
    const char* current_after;
    const char* log_line;  // nullptr: none
  } cases[] = {
      {"English,Deutsch", "Español", {"English", "Deutsch"}, "English", "[INFO] FilterLanglist set: 5"},
      {"Deutsch,English", "English", {"English", "Deutsch"}, "English", nullptr},  // table order
      {"English, Deutsch", "English", {"English"}, "English", nullptr},            // " Deutsch" is no name
      {"Español,日本語", "ไทย", {"Español", "日本語"}, "Español", "[INFO] FilterLanglist set: 20"},
      {"Deutsch,Klingon", "Deutsch", {"Deutsch"}, "Deutsch", nullptr},
      {"english", "English", {}, "english", "[INFO] FilterLanglist set: 0"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.languages);
    SetLocale(0x0409);
    LanguageTable table;
    table.set_current_language(c.current_before);
    LogCapture log;
    EXPECT_EQ(Names(table.FilterLanglist(c.languages)), c.offered);
    EXPECT_EQ(Names(table.offered()), c.offered);
    EXPECT_EQ(table.current_language(), c.current_after);
    const std::vector<std::string> lines = log.Matching("FilterLanglist");
    if (c.log_line == nullptr) {
      EXPECT_TRUE(lines.empty()) << log.All();
    } else {
      EXPECT_EQ(lines, std::vector<std::string>{c.log_line});
    }
    // Codes come from the fixed table whatever is offered.
    EXPECT_EQ(table.GetLangCode("Svenska"), "SWE");
  }
}

TEST_F(LanguageTableTest, EmptyLanguagesOfferAllAndFilteringStartsAfresh) {
  SetLocale(0x0409);
  LanguageTable table;
  EXPECT_EQ(table.FilterLanglist("Deutsch").size(), 1u);
  EXPECT_EQ(table.FilterLanglist("").size(), 21u);
  EXPECT_EQ(Names(table.FilterLanglist("English,Dutch")), (std::vector<std::string>{"English", "Dutch"}));
}

TEST_F(LanguageTableTest, SetSelectLangStoresNonEmptyNames) {
  RunState state;
  state.SelectLang = "English";
  LogCapture log;
  LanguageTable::SetSelectLang("", &state);
  EXPECT_EQ(state.SelectLang, "English");
  EXPECT_TRUE(log.Lines().empty());
  LanguageTable::SetSelectLang("Español", &state);
  EXPECT_EQ(state.SelectLang, "Español");
  EXPECT_EQ(log.Lines(), std::vector<std::string>{"[INFO] set select lang=[Español]."});
}

TEST_F(LanguageTableTest, ShippedTexts) {
  SetLocale(0x0409);
  const std::optional<std::string> bytes = LoadResource("XML", 131, "");
  ASSERT_TRUE(bytes.has_value());
  EXPECT_FALSE(bytes->starts_with("\xEF\xBB\xBF"));

  LanguageTable table;
  ASSERT_TRUE(table.loadLangXMLData(*bytes, "Quorvane"));
  EXPECT_EQ(table.texts().size(), 102u);  // distinct keys of the shipped table

  // The item count too, so a duplicated key cannot hide a missing one.
  size_t items = 0;
  for (size_t at = bytes->find("<item "); at != std::string::npos; at = bytes->find("<item ", at + 1)) {
    ++items;
  }
  EXPECT_EQ(items, 102u);

  const std::pair<const char*, const char*> samples[] = {
      {"tipmsg_licenseaccept",
       "Are you sure to refuse the Privacy Policy & License Agreement? If so, the installation will be stopped."},
      {"Lbl_ProgressTip", "Installing…Click \"Hide\" to minimize the program (%d%s finished.)"},
      {"Lbl_Check", "By clicking \"Install\", you agree to the "},
      {"Lbl_Install_Ldk", "{f 1}{c #7a7b7f}Agree to install Quorvane Launch Deck{/c}{/f}"},
      {"privacy_spaceinfo_empty", "Disk Space required: %s, available: {f 2}{c #ff0000}%s{/c}{/f}"},
      {"new_download_time_tip", "Downloading (Time remaining:  %02d:%02d:%02d)"},
      {"wait_for_time_tip", "(It is expected to wait for %02dm %02ds.)"},
      {"confirm_stop_download?", "Downloading, confirm to stop downloading?"},
      {"retry", "again"},
      {"instal_adminpath", "Cannot Install. Access Denied"},
      {"errmsg_md5", "File download or verify failed, please download the setup file again!"},
  };
  for (const auto& [key, text] : samples) EXPECT_EQ(table.GetText(key), text) << key;
  for (const char* key : {"privacy_wnd_tip_tail", "main_privacy_tip_tail"}) {
    EXPECT_EQ(table.GetText(key), key);
    EXPECT_EQ(table.GetTextOrEmpty(key), "");
  }

  LanguageTable acme;
  ASSERT_TRUE(acme.loadLangXMLData(*bytes, "Acme"));
  EXPECT_EQ(acme.GetText("main_privacy_tip"), "I have read and agree to the Acme");
  EXPECT_EQ(acme.GetText("Lbl_Install_Ldk"), "{f 1}{c #7a7b7f}Agree to install Acme Launch Deck{/c}{/f}");
}

TEST_F(LanguageTableTest, LoadsTheEmbeddedResource) {
  SetLocale(0x0409);
  LanguageTable table;
  ASSERT_TRUE(table.loadLangXML("Quorvane"));
  EXPECT_EQ(table.GetText("Btn_Install"), "Install");
}

}  // namespace
}  // namespace oru
