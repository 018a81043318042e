#include "telemetry/analytics_client.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <cctype>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/json.h"
#include "platform/locations.h"
#include "support/http_test_server.h"
#include "support/scoped_env.h"
#include "support/scoped_temp_dir.h"
#include "support/test_ca.h"
#include "support/test_clock.h"

namespace qv_analytics {
namespace {

using oru::testing::Fault;
using oru::testing::HttpRequest;
using oru::testing::HttpResponse;
using oru::testing::HttpTestServer;
using oru::testing::ReadFileForTesting;
using oru::testing::ScopedTempDir;
using oru::testing::TestClock;
using oru::testing::WriteFileForTesting;

std::string PercentDecode(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size()) {
      out += static_cast<char>(std::stoi(text.substr(i + 1, 2), nullptr, 16));
      i += 2;
    } else {
      out += text[i];
    }
  }
  return out;
}

std::string Base64Decode(const std::string& text) {
  static const std::string kAlphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  uint32_t buffer = 0;
  int bits = 0;
  for (char c : text) {
    if (c == '=') break;
    const size_t v = kAlphabet.find(c);
    if (v == std::string::npos) return "<bad base64>";
    buffer = (buffer << 6) | static_cast<uint32_t>(v);
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      out += static_cast<char>((buffer >> bits) & 0xFF);
    }
  }
  return out;
}

// Only a gzip stream (window bits 31) is accepted.
std::string Gunzip(const std::string& data) {
  z_stream stream{};
  if (inflateInit2(&stream, 31) != Z_OK) return "<inflateInit2 failed>";
  stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
  stream.avail_in = static_cast<uInt>(data.size());
  std::string out;
  char chunk[4096];
  int code = Z_OK;
  while (code == Z_OK) {
    stream.next_out = reinterpret_cast<Bytef*>(chunk);
    stream.avail_out = sizeof chunk;
    code = inflate(&stream, Z_NO_FLUSH);
    out.append(chunk, sizeof chunk - stream.avail_out);
  }
  inflateEnd(&stream);
  return code == Z_STREAM_END ? out : "<not a gzip stream>";
}

// The JSON array carried by a collector body.
std::string DecodeBody(const std::string& body) {
  const std::string prefix = "data_list=";
  const std::string suffix = "&gzip=1";
  if (body.rfind(prefix, 0) != 0 || body.size() < prefix.size() + suffix.size() ||
      body.compare(body.size() - suffix.size(), suffix.size(), suffix) != 0) {
    return "<bad body: " + body + ">";
  }
  const std::string encoded = body.substr(prefix.size(), body.size() - prefix.size() - suffix.size());
  for (char c : encoded) {
    const bool unreserved = std::isalnum(static_cast<unsigned char>(c)) || c == '%' || c == '-' || c == '.' ||
                            c == '_' || c == '~';
    if (!unreserved) return "<unencoded byte in body>";
  }
  return Gunzip(Base64Decode(PercentDecode(encoded)));
}

// The "event" names of a batch, in order.
std::vector<std::string> EventNames(const std::string& body) {
  std::vector<std::string> names;
  auto doc = oru::JsonDocument::Parse(DecodeBody(body));
  if (!doc || !doc->root().IsArray()) return {"<not a JSON array>"};
  for (int i = 0; i < doc->root().Size(); ++i) names.push_back(doc->root().At(i).Get("event").String().value_or("?"));
  return names;
}

std::vector<std::string> Names(const std::string& prefix, int from, int to) {
  std::vector<std::string> names;
  for (int i = from; i < to; ++i) names.push_back(prefix + std::to_string(i));
  return names;
}

std::string RecordLine(const std::string& event) {
  return "{\"distinct_id\":\"old\",\"event\":\"" + event + "\",\"time\":1,\"type\":\"track\"}";
}

// A gate a collector handler waits on until the test opens it.
class Gate {
 public:
  void Wait() {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return open_; });
  }
  void Open() {
    std::lock_guard lock(mutex_);
    open_ = true;
    changed_.notify_all();
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  bool open_ = false;
};

class AnalyticsClientTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(server_.ok()) << server_.error();
    server_.SetHandler("POST", "/collect", [](const HttpRequest&) { return HttpResponse{}; });
  }
  void TearDown() override { Shutdown(); }

  void InitClient(std::vector<std::string> urls = {}) {
    if (urls.empty()) urls = {server_.Url("/collect")};
    ASSERT_TRUE(Init(staging_, urls, "device-1", clock_));
  }

  void TrackAll(const std::vector<std::string>& names) {
    for (const auto& name : names) ASSERT_TRUE(Track(name, PropertiesNode()));
  }

  // Flushes once and returns the event names the collector received.
  std::vector<std::string> FlushedNames() {
    server_.ClearLog();
    EXPECT_TRUE(Flush());
    const auto requests = server_.RequestsFor("/collect");
    if (requests.size() != 1) return {"<" + std::to_string(requests.size()) + " requests>"};
    return EventNames(requests[0].body);
  }

  std::string LastBatch() {
    const auto requests = server_.RequestsFor("/collect");
    return requests.empty() ? "<none>" : DecodeBody(requests.back().body);
  }

  oru::testing::ScopedEnv utc_{"TZ", "UTC"};
  ScopedTempDir dir_;
  std::string staging_ = dir_.Child("analytics.dat");
  TestClock clock_;
  HttpTestServer server_;
};

TEST_F(AnalyticsClientTest, RecordJsonListsKeysInByteOrderWithLibAndEscapes) {
  InitClient();
  PropertiesNode super;
  super.SetText("Zone", "eu");  // upper case sorts before lower case
  AddSuperProperties(super);

  PropertiesNode props;
  props.SetInteger("b", int32_t{-7});
  props.SetText("a", "x\ty\"z\\");
  props.SetText("$project", "proj");
  props.SetNumber("n", 1.0 / 3.0);
  props.SetBoolean("flag", true);
  props.SetTextList("list", {"p", "q"});
  props.SetText("name", "Gr\xC3\xBC\xC3\x9F" "e \xE2\x82\xAC \xF0\x9F\x98\x80");
  props.SetDateTime("when", 1704067200, 42);
  PropertiesNode nested;
  nested.SetInteger("k", int64_t{5000000000});
  props.SetObject("obj", nested);
  ASSERT_TRUE(Track("install_start", props));
  ASSERT_TRUE(Flush());

  const auto requests = server_.RequestsFor("/collect");
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].Header("User-Agent"), "QvAnalytics CPP SDK 0.8");
  EXPECT_FALSE(requests[0].HasHeader("Cookie"));
  EXPECT_EQ(DecodeBody(requests[0].body),
            "[{\"distinct_id\":\"device-1\",\"event\":\"install_start\","
            "\"lib\":{\"$lib\":\"cpp\",\"$lib_method\":\"code\",\"$lib_version\":\"0.8\"},"
            "\"project\":\"proj\","
            "\"properties\":{\"$lib\":\"cpp\",\"$lib_version\":\"0.8\",\"Zone\":\"eu\",\"a\":\"x\\ty\\\"z\\\\\","
            "\"b\":-7,\"flag\":true,\"list\":[\"p\",\"q\"],\"n\":0.333333,"
            "\"name\":\"Gr\xC3\xBC\xC3\x9F" "e \xE2\x82\xAC \xF0\x9F\x98\x80\",\"obj\":{\"k\":5000000000},"
            "\"when\":\"2024-01-01 00:00:00.042\"},"
            "\"time\":1704067200000,\"type\":\"track\"}]");
}

TEST_F(AnalyticsClientTest, TimePropertyBecomesRecordTimeAndEventOverridesSuperProperties) {
  InitClient();
  PropertiesNode super;
  super.SetText("channel", "super");
  super.SetText("keep", "yes");
  AddSuperProperties(super);
  PropertiesNode props;
  props.SetText("channel", "event");
  props.SetDateTime("$time", 1700000000, 123);
  ASSERT_TRUE(Track("e", props));
  ASSERT_TRUE(Flush());
  EXPECT_EQ(LastBatch(),
            "[{\"distinct_id\":\"device-1\",\"event\":\"e\","
            "\"lib\":{\"$lib\":\"cpp\",\"$lib_method\":\"code\",\"$lib_version\":\"0.8\"},"
            "\"properties\":{\"$lib\":\"cpp\",\"$lib_version\":\"0.8\",\"channel\":\"event\",\"keep\":\"yes\"},"
            "\"time\":1700000000123,\"type\":\"track\"}]");
}

