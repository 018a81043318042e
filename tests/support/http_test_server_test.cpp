#include "support/http_test_server.h"

#include <curl/curl.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <thread>

#include "support/nginx_fixture.h"
#include "support/scoped_temp_dir.h"
#include "support/test_ca.h"

namespace oru::testing {
namespace {

using std::chrono::milliseconds;

struct FetchOptions {
  std::string range;              // "a-b" -> "Range: bytes=a-b"
  bool head = false;
  std::string ca_bundle;          // empty: libcurl's default bundle
  std::vector<std::string> resolve;
  std::string post_body;          // POST when not empty
  bool multipart = false;         // POST one form part instead
  std::vector<std::string> headers;

  FetchOptions& Range(std::string v) { range = std::move(v); return *this; }
  FetchOptions& Head() { head = true; return *this; }
  FetchOptions& Ca(std::string v) { ca_bundle = std::move(v); return *this; }
  FetchOptions& Resolve(std::string v) { resolve.push_back(std::move(v)); return *this; }
  FetchOptions& Post(std::string v) { post_body = std::move(v); return *this; }
  FetchOptions& Multipart() { multipart = true; return *this; }
  FetchOptions& Header(std::string v) { headers.push_back(std::move(v)); return *this; }
};

struct FetchResult {
  CURLcode code = CURLE_OK;
  long status = 0;
  std::string body;
  std::string headers;

  std::string Header(const std::string& name) const {
    std::string lower_headers = headers;
    std::string key = name + ":";
    for (auto* s : {&lower_headers, &key}) {
      for (char& c : *s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    size_t at = lower_headers.rfind(key);
    if (at == std::string::npos) return {};
    size_t begin = headers.find_first_not_of(' ', at + key.size());
    size_t end = headers.find("\r\n", begin);
    return headers.substr(begin, end - begin);
  }
};

size_t Append(char* data, size_t size, size_t n, void* out) {
  static_cast<std::string*>(out)->append(data, size * n);
  return size * n;
}

FetchResult Fetch(const std::string& url, const FetchOptions& o = FetchOptions()) {
  static const bool initialised = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK;
  EXPECT_TRUE(initialised);
  FetchResult r;
  CURL* h = curl_easy_init();
  curl_slist* resolve = nullptr;
  curl_slist* headers = nullptr;
  curl_mime* mime = nullptr;
  for (const auto& entry : o.resolve) resolve = curl_slist_append(resolve, entry.c_str());
  for (const auto& entry : o.headers) headers = curl_slist_append(headers, entry.c_str());
  curl_easy_setopt(h, CURLOPT_URL, url.c_str());
  curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(h, CURLOPT_TIMEOUT_MS, 20000L);
  curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, Append);
  curl_easy_setopt(h, CURLOPT_WRITEDATA, &r.body);
  curl_easy_setopt(h, CURLOPT_HEADERFUNCTION, Append);
  curl_easy_setopt(h, CURLOPT_HEADERDATA, &r.headers);
  curl_easy_setopt(h, CURLOPT_RESOLVE, resolve);
  curl_easy_setopt(h, CURLOPT_HTTPHEADER, headers);
  if (!o.range.empty()) curl_easy_setopt(h, CURLOPT_RANGE, o.range.c_str());
  if (o.head) curl_easy_setopt(h, CURLOPT_NOBODY, 1L);
  if (!o.ca_bundle.empty()) curl_easy_setopt(h, CURLOPT_CAINFO, o.ca_bundle.c_str());
  if (!o.post_body.empty()) curl_easy_setopt(h, CURLOPT_POSTFIELDS, o.post_body.c_str());
  if (o.multipart) {
    mime = curl_mime_init(h);
    curl_mimepart* part = curl_mime_addpart(mime);
    curl_mime_name(part, "log");
    curl_mime_filename(part, "oru.log");
    curl_mime_data(part, "log text", CURL_ZERO_TERMINATED);
    curl_easy_setopt(h, CURLOPT_MIMEPOST, mime);
  }
  r.code = curl_easy_perform(h);
  curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &r.status);
  curl_easy_cleanup(h);
  curl_mime_free(mime);
  curl_slist_free_all(resolve);
  curl_slist_free_all(headers);
  return r;
}

std::string Pattern(size_t size) {
  std::string s(size, '\0');
  for (size_t i = 0; i < size; ++i) s[i] = static_cast<char>((i * 131 + i / 251) & 0xff);
  return s;
}

class HttpTestServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(server_.ok()) << server_.error();
    server_.AddFile("/pkg.bin", data_);
  }

