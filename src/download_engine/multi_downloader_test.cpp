#include "download_engine/multi_downloader.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <sstream>

#include "common/log.h"
#include "download_engine/download_result.h"
#include "platform/download_file.h"
#include "platform/file_util.h"
#include "support/child_process.h"
#include "support/http_test_server.h"
#include "support/nginx_fixture.h"
#include "support/scoped_temp_dir.h"
#include "support/test_ca.h"
#include "support/test_clock.h"
#include "support/log_capture.h"
#include "support/test_data.h"
#include "support/tmpfs_fixture.h"

namespace ns_PEM {
namespace {

using oru::testing::Fault;
using oru::testing::FaultRule;
using oru::testing::HttpServerOptions;
using oru::testing::HttpTestServer;
using oru::testing::NginxOptions;
using oru::testing::NginxServer;
using oru::testing::ReadFileForTesting;
using oru::testing::RequestRecord;
using oru::testing::ScopedTempDir;
using oru::testing::TestCa;
using oru::testing::TestClock;
using oru::testing::TmpfsMount;
using oru::testing::WaitUntil;
using oru::testing::WriteFileForTesting;
using std::chrono::milliseconds;
using std::chrono::seconds;
using Type = DownloadEventType;

constexpr char kPath[] = "/pkg.bin";
constexpr char kHost[] = "pkg.test";

using oru::testing::Md5Hex;
using oru::testing::RandomData;

// "bytes=a-b" -> (a, b); "bytes=a-" -> (a, -1); nullopt for anything else.
std::optional<ByteRange> ParseRangeHeader(const std::string& header) {
  long long begin = 0;
  long long end = -1;
  if (std::sscanf(header.c_str(), "bytes=%lld-%lld", &begin, &end) < 1) return std::nullopt;
  return ByteRange{begin, end};
}

std::vector<ByteRange> GetRanges(const HttpTestServer& server) {
  std::vector<ByteRange> ranges;
  for (const RequestRecord& r : server.RequestsFor(kPath)) {
    if (r.method != "GET") continue;
    if (auto range = ParseRangeHeader(r.range)) ranges.push_back(*range);
  }
  return ranges;
}

int CountMethod(const HttpTestServer& server, const std::string& method) {
  int n = 0;
  for (const RequestRecord& r : server.RequestsFor(kPath)) n += r.method == method ? 1 : 0;
  return n;
}

using oru::testing::LogCapture;

// Names of the form "*.test" exist only here (a test machine has no DNS to
// point at the loopback servers).
class FakeResolver : public ISystemResolver {
 public:
  void Map(const std::string& name, const std::vector<std::string>& dotted) {
    std::lock_guard lock(mutex_);
    std::vector<uint32_t>& out = table_[name];
    out.clear();
    for (const std::string& d : dotted) out.push_back(*ParseIpv4(d));
  }
  std::vector<uint32_t> ResolveIpv4(const std::string& host_name) override {
    std::lock_guard lock(mutex_);
    auto it = table_.find(host_name);
    return it == table_.end() ? std::vector<uint32_t>{} : it->second;
  }
  bool FlushCache() override { return true; }

 private:
  std::mutex mutex_;
  std::map<std::string, std::vector<uint32_t>> table_;
};

// Every event with the clock time it arrived at; an optional hook runs on
// the worker thread for each event.
class EventRecorder : public IObserver {
 public:
  struct Entry {
    DownloadEvent event;
    oru::Clock::Ticks at;
  };
  explicit EventRecorder(oru::Clock& clock) : clock_(clock) {}

  void Notify(std::unique_ptr<DownloadEvent> event) override {
    if (!event) return;
    std::function<void(const DownloadEvent&)> hook;
    {
      std::lock_guard lock(mu_);
      entries_.push_back({*event, clock_.NowTicks()});
      hook = hook_;
    }
    changed_.notify_all();
    if (hook) hook(*event);
  }
  void SetHook(std::function<void(const DownloadEvent&)> hook) {
    std::lock_guard lock(mu_);
    hook_ = std::move(hook);
  }
  // The result of TaskFinished, waiting at most `timeout` of real time.
  std::optional<int64_t> WaitFinished(milliseconds timeout = seconds(20)) {
    std::unique_lock lock(mu_);
    changed_.wait_for(lock, timeout, [this] { return FindLocked(Type::TaskFinished) != nullptr; });
    const Entry* e = FindLocked(Type::TaskFinished);
    return e == nullptr ? std::nullopt : std::optional<int64_t>(e->event.value);
  }
  bool WaitFor(Type type, int count, milliseconds timeout = seconds(20)) {
    std::unique_lock lock(mu_);
    return changed_.wait_for(lock, timeout, [&] { return CountLocked(type) >= count; });
  }
  std::vector<Entry> Of(Type type) const {
    std::lock_guard lock(mu_);
    std::vector<Entry> out;
    for (const Entry& e : entries_) {
      if (e.event.type == type) out.push_back(e);
    }
    return out;
  }
  std::vector<Type> Types() const {
    std::lock_guard lock(mu_);
    std::vector<Type> out;
    for (const Entry& e : entries_) out.push_back(e.event.type);
    return out;
  }
  int Count(Type type) const {
    std::lock_guard lock(mu_);
    return CountLocked(type);
  }
  int64_t LastProgress() const {
    std::lock_guard lock(mu_);
    int64_t last = 0;
    for (const Entry& e : entries_) {
      if (const ProgressInfo* p = e.event.progress()) last = p->downloaded;
    }
    return last;
  }

 private:
  const Entry* FindLocked(Type type) const {
    for (const Entry& e : entries_) {
      if (e.event.type == type) return &e;
    }
    return nullptr;
  }
  int CountLocked(Type type) const {
    int n = 0;
    for (const Entry& e : entries_) n += e.event.type == type ? 1 : 0;
    return n;
  }

