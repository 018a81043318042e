#include "download_engine/host_store.h"

#include <curl/curl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <algorithm>
#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "common/log.h"
#include "support/http_test_server.h"
#include "support/test_ca.h"
#include "support/test_clock.h"

namespace ns_PEM {
namespace {

using oru::testing::Fault;
using oru::testing::FaultRule;
using oru::testing::HttpRequest;
using oru::testing::HttpResponse;
using oru::testing::HttpServerOptions;
using oru::testing::HttpTestServer;
using oru::testing::RequestRecord;
using oru::testing::TestCa;
using oru::testing::TestClock;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

class CurlEnvironment : public ::testing::Environment {
 public:
  void SetUp() override { curl_global_init(CURL_GLOBAL_DEFAULT); }
  void TearDown() override { curl_global_cleanup(); }
};
[[maybe_unused]] ::testing::Environment* const kCurlEnvironment =
    ::testing::AddGlobalTestEnvironment(new CurlEnvironment);

// Every line the engine logs while the capture exists.
class LogCapture : public oru::LogSink {
 public:
  LogCapture() { oru::SetProcessLog(this); }
  ~LogCapture() override { oru::SetProcessLog(nullptr); }
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  void LogV(int, const char* format, va_list args) override {
    char buf[4096];
    std::vsnprintf(buf, sizeof buf, format, args);
    std::lock_guard lock(mutex_);
    lines_.emplace_back(buf);
  }
  int Count(const std::string& line) const {
    std::lock_guard lock(mutex_);
    return static_cast<int>(std::count(lines_.begin(), lines_.end(), line));
  }
  bool Has(const std::string& line) const { return Count(line) > 0; }
  int CountStartingWith(const std::string& prefix) const {
    std::lock_guard lock(mutex_);
    return static_cast<int>(
        std::count_if(lines_.begin(), lines_.end(), [&](const std::string& l) { return l.rfind(prefix, 0) == 0; }));
  }
  // Position of the first line equal to `line`, or -1.
  int IndexOf(const std::string& line) const {
    std::lock_guard lock(mutex_);
    auto it = std::find(lines_.begin(), lines_.end(), line);
    return it == lines_.end() ? -1 : static_cast<int>(it - lines_.begin());
  }
  std::string Dump() const {
    std::lock_guard lock(mutex_);
    std::string out;
    for (const std::string& l : lines_) out += l + "\n";
    return out;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> lines_;
};

// Names of the form "*.test" exist only here: a test machine has no DNS we
// could point at the loopback servers, so the system resolver is replaced
// by this table (the HTTP DNS service, probes and transfers stay real).
class FakeResolver : public ISystemResolver {
 public:
  void Map(const std::string& name, std::vector<std::string> dotted) {
    std::lock_guard lock(mutex_);
    std::vector<uint32_t>& out = table_[name];
    out.clear();
    for (const std::string& d : dotted) out.push_back(*ParseIpv4(d));
  }
  std::vector<uint32_t> ResolveIpv4(const std::string& host_name) override {
    std::lock_guard lock(mutex_);
    asked_.push_back(host_name);
    auto it = table_.find(host_name);
    return it == table_.end() ? std::vector<uint32_t>{} : it->second;
  }
  bool FlushCache() override {
    flushes_++;
    return true;
  }
  int flushes() const { return flushes_; }
  std::vector<std::string> asked() const {
    std::lock_guard lock(mutex_);
    return asked_;
  }

