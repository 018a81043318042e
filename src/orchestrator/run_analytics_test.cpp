#include <gtest/gtest.h>

#include "orchestrator/orchestrator_test_fixture.h"
#include "orchestrator/oru_mgr.h"
#include "telemetry/installer_analytics.h"

namespace oru::testing {
namespace {

class RunAnalyticsTest : public OrchestratorTest {
 protected:
  void SetUp() override {
    OrchestratorTest::SetUp();
    AnalyticsSetup setup;
    setup.collectors = {Primary() + "/sa"};
    setup.staging_path = dir_.path() + "/oru_analytics";
    ConfigureAnalytics(setup);
    ASSERT_TRUE(OruMgr::Instance().LoadLocalXml());
  }
  // Points the runtime document at a port where nothing listens.
  void mgr_xml_host_down() { OruMgr::Instance().product_config().ServerHost = "http://127.0.0.1:9/"; }
  // Delivers what is queued before the server is read.
  void Deliver() { StopAnalytics(); }
};

TEST_F(RunAnalyticsTest, EachServerConfigurationLoadReportsWhatItBroughtAndAsksForTheTrackId) {
  OruMgr& mgr = OruMgr::Instance();
  InitAnalytics(kAnalyticsProject, kAnalyticsTrackingName, mgr.AnalyticsContextFor("en"));
  ASSERT_TRUE(mgr.LoadServerXml());
  Deliver();

  auto config = server_.Events("downloader_config");
  ASSERT_EQ(config.size(), 1u);
  const ServerRuntime& rt = mgr.server_runtime();
  const std::string& record = config[0].record;
  EXPECT_NE(record.find("\"pkg_url\":\"" + rt.download_url + "\""), std::string::npos) << record;
  EXPECT_NE(record.find("\"x64_pkg_md5\":\"" + rt.md5_64 + "\""), std::string::npos) << record;
  EXPECT_NE(record.find("\"pkg_size\":" + rt.filesize + ","), std::string::npos) << record;
  EXPECT_NE(record.find("\"error_code\":0,\"error_msg\":\"\""), std::string::npos) << record;
  EXPECT_EQ(server_.Requests("trackid").size(), 1u);
}

TEST_F(RunAnalyticsTest, AFailedLoadReportsItsTransferErrorAndAsksNoTrackId) {
  // The transfer itself fails: nothing listens on the runtime document's host.
  mgr_xml_host_down();
  OruMgr& mgr = OruMgr::Instance();
  InitAnalytics(kAnalyticsProject, kAnalyticsTrackingName, mgr.AnalyticsContextFor("en"));
  EXPECT_FALSE(mgr.LoadServerXml());
  Deliver();

  auto config = server_.Events("downloader_config");
  ASSERT_EQ(config.size(), 1u);
  EXPECT_EQ(config[0].record.find("\"error_code\":0,"), std::string::npos) << config[0].record;
  EXPECT_TRUE(server_.Requests("trackid").empty());
}

TEST_F(RunAnalyticsTest, ContextTakesTheServerNameOverTheLocalOneAndTheDeferredConsentFlag) {
  OruMgr& mgr = OruMgr::Instance();
  AnalyticsContext local = mgr.AnalyticsContextFor("de");
  EXPECT_EQ(local.product_name, mgr.product_config().ProductName);
  EXPECT_EQ(local.lang_code, "de");
  EXPECT_EQ(local.product_id, 1001);
  EXPECT_EQ(local.deferred_consent, mgr.product_config().PrivacyPost == "1");
  mgr.server_runtime().name = "Quorvane Studio Сервер";
  EXPECT_EQ(mgr.AnalyticsContextFor("de").product_name, "Quorvane Studio Сервер");
}

}  // namespace
}  // namespace oru::testing
