#include "server_api/curl_request.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "common/json.h"
#include "platform/locations.h"
#include "server_api/service_endpoints.h"
#include "support/scoped_ca_bundle.h"
#include "support/http_test_server.h"
#include "support/log_capture.h"
#include "support/scoped_temp_dir.h"
#include "support/test_ca.h"

namespace oru {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::StartsWith;
using testing::Fault;
using testing::FaultRule;
using testing::HttpRequest;
using testing::HttpResponse;
using testing::HttpServerOptions;
using testing::HttpTestServer;
using testing::LogCapture;
using testing::TestCa;
using testing::TlsFiles;
using namespace std::chrono_literals;

constexpr const char* kTokenBody =
    R"({"grant_type":"client_credentials","app_secret":"Wj7sLd2QhRv9NcTe5BxKp3ZyAm8GuFo6Iq"})";

using testing::ScopedCaBundle;

class ScopedEndpoints {
 public:
  ScopedEndpoints(const std::string& primary, const std::string& secondary) : saved_(GetServiceEndpoints()) {
    ServiceEndpoints changed = saved_;
    changed.api_primary = primary;
    changed.api_secondary = secondary;
    SetServiceEndpoints(changed);
  }
  ~ScopedEndpoints() { SetServiceEndpoints(saved_); }

 private:
  ServiceEndpoints saved_;
};

HttpResponse Text(std::string body, int status = 200) {
  HttpResponse r;
  r.status = status;
  r.body = std::move(body);
  return r;
}

// An address on the server's port where nothing listens.
std::string ClosedOrigin(const HttpTestServer& server) {
  return server.scheme() + "://127.0.0.9:" + std::to_string(server.port());
}

// ---------------------------------------------------------------- plain HTTP

class CurlRequestTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(server_.ok()) << server_.error(); }

  std::string Get(const std::string& path, int32_t* result, bool collect = false) {
    return CurlRequest(RequestMethod::Get, server_.Url(path), {}, true, collect, "", result, 5s);
  }

  HttpTestServer server_;
  LogCapture log_;
};

TEST_F(CurlRequestTest, RemovesCrLfPairsButKeepsLoneLineEnds) {
  struct Case {
    std::string sent;
    std::string returned;
  };
  const std::vector<Case> cases = {
      {"{\r\n  \"code\":0,\r\n  \"data\":1\r\n}\r\n", "{  \"code\":0,  \"data\":1}"},
      {"line1\nline2\n", "line1\nline2\n"},
      {"a\rb\r", "a\rb\r"},
      {"x\r\r\ny\n\r", "x\ry\n\r"},
      {"", ""},
  };
  for (const Case& c : cases) {
    server_.SetHandler("GET", "/body", [&](const HttpRequest&) { return Text(c.sent); });
    int32_t result = -1;
    EXPECT_EQ(Get("/body", &result), c.returned) << ::testing::PrintToString(c.sent);
    EXPECT_EQ(result, 0);
  }
  server_.SetHandler("GET", "/body", [](const HttpRequest&) { return Text("{\r\n\"code\":0\r\n}"); });
  int32_t result = -1;
  EXPECT_EQ(ReadApiCode(Get("/body", &result)), 0) << "a CRLF-formatted answer still parses";
}

TEST_F(CurlRequestTest, CollectsTheHeadersOfEveryResponseOverARedirect) {
  server_.SetHandler("GET", "/start", [](const HttpRequest&) {
    HttpResponse r = Text("moved\r\n", 302);
    r.headers = {{"Location", "/final"}, {"X-Hop", "first"}};
    return r;
  });
  server_.SetHandler("GET", "/final", [](const HttpRequest&) {
    HttpResponse r = Text("done\r\nbody");
    r.headers = {{"X-Hop", "second"}};
    return r;
  });
  int32_t result = -1;
  const std::string text = Get("/start", &result, true);
  EXPECT_EQ(result, 0);
  ASSERT_THAT(text, StartsWith("HTTP/1."));
  const size_t first_block = text.find(" 302");
  const size_t first_hop = text.find("X-Hop: first\r\n");
  const size_t second_block = text.find(" 200", first_hop);
  const size_t second_hop = text.find("X-Hop: second\r\n");
  ASSERT_NE(first_hop, std::string::npos) << text;
  ASSERT_NE(second_hop, std::string::npos) << text;
  EXPECT_LT(first_block, first_hop);
  EXPECT_LT(first_hop, second_block);
  EXPECT_LT(second_block, second_hop);
  // Header blocks keep their line ends; only the final body loses its CRLFs.
  EXPECT_THAT(text, HasSubstr("\r\n\r\n"));
  EXPECT_EQ(text.substr(text.size() - 8), "donebody");
  EXPECT_THAT(text, ::testing::Not(HasSubstr("moved")));
}