  oru::Clock& clock_;
  mutable std::mutex mu_;
  std::condition_variable changed_;
  std::vector<Entry> entries_;
  std::function<void(const DownloadEvent&)> hook_;
};

// Bytes of the temporary file that the record counts as present must be
// the package's bytes.
void ExpectPresentBytesMatch(const std::string& temp_file, const std::string& data,
                             const std::map<int64_t, int64_t>& listed) {
  ASSERT_GE(temp_file.size(), data.size());
  std::vector<bool> missing(data.size(), false);
  for (const auto& [begin, end] : listed) {
    for (int64_t i = begin; i <= end; ++i) missing[static_cast<size_t>(i)] = true;
  }
  size_t wrong = 0;
  for (size_t i = 0; i < data.size(); ++i) wrong += !missing[i] && temp_file[i] != data[i] ? 1 : 0;
  EXPECT_EQ(wrong, 0u) << "bytes counted present that were never written";
}

class MultiDownloaderTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { curl_global_init(CURL_GLOBAL_ALL); }
  static void TearDownTestSuite() { curl_global_cleanup(); }

  // Serves `data` at kPath on `addresses`, all mapped to kHost.
  void Serve(const std::string& data, std::vector<std::string> addresses = {"127.0.0.1"},
             HttpServerOptions options = {}) {
    data_ = data;
    resolver_.Map(kHost, addresses);
    options.addresses = std::move(addresses);
    server_ = std::make_unique<HttpTestServer>(options);
    ASSERT_TRUE(server_->ok()) << server_->error();
    server_->AddFile(kPath, data);
  }
  std::string Url() const { return server_->UrlOn(kHost, kPath); }
  std::string FinalPath() const { return dir_.Child("pkg.bin"); }
  std::string TempPath() const { return TempPathFor(FinalPath()); }

  HostStoreConfig StoreConfig() const {
    HostStoreConfig config;
    config.probe_timeout = seconds(5);
    config.ca_bundle = ca_bundle_;
    return config;
  }
  DownloaderEnvironment Env() {
    if (!host_store_) host_store_ = std::make_unique<HostStore>(StoreConfig(), resolver_, *clock_);
    DownloaderEnvironment env;
    env.clock = clock_.get();
    env.transfer_clock = transfer_clock_ != nullptr ? transfer_clock_ : &oru::SystemClock();
    env.ca_bundle = ca_bundle_;
    env.host_store = host_store_.get();
    env.alias_state = &alias_;
    env.received_tcp_segments = tcp_segments_;
    return env;
  }
  std::unique_ptr<CMultiDownloader> Make(const std::string& md5, std::optional<DownloadConfig> config = {}) {
    auto d = std::make_unique<CMultiDownloader>(Env());
    d->SetObserver(events_.get());
    if (config) d->SetDownloadConfig(*config);
    d->SetServerMd5(md5);
    return d;
  }
  // Runs one whole job and returns its result.
  std::optional<int64_t> RunJob(const std::string& md5, std::optional<DownloadConfig> config = {}) {
    auto d = Make(md5, config);
    EXPECT_TRUE(d->Download(7, Url(), dir_.path()));
    auto result = events_->WaitFinished(seconds(60));
    d.reset();
    return result;
  }
  // A clock of another pace, with a recorder and host store that use it.
  void UseClock(double factor) {
    clock_ = std::make_unique<TestClock>(TestClock::Scaled{factor});
    events_ = std::make_unique<EventRecorder>(*clock_);
    host_store_.reset();
  }

