#include "server_api/strategy_services.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "common/json.h"
#include "platform/locations.h"
#include "platform/system_info.h"
#include "server_api/service_endpoints.h"
#include "support/scoped_ca_bundle.h"
#include "support/http_test_server.h"
#include "support/log_capture.h"
#include "support/test_ca.h"
#include "support/test_clock.h"

namespace oru {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using testing::Fault;
using testing::HttpRequest;
using testing::HttpResponse;
using testing::HttpServerOptions;
using testing::HttpTestServer;
using testing::LogCapture;
using testing::RequestRecord;
using testing::TestCa;
using testing::TestClock;
using namespace std::chrono_literals;

constexpr const char* kPreheatPath = "/v3/downloader/strategy/preheat";
constexpr const char* kSlicePath = "/v3/downloader/strategy";
constexpr const char* kAliasPath = "/v5/product/download-alias-host";
constexpr const char* kTokenPath = "/v3/user/client/token";

using testing::ScopedCaBundle;

HttpResponse Json(std::string body) {
  HttpResponse r;
  r.body = std::move(body);
  r.content_type = "application/json";
  return r;
}

// The token service on the primary API host (127.0.0.1) hands out "tok-1",
// "tok-2", ...; the strategy services answer on the secondary one
// (127.0.0.2) with what each test sets.
class StrategyServicesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(server_.ok()) << server_.error();
    saved_endpoints_ = GetServiceEndpoints();
    ServiceEndpoints endpoints = saved_endpoints_;
    endpoints.api_primary = server_.UrlOn("127.0.0.1", "");
    endpoints.api_secondary = server_.UrlOn("127.0.0.2", "");
    SetServiceEndpoints(endpoints);
    saved_facts_ = GetMachineFacts();
    ResetStrategyCachesForTesting();
    server_.SetHandler("POST", kTokenPath, [this](const HttpRequest&) {
      return Json(R"({"code":0,"data":{"access_token":"tok-)" + std::to_string(++tokens_) + R"("}})");
    });
  }
  void TearDown() override {
    ResetStrategyCachesForTesting();
    SetStrategyTimeoutForTesting(0ms);
    SetProbeTimingForTesting(nullptr, 0ms);
    SetMachineFactsForTesting(saved_facts_);
    SetServiceEndpoints(saved_endpoints_);
  }

  void Answer(const std::string& path, const std::string& body) {
    server_.SetHandler("GET", path, [body](const HttpRequest&) { return Json(body); });
  }
  void SetPlatform(bool wow64, CpuArchitecture native) {
    MachineFacts facts = saved_facts_;
    facts.wow64 = wow64;
    facts.native = native;
    SetMachineFactsForTesting(facts);
  }

  std::atomic<int> tokens_{0};
  HttpTestServer server_{HttpServerOptions().Addresses({"127.0.0.1", "127.0.0.2"}).Threads(8)};
  LogCapture log_;
  ServiceEndpoints saved_endpoints_;
  MachineFacts saved_facts_;
};

// Answers that carry "code":0 somewhere but are no success, or the reverse.
const std::vector<std::string>& FailedAnswers() {
  static const std::vector<std::string> answers = {
      R"({"code": 0,"data":{"slice_count":4}})",                   // spacing the service never writes
      R"({"code":1,"data":{"nested":{"code":0},"slice_count":4}})",  // a nested "code":0
      R"({"code":"0","data":{"slice_count":4}})",
      R"(<html>"code":0</html>)",
      R"({"code":500,"msg":"internal"})",
  };
  return answers;
}

// --------------------------------------------------------------- relations

