#include "config/product_config.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "config/server_runtime.h"
#include "platform/resources.h"

namespace oru {
namespace {

constexpr const char* kDefaultHost = "http://platform.example/";
constexpr const char* kDefaultLicense = "https://www.example/license";

ProductXmlDefaults Defaults(bool wow64 = false, bool arm64 = false) {
  return ProductXmlDefaults{kDefaultHost, kDefaultLicense, wow64, arm64};
}

std::string Product(const std::string& body) { return "<Product>" + body + "</Product>"; }

ProductConfig Parse(const std::string& xml, const ProductXmlDefaults& defaults = Defaults(),
                    std::vector<std::string>* pids = nullptr) {
  ProductConfig cfg;
  EXPECT_EQ(ParseProductXml(xml, defaults, &cfg, pids), ProductXmlStatus::kOk) << xml;
  return cfg;
}

TEST(ProductConfigTest, AbsentElementsTakeTheirDefaults) {
  ProductConfig expected;
  expected.ServerHost = kDefaultHost;
  expected.Url_License = kDefaultLicense;
  EXPECT_EQ(Parse("<Product/>"), expected);
  // The table's defaults, spelled out once so a changed initialiser shows.
  EXPECT_EQ(expected.FoldBottom, "1");
  EXPECT_EQ(expected.PrivacyPost, "1");
  EXPECT_EQ(expected.IsDelInstaller, "0");
  EXPECT_EQ(expected.InstallerStorageDirectory, "0");
  EXPECT_EQ(expected.InstallationConfirmation, "0");
  EXPECT_EQ(expected.EnableCustomStrategy, "0");
  EXPECT_EQ(expected.NetworkTierBasis, "1");
  EXPECT_EQ(DependentItem().ForceInstall, "true");
}

TEST(ProductConfigTest, PresentButEmptyElementsStayEmpty) {
  const ProductConfig cfg = Parse(Product(
      "<NetworkTierBasis/><FoldBottom></FoldBottom><PrivacyPost/><IsDelInstaller/>"
      "<EnableCustomStrategy/><Downurl><OnlyUseLocalUrl/></Downurl>"));
  EXPECT_EQ(cfg.NetworkTierBasis, "");
  EXPECT_EQ(cfg.FoldBottom, "");
  EXPECT_EQ(cfg.PrivacyPost, "");
  EXPECT_EQ(cfg.IsDelInstaller, "");
  EXPECT_EQ(cfg.EnableCustomStrategy, "");
  EXPECT_EQ(cfg.Downurl.OnlyUseLocalUrl, "");
  EXPECT_EQ(cfg.InstallerStorageDirectory, "0");  // absent: default
}

TEST(ProductConfigTest, ServerHostEndsWithSlash) {
  struct Case {
    const char* body;
    const char* default_host;
    const char* expected;
  } cases[] = {
      {"<ServerHost>http://h.example</ServerHost>", kDefaultHost, "http://h.example/"},
      {"<ServerHost>http://h.example/</ServerHost>", kDefaultHost, "http://h.example/"},
      {"<ServerHost>http://h.example/api</ServerHost>", kDefaultHost, "http://h.example/api/"},
      {"", kDefaultHost, kDefaultHost},
      {"", "http://platform.example", "http://platform.example/"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.body);
    ProductXmlDefaults defaults = Defaults();
    defaults.server_host = c.default_host;
    EXPECT_EQ(Parse(Product(c.body), defaults).ServerHost, c.expected);
  }
}

TEST(ProductConfigTest, LicenseUrlDefaultAlsoReplacesEmpty) {
  constexpr const char* kVendor = "<Services><LicenseUrl>https://vendor.example/l</LicenseUrl></Services>";
  struct Case {
    std::string body;
    const char* expected;
  } cases[] = {
      {"", kDefaultLicense},
      {"<Url_License/>", kDefaultLicense},
      {"<Url_License>https://p.example/l</Url_License>", "https://p.example/l"},
      {"<Url_License> </Url_License>", " "},  // not empty: kept as written
      {kVendor, "https://vendor.example/l"},
      {std::string("<Url_License></Url_License>") + kVendor, "https://vendor.example/l"},
      {std::string("<Url_License>https://p.example/l</Url_License>") + kVendor, "https://p.example/l"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.body);
    EXPECT_EQ(Parse(Product(c.body)).Url_License, c.expected);
  }
}

TEST(ProductConfigTest, FirstElementOfANameWinsInAnyOrder) {
  const ProductConfig cfg = Parse(Product(
      "<NetworkTierBasis>2</NetworkTierBasis>"
      "<Downurl><Url_Down>first-down</Url_Down><Url_Down>second-down</Url_Down></Downurl>"
      "<Downurl><Url_Down>second-group</Url_Down></Downurl>"
      "<ProductID>1001</ProductID><ProductID>9999</ProductID>"
      "<ProductName><![CDATA[Q <Studio> & Co]]></ProductName>"
      "<ProductBrand>A&amp;B &#x51;</ProductBrand>"
      "<NetworkTierBasis>3</NetworkTierBasis>"));
  EXPECT_EQ(cfg.NetworkTierBasis, "2");
  EXPECT_EQ(cfg.Downurl.Url_Down, "first-down");
  EXPECT_EQ(cfg.ProductID, "1001");
  EXPECT_EQ(cfg.ProductName, "Q <Studio> & Co");
  EXPECT_EQ(cfg.ProductBrand, "A&B Q");
}

TEST(ProductConfigTest, OnlyDirectChildrenOfProductCount) {
  const ProductConfig cfg = Parse(Product(
      "<Other><ProductID>nested</ProductID><Url_Down>nested</Url_Down></Other>"
      "<Url_Down>top-level</Url_Down>"));
  EXPECT_EQ(cfg.ProductID, "");
  EXPECT_EQ(cfg.Downurl.Url_Down, "");  // Url_Down belongs inside Downurl
}

TEST(ProductConfigTest, InvalidUtf8ReadsAsQuestionMark) {
  EXPECT_EQ(Parse(Product("<ProductName>Q\xC0\xAFS\xFF</ProductName>")).ProductName, "Q?S?");
}

TEST(ProductConfigTest, ArchitectureGroupsAreReadOnlyWhenTheyApply) {
  const std::string xml = Product(
      "<Downurl><OnlyUseLocalUrl>1</OnlyUseLocalUrl><Url_Down>u32</Url_Down></Downurl>"
      "<Downurl_x64><OnlyUseLocalUrl>1</OnlyUseLocalUrl><Url_Down>u64</Url_Down></Downurl_x64>"
      "<Downurl_arm64><OnlyUseLocalUrl>1</OnlyUseLocalUrl><Url_Down>uarm</Url_Down></Downurl_arm64>");
  struct Case {
    bool wow64;
    bool arm64;
    const char* x64;
    const char* arm;
  } cases[] = {
      {false, false, "", ""},   // 32-bit Windows
      {false, true, "", ""},    // no WOW64: nothing 64-bit, even on Arm64
      {true, false, "u64", ""}, // x64 Windows
      {true, true, "u64", "uarm"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << "wow64=" << c.wow64 << " arm64=" << c.arm64);
    const ProductConfig cfg = Parse(xml, Defaults(c.wow64, c.arm64));
    EXPECT_EQ(cfg.Downurl, (DownurlGroup{"1", "u32"}));
    EXPECT_EQ(cfg.Downurl_x64.Url_Down, c.x64);
    EXPECT_EQ(cfg.Downurl_x64.OnlyUseLocalUrl, *c.x64 ? "1" : "");
    EXPECT_EQ(cfg.Downurl_arm64.Url_Down, c.arm);
    EXPECT_EQ(cfg.Downurl_arm64.OnlyUseLocalUrl, *c.arm ? "1" : "");
  }
}

TEST(ProductConfigTest, DependentsNeedAnIdAndAnAddress) {
  const std::string xml = Product(
      "<Dependent>"
      "<item><ProductID>1</ProductID><Url_Down>a32</Url_Down></item>"
      "<item><ProductID>2</ProductID></item>"                           // no address
      "<item><Url_Down>x</Url_Down><Url_Downx64>y</Url_Downx64></item>"  // no id
      "<item><ProductID>3</ProductID><Url_Downx64>a64</Url_Downx64></item>"
      "<other><ProductID>not-an-item</ProductID><Url_Down>z</Url_Down></other>"
      "<item><ProductID>4</ProductID><Url_Down_arm64>aarm</Url_Down_arm64>"
      "<ForceInstall>false</ForceInstall><ForkInstall>1</ForkInstall></item>"
      "<item><ProductID>5</ProductID><Url_Down></Url_Down><Url_Downx64/></item>"  // empty addresses
      "</Dependent>"
      "<Dependent><item><ProductID>6</ProductID><Url_Down>second</Url_Down></item></Dependent>");
  std::vector<std::string> pids;
  const ProductConfig cfg = Parse(xml, Defaults(), &pids);
  EXPECT_EQ(pids, (std::vector<std::string>{"1", "2", "", "3", "4", "5"}));
  ASSERT_EQ(cfg.Dependents.size(), 3u);
  EXPECT_EQ(cfg.Dependents[0].ProductID, "1");
  EXPECT_EQ(cfg.Dependents[0].ForceInstall, "true");
  EXPECT_EQ(cfg.Dependents[1].Url_Downx64, "a64");
  EXPECT_EQ(cfg.Dependents[2].Url_Down_arm64, "aarm");
  EXPECT_EQ(cfg.Dependents[2].ForceInstall, "false");
  EXPECT_EQ(cfg.Dependents[2].ForkInstall, "1");
}

TEST(ProductConfigTest, DependentItemReadsEveryField) {
  const ProductConfig cfg = Parse(Product(
      "<Dependent><item>"
      "<ForkInstall>fk</ForkInstall><ForceInstall>fi</ForceInstall><ProductInsCmple>ic</ProductInsCmple>"
      "<ProductInstallArg>ia</ProductInstallArg><ProductArg>pa</ProductArg><ProductExe>pe</ProductExe>"
      "<ProductName>pn</ProductName><ProductID>7</ProductID><Url_Down_arm64>d3</Url_Down_arm64>"
      "<Url_Downx64>d2</Url_Downx64><Url_Down>d1</Url_Down><md5>server-only</md5>"
      "</item></Dependent>"));
  ASSERT_EQ(cfg.Dependents.size(), 1u);
  DependentItem expected;
  expected.ProductID = "7";
  expected.ProductName = "pn";
  expected.ProductExe = "pe";
  expected.ProductArg = "pa";
  expected.ProductInstallArg = "ia";
  expected.ProductInsCmple = "ic";
  expected.Url_Down = "d1";
  expected.Url_Downx64 = "d2";
  expected.Url_Down_arm64 = "d3";
  expected.ForceInstall = "fi";
  expected.ForkInstall = "fk";
  EXPECT_EQ(cfg.Dependents[0], expected);  // the digest stays server-only
}

TEST(ProductConfigTest, ServicesGroupAndLists) {
  const ProductConfig cfg = Parse(Product(
      "<Services><ApiHost>https://api.v.example</ApiHost><AppKey>k</AppKey>"
      "<PublicIpServices> http://a/ip , http://b/ip,,</PublicIpServices>"
      "<HttpDnsServers>http://dns</HttpDnsServers><AnalyticsCollectors></AnalyticsCollectors>"
      "<HttpDnsSecret>s</HttpDnsSecret></Services>"));
  EXPECT_EQ(cfg.Services.ApiHost, "https://api.v.example");
  EXPECT_EQ(cfg.Services.ApiBackupHost, "");
  EXPECT_EQ(cfg.Services.AppKey, "k");
  EXPECT_EQ(cfg.Services.PublicIpServices, (std::vector<std::string>{"http://a/ip", "http://b/ip"}));
  EXPECT_EQ(cfg.Services.HttpDnsServers, (std::vector<std::string>{"http://dns"}));
  EXPECT_TRUE(cfg.Services.AnalyticsCollectors.empty());
  EXPECT_EQ(cfg.Services.HttpDnsSecret, "s");
}

TEST(ProductConfigTest, BadDocumentsReportTheirStatusAndLeaveDefaults) {
  struct Case {
    const char* xml;
    ProductXmlStatus status;
  } cases[] = {
      {"", ProductXmlStatus::kParseError},
      {"not xml", ProductXmlStatus::kParseError},
      {"<Product><ProductID>1</ProductID>", ProductXmlStatus::kParseError},
      {"<Product/><Product/>", ProductXmlStatus::kParseError},
      {"<product><ProductID>1</ProductID></product>", ProductXmlStatus::kNoProduct},
      {"<Config><Product><ProductID>1</ProductID></Product></Config>", ProductXmlStatus::kNoProduct},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.xml);
    ProductConfig cfg;
    cfg.ProductID = "stale";
    cfg.Dependents.push_back(DependentItem{});
    std::vector<std::string> pids;
    EXPECT_EQ(ParseProductXml(c.xml, Defaults(), &cfg, &pids), c.status);
    EXPECT_EQ(cfg.ProductID, "");
    EXPECT_TRUE(cfg.Dependents.empty());
    EXPECT_TRUE(pids.empty());
  }
}

TEST(ProductConfigTest, ShippedDemoProduct) {
  const std::optional<std::string> bytes = LoadResource("XML", 106, "");
  ASSERT_TRUE(bytes.has_value());
  std::vector<std::string> pids;
  const ProductConfig cfg = Parse(*bytes, Defaults(true, false), &pids);
  EXPECT_EQ(cfg.ProductBrand, "Quorvane");
  EXPECT_EQ(cfg.ProductName, "Quorvane Studio");
  EXPECT_EQ(cfg.ProductID, "1001");
  EXPECT_EQ(cfg.ServerHost, "http://127.0.0.1:18080/");
  EXPECT_FALSE(UseStaticRuntimeDocument(cfg));
  EXPECT_EQ(cfg.Downurl.Url_Down, "http://127.0.0.1:18080/packages/QuorvaneStudioSetup_x86.exe");
  EXPECT_EQ(cfg.Downurl_x64.Url_Down, "http://127.0.0.1:18080/packages/QuorvaneStudioSetup_x64.exe");
  EXPECT_EQ(cfg.Installurl.Url_Install, "http://127.0.0.1:18080/pages/thankyou");
  EXPECT_EQ(pids, (std::vector<std::string>{"1002", "1003"}));
  ASSERT_EQ(cfg.Dependents.size(), 2u);
  EXPECT_EQ(cfg.Dependents[0].ProductName, "Quorvane Launch Deck");
  EXPECT_EQ(cfg.Dependents[0].ForkInstall, "1");
  EXPECT_EQ(cfg.Dependents[1].ProductName, "Quorvane Helper");
  EXPECT_NE(cfg.Dependents[1].ForkInstall, "1");
  EXPECT_EQ(cfg.Services.ApiHost, "http://127.0.0.1:18080");
  EXPECT_EQ(cfg.Services.ApiBackupHost, "http://127.0.0.2:18080");
  EXPECT_EQ(cfg.Services.PublicIpServices,
            (std::vector<std::string>{"http://127.0.0.1:18080/ip", "http://127.0.0.1:18080/myip"}));
  EXPECT_EQ(cfg.Services.HttpDnsServers, (std::vector<std::string>{"http://127.0.0.1:18080"}));
}

TEST(ProductConfigTest, StartupProductFallsBackToProductId) {
  struct Case {
    const char* startup;
    const char* expected;
  } cases[] = {
      {"", "1001"}, {"0", "1001"}, {"abc", "1001"}, {"00", "1001"},
      {"1003", "1003"}, {"01003", "1003"}, {"1003x", "1003"}, {" 1003", "1003"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.startup);
    ProductConfig cfg;
    cfg.ProductID = "1001";
    cfg.StartupProduct = c.startup;
    EXPECT_EQ(StartupProductId(cfg), c.expected);
  }
  EXPECT_EQ(RunStateFileName("1001"), "ORU_DOWNTASK_1001.xml");
}

TEST(ProductConfigTest, LeadingIntegerAndCommaLists) {
  struct IntCase {
    const char* text;
    std::optional<long long> value;
  } ints[] = {
      {"01", 1}, {"12abc", 12}, {" \t7", 7}, {"-5", -5}, {"+5", 5}, {"abc", std::nullopt},
      {"", std::nullopt}, {"-", std::nullopt}, {"1.9", 1},
      {"9223372036854775807", 9223372036854775807LL}, {"9223372036854775808", std::nullopt},
  };
  for (const IntCase& c : ints) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(ParseLeadingInteger(c.text), c.value);
  }
  EXPECT_EQ(SplitCommaList(" a , b,,c, "), (std::vector<std::string>{"a", "b", "c"}));
  EXPECT_TRUE(SplitCommaList("").empty());
  EXPECT_TRUE(SplitCommaList(" , ").empty());
}

}  // namespace
}  // namespace oru
