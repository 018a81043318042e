#include "config/server_runtime.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <utility>
#include <vector>

#include "support/log_capture.h"

namespace oru {
namespace {

using testing::LogCapture;

// Every runtime element with the field it fills.
const std::vector<std::pair<std::string, std::string ServerRuntime::*>>& RuntimeFields() {
  static const std::vector<std::pair<std::string, std::string ServerRuntime::*>> fields = {
      {"name", &ServerRuntime::name},
      {"version", &ServerRuntime::version},
      {"process_name", &ServerRuntime::process_name},
      {"install_url", &ServerRuntime::install_url},
      {"download_url", &ServerRuntime::download_url},
      {"download_url_with_framework", &ServerRuntime::download_url_with_framework},
      {"download_url_net", &ServerRuntime::download_url_net},
      {"download_url_net_with_framework", &ServerRuntime::download_url_net_with_framework},
      {"download_url_x64", &ServerRuntime::download_url_x64},
      {"download_url_arm64", &ServerRuntime::download_url_arm64},
      {"banner_url", &ServerRuntime::banner_url},
      {"oiap_url", &ServerRuntime::oiap_url},
      {"md5", &ServerRuntime::md5},
      {"history_md5_32", &ServerRuntime::history_md5_32},
      {"md5_64", &ServerRuntime::md5_64},
      {"history_md5_64", &ServerRuntime::history_md5_64},
      {"md5_arm64", &ServerRuntime::md5_arm64},
      {"history_md5_arm64", &ServerRuntime::history_md5_arm64},
      {"filesize", &ServerRuntime::filesize},
      {"netfx_minver", &ServerRuntime::netfx_minver},
      {"netfxlite_url", &ServerRuntime::netfxlite_url},
      {"languages", &ServerRuntime::languages},
      {"Url_Jump", &ServerRuntime::Url_Jump},
      {"install_error_url", &ServerRuntime::install_error_url},
      {"custom_install_path", &ServerRuntime::custom_install_path},
      {"is_allow_install_admin_path", &ServerRuntime::is_allow_install_admin_path},
      {"user_agreement_url", &ServerRuntime::user_agreement_url},
      {"privacy_agreement_url", &ServerRuntime::privacy_agreement_url},
      {"not_support_win32", &ServerRuntime::not_support_win32},
      {"download_process_config", &ServerRuntime::download_process_config},
  };
  return fields;
}

std::string Runtime(const std::string& runtime_body, const std::string& bind_body = "") {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?><qvrp><downloader><runtime>" + runtime_body +
         "</runtime><bind>" + bind_body + "</bind></downloader></qvrp>";
}

TEST(ServerRuntimeTest, EveryRuntimeElementFillsItsOwnField) {
  std::string body;
  for (const auto& [name, field] : RuntimeFields()) body += "<" + name + ">v-" + name + "</" + name + ">";
  LogCapture log;
  ServerRuntime rt;
  ASSERT_TRUE(ParseServerRuntimeXml(Runtime(body), &rt, nullptr, nullptr));
  for (const auto& [name, field] : RuntimeFields()) EXPECT_EQ(rt.*field, "v-" + name) << name;
  EXPECT_EQ(log.Count("[INFO] LoadServerXml downloader.runtime."), 1);
}

TEST(ServerRuntimeTest, MissingElementsLeaveFieldsUnchanged) {
  ServerRuntime rt;
  rt.version = "old";
  rt.md5 = "old-md5";
  rt.languages = "English";
  ASSERT_TRUE(ParseServerRuntimeXml(
      Runtime("<version>2.0</version><languages></languages><md5>a</md5><md5>b</md5>"), &rt, nullptr,
      nullptr));
  EXPECT_EQ(rt.version, "2.0");
  EXPECT_EQ(rt.languages, "");  // present and empty
  EXPECT_EQ(rt.md5, "a");       // the first wins
  EXPECT_EQ(rt.oiap_url, "");
}

TEST(ServerRuntimeTest, RootDecidesSuccess) {
  struct Case {
    const char* xml;
    bool ok;
    bool runtime_read;
  } cases[] = {
      {"<qvrp/>", true, false},
      {"<qvrp><downloader/></qvrp>", true, false},
      {"<qvrp><runtime><version>9</version></runtime></qvrp>", true, false},  // not under downloader
      {"<qvrp><downloader><runtime><version>9</version></runtime></downloader></qvrp>", true, true},
      {"<other><downloader><runtime><version>9</version></runtime></downloader></other>", false, false},
      {"<html><body>502 Bad Gateway</body></html>", false, false},
      {"{\"code\":0}", false, false},
      {"", false, false},
      {"<qvrp><downloader><runtime><version>9</version></runtime></downloader>", false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.xml);
    LogCapture log;
    ServerRuntime rt;
    rt.version = "1";
    std::vector<DependentItem> items;
    EXPECT_EQ(ParseServerRuntimeXml(c.xml, &rt, &items, nullptr), c.ok);
    EXPECT_EQ(rt.version, c.runtime_read ? "9" : "1");
    EXPECT_EQ(log.Count("LoadServerXml downloader.runtime."), c.runtime_read ? 1 : 0);
    EXPECT_TRUE(items.empty());
  }
}

TEST(ServerRuntimeTest, BoundItemsReadWithDefaultsAndRetention) {
  const std::string binds =
      "<item><ProductID>1002</ProductID><ProductName>Deck</ProductName><ProductExe>d.exe</ProductExe>"
      "<Url_Down>u1</Url_Down><Url_Downx64>u2</Url_Downx64><Url_Down_arm64>u3</Url_Down_arm64>"
      "<md5>m1</md5><history_md5_32>h1</history_md5_32><md5_64>m2</md5_64>"
      "<history_md5_64>h2</history_md5_64><md5_arm64>m3</md5_arm64>"
      "<history_md5_arm64>h3</history_md5_arm64><filesize>12345</filesize>"
      "<ForkInstall>1</ForkInstall></item>"
      "<item><ProductID>1003</ProductID></item>"        // no address: dropped
      "<item><Url_Down>x</Url_Down></item>"             // no id: dropped
      "<item><ProductID>1004</ProductID><Url_Down_arm64>a</Url_Down_arm64>"
      "<ForceInstall>false</ForceInstall><ProductArg>pa</ProductArg>"
      "<ProductInstallArg>ia</ProductInstallArg><ProductInsCmple>ic</ProductInsCmple></item>";
  ServerRuntime rt;
  std::vector<DependentItem> items;
  std::vector<std::string> pids;
  ASSERT_TRUE(ParseServerRuntimeXml(Runtime("", binds), &rt, &items, &pids));
  EXPECT_EQ(pids, (std::vector<std::string>{"1002", "1003", "", "1004"}));
  ASSERT_EQ(items.size(), 2u);

  DependentItem first;
  first.ProductID = "1002";
  first.ProductName = "Deck";
  first.ProductExe = "d.exe";
  first.Url_Down = "u1";
  first.Url_Downx64 = "u2";
  first.Url_Down_arm64 = "u3";
  first.md5 = "m1";
  first.history_md5_32 = "h1";
  first.md5_64 = "m2";
  first.history_md5_64 = "h2";
  first.md5_arm64 = "m3";
  first.history_md5_arm64 = "h3";
  first.filesize = "12345";
  first.ForkInstall = "1";
  EXPECT_EQ(items[0], first);  // ForceInstall defaults to "true"
  EXPECT_EQ(items[1].ForceInstall, "false");
  EXPECT_EQ(items[1].ProductArg, "pa");
  EXPECT_EQ(items[1].ProductInstallArg, "ia");
  EXPECT_EQ(items[1].ProductInsCmple, "ic");
}

DependentItem Item(const char* id, const char* name) {
  DependentItem item;
  item.ProductID = id;
  item.ProductName = name;
  item.Url_Down = "u";
  return item;
}

TEST(ServerRuntimeTest, BoundItemReplacesLocalEntryAndMovesToTheEnd) {
  const DependentItem local = Item("1002", "local deck");
  std::vector<DependentItem> list{local, Item("1003", "helper"), local};  // a stray duplicate goes too
  MergeBoundDependent(list, Item("1002", "server deck"));
  ASSERT_EQ(list.size(), 2u);
  EXPECT_EQ(list[0].ProductName, "helper");
  EXPECT_EQ(list[1].ProductName, "server deck");

  MergeBoundDependent(list, Item("2000", "new"));
  ASSERT_EQ(list.size(), 3u);
  EXPECT_EQ(list[2].ProductID, "2000");
}

TEST(ServerRuntimeTest, DigestListsKeepTheirOwnOrders) {
  ServerRuntime rt;
  rt.md5 = "A";
  rt.history_md5_32 = "B";
  rt.md5_64 = "C";
  rt.history_md5_64 = "D";
  rt.md5_arm64 = "E";
  rt.history_md5_arm64 = "F";
  EXPECT_EQ(ServerXmlDigests(rt), "A,B,C,D,E,F");
  rt.history_md5_32.clear();
  rt.history_md5_arm64.clear();
  EXPECT_EQ(ServerXmlDigests(rt), "A,C,D,E");
  EXPECT_EQ(ServerXmlDigests(ServerRuntime{}), "");

  DependentItem item;
  item.md5 = "A";
  item.history_md5_32 = "B";
  item.md5_64 = "C";
  item.history_md5_64 = "D";
  item.md5_arm64 = "E";
  item.history_md5_arm64 = "F";
  EXPECT_EQ(BindServerDigests(item), "A,B,D,C,E,F");  // the 64-bit pair swapped
  item.md5.clear();
  EXPECT_EQ(BindServerDigests(item), "B,D,C,E,F");
}

TEST(ServerRuntimeTest, BannerPrefersLocalElseCacheBustedServerPage) {
  constexpr long long kNow = 1700000000;
  struct Case {
    const char* local;
    const char* server;
    const char* expected;
  } cases[] = {
      {"https://local/b", "https://srv/b", "https://local/b"},
      {"", "https://srv/b", "https://srv/b?_t=1700000000"},
      {"", "https://srv/b?x=1", "https://srv/b?x=1&_t=1700000000"},
      {"", "", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.server);
    ProductConfig cfg;
    cfg.BannerImg = c.local;
    ServerRuntime rt;
    rt.banner_url = c.server;
    EXPECT_EQ(EffectiveBannerUrl(cfg, rt, kNow), c.expected);
  }
}

TEST(ServerRuntimeTest, ThankYouPageCombinesLocalAndServerPages) {
  constexpr const char* kLocal = "https://local/thanks?a=1&b=2";
  struct Case {
    const char* only_local;
    const char* server;
    std::string expected;
  } cases[] = {
      {"1", "", kLocal},
      {"0", "", kLocal},
      {"0", "https://srv/ty?back_url=https://old", "https://srv/ty?back_url=https://old"},
      {"1", "https://srv/ty?back_url=https://old", "https://srv/ty?back_url=https%3A%2F%2Flocal%2Fthanks%3Fa%3D1%26b%3D2"},
      {"", "https://srv/ty?x=1&back_url=", "https://srv/ty?x=1&back_url=https%3A%2F%2Flocal%2Fthanks%3Fa%3D1%26b%3D2"},
      {"1", "https://srv/ty", kLocal},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.only_local << " " << c.server);
    ProductConfig cfg;
    cfg.Installurl = InstallurlGroup{c.only_local, kLocal};
    ServerRuntime rt;
    rt.install_url = c.server;
    EXPECT_EQ(EffectiveThankYouUrl(cfg, rt), c.expected);
  }
}

TEST(ServerRuntimeTest, ServerValuesWinWhenNotEmpty) {
  ProductConfig cfg;
  cfg.Url_License = "L";
  cfg.Languages = "English";
  cfg.UserAgreementUrl = "U";
  cfg.PrivacyAgreementUrl = "P";
  cfg.IsAllowInstallAdminPath = "0";
  ServerRuntime rt;
  EXPECT_EQ(EffectiveLicenseUrl(cfg, rt), "L");
  EXPECT_EQ(EffectiveLanguages(cfg, rt), "English");
  EXPECT_EQ(EffectiveUserAgreementUrl(cfg, rt), "U");
  EXPECT_EQ(EffectivePrivacyAgreementUrl(cfg, rt), "P");
  EXPECT_EQ(EffectiveAllowInstallAdminPath(cfg, rt), "0");
  rt.oiap_url = "sL";
  rt.languages = "Deutsch";
  rt.user_agreement_url = "sU";
  rt.privacy_agreement_url = "sP";
  rt.is_allow_install_admin_path = "1";
  EXPECT_EQ(EffectiveLicenseUrl(cfg, rt), "sL");
  EXPECT_EQ(EffectiveLanguages(cfg, rt), "Deutsch");
  EXPECT_EQ(EffectiveUserAgreementUrl(cfg, rt), "sU");
  EXPECT_EQ(EffectivePrivacyAgreementUrl(cfg, rt), "sP");
  EXPECT_EQ(EffectiveAllowInstallAdminPath(cfg, rt), "1");
}

TEST(ServerRuntimeTest, InstallDurationAndProgressThreshold) {
  struct DurationCase {
    const char* text;
    long long seconds;
  } durations[] = {
      {"", 240}, {"abc", 240}, {"90", 240}, {"119", 240}, {"120", 120},
      {"600", 600}, {"601", 240}, {"-300", 240}, {"300s", 300},
  };
  for (const DurationCase& c : durations) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(EffectiveInstallDuration(c.text), std::chrono::seconds(c.seconds));
  }
  struct ThresholdCase {
    const char* text;
    int percent;
  } thresholds[] = {
      {"", 40}, {"50", 50}, {"55.9", 55}, {"5", 10}, {"10", 10}, {"80", 80}, {"95", 80},
      {"-20", 10}, {"abc", 10},
  };
  for (const ThresholdCase& c : thresholds) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(DownloadProgressThreshold(c.text), c.percent);
  }
}