 private:
  mutable std::mutex mutex_;
  std::map<std::string, std::vector<uint32_t>> table_;
  std::vector<std::string> asked_;
  std::atomic<int> flushes_{0};
};

std::string Sha256HexForTest(const std::string& text) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  EVP_Digest(text.data(), text.size(), digest, &length, EVP_sha256(), nullptr);
  std::string hex;
  char two[3];
  for (unsigned int i = 0; i < length; ++i) {
    std::snprintf(two, sizeof two, "%02x", digest[i]);
    hex += two;
  }
  return hex;
}

std::vector<std::string> Loopbacks(int first, int last) {
  std::vector<std::string> out;
  for (int i = first; i <= last; ++i) out.push_back("127.0.0." + std::to_string(i));
  return out;
}

std::multiset<std::string> AddressesOf(const std::vector<RequestRecord>& records, const std::string& method) {
  std::multiset<std::string> out;
  for (const RequestRecord& r : records) {
    if (r.method == method) out.insert(r.local_address);
  }
  return out;
}

std::vector<std::string> MethodsOf(const std::vector<RequestRecord>& records) {
  std::vector<std::string> out;
  for (const RequestRecord& r : records) out.push_back(r.method);
  return out;
}

HttpServerOptions OnAddresses(std::vector<std::string> addresses, int threads_per_address = 8) {
  HttpServerOptions options;
  options.addresses = std::move(addresses);
  options.threads_per_address = threads_per_address;
  return options;
}

HttpServerOptions WithTls(oru::testing::TlsFiles files) {
  HttpServerOptions options;
  options.tls = std::move(files);
  return options;
}

FaultRule Rule(const std::string& path, const std::string& address, const std::string& method, Fault fault) {
  FaultRule rule;
  rule.path = path;
  rule.address = address;
  rule.method = method;
  rule.fault = std::move(fault);
  return rule;
}

HttpResponse Answer(int status, std::string body) {
  HttpResponse response;
  response.status = status;
  response.body = std::move(body);
  return response;
}

const std::string kPackage(1000, 'p');

// ================================================================ texts

TEST(UrlTest, SplitsAndRewritesHosts) {
  UrlParts parts;
  ASSERT_TRUE(SplitUrl("https://pkg.test:8443/a/b.exe?x=1", parts));
  EXPECT_EQ(parts.scheme, "https");
  EXPECT_EQ(parts.host, "pkg.test:8443");
  EXPECT_EQ(parts.path, "/a/b.exe?x=1");
  ASSERT_TRUE(SplitUrl("http://pkg.test", parts));
  EXPECT_EQ(parts.host, "pkg.test");
  EXPECT_EQ(parts.path, "");
  UrlParts untouched{"s", "h", "p"};
  EXPECT_FALSE(SplitUrl("pkg.test/a.exe", untouched));
  EXPECT_EQ(untouched.host, "h");

  EXPECT_EQ(ReplaceUrlHost("https://pkg.test:8443/a/b.exe", "cdn.test"), "https://cdn.test/a/b.exe");
  EXPECT_EQ(ReplaceUrlHost("http://pkg.test", "cdn.test:81"), "http://cdn.test:81");
  EXPECT_EQ(ReplaceUrlHost("no-scheme/x", "cdn.test"), "no-scheme/x");

  EXPECT_EQ(HostNameOf("pkg.test:8443"), "pkg.test");
  EXPECT_EQ(HostNameOf("user@pkg.test"), "pkg.test");
  EXPECT_EQ(HostNameOf("[::1]:80"), "[::1]");
  EXPECT_EQ(PortOf("https", "pkg.test"), 443);
  EXPECT_EQ(PortOf("HTTP", "pkg.test"), 80);
  EXPECT_EQ(PortOf("http", "pkg.test:8080"), 8080);
  EXPECT_EQ(PortOf("https", "pkg.test:99999"), 443);
}

TEST(UrlTest, OnlyPlainHostNamesArePlausible) {
  for (const char* good : {"cdn.test", "cdn-2.example.com:8443", "a_b.test", "127.0.0.1", "[::1]:80"}) {
    EXPECT_TRUE(IsPlausibleHost(good)) << good;
  }
  for (const char* bad : {"", "evil.test/x?", "user@evil.test", "a b.test", "cdn.test#", "cdn.test\r\nX: 1"}) {
    EXPECT_FALSE(IsPlausibleHost(bad)) << bad;
  }
}

TEST(Ipv4TextTest, ParsesOnlyStrictDottedQuads) {
  EXPECT_EQ(ParseIpv4("127.0.0.1"), 0x7F000001u);
  EXPECT_EQ(ParseIpv4("255.255.255.255"), 0xFFFFFFFFu);
  EXPECT_EQ(FormatIpv4(0x0A00020Bu), "10.0.2.11");
  for (const char* bad : {"", "1.2.3", "1.2.3.4.5", "1.2.3.256", "01.2.3.4", "1.2.3.4 ", "a.b.c.d", "1..3.4", "-1.2.3.4"}) {
    EXPECT_FALSE(ParseIpv4(bad).has_value()) << bad;
  }
}

TEST(PercentEncodeTest, KeepsUnreservedAndEncodesTheRest) {
  EXPECT_EQ(PercentEncode("aZ09-._~"), "aZ09-._~");
  EXPECT_EQ(PercentEncode("a b&c=d/é"), "a%20b%26c%3Dd%2F%C3%A9");
}

struct AnswerCase {
  const char* name;
  const char* answer;
  std::vector<std::string> expected;
};

class HttpDnsAnswerTest : public ::testing::TestWithParam<AnswerCase> {};

TEST_P(HttpDnsAnswerTest, ReadsTheArray) { EXPECT_EQ(ParseHttpDnsAnswer(GetParam().answer), GetParam().expected); }

INSTANTIATE_TEST_SUITE_P(
    Cases, HttpDnsAnswerTest,
    ::testing::Values(
        AnswerCase{"two_without_space", R"(["1.2.3.4","5.6.7.8"])", {"1.2.3.4", "5.6.7.8"}},
        AnswerCase{"two_with_space", R"(["1.2.3.4", "5.6.7.8"])", {"1.2.3.4", "5.6.7.8"}},
        AnswerCase{"pretty_printed", "[\n  \"1.2.3.4\",\n  \"5.6.7.8\"\n]\n", {"1.2.3.4", "5.6.7.8"}},
        AnswerCase{"one", R"(["10.0.0.1"])", {"10.0.0.1"}},
        AnswerCase{"empty_array", "[]", {}},
        AnswerCase{"too_short", "[", {}},
        AnswerCase{"empty", "", {}},
        // Anything but a dotted address is dropped instead of becoming 255.255.255.255.
        AnswerCase{"garbage_pieces", R"(["1.2.3.4","evil.test","1.2.3.256",7,"","01.1.1.1"])", {"1.2.3.4"}},
        AnswerCase{"error_page", "<html><body>403, forbidden</body></html>", {}}),
    [](const ::testing::TestParamInfo<AnswerCase>& p) { return std::string(p.param.name); });

// ================================================================ alias-switch state

TEST(AliasSwitchStateTest, TwoRoundsThenGiveUpUntilReset) {
  LogCapture log;
  CAliasSwitchState state;
  EXPECT_TRUE(state.BeginAliasRound(7));
  EXPECT_TRUE(state.BeginAliasRound(7));
  EXPECT_FALSE(state.BeginAliasRound(7));
  EXPECT_FALSE(state.BeginAliasRound(7));
  EXPECT_TRUE(state.BeginAliasRound(8)) << "rounds are counted per product";
  EXPECT_TRUE(log.Has("[INFO] alias switch, begin round=[1/2], pid=[7]."));
  EXPECT_TRUE(log.Has("[INFO] alias switch, begin round=[2/2], pid=[7]."));
  EXPECT_EQ(log.Count("[WARN] alias switch, round limit reached (2), give up for pid=[7]."), 1);
  EXPECT_EQ(log.Count("[WARN] alias switch, already gave up, pid=[7], round=[2]."), 1);

  state.SetStickyHost(7, "cdn.test");
  state.ResetAliasRounds(7);
  EXPECT_TRUE(state.BeginAliasRound(7));
  EXPECT_EQ(state.GetStickyHost(7), "cdn.test") << "a reset keeps the sticky host";
}

TEST(AliasSwitchStateTest, StickyHostIsDroppedAfterTwoFailures) {
  LogCapture log;
  CAliasSwitchState state;
  state.ReportStickyHostFailure(3);  // no sticky host: nothing to count
  state.SetStickyHost(3, "cdn.test");
  state.ReportStickyHostFailure(3);
  EXPECT_EQ(state.GetStickyHost(3), "cdn.test");
  state.SetStickyHost(3, "cdn.test");  // setting again zeroes the failures
  state.ReportStickyHostFailure(3);
  EXPECT_EQ(state.GetStickyHost(3), "cdn.test");
  state.ReportStickyHostFailure(3);
  EXPECT_EQ(state.GetStickyHost(3), "");
  EXPECT_EQ(log.Count("[WARN] alias switch, sticky host=[cdn.test] failed [2] rounds, drop it and fall back to "
                      "origin, pid=[3]."),
            1);
}

TEST(AliasSwitchStateTest, ProviderGetsTaskAndVersion) {
  CAliasSwitchState state;
  EXPECT_THAT(state.GetAliasHosts(5, "1.2"), IsEmpty());
  state.SetAliasHostProvider([](int32_t task, const std::string& version) {
    return std::vector<std::string>{std::to_string(task) + "-" + version + ".test"};
  });
  EXPECT_THAT(state.GetAliasHosts(5, "1.2"), ElementsAre("5-1.2.test"));
  state.SetAliasHostProvider({});
  EXPECT_THAT(state.GetAliasHosts(5, "1.2"), IsEmpty());
}

// ================================================================ resolution and probing

class HostStoreTest : public ::testing::Test {
 protected:
  HostStoreConfig Config() const {
    HostStoreConfig config;
    config.http_dns = dns_;
    return config;
  }