  LogCapture log_;
  ScopedTempDir dir_;
  FakeResolver resolver_;
  std::unique_ptr<TestClock> clock_ = std::make_unique<TestClock>(TestClock::Scaled{100});
  oru::Clock* transfer_clock_ = nullptr;
  std::string ca_bundle_;
  std::function<std::optional<uint64_t>()> tcp_segments_;
  std::unique_ptr<HostStore> host_store_;
  CAliasSwitchState alias_;
  std::unique_ptr<EventRecorder> events_ = std::make_unique<EventRecorder>(*clock_);
  std::unique_ptr<HttpTestServer> server_;
  std::string data_;
};

// ------------------------------------------------------------ pure rules

TEST(MultiDownloaderRules, SplitsIntoEqualRangesNeverPastTheLastByte) {
  struct Case {
    int64_t total;
    int32_t n;
    std::vector<ByteRange> expected_head;
    size_t expected_count;
  };
  const std::vector<Case> cases = {
      {100, 24, {{0, 4}, {5, 9}}, 20},     // 24 asked, 20 ranges of 5 bytes
      {7, 24, {{0, 0}, {1, 1}}, 7},        // fewer bytes than segments: one per byte
      {1, 24, {{0, 0}}, 1},
      {1000, 3, {{0, 333}, {334, 667}}, 3},
      {10, 0, {{0, 9}}, 1},                // a count below 1 is one range
      {int64_t{3} << 30, 2, {{0, (int64_t{3} << 29) - 1}}, 2},
  };
  for (const Case& c : cases) {
    std::vector<ByteRange> ranges = SplitIntoRanges(c.total, c.n);
    ASSERT_EQ(ranges.size(), c.expected_count) << c.total << "/" << c.n;
    for (size_t i = 0; i < c.expected_head.size(); ++i) EXPECT_EQ(ranges[i], c.expected_head[i]) << c.total;
    int64_t covered = 0;
    for (size_t i = 0; i < ranges.size(); ++i) {
      if (i > 0) {
        EXPECT_EQ(ranges[i].first, ranges[i - 1].second + 1);
      }
      covered += ranges[i].second - ranges[i].first + 1;
    }
    EXPECT_EQ(ranges.back().second, c.total - 1);
    EXPECT_EQ(covered, c.total);
  }
  EXPECT_TRUE(SplitIntoRanges(0, 24).empty());
}

TEST(MultiDownloaderRules, FlowRuleAddsOrDropsConnectionsByTrafficShare) {
  struct Case {
    const char* name;
    FlowSample sample;
    uint32_t machine_now;
    int64_t downloaded_now;
    int32_t a;
    int32_t expected;
    bool samples_move;
  };
  const uint32_t near_wrap = 0xFFFFFFFFu - 1000;
  const std::vector<Case> cases = {
      {"no machine traffic", {5000, 100}, 5000, 900, 10, 0, false},
      {"download takes it all", {0, 0}, 1000, 1000, 10, 0, true},         // d >= m
      {"share 0.9, more active than threads", {0, 0}, 1000, 900, 25, -1, true},
      {"share 0.9, at the thread count", {0, 0}, 1000, 900, 24, 0, true},
      {"share 0.5, room to grow", {0, 0}, 1000, 500, 10, 1, true},
      {"share 0.5, at the maximum", {0, 0}, 1000, 500, 48, 0, true},
      {"share 0.8, in the band", {0, 0}, 1000, 800, 10, 0, true},
      {"counter wrapped", {near_wrap, 0}, 999, 1000, 10, 1, true},        // m = 2000
  };
  for (const Case& c : cases) {
    FlowSample sample = c.sample;
    double share = 0;
    EXPECT_EQ(EvaluateFlowRule(sample, c.machine_now, c.downloaded_now, c.a, 24, 48, &share), c.expected) << c.name;
    if (c.samples_move) {
      EXPECT_EQ(sample.machine, c.machine_now) << c.name;
      EXPECT_EQ(sample.download, c.downloaded_now) << c.name;
    } else {
      EXPECT_EQ(sample.machine, c.sample.machine) << c.name;
    }
  }
  EXPECT_EQ(MachineReceivedEstimate(std::nullopt), 0u);
  EXPECT_EQ(MachineReceivedEstimate(10), 14600u);
  // 2^32 / 1460 segments and a few more: the estimate wraps like the counter.
  EXPECT_EQ(MachineReceivedEstimate(uint64_t{2941759} + 1), static_cast<uint32_t>(uint64_t{2941760} * 1460));
}

TEST(MultiDownloaderRules, ThreadBufferFollowsFreeMemory) {
  constexpr int32_t kMiB = 1048576;
  struct Case {
    const char* name;
    ThreadBuffer current;
    bool enabled;
    std::optional<uint64_t> available;
    ThreadBuffer expected;
  };
  const std::vector<Case> cases = {
      {"plenty", {24, 5 * kMiB}, false, uint64_t{8} << 30, {24, 5 * kMiB}},
      {"unknown counts as plenty", {24, 5 * kMiB}, false, std::nullopt, {24, 5 * kMiB}},
      {"60 MiB shared by 24", {24, 5 * kMiB}, false, uint64_t{60} * kMiB, {24, 60 * kMiB / 24}},
      {"10 MiB: fewer threads of 1 MiB", {24, 5 * kMiB}, false, uint64_t{10} * kMiB, {10, kMiB}},
      {"almost nothing: one thread", {24, 5 * kMiB}, false, uint64_t{1000}, {1, kMiB}},
      {"degraded count stays", {8, 5 * kMiB}, false, uint64_t{8} << 30, {8, 5 * kMiB}},
      {"degraded count, little memory", {8, 5 * kMiB}, false, uint64_t{40} * kMiB, {8, 5 * kMiB}},
      {"degraded count, very little", {8, 5 * kMiB}, false, uint64_t{4} * kMiB, {8, kMiB}},
      {"custom config kept", {8, 700000}, true, uint64_t{1000}, {8, 700000}},
  };
  for (const Case& c : cases) {
    ThreadBuffer got = ComputeThreadBuffer(c.current, c.enabled, c.available);
    EXPECT_EQ(got.thread_count, c.expected.thread_count) << c.name;
    EXPECT_EQ(got.buffer_size, c.expected.buffer_size) << c.name;
  }
}

// ------------------------------------------------------------ whole jobs

TEST_F(MultiDownloaderTest, DownloadsInManySegmentsAndVerifiesTheDigest) {
  const std::string data = RandomData(6 << 20, 1);
  Serve(data);
  std::string lower_md5 = Md5Hex(data);
  for (char& c : lower_md5) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));

  ASSERT_EQ(RunJob(lower_md5), 0) << log_.All();

  EXPECT_EQ(ReadFileForTesting(FinalPath()), data);
  EXPECT_FALSE(oru::PathExists(TempPath()));
  EXPECT_FALSE(oru::IsFileHidden(FinalPath()));
  // Job order: preparation, host, name, size, sizing, one attempt, verdict.
  std::vector<Type> types = events_->Types();
  ASSERT_GE(types.size(), 8u);
  EXPECT_EQ(types[0], Type::PrepareDownload);
  EXPECT_EQ(types[1], Type::DownloadBegin);
  EXPECT_EQ(types.back(), Type::TaskFinished);
  EXPECT_EQ(events_->Count(Type::TaskFinished), 1);
  ASSERT_EQ(events_->Of(Type::DnsResolved).size(), 1u);
  EXPECT_EQ(*events_->Of(Type::DnsResolved)[0].event.text(),
            std::string(kHost) + ":" + std::to_string(server_->port()) + ":127.0.0.1");
  EXPECT_EQ(*events_->Of(Type::FileName)[0].event.text(), "pkg.bin");
  EXPECT_EQ(events_->Of(Type::FileSize)[0].event.value, static_cast<int64_t>(data.size()));
  auto sizing = events_->Of(Type::ThreadBuffer);
  ASSERT_EQ(sizing.size(), 1u);
  EXPECT_EQ(sizing[0].event.value, 24);
  EXPECT_EQ(sizing[0].event.value2, 5242880);
  EXPECT_EQ(events_->Count(Type::AttemptBegin), 1);
  auto ends = events_->Of(Type::AttemptEnd);
  ASSERT_EQ(ends.size(), 1u);
  EXPECT_EQ(ends[0].event.value2, 0);
  EXPECT_EQ(*events_->Of(Type::FileDigest)[0].event.text(), Md5Hex(data));
  EXPECT_EQ(events_->Count(Type::DigestMatched), 1);
  EXPECT_EQ(events_->LastProgress(), static_cast<int64_t>(data.size()));
  // 24 segments started at once, pinned to the validated address, covering
  // the file exactly.
  auto hosts = events_->Of(Type::SegmentHost);
  ASSERT_EQ(hosts.size(), 24u);
  for (const auto& h : hosts) EXPECT_EQ(*h.event.text(), "127.0.0.1");
  int64_t planned = 0;
  for (const auto& b : events_->Of(Type::SegmentBytes)) planned += b.event.value;
  EXPECT_EQ(planned, static_cast<int64_t>(data.size()));
  std::vector<ByteRange> ranges = GetRanges(*server_);
  ASSERT_EQ(ranges.size(), 24u);
  std::sort(ranges.begin(), ranges.end());
  EXPECT_EQ(ranges.front(), ByteRange(0, 262143));
  EXPECT_EQ(ranges.back().second, static_cast<int64_t>(data.size()) - 1);
  EXPECT_EQ(log_.Count("[INFO] multi, start retry=[0], thread=[24], buffer=[5242880]."), 1);
  EXPECT_EQ(log_.Count("[INFO] multi, download success."), 1);
  EXPECT_EQ(log_.Count("[INFO] multi, thread begin."), 1);
}