TEST(ServerRuntimeTest, DotNetNeedsACompletePair) {
  struct Case {
    const char* server_ver;
    const char* server_url;
    const char* local_ver;
    const char* local_url;
    std::optional<DotNetRequirement> expected;
  } cases[] = {
      {"4.8", "https://s/nf", "4.6", "https://l/nf", DotNetRequirement{"4.8", "https://s/nf"}},
      {"4.8", "", "4.6", "https://l/nf", DotNetRequirement{"4.6", "https://l/nf"}},
      {"", "https://s/nf", "4.6", "https://l/nf", DotNetRequirement{"4.6", "https://l/nf"}},
      {"4.8", "", "4.6", "", std::nullopt},
      {"", "", "", "", std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.server_ver << "|" << c.server_url << "|" << c.local_ver);
    ProductConfig cfg;
    cfg.Dotnetminver = c.local_ver;
    cfg.Dotneturl = c.local_url;
    ServerRuntime rt;
    rt.netfx_minver = c.server_ver;
    rt.netfxlite_url = c.server_url;
    EXPECT_EQ(EffectiveDotNet(cfg, rt), c.expected);
  }
}

ProductConfig ServiceProduct() {
  ProductConfig cfg;
  cfg.ServerHost = "https://platform.example/";
  cfg.ProductID = "1001";
  cfg.SceneCode = "a b&c";
  cfg.PrivacyPost = "0";
  cfg.Downurl.Url_Down = "https://cdn.example/pkg/v1/Setup.exe";
  return cfg;
}