TEST_F(StrategyServicesTest, RelationIdsComeFromTheSecondaryHostWithAFreshToken) {
  Answer("/v5/product/get-relation-pid/1001", R"({"code":0,"data":[2002,3003]})");
  EXPECT_THAT(GetRelationProductIds(1001, "{sn-G}"), ElementsAre(2002, 3003));
  auto requests = server_.RequestsFor("/v5/product/get-relation-pid/1001");
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].local_address, "127.0.0.2");
  EXPECT_EQ(requests[0].method, "GET");
  EXPECT_EQ(requests[0].Header("Authorization"), "Bearer tok-1");
  auto tokens = server_.RequestsFor(kTokenPath);
  ASSERT_EQ(tokens.size(), 1u);
  EXPECT_EQ(tokens[0].Header("X-Prod-Id"), "1001");
  EXPECT_EQ(tokens[0].Header("X-Client-Sn"), "{sn-G}");
  EXPECT_EQ(tokens[0].Header("X-Prod-Ver"), "1.1.1");
  EXPECT_EQ(log_.Count("[INFO] GetRelationProductIds, url=[" + server_.UrlOn("127.0.0.2", "") +
                       "/v5/product/get-relation-pid/1001]"),
            1);
  EXPECT_EQ(log_.Count("[INFO] GetRelationProductIds, response=[{\"code\":0,\"data\":[2002,3003]}]"), 1);
  EXPECT_EQ(log_.Count("[INFO] GetRelationProductIds, success, product_id=[1001], relation_count=[2]"), 1);
  EXPECT_EQ(log_.Count("[INFO] GetRelationProductIds, cache saved, product_id=[1001]"), 1);

  log_.Clear();
  EXPECT_THAT(GetRelationProductIds(1001, "{sn-G}"), ElementsAre(2002, 3003));
  EXPECT_EQ(server_.RequestCount("/v5/product/get-relation-pid/1001"), 1);
  EXPECT_EQ(server_.RequestCount(kTokenPath), 1) << "a cached answer needs no token";
  EXPECT_EQ(log_.Count("[INFO] GetRelationProductIds, use cache, product_id=[1001], relation_count=[2]"), 1);
}

TEST_F(StrategyServicesTest, RelationAnswersKeepOnlyPositiveWholeIds) {
  struct Case {
    std::string answer;
    std::vector<int32_t> ids;
    bool success_line;  // the array was found
  };
  const std::vector<Case> cases = {
      {R"({"code":0,"data":[123, 456,0,-7]})", {123, 456}, true},
      {R"({"code":0,"data":["789",1.5,5,2147483648,1e3,null,[8]]})", {5, 1000}, true},
      {R"({"code":0,"data":[]})", {}, true},
      {R"({"code":0,"data":"123"})", {}, false},
      {R"({"code":0})", {}, false},
  };
  for (const Case& c : cases) {
    ResetStrategyCachesForTesting();
    server_.ClearLog();
    log_.Clear();
    Answer("/v5/product/get-relation-pid/7", c.answer);
    EXPECT_EQ(GetRelationProductIds(7, "sn"), c.ids) << c.answer;
    EXPECT_EQ(log_.Count("GetRelationProductIds, success, product_id=[7], relation_count=[" +
                         std::to_string(c.ids.size()) + "]"),
              c.success_line ? 1 : 0)
        << c.answer << "\n" << log_.All();
    // Only an answer with ids is kept: the others are asked for again.
    GetRelationProductIds(7, "sn");
    EXPECT_EQ(server_.RequestCount("/v5/product/get-relation-pid/7"), c.ids.empty() ? 2 : 1) << c.answer;
  }
}

TEST_F(StrategyServicesTest, RelationServiceErrorsAreLoggedAndNotCached) {
  for (const std::string& answer : FailedAnswers()) {
    ResetStrategyCachesForTesting();
    log_.Clear();
    Answer("/v5/product/get-relation-pid/8", answer);
    EXPECT_THAT(GetRelationProductIds(8, "sn"), IsEmpty()) << answer;
    EXPECT_EQ(log_.Count("[WARN] GetRelationProductIds, api error, product_id=[8], response=[" + answer + "]"), 1)
        << log_.All();
  }
  Answer("/v5/product/get-relation-pid/8", R"({"code":0,"data":[9]})");
  EXPECT_THAT(GetRelationProductIds(8, "sn"), ElementsAre(9));
}

TEST_F(StrategyServicesTest, RelationCacheServesSeveralThreads) {
  Answer("/v5/product/get-relation-pid/5", R"({"code":0,"data":[6]})");
  std::vector<std::vector<int32_t>> results(4);
  std::vector<std::thread> threads;
  for (auto& result : results) {
    threads.emplace_back([&result] { result = GetRelationProductIds(5, "sn"); });
  }
  for (auto& t : threads) t.join();
  for (const auto& result : results) EXPECT_THAT(result, ElementsAre(6));
}