  const std::string data_ = Pattern(4096);
  HttpTestServer server_{HttpServerOptions().Addresses({"127.0.0.1", "127.0.0.2"})};
};

TEST_F(HttpTestServerTest, ServesRangesAndRejectsUnsatisfiableOnes) {
  struct Case {
    std::string range;
    long status;
    size_t first;
    size_t length;
    std::string content_range;
  };
  const Case cases[] = {
      {"", 200, 0, 4096, ""},
      {"0-99", 206, 0, 100, "bytes 0-99/4096"},
      {"1000-", 206, 1000, 3096, "bytes 1000-4095/4096"},
      {"4000-9999", 206, 4000, 96, "bytes 4000-4095/4096"},
      {"-10", 206, 4086, 10, "bytes 4086-4095/4096"},
      {"4095-4095", 206, 4095, 1, "bytes 4095-4095/4096"},
      {"4096-", 416, 0, 0, "bytes */4096"},
      {"5000-6000", 416, 0, 0, "bytes */4096"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE("range " + c.range);
    FetchResult r = Fetch(server_.Url("/pkg.bin"), FetchOptions().Range(c.range));
    EXPECT_EQ(r.code, c.status == 416 ? CURLE_OK : CURLE_OK);
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.body, data_.substr(c.first, c.length));
    EXPECT_EQ(r.Header("Content-Range"), c.content_range);
  }
  FetchResult head = Fetch(server_.Url("/pkg.bin"), FetchOptions().Head());
  EXPECT_EQ(head.status, 200);
  EXPECT_EQ(head.Header("Content-Length"), "4096");
  EXPECT_EQ(head.Header("Accept-Ranges"), "bytes");
  EXPECT_EQ(Fetch(server_.Url("/missing")).status, 404);
}

TEST_F(HttpTestServerTest, ServesFilesFromDiskAndStreamsLargeOnes) {
  ScopedTempDir dir;
  std::string big = Pattern(3 << 20);
  WriteFileForTesting(dir.Child("big.bin"), big);
  ASSERT_TRUE(server_.AddFileFromDisk("/big.bin", dir.Child("big.bin")));
  EXPECT_FALSE(server_.AddFileFromDisk("/none.bin", dir.Child("none.bin")));
  FetchResult whole = Fetch(server_.Url("/big.bin"));
  EXPECT_EQ(whole.status, 200);
  EXPECT_TRUE(whole.body == big);
  FetchResult part = Fetch(server_.Url("/big.bin"), FetchOptions().Range("1048570-2097160"));
  EXPECT_EQ(part.status, 206);
  EXPECT_TRUE(part.body == big.substr(1048570, 2097160 - 1048570 + 1));
}