TEST_F(MultiDownloaderTest, FinishedSegmentsHandTheirConnectionToHalvesOfSlowOnes) {
  // Segments on the second node are slow; when fast ones finish, the slow
  // ranges are split and their tails fetched by new segments. The machine
  // counter says other traffic dominates, so two splits follow each finish.
  const std::string data = RandomData(12 << 20, 2);
  Serve(data, {"127.0.0.1", "127.0.0.2"});
  server_->AddFault(FaultRule::For(kPath).On("127.0.0.2").Method("GET").With(Fault::Throttle(3 << 20)));
  auto counter = std::make_shared<std::atomic<uint64_t>>(0);
  tcp_segments_ = [counter] { return counter->fetch_add(1000000) + 1000000; };
  DownloadConfig config;
  config.segments = 4;
  config.concurrent = 4;
  config.max_concurrent = 8;
  config.buffer = 1 << 20;
  config.connect_timeout = seconds(15);
  config.low_speed_limit = 1;
  config.low_speed_time = seconds(90);
  config.enabled = true;

  ASSERT_EQ(RunJob(Md5Hex(data), config), 0) << log_.All();

  EXPECT_EQ(ReadFileForTesting(FinalPath()), data);
  EXPECT_GT(GetRanges(*server_).size(), 4u) << log_.All();
  EXPECT_GE(log_.Count("[INFO] thread_cnt=["), 1);
  EXPECT_EQ(log_.Count("SetDownloadConfig, segments=[4], concurrent=[4], maxConcurrent=[8], buffer=[1048576], "
                       "connectTimeout=[15], lowSpeedTime=[90]."),
            1);
  EXPECT_EQ(log_.Count("CalculateThreadBuffer, using custom config, thread=[4], buffer=[1048576]."), 1);
}

TEST_F(MultiDownloaderTest, FetchesFromNginxWithSlowConnectionsAmongFastOnes) {
  // A real server: every connection whose number ends in 0 or 5 is slow.
  ScopedTempDir root;
  const std::string data = RandomData(16 << 20, 18);
  WriteFileForTesting(root.Child("pkg.bin"), data);
  NginxServer nginx(NginxOptions()
                        .Root(root.path())
                        .HttpDirectives("map $connection $r { ~[05]$ 2m; default 20m; }")
                        .LocationDirectives("limit_rate $r;"));
  if (!nginx.running()) GTEST_SKIP() << nginx.skip_reason();
  resolver_.Map(kHost, {"127.0.0.1"});
  DownloadConfig config;
  config.segments = 4;
  config.concurrent = 4;
  config.max_concurrent = 8;
  config.buffer = 1 << 20;
  config.connect_timeout = seconds(15);
  config.low_speed_limit = 1;
  config.low_speed_time = seconds(90);
  config.enabled = true;
  auto d = Make(Md5Hex(data), config);
  ASSERT_TRUE(d->Download(7, "http://" + std::string(kHost) + ":" + std::to_string(nginx.port()) + kPath, dir_.path()));

  ASSERT_EQ(events_->WaitFinished(seconds(60)), 0) << log_.All() << nginx.ErrorLog();
  d.reset();

  EXPECT_EQ(ReadFileForTesting(FinalPath()), data);
  EXPECT_EQ(events_->Count(Type::AttemptBegin), 1);
  std::istringstream access(nginx.AccessLog());
  int ranged = 0;
  for (std::string line; std::getline(access, line);) ranged += line.find("GET") != std::string::npos ? 1 : 0;
  EXPECT_GT(ranged, 4) << nginx.AccessLog();  // finished connections took over halves of slow ones
}

TEST_F(MultiDownloaderTest, TinyFilesGetAtMostOneRangePerByte) {
  for (int64_t size : {int64_t{100}, int64_t{7}, int64_t{1}}) {
    SCOPED_TRACE(size);
    const std::string data = RandomData(static_cast<size_t>(size), 3);
    Serve(data);
    host_store_.reset();
    EventRecorder fresh(*clock_);
    auto d = std::make_unique<CMultiDownloader>(Env());
    d->SetObserver(&fresh);
    d->SetServerMd5(Md5Hex(data));
    ASSERT_TRUE(d->Download(7, Url(), dir_.path()));
    ASSERT_EQ(fresh.WaitFinished(), 0) << log_.All();
    d.reset();
    EXPECT_EQ(ReadFileForTesting(FinalPath()), data);
    std::vector<ByteRange> ranges = GetRanges(*server_);
    std::sort(ranges.begin(), ranges.end());
    const int64_t n = std::min<int64_t>(size, 20);
    ASSERT_EQ(static_cast<int64_t>(ranges.size()), n);
    for (const ByteRange& r : ranges) EXPECT_LT(r.first, size);
    EXPECT_EQ(fresh.Count(Type::AttemptBegin), 1);
    oru::RemoveFile(FinalPath());
  }
}

TEST_F(MultiDownloaderTest, RefusedRangesSwitchTheJobToOneConnection) {
  struct Case {
    const char* name;
    FaultRule rule;
  };
  const std::vector<Case> cases = {
      {"416 for every ranged request", FaultRule::For(kPath).Method("GET").Times(24).With(Fault::Status(416))},
      {"200 with the whole file", FaultRule::For(kPath).Method("GET").With(Fault::IgnoreRange())},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string data = RandomData(2 << 20, 4);
    Serve(data);
    host_store_.reset();
    server_->AddFault(c.rule);
    EventRecorder fresh(*clock_);
    auto d = std::make_unique<CMultiDownloader>(Env());
    d->SetObserver(&fresh);
    d->SetServerMd5(Md5Hex(data));
    ASSERT_TRUE(d->Download(7, Url(), dir_.path()));
    ASSERT_EQ(fresh.WaitFinished(), 0) << log_.All();
    d.reset();
    EXPECT_EQ(ReadFileForTesting(FinalPath()), data);
    auto ends = fresh.Of(Type::AttemptEnd);
    ASSERT_EQ(ends.size(), 2u);
    EXPECT_EQ(ends[0].event.value2, kResultReceiveFailed);
    EXPECT_EQ(ends[1].event.value2, 0);
    std::vector<ByteRange> ranges = GetRanges(*server_);
    ASSERT_FALSE(ranges.empty());
    EXPECT_EQ(ranges.back(), ByteRange(0, -1));  // "bytes=0-": one connection for the rest
    EXPECT_GE(log_.Count("[WARN] not support range download."), 1);
    oru::RemoveFile(FinalPath());
  }
}

