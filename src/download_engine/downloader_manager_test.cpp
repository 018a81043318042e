#include "download_engine/downloader_manager.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <map>
#include <memory>
#include <mutex>

#include "common/log.h"
#include "download_engine/file_store.h"
#include "platform/file_util.h"
#include "support/child_process.h"
#include "support/http_test_server.h"
#include "support/scoped_temp_dir.h"
#include "support/test_clock.h"
#include "support/log_capture.h"
#include "support/test_data.h"

namespace ns_PEM {
namespace {

using oru::testing::Fault;
using oru::testing::FaultRule;
using oru::testing::HttpTestServer;
using oru::testing::ReadFileForTesting;
using oru::testing::RequestRecord;
using oru::testing::ScopedTempDir;
using oru::testing::TestClock;
using oru::testing::WaitUntil;
using std::chrono::milliseconds;
using std::chrono::seconds;

constexpr char kPath[] = "/pkg.bin";
constexpr char kHost[] = "pkg.test";

using oru::testing::Md5Hex;
using oru::testing::RandomData;

using oru::testing::LogCapture;

class FakeResolver : public ISystemResolver {
 public:
  explicit FakeResolver(std::vector<uint32_t> addresses) : addresses_(std::move(addresses)) {}
  std::vector<uint32_t> ResolveIpv4(const std::string& host_name) override {
    return host_name == kHost ? addresses_ : std::vector<uint32_t>{};
  }
  bool FlushCache() override { return true; }

 private:
  const std::vector<uint32_t> addresses_;
};

// Every callback as a named call with its numbers and texts.
class RecordingCallback : public IDownloaderManagerCallBack {
 public:
  struct Call {
    std::string name;
    int32_t task_id;
    std::vector<int64_t> numbers;
    std::vector<std::string> texts;
  };

  void OnFileName(int32_t id, const std::string& name) override { Add("FileName", id, {}, {name}); }
  void OnFileSize(int32_t id, int64_t size) override { Add("FileSize", id, {size}); }
  void OnProgress(int32_t id, int64_t downloaded, int64_t total, int64_t speed) override {
    Add("Progress", id, {downloaded, total, speed});
  }
  void OnComplete(int32_t id, int32_t result) override { Add("Complete", id, {result}); }
  void OnFailed(int32_t id, int32_t result) override { Add("Failed", id, {result}); }
  void OnSegmentBytes(int32_t id, int32_t reserved, int32_t kind, int64_t bytes) override {
    Add("SegmentBytes", id, {reserved, kind, bytes});
  }
  void OnDownloadBegin(int32_t id) override { Add("DownloadBegin", id); }
  void OnSegmentHost(int32_t id, const std::string& address) override { Add("SegmentHost", id, {}, {address}); }
  void OnAttemptBegin(int32_t id, int32_t retry) override { Add("AttemptBegin", id, {retry}); }
  void OnAttemptEnd(int32_t id, int32_t retry, int32_t result) override { Add("AttemptEnd", id, {retry, result}); }
  void OnFileDigest(int32_t id, const std::string& digest) override { Add("FileDigest", id, {}, {digest}); }
  void OnDigestMatched(int32_t id) override { Add("DigestMatched", id); }
  void OnFileError(int32_t id, int32_t kind, int64_t error) override { Add("FileError", id, {kind, error}); }
  void OnPackageInfoFailed(int32_t id, int32_t error) override { Add("PackageInfoFailed", id, {error}); }
  void OnDnsCacheCleared(int32_t id, int32_t result) override { Add("DnsCacheCleared", id, {result}); }
  void OnDnsResolved(int32_t id, const std::string& host, const std::string& addresses) override {
    Add("DnsResolved", id, {}, {host, addresses});
  }
  void OnPrepareDownload(int32_t id) override { Add("PrepareDownload", id); }
  void OnThreadBuffer(int32_t id, int32_t threads, int32_t buffer) override { Add("ThreadBuffer", id, {threads, buffer}); }