TEST_F(AnalyticsClientTest, RejectedTextValuesAreNotSetAndTheEventStillGoes) {
  struct Case {
    std::string value;
    std::string diagnostic;
  };
  const std::string too_long = "String property 'v' is too long, value: ";
  const std::string not_utf8 = "String property 'v' is not valid UTF-8 string, value: ";
  const std::vector<Case> rejected = {
      {std::string(8193, 'a'), too_long},
      {"a\x01" "b", not_utf8},
      {"\x1F", not_utf8},
      {"\x7F", not_utf8},
      {"\xC3\x28", not_utf8},          // lead byte without continuation
      {"\xC0\xAF", not_utf8},          // overlong
      {"\xED\xA0\x80", not_utf8},      // surrogate half
      {"\xF4\x90\x80\x80", not_utf8},  // beyond U+10FFFF
      {"\xE2\x82", not_utf8},          // cut short at the end
  };
  InitClient();
  for (const auto& c : rejected) {
    PropertiesNode props;
    props.SetText("v", "before");
    ::testing::internal::CaptureStderr();
    EXPECT_FALSE(props.SetText("v", c.value));
    const std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(err, c.diagnostic + c.value + "\n");
    EXPECT_EQ(props.Find("v")->text(), "before");
  }
  PropertiesNode props;
  ::testing::internal::CaptureStderr();
  EXPECT_FALSE(props.SetText("bad", "\x01"));
  EXPECT_FALSE(props.SetTextList("list", {"ok", "\xFF"}));
  EXPECT_EQ(::testing::internal::GetCapturedStderr(),
            "String property 'bad' is not valid UTF-8 string, value: \x01\n"
            "String property 'list' is not valid UTF-8 string, value: \xFF\n");
  EXPECT_TRUE(props.SetText("edge", std::string(8192, 'b')));
  EXPECT_TRUE(props.SetText("ctl", "t\tn\nr\r"));
  ASSERT_TRUE(Track("e", props));
  ASSERT_TRUE(Flush());
  const std::string batch = LastBatch();
  EXPECT_EQ(batch.find("\"bad\""), std::string::npos);
  EXPECT_EQ(batch.find("\"list\""), std::string::npos);
  EXPECT_NE(batch.find("\"ctl\":\"t\\tn\\nr\\r\""), std::string::npos);
  EXPECT_NE(batch.find(std::string(8192, 'b')), std::string::npos);
}

TEST_F(AnalyticsClientTest, NameChecksDropTheEvent) {
  struct Case {
    std::string event;
    std::string key;
    bool accepted;
    std::string diagnostic;
  };
  const std::string bad_key = "The Property Key need to be a valid variable name.\n";
  const std::string long_key = "The Property Key is empty or too long, max length is 100\n";
  const std::vector<Case> cases = {
      {"e", "1abc", false, bad_key},
      {"e", "a-b", false, bad_key},
      {"e", std::string(101, 'k'), false, long_key},
      {"e", "", false, long_key},
      {"e", "$abc", true, ""},
      {"e", "_x9", true, ""},
      {"e", std::string(100, 'k'), true, ""},
      {"9e", "k", false, "The Event Name need to be a valid variable name.\n"},
      {"", "k", false, "The Event Name is empty or too long, max length is 100\n"},
      {"$e_1", "k", true, ""},
  };
  InitClient();
  for (const auto& c : cases) {
    PropertiesNode props;
    props.SetInteger(c.key, int64_t{1});
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(Track(c.event, props), c.accepted) << c.event << " / " << c.key;
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), c.diagnostic) << c.event << " / " << c.key;
  }
  EXPECT_EQ(QueuedCount(), 4u);
}

TEST_F(AnalyticsClientTest, ReservedPropertiesOfTheWrongKindDropTheEvent) {
  InitClient();
  PropertiesNode time_as_text;
  time_as_text.SetText("$time", "2024-01-01");
  PropertiesNode project_as_number;
  project_as_number.SetInteger("$project", int64_t{3});
  ::testing::internal::CaptureStderr();
  EXPECT_FALSE(Track("e", time_as_text));
  EXPECT_FALSE(Track("e", project_as_number));
  EXPECT_EQ(::testing::internal::GetCapturedStderr(),
            "The property '$time' should be DateTime type.\nThe property '$project' should be String type.\n");
  EXPECT_EQ(QueuedCount(), 0u);
}

TEST_F(AnalyticsClientTest, DistinctIdIsChecked) {
  struct Case {
    std::string id;
    bool ok;
    std::string diagnostic;
  };
  const std::vector<Case> cases = {
      {"", false, "The Distinct ID is empty.\n"},
      {std::string(256, 'd'), false, "The Distinct ID is too long, max length is 255.\n"},
      {std::string(255, 'd'), true, ""},
  };
  for (const auto& c : cases) {
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(Init(staging_, {server_.Url("/collect")}, c.id, clock_), c.ok);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), c.diagnostic);
  }
}

