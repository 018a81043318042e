#include "download_engine/downloader_manager.h"

#include <curl/curl.h>

#include <cstdint>
#include <system_error>
#include <utility>

#include "common/log.h"

namespace ns_PEM {
namespace {

using oru::kLogError;
using oru::kLogInfo;
using oru::Log;

constexpr int32_t kWeakDefaultCount = 24;
constexpr int32_t kWeakBuffer = 5242880;
constexpr std::chrono::seconds kWeakConnectTimeout{15};
constexpr int32_t kWeakLowSpeedLimit = 1;
constexpr std::chrono::seconds kWeakLowSpeedTime{90};
constexpr int64_t kRateSeconds = 1000;

// A pointer for the refusal line, which logs it as a number.
int PointerNumber(const void* p) { return static_cast<int>(reinterpret_cast<intptr_t>(p)); }

DownloadConfig WeakNetworkConfig(int32_t segments, int32_t max_concurrent) {
  DownloadConfig config;
  config.segments = segments < 1 ? kWeakDefaultCount : segments;
  config.max_concurrent = max_concurrent < 1 ? kWeakDefaultCount : max_concurrent;
  config.concurrent = config.max_concurrent;
  config.buffer = kWeakBuffer;
  config.connect_timeout = kWeakConnectTimeout;
  config.low_speed_limit = kWeakLowSpeedLimit;
  config.low_speed_time = kWeakLowSpeedTime;
  config.enabled = true;
  return config;
}

}  // namespace

// ================================================================ CMultiTaskManager

CMultiTaskManager::CMultiTaskManager(DownloaderEnvironment environment) : environment_(std::move(environment)) {
  curl_global_init(CURL_GLOBAL_ALL);
}

CMultiTaskManager::~CMultiTaskManager() {
  RemoveAllTasks();
  curl_global_cleanup();
}

void CMultiTaskManager::SetObserver(IObserver* observer) { observer_.store(observer); }

int32_t CMultiTaskManager::GetTaskCount() const {
  std::lock_guard lock(mutex_);
  return static_cast<int32_t>(tasks_.size());
}

int32_t CMultiTaskManager::AddTask(const TaskOperation& request) {
  std::lock_guard lock(mutex_);
  RemoveLocked(request.task_id);
  return StartLocked(request);
}

int32_t CMultiTaskManager::StartLocked(const TaskOperation& request) {
  const int32_t id = request.task_id;
  auto downloader = std::make_unique<CMultiDownloader>(environment_);
  if ((request.flags & kTaskFlagWeakNetwork) != 0) {
    DownloadConfig config = WeakNetworkConfig(request.segments, request.max_concurrent);
    downloader->SetDownloadConfig(config);
    Log(kLogInfo,
        "[INFO] multi, weak network mode enabled for pid=[%d], flags=[0x%04X], segments=[%d], maxConcurrent=[%d].", id,
        static_cast<unsigned>(request.flags), config.segments, config.max_concurrent);
  }
  downloader->SetObserver(observer_.load());
  downloader->SetServerMd5(request.server_md5);
  Log(kLogInfo, "[INFO] multi, set exe version=[%s].", request.exe_version.c_str());
  downloader->SetExeVersion(request.exe_version);
  if (!downloader->Download(id, request.url, request.folder)) return -1;
  tasks_[id] = Task{std::move(downloader), request, false};
  return id;
}

void CMultiTaskManager::RemoveLocked(int32_t task_id) {
  auto it = tasks_.find(task_id);
  if (it == tasks_.end()) return;
  it->second.downloader->Cancel();
  it->second.downloader.reset();  // waits for the worker thread
  tasks_.erase(it);
}

bool CMultiTaskManager::PauseTask(int32_t task_id) {
  std::lock_guard lock(mutex_);
  auto it = tasks_.find(task_id);
  if (it == tasks_.end()) return false;
  it->second.downloader->SetEventsEnabled(false);
  it->second.downloader->Cancel();
  it->second.paused = true;
  return true;
}

bool CMultiTaskManager::ResumeTask(int32_t task_id) {
  std::lock_guard lock(mutex_);
  auto it = tasks_.find(task_id);
  if (it == tasks_.end()) return false;
  if (!it->second.paused) return it->second.downloader->Resume();
  // The paused job's segments are gone; a new job continues from the
  // resume record it left.
  TaskOperation request = it->second.request;
  RemoveLocked(task_id);
  return StartLocked(request) == task_id;
}

bool CMultiTaskManager::RemoveAllTasks() {
  std::lock_guard lock(mutex_);
  for (auto& [id, task] : tasks_) task.downloader->Cancel();
  for (auto& [id, task] : tasks_) task.downloader.reset();
  tasks_.clear();
  return true;
}

bool CMultiTaskManager::RemoveTask(int32_t task_id) {
  std::lock_guard lock(mutex_);
  const bool known = tasks_.count(task_id) != 0;
  RemoveLocked(task_id);
  return known;
}

bool CMultiTaskManager::HasTask(int32_t task_id) const {
  std::lock_guard lock(mutex_);
  return task_id == -1 ? !tasks_.empty() : tasks_.count(task_id) != 0;
}

bool CMultiTaskManager::GetTaskInfo(int32_t task_id, int64_t& total, int64_t& downloaded, int32_t& retry,
                                    int64_t& elapsed_seconds) const {
  std::lock_guard lock(mutex_);
  auto it = tasks_.find(task_id);
  if (it == tasks_.end()) return false;
  const CMultiDownloader& d = *it->second.downloader;
  total = d.GetTotalSize();
  downloaded = d.GetDownloadedBytes(true);
  retry = d.GetRetry();
  elapsed_seconds = d.GetElapsedSeconds();
  return true;
}

std::string CMultiTaskManager::GetLastErrorText() const { return {}; }

bool CMultiTaskManager::GetTaskTexts(int32_t task_id, std::string& url, std::string& folder,
                                     std::string& file_name) const {
  std::lock_guard lock(mutex_);
  auto it = tasks_.find(task_id);
  if (it == tasks_.end()) return false;
  url = it->second.downloader->GetUrl();
  folder = it->second.downloader->GetFolder();
  file_name = it->second.downloader->GetFileName();
  return true;
}

// ================================================================ CTaskOperator

CTaskOperator::~CTaskOperator() { Stop(); }

bool CTaskOperator::Start(ITaskManager* manager) {
  std::lock_guard lock(mutex_);
  if (manager == nullptr || manager_ != nullptr) return false;
  manager_ = manager;
  try {
    thread_ = std::thread([this] { Run(); });
  } catch (const std::system_error&) {
    manager_ = nullptr;
    return false;
  }
  return true;
}

void CTaskOperator::Enqueue(const TaskOperation& operation) {
  {
    std::lock_guard lock(mutex_);
    queue_.push_back(operation);
  }
  wake_.notify_one();
}

void CTaskOperator::Stop() {
  {
    std::lock_guard lock(mutex_);
    if (!thread_.joinable()) return;
    stop_.store(true);
  }
  wake_.notify_all();
  thread_.join();
}

bool CTaskOperator::IsRunning() const {
  std::lock_guard lock(mutex_);
  return thread_.joinable() && !stop_.load();
}

void CTaskOperator::Run() {
  for (;;) {
    TaskOperation operation;
    {
      std::unique_lock lock(mutex_);
      wake_.wait(lock, [this] { return !queue_.empty() || stop_.load(); });
      if (manager_ == nullptr || stop_.load()) return;
      operation = std::move(queue_.front());
      queue_.erase(queue_.begin());
    }
    Log(kLogInfo, "[INFO] handle type=[%d], pid=[%d], taskid=[%d]", operation.operation, operation.product_id,
        operation.task_id);
    Execute(operation);
  }
}

void CTaskOperator::Execute(const TaskOperation& operation) {
  switch (operation.operation) {
    case kTaskOpAdd:
      manager_->AddTask(operation);
      break;
    case kTaskOpRemove:
      manager_->RemoveTask(operation.task_id);
      break;
    case kTaskOpPause:
      manager_->PauseTask(operation.task_id);
      break;
    case kTaskOpResume:
      manager_->ResumeTask(operation.task_id);
      break;
    case kTaskOpRemoveAll:
      manager_->RemoveAllTasks();
      break;
    default:
      break;
  }
}

// ================================================================ DownloaderManager

DownloaderManager::DownloaderManager(DownloaderEnvironment environment, WindowPoster poster)
    : task_manager_(std::make_unique<CMultiTaskManager>(std::move(environment))),
      operator_(std::make_unique<CTaskOperator>()),
      poster_(std::move(poster)) {
  task_manager_->SetObserver(this);
  operator_->Start(task_manager_.get());
}

DownloaderManager::~DownloaderManager() {
  operator_.reset();      // stops and joins the operator thread first
  task_manager_.reset();  // cancels and waits for every task
}

bool DownloaderManager::Queue(int32_t operation, int32_t task_id) {
  if (!operator_ || !operator_->IsRunning()) return false;
  TaskOperation record;
  record.product_id = task_id;
  record.task_id = task_id;
  record.operation = operation;
  operator_->Enqueue(record);
  return true;
}

bool DownloaderManager::PauseTask(int32_t task_id) { return Queue(kTaskOpPause, task_id); }

bool DownloaderManager::ResumeTask(int32_t task_id) { return Queue(kTaskOpResume, task_id); }

int32_t DownloaderManager::AddTask(const std::string& url, const std::string& folder, const std::string& third,
                                   int32_t product_id, const std::string& exe_version, const std::string& server_md5,
                                   int32_t reserved, int32_t flags, int32_t segments, int32_t max_concurrent) {
  const bool has_operator = operator_ && operator_->IsRunning();
  if (!has_operator || (url.empty() && product_id <= 0)) {
    Log(kLogError, "[ERROR] add task failed, operator=[%d], url=[%d], pid=[%d].",
        has_operator ? PointerNumber(operator_.get()) : 0, url.empty() ? 0 : PointerNumber(url.c_str()), product_id);
    return -1;
  }
  TaskOperation record;
  record.product_id = product_id;
  record.task_id = product_id;
  record.operation = kTaskOpAdd;
  record.reserved = reserved;
  record.flags = flags;
  record.segments = segments;
  record.max_concurrent = max_concurrent;
  record.url = url;
  record.folder = folder;
  record.third = third;
  record.server_md5 = server_md5;
  record.exe_version = exe_version;
  operator_->Enqueue(record);
  return product_id;
}

bool DownloaderManager::RemoveTask(int32_t task_id) { return Queue(kTaskOpRemove, task_id); }

int32_t DownloaderManager::GetTaskInfo(int32_t task_id, TaskInfo* info) {
  if (!task_manager_ || info == nullptr) return 0;
  int64_t total = 0;
  int64_t downloaded = 0;
  int32_t retry = 0;
  int64_t elapsed = 1;
  if (!task_manager_->GetTaskInfo(task_id, total, downloaded, retry, elapsed)) return 0;
  info->task_id = task_id;
  if (total <= 0 || downloaded < 0) {
    info->total = -1;
    info->downloaded = -1;
    return kTaskInfoNotReady;
  }
  info->total = total;
  info->downloaded = downloaded;
  info->rate = elapsed < kRateSeconds ? 0 : static_cast<int32_t>(retry / (elapsed / kRateSeconds));
  task_manager_->GetTaskTexts(task_id, info->url, info->folder, info->file_name);
  return 1;
}

bool DownloaderManager::RemoveTaskIfExists(int32_t task_id) {
  if (!task_manager_ || !task_manager_->HasTask(task_id)) return false;
  return Queue(kTaskOpRemove, task_id);
}

bool DownloaderManager::Shutdown() {
  RemoveAllTasks();
  if (operator_) operator_->Stop();
  return true;
}

void DownloaderManager::SetNotifyWindow(int64_t window, uint32_t message) {
  std::lock_guard lock(notify_mutex_);
  window_ = window;
  message_ = message;
  callback_ = nullptr;
}

void DownloaderManager::SetCallback(IDownloaderManagerCallBack* callback) {
  std::lock_guard lock(notify_mutex_);
  callback_ = callback;
  window_ = 0;
  message_ = 0;
}

std::string DownloaderManager::GetLastErrorText() const { return {}; }

int32_t DownloaderManager::GetTaskCount() const { return task_manager_ ? task_manager_->GetTaskCount() : 0; }

bool DownloaderManager::RemoveAllTasks() {
  if (!task_manager_ || !task_manager_->HasTask(-1)) return false;
  return Queue(kTaskOpRemoveAll, -1);
}

void DownloaderManager::Notify(std::unique_ptr<DownloadEvent> event) {
  if (!event) return;
  IDownloaderManagerCallBack* callback = nullptr;
  int64_t window = 0;
  uint32_t message = 0;
  {
    std::lock_guard lock(notify_mutex_);
    callback = callback_;
    window = window_;
    message = message_;
  }
  if (window != 0 && message != 0) {
    if (poster_) poster_(window, message, std::move(event));
    return;
  }
  if (callback != nullptr) Dispatch(*callback, *event);
}

void DownloaderManager::Dispatch(IDownloaderManagerCallBack& cb, const DownloadEvent& e) {
  const int32_t id = e.task_id;
  const std::string* text = e.text();
  const auto v = static_cast<int32_t>(e.value);
  const auto v2 = static_cast<int32_t>(e.value2);
  switch (e.type) {
    case DownloadEventType::FileName:
      if (text != nullptr) cb.OnFileName(id, *text);
      break;
    case DownloadEventType::FileSize:
      cb.OnFileSize(id, e.value);
      break;
    case DownloadEventType::TaskFinished:
      Log(kLogInfo, "[INFO] finished, task_id=[%d], result=[%d]", id, v);
      if (IsDownloadSuccess(v)) {
        cb.OnComplete(id, v);
      } else {
        cb.OnFailed(id, v);
      }
      break;
    case DownloadEventType::Progress:
      if (const ProgressInfo* p = e.progress()) cb.OnProgress(id, p->downloaded, p->total, p->speed);
      break;
    case DownloadEventType::SegmentBytes:
      cb.OnSegmentBytes(id, -1, 0, e.value);
      break;
    case DownloadEventType::DownloadBegin:
      cb.OnDownloadBegin(id);
      break;
    case DownloadEventType::SegmentHost:
      if (text != nullptr) cb.OnSegmentHost(id, *text);
      break;
    case DownloadEventType::AttemptBegin:
      cb.OnAttemptBegin(id, v);
      break;
    case DownloadEventType::AttemptEnd:
      cb.OnAttemptEnd(id, v, v2);
      break;
    case DownloadEventType::FileDigest:
      if (text != nullptr) cb.OnFileDigest(id, *text);
      break;
    case DownloadEventType::DigestMatched:
      cb.OnDigestMatched(id);
      break;
    case DownloadEventType::FileError:
      cb.OnFileError(id, v, e.value2);
      break;
    case DownloadEventType::PackageInfoFailed:
      cb.OnPackageInfoFailed(id, v);
      break;
    case DownloadEventType::DnsCacheCleared:
      cb.OnDnsCacheCleared(id, v);
      break;
    case DownloadEventType::DnsResolved: {
      if (text == nullptr) break;
      // The host may carry ":port"; the addresses (dotted IPv4) never hold
      // a colon, so the last one separates the two.
      const size_t colon = text->rfind(':');
      if (colon == std::string::npos) break;
      cb.OnDnsResolved(id, text->substr(0, colon), text->substr(colon + 1));
      break;
    }
    case DownloadEventType::PrepareDownload:
      cb.OnPrepareDownload(id);
      break;
    case DownloadEventType::ThreadBuffer:
      cb.OnThreadBuffer(id, v, v2);
      break;
  }
}

}  // namespace ns_PEM
