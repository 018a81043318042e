// The strategy services and the tracking report against the reference
// product server.
#include <gtest/gtest.h>

#include <filesystem>

#include "common/json.h"
#include "platform/file_util.h"
#include "platform/locations.h"
#include "platform/system_info.h"
#include "probes/platform_facts.h"
#include "product_server/product_server.h"
#include "server_api/service_endpoints.h"
#include "server_api/strategy_services.h"
#include "support/log_capture.h"
#include "support/scoped_temp_dir.h"
#include "support/test_clock.h"
#include "telemetry/report_store.h"
#include "telemetry/track_report.h"

namespace oru {
namespace {

using product_server::Fault;
using product_server::ProductServer;

class ProductApiTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Locations loc;
    loc.temp_dir = dir_.path() + "/tmp/";
    loc.registry_dir = dir_.path() + "/registry/";
    CreateDirectoryLevels(loc.temp_dir);
    CreateDirectoryLevels(loc.registry_dir);
    SetProcessLocationsForTesting(loc);
    SetMachineFactsForTesting(MachineFacts());
    product_server::ServerConfig config = product_server::DemoConfig(std::string());
    config.port = 0;
    std::string error;
    ASSERT_TRUE(server_.Start(config, &error)) << error;
    ServiceEndpoints endpoints = DefaultServiceEndpoints();
    endpoints.api_primary = server_.base_url(0);
    endpoints.api_secondary = server_.base_url(1);
    endpoints.platform_origin = server_.base_url(0) + "/";
    SetServiceEndpoints(endpoints);
    ResetStrategyCachesForTesting();
    ReportStore::Instance().ResetForTesting();
  }

  void TearDown() override {
    server_.Stop();
    SetServiceEndpoints(DefaultServiceEndpoints());
    SetStrategyTimeoutForTesting(std::chrono::seconds(5));
    ResetStrategyCachesForTesting();
    ReportStore::Instance().ResetForTesting();
  }

  testing::ScopedTempDir dir_;
  testing::LogCapture log_;
  ProductServer server_;
  const std::string sign_ = "{0123abcd-0000-4000-8000-00000000000aG}";
};

TEST_F(ProductApiTest, StrategyServicesAskTheSecondaryHostOnceAndCache) {
  std::vector<int32_t> ids = GetRelationProductIds(1001, sign_);
  EXPECT_EQ(ids, (std::vector<int32_t>{1001, 1000}));
  PreheatConfig preheat = GetPreheatConfig(1001, 1 << 20, sign_, "fast lane");
  EXPECT_TRUE(preheat.enabled);
  EXPECT_EQ(preheat.max_probe_time_s, 3);
  SliceStrategy slice = GetSliceStrategy(1001, 1 << 20, 12.5, true, "fast lane", 1, sign_);
  EXPECT_TRUE(slice.valid);
  EXPECT_EQ(slice.slice_count, 8);
  EXPECT_EQ(slice.network_tier_label, "loopback");
  std::vector<std::string> hosts = GetDownloadAliasHosts(1001, "5.2.0", sign_);
  EXPECT_EQ(hosts, std::vector<std::string>{"127.0.0.2:" + std::to_string(server_.port())});

  // Every call went to the secondary host with a freshly issued token.
  for (const char* endpoint : {"relation", "preheat", "slice", "alias"}) {
    auto seen = server_.Requests(endpoint);
    ASSERT_EQ(seen.size(), 1u) << endpoint;
    EXPECT_EQ(seen[0].local_address, "127.0.0.2") << endpoint;
    EXPECT_EQ(seen[0].status, 200) << endpoint;
  }
  auto preheat_request = server_.Requests("preheat")[0];
  EXPECT_EQ(preheat_request.query, "pid=1001&package_size=1048576&strategy_name=fast%20lane");
  auto alias_request = server_.Requests("alias")[0];
  EXPECT_EQ(alias_request.Header("X-Prod-Ver"), "5.2.0");
  EXPECT_EQ(alias_request.Header("X-Client-Sn"), sign_);

  // Second calls come from the caches, whatever their other arguments.
  EXPECT_EQ(GetRelationProductIds(1001, sign_), ids);
  EXPECT_EQ(GetPreheatConfig(1001, 5, sign_, "other").max_probe_time_s, 3);
  EXPECT_EQ(GetSliceStrategy(1001, 5, 99.0, false, "", 2, sign_).slice_count, 8);
  EXPECT_EQ(GetDownloadAliasHosts(1001, "5.2.0", sign_), hosts);
  for (const char* endpoint : {"relation", "preheat", "slice", "alias"}) {
    EXPECT_EQ(server_.Requests(endpoint).size(), 1u) << endpoint << " answered from the cache";
  }
  EXPECT_EQ(log_.Count("[INFO] GetSliceStrategy, use cache"), 1);
}