  LogCapture log_;
  FakeResolver resolver_;
  TestClock clock_;  // manual: time stands still, HTTP DNS time stamps are fixed
  HttpDnsConfig dns_;
};

TEST_F(HostStoreTest, SystemResolutionProbesEveryAddressUnderTheRealHostName) {
  HttpTestServer server(OnAddresses(Loopbacks(1, 3)));
  ASSERT_TRUE(server.ok()) << server.error();
  server.AddFile("/pkg.bin", kPackage);
  resolver_.Map("pkg.test", Loopbacks(1, 3));
  HostStore store(Config(), resolver_, clock_);
  const std::string url = server.UrlOn("pkg.test", "/pkg.bin");
  const std::string host = "pkg.test:" + std::to_string(server.port());

  ASSERT_TRUE(store.InitHost(url));
  std::vector<std::string> ips;
  ASSERT_TRUE(store.GetHostIps(host, ips));
  EXPECT_THAT(ips, ElementsAre("127.0.0.1", "127.0.0.2", "127.0.0.3"));
  EXPECT_EQ(store.GetSize(url), 1000);
  EXPECT_EQ(store.GetSize(url + "?other"), 0) << "sizes are known per exact URL";
  EXPECT_TRUE(store.HasHost(url));
  std::string info_host;
  std::string info_ips;
  ASSERT_TRUE(store.GetDnsInfo(url, info_host, info_ips));
  EXPECT_EQ(info_host, host);
  EXPECT_EQ(info_ips, "127.0.0.1,127.0.0.2,127.0.0.3");
  EXPECT_THAT(resolver_.asked(), ElementsAre("pkg.test")) << "the name is resolved without its port";

  std::vector<RequestRecord> probes = server.RequestsFor("/pkg.bin");
  EXPECT_EQ(AddressesOf(probes, "HEAD"), (std::multiset<std::string>{"127.0.0.1", "127.0.0.2", "127.0.0.3"}));
  for (const RequestRecord& r : probes) {
    EXPECT_EQ(r.Header("Host"), host);
    EXPECT_EQ(r.Header("Cache-Control"), "no-cache");
  }
  EXPECT_TRUE(log_.Has("[INFO] query host=[" + host + "], ip count=[3]."));
  EXPECT_TRUE(log_.Has("[INFO] host ip=[127.0.0.2]"));
  EXPECT_TRUE(log_.Has("[INFO] ulfs_max=[1000], count=[3]"));
  EXPECT_TRUE(log_.Has("[INFO] init host, vaild ip count=[3]"));
  EXPECT_EQ(log_.CountStartingWith("[INFO] query httpdns"), 0) << "no HTTP DNS while the system answers";

  server.ClearLog();
  EXPECT_TRUE(store.InitHost(url)) << "validated hosts are not probed again";
  EXPECT_EQ(server.RequestCount(), 0);
}

TEST_F(HostStoreTest, AddressAnnouncingAWrongLengthIsRemoved) {
  HttpTestServer server(OnAddresses(Loopbacks(1, 3)));
  ASSERT_TRUE(server.ok()) << server.error();
  server.AddFile("/pkg.bin", kPackage);
  server.AddFault(Rule("/pkg.bin", "127.0.0.2", "", Fault::WrongLength(999)));
  resolver_.Map("pkg.test", Loopbacks(1, 3));
  HostStore store(Config(), resolver_, clock_);
  const std::string url = server.UrlOn("pkg.test", "/pkg.bin");

  ASSERT_TRUE(store.InitHost(url));
  std::vector<std::string> ips;
  store.GetHostIps("pkg.test:" + std::to_string(server.port()), ips);
  EXPECT_THAT(ips, ElementsAre("127.0.0.1", "127.0.0.3"));
  EXPECT_EQ(store.GetSize(url), 1000);
  EXPECT_TRUE(log_.Has("[INFO] ulfs_max=[999], count=[1]")) << log_.Dump();
  EXPECT_TRUE(log_.Has("[INFO] ulfs_max=[1000], count=[2]"));
  EXPECT_TRUE(log_.Has("[WARN] remove host ip=[127.0.0.2]"));
  EXPECT_TRUE(log_.Has("[INFO] init host, vaild ip count=[2]"));
}

TEST_F(HostStoreTest, EqualGroupsKeepTheSmallerLength) {
  HttpTestServer server(OnAddresses(Loopbacks(1, 4)));
  ASSERT_TRUE(server.ok()) << server.error();
  server.AddFile("/pkg.bin", kPackage);
  for (const char* address : {"127.0.0.1", "127.0.0.3"}) {
    server.AddFault(Rule("/pkg.bin", address, "", Fault::WrongLength(900)));
  }
  resolver_.Map("pkg.test", Loopbacks(1, 4));
  HostStore store(Config(), resolver_, clock_);
  const std::string url = server.UrlOn("pkg.test", "/pkg.bin");

  ASSERT_TRUE(store.InitHost(url));
  std::vector<std::string> ips;
  store.GetHostIps("pkg.test:" + std::to_string(server.port()), ips);
  EXPECT_THAT(ips, ElementsAre("127.0.0.1", "127.0.0.3"));
  EXPECT_EQ(store.GetSize(url), 900);
  EXPECT_FALSE(log_.Has("[INFO] ulfs_max=[1000], count=[2]")) << "an equal count is no new leader";
}

TEST_F(HostStoreTest, ProbingStopsAtTenAgreeingAddresses) {
  HttpTestServer server(OnAddresses(Loopbacks(1, 12), 2));
  ASSERT_TRUE(server.ok()) << server.error();
  server.AddFile("/pkg.bin", kPackage);
  resolver_.Map("pkg.test", Loopbacks(1, 12));
  HostStore store(Config(), resolver_, clock_);

  ASSERT_TRUE(store.InitHost(server.UrlOn("pkg.test", "/pkg.bin")));
  std::multiset<std::string> probed = AddressesOf(server.RequestsFor("/pkg.bin"), "HEAD");
  EXPECT_EQ(probed.size(), 10u);
  EXPECT_EQ(probed.count("127.0.0.11") + probed.count("127.0.0.12"), 0u);
  std::vector<std::string> ips;
  store.GetHostIps("pkg.test:" + std::to_string(server.port()), ips);
  EXPECT_EQ(ips.size(), 10u);
  EXPECT_TRUE(log_.Has("[WARN] remove host ip=[127.0.0.11]"));
  EXPECT_TRUE(log_.Has("[WARN] remove host ip=[127.0.0.12]"));
}

TEST_F(HostStoreTest, ErrorAnswersAreNoLengthAndEveryAddressIsKept) {
  HttpTestServer server(OnAddresses(Loopbacks(1, 2)));
  ASSERT_TRUE(server.ok()) << server.error();
  server.AddFile("/pkg.bin", kPackage);
  server.AddFault("/pkg.bin", Fault::Status(404));
  resolver_.Map("pkg.test", Loopbacks(1, 2));
  HostStore store(Config(), resolver_, clock_);
  const std::string url = server.UrlOn("pkg.test", "/pkg.bin");

  ASSERT_TRUE(store.InitHost(url));
  std::vector<std::string> ips;
  store.GetHostIps("pkg.test:" + std::to_string(server.port()), ips);
  EXPECT_EQ(ips.size(), 2u);
  EXPECT_EQ(store.GetSize(url), 0) << "a 404 page's length is not the package size";
  // HEAD gave nothing, so each address was asked once more with GET.
  EXPECT_EQ(AddressesOf(server.RequestsFor("/pkg.bin"), "GET").size(), 2u);
  EXPECT_EQ(log_.CountStartingWith("[INFO] ulfs_max="), 0);
  EXPECT_TRUE(log_.Has("[INFO] init host, vaild ip count=[2]"));
}

TEST_F(HostStoreTest, ProbeFallsBackToGetAndStopsAfterTheHeaders) {
  HttpTestServer server;
  ASSERT_TRUE(server.ok()) << server.error();
  server.AddFile("/big.bin", std::string(4 << 20, 'b'));
  server.AddFault(Rule("/big.bin", "", "HEAD", Fault::Status(405)));
  // Reading the body at this rate would take 40 s, four times the limit.
  server.AddFault(Rule("/big.bin", "", "GET", Fault::Throttle(100000)));

  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(ProbeContentLength(server.UrlOn("pkg.test", "/big.bin"), "127.0.0.1", "", std::chrono::seconds(10)),
            4 << 20);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  EXPECT_THAT(MethodsOf(server.RequestsFor("/big.bin")), ElementsAre("HEAD", "GET"));
}

TEST_F(HostStoreTest, HttpDnsAnswersWhenTheSystemHasNothing) {
  HttpTestServer packages(OnAddresses(Loopbacks(2, 3)));
  HttpTestServer dns;
  ASSERT_TRUE(packages.ok() && dns.ok());
  packages.AddFile("/pkg.bin", kPackage);
  dns_.account_id = "acc 1&2";  // must arrive intact: values are percent-encoded
  dns_.access_key_id = "ak/9";
  dns_.signing_secret = "s3cret";
  // The first server refuses connections; the second one answers.
  dns_.servers = {"http://127.0.0.1:1", dns.BaseUrl()};
  std::atomic<int> signed_ok{0};
  dns.SetHandler("GET", "/resolve", [&](const HttpRequest& r) {
    const std::string ts = r.Param("ts");
    const std::string expected_key =
        Sha256HexForTest(r.Param("uid") + "s3cret" + ts + r.Param("name") + r.Param("ak"));
    bool ok = r.Param("type") == "1" && r.Param("short") == "1" && r.Param("uid") == "acc 1&2" &&
              r.Param("ak") == "ak/9" && r.Param("name") == "pkg.test" && ts == "1704067200" &&
              r.Param("key") == expected_key;
    if (!ok) return Answer(403, "[]");
    signed_ok++;
    return Answer(200, R"(["127.0.0.3", "127.0.0.2"])");
  });
  HostStore store(Config(), resolver_, clock_);
  const std::string url = packages.UrlOn("pkg.test", "/pkg.bin");
  const std::string host = "pkg.test:" + std::to_string(packages.port());

  ASSERT_TRUE(store.InitHost(url)) << log_.Dump();
  EXPECT_EQ(signed_ok.load(), 1);
  std::vector<std::string> ips;
  store.GetHostIps(host, ips);
  EXPECT_THAT(ips, ElementsAre("127.0.0.2", "127.0.0.3"));
  EXPECT_EQ(store.GetSize(url), 1000);
  EXPECT_TRUE(log_.Has("[INFO] query httpdns, host=[" + host + "], ip count=[2]."));
  EXPECT_TRUE(log_.Has("[ERROR] curl request, curl easy perform failed, code=[7]."));
}

TEST_F(HostStoreTest, HttpDnsOverHttpsVerifiesTheServer) {
  TestCa ca;
  ASSERT_TRUE(ca.ok()) << ca.error();
  HttpTestServer dns(WithTls(ca.IssueLeaf("dns", {"127.0.0.1"})));
  ASSERT_TRUE(dns.ok()) << dns.error();
  dns.SetHandler("GET", "/resolve", [](const HttpRequest&) { return Answer(200, R"(["127.0.0.9"])"); });
  dns_.servers = {dns.BaseUrl()};
  ASSERT_EQ(dns.scheme(), "https");

  EXPECT_THAT(ResolveByHttpDns("pkg.test", dns_, ca.bundle_path(), clock_), ElementsAre("127.0.0.9"));
  EXPECT_THAT(ResolveByHttpDns("pkg.test", dns_, "", clock_), IsEmpty()) << "an untrusted certificate is refused";
}

TEST_F(HostStoreTest, NothingFromEitherResolverFailsTheHost) {
  HttpTestServer dns;
  ASSERT_TRUE(dns.ok());
  dns.SetHandler("GET", "/resolve", [](const HttpRequest&) { return Answer(200, "[]"); });
  dns_.servers = {dns.BaseUrl()};
  HostStore store(Config(), resolver_, clock_);

  EXPECT_FALSE(store.InitHost("http://pkg.test/pkg.bin"));
  EXPECT_FALSE(store.HasHost("http://pkg.test/pkg.bin"));
  EXPECT_TRUE(log_.Has("[INFO] query httpdns, host=[pkg.test], ip count=[0]."));
  EXPECT_TRUE(log_.Has("[INFO] query host=[pkg.test], ip count=[0]."));
  EXPECT_TRUE(log_.Has("[ERROR] query host failed!"));
}

TEST_F(HostStoreTest, BadUrlsAreRefusedWithTheirLines) {
  HostStore store(Config(), resolver_, clock_);
  EXPECT_FALSE(store.InitHost(""));
  EXPECT_TRUE(log_.Has("[ERROR] init host url is empty."));
  EXPECT_FALSE(store.InitHost("pkg.test/pkg.bin"));
  EXPECT_FALSE(store.InitHost("http:///pkg.bin"));
  EXPECT_EQ(log_.Count("[ERROR] parse url failed!"), 2);
  EXPECT_FALSE(store.QueryHost(""));
  EXPECT_THAT(resolver_.asked(), IsEmpty());
}

TEST_F(HostStoreTest, ClearAllForgetsAddressesButNotSizes) {
  HttpTestServer server;
  ASSERT_TRUE(server.ok());
  server.AddFile("/pkg.bin", kPackage);
  resolver_.Map("pkg.test", {"127.0.0.1"});
  HostStore store(Config(), resolver_, clock_);
  const std::string url = server.UrlOn("pkg.test", "/pkg.bin");
  ASSERT_TRUE(store.InitHost(url));

  store.ClearAll();
  EXPECT_FALSE(store.HasHost(url));
  EXPECT_EQ(resolver_.flushes(), 1);
  EXPECT_EQ(store.GetSize(url), 1000);
  EXPECT_TRUE(store.QueryHost("pkg.test:" + std::to_string(server.port())));
  EXPECT_TRUE(store.HasHost(url));
}

TEST_F(HostStoreTest, ConcurrentPreparationsProbeOnce) {
  HttpTestServer server(OnAddresses(Loopbacks(1, 3)));
  ASSERT_TRUE(server.ok());
  server.AddFile("/pkg.bin", kPackage);
  server.AddFault("/pkg.bin", Fault::Delay(std::chrono::milliseconds(50)));
  resolver_.Map("pkg.test", Loopbacks(1, 3));
  HostStore store(Config(), resolver_, clock_);
  const std::string url = server.UrlOn("pkg.test", "/pkg.bin");
  const std::string host = "pkg.test:" + std::to_string(server.port());

  std::atomic<bool> done{false};
  std::atomic<int> succeeded{0};
  std::vector<std::thread> threads;
  for (int i = 0; i < 3; ++i) {
    threads.emplace_back([&] { succeeded += store.InitHost(url) ? 1 : 0; });
  }
  std::thread reader([&] {
    while (!done) {
      std::vector<std::string> ips;
      std::string h;
      std::string list;
      store.GetHostIps(host, ips);
      store.GetDnsInfo(url, h, list);
      (void)store.GetSize(url);
      (void)store.HasHost(url);
    }
  });
  for (std::thread& t : threads) t.join();
  done = true;
  reader.join();
  EXPECT_EQ(succeeded.load(), 3);
  EXPECT_EQ(AddressesOf(server.RequestsFor("/pkg.bin"), "HEAD").size(), 3u);
}

TEST_F(HostStoreTest, StopDuringProbingLeavesTheHostUnresolved) {
  HttpTestServer server;
  ASSERT_TRUE(server.ok());
  server.AddFile("/pkg.bin", kPackage);
  server.AddFault("/pkg.bin", Fault::Delay(std::chrono::seconds(30)));
  resolver_.Map("pkg.test", {"127.0.0.1"});
  HostStore store(Config(), resolver_, clock_);
  const std::string url = server.UrlOn("pkg.test", "/pkg.bin");

  std::stop_source stop;
  std::thread canceller([&] {
    server.WaitForRequests("/pkg.bin", 1);
    stop.request_stop();
  });
  auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(store.InitHost(url, stop.get_token()));
  canceller.join();
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
  EXPECT_FALSE(store.HasHost(url));
  EXPECT_TRUE(log_.Has("[WARN] init host stopped, host=[pkg.test:" + std::to_string(server.port()) + "]."));
}

// ================================================================ downloader side

class HostSelectorTest : public ::testing::Test {
 protected:
  HostSelectorTest() : store_(HostStoreConfig{}, resolver_, clock_) {}

