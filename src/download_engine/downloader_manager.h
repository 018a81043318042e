#pragma once
// The download engine's front door. Callers hand DownloaderManager download
// tasks and receive the engine's events through IDownloaderManagerCallBack.
// Task operations do not run on the caller's thread: they are queued to a
// CTaskOperator, whose one thread executes them in order on the
// CMultiTaskManager, which owns one CMultiDownloader per task id.
//
// Threads: the operator thread (owned, joined by Shutdown or at the latest
// by the destructor) and the downloaders' worker threads, on which the
// callback is called synchronously. A callback must not call GetTaskInfo or
// GetTaskCount: while the operator removes that task it holds the task
// manager's lock and waits for the very thread that runs the callback.

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "download_engine/download_event.h"
#include "download_engine/download_result.h"
#include "download_engine/multi_downloader.h"

namespace ns_PEM {

// Operation numbers of the task queue.
enum TaskOperationType : int32_t {
  kTaskOpUnset = -1,
  kTaskOpAdd = 0,
  kTaskOpRemove = 1,
  kTaskOpPause = 2,
  kTaskOpResume = 3,
  kTaskOpRemoveAll = 4,
};

// AddTask flags: bit 0 selects weak-network mode (the given segment count
// and maximum concurrency are used).
inline constexpr int32_t kTaskFlagWeakNetwork = 0x0001;
// GetTaskInfo's answer while a task's size or count is not known.
inline constexpr int32_t kTaskInfoNotReady = -255;

// One queued operation.
struct TaskOperation {
  int32_t product_id = 0;
  int32_t task_id = 0;
  int32_t operation = kTaskOpUnset;
  int32_t reserved = 0;
  int32_t flags = 0;
  int32_t segments = 0;
  int32_t max_concurrent = 0;
  std::string url;
  std::string folder;
  std::string third;  // carried, not used by the engine
  std::string server_md5;
  std::string exe_version;
};

// What GetTaskInfo reports of a task.
struct TaskInfo {
  int32_t task_id = 0;
  int64_t total = 0;
  int64_t downloaded = 0;  // resumed bytes included
  int32_t rate = 0;        // retries per 1000 s of the attempt, 0 before 1000 s
  std::string url;
  std::string folder;
  std::string file_name;
};

// The receiver of the engine's events (the orchestrator). Every method is
// called on the task's worker thread, the task id first; sizes are 64-bit.
// The default bodies ignore the event.
class IDownloaderManagerCallBack {
 public:
  virtual ~IDownloaderManagerCallBack() = default;
  virtual void OnFileName(int32_t /*task_id*/, const std::string& /*file_name*/) {}
  virtual void OnFileSize(int32_t /*task_id*/, int64_t /*size*/) {}
  virtual void OnProgress(int32_t /*task_id*/, int64_t /*downloaded*/, int64_t /*total*/, int64_t /*speed*/) {}
  // The job ended with 0 (downloaded) or 1 (already downloaded).
  virtual void OnComplete(int32_t /*task_id*/, int32_t /*result*/) {}
  // The job ended with any other result.
  virtual void OnFailed(int32_t /*task_id*/, int32_t /*result*/) {}
  virtual void OnSegmentBytes(int32_t /*task_id*/, int32_t /*reserved*/, int32_t /*kind*/, int64_t /*bytes*/) {}
  virtual void OnDownloadBegin(int32_t /*task_id*/) {}
  virtual void OnSegmentHost(int32_t /*task_id*/, const std::string& /*address*/) {}
  virtual void OnAttemptBegin(int32_t /*task_id*/, int32_t /*retry*/) {}
  virtual void OnAttemptEnd(int32_t /*task_id*/, int32_t /*retry*/, int32_t /*result*/) {}
  virtual void OnFileDigest(int32_t /*task_id*/, const std::string& /*digest*/) {}
  virtual void OnDigestMatched(int32_t /*task_id*/) {}
  virtual void OnFileError(int32_t /*task_id*/, int32_t /*kind*/, int64_t /*system_error*/) {}
  virtual void OnPackageInfoFailed(int32_t /*task_id*/, int32_t /*error*/) {}
  virtual void OnDnsCacheCleared(int32_t /*task_id*/, int32_t /*result*/) {}
  virtual void OnDnsResolved(int32_t /*task_id*/, const std::string& /*host*/, const std::string& /*addresses*/) {}
  virtual void OnPrepareDownload(int32_t /*task_id*/) {}
  virtual void OnThreadBuffer(int32_t /*task_id*/, int32_t /*thread_count*/, int32_t /*buffer_size*/) {}
};

// The engine's public interface.
class IDownloaderManager {
 public:
  virtual ~IDownloaderManager() = default;
  // Queues a pause (the task's events stop and it is cancelled, leaving its
  // resume record). True when the operator runs.
  virtual bool PauseTask(int32_t task_id) = 0;
  // Queues a resume: a paused task starts again from its resume record.
  // True when the operator runs.
  virtual bool ResumeTask(int32_t task_id) = 0;
  // Queues the task and returns its id (the product id), or -1 (logged) when
  // the operator does not run or the URL is empty and the product id is not
  // positive. A task with the same id is cancelled and replaced.
  virtual int32_t AddTask(const std::string& url, const std::string& folder, const std::string& third,
                          int32_t product_id, const std::string& exe_version, const std::string& server_md5,
                          int32_t reserved, int32_t flags, int32_t segments, int32_t max_concurrent) = 0;
  // Queues the removal (cancel, wait, delete). True when the operator runs.
  virtual bool RemoveTask(int32_t task_id) = 0;
  // Fills `info` at once: 1 when filled, 0 without `info` or for an unknown
  // task, kTaskInfoNotReady (total and downloaded -1) while the size is not
  // known.
  virtual int32_t GetTaskInfo(int32_t task_id, TaskInfo* info) = 0;
  // Queues the removal only when the task exists; true when queued.
  virtual bool RemoveTaskIfExists(int32_t task_id) = 0;
  // Queues the removal of every task, then stops and joins the operator
  // thread (operations still queued are dropped; running tasks are
  // cancelled when the manager is destroyed). True.
  virtual bool Shutdown() = 0;
  // Window mode: events are posted to `window` with `message`; clears the
  // callback.
  virtual void SetNotifyWindow(int64_t window, uint32_t message) = 0;
  // Callback mode: events call `callback` (not owned; must outlive the
  // manager); clears the window.
  virtual void SetCallback(IDownloaderManagerCallBack* callback) = 0;
  // Always empty.
  virtual std::string GetLastErrorText() const = 0;
  virtual int32_t GetTaskCount() const = 0;
  // Queues the removal of every task when there is one; true when queued.
  virtual bool RemoveAllTasks() = 0;
};

// The task manager behind the operator thread.
class ITaskManager {
 public:
  virtual ~ITaskManager() = default;
  virtual void SetObserver(IObserver* observer) = 0;
  virtual int32_t GetTaskCount() const = 0;
  // Replaces a task with the same id and starts the download; returns the
  // task id, or -1 when no downloader could be started.
  virtual int32_t AddTask(const TaskOperation& request) = 0;
  virtual bool PauseTask(int32_t task_id) = 0;
  virtual bool ResumeTask(int32_t task_id) = 0;
  virtual bool RemoveAllTasks() = 0;
  virtual bool RemoveTask(int32_t task_id) = 0;
  // -1 asks for any task.
  virtual bool HasTask(int32_t task_id) const = 0;
  // False for an unknown task.
  virtual bool GetTaskInfo(int32_t task_id, int64_t& total, int64_t& downloaded, int32_t& retry,
                           int64_t& elapsed_seconds) const = 0;
  virtual std::string GetLastErrorText() const = 0;
  // False for an unknown task.
  virtual bool GetTaskTexts(int32_t task_id, std::string& url, std::string& folder,
                            std::string& file_name) const = 0;
};

// One CMultiDownloader per task id. Every operation holds the manager's lock
// for its whole duration, including the wait for a removed task's thread.
class CMultiTaskManager : public ITaskManager {
 public:
  // Initialises libcurl for the process (curl_global_init).
  explicit CMultiTaskManager(DownloaderEnvironment environment = {});
  // Removes every task, then curl_global_cleanup.
  ~CMultiTaskManager() override;
  CMultiTaskManager(const CMultiTaskManager&) = delete;
  CMultiTaskManager& operator=(const CMultiTaskManager&) = delete;

