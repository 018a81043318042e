#include "telemetry/installer_analytics.h"

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <exception>
#include <mutex>
#include <stop_token>
#include <system_error>
#include <thread>
#include <utility>

#include "common/log.h"
#include "common/url.h"
#include "platform/file_util.h"
#include "platform/locations.h"
#include "probes/platform_facts.h"
#include "server_api/service_endpoints.h"
#include "telemetry/analytics_client.h"

namespace oru {
namespace {

using qv_analytics::PropertiesNode;

constexpr std::chrono::milliseconds kStopBound{10000};
constexpr std::chrono::milliseconds kResetBound{60000};
constexpr char kStagingFileName[] = "oru_analytics";
constexpr char kUnknownVersion[] = "4.6.4";

struct PendingEvent {
  std::string name;
  PropertiesNode properties;
};

// The process's analytics layer. Report operations run on any thread and
// hold `mutex_` only to append; the worker thread (owned here) is the only
// one that talks to the network while the exit flag is clear.
class InstallerAnalytics {
 public:
  // Never destroyed: a worker left running past the stop bound at process
  // end must not find its owner gone.
  static InstallerAnalytics& Instance() {
    static auto* instance = new InstallerAnalytics();
    return *instance;
  }

  void Configure(const AnalyticsSetup& setup) {
    std::lock_guard lock(mutex_);
    setup_ = setup;
  }

  void Init(const std::string& project, const std::string& tracking_name, const AnalyticsContext& context);
  void Queue(std::string name, PropertiesNode properties, const char* click_pop = nullptr,
             const char* click_button = nullptr);
  void Stop(std::chrono::milliseconds bound);
  bool Shutdown(std::chrono::milliseconds bound);
  void Reset();

 private:
  Clock& CurrentClock() {
    std::lock_guard lock(mutex_);
    return setup_.clock != nullptr ? *setup_.clock : SystemClock();
  }
  bool InitClient(const std::string& project, const std::string& tracking_name, const std::string& sign,
                  bool deferred_consent);
  void StartWorkerLocked();
  void WorkerMain(std::stop_source ended);
  bool WorkerPass();
  void DeliverSynchronously();
  void JoinEndedWorkerLocked();

  std::mutex init_mutex_;        // one InitAnalytics at a time
  bool startup_queued_ = false;  // guarded by init_mutex_
  std::atomic<bool> initialised_{false};