  std::unique_ptr<CHostSelector> MakeSelector(const std::string& ca_bundle = "") {
    CHostSelector::Options options;
    options.ca_bundle = ca_bundle;
    return std::make_unique<CHostSelector>([this](DownloadEvent e) {
      std::lock_guard lock(events_mutex_);
      events_.push_back(std::move(e));
    }, store_, alias_, clock_, options);
  }
  std::vector<std::string> EventTexts() {
    std::lock_guard lock(events_mutex_);
    std::vector<std::string> out;
    for (const DownloadEvent& e : events_) {
      out.push_back(std::to_string(static_cast<int>(e.type)) + (e.text() ? " " + *e.text() : ""));
    }
    return out;
  }

  LogCapture log_;
  FakeResolver resolver_;
  // Scaled: the 500 ms pauses between size tries pass in half a millisecond.
  TestClock clock_{TestClock::Scaled{1000.0}};
  HostStore store_;
  CAliasSwitchState alias_;
  std::mutex events_mutex_;
  std::vector<DownloadEvent> events_;
};

TEST_F(HostSelectorTest, PrepareHostFillsTheMapAndReportsTheAddresses) {
  HttpTestServer server(OnAddresses(Loopbacks(1, 3)));
  ASSERT_TRUE(server.ok());
  server.AddFile("/pkg.bin", kPackage);
  resolver_.Map("pkg.test", Loopbacks(1, 3));
  auto selector = MakeSelector();
  const std::string url = server.UrlOn("pkg.test", "/pkg.bin");
  const std::string host = "pkg.test:" + std::to_string(server.port());

  int64_t total = 0;
  ASSERT_TRUE(selector->PrepareHost(url, false, total));
  EXPECT_EQ(total, 1000);
  EXPECT_EQ(selector->Addresses(), (std::map<std::string, uint32_t>{{"127.0.0.1", 0}, {"127.0.0.2", 0}, {"127.0.0.3", 0}}));
  EXPECT_THAT(EventTexts(), ElementsAre("16 " + host + ":127.0.0.1,127.0.0.2,127.0.0.3"));

  // Known host, no clearing: no events, the size is left alone.
  total = 5;
  ASSERT_TRUE(selector->PrepareHost(url, false, total));
  EXPECT_EQ(total, 5);
  EXPECT_EQ(EventTexts().size(), 1u);

  // With clearing: the cache goes, the host is resolved and probed again.
  server.ClearLog();
  ASSERT_TRUE(selector->PrepareHost(url, true, total));
  EXPECT_EQ(resolver_.flushes(), 1);
  EXPECT_THAT(EventTexts(), ElementsAre("16 " + host + ":127.0.0.1,127.0.0.2,127.0.0.3", "15",
                                        "16 " + host + ":127.0.0.1,127.0.0.2,127.0.0.3"));
  EXPECT_EQ(server.RequestCount("/pkg.bin"), 3);
}

TEST_F(HostSelectorTest, PrepareHostFailureEmptiesTheMap) {
  HttpTestServer server;
  ASSERT_TRUE(server.ok());
  server.AddFile("/pkg.bin", kPackage);
  resolver_.Map("pkg.test", {"127.0.0.1"});
  auto selector = MakeSelector();
  const std::string url = server.UrlOn("pkg.test", "/pkg.bin");
  int64_t total = 0;
  ASSERT_TRUE(selector->PrepareHost(url, false, total));

  resolver_.Map("pkg.test", {});
  EXPECT_FALSE(selector->PrepareHost(url, true, total));
  EXPECT_THAT(selector->Addresses(), IsEmpty()) << "transfers fall back to ordinary resolution";
  EXPECT_EQ(selector->TakeLeastUsedAddress(), "");
  EXPECT_TRUE(log_.Has("[ERROR] multi, get dns info failed!"));
}

TEST_F(HostSelectorTest, SegmentsAndSizeQueryTakeTheLeastUsedAddress) {
  HttpTestServer server(OnAddresses(Loopbacks(1, 3)));
  ASSERT_TRUE(server.ok());
  server.AddFile("/pkg.bin", kPackage);
  resolver_.Map("pkg.test", Loopbacks(1, 3));
  auto selector = MakeSelector();
  const std::string url = server.UrlOn("pkg.test", "/pkg.bin");
  int64_t total = 0;
  ASSERT_TRUE(selector->PrepareHost(url, false, total));

  std::vector<std::string> taken;
  for (int i = 0; i < 5; ++i) taken.push_back(selector->TakeLeastUsedAddress());
  EXPECT_THAT(taken, ElementsAre("127.0.0.1", "127.0.0.2", "127.0.0.3", "127.0.0.1", "127.0.0.2"));

  // 127.0.0.3 is the least used now: the size query goes there, under the host name.
  server.ClearLog();
  EXPECT_EQ(selector->QuerySize(url, 10), 1000);
  std::vector<RequestRecord> requests = server.RequestsFor("/pkg.bin");
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].method, "HEAD");
  EXPECT_EQ(requests[0].local_address, "127.0.0.3");
  EXPECT_EQ(requests[0].Header("Host"), "pkg.test:" + std::to_string(server.port()));
  EXPECT_EQ(selector->Addresses().at("127.0.0.3"), 2u);
}