  std::vector<Call> Calls(const std::string& name, int32_t id) const {
    std::lock_guard lock(mu_);
    std::vector<Call> out;
    for (const Call& c : calls_) {
      if (c.name == name && c.task_id == id) out.push_back(c);
    }
    return out;
  }
  size_t Total() const {
    std::lock_guard lock(mu_);
    return calls_.size();
  }
  bool WaitFor(const std::string& name, int32_t id, size_t count = 1, milliseconds timeout = seconds(30)) {
    std::unique_lock lock(mu_);
    return changed_.wait_for(lock, timeout, [&] {
      size_t n = 0;
      for (const Call& c : calls_) n += c.name == name && c.task_id == id ? 1 : 0;
      return n >= count;
    });
  }
  // The result of the task's OnComplete or OnFailed.
  std::optional<int64_t> WaitEnd(int32_t id, milliseconds timeout = seconds(30)) {
    std::unique_lock lock(mu_);
    const Call* end = nullptr;
    changed_.wait_for(lock, timeout, [&] { return (end = FindEndLocked(id)) != nullptr; });
    return end == nullptr ? std::nullopt : std::optional<int64_t>(end->numbers[0]);
  }

 private:
  void Add(const std::string& name, int32_t id, std::vector<int64_t> numbers = {}, std::vector<std::string> texts = {}) {
    {
      std::lock_guard lock(mu_);
      calls_.push_back({name, id, std::move(numbers), std::move(texts)});
    }
    changed_.notify_all();
  }
  const Call* FindEndLocked(int32_t id) const {
    for (const Call& c : calls_) {
      if ((c.name == "Complete" || c.name == "Failed") && c.task_id == id) return &c;
    }
    return nullptr;
  }

  mutable std::mutex mu_;
  std::condition_variable changed_;
  std::vector<Call> calls_;
};

class DownloaderManagerTest : public ::testing::Test {
 protected:
  void Serve(const std::string& data) {
    data_ = data;
    server_ = std::make_unique<HttpTestServer>();
    ASSERT_TRUE(server_->ok()) << server_->error();
    server_->AddFile(kPath, data);
  }
  std::string Url() const { return server_->UrlOn(kHost, kPath); }
  std::string FinalPath() const { return dir_.Child("pkg.bin"); }

  std::unique_ptr<DownloaderManager> MakeManager(WindowPoster poster = {}) {
    DownloaderEnvironment env;
    env.clock = &clock_;
    env.transfer_clock = &oru::SystemClock();
    env.ca_bundle = std::string();
    env.host_store = &host_store_;
    env.alias_state = &alias_;
    auto manager = std::make_unique<DownloaderManager>(env, std::move(poster));
    manager->SetCallback(&callback_);
    return manager;
  }
  int32_t Add(DownloaderManager& m, int32_t id, int32_t flags = 0, int32_t segments = 0, int32_t max_concurrent = 0) {
    return m.AddTask(Url(), dir_.path(), "", id, "1.2.3", Md5Hex(data_), 0, flags, segments, max_concurrent);
  }
  // Bytes asked for by ranged GETs since the log was cleared.
  int64_t RequestedBytes() const {
    int64_t sum = 0;
    for (const RequestRecord& r : server_->RequestsFor(kPath)) {
      long long begin = 0;
      long long end = -1;
      if (r.method == "GET" && std::sscanf(r.range.c_str(), "bytes=%lld-%lld", &begin, &end) == 2) {
        sum += end - begin + 1;
      }
    }
    return sum;
  }