TEST_F(MultiDownloaderTest, UnknownSizeEndsWithSiteInformationFailed) {
  struct Case {
    const char* name;
    Fault fault;
  };
  const std::vector<Case> cases = {{"length 0", Fault::WrongLength(0)}, {"not found", Fault::Status(404)}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Serve("some bytes");
    host_store_.reset();
    server_->AddFault(kPath, c.fault);
    EventRecorder fresh(*clock_);
    auto d = std::make_unique<CMultiDownloader>(Env());
    d->SetObserver(&fresh);
    ASSERT_TRUE(d->Download(7, Url(), dir_.path()));
    ASSERT_EQ(fresh.WaitFinished(), kResultSiteInfoFailed);
    d.reset();
    auto failed = fresh.Of(Type::PackageInfoFailed);
    ASSERT_EQ(failed.size(), 1u);
    EXPECT_EQ(failed[0].event.value, 2);
    EXPECT_EQ(fresh.Count(Type::FileSize), 0);
    EXPECT_EQ(fresh.Count(Type::AttemptBegin), 0);
    EXPECT_EQ(fresh.Types().back(), Type::TaskFinished);
    EXPECT_GE(log_.Count("[ERROR] multi, get file size from server failed!"), 1);
    EXPECT_FALSE(oru::PathExists(TempPath()));
  }
}

TEST_F(MultiDownloaderTest, UnusableTargetsEndTheJobBeforeAnyFileIsMade) {
  struct Case {
    const char* name;
    std::string path;
    bool empty_folder;
    int64_t expected;
  };
  const std::vector<Case> cases = {
      {"url ends in a slash", "/files/", false, kResultUrlError},
      {"url names the parent folder", "/files/..", false, kResultUrlError},
      {"empty folder", kPath, true, kResultSavePathError},
  };
  Serve("abc");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EventRecorder fresh(*clock_);
    auto d = std::make_unique<CMultiDownloader>(Env());
    d->SetObserver(&fresh);
    ASSERT_TRUE(d->Download(7, server_->UrlOn(kHost, c.path), c.empty_folder ? "" : dir_.path()));
    EXPECT_EQ(fresh.WaitFinished(), c.expected);
    d.reset();
    EXPECT_EQ(fresh.Count(Type::AttemptBegin), 0);
    EXPECT_TRUE(oru::ListFiles(dir_.path()).empty());
  }
}

TEST_F(MultiDownloaderTest, VerifiedCopyIsNotFetchedAgain) {
  const std::string data = RandomData(300000, 5);
  Serve(data);
  WriteFileForTesting(FinalPath(), data);

  ASSERT_EQ(RunJob(Md5Hex(data)), kResultAlreadyDownloaded);

  EXPECT_EQ(CountMethod(*server_, "GET"), 0);
  EXPECT_GE(CountMethod(*server_, "HEAD"), 1);  // host preparation still ran
  EXPECT_EQ(events_->Count(Type::FileSize), 1);
  EXPECT_EQ(events_->Count(Type::AttemptBegin), 0);
  EXPECT_EQ(log_.Count("[INFO] multi, is already downloaded."), 1);
}

TEST_F(MultiDownloaderTest, WithoutServerDigestTheSizeCheckDecides) {
  const std::string data = RandomData(300000, 6);
  Serve(data);
  WriteFileForTesting(FinalPath(), data);  // never taken as already downloaded without a digest

  ASSERT_EQ(RunJob(""), 0) << log_.All();

  EXPECT_GT(CountMethod(*server_, "GET"), 0);
  EXPECT_EQ(events_->Count(Type::FileDigest), 0);
  EXPECT_EQ(events_->Count(Type::DigestMatched), 0);
  EXPECT_EQ(ReadFileForTesting(FinalPath()), data);
}

TEST_F(MultiDownloaderTest, DigestMismatchRetriesWithFewerConnectionsThenFails) {
  // Manual time: the test serves every wait of the worker and notes the
  // ones between attempts (an AttemptEnd not yet followed by AttemptBegin).
  auto manual = std::make_unique<TestClock>();
  TestClock& clock = *manual;
  clock_ = std::move(manual);
  events_ = std::make_unique<EventRecorder>(clock);
  const std::string data = RandomData(200000, 7);
  Serve(data);
  auto d = Make("0123456789ABCDEF0123456789ABCDEF");
  ASSERT_TRUE(d->Download(7, Url(), dir_.path()));
  std::vector<std::vector<milliseconds>> between(10);
  while (events_->Count(Type::TaskFinished) == 0) {
    if (!clock.WaitForSleepers(1, milliseconds(20))) continue;
    const auto wait = std::chrono::duration_cast<milliseconds>(clock.NextDeadline() - clock.NowTicks());
    const int ended = events_->Count(Type::AttemptEnd);
    if (ended > 0 && ended == events_->Count(Type::AttemptBegin)) between[static_cast<size_t>(ended - 1)].push_back(wait);
    clock.Advance(wait);
  }
  ASSERT_EQ(events_->WaitFinished(), kResultMd5Failed);
  d.reset();

  auto ends = events_->Of(Type::AttemptEnd);
  ASSERT_EQ(ends.size(), 10u);
  for (const auto& e : ends) EXPECT_EQ(e.event.value2, kResultMd5Failed);
  const std::vector<int> threads = {24, 12, 8, 4, 4, 4, 4, 4, 4, 4};
  for (int r = 0; r < 10; ++r) {
    EXPECT_EQ(log_.Count("start retry=[" + std::to_string(r) + "], thread=[" + std::to_string(threads[r]) + "]"), 1)
        << r;
  }
  // After 4 connections the job falls back to one; at retry 5 it says so.
  EXPECT_EQ(log_.Count("[WARN] not support range download."), 6);
  EXPECT_EQ(log_.Count("retries reached half without success, degrade to single-connection"), 1);
  // 2r+1 s (at most 12) after attempt r, then 2(r+1) s (at most 10) before the next one.
  for (int r = 0; r < 10; ++r) {
    std::vector<milliseconds> expected = {seconds(std::min(2 * r + 1, 12))};
    if (r < 9) expected.push_back(seconds(std::min(2 * (r + 1), 10)));
    EXPECT_EQ(between[static_cast<size_t>(r)], expected) << r;
  }
  EXPECT_FALSE(oru::PathExists(TempPath()));
  EXPECT_FALSE(oru::PathExists(FinalPath()));
}