TEST_F(HostSelectorTest, SizeQuerySendsHeadThenGet) {
  HttpTestServer server;
  ASSERT_TRUE(server.ok());
  server.AddFile("/pkg.bin", kPackage);
  server.AddFault(Rule("/pkg.bin", "", "HEAD", Fault::Status(405)));
  auto selector = MakeSelector();

  EXPECT_EQ(selector->QuerySize(server.Url("/pkg.bin"), 2), 1000);
  EXPECT_THAT(MethodsOf(server.RequestsFor("/pkg.bin")), ElementsAre("HEAD", "GET"));
  EXPECT_EQ(log_.Count("[ERROR] multi, curl_easy_perform failed! error=[22][HTTP response code said error]."), 1);
}

TEST_F(HostSelectorTest, SizeQueryNeverTakesAnErrorPageAndUsesEveryTry) {
  HttpTestServer server;
  ASSERT_TRUE(server.ok());
  server.AddFile("/pkg.bin", kPackage);
  server.AddFault("/pkg.bin", Fault::Status(404));
  auto selector = MakeSelector();
  const auto before = clock_.NowTicks();

  EXPECT_EQ(selector->QuerySize(server.Url("/pkg.bin"), 0), 0) << "tries below 1 mean 10";
  EXPECT_THAT(MethodsOf(server.RequestsFor("/pkg.bin")),
              ElementsAre("HEAD", "HEAD", "HEAD", "HEAD", "HEAD", "GET", "GET", "GET", "GET", "GET"));
  EXPECT_GE(clock_.NowTicks() - before, std::chrono::milliseconds(9 * 500)) << "pauses go through the clock";
}