// ----------------------------------------------------------------- preheat

TEST_F(StrategyServicesTest, PreheatRequestEncodesTheStrategyNameAndReadsTypedFields) {
  Answer(kPreheatPath,
         R"({"code":0,"data":{"preheat_file_size_mb":5,"max_probe_time_s":3,"version":"v2","hit_strategy":true}})");
  const PreheatConfig config = GetPreheatConfig(1234, 52428800, "{sn-G}", "fast net&x=1");
  EXPECT_EQ(config.preheat_file_size_mb, 5);
  EXPECT_EQ(config.max_probe_time_s, 3);
  EXPECT_EQ(config.version, "v2");
  EXPECT_TRUE(config.hit_strategy);
  EXPECT_TRUE(config.enabled);
  auto requests = server_.RequestsFor(kPreheatPath);
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].local_address, "127.0.0.2");
  EXPECT_EQ(requests[0].target,
            "/v3/downloader/strategy/preheat?pid=1234&package_size=52428800&strategy_name=fast%20net%26x%3D1");
  EXPECT_EQ(requests[0].Param("strategy_name"), "fast net&x=1");
  EXPECT_EQ(requests[0].Header("Authorization"), "Bearer tok-1");
  EXPECT_EQ(log_.Count("[INFO] GetPreheatConfig, success, product_id=[1234], preheat_file_size_mb=[5], "
                       "max_probe_time_s=[3], version=[v2], hit_strategy=[1]"),
            1)
      << log_.All();

  log_.Clear();
  EXPECT_EQ(GetPreheatConfig(1234, 1, "{sn-G}", "other").preheat_file_size_mb, 5);
  EXPECT_EQ(server_.RequestCount(kPreheatPath), 1);
  EXPECT_EQ(server_.RequestCount(kTokenPath), 1);
  EXPECT_EQ(log_.Count("[INFO] GetPreheatConfig, use cache, product_id=[1234], preheat_file_size_mb=[5], "
                       "max_probe_time_s=[3], hit_strategy=[1]"),
            1);
}

TEST_F(StrategyServicesTest, PreheatFieldsOfTheWrongKindReadAsDefaults) {
  struct Case {
    std::string data;
    int32_t size_mb;
    int32_t time_s;
    bool hit;
    bool enabled;
  };
  const std::vector<Case> cases = {
      {R"({"preheat_file_size_mb":8,"max_probe_time_s":0,"hit_strategy":true})", 8, 0, true, false},
      {R"({"preheat_file_size_mb":-5,"max_probe_time_s":"3","hit_strategy":"true"})", 0, 0, false, false},
      {R"({"preheat_file_size_mb":2.9,"max_probe_time_s":1,"hit_strategy":false})", 2, 1, false, true},
      {R"({"preheat_file_size_mb":4294967296,"max_probe_time_s":2})", 0, 2, false, true},
  };
  for (const Case& c : cases) {
    ResetStrategyCachesForTesting();
    Answer(kPreheatPath, R"({"code":0,"data":)" + c.data + "}");
    const PreheatConfig config = GetPreheatConfig(1, 1, "sn", "s");
    EXPECT_EQ(config.preheat_file_size_mb, c.size_mb) << c.data;
    EXPECT_EQ(config.max_probe_time_s, c.time_s) << c.data;
    EXPECT_EQ(config.hit_strategy, c.hit) << c.data;
    EXPECT_EQ(config.enabled, c.enabled) << c.data;
  }
}