TEST_F(MultiDownloaderTest, StalledNodeIsLeftToTheHealthyOne) {
  // Twelve segments land on the second node, which stops after 1000 bytes;
  // after 10 s without data they fail and their ranges go elsewhere.
  TestClock fast_transfers(TestClock::Scaled{200});
  transfer_clock_ = &fast_transfers;
  const std::string data = RandomData(3 << 20, 8);
  Serve(data, {"127.0.0.1", "127.0.0.2"});
  server_->AddFault(FaultRule::For(kPath).On("127.0.0.2").Method("GET").Times(12).With(Fault::StallAfter(1000)));

  ASSERT_EQ(RunJob(Md5Hex(data)), 0) << log_.All();

  EXPECT_EQ(ReadFileForTesting(FinalPath()), data);
  EXPECT_EQ(events_->Count(Type::AttemptBegin), 1);
  EXPECT_GE(log_.Count("[INFO] multi, failed, full redownload range("), 1);
  server_->ReleaseStalls();
}

TEST_F(MultiDownloaderTest, DroppedConnectionsAreFetchedAgain) {
  const std::string data = RandomData(3 << 20, 9);
  Serve(data);
  server_->AddFault(FaultRule::For(kPath).Method("GET").Times(3).With(Fault::DropAfter(4096)));

  ASSERT_EQ(RunJob(Md5Hex(data)), 0) << log_.All();

  EXPECT_EQ(ReadFileForTesting(FinalPath()), data);
  std::vector<RequestRecord> gets;
  for (const RequestRecord& r : server_->RequestsFor(kPath)) {
    if (r.method == "GET") gets.push_back(r);
  }
  ASSERT_EQ(gets.size(), 27u);  // 24 ranges and the 3 dropped ones again
  std::map<std::string, int> per_range;
  for (const RequestRecord& r : gets) per_range[r.range]++;
  int twice = 0;
  for (const auto& [range, n] : per_range) twice += n == 2 ? 1 : 0;
  EXPECT_EQ(twice, 3);
  EXPECT_EQ(log_.Count("[INFO] multi, failed, full redownload range("), 3);
  EXPECT_EQ(events_->Count(Type::AttemptBegin), 1);
}

TEST_F(MultiDownloaderTest, FullDiskEndsWithInsufficientSpaceAndCarries64BitSizes) {
  TmpfsMount disk(4 << 20);
  if (!disk.mounted()) GTEST_SKIP() << disk.skip_reason();
  Serve(RandomData(1000, 10));
  const int64_t announced = int64_t{3} << 30;  // 3 GiB: past 32 bits and past the disk
  server_->AddFault(kPath, Fault::WrongLength(announced));
  auto d = Make("");
  ASSERT_TRUE(d->Download(7, Url(), disk.path() + "/sub"));

  ASSERT_EQ(events_->WaitFinished(), kResultInsufficientDiskSpace) << log_.All();
  d.reset();

  EXPECT_EQ(events_->Of(Type::FileSize)[0].event.value, announced);
  auto errors = events_->Of(Type::FileError);
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_EQ(errors[0].event.value, kFileErrorDiskFull);
  EXPECT_EQ(errors[0].event.value2, ENOSPC);
  EXPECT_EQ(events_->Count(Type::AttemptBegin), 0);
  EXPECT_FALSE(oru::PathExists(disk.path() + "/sub/pkg.bin.~P2S"));
  EXPECT_EQ(CountMethod(*server_, "GET"), 0);
}

// ------------------------------------------------------------ cancel and resume

TEST_F(MultiDownloaderTest, CancelBetweenAttemptsEndsTheJobWithoutAnotherAttempt) {
  // Manual time: the job only moves when the test advances the clock, so
  // the cancel lands exactly in the wait after (or before) an attempt.
  for (const int wait_ms : {1000, 2000}) {
    SCOPED_TRACE(wait_ms);
    auto manual = std::make_unique<TestClock>();
    TestClock& clock = *manual;
    clock_ = std::move(manual);
    events_ = std::make_unique<EventRecorder>(clock);
    transfer_clock_ = &clock;
    host_store_.reset();
    Serve(RandomData(100000, 11));
    server_->AddFault(FaultRule::For(kPath).Method("GET").With(Fault::Status(416)));
    EventRecorder fresh(clock);
    auto d = std::make_unique<CMultiDownloader>(Env());
    d->SetObserver(&fresh);
    ASSERT_TRUE(d->Download(7, Url(), dir_.path()));
    // Polling passes until the attempt ends with 416.
    while (fresh.Count(Type::AttemptEnd) == 0) {
      ASSERT_TRUE(clock.WaitForSleepers(1));
      if (fresh.Count(Type::AttemptEnd) != 0) break;
      clock.Advance(clock.NextDeadline() - clock.NowTicks());
    }
    ASSERT_TRUE(clock.WaitForSleepers(1));
    if (wait_ms == 2000) {  // the second wait: before the next attempt
      clock.Advance(clock.NextDeadline() - clock.NowTicks());
      ASSERT_TRUE(clock.WaitForSleepers(1));
    }
    EXPECT_EQ(clock.NextDeadline() - clock.NowTicks(), milliseconds(wait_ms));
    const int gets = CountMethod(*server_, "GET");
    const auto before = clock.NowTicks();

    d->Cancel();

    ASSERT_EQ(fresh.WaitFinished(seconds(5)), kResultUserCanceled);
    EXPECT_EQ(clock.NowTicks(), before);  // no wait was served
    d.reset();
    EXPECT_EQ(fresh.Count(Type::AttemptBegin), 1);
    EXPECT_EQ(CountMethod(*server_, "GET"), gets);
    EXPECT_GE(log_.Count("[INFO] multi, cancelled between attempts"), 1);
    d.reset();
    host_store_.reset();
    transfer_clock_ = nullptr;
  }
}