TEST(AnalyticsWithoutInstance, OperationsDoNothing) {
  EXPECT_FALSE(Flush());
  EXPECT_FALSE(Track("e", PropertiesNode()));
  AddSuperProperties(PropertiesNode());
  EXPECT_EQ(QueuedCount(), 0u);
  EXPECT_TRUE(Shutdown());
}

TEST_F(AnalyticsClientTest, QueueKeepsTheNewestHundredAndSendsBatchesOfThirtyOldestFirst) {
  InitClient();
  TrackAll(Names("e", 0, 101));
  EXPECT_EQ(QueuedCount(), 100u);
  EXPECT_EQ(FlushedNames(), Names("e", 1, 31));  // e0 was dropped by the 101st
  EXPECT_EQ(FlushedNames(), Names("e", 31, 61));
  EXPECT_EQ(FlushedNames(), Names("e", 61, 91));
  EXPECT_EQ(FlushedNames(), Names("e", 91, 101));
  server_.ClearLog();
  EXPECT_TRUE(Flush());  // empty queue: nothing sent
  EXPECT_EQ(server_.RequestCount(), 0);
}

TEST_F(AnalyticsClientTest, FortyRecordsGoInTwoFlushes) {
  InitClient();
  TrackAll(Names("e", 0, 40));
  EXPECT_EQ(FlushedNames(), Names("e", 0, 30));
  EXPECT_EQ(FlushedNames(), Names("e", 30, 40));
  EXPECT_EQ(QueuedCount(), 0u);
}

TEST_F(AnalyticsClientTest, FailedFlushPutsTheBatchBackInOrder) {
  server_.AddFault("/collect", Fault::Status(500), 1);
  InitClient();
  TrackAll(Names("e", 0, 40));
  ::testing::internal::CaptureStderr();
  EXPECT_FALSE(Flush());
  EXPECT_EQ(::testing::internal::GetCapturedStderr().rfind("QvAnalytics SDK send failed: ", 0), 0u);
  EXPECT_EQ(QueuedCount(), 40u);
  EXPECT_EQ(FlushedNames(), Names("e", 0, 30));
  EXPECT_EQ(FlushedNames(), Names("e", 30, 40));
}

TEST_F(AnalyticsClientTest, FailedFlushPutsBackOnlyTheNewestThatFit) {
  InitClient();
  TrackAll(Names("a", 0, 30));
  // While the batch is on its way, 80 more records are tracked.
  server_.SetHandler("POST", "/collect", [](const HttpRequest&) {
    for (const auto& name : Names("m", 0, 80)) Track(name, PropertiesNode());
    HttpResponse response;
    response.status = 500;
    return response;
  });
  ::testing::internal::CaptureStderr();
  EXPECT_FALSE(Flush());
  ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(QueuedCount(), 100u);

  server_.SetHandler("POST", "/collect", [](const HttpRequest&) { return HttpResponse{}; });
  std::vector<std::string> expected = Names("a", 10, 30);
  const auto m = Names("m", 0, 10);
  expected.insert(expected.end(), m.begin(), m.end());
  EXPECT_EQ(FlushedNames(), expected);
}

TEST_F(AnalyticsClientTest, FailedFlushWithAFullQueueDropsTheBatch) {
  InitClient();
  TrackAll(Names("a", 0, 30));
  server_.SetHandler("POST", "/collect", [](const HttpRequest&) {
    for (const auto& name : Names("m", 0, 100)) Track(name, PropertiesNode());
    HttpResponse response;
    response.status = 503;
    return response;
  });
  ::testing::internal::CaptureStderr();
  EXPECT_FALSE(Flush());
  ::testing::internal::GetCapturedStderr();
  server_.SetHandler("POST", "/collect", [](const HttpRequest&) { return HttpResponse{}; });
  EXPECT_EQ(FlushedNames(), Names("m", 0, 30));
}

TEST_F(AnalyticsClientTest, CollectorsAreTriedInOrderUntilOneAnswers200) {
  server_.SetHandler("POST", "/bad", [](const HttpRequest&) {
    HttpResponse response;
    response.status = 500;
    response.body = "busy";
    return response;
  });
  server_.SetHandler("POST", "/moved", [](const HttpRequest&) {
    HttpResponse response;
    response.status = 302;
    response.headers = {{"Location", "/collect"}};
    return response;
  });
  InitClient({server_.Url("/bad"), server_.Url("/moved"), server_.Url("/collect")});
  TrackAll({"e"});
  EXPECT_TRUE(Flush());
  EXPECT_EQ(server_.RequestCount("/bad"), 1);
  EXPECT_EQ(server_.RequestCount("/moved"), 1);
  EXPECT_EQ(server_.RequestCount("/collect"), 1);  // the redirect was not followed
  EXPECT_EQ(QueuedCount(), 0u);
}