TEST_F(CurlRequestTest, HeadReturnsNothingUnlessHeadersAreCollected) {
  server_.AddFile("/pkg.bin", std::string(1234, 'p'));
  int32_t result = -1;
  EXPECT_EQ(CurlRequest(RequestMethod::Head, server_.Url("/pkg.bin"), {}, true, false, "", &result, 5s), "");
  EXPECT_EQ(result, 0);
  const std::string headers =
      CurlRequest(RequestMethod::Head, server_.Url("/pkg.bin"), {}, true, true, "", &result, 5s);
  EXPECT_THAT(headers, StartsWith("HTTP/1."));
  EXPECT_THAT(headers, HasSubstr("Content-Length: 1234\r\n"));
  EXPECT_THAT(headers, ::testing::Not(HasSubstr("ppp")));
  for (const auto& r : server_.RequestsFor("/pkg.bin")) EXPECT_EQ(r.method, "HEAD");
}

TEST_F(CurlRequestTest, PostSendsTheBodyAndTheHeaderLines) {
  server_.SetHandler("POST", "/api", [](const HttpRequest&) { return Text(R"({"code":0})"); });
  const std::string body = R"({"a":"b c","n":1})";
  int32_t result = -1;
  EXPECT_EQ(CurlRequest(RequestMethod::Post, server_.Url("/api"), {"Content-Type: application/json", "X-One: 1"},
                        true, false, body, &result, 5s),
            R"({"code":0})");
  EXPECT_EQ(result, 0);
  auto requests = server_.RequestsFor("/api");
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].method, "POST");
  EXPECT_EQ(requests[0].body, body);
  EXPECT_EQ(requests[0].Header("Content-Type"), "application/json");
  EXPECT_EQ(requests[0].Header("X-One"), "1");
}

TEST_F(CurlRequestTest, HeaderValueCannotSmuggleInAnotherHeader) {
  server_.SetHandler("GET", "/api", [](const HttpRequest&) { return Text("ok"); });
  int32_t result = -1;
  CurlRequest(RequestMethod::Get, server_.Url("/api"), {"X-Client-Sn: abc\r\nX-Injected: 1", "X-Next: 2\nX-Also: 3"},
              true, false, "", &result, 5s);
  auto requests = server_.RequestsFor("/api");
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].Header("X-Client-Sn"), "abc");
  EXPECT_EQ(requests[0].Header("X-Next"), "2");
  EXPECT_FALSE(requests[0].HasHeader("X-Injected"));
  EXPECT_FALSE(requests[0].HasHeader("X-Also"));
}

TEST_F(CurlRequestTest, FailedTransfersReportTheCurlCodeAndWhatArrived) {
  server_.AddFile("/stall", "abcdefghij");
  server_.AddFault("/stall", Fault::StallAfter(4));
  server_.AddFault("/to-file", Fault::Redirect("file:///etc/hostname"));
  server_.AddFault("/loop", Fault::Redirect(server_.Url("/loop")));
  struct Case {
    std::string url;
    int32_t code;
    std::string text;
  };
  const std::vector<Case> cases = {
      {ClosedOrigin(server_) + "/x", CURLE_COULDNT_CONNECT, ""},
      {server_.Url("/stall"), CURLE_OPERATION_TIMEDOUT, "abcd"},
      {server_.Url("/to-file"), CURLE_UNSUPPORTED_PROTOCOL, ""},
      {server_.Url("/loop"), CURLE_TOO_MANY_REDIRECTS, ""},
  };
  for (const Case& c : cases) {
    log_.Clear();
    int32_t result = -1;
    const std::string text = CurlRequest(RequestMethod::Get, c.url, {}, true, false, "", &result, 300ms);
    EXPECT_EQ(result, c.code) << c.url;
    EXPECT_EQ(text, c.text) << c.url;
    EXPECT_EQ(log_.Count("[ERROR] curl request, curl easy perform failed, code=[" + std::to_string(c.code) + "]."),
              1)
        << log_.All();
  }
  EXPECT_LE(server_.RequestCount("/loop"), 11) << "a redirect loop must end";
}