TEST_F(MultiDownloaderTest, CancelLeavesARecordOfEveryMissingRangeAndTheNextJobFetchesOnlyThose) {
  struct Case {
    const char* name;
    std::optional<DownloadConfig> config;
    int64_t size;
  };
  DownloadConfig weak;
  weak.segments = 40;
  weak.concurrent = 8;
  weak.max_concurrent = 8;
  weak.buffer = 5242880;
  weak.connect_timeout = seconds(15);
  weak.low_speed_limit = 1;
  weak.low_speed_time = seconds(90);
  weak.enabled = true;
  const std::vector<Case> cases = {{"24 segments", std::nullopt, 3 << 20}, {"40 segments, 8 at once", weak, 4 << 20}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string data = RandomData(static_cast<size_t>(c.size), 12);
    Serve(data);
    host_store_.reset();
    const int throttle = server_->AddFault(FaultRule::For(kPath).Method("GET").With(Fault::Throttle(64 << 10)));
    EventRecorder first(*clock_);
    auto d = std::make_unique<CMultiDownloader>(Env());
    d->SetObserver(&first);
    if (c.config) d->SetDownloadConfig(*c.config);
    d->SetServerMd5(Md5Hex(data));
    ASSERT_TRUE(d->Download(7, Url(), dir_.path()));
    ASSERT_TRUE(WaitUntil([&] { return d->GetDownloadedBytes(true) >= 300000; }, seconds(20)));

    d->Cancel();

    ASSERT_EQ(first.WaitFinished(), kResultUserCanceled);
    auto ends = first.Of(Type::AttemptEnd);
    ASSERT_EQ(ends.size(), 1u);
    EXPECT_EQ(ends[0].event.value2, kResultUserCanceled);
    d.reset();
    ASSERT_TRUE(oru::PathExists(TempPath()));
    EXPECT_FALSE(oru::PathExists(FinalPath()));
    EXPECT_TRUE(oru::IsFileHidden(TempPath()));
    CDownloadFileStore reader(*clock_, {}, {});
    std::map<int64_t, int64_t> listed;
    ASSERT_TRUE(reader.ReadResumeRecord(TempPath(), c.size, listed));
    int64_t missing = 0;
    for (const auto& [b, e] : listed) missing += e - b + 1;
    EXPECT_GT(missing, 0);
    EXPECT_LT(missing, c.size);
    ExpectPresentBytesMatch(ReadFileForTesting(TempPath()), data, listed);

    // The next job asks only for the listed ranges.
    server_->RemoveFault(throttle);
    server_->ClearLog();
    EventRecorder second(*clock_);
    d = std::make_unique<CMultiDownloader>(Env());
    d->SetObserver(&second);
    if (c.config) d->SetDownloadConfig(*c.config);
    d->SetServerMd5(Md5Hex(data));
    ASSERT_TRUE(d->Download(7, Url(), dir_.path()));
    ASSERT_EQ(second.WaitFinished(), 0) << log_.All();
    d.reset();
    EXPECT_EQ(ReadFileForTesting(FinalPath()), data);
    int64_t refetched = 0;
    for (const ByteRange& r : GetRanges(*server_)) {
      auto it = listed.upper_bound(r.first);
      ASSERT_NE(it, listed.begin()) << r.first;
      --it;
      EXPECT_LE(r.second, it->second) << "asked for bytes the record had as present";
      refetched += r.second - r.first + 1;
    }
    EXPECT_EQ(refetched, missing);
    EXPECT_GE(log_.Count("[INFO] multi, total=[" + std::to_string(c.size) + "], cached=[" +
                         std::to_string(c.size - missing) + "]"),
              1);
    oru::RemoveFile(FinalPath());
  }
}

TEST_F(MultiDownloaderTest, WeakNetworkConfigStartsEightOfFortyAndQueuesTheRest) {
  const std::string data = RandomData(40 * 50000, 13);
  Serve(data);
  DownloadConfig weak;
  weak.segments = 40;
  weak.concurrent = 8;
  weak.max_concurrent = 8;
  weak.buffer = 5242880;
  weak.connect_timeout = seconds(15);
  weak.low_speed_limit = 1;
  weak.low_speed_time = seconds(90);
  weak.enabled = true;

  ASSERT_EQ(RunJob(Md5Hex(data), weak), 0) << log_.All();

  EXPECT_EQ(log_.Count("[INFO] multi, segment/concurrent decoupled: segments=[40], active=[8], pending=[32]."), 1);
  EXPECT_EQ(log_.Count("[INFO] multi, start pending segment range("), 32);
  EXPECT_EQ(log_.Matching("start pending segment range(").back(),
            "[INFO] multi, start pending segment range(1950000~1999999), remaining=[0].");
  EXPECT_EQ(GetRanges(*server_).size(), 40u);
  // The eight started at once are the first eight ranges, in order.
  std::vector<std::string> inits = log_.Matching(", init, host=[");
  ASSERT_EQ(inits.size(), 40u);
  for (int i = 0; i < 8; ++i) {
    const std::string range = "range(" + std::to_string(i * 50000) + "~" + std::to_string(i * 50000 + 49999) + ")";
    EXPECT_NE(inits[static_cast<size_t>(i)].find(range), std::string::npos) << inits[static_cast<size_t>(i)];
  }
  EXPECT_EQ(ReadFileForTesting(FinalPath()), data);
}