TEST_F(AnalyticsClientTest, EveryCollectorFailingReportsTheLastAnswer) {
  server_.SetHandler("POST", "/bad", [](const HttpRequest&) {
    HttpResponse response;
    response.status = 500;
    response.body = "busy";
    return response;
  });
  // Nothing listens on port 1; the second collector answers with a transfer error.
  InitClient({server_.Url("/bad"), "http://127.0.0.1:1/collect"});
  TrackAll({"e"});
  ::testing::internal::CaptureStderr();
  EXPECT_FALSE(Flush());
  const std::string err = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(err.rfind("QvAnalytics SDK send failed: ", 0), 0u) << err;
  EXPECT_EQ(err.find("busy"), std::string::npos) << err;  // the last answer, not the first
  EXPECT_EQ(QueuedCount(), 1u);
}

TEST_F(AnalyticsClientTest, HttpsCollectorIsVerifiedAgainstTheBundle) {
  oru::testing::TestCa ca;
  ASSERT_TRUE(ca.ok()) << ca.error();
  const oru::Locations saved = oru::ProcessLocations();
  oru::Locations with_bundle = saved;
  with_bundle.ca_bundle = ca.bundle_path();
  oru::SetProcessLocationsForTesting(with_bundle);
  struct Case {
    const char* name;
    oru::testing::TestCa::Kind kind;
    bool sent;
  };
  const Case cases[] = {
      {"trusted", oru::testing::TestCa::Kind::kValid, true},
      {"self-signed", oru::testing::TestCa::Kind::kSelfSigned, false},
      {"expired", oru::testing::TestCa::Kind::kExpired, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Shutdown();
    HttpTestServer https(oru::testing::HttpServerOptions().Tls(ca.IssueLeaf(c.name, {"127.0.0.1"}, c.kind)));
    ASSERT_TRUE(https.ok()) << https.error();
    https.SetHandler("POST", "/collect", [](const HttpRequest&) { return HttpResponse{}; });
    InitClient({https.Url("/collect")});
    TrackAll({"e"});
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(Flush(), c.sent);
    ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(https.RequestCount("/collect"), c.sent ? 1 : 0);
    Shutdown();
  }
  oru::SetProcessLocationsForTesting(saved);
}

TEST_F(AnalyticsClientTest, StagingFileLinesGoInFrontOfThisRunsRecords) {
  std::string file;
  for (int i = 0; i < 150; ++i) {
    file += RecordLine("f" + std::to_string(i)) + "\r\n";
    if (i % 50 == 0) file += "garbage line\r\n{not closed\r\n\r\n";
  }
  WriteFileForTesting(staging_, file);
  InitClient();
  TrackAll(Names("t", 0, 10));

  EXPECT_EQ(FlushedNames(), Names("f", 60, 90));
  EXPECT_EQ(ReadFileForTesting(staging_), "");
  EXPECT_EQ(QueuedCount(), 70u);
  EXPECT_EQ(FlushedNames(), Names("f", 90, 120));
  EXPECT_EQ(FlushedNames(), Names("f", 120, 150));
  EXPECT_EQ(FlushedNames(), Names("t", 0, 10));
}

TEST_F(AnalyticsClientTest, ShutdownPersistsUnsentRecordsForTheNextRun) {
  InitClient();
  PropertiesNode props;
  props.SetText("city", "K\xC3\xB6ln");
  ASSERT_TRUE(Track("first", props));
  TrackAll({"second"});
  EXPECT_TRUE(Shutdown());
  const std::string file = ReadFileForTesting(staging_);
  EXPECT_EQ(std::count(file.begin(), file.end(), '\n'), 2);
  EXPECT_NE(file.find("}\r\n{"), std::string::npos);
  EXPECT_NE(file.find("K\xC3\xB6ln"), std::string::npos);
  EXPECT_FALSE(Flush());  // no instance any more

  InitClient();
  EXPECT_EQ(FlushedNames(), (std::vector<std::string>{"first", "second"}));
  EXPECT_NE(LastBatch().find("\"city\":\"K\xC3\xB6ln\""), std::string::npos);
}

TEST_F(AnalyticsClientTest, MissingStagingFolderReadsAsEmpty) {
  staging_ = dir_.Child("no/such/dir/analytics.dat");
  InitClient();
  TrackAll({"e"});
  EXPECT_EQ(FlushedNames(), (std::vector<std::string>{"e"}));
}

TEST_F(AnalyticsClientTest, ShutdownWaitsForARunningFlush) {
  Gate gate;
  server_.SetHandler("POST", "/collect", [&gate](const HttpRequest&) {
    gate.Wait();
    HttpResponse response;
    response.status = 500;
    return response;
  });
  InitClient();
  TrackAll(Names("e", 0, 3));
  ::testing::internal::CaptureStderr();
  std::jthread flusher([] { EXPECT_FALSE(Flush()); });
  ASSERT_TRUE(server_.WaitForRequests("/collect", 1));
  bool destroyed = false;
  std::jthread stopper([&] { destroyed = Shutdown(std::chrono::seconds(5), clock_); });
  ASSERT_TRUE(clock_.WaitForSleepers(1));
  gate.Open();  // the flush fails and puts its batch back before the instance goes
  stopper.join();
  flusher.join();
  ::testing::internal::GetCapturedStderr();
  EXPECT_TRUE(destroyed);
  const std::string file = ReadFileForTesting(staging_);
  for (const auto& name : Names("e", 0, 3)) EXPECT_NE(file.find("\"event\":\"" + name + "\""), std::string::npos);
  EXPECT_EQ(QueuedCount(), 0u);
}

TEST_F(AnalyticsClientTest, ShutdownPastItsBoundSavesTheQueueAndKeepsTheInstance) {
  Gate gate;
  server_.SetHandler("POST", "/collect", [&gate](const HttpRequest&) {
    gate.Wait();
    HttpResponse response;
    response.status = 500;
    return response;
  });
  InitClient();
  TrackAll(Names("e", 0, 3));
  ::testing::internal::CaptureStderr();
  std::jthread flusher([] { EXPECT_FALSE(Flush()); });
  ASSERT_TRUE(server_.WaitForRequests("/collect", 1));
  TrackAll({"late"});
  bool destroyed = true;
  std::jthread stopper([&] { destroyed = Shutdown(std::chrono::seconds(5), clock_); });
  ASSERT_TRUE(clock_.WaitForSleepers(1));
  clock_.Advance(std::chrono::seconds(5));
  stopper.join();
  EXPECT_FALSE(destroyed);
  const std::string saved = ReadFileForTesting(staging_);
  EXPECT_NE(saved.find("\"event\":\"late\""), std::string::npos);
  EXPECT_EQ(saved.find("\"event\":\"e0\""), std::string::npos);  // still in flight

  gate.Open();
  flusher.join();
  ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(QueuedCount(), 4u);  // the instance lived on and took the batch back
  EXPECT_TRUE(Shutdown());
  EXPECT_NE(ReadFileForTesting(staging_).find("\"event\":\"e0\""), std::string::npos);
}

TEST(AnalyticsEncoding, EmptyArrayRoundTripsThroughTheBody) {
  std::string body;
  ASSERT_TRUE(EncodeBatch("[]", body));
  EXPECT_EQ(body.rfind("data_list=", 0), 0u);
  EXPECT_EQ(body.substr(body.size() - 7), "&gzip=1");
  EXPECT_EQ(DecodeBody(body), "[]");
}

TEST(AnalyticsEncoding, LargeBatchRoundTripsAndBase64SpecialsArePercentEncoded) {
  std::string array = "[";
  for (int i = 0; i < 3000; ++i) array += (i ? "," : "") + RecordLine("x" + std::to_string(i * 7919));
  array += "]";
  std::string body;
  ASSERT_TRUE(EncodeBatch(array, body));
  EXPECT_EQ(DecodeBody(body), array);
  const std::string encoded = body.substr(10, body.size() - 10 - 7);
  for (char c : std::string("+/=")) EXPECT_EQ(encoded.find(c), std::string::npos) << c;
}

TEST(AnalyticsValues, NumbersUseDefaultStreamFormatting) {
  const std::vector<std::pair<double, std::string>> cases = {
      {1.5, "1.5"}, {100.0, "100"}, {1234567.0, "1.23457e+06"}, {-0.25, "-0.25"}, {1e-7, "1e-07"}};
  for (const auto& [value, json] : cases) EXPECT_EQ(PropertyValue::FromNumber(value).ToJson(), json);
}

}  // namespace
}  // namespace qv_analytics