TEST_F(StrategyServicesTest, PreheatFailuresGiveTheDefaultAndAreAskedAgain) {
  std::vector<std::string> answers = FailedAnswers();
  answers.push_back(R"({"code":0})");
  answers.push_back(R"({"code":0,"data":null})");
  for (const std::string& answer : answers) {
    ResetStrategyCachesForTesting();
    server_.ClearLog();
    log_.Clear();
    Answer(kPreheatPath, answer);
    const PreheatConfig config = GetPreheatConfig(42, 700, "sn", "s");
    EXPECT_EQ(config.preheat_file_size_mb, 0) << answer;
    EXPECT_FALSE(config.enabled) << answer;
    const bool api_error = answer.find("\"code\":0") == std::string::npos || ReadApiCode(answer) != 0;
    EXPECT_EQ(log_.Count("[WARN] GetPreheatConfig, api error, product_id=[42], package_size_mb=[700], curl_code=[0], "
                         "response=[" + answer + "]"),
              api_error ? 1 : 0)
        << log_.All();
    EXPECT_THAT(log_.Matching("GetPreheatConfig, success"), IsEmpty()) << answer;
    GetPreheatConfig(42, 700, "sn", "s");
    EXPECT_EQ(server_.RequestCount(kPreheatPath), 2) << answer;
  }
}

TEST_F(StrategyServicesTest, PreheatTimeoutSkipsWithTheDefault) {
  SetStrategyTimeoutForTesting(200ms);
  Answer(kPreheatPath, R"({"code":0,"data":{"preheat_file_size_mb":5,"max_probe_time_s":3}})");
  const int fault = server_.AddFault(kPreheatPath, Fault::Delay(10s));
  EXPECT_FALSE(GetPreheatConfig(42, 700, "sn", "s").enabled);
  EXPECT_EQ(log_.Count("[WARN] GetPreheatConfig, timeout (5s), skip. product_id=[42], package_size_mb=[700]"), 1)
      << log_.All();
  EXPECT_THAT(log_.Matching("GetPreheatConfig, api error"), IsEmpty());
  server_.RemoveFault(fault);
  SetStrategyTimeoutForTesting(0ms);
  EXPECT_TRUE(GetPreheatConfig(42, 700, "sn", "s").enabled) << "a timeout is not cached";
}

// ------------------------------------------------------------------- slice

constexpr const char* kSliceAnswer =
    R"({"code":0,"data":{"slice_count":12,"concurrency":6,"slice_upper_limit":48,"target_slice_size":4194304,)"
    R"("version":"s3","hit_strategy":true,"network_tier_label":"fast","package_tier_min_mb":100,)"
    R"("package_tier_max_mb":"500"}})";

TEST_F(StrategyServicesTest, SliceRequestAndTypedFields) {
  Answer(kSlicePath, kSliceAnswer);
  const SliceStrategy s = GetSliceStrategy(77, 1000, 3.14159, true, "s n/1", 2, "{sn-G}");
  EXPECT_TRUE(s.valid);
  EXPECT_EQ(s.slice_count, 12);
  EXPECT_EQ(s.concurrency, 6);
  EXPECT_EQ(s.slice_upper_limit, 48);
  EXPECT_EQ(s.target_slice_size, 4194304);
  EXPECT_EQ(s.version, "s3");
  EXPECT_TRUE(s.hit_strategy);
  EXPECT_EQ(s.network_tier_label, "fast");
  EXPECT_EQ(s.package_tier_min_mb, "") << "a number where a text belongs reads empty";
  EXPECT_EQ(s.package_tier_max_mb, "500");
  auto requests = server_.RequestsFor(kSlicePath);
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].target,
            "/v3/downloader/strategy?pid=77&throughput_mbps=3.14&package_size=1000&enable_custom_strategy=1"
            "&strategy_name=s%20n%2F1&network_tier_basis=2");
  EXPECT_EQ(requests[0].Header("Authorization"), "Bearer tok-1");
  EXPECT_EQ(log_.Count("[INFO] GetSliceStrategy, success, product_id=[77], slice_count=[12], concurrency=[6], "
                       "slice_upper_limit=[48], target_slice_size=[4194304], version=[s3], hit_strategy=[1], "
                       "network_tier=[fast], package_tier_min_mb=[], package_tier_max_mb=[500]"),
            1)
      << log_.All();

  // The product alone is the key: other inputs get the first answer.
  log_.Clear();
  EXPECT_EQ(GetSliceStrategy(77, 5, 99.0, false, "x", 0, "{sn-G}").slice_count, 12);
  EXPECT_EQ(server_.RequestCount(kSlicePath), 1);
  EXPECT_EQ(log_.Count("[INFO] GetSliceStrategy, use cache, product_id=[77], slice_count=[12], concurrency=[6], "
                       "hit_strategy=[1]"),
            1);
}

