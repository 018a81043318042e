#include <gtest/gtest.h>

#include <map>

#include "common/url.h"
#include "orchestrator/orchestrator_test_fixture.h"
#include "orchestrator/oru_mgr.h"
#include "probes/platform_facts.h"
#include "probes/system_registry.h"

namespace oru::testing {
namespace {

using product_server::Fault;

std::map<std::string, std::string> QueryOf(const std::string& query) {
  std::map<std::string, std::string> out;
  size_t start = 0;
  while (start < query.size()) {
    size_t amp = query.find('&', start);
    if (amp == std::string::npos) amp = query.size();
    std::string pair = query.substr(start, amp - start);
    size_t eq = pair.find('=');
    out[pair.substr(0, eq)] = eq == std::string::npos ? std::string() : pair.substr(eq + 1);
    start = amp + 1;
  }
  return out;
}

class PrepareDownTest : public OrchestratorTest {
 protected:
  void Load() { ASSERT_TRUE(OruMgr::Instance().LoadLocalXml()); }

  // Replaces one runtime value of the demo product on the server.
  void SetRuntime(const std::string& name, const std::string& value) {
    product_server::ProductEntry product = server_config_products_.at(1001);
    bool replaced = false;
    for (auto& [key, text] : product.runtime) {
      if (key == name) {
        text = value;
        replaced = true;
      }
    }
    if (!replaced) product.runtime.emplace_back(name, value);
    server_config_products_[1001] = product;
    server_.SetProduct(product);
  }

  void SetUp() override {
    OrchestratorTest::SetUp();
    server_config_products_ = product_server::DemoConfig("").products;
  }