TEST_F(CurlRequestTest, ZeroTimeoutStillBoundsTheTransfer) {
  server_.AddFile("/stall", "abcdefghij");
  server_.AddFault("/stall", Fault::StallAfter(2));
  int32_t result = -1;
  CurlRequest(RequestMethod::Get, server_.Url("/stall"), {}, true, false, "", &result, 0ms);
  EXPECT_EQ(result, CURLE_OPERATION_TIMEDOUT);
}

// ---------------------------------------------------------------- HTTPS

// One HTTPS server with a differently flawed certificate on each address.
class CurlTlsTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    ca_ = new TestCa();
    ASSERT_TRUE(ca_->ok()) << ca_->error();
    TlsFiles good = ca_->IssueLeaf("good", {"127.0.0.1", "127.0.0.5"});
    HttpServerOptions options;
    options.Addresses({"127.0.0.1", "127.0.0.2", "127.0.0.3", "127.0.0.4", "127.0.0.5"}).Tls(good).Threads(4);
    options.TlsOn("127.0.0.2", ca_->IssueLeaf("self", {"127.0.0.2"}, TestCa::Kind::kSelfSigned));
    options.TlsOn("127.0.0.3", ca_->IssueLeaf("other-name", {"localhost"}));
    options.TlsOn("127.0.0.4", ca_->IssueLeaf("expired", {"127.0.0.4"}, TestCa::Kind::kExpired));
    server_ = new HttpTestServer(options);
  }
  static void TearDownTestSuite() {
    delete server_;
    delete ca_;
    server_ = nullptr;
    ca_ = nullptr;
  }
  void SetUp() override {
    ASSERT_TRUE(server_->ok()) << server_->error();
    server_->SetHandler("", "/hello", [](const HttpRequest&) { return Text("hello"); });
    server_->ClearLog();
  }

  static TestCa* ca_;
  static HttpTestServer* server_;
  LogCapture log_;
};

TestCa* CurlTlsTest::ca_ = nullptr;
HttpTestServer* CurlTlsTest::server_ = nullptr;

TEST_F(CurlTlsTest, VerifiesEveryPeerWhateverTheSchemeSpelling) {
  struct Case {
    std::string name;
    std::string url;
    bool use_test_ca;
    int32_t code;
  };
  const std::string port = std::to_string(server_->port());
  const std::vector<Case> cases = {
      {"trusted", "https://127.0.0.1:" + port + "/hello", true, CURLE_OK},
      {"trusted, upper-case scheme", "HTTPS://127.0.0.1:" + port + "/hello", true, CURLE_OK},
      {"test CA unknown to the system store", "https://127.0.0.1:" + port + "/hello", false,
       CURLE_PEER_FAILED_VERIFICATION},
      {"self-signed", "https://127.0.0.2:" + port + "/hello", true, CURLE_PEER_FAILED_VERIFICATION},
      {"self-signed, upper-case scheme", "HTTPS://127.0.0.2:" + port + "/hello", true,
       CURLE_PEER_FAILED_VERIFICATION},
      {"name mismatch", "https://127.0.0.3:" + port + "/hello", true, CURLE_PEER_FAILED_VERIFICATION},
      {"expired", "https://127.0.0.4:" + port + "/hello", true, CURLE_PEER_FAILED_VERIFICATION},
  };
  for (const Case& c : cases) {
    ScopedCaBundle bundle(c.use_test_ca ? ca_->bundle_path() : "");
    int32_t result = -1;
    const std::string text = CurlRequest(RequestMethod::Get, c.url, {}, true, false, "", &result, 5s);
    EXPECT_EQ(result, c.code) << c.name;
    EXPECT_EQ(text, c.code == CURLE_OK ? "hello" : "") << c.name;
  }
  EXPECT_EQ(server_->RequestCount("/hello"), 2) << "refused peers never see the request";
}