TEST_F(StrategyServicesTest, SliceFailuresAndTimeoutGiveAnInvalidStrategy) {
  for (const std::string& answer : FailedAnswers()) {
    ResetStrategyCachesForTesting();
    log_.Clear();
    Answer(kSlicePath, answer);
    EXPECT_FALSE(GetSliceStrategy(3, 10, 1.5, false, "s", 1, "sn").valid) << answer;
    EXPECT_EQ(log_.Count("[WARN] GetSliceStrategy, api error, product_id=[3], throughput_mbps=[1.50], "
                         "package_size_mb=[10], curl_code=[0], response=[" + answer + "]"),
              1)
        << log_.All();
  }
  SetStrategyTimeoutForTesting(200ms);
  Answer(kSlicePath, kSliceAnswer);
  const int fault = server_.AddFault(kSlicePath, Fault::Delay(10s));
  EXPECT_FALSE(GetSliceStrategy(3, 10, 1.5, false, "s", 1, "sn").valid);
  EXPECT_EQ(log_.Count("[WARN] GetSliceStrategy, timeout (5s), skip. product_id=[3], throughput_mbps=[1.50], "
                       "package_size_mb=[10]"),
            1)
      << log_.All();
  server_.RemoveFault(fault);
  SetStrategyTimeoutForTesting(0ms);
  EXPECT_TRUE(GetSliceStrategy(3, 10, 1.5, false, "s", 1, "sn").valid);
}

// ------------------------------------------------------------- alias hosts

TEST_F(StrategyServicesTest, AliasRequestCarriesVersionPlatformAndHeaders) {
  EXPECT_THAT(DownloadAliasHostHeaders(55, "tk", "2.0", "{sn}"),
              ElementsAre("Content-Type: application/json", "Authorization: Bearer tk", "X-Prod-Id: 55",
                          "X-Prod-Ver: 2.0", "X-Client-Type: 1", "X-Client-Sn: {sn}"));
  SetPlatform(true, CpuArchitecture::kX64);
  Answer(kAliasPath, R"({"code":0,"data":["cdn1.example.com"]})");
  EXPECT_THAT(GetDownloadAliasHosts(55, "2.0 beta&x", "{sn-G}"), ElementsAre("cdn1.example.com"));
  auto requests = server_.RequestsFor(kAliasPath);
  ASSERT_EQ(requests.size(), 1u);
  const RequestRecord& r = requests[0];
  EXPECT_EQ(r.local_address, "127.0.0.2");
  EXPECT_EQ(r.target, "/v5/product/download-alias-host?pid=55&version=2.0%20beta%26x&platform=2");
  EXPECT_EQ(r.Header("Content-Type"), "application/json");
  EXPECT_EQ(r.Header("Authorization"), "Bearer tok-1");
  EXPECT_EQ(r.Header("X-Prod-Id"), "55");
  EXPECT_EQ(r.Header("X-Prod-Ver"), "2.0 beta&x");
  EXPECT_EQ(r.Header("X-Client-Type"), "1");
  EXPECT_EQ(r.Header("X-Client-Sn"), "{sn-G}");
  auto tokens = server_.RequestsFor(kTokenPath);
  ASSERT_EQ(tokens.size(), 1u);
  EXPECT_EQ(tokens[0].Header("X-Prod-Ver"), "2.0 beta&x");
  EXPECT_EQ(log_.Count("[INFO] GetDownloadAliasHosts, success, product_id=[55], version=[2.0 beta&x], platform=[2], "
                       "host_count=[1]"),
            1)
      << log_.All();

  // Without a version the token and the header fall back to "1.1.1".
  EXPECT_THAT(GetDownloadAliasHosts(55, "", "{sn-G}"), ElementsAre("cdn1.example.com"));
  requests = server_.RequestsFor(kAliasPath);
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[1].target, "/v5/product/download-alias-host?pid=55&version=&platform=2");
  EXPECT_EQ(requests[1].Header("X-Prod-Ver"), "1.1.1");
  EXPECT_EQ(server_.RequestsFor(kTokenPath).back().Header("X-Prod-Ver"), "1.1.1");
}