TEST_F(HostSelectorTest, SixTlsErrorsInARowEndTheSizeQuery) {
  TestCa ca;
  ASSERT_TRUE(ca.ok()) << ca.error();
  HttpTestServer server(WithTls(ca.IssueLeaf("self", {"127.0.0.1"}, TestCa::Kind::kSelfSigned)));
  ASSERT_TRUE(server.ok()) << server.error();
  server.AddFile("/pkg.bin", kPackage);
  auto selector = MakeSelector(ca.bundle_path());

  EXPECT_EQ(selector->QuerySize(server.Url("/pkg.bin"), 10), 0);
  EXPECT_EQ(log_.CountStartingWith("[ERROR] multi, curl_easy_perform failed! error=[60]"), 6) << log_.Dump();
  EXPECT_TRUE(log_.Has("[WARN] multi, ssl error 6 times in a row, stop retrying this host."));
  EXPECT_EQ(server.RequestCount(), 0);
}

TEST_F(HostSelectorTest, SizeQueryStopsWhileWaitingBetweenTries) {
  HttpTestServer server;
  ASSERT_TRUE(server.ok());
  server.AddFile("/pkg.bin", kPackage);
  server.AddFault("/pkg.bin", Fault::Status(404));
  TestClock manual;
  CHostSelector selector({}, store_, alias_, manual, CHostSelector::Options{});

  std::stop_source stop;
  std::thread canceller([&] {
    ASSERT_TRUE(manual.WaitForSleepers(1));
    stop.request_stop();
  });
  EXPECT_EQ(selector.QuerySize(server.Url("/pkg.bin"), 10, stop.get_token()), 0);
  canceller.join();
  EXPECT_EQ(server.RequestCount("/pkg.bin"), 1);
}