TEST_F(CurlTlsTest, FormUploadSendsTheFileAsPartFileToVerifiedPeersOnly) {
  testing::ScopedTempDir dir;
  const std::string path = dir.Child("qvORU.log");
  testing::WriteFileForTesting(path, "line one\nline two\n");
  server_->SetHandler("POST", "/upload", [](const HttpRequest&) { return Text("{\"code\":0,\r\n\"data\":{}}"); });
  ScopedCaBundle bundle(ca_->bundle_path());
  const std::string port = std::to_string(server_->port());

  int32_t result = -1;
  EXPECT_EQ(CurlFormDataRequest("https://127.0.0.1:" + port + "/upload", {"Authorization: Bearer t1"}, path, &result),
            "{\"code\":0,\"data\":{}}");
  EXPECT_EQ(result, 0);
  auto requests = server_->RequestsFor("/upload");
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].Header("Authorization"), "Bearer t1");
  ASSERT_EQ(requests[0].form_parts.size(), 1u);
  EXPECT_EQ(requests[0].form_parts[0].name, "file");
  EXPECT_EQ(requests[0].form_parts[0].filename, "qvORU.log");
  EXPECT_EQ(requests[0].form_parts[0].content, "line one\nline two\n");

  result = -1;
  EXPECT_EQ(CurlFormDataRequest("https://127.0.0.2:" + port + "/upload", {}, path, &result), "");
  EXPECT_EQ(result, CURLE_PEER_FAILED_VERIFICATION);
  EXPECT_EQ(log_.Count("[ERROR] curl form data request, curl easy perform failed, code=[60]."), 1) << log_.All();

  result = -1;
  EXPECT_EQ(CurlFormDataRequest("https://127.0.0.1:" + port + "/upload", {}, dir.Child("missing.log"), &result), "");
  EXPECT_NE(result, 0);
  EXPECT_EQ(server_->RequestCount("/upload"), 1);
}

// ------------------------------------------------- host switch and tokens

// Primary API host on 127.0.0.5, secondary on 127.0.0.1, both HTTPS and
// trusted through the test CA.
class ApiHostTest : public CurlTlsTest {
 protected:
  void SetUp() override {
    CurlTlsTest::SetUp();
    bundle_ = std::make_unique<ScopedCaBundle>(ca_->bundle_path());
    endpoints_ = std::make_unique<ScopedEndpoints>(Primary(), Secondary());
  }
  void TearDown() override {
    endpoints_.reset();
    bundle_.reset();
    server_->RemoveHandler("POST", "/v3/user/client/token");
    server_->RemoveHandler("POST", "/v3/echo");
  }
  static std::string Primary() { return "https://127.0.0.5:" + std::to_string(server_->port()); }
  static std::string Secondary() { return "https://127.0.0.1:" + std::to_string(server_->port()); }

  // Answers `primary` on the primary host and `secondary` on the other one.
  void Answer(const std::string& path, HttpResponse primary, HttpResponse secondary) {
    server_->SetHandler("POST", path, [primary, secondary](const HttpRequest& r) {
      return r.local_address == "127.0.0.5" ? primary : secondary;
    });
  }
  std::vector<testing::RequestRecord> On(const std::string& path, const std::string& address) {
    std::vector<testing::RequestRecord> out;
    for (auto& r : server_->RequestsFor(path)) {
      if (r.local_address == address) out.push_back(r);
    }
    return out;
  }

  std::unique_ptr<ScopedCaBundle> bundle_;
  std::unique_ptr<ScopedEndpoints> endpoints_;
};