  LogCapture log_;
  ScopedTempDir dir_;
  TestClock clock_{TestClock::Scaled{100}};
  FakeResolver resolver_{{0x7F000001}};
  HostStore host_store_{HostStoreConfig(), resolver_, clock_};
  CAliasSwitchState alias_;
  RecordingCallback callback_;
  std::unique_ptr<HttpTestServer> server_;
  std::string data_;
};

TEST(DownloadResultTextTest, TextsOfTheManagerTable) {
  const std::vector<std::pair<int, std::string>> cases = {
      {0, ""}, {1, "Already downloaded"}, {13, "User canceled"}, {26, "Server closed connection"},
      {27, "Unknown error"}, {99, "Unknown error"}};
  for (const auto& [code, text] : cases) EXPECT_EQ(GetDownloadResultText(code), text) << code;
}

TEST_F(DownloaderManagerTest, RunsATaskAndReportsEveryStepThroughTheCallback) {
  const std::string data = RandomData(1 << 20, 1);
  Serve(data);
  auto manager = MakeManager();

  ASSERT_EQ(Add(*manager, 7), 7);
  ASSERT_EQ(callback_.WaitEnd(7), 0) << log_.All();

  EXPECT_EQ(ReadFileForTesting(FinalPath()), data);
  ASSERT_EQ(callback_.Calls("Complete", 7).size(), 1u);
  EXPECT_TRUE(callback_.Calls("Failed", 7).empty());
  EXPECT_EQ(callback_.Calls("PrepareDownload", 7).size(), 1u);
  EXPECT_EQ(callback_.Calls("DownloadBegin", 7).size(), 1u);
  auto resolved = callback_.Calls("DnsResolved", 7);
  ASSERT_EQ(resolved.size(), 1u);
  EXPECT_EQ(resolved[0].texts, (std::vector<std::string>{std::string(kHost) + ":" + std::to_string(server_->port()),
                                                          "127.0.0.1"}));
  EXPECT_EQ(callback_.Calls("FileName", 7)[0].texts[0], "pkg.bin");
  EXPECT_EQ(callback_.Calls("FileSize", 7)[0].numbers[0], static_cast<int64_t>(data.size()));
  EXPECT_EQ(callback_.Calls("ThreadBuffer", 7)[0].numbers, (std::vector<int64_t>{24, 5242880}));
  EXPECT_EQ(callback_.Calls("AttemptBegin", 7)[0].numbers[0], 0);
  EXPECT_EQ(callback_.Calls("AttemptEnd", 7)[0].numbers, (std::vector<int64_t>{0, 0}));
  EXPECT_EQ(callback_.Calls("SegmentHost", 7).size(), 24u);
  int64_t planned = 0;
  for (const auto& c : callback_.Calls("SegmentBytes", 7)) {
    EXPECT_EQ(c.numbers[0], -1);
    EXPECT_EQ(c.numbers[1], 0);
    planned += c.numbers[2];
  }
  EXPECT_EQ(planned, static_cast<int64_t>(data.size()));
  auto progress = callback_.Calls("Progress", 7);
  ASSERT_FALSE(progress.empty());
  EXPECT_EQ(progress.back().numbers[0], static_cast<int64_t>(data.size()));  // downloaded, then total
  EXPECT_EQ(progress.back().numbers[1], static_cast<int64_t>(data.size()));
  EXPECT_EQ(callback_.Calls("FileDigest", 7)[0].texts[0], Md5Hex(data));
  EXPECT_EQ(callback_.Calls("DigestMatched", 7).size(), 1u);
  EXPECT_EQ(log_.Count("[INFO] handle type=[0], pid=[7], taskid=[7]"), 1);
  EXPECT_EQ(log_.Count("[INFO] multi, set exe version=[1.2.3]."), 1);
  EXPECT_EQ(log_.Count("[INFO] finished, task_id=[7], result=[0]"), 1);

  EXPECT_EQ(manager->GetTaskCount(), 1);
  TaskInfo info;
  ASSERT_EQ(manager->GetTaskInfo(7, &info), 1);
  EXPECT_EQ(info.task_id, 7);
  EXPECT_EQ(info.total, static_cast<int64_t>(data.size()));
  EXPECT_EQ(info.downloaded, static_cast<int64_t>(data.size()));
  EXPECT_EQ(info.rate, 0);
  EXPECT_EQ(info.url, Url());
  EXPECT_EQ(info.folder, dir_.path() + "/");
  EXPECT_EQ(info.file_name, "pkg.bin");
  EXPECT_EQ(manager->GetTaskInfo(8, &info), 0);
  EXPECT_EQ(manager->GetTaskInfo(7, nullptr), 0);
  EXPECT_EQ(manager->GetLastErrorText(), "");

  EXPECT_TRUE(manager->RemoveTaskIfExists(7));
  ASSERT_TRUE(WaitUntil([&] { return manager->GetTaskCount() == 0; }, seconds(10)));
  EXPECT_FALSE(manager->RemoveTaskIfExists(7));
  EXPECT_FALSE(manager->RemoveAllTasks());  // nothing to remove
  EXPECT_TRUE(manager->Shutdown());
}

TEST_F(DownloaderManagerTest, AddingARunningTaskAgainReplacesItAndResumesFromItsRecord) {
  const std::string data = RandomData(3 << 20, 2);
  Serve(data);
  const int throttle = server_->AddFault(FaultRule::For(kPath).Method("GET").With(Fault::Throttle(16 << 10)));
  auto manager = MakeManager();
  ASSERT_EQ(Add(*manager, 5), 5);
  TaskInfo info;
  ASSERT_TRUE(WaitUntil([&] { return manager->GetTaskInfo(5, &info) == 1 && info.downloaded >= 300000; }, seconds(20)));
  server_->RemoveFault(throttle);
  server_->ClearLog();

  ASSERT_EQ(Add(*manager, 5), 5);

  ASSERT_TRUE(callback_.WaitFor("Complete", 5)) << log_.All();
  auto failed = callback_.Calls("Failed", 5);
  ASSERT_EQ(failed.size(), 1u);  // the replaced job
  EXPECT_EQ(failed[0].numbers[0], kResultUserCanceled);
  EXPECT_EQ(callback_.Calls("Complete", 5)[0].numbers[0], 0);
  EXPECT_EQ(ReadFileForTesting(FinalPath()), data);
  EXPECT_EQ(log_.Count("[INFO] multi, resume download."), 1);
  const int64_t cached = log_.NumberAfter("[INFO] multi, total=[", "cached=");
  const int64_t undownloaded = log_.NumberAfter("[INFO] multi, total=[", "undownloaded=");
  EXPECT_GT(cached, 0);
  EXPECT_EQ(cached + undownloaded, static_cast<int64_t>(data.size()));
  EXPECT_EQ(RequestedBytes(), undownloaded);  // nothing present is fetched again
  manager->Shutdown();
}

TEST_F(DownloaderManagerTest, PausedTaskEndsSilentlyAndContinuesFromItsRecord) {
  for (const bool by_resume : {true, false}) {
    SCOPED_TRACE(by_resume ? "ResumeTask" : "RemoveTask + AddTask");
    const std::string data = RandomData(2 << 20, 3);
    Serve(data);
    // Slow enough that the pause always lands before the last byte, also under ThreadSanitizer.
    const int throttle = server_->AddFault(FaultRule::For(kPath).Method("GET").With(Fault::Throttle(8 << 10)));
    RecordingCallback fresh;
    auto manager = MakeManager();
    manager->SetCallback(&fresh);
    ASSERT_EQ(Add(*manager, 6), 6);
    TaskInfo info;
    ASSERT_TRUE(
        WaitUntil([&] { return manager->GetTaskInfo(6, &info) == 1 && info.downloaded >= 100000; }, seconds(20)));

    ASSERT_TRUE(manager->PauseTask(6));

    CDownloadFileStore reader(clock_, {}, {});
    std::map<int64_t, int64_t> listed;
    const std::string temp = TempPathFor(FinalPath());
    // Generous: under ThreadSanitizer on two cores the cancelled segments take a while to wind down.
    ASSERT_TRUE(WaitUntil([&] { return reader.ReadResumeRecord(temp, static_cast<int64_t>(data.size()), listed); },
                          seconds(40)))
        << log_.All();
    EXPECT_EQ(manager->GetTaskCount(), 1);  // a paused task stays
    server_->RemoveFault(throttle);
    if (by_resume) {
      ASSERT_TRUE(manager->ResumeTask(6));
    } else {
      ASSERT_TRUE(manager->RemoveTask(6));
      ASSERT_EQ(Add(*manager, 6), 6);
    }
    ASSERT_EQ(fresh.WaitEnd(6), 0) << log_.All();
    EXPECT_TRUE(fresh.Calls("Failed", 6).empty());  // the pause sent nothing
    EXPECT_EQ(ReadFileForTesting(FinalPath()), data);
    EXPECT_GE(log_.Count("[INFO] multi, resume download."), 1);
    manager->Shutdown();
    manager.reset();
    oru::RemoveFile(FinalPath());
  }
}

TEST_F(DownloaderManagerTest, RefusesTasksWithoutUrlAndPositiveIdOrWithoutOperator) {
  Serve("x");
  auto manager = MakeManager();

  EXPECT_EQ(manager->AddTask("", dir_.path(), "", 0, "", "", 0, 0, 0, 0), -1);
  EXPECT_EQ(log_.Count("[ERROR] add task failed, operator=["), 1);
  EXPECT_EQ(log_.Count("], url=[0], pid=[0]."), 1);

  // A positive id is accepted; the job itself then fails.
  EXPECT_EQ(manager->AddTask("", dir_.path(), "", 3, "", "", 0, 0, 0, 0), 3);
  ASSERT_TRUE(callback_.WaitFor("Failed", 3));
  EXPECT_EQ(callback_.Calls("Failed", 3)[0].numbers[0], kResultUrlError);

  manager->Shutdown();
  EXPECT_EQ(Add(*manager, 4), -1);
  EXPECT_EQ(log_.Count("[ERROR] add task failed, operator=[0], url=["), 1);
  EXPECT_FALSE(manager->PauseTask(3));
}

TEST_F(DownloaderManagerTest, DeliversEachEventToItsCallback) {
  auto manager = MakeManager();
  auto send = [&](DownloadEvent e) {
    e.task_id = 9;
    manager->Notify(std::make_unique<DownloadEvent>(std::move(e)));
  };
  const int64_t big = int64_t{3} << 30;
  send(MakeTextEvent(DownloadEventType::DnsResolved, "cdn.test:1.2.3.4,5.6.7.8"));
  send(MakeTextEvent(DownloadEventType::DnsResolved, "cdn.test:8443:9.9.9.9"));
  send(MakeTextEvent(DownloadEventType::DnsResolved, "no-colon-here"));
  send(MakeValueEvent(DownloadEventType::DnsResolved));  // no text at all
  send(MakeValueEvent(DownloadEventType::FileName));
  send(MakeValueEvent(DownloadEventType::FileSize, big));
  send(MakeValueEvent(DownloadEventType::SegmentBytes, big));
  ProgressInfo progress;
  progress.total = big;
  progress.downloaded = big - 1;
  progress.speed = 5000000000;
  send(MakeProgressEvent(progress));
  send(MakeValueEvent(DownloadEventType::FileError, kFileErrorDiskFull, 28));
  send(MakeValueEvent(DownloadEventType::DnsCacheCleared, 22));
  send(MakeValueEvent(DownloadEventType::TaskFinished, 1));
  send(MakeValueEvent(DownloadEventType::TaskFinished, 5));
  manager->Notify(nullptr);

  auto resolved = callback_.Calls("DnsResolved", 9);
  ASSERT_EQ(resolved.size(), 2u);
  EXPECT_EQ(resolved[0].texts, (std::vector<std::string>{"cdn.test", "1.2.3.4,5.6.7.8"}));
  EXPECT_EQ(resolved[1].texts, (std::vector<std::string>{"cdn.test:8443", "9.9.9.9"}));
  EXPECT_TRUE(callback_.Calls("FileName", 9).empty());
  EXPECT_EQ(callback_.Calls("FileSize", 9)[0].numbers[0], big);
  EXPECT_EQ(callback_.Calls("SegmentBytes", 9)[0].numbers, (std::vector<int64_t>{-1, 0, big}));
  EXPECT_EQ(callback_.Calls("Progress", 9)[0].numbers, (std::vector<int64_t>{big - 1, big, 5000000000}));
  EXPECT_EQ(callback_.Calls("FileError", 9)[0].numbers, (std::vector<int64_t>{kFileErrorDiskFull, 28}));
  EXPECT_EQ(callback_.Calls("DnsCacheCleared", 9)[0].numbers[0], 22);
  EXPECT_EQ(callback_.Calls("Complete", 9)[0].numbers[0], 1);
  EXPECT_EQ(callback_.Calls("Failed", 9)[0].numbers[0], 5);
  EXPECT_EQ(log_.Count("[INFO] finished, task_id=[9], result=[1]"), 1);
  EXPECT_EQ(log_.Count("[INFO] finished, task_id=[9], result=[5]"), 1);

  // Window mode: the poster gets the record, the callback nothing.
  const size_t calls = callback_.Total();
  std::vector<std::pair<int64_t, uint32_t>> posted;
  manager.reset();
  manager = MakeManager([&posted](int64_t window, uint32_t message, std::unique_ptr<DownloadEvent> e) {
    ASSERT_TRUE(e);
    posted.emplace_back(window, message);
  });
  manager->SetNotifyWindow(42, 0x0400 + 100);
  send(MakeValueEvent(DownloadEventType::FileSize, 10));
  EXPECT_EQ(callback_.Total(), calls);
  EXPECT_EQ(posted, (std::vector<std::pair<int64_t, uint32_t>>{{42, 0x0400 + 100}}));
  manager->SetCallback(&callback_);
  send(MakeValueEvent(DownloadEventType::FileSize, 10));
  EXPECT_EQ(posted.size(), 1u);
  EXPECT_EQ(callback_.Total(), calls + 1);
}

TEST_F(DownloaderManagerTest, WeakNetworkFlagUsesTheGivenCounts) {
  struct Case {
    int32_t flags;
    int32_t segments;
    int32_t max_concurrent;
    std::string weak_line;       // empty: no weak-network line
    std::string decoupled_line;  // empty: no decoupled line
    int threads;
  };
  const std::vector<Case> cases = {
      {1, 40, 8, "flags=[0x0001], segments=[40], maxConcurrent=[8].",
       "segment/concurrent decoupled: segments=[40], active=[8], pending=[32].", 8},
      {1, 0, 0, "flags=[0x0001], segments=[24], maxConcurrent=[24].", "", 24},
      {0, 40, 8, "", "", 24},
  };
  int32_t id = 20;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.flags * 1000 + c.segments);
    Serve(RandomData(2 << 20, 4));
    auto manager = MakeManager();
    const int weak_before = log_.Count("[INFO] multi, weak network mode enabled for pid=[");
    const int decoupled_before = log_.Count("segment/concurrent decoupled");
    ASSERT_EQ(Add(*manager, id, c.flags, c.segments, c.max_concurrent), id);
    ASSERT_EQ(callback_.WaitEnd(id), 0) << log_.All();
    if (c.weak_line.empty()) {
      EXPECT_EQ(log_.Count("[INFO] multi, weak network mode enabled for pid=["), weak_before);
    } else {
      EXPECT_EQ(log_.Count("weak network mode enabled for pid=[" + std::to_string(id) + "], " + c.weak_line), 1);
    }
    EXPECT_EQ(log_.Count("segment/concurrent decoupled"), decoupled_before + (c.decoupled_line.empty() ? 0 : 1));
    if (!c.decoupled_line.empty()) {
      EXPECT_EQ(log_.Count(c.decoupled_line), 1);
    }
    EXPECT_EQ(callback_.Calls("ThreadBuffer", id)[0].numbers[0], c.threads);
    manager->Shutdown();
    manager.reset();
    oru::RemoveFile(FinalPath());
    ++id;
  }
}