  std::mutex mutex_;  // the pending lock; also guards the wake event and the worker
  std::condition_variable wake_cv_;
  bool wake_ = false;           // auto-reset: the worker clears it when it wakes
  bool exit_ = false;           // StopAnalytics ran: deliver on the caller's thread
  bool stop_taking_ = false;    // the stop bound passed: the worker hands back what it holds
  bool worker_running_ = false;
  std::thread worker_;
  std::stop_source worker_ended_;  // requested when the current worker ends
  std::deque<PendingEvent> pending_;
  AnalyticsSetup setup_;
};

std::vector<std::string> CollectorUrls(const AnalyticsSetup& setup, const std::string& project) {
  std::vector<std::string> bases = setup.collectors.empty() ? GetServiceEndpoints().analytics_collectors : setup.collectors;
  std::vector<std::string> urls;
  for (const std::string& base : bases) urls.push_back(base + "?project=" + UrlEncode(project));
  return urls;
}

std::string StagingPath(const AnalyticsSetup& setup) {
  if (!setup.staging_path.empty()) return setup.staging_path;
  return JoinPath(ProcessLocations().temp_dir, kStagingFileName);
}

PropertiesNode OsSuperProperties(const std::string& tracking_name, bool deferred_consent) {
  PropertiesNode p;
  p.SetText("tid", tracking_name);
  p.SetText("ostype", "windows");
  if (deferred_consent) return p;  // no machine facts before consent
  p.SetText("os_version", GetOsVersion());
  p.SetInteger("osbit", static_cast<int32_t>(GetNativeBits()));
  p.SetText("oslang", GetOsUiLanguage());
  p.SetInteger("oszone", static_cast<int32_t>(GetTimeZoneHours()));
  return p;
}

PropertiesNode RunSuperProperties(const AnalyticsContext& c, const std::string& sign) {
  PropertiesNode p;
  p.SetText("downloader_ver", AnalyticsVersionText(GetSelfVersion()));
  p.SetText("scene_code", c.scene_code);
  p.SetText("exe_name", GetSelfFileName());
  p.SetText("clipboard_param", c.clipboard_param);
  p.SetText("track_id", sign);
  p.SetText("downloader_lang", "ENG");
  p.SetText("downloader_url", c.download_url);
  p.SetText("package_size", std::to_string(c.package_size));
  p.SetText("auto_install", c.deferred_consent ? "2" : "0");
  p.SetInteger("pid", c.product_id);
  p.SetText("pver", c.product_version);
  p.SetText("psource", c.channel);
  p.SetText("pbrand", c.brand);
  p.SetText("plang", c.lang_code);
  p.SetText("pname", c.product_name);
  return p;
}

void TrackAndFlush(const PendingEvent& event) {
  qv_analytics::Track(event.name, event.properties);
  if (!qv_analytics::Flush()) Log(kLogError, "[ERROR] analytics flush failed! event=[%s]", event.name.c_str());
}

bool InstallerAnalytics::InitClient(const std::string& project, const std::string& tracking_name,
                                    const std::string& sign, bool deferred_consent) {
  AnalyticsSetup setup;
  {
    std::lock_guard lock(mutex_);
    setup = setup_;
  }
  Clock& clock = setup.clock != nullptr ? *setup.clock : SystemClock();
  const bool ok = qv_analytics::Init(StagingPath(setup), CollectorUrls(setup, project), sign, clock);
  Log(kLogInfo, "[INFO] analytics init tid=[%s], did=[%s], privacyPostpone=[%d], result=[%d].", tracking_name.c_str(),
      sign.c_str(), deferred_consent ? 1 : 0, ok ? 1 : 0);
  if (ok) qv_analytics::AddSuperProperties(OsSuperProperties(tracking_name, deferred_consent));
  return ok;
}

// The worker only sees the layer initialised once every super property is
// in place, so events queued before Init leave with all of them.
void InstallerAnalytics::Init(const std::string& project, const std::string& tracking_name,
                              const AnalyticsContext& context) {
  const std::string sign = GetClientSign(context.brand);
  std::lock_guard init_lock(init_mutex_);
  bool ok = initialised_.load();
  if (!ok) ok = InitClient(project, tracking_name, sign, context.deferred_consent);
  if (ok) {
    qv_analytics::AddSuperProperties(RunSuperProperties(context, sign));
    if (!initialised_.exchange(true)) {
      std::lock_guard lock(mutex_);
      wake_ = true;
      wake_cv_.notify_all();
    }
  }
  bool report_startup = true;
  {
    std::lock_guard lock(mutex_);
    report_startup = setup_.report_startup;
  }
  if (startup_queued_ || !report_startup) return;
  startup_queued_ = true;
  Queue("downloader_startup", PropertiesNode());
  Log(kLogInfo, "[INFO] report EVENT_STARTUP after all super properties set.");
}

void InstallerAnalytics::Queue(std::string name, PropertiesNode properties, const char* click_pop,
                               const char* click_button) {
  std::unique_lock lock(mutex_);
  pending_.push_back({std::move(name), std::move(properties)});
  if (click_pop != nullptr) {
    Log(kLogInfo, "[INFO] analytics enqueue click, pop=[%s], btn=[%s].", click_pop, click_button);
  }
  if (exit_) {
    lock.unlock();
    DeliverSynchronously();
    return;
  }
  if (!worker_running_) StartWorkerLocked();
  wake_ = true;
  wake_cv_.notify_all();
}

void InstallerAnalytics::StartWorkerLocked() {
  JoinEndedWorkerLocked();
  worker_ended_ = std::stop_source();
  try {
    worker_ = std::thread(&InstallerAnalytics::WorkerMain, this, worker_ended_);
    worker_running_ = true;
  } catch (const std::system_error& e) {
    // The events stay pending; the next report tries again.
    Log(kLogError, "[ERROR] analytics worker not started: %s", e.what());
  }
}

// Only a worker that has ended is joined, so this never waits on the network.
void InstallerAnalytics::JoinEndedWorkerLocked() {
  if (!worker_running_ && worker_.joinable()) worker_.join();
}

void InstallerAnalytics::WorkerMain(std::stop_source ended) {
  while (WorkerPass()) {
  }
  Log(kLogInfo, "[INFO] analytics, exit thread.");
  {
    std::lock_guard lock(mutex_);
    worker_running_ = false;
  }
  ended.request_stop();
}

// One pass; false when the worker should end. The exit flag wakes it too:
// after StopAnalytics nobody signals the event any more, and a pass that
// found events still pending must not wait for a signal that never comes.
// Events are taken one at a time, so that once the stop bound has passed
// the rest are still pending, in order, for the caller of StopAnalytics.
bool InstallerAnalytics::WorkerPass() {
  {
    std::unique_lock lock(mutex_);
    wake_cv_.wait(lock, [this] { return wake_ || exit_; });
    wake_ = false;
    if (!initialised_.load()) return !exit_;
  }
  while (true) {
    PendingEvent event;
    {
      std::lock_guard lock(mutex_);
      if (stop_taking_) return false;
      if (pending_.empty()) return !exit_;
      event = std::move(pending_.front());
      pending_.pop_front();
    }
    Log(kLogInfo, "[INFO] analytics, event=[%s].", event.name.c_str());
    TrackAndFlush(event);
  }
}

void InstallerAnalytics::DeliverSynchronously() {
  if (!initialised_.load()) return;
  std::deque<PendingEvent> taken;
  {
    std::lock_guard lock(mutex_);
    taken.swap(pending_);
  }
  for (const PendingEvent& event : taken) {
    Log(kLogInfo, "[INFO] analytics sync, event=[%s].", event.name.c_str());
    TrackAndFlush(event);
  }
}

void InstallerAnalytics::Stop(std::chrono::milliseconds bound) {
  Clock& clock = CurrentClock();
  std::stop_token ended;
  bool has_worker = false;
  {
    std::lock_guard lock(mutex_);
    exit_ = true;
    wake_ = true;
    wake_cv_.notify_all();
    has_worker = worker_.joinable();
    ended = worker_ended_.get_token();
  }
  if (has_worker && !ended.stop_requested()) clock.SleepFor(bound, ended);
  if (has_worker && !ended.stop_requested()) {
    std::lock_guard lock(mutex_);
    stop_taking_ = true;
  }
  DeliverSynchronously();
  std::lock_guard lock(mutex_);
  JoinEndedWorkerLocked();
}

bool InstallerAnalytics::Shutdown(std::chrono::milliseconds bound) {
  Stop(kStopBound);
  Clock& clock = CurrentClock();
  if (!qv_analytics::Shutdown(bound, clock)) return false;
  initialised_ = false;  // later events stay pending instead of failing
  std::lock_guard lock(mutex_);
  JoinEndedWorkerLocked();
  return true;
}

void InstallerAnalytics::Reset() {
  std::thread worker;
  {
    std::lock_guard lock(mutex_);
    exit_ = true;
    stop_taking_ = true;
    wake_cv_.notify_all();
    worker = std::move(worker_);
  }
  if (worker.joinable()) worker.join();
  qv_analytics::Shutdown(kResetBound, SystemClock());
  std::lock_guard init_lock(init_mutex_);
  std::lock_guard lock(mutex_);
  startup_queued_ = false;
  initialised_ = false;
  wake_ = exit_ = stop_taking_ = worker_running_ = false;
  pending_.clear();
  setup_ = AnalyticsSetup();
}

// "0x%08X" of 32-bit builds, widened so 64-bit addresses show in full.
std::string AddressText(uint64_t address) {
  char text[32];
  std::snprintf(text, sizeof text, "0x%08llX", static_cast<unsigned long long>(address));
  return text;
}

// The text between "://" and the next "/"; empty without a scheme.
std::string DomainOfUrl(const std::string& url) {
  const size_t scheme = url.find("://");
  if (scheme == std::string::npos) return {};
  const size_t begin = scheme + 3;
  const size_t end = url.find('/', begin);
  return url.substr(begin, end == std::string::npos ? std::string::npos : end - begin);
}

}  // namespace

std::string AnalyticsVersionText(const std::string& four_part_version) {
  unsigned parts[4] = {};
  char tail = 0;
  const int n = std::sscanf(four_part_version.c_str(), "%u.%u.%u.%u%c", &parts[0], &parts[1], &parts[2], &parts[3],
                            &tail);
  if (n != 4) return kUnknownVersion;
  // An all-zero version is what the build reports without a version.
  if (parts[0] == 0 && parts[1] == 0 && parts[2] == 0 && parts[3] == 0) return kUnknownVersion;
  char text[64];
  if (parts[3] == 0) {
    std::snprintf(text, sizeof text, "%u.%u.%u", parts[0], parts[1], parts[2]);
  } else {
    std::snprintf(text, sizeof text, "%u.%u.%u.%u", parts[0], parts[1], parts[2], parts[3]);
  }
  return text;
}

void ConfigureAnalytics(const AnalyticsSetup& setup) { InstallerAnalytics::Instance().Configure(setup); }

void InitAnalytics(const std::string& project, const std::string& tracking_name, const AnalyticsContext& context) {
  InstallerAnalytics::Instance().Init(project, tracking_name, context);
}

void ReportPop(const std::string& pop_name) {
  PropertiesNode p;
  p.SetText("pop_name", pop_name);
  InstallerAnalytics::Instance().Queue("downloader_pop", std::move(p));
}

void ReportClick(const std::string& pop_name, const std::string& button, int progress) {
  PropertiesNode p;
  p.SetText("pop_name", pop_name);
  if (!button.empty()) p.SetText("button", button);
  if (progress != 0) p.SetInteger("progress_rate", static_cast<int32_t>(progress));
  InstallerAnalytics::Instance().Queue("downloader_click", std::move(p), pop_name.c_str(), button.c_str());
}

void ReportCoverClick(const std::string& installed_version, const std::string& button) {
  PropertiesNode p;
  p.SetText("pop_name", "downloader_cover");
  p.SetText("cover_version", installed_version);
  p.SetText("button", button);
  InstallerAnalytics::Instance().Queue("downloader_click", std::move(p));
}

void ReportEvent(const std::string& event_name, const std::string& key, const std::string& value) {
  PropertiesNode p;
  if (!key.empty()) p.SetText(key, value);
  InstallerAnalytics::Instance().Queue(event_name, std::move(p));
}

void ReportConfig(const ConfigEventRecord& r) {
  PropertiesNode p;
  p.SetText("name", r.name);
  p.SetText("exe_name", r.exe_name);
  p.SetInteger("pkg_size", r.pkg_size);
  p.SetText("pkg_url", r.pkg_url);
  p.SetText("pkg_md5", r.pkg_md5);
  p.SetText("x64_pkg_url", r.x64_pkg_url);
  p.SetText("x64_pkg_md5", r.x64_pkg_md5);
  p.SetText("arm64_pkg_url", r.arm64_pkg_url);
  p.SetText("arm64_pkg_md5", r.arm64_pkg_md5);
  p.SetInteger("error_code", r.error_code);
  p.SetText("error_msg", r.error_msg);
  InstallerAnalytics::Instance().Queue("downloader_config", std::move(p));
}

void ReportDns(const std::string& domain, const std::string& ip) {
  PropertiesNode p;
  p.SetText("domain", domain);
  p.SetText("ip", ip);
  InstallerAnalytics::Instance().Queue("downloader_dns", std::move(p));
}

void ReportDownload(const DownloadEventRecord& r) {
  PropertiesNode p;
  p.SetText("type", r.type);
  p.SetText("state", r.state);
  p.SetText("domain", DomainOfUrl(r.url));
  p.SetInteger("resumedown", r.resumedown);
  p.SetInteger("times", r.times);
  p.SetInteger("speed", r.speed);
  p.SetInteger("duration", r.duration);
  p.SetInteger("error_code", r.error_code);
  p.SetText("error_msg", r.error_msg);
  p.SetInteger("thread", r.thread);
  p.SetInteger("buffer", r.buffer);
  p.SetText("is_timeout", r.is_timeout ? "1" : "0");
  p.SetText("package_tier", r.package_tier);
  p.SetText("strategy_version", r.strategy_version);
  p.SetText("network_tier", r.network_tier);
  p.SetInteger("chunk_cnt", r.chunk_cnt);
  p.SetText("chunk_size", r.chunk_size);
  p.SetInteger("concurrency_cnt", r.concurrency_cnt);
  p.SetInteger("preheat_file_size", r.preheat_file_size);
  InstallerAnalytics::Instance().Queue("downloader_download", std::move(p));
}

void ReportInstall(const InstallEventRecord& r) {
  PropertiesNode p;
  p.SetText("type", r.type);
  p.SetText("state", r.state);
  p.SetInteger("times", r.times);
  p.SetInteger("speed", r.speed);
  p.SetInteger("duration", r.duration);
  p.SetInteger("error_code", r.error_code);
  p.SetText("error_msg", r.error_msg);
  p.SetInteger("is_first_install", static_cast<int32_t>(r.is_first_install ? 1 : 0));
  InstallerAnalytics::Instance().Queue("downloader_install", std::move(p));
}

void ReportCrash(const CrashEventRecord& r) {
  PropertiesNode p;
  p.SetText("crashaddr", AddressText(r.address));
  p.SetText("crashoffset", std::to_string(r.offset));
  p.SetText("crashfilename", r.file_name);
  p.SetText("crashsection", r.section);
  p.SetInteger("error_code", static_cast<int64_t>(r.code));
  p.SetText("error_msg", "");
  InstallerAnalytics::Instance().Queue("downloader_crash", std::move(p));
}

void ReportStartProduct(int32_t shell_result, const std::string& error_msg) {
  PropertiesNode p;
  p.SetInteger("error_code", shell_result);
  p.SetText("error_msg", error_msg);
  InstallerAnalytics::Instance().Queue("start_product", std::move(p));
}

void ReportRedeemFailed(int32_t error) {
  PropertiesNode p;
  p.SetText("page", "free_membership_benefits");
  p.SetInteger("error", error);
  InstallerAnalytics::Instance().Queue("redeem_failed", std::move(p));
}

void StopAnalytics() { InstallerAnalytics::Instance().Stop(kStopBound); }

bool ShutdownAnalytics(std::chrono::milliseconds bound) { return InstallerAnalytics::Instance().Shutdown(bound); }

void ResetAnalyticsForTesting() { InstallerAnalytics::Instance().Reset(); }

}  // namespace oru