// ================================================================ alias rounds

class AliasRoundTest : public HostSelectorTest {
 protected:
  void SetUp() override {
    ASSERT_TRUE(server_.ok()) << server_.error();
    server_.AddFile("/pkg.bin", kPackage);
    resolver_.Map("alias-a.test", {"127.0.0.5"});
    resolver_.Map("alias-b.test", {"127.0.0.6"});
    resolver_.Map("alias-c.test", {"127.0.0.7"});
    resolver_.Map("alias-d.test", {"127.0.0.8"});
    job_.task_id = 42;
    job_.exe_version = "3.1";
    job_.url = server_.UrlOn("pkg.test", "/pkg.bin");  // pkg.test resolves nowhere
  }
  std::string Host(const std::string& name) const { return name + ":" + std::to_string(server_.port()); }
  void Provide(std::vector<std::string> hosts) {
    alias_.SetAliasHostProvider([this, hosts](int32_t task, const std::string& version) {
      provider_calls_.push_back(std::to_string(task) + "/" + version);
      return hosts;
    });
  }

  HttpTestServer server_{OnAddresses(Loopbacks(5, 8), 4)};
  HostJob job_;
  std::vector<std::string> provider_calls_;
};

TEST_F(AliasRoundTest, SizeRoundSkipsUnusableNamesAndMovesToTheFirstHostThatAnswers) {
  server_.AddFault(Rule("/pkg.bin", "127.0.0.5", "", Fault::Status(404)));
  Provide({"", Host("pkg.test"), "evil.test/x?", Host("alias-a.test"), Host("alias-b.test")});
  auto selector = MakeSelector();

  ASSERT_TRUE(selector->TryAliasHostsForSize(job_)) << log_.Dump();
  EXPECT_THAT(provider_calls_, ElementsAre("42/3.1"));
  EXPECT_EQ(job_.url, server_.UrlOn("alias-b.test", "/pkg.bin"));
  EXPECT_EQ(job_.total_size, 1000);
  EXPECT_EQ(job_.sticky_host, Host("alias-b.test"));
  EXPECT_EQ(alias_.GetStickyHost(42), Host("alias-b.test"));
  EXPECT_EQ(selector->Addresses().count("127.0.0.6"), 1u);
  EXPECT_TRUE(log_.Has("[INFO] multi, try alias hosts, origin=[" + Host("pkg.test") + "], count=[5]."));
  EXPECT_TRUE(log_.Has("[INFO] multi, try alias host=[" + Host("alias-a.test") + "], url=[" +
                       server_.UrlOn("alias-a.test", "/pkg.bin") + "]."));
  EXPECT_TRUE(log_.Has("[WARN] multi, alias host failed, host=[" + Host("alias-a.test") + "]."));
  EXPECT_TRUE(log_.Has("[INFO] multi, alias host success, [" + Host("pkg.test") + "] -> [" + Host("alias-b.test") +
                       "], size=[1000]."));
  EXPECT_EQ(log_.CountStartingWith("[WARN] multi, skip alias host that is not a host name"), 1);
  // The failed alias was asked with HEAD then GET (two tries), on its own address.
  std::vector<RequestRecord> on_a;
  for (const RequestRecord& r : server_.RequestsFor("/pkg.bin")) {
    if (r.local_address == "127.0.0.5" && r.Header("Host") == Host("alias-a.test")) on_a.push_back(r);
  }
  EXPECT_GE(on_a.size(), 2u);
}

TEST_F(AliasRoundTest, AtMostThreeHostsPerRoundThenTheOriginIsPreparedAgain) {
  server_.AddFault("/pkg.bin", Fault::Status(503));
  resolver_.Map("pkg.test", {"127.0.0.8"});
  Provide({Host("alias-a.test"), Host("alias-b.test"), Host("alias-c.test"), Host("alias-d.test")});
  auto selector = MakeSelector();
  job_.total_size = 77;

  EXPECT_FALSE(selector->TryAliasHostsForSize(job_));
  EXPECT_EQ(job_.url, server_.UrlOn("pkg.test", "/pkg.bin"));
  EXPECT_EQ(job_.total_size, 0);
  EXPECT_EQ(job_.sticky_host, "");
  EXPECT_TRUE(log_.Has("[WARN] multi, alias host try limit reached (3)."));
  EXPECT_TRUE(log_.Has("[ERROR] multi, all alias hosts failed, tried=[3]."));
  for (const RequestRecord& r : server_.RequestsFor("/pkg.bin")) {
    EXPECT_NE(r.Header("Host"), Host("alias-d.test")) << "the fourth host is never asked";
  }
  EXPECT_EQ(selector->Addresses(), (std::map<std::string, uint32_t>{{"127.0.0.8", 0}}))
      << "the origin's addresses are back in the map";
}

TEST_F(AliasRoundTest, NoHostsAndRefusedRounds) {
  auto selector = MakeSelector();
  EXPECT_FALSE(selector->TryAliasHostsForSize(job_));
  EXPECT_TRUE(log_.Has("[WARN] multi, no alias host available."));
  EXPECT_FALSE(selector->SwitchAliasForTls(job_, 3, {}));
  EXPECT_TRUE(log_.Has("[WARN] multi, ssl error, but no alias host available."));
  // Both calls used a round: the product has given up for this run.
  Provide({Host("alias-b.test")});
  EXPECT_FALSE(selector->TryAliasHostsForSize(job_));
  EXPECT_THAT(provider_calls_, IsEmpty());
  EXPECT_EQ(server_.RequestCount(), 0);
  EXPECT_EQ(job_.url, server_.UrlOn("pkg.test", "/pkg.bin"));
}