TEST_F(ApiHostTest, SwitchesToTheSecondaryHostUnlessThePrimaryAnswersCodeZero) {
  struct Case {
    std::string name;
    HttpResponse primary;
    bool switches;
  };
  const std::vector<Case> cases = {
      {"HTML error page", Text("<html><body>502 Bad Gateway</body></html>", 502), true},
      {"service refusal", Text(R"({"code":401,"msg":"unauthorized"})"), true},
      {"code as a string", Text(R"({"code":"0","data":1})"), true},
      {"code missing", Text(R"({"data":1})"), true},
      {"not JSON", Text(R"(code:0)"), true},
      {"success", Text(R"({"code":0,"data":"primary"})"), false},
  };
  const std::string body = R"({"k":"v"})";
  const HeaderList headers = {"Content-Type: application/json", "X-Case: 7"};
  for (const Case& c : cases) {
    server_->ClearLog();
    Answer("/v3/echo", c.primary, Text(R"({"code":500,"data":"secondary"})"));
    const std::string text = PostWithHostSwitch("/v3/echo", headers, body);
    EXPECT_EQ(text, c.switches ? R"({"code":500,"data":"secondary"})" : c.primary.body) << c.name;
    EXPECT_EQ(On("/v3/echo", "127.0.0.5").size(), 1u) << c.name;
    auto second = On("/v3/echo", "127.0.0.1");
    ASSERT_EQ(second.size(), c.switches ? 1u : 0u) << c.name;
    for (const auto& r : server_->RequestsFor("/v3/echo")) {
      EXPECT_EQ(r.method, "POST") << c.name;
      EXPECT_EQ(r.body, body) << c.name;
      EXPECT_EQ(r.Header("Content-Type"), "application/json") << c.name;
      EXPECT_EQ(r.Header("X-Case"), "7") << c.name;
    }
  }
}

TEST_F(ApiHostTest, UnreachableHostsEndInTheSecondaryAnswerOrNothing) {
  Answer("/v3/echo", Text("unused"), Text(R"({"code":0,"data":"secondary"})"));
  {
    ScopedEndpoints closed_primary(ClosedOrigin(*server_), Secondary());
    EXPECT_EQ(PostWithHostSwitch("/v3/echo", {}, "{}"), R"({"code":0,"data":"secondary"})");
  }
  ScopedEndpoints both_closed(ClosedOrigin(*server_), ClosedOrigin(*server_));
  log_.Clear();
  EXPECT_EQ(PostWithHostSwitch("/v3/echo", {}, "{}"), "");
  EXPECT_EQ(GetAccessToken("9", "{sn}", "1.1.1"), "");
  EXPECT_EQ(log_.Count("[ERROR] get token failed! result=[]."), 1) << log_.All();
  EXPECT_THAT(log_.Matching("switch host"), IsEmpty());
}

TEST_F(ApiHostTest, TokenRequestCarriesTheFixedHeadersAndBody) {
  EXPECT_THAT(AccessTokenHeaders("4001", "{c0ffee}", "1.1.1"),
              ElementsAre("X-Client-Type: 1", "Content-Type: application/json",
                          "X-App-Key: 3f0a9c1e7b2d4e6f8a0b1c2d.demo", "X-Client-Sn: {c0ffee}", "X-Prod-Id: 4001",
                          "X-Prod-Ver: 1.1.1"));
  Answer("/v3/user/client/token", Text(R"({"code":0,"data":{"access_token":"tk-1","expires_in":7200}})"),
         Text("unused"));
  EXPECT_EQ(GetAccessToken("4001", "{c0ffee}", "1.1.1"), "tk-1");
  auto requests = server_->RequestsFor("/v3/user/client/token");
  ASSERT_EQ(requests.size(), 1u);
  const auto& r = requests[0];
  EXPECT_EQ(r.local_address, "127.0.0.5");
  EXPECT_EQ(r.body, kTokenBody);
  EXPECT_EQ(r.Header("X-Client-Type"), "1");
  EXPECT_EQ(r.Header("Content-Type"), "application/json");
  EXPECT_EQ(r.Header("X-App-Key"), "3f0a9c1e7b2d4e6f8a0b1c2d.demo");
  EXPECT_EQ(r.Header("X-Client-Sn"), "{c0ffee}");
  EXPECT_EQ(r.Header("X-Prod-Id"), "4001");
  EXPECT_EQ(r.Header("X-Prod-Ver"), "1.1.1");
}