TEST_F(StrategyServicesTest, AliasPlatformNumberAndCacheKey) {
  struct Case {
    bool wow64;
    CpuArchitecture native;
    int platform;
  };
  const std::vector<Case> cases = {
      {false, CpuArchitecture::kX86, 1},
      {true, CpuArchitecture::kX64, 2},
      {true, CpuArchitecture::kArm64, 8},
  };
  Answer(kAliasPath, R"({"code":0,"data":["a.example.com","b.example.com"]})");
  for (const Case& c : cases) {
    SetPlatform(c.wow64, c.native);
    server_.ClearLog();
    log_.Clear();
    GetDownloadAliasHosts(9, "1.0", "sn");
    auto requests = server_.RequestsFor(kAliasPath);
    ASSERT_EQ(requests.size(), 1u) << c.platform;
    EXPECT_EQ(requests[0].Param("platform"), std::to_string(c.platform));
    EXPECT_THAT(GetDownloadAliasHosts(9, "1.0", "sn"), ElementsAre("a.example.com", "b.example.com"));
    EXPECT_EQ(server_.RequestCount(kAliasPath), 1);
    EXPECT_EQ(log_.Count("[INFO] GetDownloadAliasHosts, use cache, key=[9_1.0_" + std::to_string(c.platform) +
                         "], host_count=[2]"),
              1)
        << log_.All();
  }
  GetDownloadAliasHosts(9, "1.1", "sn");
  EXPECT_EQ(server_.RequestCount(kAliasPath), 2) << "another version is another key";
}

TEST_F(StrategyServicesTest, AliasHostsAreReducedToPlausibleHostNames) {
  Answer(kAliasPath,
         R"({"code":0,"data":[" https://cdn1.example.com/pkg/a.exe ","http://cdn2.example.com:8080/x",)"
         R"("\tcdn3.example.com\r\n","\"cdn4.example.com\"","cdn_5.example.com","evil.com@attacker",)"
         R"("bad host","cdn6.example.com:99999","cdn7.example.com:","[::1]:80","https://","",)"
         R"("a.example.com?x=1",42,null]})");
  EXPECT_THAT(GetDownloadAliasHosts(1, "1.0", "sn"),
              ElementsAre("cdn1.example.com", "cdn2.example.com:8080", "cdn3.example.com", "cdn4.example.com",
                          "cdn_5.example.com"));
  EXPECT_EQ(log_.Count("[WARN] GetDownloadAliasHosts, host dropped, host=[evil.com@attacker]"), 1) << log_.All();
  EXPECT_EQ(log_.Count("GetDownloadAliasHosts, host dropped"), 6) << log_.All();
}

TEST_F(StrategyServicesTest, AliasFailuresAreLoggedOnceAndNotCached) {
  struct Case {
    std::string answer;
    std::string line;
  };
  const std::vector<Case> cases = {
      {R"({"code":0,"data":[]})", "[WARN] GetDownloadAliasHosts, empty data, product_id=[4], version=[3.0]"},
      {R"({"code":0,"data":["bad host"]})", "[WARN] GetDownloadAliasHosts, empty data, product_id=[4], version=[3.0]"},
      {R"({"code":0})", "[WARN] GetDownloadAliasHosts, empty data, product_id=[4], version=[3.0]"},
      {R"({"code":2,"data":["a.example.com"]})",
       R"([WARN] GetDownloadAliasHosts, api error, product_id=[4], version=[3.0], curl_code=[0], )"
       R"(response=[{"code":2,"data":["a.example.com"]}])"},
  };
  for (const Case& c : cases) {
    ResetStrategyCachesForTesting();
    server_.ClearLog();
    log_.Clear();
    Answer(kAliasPath, c.answer);
    EXPECT_THAT(GetDownloadAliasHosts(4, "3.0", "sn"), IsEmpty()) << c.answer;
    EXPECT_EQ(log_.Count(c.line), 1) << log_.All();
    EXPECT_EQ(log_.Count("GetDownloadAliasHosts, empty data") + log_.Count("GetDownloadAliasHosts, api error"), 1)
        << log_.All();
    GetDownloadAliasHosts(4, "3.0", "sn");
    EXPECT_EQ(server_.RequestCount(kAliasPath), 2) << c.answer;
  }
  SetStrategyTimeoutForTesting(200ms);
  log_.Clear();
  Answer(kAliasPath, R"({"code":0,"data":["a.example.com"]})");
  const int fault = server_.AddFault(kAliasPath, Fault::Delay(10s));
  EXPECT_THAT(GetDownloadAliasHosts(4, "3.0", "sn"), IsEmpty());
  EXPECT_EQ(log_.Count("[WARN] GetDownloadAliasHosts, timeout (5s), skip. product_id=[4], version=[3.0]"), 1)
      << log_.All();
  EXPECT_THAT(log_.Matching("empty data"), IsEmpty());
  server_.RemoveFault(fault);
  SetStrategyTimeoutForTesting(0ms);
  EXPECT_THAT(GetDownloadAliasHosts(4, "3.0", "sn"), ElementsAre("a.example.com"));
}