TEST_F(HttpTestServerTest, EachFaultChangesTheAnswer) {
  struct Case {
    const char* name;
    Fault fault;
    std::string range;
    CURLcode code;
    long status;
    std::function<void(const FetchResult&)> check;
  };
  const Case cases[] = {
      {"status 500", Fault::Status(500), "", CURLE_OK, 500,
       [](const FetchResult& r) { EXPECT_EQ(r.body, "status 500"); }},
      {"status 416", Fault::Status(416), "0-9", CURLE_OK, 416,
       [](const FetchResult& r) { EXPECT_EQ(r.Header("Content-Range"), "bytes */4096"); }},
      {"drop after 1000", Fault::DropAfter(1000), "", CURLE_PARTIAL_FILE, 200,
       [&](const FetchResult& r) { EXPECT_EQ(r.body, data_.substr(0, 1000)); }},
      {"drop inside a range", Fault::DropAfter(10), "100-199", CURLE_PARTIAL_FILE, 206,
       [&](const FetchResult& r) { EXPECT_EQ(r.body, data_.substr(100, 10)); }},
      {"ignore range", Fault::IgnoreRange(), "100-199", CURLE_OK, 200,
       [&](const FetchResult& r) {
         EXPECT_EQ(r.body, data_);
         EXPECT_EQ(r.Header("Content-Range"), "");
       }},
      {"garbage", Fault::Garbage(), "", CURLE_OK, 200,
       [&](const FetchResult& r) {
         ASSERT_EQ(r.body.size(), data_.size());
         for (size_t i = 0; i < data_.size(); ++i) ASSERT_NE(r.body[i], data_[i]) << i;
       }},
      {"redirect to a block page", Fault::Redirect("http://10.1.2.3/disable.htm"), "0-9", CURLE_OK, 302,
       [](const FetchResult& r) { EXPECT_EQ(r.Header("Location"), "http://10.1.2.3/disable.htm"); }},
      {"longer length", Fault::WrongLength(5000), "", CURLE_PARTIAL_FILE, 200,
       [&](const FetchResult& r) {
         EXPECT_EQ(r.Header("Content-Length"), "5000");
         EXPECT_EQ(r.body, data_);
       }},
      {"shorter length", Fault::WrongLength(100), "50-", CURLE_OK, 206,
       [&](const FetchResult& r) {
         EXPECT_EQ(r.Header("Content-Range"), "bytes 50-99/100");
         EXPECT_EQ(r.body, data_.substr(50, 50));
       }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    int id = server_.AddFault("/pkg.bin", c.fault);
    FetchResult r = Fetch(server_.Url("/pkg.bin"), FetchOptions().Range(c.range));
    EXPECT_EQ(r.code, c.code);
    EXPECT_EQ(r.status, c.status);
    c.check(r);
    server_.RemoveFault(id);
    EXPECT_EQ(Fetch(server_.Url("/pkg.bin")).body, data_) << "fault still active after RemoveFault";
  }
}

TEST_F(HttpTestServerTest, FaultRulesMatchAddressMethodAndCount) {
  server_.AddFault(FaultRule::For("/pkg.bin").On("127.0.0.2").With(Fault::WrongLength(777)));
  server_.AddFault(FaultRule::For("/pkg*").Method("GET").Times(2).With(Fault::Status(503)));
  EXPECT_EQ(Fetch(server_.UrlOn("127.0.0.2", "/pkg.bin"), FetchOptions().Head()).Header("Content-Length"), "777");
  EXPECT_EQ(Fetch(server_.UrlOn("127.0.0.1", "/pkg.bin"), FetchOptions().Head()).Header("Content-Length"), "4096");
  EXPECT_EQ(Fetch(server_.Url("/pkg.bin")).status, 503);
  EXPECT_EQ(Fetch(server_.Url("/pkg.bin")).status, 503);
  EXPECT_EQ(Fetch(server_.Url("/pkg.bin")).status, 200);  // both uses spent
  std::vector<RequestRecord> log = server_.RequestsFor("/pkg.bin");
  ASSERT_EQ(log.size(), 5u);
  EXPECT_NE(log[0].fault_id, 0);
  EXPECT_EQ(log[1].fault_id, 0);
  EXPECT_EQ(log[2].status, 503);
  EXPECT_EQ(log[4].fault_id, 0);
  EXPECT_EQ(log[4].status, 200);
  server_.ClearFaults();
  EXPECT_EQ(Fetch(server_.UrlOn("127.0.0.2", "/pkg.bin"), FetchOptions().Head()).Header("Content-Length"), "4096");
}

TEST_F(HttpTestServerTest, StallHoldsTheConnectionUntilReleased) {
  server_.AddFault("/pkg.bin", Fault::StallAfter(1000), 1);
  FetchResult r;
  std::thread client([&] { r = Fetch(server_.Url("/pkg.bin")); });
  ASSERT_TRUE(server_.WaitForStalls(1));
  EXPECT_EQ(server_.StalledCount(), 1);
  server_.ReleaseStalls();
  client.join();
  EXPECT_EQ(r.code, CURLE_OK);
  EXPECT_EQ(r.body, data_);
  EXPECT_EQ(server_.StalledCount(), 0);
}

TEST(HttpTestServerShutdownTest, StallsAndDelaysDoNotHoldUpShutdown) {
  std::vector<FetchResult> results(6);
  std::vector<std::thread> clients;
  auto started = std::chrono::steady_clock::now();
  {
    HttpTestServer server;
    ASSERT_TRUE(server.ok()) << server.error();
    server.AddFile("/stall", Pattern(100000));
    server.AddFile("/delay", "x");
    server.AddFault("/stall", Fault::StallAfter(5000));
    server.AddFault("/delay", Fault::Delay(std::chrono::minutes(5)));
    for (size_t i = 0; i < results.size(); ++i) {
      clients.emplace_back([&, i] { results[i] = Fetch(server.Url(i % 2 ? "/stall" : "/delay")); });
    }
    ASSERT_TRUE(server.WaitForStalls(3));
    ASSERT_TRUE(server.WaitForRequests("/delay", 3));
  }
  for (auto& t : clients) t.join();
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5));
  for (size_t i = 0; i < results.size(); ++i) {
    EXPECT_NE(results[i].code, CURLE_OK) << i;
    if (i % 2) {
      EXPECT_EQ(results[i].body.size(), 5000u);
    }
  }
}