  std::map<int32_t, product_server::ProductEntry> server_config_products_;
};

TEST_F(PrepareDownTest, RuntimeServiceFormCarriesTheMachineAndMergesBoundProducts) {
  Load();
  OruMgr& mgr = OruMgr::Instance();
  mgr.PrepareDown();
  auto runtime = server_.Requests("runtime");
  ASSERT_EQ(runtime.size(), 1u);
  std::map<std::string, std::string> q = QueryOf(runtime[0].query);
  EXPECT_EQ(runtime[0].path, "/rest/v2/downloader/runtime/");
  EXPECT_EQ(q["client_sign"], UrlEncode(GetClientSign("Quorvane")));
  EXPECT_EQ(q["product_id"], "1001");
  EXPECT_EQ(q["oru"], "4.6.4");
  EXPECT_EQ(q["scene_code"], "demo");
  EXPECT_EQ(q["platform"], "win_x64");
  EXPECT_EQ(log_.Count("[INFO] PrepareDown, LoadServerXml ok, attempt=[1/3]."), 1);

  // The bound items replace the local dependents and move to the end.
  const auto& deps = mgr.product_config().Dependents;
  ASSERT_EQ(deps.size(), 2u);
  EXPECT_EQ(deps[0].ProductID, "1002");
  EXPECT_EQ(deps[1].ProductID, "1003");
  EXPECT_FALSE(deps[0].md5.empty()) << "the server's entry, with its digests";
  EXPECT_EQ(ReportStore::Instance().BindRecords().at(1002).server_digest.empty(), false);
  EXPECT_EQ(ReportStore::Instance().Get("xmlprodcutver"), mgr.server_runtime().version);
  EXPECT_FALSE(ReportStore::Instance().Get("serverxmlmd5").value_or("").empty());
}

TEST_F(PrepareDownTest, DeferredConsentAsksWithoutTheClientSign) {
  SetElement(xml_, "PrivacyPost", "1");
  WriteProductXml();
  Load();
  OruMgr::Instance().PrepareDown();
  auto runtime = server_.Requests("runtime");
  ASSERT_FALSE(runtime.empty());
  EXPECT_NE(runtime[0].query.find("client_sign=&product_id=1001"), std::string::npos) << runtime[0].query;
}

TEST_F(PrepareDownTest, StaticDocumentBesideThePackageWhenAppIdAndChannelAreSet) {
  SetElement(xml_, "AppID", "QuorvaneStudio");
  SetElement(xml_, "Channel", "demo");
  WriteProductXml();
  Load();
  OruMgr::Instance().PrepareDown();
  EXPECT_TRUE(server_.Requests("runtime").empty());
  auto doc = server_.Requests("runtime_static");
  ASSERT_EQ(doc.size(), 1u);
  EXPECT_EQ(doc[0].path, "/packages/xml/QuorvaneStudio_demo.xml");
  EXPECT_EQ(log_.Count("[INFO] PrepareDown, LoadServerXml ok, attempt=[1/3]."), 1);
}

TEST_F(PrepareDownTest, ThreeAttemptsWaitHalfASecondThenASecond) {
  Load();
  ASSERT_TRUE(server_.SetFault("runtime", Fault::Status(500)));
  OruMgr::Instance().PrepareDown();
  EXPECT_EQ(server_.Requests("runtime").size(), 3u);
  EXPECT_EQ(clock_.sleeps, (std::vector<std::chrono::milliseconds>{std::chrono::milliseconds(500),
                                                                   std::chrono::milliseconds(1000)}));
  for (const char* line : {"[WARN] PrepareDown, LoadServerXml failed, attempt=[1/3].",
                           "[WARN] PrepareDown, LoadServerXml failed, attempt=[2/3].",
                           "[WARN] PrepareDown, LoadServerXml failed, attempt=[3/3]."}) {
    EXPECT_EQ(log_.Count(line), 1) << line;
  }
  // The run goes on with the local values.
  EXPECT_EQ(OruMgr::Instance().effective().license_page, OruMgr::Instance().product_config().Url_License);

  // A second attempt that succeeds ends the tries.
  server_.ClearFaults();
  ASSERT_TRUE(server_.SetFault("runtime", Fault::Garbage().Times(1)));
  clock_.sleeps.clear();
  log_.Clear();
  OruMgr::Instance().PrepareDown();
  EXPECT_EQ(log_.Count("[INFO] PrepareDown, LoadServerXml ok, attempt=[2/3]."), 1);
  EXPECT_EQ(clock_.sleeps.size(), 1u);
}

TEST_F(PrepareDownTest, EffectiveValuesCombineLocalAndServerPages) {
  struct Case {
    const char* only_local;
    const char* server_install_url;
    std::string expected;  // with {local} for the local page
  } cases[] = {
      {"1", "", "{local}"},
      {"1", "http://s/thanks", "{local}"},
      {"0", "http://s/thanks", "http://s/thanks"},
      {"1", "http://s/go?back_url=http://old", "http://s/go?back_url={local_encoded}"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.server_install_url);
    OruMgr::Instance().ResetForTesting();
    OruMgr::Instance().SetClock(&clock_);
    std::string xml = xml_;
    size_t group = xml.find("<Installurl>");
    size_t open = xml.find("<OnlyUseLocalUrl>", group) + std::string("<OnlyUseLocalUrl>").size();
    xml.replace(open, xml.find("</OnlyUseLocalUrl>", open) - open, c.only_local);
    ASSERT_TRUE(WriteFileAtomically(locations_.resource_dir + "XML_106", xml));
    SetRuntime("install_url", c.server_install_url);
    Load();
    OruMgr::Instance().PrepareDown();
    std::string local = OruMgr::Instance().product_config().Installurl.Url_Install;
    std::string expected = c.expected;
    ReplaceAllIn(expected, "{local_encoded}", UrlEncode(local));
    ReplaceAllIn(expected, "{local}", local);
    EXPECT_EQ(OruMgr::Instance().effective().thank_you_page, expected);
  }
}

TEST_F(PrepareDownTest, BannerLicenceLanguagesAndInstallTime) {
  SetRuntime("banner_url", "http://s/banner?x=1");
  SetRuntime("oiap_url", "http://s/oiap");
  SetRuntime("languages", "English,Deutsch");
  SetElement(xml_, "InstallTime", "90");
  WriteProductXml();
  Load();
  OruMgr::Instance().PrepareDown();
  const EffectiveValues& e = OruMgr::Instance().effective();
  EXPECT_EQ(e.banner_url, "http://s/banner?x=1&_t=1767225600");
  EXPECT_EQ(e.license_page, "http://s/oiap");
  EXPECT_EQ(e.languages, "English,Deutsch");
  EXPECT_EQ(e.install_duration, std::chrono::seconds(240));
  EXPECT_EQ(log_.Count("[INFO] PrepareDown, use server banner url."), 1);

  // A local banner wins at once; the server's is not used.
  OruMgr::Instance().ResetForTesting();
  OruMgr::Instance().SetClock(&clock_);
  SetElement(xml_, "BannerImg", "http://local/banner");
  SetElement(xml_, "InstallTime", "600");
  WriteProductXml();
  Load();
  OruMgr::Instance().PrepareDown();
  EXPECT_EQ(OruMgr::Instance().effective().banner_url, "http://local/banner");
  EXPECT_EQ(OruMgr::Instance().effective().install_duration, std::chrono::seconds(600));
  EXPECT_EQ(log_.Count("[INFO] PrepareDown, use local banner url immediately."), 1);
}

TEST_F(PrepareDownTest, InstalledVersionClearsTheFirstInstallFlag) {
  // The server relates 1001 to itself so the registration counts.
  product_server::ProductEntry product = server_config_products_.at(1001);
  product.relation_ids = {1001};
  server_.SetProduct(product);
  RegKey key;
  ASSERT_EQ(ProcessRegistry().CreateKey(RegHive::kLocalMachine, "Software\\Quorvane\\Studio", kKeyAllAccess,
                                        RegView::k64Key, &key),
            kErrorSuccess);
  ASSERT_EQ(key.SetDword("PID", 1001), kErrorSuccess);
  ASSERT_EQ(key.SetString("InstallDate", "20261201"), kErrorSuccess);
  ASSERT_EQ(key.SetString("Version", "13.1.2.1234"), kErrorSuccess);
  Load();
  ASSERT_TRUE(ReportStore::Instance().first_install());
  OruMgr::Instance().PrepareDown();
  EXPECT_EQ(log_.Count("[INFO] pid=[1001] already install version=[13.1.2.1234]."), 1);
  EXPECT_FALSE(ReportStore::Instance().first_install());
}

}  // namespace
}  // namespace oru::testing
