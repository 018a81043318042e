#include "product_server/collector.h"

#include <curl/curl.h>
#include <gtest/gtest.h>

#include <string>

#include "product_server/product_server.h"
#include "support/scoped_temp_dir.h"
#include "telemetry/analytics_client.h"

namespace oru::product_server {
namespace {

size_t Collect(char* data, size_t size, size_t n, void* out) {
  static_cast<std::string*>(out)->append(data, size * n);
  return size * n;
}

struct Posted {
  long status = 0;
  std::string body;
};

Posted PostBody(const std::string& url, const std::string& body, bool post = true) {
  Posted out;
  CURL* h = curl_easy_init();
  curl_easy_setopt(h, CURLOPT_URL, url.c_str());
  curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, Collect);
  curl_easy_setopt(h, CURLOPT_WRITEDATA, &out.body);
  if (post) {
    curl_easy_setopt(h, CURLOPT_POSTFIELDS, body.c_str());
    curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE, static_cast<long>(body.size()));
  }
  if (curl_easy_perform(h) != CURLE_OK) out.status = -1;
  else curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &out.status);
  curl_easy_cleanup(h);
  return out;
}

std::string Batch(const std::string& json_array) {
  std::string body;
  EXPECT_TRUE(qv_analytics::EncodeBatch(json_array, body));
  return body;
}

const char* const kRecordA = R"({"distinct_id":"d-1","event":"install_start","time":1700000000000,"type":"track"})";
const char* const kRecordB = R"({ "distinct_id" : "d-1", "event":"install_done","properties":{"ok":true,"list":["a]","b,"]},"type":"track"})";

class CollectorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ServerConfig config;
    config.store_path = dir_.path() + "/store.db";
    config.collector_paths = {"/sa", "/custom/collect"};
    ASSERT_TRUE(server_.Start(config, &error_)) << error_;
  }
  std::string Url(const std::string& path) { return server_.base_url(0) + path; }

  oru::testing::ScopedTempDir dir_;
  ProductServer server_;
  std::string error_;
};

TEST_F(CollectorTest, StoresOneRowPerRecordExactlyAsSent) {
  Posted reply = PostBody(Url("/sa"), Batch(std::string("[") + kRecordA + ",\n  " + kRecordB + "]"));
  EXPECT_EQ(reply.status, 200);
  EXPECT_EQ(reply.body, R"({"code":0})");
  std::vector<AnalyticsEvent> events = server_.Events();
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0].record, kRecordA);
  EXPECT_EQ(events[1].record, kRecordB);
  EXPECT_EQ(events[1].event, "install_done");
  EXPECT_EQ(events[1].distinct_id, "d-1");
  EXPECT_EQ(events[1].type, "track");
  EXPECT_EQ(events[0].remote_address, "127.0.0.1");
  ASSERT_EQ(server_.Events("install_start").size(), 1u);

  EXPECT_EQ(PostBody(Url("/custom/collect"), Batch("[]")).status, 200);
  EXPECT_EQ(server_.Requests("collect").size(), 2u);
  Posted listed = PostBody(Url("/__admin/events?event=install_done"), "", false);
  EXPECT_NE(listed.body.find("\"install_done\""), std::string::npos);
  EXPECT_EQ(listed.body.find("\"install_start\""), std::string::npos);
}

TEST_F(CollectorTest, RefusesBodiesThatDoNotDecodeAndStoresNothing) {
  const std::string good = Batch(std::string("[") + kRecordA + "]");
  struct Case {
    const char* name;
    std::string body;
  } cases[] = {
      {"no data_list", "gzip=1"},
      {"not base64", "data_list=%21%21%21%21&gzip=1"},
      {"truncated gzip", good.substr(0, good.size() / 2) + "&gzip=1"},
      {"not an array", Batch(kRecordA)},
      {"array of non-objects", Batch(std::string("[") + kRecordA + ",3]")},
      {"not JSON", Batch("[{\"event\":")},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(PostBody(Url("/sa"), c.body).status, 400);
  }
  EXPECT_TRUE(server_.Events().empty());
  std::vector<RequestRecord> seen = server_.Requests("collect");
  ASSERT_EQ(seen.size(), std::size(cases));
  EXPECT_EQ(seen.back().status, 400);
}

TEST_F(CollectorTest, FaultAppliesAndTheNextPostIsStored) {
  ASSERT_TRUE(server_.SetFault("collect", Fault::Status(503).Times(1), &error_)) << error_;
  const std::string body = Batch(std::string("[") + kRecordA + "]");
  EXPECT_EQ(PostBody(Url("/sa"), body).status, 503);
  EXPECT_TRUE(server_.Events().empty());
  EXPECT_EQ(PostBody(Url("/sa"), body).status, 200);
  EXPECT_EQ(server_.Events().size(), 1u);
}

}  // namespace
}  // namespace oru::product_server