TEST_F(StrategyServicesTest, ConcurrentAliasCallsAskTheServiceOnce) {
  Answer(kAliasPath, R"({"code":0,"data":["a.example.com"]})");
  server_.AddFault(kAliasPath, Fault::Delay(100ms));
  std::vector<std::vector<std::string>> results(3);
  std::vector<std::thread> threads;
  for (auto& result : results) {
    threads.emplace_back([&result] { result = GetDownloadAliasHosts(6, "1.0", "sn"); });
  }
  for (auto& t : threads) t.join();
  for (const auto& result : results) EXPECT_THAT(result, ElementsAre("a.example.com"));
  EXPECT_EQ(server_.RequestCount(kAliasPath), 1);
  EXPECT_EQ(log_.Count("GetDownloadAliasHosts, use cache"), 2);
}

// ------------------------------------------------------------------- probe

TEST_F(StrategyServicesTest, ProbeRejectsInvalidParameters) {
  server_.AddFile("/pkg.bin", std::string(1000, 'x'));
  struct Case {
    std::string url;
    int32_t size_mb;
    int32_t time_s;
  };
  const std::vector<Case> cases = {
      {"", 5, 3}, {server_.Url("/pkg.bin"), 0, 3}, {server_.Url("/pkg.bin"), 5, 0}, {server_.Url("/pkg.bin"), -1, -2}};
  for (const Case& c : cases) {
    log_.Clear();
    const BandwidthProbeResult r = ProbeCdnBandwidth(c.url, c.size_mb, c.time_s);
    EXPECT_EQ(r.throughput, 0);
    EXPECT_EQ(r.bytes, 0);
    EXPECT_EQ(log_.Count("[WARN] ProbeCdnBandwidth, invalid params, probe_size_mb=[" + std::to_string(c.size_mb) +
                         "], max_probe_time_s=[" + std::to_string(c.time_s) + "]"),
              1)
        << log_.All();
  }
  EXPECT_EQ(server_.RequestCount(), 0);
}

TEST_F(StrategyServicesTest, ProbeStoppedByItsTimeLimitCountsWhatArrived) {
  // One probe second lasts 200 ms of real time; the test moves the probe's
  // clock by exactly 3 s while the server holds the rest of the body.
  TestClock clock;
  SetProbeTimingForTesting(&clock, 200ms);
  server_.AddFile("/pkg.bin", std::string(6 * 1048576, 'p'));
  server_.AddFault("/pkg.bin", Fault::StallAfter(2000000));
  std::thread mover([&] {
    if (server_.WaitForStalls(1)) clock.Advance(3s);
  });
  const BandwidthProbeResult r = ProbeCdnBandwidth(server_.Url("/pkg.bin"), 5, 3);
  mover.join();
  EXPECT_EQ(r.bytes, 2000000);
  EXPECT_DOUBLE_EQ(r.elapsed_seconds, 3.0);
  EXPECT_NEAR(r.throughput, 0.6667, 0.0001);
  auto requests = server_.RequestsFor("/pkg.bin");
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].range, "bytes=0-5242879");
  EXPECT_EQ(requests[0].Header("Connection"), "close");
  EXPECT_EQ(log_.Count("[INFO] ProbeCdnBandwidth, start, url=[" + server_.Url("/pkg.bin") +
                       "], probe_size_mb=[5], max_time_s=[3]"),
            1);
  EXPECT_EQ(log_.Count("[INFO] ProbeCdnBandwidth, done, bytes=[2000000], elapsed_s=[3.000], throughput_mbps=[0.67], "
                       "curl_code=[28]"),
            1)
      << log_.All();
}