TEST_F(HttpTestServerTest, DelayAndThrottleSlowTheAnswerDown) {
  server_.AddFile("/small", Pattern(20000));
  server_.AddFault("/pkg.bin", Fault::Delay(milliseconds(100)), 1);
  server_.AddFault("/small", Fault::Throttle(100000), 1);
  auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(Fetch(server_.Url("/pkg.bin")).body, data_);
  auto t1 = std::chrono::steady_clock::now();
  EXPECT_EQ(Fetch(server_.Url("/small")).body, Pattern(20000));
  auto t2 = std::chrono::steady_clock::now();
  EXPECT_GE(t1 - t0, milliseconds(100));
  EXPECT_GE(t2 - t1, milliseconds(150));  // 20 kB at 100 kB/s
}

TEST_F(HttpTestServerTest, AllAddressesShareOnePortAndAreLogged) {
  EXPECT_EQ(server_.addresses().size(), 2u);
  const std::string port = std::to_string(server_.port());
  EXPECT_EQ(server_.BaseUrl(), "http://127.0.0.1:" + port);
  for (const std::string address : {"127.0.0.1", "127.0.0.2"}) {
    FetchResult r = Fetch("http://pkg.test:" + port + "/pkg.bin",
                          FetchOptions().Range("0-9").Resolve("pkg.test:" + port + ":" + address));
    EXPECT_EQ(r.status, 206) << address;
  }
  std::vector<RequestRecord> log = server_.Requests();
  ASSERT_EQ(log.size(), 2u);
  EXPECT_EQ(log[0].local_address, "127.0.0.1");
  EXPECT_EQ(log[1].local_address, "127.0.0.2");
  EXPECT_EQ(log[1].local_port, server_.port());
  EXPECT_EQ(log[1].Header("host"), "pkg.test:" + port);
  EXPECT_EQ(log[1].range, "bytes=0-9");
  EXPECT_EQ(log[1].method, "GET");
  EXPECT_NE(log[0].remote_port, 0);
  EXPECT_LE(log[0].time, log[1].time);
}

TEST(HttpTestServerOwnPortTest, AddressesThatCannotBindFail) {
  HttpTestServer first;
  ASSERT_TRUE(first.ok());
  HttpTestServer clash(HttpServerOptions().Port(first.port()));
  EXPECT_FALSE(clash.ok());
  EXPECT_NE(clash.error().find("cannot bind"), std::string::npos);
}