TEST_F(ApiHostTest, TokenAnswersBothOperationsRead) {
  struct Case {
    std::string answer;
    std::string token;
  };
  const std::vector<Case> cases = {
      {R"({"code":0,"data":{"access_token":"tk-2"}})", "tk-2"},
      {R"({"code":0,"data":null})", ""},
      {R"({"code":0})", ""},
      {R"({"code":0,"data":{"access_token":42}})", ""},
      {R"({"code":0,"data":"tk-3"})", ""},
      {R"({"code":"0","data":{"access_token":"tk-4"}})", ""},
      {R"({"code":401,"data":{"access_token":"tk-5"}})", ""},
  };
  for (const Case& c : cases) {
    Answer("/v3/user/client/token", Text(c.answer), Text(c.answer));
    log_.Clear();
    EXPECT_EQ(GetAccessToken("1", "sn", "1.1.1"), c.token) << c.answer;
    const bool refused = ReadApiCode(c.answer) != 0;
    EXPECT_EQ(log_.Count("[ERROR] get token failed! result=[" + c.answer + "]."), refused ? 1 : 0) << log_.All();
    ApiIdentity identity;
    EXPECT_EQ(identity.GetAccessToken(), c.token) << c.answer;
  }
}

TEST_F(ApiHostTest, IdentityTokenAsksThePrimaryHostOnlyWithTheCommonHeaders) {
  Answer("/v3/user/client/token", Text(R"({"code":401})"), Text(R"({"code":0,"data":{"access_token":"x"}})"));
  ApiIdentity identity;
  identity.client_serial = "{abc-G}";
  identity.product_id = 321;
  identity.language = "fr-fr";
  EXPECT_EQ(identity.GetAccessToken(), "");
  EXPECT_THAT(On("/v3/user/client/token", "127.0.0.1"), IsEmpty());
  auto requests = On("/v3/user/client/token", "127.0.0.5");
  ASSERT_EQ(requests.size(), 1u);
  const auto& r = requests[0];
  EXPECT_EQ(r.body, kTokenBody);
  EXPECT_EQ(r.Header("Content-Type"), "application/json");
  EXPECT_EQ(r.Header("X-Client-Sn"), "{abc-G}");
  EXPECT_EQ(r.Header("X-Client-Type"), "1");
  EXPECT_EQ(r.Header("X-App-Key"), "3f0a9c1e7b2d4e6f8a0b1c2d.demo");
  EXPECT_EQ(r.Header("X-Prod-Id"), "321");
  EXPECT_EQ(r.Header("X-Lang"), "fr-fr");
  EXPECT_EQ(r.Header("X-Prod-Ver"), "4.0.5.0");
  EXPECT_THAT(log_.Matching("get token failed"), IsEmpty());
}

// ---------------------------------------------------------- common headers

TEST(AppendCommonHeadersTest, AppendsInOrderAndFillsAnEmptyVersion) {
  LogCapture log;
  ApiIdentity identity;
  identity.client_serial = "{sn-G}";
  identity.product_id = 9001;
  identity.language = "de-de";
  HeaderList headers = {"Content-Type: application/json"};
  EXPECT_TRUE(AppendCommonHeaders(identity, headers));
  EXPECT_THAT(headers, ElementsAre("Content-Type: application/json", "X-Client-Sn: {sn-G}", "X-Client-Type: 1",
                                   "X-App-Key: 3f0a9c1e7b2d4e6f8a0b1c2d.demo", "X-Prod-Id: 9001", "X-Lang: de-de",
                                   "X-Prod-Ver: 4.0.5.0"));
  EXPECT_EQ(identity.product_version, "4.0.5.0");
  EXPECT_EQ(log.Count("[INFO] x-lang=[de-de]"), 1) << log.All();

  identity.product_version = "6.2.1.7";
  identity.product_id = -3;
  HeaderList again;
  AppendCommonHeaders(identity, again);
  EXPECT_EQ(again.back(), "X-Prod-Ver: 6.2.1.7");
  EXPECT_EQ(again[3], "X-Prod-Id: -3");
  EXPECT_EQ(identity.product_version, "6.2.1.7");
}

}  // namespace
}  // namespace oru