TEST(ServerRuntimeTest, RuntimeServiceUrlEncodesEveryValue) {
  RuntimeQuery query{"sign/with+chars", "4.6.4.0", true, false};
  EXPECT_EQ(RuntimeServiceUrl(ServiceProduct(), query),
            "https://platform.example/rest/v2/downloader/runtime/?client_sign=sign%2Fwith%2Bchars"
            "&product_id=1001&oru=4.6.4&scene_code=a%20b%26c&platform=win_x64");

  ProductConfig deferred = ServiceProduct();
  deferred.PrivacyPost = "1";
  deferred.ProductID = "10&01";
  EXPECT_EQ(RuntimeServiceUrl(deferred, RuntimeQuery{"sign", "", false, false}),
            "https://platform.example/rest/v2/downloader/runtime/?client_sign="
            "&product_id=10%2601&oru=4.6.4&scene_code=a%20b%26c&platform=win_x86");
}

TEST(ServerRuntimeTest, VersionAndPlatformRules) {
  struct VersionCase {
    const char* file_version;
    const char* expected;
  } versions[] = {
      {"4.6.4.0", "4.6.4"}, {"4.6.4.7", "4.6.4.7"}, {"10.0.12.0", "10.0.12"}, {"5.0.0.0", "5.0.0"},
      {"", "4.6.4"}, {"4.6.4", "4.6.4"}, {"1.2.3.4.5", "4.6.4"}, {"a.b.c.d", "4.6.4"},
      {"007.1.2.3", "7.1.2.3"},
  };
  for (const VersionCase& c : versions) {
    SCOPED_TRACE(c.file_version);
    EXPECT_EQ(OruVersionText(c.file_version), c.expected);
  }
  EXPECT_EQ(PlatformName(false, false), "win_x86");
  EXPECT_EQ(PlatformName(false, true), "win_x86");
  EXPECT_EQ(PlatformName(true, false), "win_x64");
  EXPECT_EQ(PlatformName(true, true), "win_arm64");
}

TEST(ServerRuntimeTest, StaticDocumentOnlyWithAppIdAndChannel) {
  const RuntimeQuery query{"sign", "4.6.4.0", false, false};
  struct Case {
    const char* app_id;
    const char* channel;
    bool use_static;
  } cases[] = {{"", "", false}, {"app", "", false}, {"", "web", false}, {"app", "web", true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.app_id << "/" << c.channel);
    ProductConfig cfg = ServiceProduct();
    cfg.AppID = c.app_id;
    cfg.Channel = c.channel;
    EXPECT_EQ(UseStaticRuntimeDocument(cfg), c.use_static);
    EXPECT_EQ(ServerRuntimeUrl(cfg, query).find("rest/v2/downloader/runtime/") != std::string::npos,
              !c.use_static);
  }
  ProductConfig cfg = ServiceProduct();
  cfg.AppID = "app/1";
  cfg.Channel = "web?x";
  EXPECT_EQ(StaticRuntimeDocumentUrl(cfg), "https://cdn.example/pkg/v1/xml/app%2F1_web%3Fx.xml");
  EXPECT_EQ(ServerRuntimeUrl(cfg, query), StaticRuntimeDocumentUrl(cfg));
}

}  // namespace
}  // namespace oru