TEST_F(HttpTestServerTest, HandlersSeeTheRequestAndTakeFaults) {
  HttpRequest seen;
  server_.SetHandler("POST", "/api/*", [&](const HttpRequest& req) {
    seen = req;
    HttpResponse answer;
    answer.status = 201;
    answer.body = "{\"code\":0}";
    answer.content_type = "application/json";
    answer.headers = {{"X-Answer", "yes"}};
    return answer;
  });
  FetchResult r = Fetch(server_.UrlOn("127.0.0.2", "/api/token?a=1&b=x%20y"),
                        FetchOptions().Post("payload").Header("X-App-Key: k1"));
  EXPECT_EQ(r.status, 201);
  EXPECT_EQ(r.body, "{\"code\":0}");
  EXPECT_EQ(r.Header("X-Answer"), "yes");
  EXPECT_EQ(seen.method, "POST");
  EXPECT_EQ(seen.path, "/api/token");
  EXPECT_EQ(seen.Param("a"), "1");
  EXPECT_EQ(seen.Param("b"), "x y");
  EXPECT_EQ(seen.Header("x-app-key"), "k1");
  EXPECT_EQ(seen.body, "payload");
  EXPECT_EQ(seen.local_address, "127.0.0.2");

  FetchResult form = Fetch(server_.Url("/api/upload"), FetchOptions().Multipart());
  EXPECT_EQ(form.status, 201);
  ASSERT_EQ(seen.form_parts.size(), 1u);
  EXPECT_EQ(seen.form_parts[0].name, "log");
  EXPECT_EQ(seen.form_parts[0].filename, "oru.log");
  EXPECT_EQ(seen.form_parts[0].content, "log text");

  EXPECT_EQ(Fetch(server_.Url("/api/token")).status, 404);  // GET has no handler
  server_.AddFault("/api/token", Fault::DropAfter(3), 1);
  FetchResult dropped = Fetch(server_.Url("/api/token"), FetchOptions().Post("p"));
  EXPECT_EQ(dropped.code, CURLE_PARTIAL_FILE);
  EXPECT_EQ(dropped.body, "{\"c");
  server_.RemoveHandler("POST", "/api/*");
  EXPECT_EQ(Fetch(server_.Url("/api/token"), FetchOptions().Post("p")).status, 404);
}

TEST_F(HttpTestServerTest, WaitForRequestsCountsPerPath) {
  std::thread client([&] {
    for (int i = 0; i < 3; ++i) Fetch(server_.Url("/pkg.bin"), FetchOptions().Head());
  });
  EXPECT_TRUE(server_.WaitForRequests("/pkg.bin", 3));
  client.join();
  EXPECT_EQ(server_.RequestCount("/pkg.bin"), 3);
  EXPECT_EQ(server_.RequestCount("/other"), 0);
  EXPECT_FALSE(server_.WaitForRequests("/other", 1, milliseconds(20)));
  server_.ClearLog();
  EXPECT_EQ(server_.RequestCount(), 0);
}

class HttpsTestServerTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(ca_.ok()) << ca_.error(); }
  TlsFiles Leaf(const std::string& stem, const std::vector<std::string>& names, TestCa::Kind kind) {
    TlsFiles files = ca_.IssueLeaf(stem, names, kind);
    EXPECT_FALSE(files.cert_path.empty()) << ca_.error();
    return files;
  }
  TestCa ca_;
};

