#include <gtest/gtest.h>

#include "common/json.h"
#include "download_engine/host_store.h"
#include "orchestrator/orchestrator_test_fixture.h"
#include "orchestrator/oru_mgr.h"
#include "probes/platform_facts.h"
#include "probes/system_registry.h"

namespace oru::testing {
namespace {

using product_server::Fault;

class LoadLocalXmlTest : public OrchestratorTest {};

std::vector<std::string> HeaderNames(const product_server::RequestRecord& r) {
  std::vector<std::string> names;
  for (const auto& [name, value] : r.headers) names.push_back(name + ": " + value);
  return names;
}

TEST_F(LoadLocalXmlTest, DemoProductLoadsRecordsAndAnnouncesItself) {
  OruMgr& mgr = OruMgr::Instance();
  ASSERT_TRUE(mgr.LoadLocalXml());
  const ProductConfig& config = mgr.product_config();
  EXPECT_EQ(config.ProductID, "1001");
  EXPECT_EQ(config.Dependents.size(), 2u);
  EXPECT_EQ(mgr.config_folder(), locations_.disk_roots[0] + "Quorvane/Download/");
  EXPECT_EQ(mgr.run_state_path(), mgr.config_folder() + "ORU_DOWNTASK_1001.xml");

  std::string sign = GetClientSign("Quorvane");
  ASSERT_EQ(sign.size(), 39u);
  ReportStore& report = ReportStore::Instance();
  EXPECT_EQ(report.Get("product_id"), "1001");
  EXPECT_EQ(report.Get("client_sign"), sign);
  EXPECT_EQ(report.Get("scene_code"), "demo");
  EXPECT_EQ(report.platform_origin(), Primary() + "/");
  EXPECT_EQ(report.BindRecords().at(1002).force, true);
  EXPECT_EQ(report.BindRecords().at(1003).force, false);

  // Token requests (the installed-product lookup asks for one too): headers
  // in their order, the fixed body.
  auto tokens = server_.Requests("token");
  ASSERT_FALSE(tokens.empty());
  std::vector<std::string> expected = {"X-Client-Type: 1", "Content-Type: application/json",
                                       "X-App-Key: 3f0a9c1e7b2d4e6f8a0b1c2d.demo", "X-Client-Sn: " + sign,
                                       "X-Prod-Id: 1001", "X-Prod-Ver: 1.1.1"};
  for (const auto& token : tokens) {
    size_t at = 0;
    for (const std::string& line : HeaderNames(token)) {
      if (at < expected.size() && line == expected[at]) ++at;
    }
    EXPECT_EQ(at, expected.size()) << "token headers in order";
    EXPECT_EQ(token.body, R"({"grant_type":"client_credentials","app_secret":"Wj7sLd2QhRv9NcTe5BxKp3ZyAm8GuFo6Iq"})");
  }

  // The announcement: the issued token, the product id as a number.
  auto series = server_.Requests("series");
  ASSERT_EQ(series.size(), 1u);
  EXPECT_EQ(series[0].body, R"({"product_id":1001,"client_sign":")" + sign + R"("})");
  EXPECT_EQ(series[0].Header("Content-Type"), "application/json");
  EXPECT_EQ(series[0].Header("Authorization").rfind("Bearer ", 0), 0u);
  EXPECT_GT(series[0].Header("Authorization").size(), std::string("Bearer ").size());
  EXPECT_EQ(log_.Count("[INFO] post info ok."), 1);

  // The log lines of the load, in their order.
  std::vector<std::string> lines = log_.Lines();
  std::vector<std::string> order = {"[INFO] LoadLocalXml", "[INFO] config folder=[",
                                    "[INFO] LoadLocalXml, EnableCustomStrategy=[0], StrategyName=[], NetworkTierBasis=[1]",
                                    "[INFO] LoadLocalXml, dependent.item pid=[1002].",
                                    "[INFO] LoadLocalXml, dependent.item pid=[1003].", "[INFO] post info ok."};
  size_t at = 0;
  for (const std::string& line : lines) {
    if (at < order.size() && line.find(order[at]) != std::string::npos) ++at;
  }
  EXPECT_EQ(at, order.size()) << "log lines in order";
}

TEST_F(LoadLocalXmlTest, ServicesElementPointsEveryClientAtTheVendorsServers) {
  ns_PEM::HostStoreConfig saved = ns_PEM::HostStore::Instance().config();
  ASSERT_TRUE(OruMgr::Instance().LoadLocalXml());
  ServiceEndpoints endpoints = GetServiceEndpoints();
  EXPECT_EQ(endpoints.api_primary, Primary());
  EXPECT_EQ(endpoints.api_secondary, "http://127.0.0.2:" + std::to_string(port_));
  EXPECT_EQ(endpoints.public_ip_services.size(), 2u);
  ns_PEM::HostStoreConfig dns = ns_PEM::HostStore::Instance().config();
  EXPECT_EQ(dns.http_dns.servers, std::vector<std::string>{Primary()});
  EXPECT_EQ(dns.http_dns.account_id, "quorvane-demo");
  ns_PEM::HostStore::Instance().SetConfig(saved);

  // Without the element the services in place stay (here: nothing listens,
  // so no test ever reaches the built-in hosts).
  OruMgr::Instance().ResetForTesting();
  ServiceEndpoints closed = DefaultServiceEndpoints();
  closed.api_primary = closed.api_secondary = "http://127.0.0.3:1";
  SetServiceEndpoints(closed);
  size_t open = xml_.find("<Services>");
  size_t close = xml_.find("</Services>") + std::string("</Services>").size();
  xml_.erase(open, close - open);
  WriteProductXml();
  ASSERT_TRUE(OruMgr::Instance().LoadLocalXml());
  EXPECT_EQ(GetServiceEndpoints().api_primary, "http://127.0.0.3:1");
  EXPECT_EQ(ns_PEM::HostStore::Instance().config().http_dns.servers, saved.http_dns.servers);
}

TEST_F(LoadLocalXmlTest, ChannelIsRecordedUnderTheAppIdOrTheProductId) {
  SetElement(xml_, "Channel", "spring");
  WriteProductXml();
  ASSERT_TRUE(OruMgr::Instance().LoadLocalXml());
  EXPECT_EQ(ReadDefaultChannel(), "spring");
  EXPECT_EQ(ReportStore::Instance().Get("defchannel"), "spring");
  RegKey key;
  ASSERT_EQ(ProcessRegistry().OpenKey(RegHive::kLocalMachine, "Software\\HlmQX", kKeyRead, RegView::k32Key, &key),
            kErrorSuccess);
  std::string value;
  EXPECT_EQ(key.QueryString("1001", kRegUnlimited, &value), kErrorSuccess);
  EXPECT_EQ(value, "spring");
}

// The announcement reaches the secondary API host whenever the primary
// does not answer with "code" 0.
TEST_F(LoadLocalXmlTest, AnnouncementSwitchesToTheSecondaryHost) {
  struct Case {
    const char* name;
    Fault fault;
  } cases[] = {{"502 page", Fault::Status(502).On("127.0.0.1")},
               {"code 401", Fault::ApiCode(401).On("127.0.0.1")},
               {"garbage", Fault::Garbage().On("127.0.0.1")}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    OruMgr::Instance().ResetForTesting();
    server_.ClearFaults();
    size_t before = server_.Requests("series").size();
    ASSERT_TRUE(server_.SetFault("series", c.fault));
    log_.Clear();
    ASSERT_TRUE(OruMgr::Instance().LoadLocalXml());
    auto series = server_.Requests("series");
    ASSERT_EQ(series.size(), before + 2);
    EXPECT_EQ(series[before].local_address, "127.0.0.1");
    EXPECT_EQ(series[before + 1].local_address, "127.0.0.2");
    EXPECT_EQ(series[before].body, series[before + 1].body);
    EXPECT_EQ(log_.Count("[INFO] post info ok."), 1);
  }
}

TEST_F(LoadLocalXmlTest, UnreachablePrimaryFallsBackAndBothDownIsOnlyLogged) {
  // Port 1 on 127.0.0.3: nothing listens there.
  ReplaceAllIn(xml_, "<ApiHost>" + Primary() + "</ApiHost>", "<ApiHost>http://127.0.0.3:1</ApiHost>");
  WriteProductXml();
  ASSERT_TRUE(OruMgr::Instance().LoadLocalXml());
  EXPECT_EQ(log_.Count("[INFO] post info ok."), 1);
  EXPECT_EQ(server_.Requests("series").size(), 1u);

  OruMgr::Instance().ResetForTesting();
  log_.Clear();
  ReplaceAllIn(xml_, "<ApiBackupHost>http://127.0.0.2:" + std::to_string(port_) + "</ApiBackupHost>",
               "<ApiBackupHost>http://127.0.0.3:1</ApiBackupHost>");
  WriteProductXml();
  EXPECT_TRUE(OruMgr::Instance().LoadLocalXml()) << "a failed announcement never fails the load";
  EXPECT_EQ(log_.Count("[ERROR] get token failed! result=[]."), 1);
  EXPECT_EQ(log_.Count("[ERROR] series PidDidInfo post info failed! result=[]."), 1);
}

TEST_F(LoadLocalXmlTest, NonNumericProductIdIsNotAnnounced) {
  SetElement(xml_, "ProductID", "10x1");
  WriteProductXml();
  ASSERT_TRUE(OruMgr::Instance().LoadLocalXml());
  EXPECT_EQ(log_.Count("[WARN] series announcement skipped, product id=[10x1] is not a number."), 1);
  EXPECT_TRUE(server_.Requests("series").empty());
}

TEST_F(LoadLocalXmlTest, BrokenDocumentsAreRefused) {
  struct Case {
    const char* xml;
    const char* line;
  } cases[] = {{"", "[ERROR] LoadLocalXml, size error!"},
               {"<Product><ProductName>x</Product>", "[ERROR] LoadLocalXml err 3"},
               {"<Products><ProductID>1</ProductID></Products>", "[ERROR] LoadLocalXml, not find product."}};
  for (const Case& c : cases) {
    xml_ = c.xml;
    WriteProductXml();
    log_.Clear();
    EXPECT_FALSE(OruMgr::Instance().LoadLocalXml()) << c.xml;
    EXPECT_EQ(log_.Count(c.line), 1) << c.xml;
  }
  EXPECT_TRUE(server_.Requests("series").empty());
}

TEST_F(LoadLocalXmlTest, RunStateRoundTripsThroughTheConfigurationFolder) {
  OruMgr& mgr = OruMgr::Instance();
  ASSERT_TRUE(mgr.LoadLocalXml());
  mgr.run_state().Status = "1";
  mgr.run_state().InstallPath = "/opt/Quorvane Studio";
  mgr.WriteRunConfig();
  ASSERT_TRUE(PathExists(mgr.run_state_path()));

  mgr.run_state() = RunState();
  mgr.ReadRunConfig();
  EXPECT_TRUE(mgr.run_state().resume);
  EXPECT_EQ(mgr.run_state().InstallPath, "/opt/Quorvane Studio/");

  mgr.SetForkMode(true);
  mgr.DeleteRunConfig();
  EXPECT_TRUE(PathExists(mgr.run_state_path())) << "a fork copy leaves the normal run's state alone";
  mgr.SetForkMode(false);
  mgr.DeleteRunConfig();
  EXPECT_FALSE(PathExists(mgr.run_state_path()));
  EXPECT_FALSE(mgr.run_state().resume);
}

}  // namespace
}  // namespace oru::testing