TEST_F(DownloaderManagerTest, TaskInfoIsNotReadyWhileTheSizeIsUnknown) {
  Serve(RandomData(100000, 5));
  server_->AddFault(FaultRule::For(kPath).Method("HEAD").Times(1).With(Fault::Delay(milliseconds(1500))));
  auto manager = MakeManager();
  ASSERT_EQ(Add(*manager, 11), 11);
  ASSERT_TRUE(WaitUntil([&] { return manager->GetTaskCount() == 1; }, seconds(5)));

  TaskInfo info;
  EXPECT_EQ(manager->GetTaskInfo(11, &info), kTaskInfoNotReady);
  EXPECT_EQ(info.task_id, 11);
  EXPECT_EQ(info.total, -1);
  EXPECT_EQ(info.downloaded, -1);

  ASSERT_EQ(callback_.WaitEnd(11), 0);
  EXPECT_EQ(manager->GetTaskInfo(11, &info), 1);
  manager->Shutdown();
}

TEST_F(DownloaderManagerTest, RemoveAllCancelsEveryTask) {
  Serve(RandomData(2 << 20, 6));
  server_->AddFault(FaultRule::For(kPath).Method("GET").With(Fault::Throttle(32 << 10)));
  auto manager = MakeManager();
  ASSERT_EQ(manager->AddTask(Url(), dir_.Child("a"), "", 1, "", "", 0, 0, 0, 0), 1);
  ASSERT_EQ(manager->AddTask(Url(), dir_.Child("b"), "", 2, "", "", 0, 0, 0, 0), 2);
  ASSERT_TRUE(callback_.WaitFor("AttemptBegin", 1));
  ASSERT_TRUE(callback_.WaitFor("AttemptBegin", 2));

  EXPECT_TRUE(manager->RemoveAllTasks());

  EXPECT_EQ(callback_.WaitEnd(1), kResultUserCanceled);
  EXPECT_EQ(callback_.WaitEnd(2), kResultUserCanceled);
  ASSERT_TRUE(WaitUntil([&] { return manager->GetTaskCount() == 0; }, seconds(10)));
  EXPECT_EQ(log_.Count("[INFO] handle type=[4], pid=[-1], taskid=[-1]"), 1);
  manager->Shutdown();
}

TEST_F(DownloaderManagerTest, DestroyingWithoutShutdownStillStopsEverything) {
  Serve(RandomData(2 << 20, 7));
  server_->AddFault(FaultRule::For(kPath).Method("GET").With(Fault::Throttle(32 << 10)));
  auto manager = MakeManager();
  ASSERT_EQ(Add(*manager, 12), 12);
  ASSERT_TRUE(callback_.WaitFor("AttemptBegin", 12));
  const auto start = std::chrono::steady_clock::now();

  manager.reset();

  EXPECT_LT(std::chrono::steady_clock::now() - start, seconds(5));
  EXPECT_EQ(callback_.WaitEnd(12, milliseconds(0)), kResultUserCanceled);
}

}  // namespace
}  // namespace ns_PEM