TEST_F(StrategyServicesTest, ProbeMeasuresAThrottledServer) {
  server_.AddFile("/pkg.bin", std::string(3 * 1048576, 'p'));
  server_.AddFault("/pkg.bin", Fault::Throttle(2000000));
  const BandwidthProbeResult r = ProbeCdnBandwidth(server_.Url("/pkg.bin"), 1, 10);
  EXPECT_EQ(r.bytes, 1048576);
  EXPECT_GT(r.elapsed_seconds, 0.4);
  EXPECT_DOUBLE_EQ(r.throughput, static_cast<double>(r.bytes) / r.elapsed_seconds / 1000000.0);
  EXPECT_GT(r.throughput, 1.0);
  EXPECT_LT(r.throughput, 2.3);
}

TEST_F(StrategyServicesTest, ProbeClampsSizeAndTime) {
  // With 10 ms probe seconds an unclamped 100 s limit would wait 1 s.
  SetProbeTimingForTesting(nullptr, 10ms);
  server_.AddFile("/pkg.bin", std::string(4096, 'p'));
  server_.AddFault("/pkg.bin", Fault::StallAfter(1000));
  const auto start = std::chrono::steady_clock::now();
  const BandwidthProbeResult r = ProbeCdnBandwidth(server_.Url("/pkg.bin"), 1000, 100);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 900ms);
  EXPECT_EQ(r.bytes, 1000);
  auto requests = server_.RequestsFor("/pkg.bin");
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].range, "bytes=0-67108863");
  EXPECT_EQ(log_.Count("probe_size_mb=[64], max_time_s=[30]"), 1) << log_.All();
}

TEST_F(StrategyServicesTest, ProbeFailuresMeasureNothing) {
  TestCa ca;
  ASSERT_TRUE(ca.ok()) << ca.error();
  HttpTestServer tls(HttpServerOptions()
                         .Addresses({"127.0.0.3"})
                         .Tls(ca.IssueLeaf("self", {"127.0.0.3"}, TestCa::Kind::kSelfSigned))
                         .Threads(2));
  ASSERT_TRUE(tls.ok()) << tls.error();
  tls.AddFile("/pkg.bin", std::string(1000, 'p'));
  ScopedCaBundle bundle(ca.bundle_path());

  server_.SetHandler("GET", "/missing.bin", [](const HttpRequest&) {
    HttpResponse r;
    r.status = 404;
    r.body = std::string(5000, 'e');
    return r;
  });
  server_.SetHandler("GET", "/empty.bin", [](const HttpRequest&) { return HttpResponse(); });
  struct Case {
    std::string url;
    std::string line;
  };
  const std::vector<Case> cases = {
      {server_.Url("/missing.bin"), "[WARN] ProbeCdnBandwidth, curl failed, code=[22]"},
      {"http://127.0.0.9:" + std::to_string(server_.port()) + "/pkg.bin",
       "[WARN] ProbeCdnBandwidth, curl failed, code=[7]"},
      {tls.Url("/pkg.bin"), "[WARN] ProbeCdnBandwidth, curl failed, code=[60]"},
      {server_.Url("/empty.bin"), "[WARN] ProbeCdnBandwidth, no data, bytes=[0]"},
  };
  for (const Case& c : cases) {
    log_.Clear();
    const BandwidthProbeResult r = ProbeCdnBandwidth(c.url, 1, 2);
    EXPECT_EQ(r.throughput, 0) << c.url;
    EXPECT_EQ(r.bytes, 0) << c.url;
    EXPECT_EQ(r.elapsed_seconds, 0) << c.url;
    EXPECT_EQ(log_.Count(c.line), 1) << log_.All();
  }
  EXPECT_EQ(tls.RequestCount(), 0) << "an untrusted peer never gets the request";
}

}  // namespace
}  // namespace oru