TEST_F(HttpsTestServerTest, AcceptedWithTheCaBundleRejectedOtherwise) {
  struct Case {
    const char* name;
    std::vector<std::string> names;
    TestCa::Kind kind;
    bool use_bundle;
    CURLcode code;
  };
  const Case cases[] = {
      {"valid", {"127.0.0.1", "localhost"}, TestCa::Kind::kValid, true, CURLE_OK},
      {"valid without the bundle", {"127.0.0.1"}, TestCa::Kind::kValid, false, CURLE_PEER_FAILED_VERIFICATION},
      {"self-signed", {"127.0.0.1"}, TestCa::Kind::kSelfSigned, true, CURLE_PEER_FAILED_VERIFICATION},
      {"wrong name", {"other.test"}, TestCa::Kind::kValid, true, CURLE_PEER_FAILED_VERIFICATION},
      {"expired", {"127.0.0.1"}, TestCa::Kind::kExpired, true, CURLE_PEER_FAILED_VERIFICATION},
  };
  int serial = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    HttpTestServer server(HttpServerOptions().Tls(Leaf("leaf" + std::to_string(++serial), c.names, c.kind)));
    ASSERT_TRUE(server.ok()) << server.error();
    EXPECT_EQ(server.scheme(), "https");
    server.AddFile("/f", "secret");
    FetchResult r = Fetch(server.Url("/f"), FetchOptions().Ca(c.use_bundle ? ca_.bundle_path() : ""));
    EXPECT_EQ(r.code, c.code);
    EXPECT_EQ(r.body, c.code == CURLE_OK ? "secret" : "");
  }
}

TEST_F(HttpsTestServerTest, OneAddressCanServeABadCertificate) {
  HttpTestServer server(HttpServerOptions()
                            .Addresses({"127.0.0.1", "127.0.0.3"})
                            .Tls(Leaf("good", {"pkg.test"}, TestCa::Kind::kValid))
                            .TlsOn("127.0.0.3", Leaf("bad", {"pkg.test"}, TestCa::Kind::kSelfSigned)));
  ASSERT_TRUE(server.ok()) << server.error();
  server.AddFile("/f", "data");
  const std::string port = std::to_string(server.port());
  FetchResult good = Fetch(server.UrlOn("pkg.test", "/f"),
                           FetchOptions().Ca(ca_.bundle_path()).Resolve("pkg.test:" + port + ":127.0.0.1"));
  FetchResult bad = Fetch(server.UrlOn("pkg.test", "/f"),
                          FetchOptions().Ca(ca_.bundle_path()).Resolve("pkg.test:" + port + ":127.0.0.3"));
  EXPECT_EQ(good.code, CURLE_OK);
  EXPECT_EQ(good.body, "data");
  EXPECT_EQ(bad.code, CURLE_PEER_FAILED_VERIFICATION);
}

TEST(NginxServerTest, ServesAFolderWithRangesAndRateDirectives) {
  ScopedTempDir root;
  std::string data = Pattern(300000);
  WriteFileForTesting(root.Child("pkg.bin"), data);
  NginxServer nginx(NginxOptions()
                        .Root(root.path())
                        .HttpDirectives("map $connection $r { ~[05]$ 128k; default 20m; }")
                        .LocationDirectives("limit_rate $r;"));
  if (!nginx.running()) GTEST_SKIP() << nginx.skip_reason();
  EXPECT_NE(nginx.config().find("limit_rate $r;"), std::string::npos);
  FetchResult head = Fetch(nginx.Url("/pkg.bin"), FetchOptions().Head());
  EXPECT_EQ(head.status, 200);
  EXPECT_EQ(head.Header("Content-Length"), "300000");
  FetchResult part = Fetch(nginx.Url("/pkg.bin"), FetchOptions().Range("1000-1999"));
  EXPECT_EQ(part.status, 206);
  EXPECT_EQ(part.Header("Content-Range"), "bytes 1000-1999/300000");
  EXPECT_TRUE(part.body == data.substr(1000, 1000));
  EXPECT_EQ(Fetch(nginx.Url("/missing.bin")).status, 404);
  EXPECT_NE(nginx.AccessLog().find("\"bytes=1000-1999\""), std::string::npos) << nginx.AccessLog();
}

TEST(NginxServerTest, MissingNginxGivesASkipReason) {
  ScopedTempDir root;
  NginxServer nginx(NginxOptions().Root(root.path()).NginxPath(root.Child("no-nginx")));
  EXPECT_FALSE(nginx.running());
  EXPECT_NE(nginx.skip_reason().find("not installed"), std::string::npos);
}

}  // namespace
}  // namespace oru::testing