  void SetObserver(IObserver* observer) override;
  int32_t GetTaskCount() const override;
  int32_t AddTask(const TaskOperation& request) override;
  // Switches the task's events off and cancels it; it stays in the map.
  bool PauseTask(int32_t task_id) override;
  // A paused task starts again from its resume record; a running one is
  // only told to resume.
  bool ResumeTask(int32_t task_id) override;
  bool RemoveAllTasks() override;
  bool RemoveTask(int32_t task_id) override;
  bool HasTask(int32_t task_id) const override;
  bool GetTaskInfo(int32_t task_id, int64_t& total, int64_t& downloaded, int32_t& retry,
                   int64_t& elapsed_seconds) const override;
  std::string GetLastErrorText() const override;
  bool GetTaskTexts(int32_t task_id, std::string& url, std::string& folder, std::string& file_name) const override;

 private:
  struct Task {
    std::unique_ptr<CMultiDownloader> downloader;
    TaskOperation request;
    bool paused = false;
  };
  int32_t StartLocked(const TaskOperation& request);
  void RemoveLocked(int32_t task_id);

  const DownloaderEnvironment environment_;
  std::atomic<IObserver*> observer_{nullptr};
  mutable std::mutex mutex_;
  std::map<int32_t, Task> tasks_;
};

// The queue of task operations and its one thread.
class CTaskOperator {
 public:
  CTaskOperator() = default;
  // Stops and joins the thread if it still runs.
  ~CTaskOperator();
  CTaskOperator(const CTaskOperator&) = delete;
  CTaskOperator& operator=(const CTaskOperator&) = delete;

