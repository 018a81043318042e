#include "telemetry/track_id.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "product_server/product_server.h"
#include "product_server/server_config.h"
#include "server_api/service_endpoints.h"
#include "support/log_capture.h"
#include "support/scoped_temp_dir.h"
#include "support/test_clock.h"

namespace oru {
namespace {

using product_server::Fault;
using testing::LogCapture;
using testing::ScopedTempDir;
using testing::TestClock;

bool IsLowerHex32(const std::string& text) {
  if (text.size() != 32) return false;
  for (char c : text) {
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  }
  return true;
}

class TrackIdTest : public ::testing::Test {
 protected:
  void SetUp() override {
    product_server::ServerConfig config = product_server::DemoConfig(dir_.Child("packages"));
    config.port = 0;
    std::string error;
    ASSERT_TRUE(server_.Start(config, &error)) << error;
    ServiceEndpoints endpoints = DefaultServiceEndpoints();
    endpoints.platform_origin = server_.base_url() + "/";
    SetServiceEndpoints(endpoints);
  }
  void TearDown() override {
    server_.Stop();
    SetServiceEndpoints(DefaultServiceEndpoints());
  }

  ScopedTempDir dir_;
  TestClock clock_;
  LogCapture log_;
  product_server::ProductServer server_;
};

TEST_F(TrackIdTest, KnownProductGetsTheServersId) {
  const std::string tid = RequestTrackId("1001", clock_);
  EXPECT_TRUE(IsLowerHex32(tid)) << tid;
  const auto requests = server_.Requests("trackid");
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].path, "/api/v1/prodweb/trk");
  EXPECT_EQ(requests[0].query, "pid=1001&os=Windows");
  EXPECT_EQ(log_.Count("[INFO] get tid: " + server_.base_url() + "/api/v1/prodweb/trk?pid=1001&os=Windows"), 1);
  ASSERT_EQ(log_.Count("[INFO] response tid: "), 1);
  EXPECT_NE(log_.Matching("[INFO] response tid: ")[0].find(tid), std::string::npos);
  EXPECT_EQ(log_.Count("generate local tid"), 0) << log_.All();
}

// Every answer that is not a code-0 object with a "data" text gives a local id.
TEST_F(TrackIdTest, AnythingButAGoodAnswerGivesALocalId) {
  struct Case {
    const char* name;
    std::string pid;
    std::vector<Fault> faults;
  };
  const std::vector<Case> cases = {
      {"garbage body", "1001", {Fault::Garbage()}},
      {"non-zero code", "1001", {Fault::ApiCode(7)}},
      {"server error", "1001", {Fault::Status(500)}},
      {"dropped mid-answer", "1001", {Fault::DropAfter(5)}},
      {"unknown product (404 code)", "4242", {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    server_.ClearFaults();
    for (const Fault& f : c.faults) ASSERT_TRUE(server_.SetFault("trackid", f));
    log_.Clear();
    const std::string tid = RequestTrackId(c.pid, clock_);
    EXPECT_TRUE(IsLowerHex32(tid)) << tid;
    const auto lines = log_.Matching("[INFO] generate local tid: pid=[" + c.pid + "], timestamp=[1704067200], random=[");
    ASSERT_EQ(lines.size(), 1u) << log_.All();
    EXPECT_NE(lines[0].find("tid=[" + tid + "]"), std::string::npos) << lines[0];
  }
}

TEST_F(TrackIdTest, UnreachableHostGivesALocalId) {
  server_.Stop();
  const std::string tid = RequestTrackId("1001", clock_);
  EXPECT_TRUE(IsLowerHex32(tid)) << tid;
  EXPECT_EQ(log_.Count("[INFO] generate local tid: pid=[1001]"), 1) << log_.All();
}

TEST_F(TrackIdTest, ProductIdIsPercentEncodedInTheQuery) {
  RequestTrackId("a b&os=Linux", clock_);
  const auto requests = server_.Requests("trackid");
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].query, "pid=a%20b%26os%3DLinux&os=Windows");
}

TEST(LocalTrackIdTest, IsTheLowerCaseMd5OfPidTimeAndRandom) {
  EXPECT_EQ(LocalTrackId("1001", 1704067200u, 7u), "52d03ad05ef517fbd314d0443b930c8a");
  EXPECT_EQ(LocalTrackId("a b&c", 1u, 2u), "a1e0933d248c00db60692cd193c27e9b");
}

}  // namespace
}  // namespace oru
