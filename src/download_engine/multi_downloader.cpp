#include "download_engine/multi_downloader.h"

#include <curl/curl.h>

#include <algorithm>
#include <cctype>
#include <limits>
#include <map>
#include <system_error>
#include <utility>

#include "common/log.h"
#include "download_engine/download_result.h"
#include "platform/download_file.h"
#include "platform/file_util.h"
#include "platform/locations.h"
#include "platform/net_info.h"

namespace ns_PEM {
namespace {

using oru::kLogError;
using oru::kLogInfo;
using oru::kLogWarn;
using oru::Log;
using std::chrono::milliseconds;
using std::chrono::seconds;

constexpr milliseconds kPollInterval{200};
constexpr milliseconds kDrainInterval{20};
constexpr int64_t kCheckpointBytes = 31457280;      // 30 MiB
constexpr int64_t kMinBufferSegmented = 524288;     // 512 KiB
constexpr int64_t kMinBufferSingle = 262144;        // 256 KiB
constexpr int64_t kReducedBufferLimit = 1048576;    // 1 MiB
constexpr int64_t kSplitMinRemaining = 1048576;     // 1 MiB
constexpr uint64_t kPlentyOfMemory = 125829120;     // 120 MiB
constexpr int32_t kMaxThreadCount = 24;
constexpr size_t kMaxBatch = 3;
constexpr int32_t kMinStallLimit = 50;
constexpr seconds kStallTime{60};
constexpr int kRemoveRecordTries = 15;
constexpr int32_t kHalfOfAttempts = 5;
constexpr int32_t kTlsErrorsForAliasSwitch = 3;
constexpr int kTcpSegmentBytes = 1460;
constexpr int kPackageInfoFailedError = 2;
constexpr size_t kMinMd5ForCheck = 4;

long long Ll(int64_t v) { return static_cast<long long>(v); }

// URL text after its last "/".
std::string FileNameOf(const std::string& url) {
  size_t slash = url.rfind('/');
  return slash == std::string::npos ? url : url.substr(slash + 1);
}

// The file name becomes one component of a path in the target folder.
bool IsUsableFileName(const std::string& name) {
  if (name.empty() || name == "." || name == "..") return false;
  return std::none_of(name.begin(), name.end(), [](char c) {
    unsigned char u = static_cast<unsigned char>(c);
    return u < 0x20 || u == 0x7f || c == '\\' || c == oru::kPathSeparator;
  });
}

std::string UpperAscii(std::string text) {
  for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

// Sorted union of the ranges; empty ranges (begin > end) are dropped.
// Ranges that only touch stay apart, so a resumed job starts them in
// parallel.
std::vector<ByteRange> MergeRanges(std::vector<ByteRange> ranges) {
  ranges.erase(std::remove_if(ranges.begin(), ranges.end(), [](const ByteRange& r) { return r.first > r.second; }),
               ranges.end());
  std::sort(ranges.begin(), ranges.end());
  std::vector<ByteRange> merged;
  for (const ByteRange& r : ranges) {
    if (!merged.empty() && r.first <= merged.back().second) {
      merged.back().second = std::max(merged.back().second, r.second);
      continue;
    }
    merged.push_back(r);
  }
  return merged;
}

int64_t NowSeconds(oru::Clock& clock) { return oru::UnixSeconds(clock.Now()); }

}  // namespace

// ------------------------------------------------------------------ rules

uint32_t MachineReceivedEstimate(std::optional<uint64_t> tcp_segments) {
  if (!tcp_segments) return 0;
  return static_cast<uint32_t>(*tcp_segments) * static_cast<uint32_t>(kTcpSegmentBytes);
}

int32_t EvaluateFlowRule(FlowSample& sample, uint32_t machine_now, int64_t downloaded_now, int32_t a,
                         int32_t thread_count, int32_t max_concurrent, double* share) {
  if (share != nullptr) *share = -1;
  const uint32_t m = machine_now - sample.machine;  // the counter wraps; so does the difference
  if (m == 0) return 0;
  const int64_t d = downloaded_now - sample.download;
  int32_t result = 0;
  if (d < static_cast<int64_t>(m)) {
    const double rate = static_cast<double>(d) / static_cast<double>(m);
    if (share != nullptr) *share = rate;
    if (rate > 0.81) {
      result = a > thread_count ? -1 : 0;
    } else if (rate < 0.79) {
      result = a < max_concurrent ? 1 : 0;
    }
  }
  sample.machine = machine_now;
  sample.download = downloaded_now;
  return result;
}

ThreadBuffer ComputeThreadBuffer(ThreadBuffer current, bool config_enabled, std::optional<uint64_t> available) {
  if (config_enabled) return current;
  // Unknown free memory is taken as plenty rather than as none, which would
  // shrink every download to one connection.
  const uint64_t p = available.value_or(kPlentyOfMemory);
  const uint64_t full_buffer = CMultiDownloader::kDefaultBufferSize;
  const uint64_t min_buffer = static_cast<uint64_t>(kReducedBufferLimit);
  if (current.thread_count >= 1 && current.thread_count < kMaxThreadCount) {
    uint64_t buffer = p >= kPlentyOfMemory ? full_buffer : std::max(p / static_cast<uint64_t>(current.thread_count), min_buffer);
    return {current.thread_count, static_cast<int32_t>(std::min(buffer, full_buffer))};
  }
  if (p >= kPlentyOfMemory) return {kMaxThreadCount, CMultiDownloader::kDefaultBufferSize};
  uint64_t buffer = p / kMaxThreadCount;
  int32_t threads = kMaxThreadCount;
  if (buffer < min_buffer) {
    buffer = min_buffer;
    threads = static_cast<int32_t>(std::max<uint64_t>(1, p / min_buffer));
  }
  return {threads, static_cast<int32_t>(buffer)};
}

std::vector<ByteRange> SplitIntoRanges(int64_t total, int32_t n) {
  std::vector<ByteRange> ranges;
  if (total <= 0) return ranges;
  const int64_t count = std::clamp<int64_t>(n, 1, total);
  const int64_t length = (total + count - 1) / count;
  for (int64_t begin = 0; begin < total; begin += length) {
    ranges.emplace_back(begin, std::min(begin + length - 1, total - 1));
  }
  return ranges;
}

// ------------------------------------------------------------------ set-up

namespace {

CHostSelector::Options SelectorOptions(const DownloaderEnvironment& env) {
  CHostSelector::Options options = env.host_options.value_or(CHostSelector::DefaultOptions());
  if (!env.host_options && env.ca_bundle) options.ca_bundle = *env.ca_bundle;
  return options;
}

}  // namespace

CMultiDownloader::CMultiDownloader(DownloaderEnvironment env)
    : clock_(env.clock != nullptr ? *env.clock : oru::SystemClock()),
      transfer_clock_(env.transfer_clock != nullptr ? *env.transfer_clock : clock_),
      ca_bundle_(env.ca_bundle.value_or(oru::ProcessLocations().ca_bundle)),
      received_tcp_segments_(env.received_tcp_segments ? env.received_tcp_segments : oru::ReceivedTcpSegments),
      available_memory_(env.available_memory ? env.available_memory : oru::AvailablePhysicalMemory),
      store_(
          clock_, [this](DownloadEvent event) { Send(std::move(event)); },
          [this](int32_t result) { SetResult(result); }),
      selector_(
          [this](DownloadEvent event) {
            if (event.type == DownloadEventType::DnsCacheCleared) event.value = result_.load();
            Send(std::move(event));
          },
          env.host_store != nullptr ? *env.host_store : HostStore::Instance(),
          env.alias_state != nullptr ? *env.alias_state : CAliasSwitchState::Instance(), clock_,
          SelectorOptions(env)) {}

CMultiDownloader::~CMultiDownloader() {
  stop_.request_stop();
  CancelSegments();
  if (worker_.joinable()) worker_.join();
  JoinCheckpoint();
  DeleteSegments();
}

int64_t CMultiDownloader::WriteAt(int64_t offset, int64_t length, const char* data, bool set_end) {
  return store_.WriteAt(offset, length, data, set_end);
}

void CMultiDownloader::SetObserver(IObserver* observer) { observer_ = observer; }

void CMultiDownloader::SetDownloadConfig(const DownloadConfig& config) {
  config_ = config;
  if (!config.enabled) return;
  thread_count_ = config.concurrent;
  buffer_size_ = config.buffer;
  max_concurrent_ = config.max_concurrent;
  Log(kLogInfo,
      "[INFO] multi, SetDownloadConfig, segments=[%d], concurrent=[%d], maxConcurrent=[%d], buffer=[%d], "
      "connectTimeout=[%ld], lowSpeedTime=[%ld].",
      config.segments, config.concurrent, config.max_concurrent, config.buffer,
      static_cast<long>(config.connect_timeout.count()), static_cast<long>(config.low_speed_time.count()));
}

void CMultiDownloader::SetServerMd5(const std::string& md5) {
  Log(kLogInfo, "[INFO] multi, set server md5=[%s].", md5.c_str());
  server_md5_ = UpperAscii(md5);
}

void CMultiDownloader::SetExeVersion(const std::string& version) { exe_version_ = version; }

bool CMultiDownloader::Download(int32_t task_id, const std::string& url, const std::string& folder) {
  Log(kLogInfo, "[INFO] multi, download id=[%d], url=[%s], dir=[%s].", task_id, url.c_str(), folder.c_str());
  if (worker_.joinable()) return false;
  task_id_.store(task_id);
  folder_was_empty_ = folder.empty();
  {
    std::lock_guard lock(text_mutex_);
    url_ = url;
    folder_ = oru::WithTrailingSeparator(folder);
  }
  job_ = HostJob{task_id, exe_version_, url, 0, {}};
  try {
    worker_ = std::thread([this] { Run(); });
  } catch (const std::system_error&) {
    Log(kLogError, "[ERROR] multi, create download thread failed!");
    return false;
  }
  return true;
}

bool CMultiDownloader::Cancel() {
  stop_.request_stop();
  std::lock_guard lock(segment_lock_);
  Log(kLogInfo, "[INFO] multi, cancel.");
  for (Slot& slot : segments_) slot.transfer->Cancel();
  return true;
}

bool CMultiDownloader::Resume() {
  std::lock_guard lock(segment_lock_);
  Log(kLogInfo, "[INFO] multi, resume.");
  return true;
}

void CMultiDownloader::SetEventsEnabled(bool enabled) { events_enabled_.store(enabled); }

std::string CMultiDownloader::GetUrl() const {
  std::lock_guard lock(text_mutex_);
  return url_;
}

std::string CMultiDownloader::GetFolder() const {
  std::lock_guard lock(text_mutex_);
  return folder_;
}

std::string CMultiDownloader::GetFileName() const {
  std::lock_guard lock(text_mutex_);
  return file_name_;
}

int64_t CMultiDownloader::GetDownloadedBytes(bool include_resumed) const {
  // A finished file keeps its count after its segments are gone.
  if (include_resumed && complete_.load()) return total_size_.load();
  std::lock_guard lock(segment_lock_);
  return Downloaded(include_resumed);
}

int64_t CMultiDownloader::GetElapsedSeconds() const {
  const int64_t start = attempt_start_.load();
  if (start == 0) return 1;
  return std::max<int64_t>(1, NowSeconds(clock_) - start);
}

// ------------------------------------------------------------------ the job

void CMultiDownloader::Run() {
  Log(kLogInfo, "[INFO] multi, thread begin.");
  Send(MakeValueEvent(DownloadEventType::PrepareDownload));
  Send(MakeValueEvent(DownloadEventType::DownloadBegin));
  const int32_t result = RunJob();
  result_.store(result);
  Log(kLogInfo, "[INFO] multi, thread end, id=[%d], result=[%d].", task_id_.load(), result);
  Send(MakeValueEvent(DownloadEventType::TaskFinished, result));
  finished_.store(true);
}

int32_t CMultiDownloader::RunJob() {
  if (GetFolder() == std::string(1, oru::kPathSeparator) && folder_was_empty_) {
    // An empty folder would put the file at the root of the file system.
    Log(kLogError, "[ERROR] multi, save folder is empty.");
    return kResultSavePathError;
  }
  if (selector_.ApplyStickyHost(job_)) SetUrlText(job_.url);
  int64_t size = 0;
  if (!selector_.PrepareHost(job_.url, false, size, stop_.get_token())) {
    Log(kLogWarn, "[WARN] multi, init host failed; fallback to origin domain.");
  }
  job_.total_size = size;
  if (Stopping()) return kResultUserCanceled;
  const std::string name = FileNameOf(job_.url);
  if (!IsUsableFileName(name)) {
    Log(kLogError, "[ERROR] multi, no usable file name in url=[%s].", job_.url.c_str());
    return kResultUrlError;
  }
  {
    std::lock_guard lock(text_mutex_);
    file_name_ = name;
    final_path_ = folder_ + name;
  }
  Send(MakeTextEvent(DownloadEventType::FileName, name));
  if (!LearnFileSize()) return Stopping() ? kResultUserCanceled : kResultSiteInfoFailed;
  Send(MakeValueEvent(DownloadEventType::FileSize, job_.total_size));
  if (store_.CheckFileSize(final_path_, job_.total_size, false) &&
      store_.CheckFileMd5(final_path_, server_md5_, false, stop_.get_token())) {
    Log(kLogInfo, "[INFO] multi, is already downloaded.");
    complete_.store(true);
    return kResultAlreadyDownloaded;
  }
  if (Stopping()) return kResultUserCanceled;
  segmented_ = true;
  temp_path_ = TempPathFor(final_path_);
  return RunAttempts();
}

bool CMultiDownloader::LearnFileSize() {
  const std::stop_token stop = stop_.get_token();
  if (job_.total_size <= 0) job_.total_size = selector_.QuerySize(job_.url, 10, stop);
  if (job_.total_size <= 0 && !Stopping() && selector_.TryAliasHostsForSize(job_, stop)) SetUrlText(job_.url);
  total_size_.store(std::max<int64_t>(job_.total_size, 0));
  if (job_.total_size > 0) return true;
  if (Stopping()) return false;
  Log(kLogError, "[ERROR] multi, get file size from server failed!");
  Send(MakeValueEvent(DownloadEventType::PackageInfoFailed, kPackageInfoFailedError));
  return false;
}

int32_t CMultiDownloader::RunAttempts() {
  retry_.store(0);
  while (retry_.load() < kMaxAttempts) {
    if (!WaitBeforeAttempt()) {
      result_.store(kResultUserCanceled);
      break;
    }
    MaybeSwitchAliasForTls();
    if (retry_.load() == kHalfOfAttempts) DegradeAtHalf();
    if (RunOneAttempt()) break;
    retry_.fetch_add(1);
  }
  return result_.load();
}

bool CMultiDownloader::WaitBeforeAttempt() {
  const int32_t retry = retry_.load();
  if (retry > 0) {
    const int w = std::min(2 * retry, 10);
    Log(kLogInfo, "[INFO] multi, retry=%d, waiting %d seconds before next attempt", retry, w);
    clock_.SleepFor(seconds(w), stop_.get_token());
  }
  if (!Stopping()) return true;
  Log(kLogInfo, "[INFO] multi, cancelled between attempts, retry=[%d].", retry);
  return false;
}

void CMultiDownloader::MaybeSwitchAliasForTls() {
  if (tls_alias_tried_ || tls_error_count_ < kTlsErrorsForAliasSwitch) return;
  tls_alias_tried_ = true;
  auto discard = [this] {
    store_.CloseTempFile();
    oru::DeleteDownloadFile(temp_path_);
  };
  if (!selector_.SwitchAliasForTls(job_, tls_error_count_, discard, stop_.get_token())) return;
  SetUrlText(job_.url);
  retry_.store(0);
  tls_error_count_ = 0;
  segmented_ = true;
}

void CMultiDownloader::DegradeAtHalf() {
  int64_t ignored_size = 0;  // the temporary file keeps the size the job began with
  if (!selector_.PrepareHost(job_.url, true, ignored_size, stop_.get_token())) {
    Log(kLogWarn, "[WARN] multi, re-init host failed after clearing dns cache; continue.");
  }
  Log(kLogWarn,
      "[WARN] multi, retries reached half without success, degrade to single-connection (no-segment) download.");
  segmented_ = false;
}

// One attempt from preparation to its end. True when the attempt loop ends
// (success, cancellation, preparation failure).
bool CMultiDownloader::RunOneAttempt() {
  const int32_t retry = retry_.load();
  result_.store(kResultSuccess);
  last_error_result_ = 0;
  stall_fired_ = false;
  cancel_propagated_ = false;
  flow_sample_ = FlowSample{MachineSample(), 0};
  CalculateThreadBuffer();
  if (!PrepareAttempt()) {
    store_.CloseTempFile();
    DeleteSegments();
    return true;
  }
  Log(kLogInfo, "[INFO] multi, start retry=[%d], thread=[%d], buffer=[%d].", retry, thread_count_, buffer_size_);
  Send(MakeValueEvent(DownloadEventType::AttemptBegin, retry));
  attempt_start_.store(NowSeconds(clock_));
  PollSegments();
  EndPolling();
  if (FinishSuccessfully()) return true;
  if (Stopping()) result_.store(kResultUserCanceled);  // cancelled while verifying
  Log(kLogError, "[ERROR] multi, download failed! retry=[%d], status=[%d]", retry, result_.load());
  Send(MakeValueEvent(DownloadEventType::AttemptEnd, retry, result_.load()));
  if (result_.load() == kResultUserCanceled) {
    DeleteSegments();
    return true;
  }
  return !EndFailedAttempt();
}

// Between the polling and the success test: the attempt's line, the last
// progress, the resume record and the closed file.
void CMultiDownloader::EndPolling() {
  attempt_end_ = NowSeconds(clock_);
  if (Stopping()) result_.store(kResultUserCanceled);
  std::vector<ByteRange> unfinished = UnfinishedRanges();
  if (result_.load() == kResultSuccess && !unfinished.empty()) {
    // Never report success for a file with bytes that were not written.
    Log(kLogError, "[ERROR] multi, ranges left unfinished, count=[%d].", static_cast<int>(unfinished.size()));
    SetResult(kResultDownloadFailed);
  }
  const int64_t start = attempt_start_.load();
  const int64_t fetched = Downloaded(false);
  const double speed = static_cast<double>(fetched) / static_cast<double>(std::max<int64_t>(1, attempt_end_ - start));
  Log(kLogInfo,
      "[INFO] multi, finished, retry=[%d], downloaded=[%lld], speed=[%.0f B/s], tEnd(%lld)-tStart(%lld)=[%lld], "
      "thread=[%d], curl_multi=[%d].",
      retry_.load(), Ll(Downloaded(true)), speed, Ll(attempt_end_), Ll(start), Ll(attempt_end_ - start), thread_count_,
      0);
  ReportProgress();
  JoinCheckpoint();
  // A cancelled or stalled attempt leaves its file for a later one.
  if (result_.load() == kResultUserCanceled || stall_fired_) {
    if (!unfinished.empty()) store_.WriteResumeRecord(UnfinishedRanges(), total_size_.load());
  }
  store_.CloseTempFile();
  if (result_.load() == kResultSuccess) RemoveResumeRecordWithRetries();
}

bool CMultiDownloader::FinishSuccessfully() {
  if (result_.load() != kResultSuccess) return false;
  const std::stop_token stop = stop_.get_token();
  if (!store_.CheckFileSize(temp_path_, total_size_.load(), true)) return false;
  if (server_md5_.size() >= kMinMd5ForCheck && !store_.CheckFileMd5(temp_path_, server_md5_, true, stop)) return false;
  if (!store_.MoveToFinal(temp_path_, final_path_, stop)) return false;
  Log(kLogInfo, "[INFO] multi, download success.");
  selector_.ReportDownloadSucceeded(job_);
  complete_.store(true);
  DeleteSegments();
  result_.store(kResultSuccess);
  Send(MakeValueEvent(DownloadEventType::AttemptEnd, retry_.load(), kResultSuccess));
  return true;
}

// After a failed attempt: the file, the sticky host, the connection count
// and the wait. False when a cancel interrupted the wait.
bool CMultiDownloader::EndFailedAttempt() {
  const int32_t result = result_.load();
  const int32_t retry = retry_.load();
  if (stall_fired_ && result != kResultMd5Failed) {
    Log(kLogWarn, "[WARN] multi, break by too many errors, keep tmp file for resume.");
  } else {
    oru::DeleteDownloadFile(temp_path_);
  }
  selector_.ReportAttemptFailed(job_, result);
  if (result == kResultMd5Failed) LowerConnectionsAfterMd5Failure();
  DeleteSegments();
  const int w = std::min(2 * retry + 1, 12);
  if (clock_.SleepFor(seconds(w), stop_.get_token())) return true;
  Log(kLogInfo, "[INFO] multi, cancelled between attempts, retry=[%d].", retry);
  result_.store(kResultUserCanceled);
  return false;
}

void CMultiDownloader::LowerConnectionsAfterMd5Failure() {
  if (thread_count_ > 12) {
    thread_count_ = 12;
  } else if (thread_count_ >= 9) {
    thread_count_ = 8;
  } else if (thread_count_ >= 5) {
    thread_count_ = 4;
  } else {
    segmented_ = false;
  }
}

void CMultiDownloader::CalculateThreadBuffer() {
  if (config_.enabled) {
    Log(kLogInfo, "[INFO] multi, CalculateThreadBuffer, using custom config, thread=[%d], buffer=[%d].", thread_count_,
        buffer_size_);
  } else {
    const bool degraded = thread_count_ >= 1 && thread_count_ < kMaxThreadCount;
    ThreadBuffer sized = ComputeThreadBuffer({thread_count_, buffer_size_}, false, available_memory_());
    thread_count_ = sized.thread_count;
    buffer_size_ = sized.buffer_size;
    if (degraded) {
      Log(kLogInfo, "[INFO] multi, CalculateThreadBuffer, keep degraded thread=[%d], buffer=[%d].", thread_count_,
          buffer_size_);
    }
  }
  Send(MakeValueEvent(DownloadEventType::ThreadBuffer, thread_count_, buffer_size_));
}

// ------------------------------------------------------------------ preparing

bool CMultiDownloader::PrepareAttempt() {
  resumed_bytes_.store(0);
  {
    std::lock_guard lock(segment_lock_);
    pending_.clear();
  }
  store_.CloseTempFile();
  if (PrepareResume()) return true;
  return PrepareFresh();
}

// Starts the ranges of a valid resume record. False when there is none (or
// the file cannot be opened), and the attempt starts fresh.
bool CMultiDownloader::PrepareResume() {
  const int64_t total = total_size_.load();
  std::map<int64_t, int64_t> ranges;
  if (!store_.ReadResumeRecord(temp_path_, total, ranges) || ranges.empty()) return false;
  // Open before the first segment starts, so that no early write finds the
  // file closed.
  if (!store_.OpenTempFile(temp_path_)) return false;
  Log(kLogInfo, "[INFO] multi, resume download.");
  int64_t listed = 0;
  for (const auto& [begin, end] : ranges) listed += end - begin + 1;
  resumed_bytes_.store(total - listed);
  for (const auto& [begin, end] : ranges) StartOrQueue(begin, end);
  Log(kLogInfo, "[INFO] multi, total=[%lld], cached=[%lld], undownloaded=[%lld].", Ll(total), Ll(total - listed),
      Ll(listed));
  return true;
}

bool CMultiDownloader::PrepareFresh() {
  const int64_t total = total_size_.load();
  if (!store_.CreateTempFile(temp_path_, total)) return false;
  if (!store_.OpenTempFile(temp_path_)) {
    SetResult(kResultFileOperationFailed);
    return false;
  }
  if (!segmented_) {
    Log(kLogWarn, "[WARN] not support range download.");
    StartOrQueue(0, -1);
    return true;
  }
  const int32_t n = config_.enabled ? config_.segments : thread_count_;
  const std::vector<ByteRange> ranges = SplitIntoRanges(total, n);
  for (size_t i = 0; i < ranges.size(); ++i) {
    if (static_cast<int64_t>(i) < thread_count_) {
      StartOrQueue(ranges[i].first, ranges[i].second);
      continue;
    }
    std::lock_guard lock(segment_lock_);
    pending_.push_back(ranges[i]);
  }
  if (!pending_.empty()) {
    Log(kLogInfo, "[INFO] multi, segment/concurrent decoupled: segments=[%d], active=[%d], pending=[%d].",
        static_cast<int>(ranges.size()), thread_count_, static_cast<int>(pending_.size()));
  }
  return true;
}

// A range that cannot get a segment now waits in the queue, so that it is
// neither lost nor counted as present.
void CMultiDownloader::StartOrQueue(int64_t begin, int64_t end) {
  if (StartSegment(begin, end, buffer_size_, {}, {}) != StartOutcome::kRefused) return;
  std::lock_guard lock(segment_lock_);
  pending_.emplace_back(begin, end < 0 ? total_size_.load() - 1 : end);
}

CMultiDownloader::StartOutcome CMultiDownloader::StartSegment(int64_t begin, int64_t end, int64_t buffer_size,
                                                              const std::string& address,
                                                              const std::function<void()>& on_commit) {
  const int64_t minimum = thread_count_ > 1 ? kMinBufferSegmented : kMinBufferSingle;
  if (buffer_size < minimum) {
    Log(kLogError, "[ERROR] multi, buffer size [%lld] less than minimum [%lld] for %d threads.", Ll(buffer_size),
        Ll(minimum), thread_count_);
    SetResult(kResultBufferError);
    return StartOutcome::kRefused;
  }
  if (Stopping()) return StartOutcome::kRefused;
  if (buffer_size < kReducedBufferLimit) {
    Log(kLogWarn, "[WARN] multi, free memory less 1MB, using reduced buffer size=[%d].", static_cast<int>(buffer_size));
  }
  auto segment = std::make_unique<CSegmentTransfer>(transfer_clock_, ca_bundle_);
  const std::string pinned = address.empty() ? selector_.TakeLeastUsedAddress() : address;
  if (config_.enabled) {
    segment->SetConnectTimeout(config_.connect_timeout);
    segment->SetLowSpeed(config_.low_speed_limit, config_.low_speed_time);
  }
  bool started = false;
  if (segment->Init(job_.url, begin, end, pinned, temp_path_)) {
    segment->SetTotalSize(total_size_.load());
    segment->SetBufferSize(static_cast<int32_t>(std::min<int64_t>(buffer_size, std::numeric_limits<int32_t>::max())));
    segment->SetWriter(this);
    Send(MakeTextEvent(DownloadEventType::SegmentHost, pinned));
    Send(MakeValueEvent(DownloadEventType::SegmentBytes, segment->GetRemaining()));
    started = segment->Start();
  }
  std::lock_guard lock(segment_lock_);
  segments_.push_back(Slot{std::move(segment), started, false});
  if (on_commit) on_commit();
  return started ? StartOutcome::kStarted : StartOutcome::kNotStarted;
}

// ------------------------------------------------------------------ polling

void CMultiDownloader::PollSegments() {
  const int32_t stall_limit = std::max(kMinStallLimit, 4 * thread_count_);
  int32_t stalled_passes = 0;
  oru::Clock::Ticks last_progress = clock_.NowTicks();
  for (;;) {
    const int64_t pass_sample = Downloaded(true);
    int errors_in_pass = 0;
    const bool more = PollPass(pass_sample, errors_in_pass);
    if (Downloaded(true) != pass_sample) {
      stalled_passes = 0;
      last_progress = clock_.NowTicks();
    } else if (errors_in_pass > 0 && ++stalled_passes >= stall_limit &&
               clock_.NowTicks() - last_progress >= kStallTime) {
      stall_fired_ = true;
      break;
    }
    if (!more) break;
  }
  if (!stall_fired_) return;
  Log(kLogWarn, "[WARN] multi, no progress for [%lld] seconds in [%d] passes with errors, stop the attempt.",
      Ll(std::chrono::duration_cast<seconds>(clock_.NowTicks() - last_progress).count()), stalled_passes);
  // The transfers that were restarted last reset the code; the attempt
  // still failed with the code its errors mapped to.
  if (result_.load() == kResultSuccess) {
    SetResult(last_error_result_ != 0 ? last_error_result_ : kResultDownloadFailed);
  }
  CancelSegments();
  DrainSegments();
}

// One pass: wait, report, handle up to three finished segments. True when
// another pass must follow.
bool CMultiDownloader::PollPass(int64_t pass_sample, int& errors_in_pass) {
  PropagateCancel();
  // Once the segments are told to stop, the passes wait for them at the
  // normal pace instead of spinning on the requested stop.
  clock_.SleepFor(kPollInterval, cancel_propagated_ ? std::stop_token{} : stop_.get_token());
  PropagateCancel();
  ReportProgress();
  std::vector<size_t> batch;
  bool any_active = false;
  for (size_t i = 0; i < segments_.size() && batch.size() < kMaxBatch; ++i) {
    Slot& slot = segments_[i];
    if (!slot.started) continue;
    if (!slot.transfer->IsDone()) {
      any_active = true;
      continue;
    }
    if (slot.transfer->IsHandled()) continue;
    slot.transfer->SetHandled(true);
    batch.push_back(i);
  }
  bool started_new = false;
  for (size_t index : batch) HandleFinished(index, pass_sample, errors_in_pass, started_new);
  return any_active || !batch.empty() || started_new;
}

void CMultiDownloader::PropagateCancel() {
  if (!Stopping()) return;
  CancelSegments();
  cancel_propagated_ = true;
}

void CMultiDownloader::HandleFinished(size_t index, int64_t pass_sample, int& errors_in_pass, bool& started_new) {
  // The transfer object stays put when the vector grows; the slot may not.
  CSegmentTransfer& segment = *segments_[index].transfer;
  MapTransferResult(segment);
  const bool may_restart = segmented_;
  const std::string effective = segment.GetEffectiveUrl();
  if (!effective.empty() && effective.find("disable.htm") != std::string::npos &&
      (effective.find("10.") != std::string::npos || effective.find("192.") != std::string::npos ||
       effective.find("172.") != std::string::npos)) {
    segmented_ = false;  // redirected to a local block page
  }
  bool started = false;
  switch (segment.GetStatus()) {
    case SegmentState::Succeeded:
      if (segmented_) started = HandleSucceeded();
      break;
    case SegmentState::Failed:
      if (may_restart) started = RestartFailed(index);
      break;
    case SegmentState::Cancelled:
      SetResult(kResultUserCanceled);
      break;
    default:
      Log(kLogError, "[ERROR] multi, status=[%d], curl_error=[%d].", static_cast<int>(segment.GetStatus()),
          segment.GetTransferResult());
      SetResult(kResultDownloadFailed);
      break;
  }
  if (Downloaded(true) == pass_sample && result_.load() != kResultSuccess) ++errors_in_pass;
  if (started) {
    result_.store(kResultSuccess);
    started_new = true;
  }
}

void CMultiDownloader::MapTransferResult(const CSegmentTransfer& segment) {
  const int code = segment.GetTransferResult();
  const int32_t http_status = segment.GetHttpStatus();
  if (code != 0 && !IsEngineCausedCurlCode(code)) {
    Log(kLogError, "[ERROR] multi, curl_error=[%d][%s].", code, curl_easy_strerror(static_cast<CURLcode>(code)));
    if (code == CURLE_RANGE_ERROR) segmented_ = false;
    if (IsTlsCurlCode(code)) ++tls_error_count_;
  }
  // 416 also stands for a ranged request that was answered with the whole file.
  if (http_status == 416) segmented_ = false;
  std::optional<int32_t> result = ResultForFinishedSegment(code, http_status);
  if (!result) return;
  SetResult(*result);
  last_error_result_ = *result;
}

bool CMultiDownloader::HandleSucceeded() {
  bool has_pending = false;
  {
    std::lock_guard lock(segment_lock_);
    has_pending = !pending_.empty();
  }
  if (has_pending) return StartPendingHead();
  const int32_t k = FlowRuleAdjustment(ActiveCount() + 1);
  bool any = false;
  for (int32_t i = 0; i < 1 + k; ++i) {
    if (!SplitRunningSegment()) break;
    any = true;
  }
  return any;
}

bool CMultiDownloader::RestartFailed(size_t index) {
  const CSegmentTransfer& failed = *segments_[index].transfer;
  const int64_t begin = failed.GetBegin();
  const int64_t end = failed.GetEnd();
  Log(kLogInfo,
      "[INFO] multi, failed, full redownload range(%lld~%lld), discarding saved=[%lld], downloaded=[%lld].",
      Ll(begin), Ll(end), Ll(failed.GetSaveSize()), Ll(failed.GetDownloaded()));
  StartOutcome outcome =
      StartSegment(begin, end, FreeMemoryBuffer(), {}, [this, index] { segments_[index].superseded = true; });
  return outcome == StartOutcome::kStarted;
}

bool CMultiDownloader::StartPendingHead() {
  ByteRange range;
  int remaining = 0;
  {
    std::lock_guard lock(segment_lock_);
    range = pending_.front();
    remaining = static_cast<int>(pending_.size()) - 1;
  }
  Log(kLogInfo, "[INFO] multi, start pending segment range(%lld~%lld), remaining=[%d].", Ll(range.first),
      Ll(range.second), remaining);
  const int64_t buffer = std::min<int64_t>(buffer_size_, FreeMemoryBuffer());
  // The range leaves the queue in the same step that lists its segment, so
  // a resume record never misses it.
  StartOutcome outcome = StartSegment(range.first, range.second, buffer, {}, [this] { pending_.pop_front(); });
  return outcome == StartOutcome::kStarted;
}

int32_t CMultiDownloader::FlowRuleAdjustment(int32_t a) {
  double share = -1;
  const int32_t k = EvaluateFlowRule(flow_sample_, MachineSample(), Downloaded(false), a, thread_count_,
                                     max_concurrent_, &share);
  if (share >= 0) {
    Log(kLogInfo, "[INFO] thread_cnt=[%d], flow_rate=[%.02f].", std::min(a, max_concurrent_), share);
  }
  return k;
}

bool CMultiDownloader::SplitRunningSegment() {
  CSegmentTransfer* target = nullptr;
  {
    std::lock_guard lock(segment_lock_);
    for (const Slot& slot : segments_) {
      if (slot.started && slot.transfer->GetStatus() == SegmentState::Running &&
          slot.transfer->GetRemaining() > kSplitMinRemaining) {
        target = slot.transfer.get();
        break;
      }
    }
  }
  if (target == nullptr) return false;
  const int64_t end = target->GetEnd();
  const int64_t half = target->GetRemaining() / 2;
  if (StartSegment(end - half, end, FreeMemoryBuffer(), {}, {}) != StartOutcome::kStarted) return false;
  // The new segment is listed before the old one gives up its tail.
  target->SetEnd(end - half - 1);
  return true;
}

int32_t CMultiDownloader::ActiveCount() const {
  int32_t active = 0;
  for (const Slot& slot : segments_) active += slot.started && !slot.transfer->IsDone() ? 1 : 0;
  return active;
}

void CMultiDownloader::CancelSegments() {
  std::lock_guard lock(segment_lock_);
  for (Slot& slot : segments_) slot.transfer->Cancel();
}

// Waits until every started transfer thread has finished its work.
void CMultiDownloader::DrainSegments() {
  while (ActiveCount() > 0) clock_.SleepFor(kDrainInterval);
}

void CMultiDownloader::DeleteSegments() {
  std::vector<Slot> old;
  {
    std::lock_guard lock(segment_lock_);
    old.swap(segments_);
    pending_.clear();
  }
  old.clear();  // joins the transfer threads, outside the lock
}

// ------------------------------------------------------------------ progress

void CMultiDownloader::ReportProgress() {
  const int64_t downloaded = Downloaded(true);
  if (downloaded != last_reported_) {
    last_reported_ = downloaded;
    const int64_t elapsed = std::max<int64_t>(1, NowSeconds(clock_) - attempt_start_.load());
    ProgressInfo info;
    info.total = total_size_.load();
    info.downloaded = downloaded;
    info.speed = (downloaded - resumed_bytes_.load()) / elapsed;
    Send(MakeProgressEvent(info));
  }
  if (downloaded < last_checkpoint_) last_checkpoint_ = 0;
  if (downloaded - last_checkpoint_ >= kCheckpointBytes) {
    last_checkpoint_ = downloaded;
    PostCheckpoint();
  }
}

// Every range of the file that is not known to be written: the unwritten
// rest of each unfinished segment, segments that never started, and the
// ranges still waiting. Worker thread only.
std::vector<ByteRange> CMultiDownloader::UnfinishedRanges() const {
  const int64_t total = total_size_.load();
  std::vector<ByteRange> ranges;
  for (const Slot& slot : segments_) {
    if (slot.superseded) continue;
    const CSegmentTransfer& t = *slot.transfer;
    if (slot.started && t.GetStatus() == SegmentState::Succeeded) continue;
    const int64_t saved = slot.started ? t.GetSaveSize() : 0;
    const int64_t end = t.GetRangeEnd() < 0 ? total - 1 : t.GetRangeEnd();
    ranges.emplace_back(t.GetBegin() + saved, end);
  }
  {
    std::lock_guard lock(segment_lock_);
    ranges.insert(ranges.end(), pending_.begin(), pending_.end());
  }
  return MergeRanges(std::move(ranges));
}

// The record is computed here and written by a thread of its own, so the
// worker never waits for the disk.
void CMultiDownloader::PostCheckpoint() {
  std::vector<ByteRange> ranges = UnfinishedRanges();
  if (ranges.empty()) return;
  JoinCheckpoint();
  const int64_t total = total_size_.load();
  try {
    checkpoint_thread_ = std::thread([this, ranges = std::move(ranges), total] { store_.WriteResumeRecord(ranges, total); });
  } catch (const std::system_error&) {
    store_.WriteResumeRecord(UnfinishedRanges(), total);
  }
}

void CMultiDownloader::JoinCheckpoint() {
  if (checkpoint_thread_.joinable()) checkpoint_thread_.join();
}

void CMultiDownloader::RemoveResumeRecordWithRetries() {
  for (int i = 1; i <= kRemoveRecordTries; ++i) {
    const int error = store_.RemoveResumeRecord(temp_path_, total_size_.load());
    if (error == 0) return;
    Log(kLogError, "[ERROR] multi, remove cache info failed! err=[%d].", error);
    if (oru::ClassifyFileError(error) != oru::FileErrorKind::kSharingViolation) return;
    store_.ReportLockingProcesses(temp_path_);
    if (!clock_.SleepFor(seconds(i), stop_.get_token())) return;
  }
}

// ------------------------------------------------------------------ helpers

void CMultiDownloader::Send(DownloadEvent event) {
  if (!events_enabled_.load() || observer_ == nullptr) return;
  event.task_id = task_id_.load();
  observer_->Notify(std::make_unique<DownloadEvent>(std::move(event)));
}

void CMultiDownloader::SetResult(int32_t result) { result_.store(result); }

int64_t CMultiDownloader::Downloaded(bool include_resumed) const {
  int64_t sum = include_resumed ? resumed_bytes_.load() : 0;
  for (const Slot& slot : segments_) sum += slot.transfer->GetDownloaded();
  return sum;
}

int64_t CMultiDownloader::FreeMemoryBuffer() const {
  std::optional<uint64_t> available = available_memory_();
  const uint64_t cap = kDefaultBufferSize;
  return static_cast<int64_t>(std::min(available.value_or(cap), cap));
}

uint32_t CMultiDownloader::MachineSample() const { return MachineReceivedEstimate(received_tcp_segments_()); }

void CMultiDownloader::SetUrlText(const std::string& url) {
  std::lock_guard lock(text_mutex_);
  url_ = url;
}

}  // namespace ns_PEM