  // Starts the thread on `manager` (not owned). False without a manager, when
  // one is set already, or when the thread cannot be created.
  bool Start(ITaskManager* manager);
  // Appends a copy of the record and wakes the thread.
  void Enqueue(const TaskOperation& operation);
  // Ends the thread (queued records are dropped) and waits for it.
  void Stop();
  // True between Start and Stop.
  bool IsRunning() const;

 private:
  void Run();
  void Execute(const TaskOperation& operation);

  mutable std::mutex mutex_;
  ITaskManager* manager_ = nullptr;
  std::vector<TaskOperation> queue_;
  std::condition_variable wake_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

// Posts an event to a window in window mode; the receiver owns the record.
using WindowPoster = std::function<void(int64_t window, uint32_t message, std::unique_ptr<DownloadEvent> event)>;

class DownloaderManager : public IDownloaderManager, public IObserver {
 public:
  // Makes the task manager (and with it the libcurl initialisation) and
  // starts the operator thread. `poster` delivers events in window mode.
  explicit DownloaderManager(DownloaderEnvironment environment = {}, WindowPoster poster = {});
  // Stops the operator thread if Shutdown did not, then deletes the task
  // manager, which cancels and waits for every task.
  ~DownloaderManager() override;
  DownloaderManager(const DownloaderManager&) = delete;
  DownloaderManager& operator=(const DownloaderManager&) = delete;

  bool PauseTask(int32_t task_id) override;
  bool ResumeTask(int32_t task_id) override;
  int32_t AddTask(const std::string& url, const std::string& folder, const std::string& third, int32_t product_id,
                  const std::string& exe_version, const std::string& server_md5, int32_t reserved, int32_t flags,
                  int32_t segments, int32_t max_concurrent) override;
  bool RemoveTask(int32_t task_id) override;
  int32_t GetTaskInfo(int32_t task_id, TaskInfo* info) override;
  bool RemoveTaskIfExists(int32_t task_id) override;
  bool Shutdown() override;
  void SetNotifyWindow(int64_t window, uint32_t message) override;
  void SetCallback(IDownloaderManagerCallBack* callback) override;
  std::string GetLastErrorText() const override;
  int32_t GetTaskCount() const override;
  bool RemoveAllTasks() override;

  // Delivers one event of a downloader (any worker thread); null is ignored.
  void Notify(std::unique_ptr<DownloadEvent> event) override;

 private:
  bool Queue(int32_t operation, int32_t task_id);
  void Dispatch(IDownloaderManagerCallBack& callback, const DownloadEvent& event);

  std::unique_ptr<CMultiTaskManager> task_manager_;
  std::unique_ptr<CTaskOperator> operator_;
  WindowPoster poster_;
  mutable std::mutex notify_mutex_;  // guards the three below
  IDownloaderManagerCallBack* callback_ = nullptr;
  int64_t window_ = 0;
  uint32_t message_ = 0;
};

}  // namespace ns_PEM