TEST_F(ProductApiTest, ApiErrorsAndTimeoutsGiveDefaultsAndAreAskedAgain) {
  struct Case {
    const char* name;
    Fault fault;
    const char* preheat_line;
  } cases[] = {
      {"api code", Fault::ApiCode(500), "[WARN] GetPreheatConfig, api error, product_id=[1001]"},
      {"error page", Fault::Status(502), "[WARN] GetPreheatConfig, api error, product_id=[1001]"},
      {"timeout", Fault::Delay(1500), "[WARN] GetPreheatConfig, timeout (5s), skip. product_id=[1001]"},
  };
  SetStrategyTimeoutForTesting(std::chrono::milliseconds(300));
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    server_.ClearFaults();
    ResetStrategyCachesForTesting();
    for (const char* endpoint : {"relation", "preheat", "slice", "alias"}) {
      ASSERT_TRUE(server_.SetFault(endpoint, c.fault));
    }
    log_.Clear();
    if (std::string(c.name) != "timeout") {
      EXPECT_TRUE(GetRelationProductIds(1001, sign_).empty());
    }
    EXPECT_FALSE(GetPreheatConfig(1001, 1, sign_, "").enabled);
    EXPECT_FALSE(GetSliceStrategy(1001, 1, 1.0, false, "", 1, sign_).valid);
    EXPECT_TRUE(GetDownloadAliasHosts(1001, "5.2.0", sign_).empty());
    EXPECT_EQ(log_.Count(c.preheat_line), 1) << c.preheat_line;

    // Nothing was cached: once the server answers, the next call asks.
    server_.ClearFaults();
    EXPECT_TRUE(GetPreheatConfig(1001, 1, sign_, "").enabled);
    EXPECT_TRUE(GetSliceStrategy(1001, 1, 1.0, false, "", 1, sign_).valid);
  }
}

TEST_F(ProductApiTest, TrackingReportReachesTheServerEqualToItsLocalCopy) {
  ReportStore& store = ReportStore::Instance();
  store.SetReportEnabled(true);
  store.SetReportText("product_id", "1001");
  store.SetReportText("client_sign", sign_);
  store.SetReportText("channel", "spring");
  store.SetReportText("selectlang", "中文简体");
  store.AddRemark("filemd5_1001", "0123456789abcdef0123456789abcdef", true);
  store.SetBindForce(1002, true);
  std::vector<TaskReportInput> tasks(1);
  tasks[0].product_id = 1001;
  tasks[0].package_size = 3 << 20;
  tasks[0].down_start = 1767225600;
  tasks[0].down_end = 1767225630;
  tasks[0].down_status = 3;
  tasks[0].install_status = 3;
  testing::TestClock clock;
  ASSERT_TRUE(CollectTaskReport(tasks, false, "5.2.0", clock));
  SendTrackReport(false, clock);

  auto received = server_.TrackReports();
  ASSERT_EQ(received.size(), 1u);
  EXPECT_EQ(received[0].client_sign, sign_);
  std::string copy_path;
  for (const auto& e : std::filesystem::directory_iterator(dir_.path() + "/tmp")) {
    if (e.path().filename().string().rfind("ORU_1001_T", 0) == 0) copy_path = e.path().string();
  }
  ASSERT_FALSE(copy_path.empty()) << "local copy written";
  std::string copy;
  ASSERT_TRUE(ReadWholeFile(copy_path, copy));
  auto sent = JsonDocument::Parse(received[0].body);
  auto local = JsonDocument::Parse(copy);
  ASSERT_TRUE(sent && local);
  EXPECT_EQ(sent->root().Print(), local->root().Print()) << "field by field, in order";
  EXPECT_EQ(sent->root().Get("downstate").String(), "1000");
  EXPECT_EQ(sent->root().Get("installstate").String(), "2000");
  EXPECT_EQ(sent->root().Get("selectlang").String(), "中文简体");
  EXPECT_EQ(sent->root().Get("bindtasks").String(), "1002,1");
  EXPECT_EQ(sent->root().Get("is_first_install").Integer(), 1);
}

}  // namespace
}  // namespace oru