TEST_F(AliasRoundTest, StickyHostCarriesOverUntilItFailsTwice) {
  Provide({Host("alias-b.test")});
  auto selector = MakeSelector();
  ASSERT_TRUE(selector->TryAliasHostsForSize(job_));
  selector->ReportDownloadSucceeded(job_);

  // The next job of the product starts on the sticky host.
  HostJob next;
  next.task_id = 42;
  next.url = server_.UrlOn("pkg.test", "/pkg.bin");
  ASSERT_TRUE(selector->ApplyStickyHost(next));
  EXPECT_EQ(next.url, server_.UrlOn("alias-b.test", "/pkg.bin"));
  EXPECT_EQ(next.sticky_host, Host("alias-b.test"));
  EXPECT_TRUE(log_.Has("[INFO] multi, reuse sticky alias host=[" + Host("alias-b.test") + "], url=[" + next.url + "]."));
  EXPECT_FALSE(selector->ApplyStickyHost(next)) << "already on it";

  HostJob other = next;
  other.task_id = 43;
  other.url = server_.UrlOn("pkg.test", "/pkg.bin");
  EXPECT_FALSE(selector->ApplyStickyHost(other)) << "sticky hosts are per product";

  // Local file trouble (9, 10) is not the host's fault.
  selector->ReportAttemptFailed(next, 9);
  selector->ReportAttemptFailed(next, 10);
  selector->ReportAttemptFailed(next, 2);
  EXPECT_EQ(alias_.GetStickyHost(42), Host("alias-b.test"));
  selector->ReportAttemptFailed(next, 22);
  EXPECT_EQ(alias_.GetStickyHost(42), "");
  EXPECT_TRUE(log_.Has("[WARN] alias switch, sticky host=[" + Host("alias-b.test") +
                       "] failed [2] rounds, drop it and fall back to origin, pid=[42]."));

  HostJob third;
  third.task_id = 42;
  third.url = server_.UrlOn("pkg.test", "/pkg.bin");
  EXPECT_FALSE(selector->ApplyStickyHost(third));
  EXPECT_EQ(third.url, server_.UrlOn("pkg.test", "/pkg.bin"));
}

// The origin's certificate is not trusted; the alias hosts share one valid
// certificate that names them, so name checks still apply with pinned addresses.
class TlsAliasTest : public HostSelectorTest {
 protected:
  void SetUp() override {
    ASSERT_TRUE(ca_.ok()) << ca_.error();
    HttpServerOptions options;
    options.addresses = Loopbacks(1, 3);
    options.tls = ca_.IssueLeaf("good", {"alias-a.test", "alias-b.test", "pkg.test"});
    options.tls_per_address["127.0.0.1"] = ca_.IssueLeaf("bad", {"pkg.test"}, TestCa::Kind::kSelfSigned);
    server_ = std::make_unique<HttpTestServer>(options);
    ASSERT_TRUE(server_->ok()) << server_->error();
    server_->AddFile("/pkg.bin", kPackage);
    resolver_.Map("pkg.test", {"127.0.0.1"});
    resolver_.Map("alias-a.test", {"127.0.0.2"});
    resolver_.Map("alias-b.test", {"127.0.0.3"});
    HostStoreConfig config;
    config.ca_bundle = ca_.bundle_path();
    store_.SetConfig(config);
    job_.task_id = 9;
    job_.url = server_->UrlOn("pkg.test", "/pkg.bin");
    job_.total_size = 1000;
    alias_.SetAliasHostProvider([this](int32_t, const std::string&) {
      return std::vector<std::string>{Host("alias-a.test"), Host("alias-b.test")};
    });
  }
  std::string Host(const std::string& name) const { return name + ":" + std::to_string(server_->port()); }

  TestCa ca_;
  std::unique_ptr<HttpTestServer> server_;
  HostJob job_;
};

TEST_F(TlsAliasTest, SwitchesOnlyToAHostWithTheSameSizeAndDiscardsTheTemporaryFile) {
  server_->AddFault(Rule("/pkg.bin", "127.0.0.2", "", Fault::WrongLength(1200)));
  auto selector = MakeSelector(ca_.bundle_path());
  int64_t origin_size = 0;
  ASSERT_TRUE(selector->PrepareHost(job_.url, false, origin_size));
  EXPECT_EQ(origin_size, 0) << "the origin's probe fails TLS verification";
  EXPECT_EQ(selector->QuerySize(job_.url, 1), 0);
  EXPECT_EQ(log_.CountStartingWith("[ERROR] multi, curl_easy_perform failed! error=[60]"), 1);

  int discarded = 0;
  int discarded_before_switch_line = -1;
  ASSERT_TRUE(selector->SwitchAliasForTls(job_, 3, [&] {
    ++discarded;
    discarded_before_switch_line = log_.CountStartingWith("[INFO] multi, ssl error, switch host");
  })) << log_.Dump();
  EXPECT_EQ(discarded, 1);
  EXPECT_EQ(discarded_before_switch_line, 0);
  EXPECT_EQ(job_.url, server_->UrlOn("alias-b.test", "/pkg.bin"));
  EXPECT_EQ(job_.total_size, 1000);
  EXPECT_EQ(job_.sticky_host, Host("alias-b.test"));
  EXPECT_EQ(alias_.GetStickyHost(9), Host("alias-b.test"));
  EXPECT_TRUE(log_.Has("[INFO] multi, ssl error count=[3], try alias hosts, origin=[" + Host("pkg.test") +
                       "], count=[2]."));
  EXPECT_TRUE(log_.Has("[INFO] multi, ssl error, try alias host=[" + Host("alias-a.test") + "]."));
  EXPECT_TRUE(log_.Has("[WARN] multi, alias host size mismatch, host=[" + Host("alias-a.test") +
                       "], size=[1200], expect=[1000], skip."));
  EXPECT_TRUE(log_.Has("[INFO] multi, ssl error, switch host [" + Host("pkg.test") + "] -> [" + Host("alias-b.test") +
                       "], size=[1000]."));
}

TEST_F(TlsAliasTest, NoMatchingHostKeepsTheJobAndItsSize) {
  server_->AddFault(Rule("/pkg.bin", "127.0.0.2", "", Fault::WrongLength(1200)));
  server_->AddFault(Rule("/pkg.bin", "127.0.0.3", "", Fault::Status(404)));
  auto selector = MakeSelector(ca_.bundle_path());
  bool discarded = false;

  EXPECT_FALSE(selector->SwitchAliasForTls(job_, 4, [&] { discarded = true; }));
  EXPECT_FALSE(discarded);
  EXPECT_EQ(job_.url, server_->UrlOn("pkg.test", "/pkg.bin"));
  EXPECT_EQ(job_.total_size, 1000);
  EXPECT_EQ(job_.sticky_host, "");
  EXPECT_TRUE(log_.Has("[WARN] multi, alias host size mismatch, host=[" + Host("alias-b.test") +
                       "], size=[0], expect=[1000], skip."));
  EXPECT_TRUE(log_.Has("[ERROR] multi, ssl error, all alias hosts failed, tried=[2]."));
}

}  // namespace
}  // namespace ns_PEM