TEST_F(MultiDownloaderTest, StallRuleEndsTheAttemptAndKeepsTheFileForTheNextJob) {
  UseClock(1000);
  const std::string data = RandomData(1 << 20, 14);
  Serve(data);
  const int refuse = server_->AddFault(FaultRule::For(kPath).Method("GET").With(Fault::Status(503)));
  auto d = Make(Md5Hex(data));
  // Cancel in the wait after the stalled attempt: the kept file stays.
  events_->SetHook([&d](const DownloadEvent& e) {
    if (e.type == Type::AttemptEnd) d->Cancel();
  });
  ASSERT_TRUE(d->Download(7, Url(), dir_.path()));

  ASSERT_EQ(events_->WaitFinished(), kResultUserCanceled) << log_.All();
  events_->SetHook({});
  d.reset();

  auto begins = events_->Of(Type::AttemptBegin);
  auto ends = events_->Of(Type::AttemptEnd);
  ASSERT_EQ(ends.size(), 1u);
  EXPECT_EQ(ends[0].event.value2, kResultOtherTransferError);  // HTTP 503
  EXPECT_GE(ends[0].at - begins[0].at, seconds(60));
  EXPECT_EQ(log_.Count("[WARN] multi, break by too many errors, keep tmp file for resume."), 1);
  CDownloadFileStore reader(*clock_, {}, {});
  std::map<int64_t, int64_t> listed;
  ASSERT_TRUE(reader.ReadResumeRecord(TempPath(), static_cast<int64_t>(data.size()), listed));
  int64_t next = 0;  // nothing was fetched: the record lists every byte
  for (const auto& [b, e] : listed) {
    EXPECT_EQ(b, next);
    next = e + 1;
  }
  EXPECT_EQ(next, static_cast<int64_t>(data.size()));

  server_->RemoveFault(refuse);
  events_ = std::make_unique<EventRecorder>(*clock_);
  ASSERT_EQ(RunJob(Md5Hex(data)), 0) << log_.All();
  EXPECT_GE(log_.Count("[INFO] multi, resume download."), 1);
  EXPECT_EQ(ReadFileForTesting(FinalPath()), data);
}

TEST_F(MultiDownloaderTest, DestroyingARunningJobCancelsItPromptly) {
  const std::string data = RandomData(2 << 20, 15);
  Serve(data);
  server_->AddFault(FaultRule::For(kPath).Method("GET").With(Fault::Throttle(32 << 10)));
  auto d = Make(Md5Hex(data));
  ASSERT_TRUE(d->Download(7, Url(), dir_.path()));
  ASSERT_TRUE(WaitUntil([&] { return d->GetDownloadedBytes(true) > 100000; }, seconds(20)));
  const auto start = std::chrono::steady_clock::now();

  d.reset();

  EXPECT_LT(std::chrono::steady_clock::now() - start, seconds(5));
  EXPECT_EQ(events_->WaitFinished(milliseconds(0)), kResultUserCanceled);
  CDownloadFileStore reader(*clock_, {}, {});
  std::map<int64_t, int64_t> listed;
  EXPECT_TRUE(reader.ReadResumeRecord(TempPath(), static_cast<int64_t>(data.size()), listed));
}

TEST_F(MultiDownloaderTest, PausedJobSendsNothingMore) {
  const std::string data = RandomData(2 << 20, 16);
  Serve(data);
  server_->AddFault(FaultRule::For(kPath).Method("GET").With(Fault::Throttle(32 << 10)));
  auto d = Make(Md5Hex(data));
  ASSERT_TRUE(d->Download(7, Url(), dir_.path()));
  ASSERT_TRUE(events_->WaitFor(Type::AttemptBegin, 1));
  d->SetEventsEnabled(false);
  d->Cancel();
  ASSERT_TRUE(WaitUntil([&] { return d->IsFinished(); }, seconds(10)));
  EXPECT_EQ(d->GetResult(), kResultUserCanceled);
  EXPECT_EQ(events_->Count(Type::AttemptEnd), 0);
  EXPECT_EQ(events_->Count(Type::TaskFinished), 0);
}

// ------------------------------------------------------------ TLS and alias hosts

TEST_F(MultiDownloaderTest, RepeatedTlsFailuresMoveTheJobToAnAliasHost) {
  // The origin node's certificate comes from a CA the segments do not trust
  // (the size queries do); the alias host's certificate verifies.
  UseClock(1000);
  TestCa trusted;
  TestCa other;
  ASSERT_TRUE(trusted.ok() && other.ok());
  auto good = trusted.IssueLeaf("good", {"alias.test", "pkg.test"});
  auto foreign = other.IssueLeaf("foreign", {"pkg.test"});
  const std::string both = dir_.Child("both.pem");
  WriteFileForTesting(both, ReadFileForTesting(trusted.bundle_path()) + ReadFileForTesting(other.bundle_path()));
  ca_bundle_ = both;  // probes (host store)
  const std::string data = RandomData(1 << 20, 17);
  Serve(data, {"127.0.0.1", "127.0.0.2"}, HttpServerOptions().Tls(good).TlsOn("127.0.0.1", foreign));
  resolver_.Map(kHost, {"127.0.0.1"});
  resolver_.Map("alias.test", {"127.0.0.2"});
  alias_.SetAliasHostProvider([port = server_->port()](int32_t, const std::string&) {
    return std::vector<std::string>{"alias.test:" + std::to_string(port)};
  });
  DownloaderEnvironment env = Env();
  env.ca_bundle = trusted.bundle_path();  // the segments
  CHostSelector::Options options;
  options.ca_bundle = both;
  env.host_options = options;
  auto d = std::make_unique<CMultiDownloader>(env);
  d->SetObserver(events_.get());
  d->SetServerMd5(Md5Hex(data));
  ASSERT_TRUE(d->Download(7, Url(), dir_.path()));

  ASSERT_EQ(events_->WaitFinished(seconds(60)), 0) << log_.All();
  d.reset();

  EXPECT_EQ(ReadFileForTesting(FinalPath()), data);
  auto ends = events_->Of(Type::AttemptEnd);
  ASSERT_EQ(ends.size(), 2u);
  EXPECT_EQ(ends[0].event.value2, kResultSslVerifyFailed);
  auto begins = events_->Of(Type::AttemptBegin);
  ASSERT_EQ(begins.size(), 2u);
  EXPECT_EQ(begins[1].event.value, 0);  // the switch starts the count again
  EXPECT_EQ(log_.Count("[INFO] multi, ssl error, switch host ["), 1);
  EXPECT_EQ(alias_.GetStickyHost(7), "alias.test:" + std::to_string(server_->port()));
}

}  // namespace
}  // namespace ns_PEM
