#pragma once
// CMultiDownloader: one file from one URL into one folder, in parallel byte
// ranges. A worker thread owned by the downloader runs the job: it prepares
// the host, learns the size, skips a verified copy, then makes up to ten
// attempts. Within an attempt it polls the segments every 200 ms, restarts
// failed ranges, re-splits the remaining work by the flow rule, detects
// stalls, writes resume checkpoints every 30 MiB, and finally checks size
// and MD5 and moves the file to its name. Every step is reported to the
// observer as a DownloadEvent; the job ends with one TaskFinished.
//
// Threads: the worker thread (joined by the destructor), one thread per
// segment (owned by its CSegmentTransfer) and one checkpoint thread at a
// time that writes the resume record (owned, joined before the attempt ends).
// Cancel, Resume, SetEventsEnabled and every getter may be called from any
// thread. Every wait runs on the injected clock and ends when Cancel or the
// destructor requests the stop.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <thread>
#include <vector>

#include "common/clock.h"
#include "download_engine/download_event.h"
#include "download_engine/file_store.h"
#include "download_engine/file_writer.h"
#include "download_engine/host_store.h"
#include "download_engine/segment_transfer.h"

namespace ns_PEM {

// Strategy settings of one download (server strategy or weak-network mode).
struct DownloadConfig {
  int32_t segments = 0;        // ranges the file is split into
  int32_t max_concurrent = 0;  // upper bound when adding connections
  int32_t concurrent = 0;      // segments started at once
  int32_t buffer = 0;          // write buffer per segment, bytes
  std::chrono::seconds connect_timeout{0};
  int32_t low_speed_limit = 0;  // bytes per second
  std::chrono::seconds low_speed_time{0};
  bool enabled = false;
};

// Where a downloader gets its services. Every member left empty means the
// process default; tests substitute their own.
struct DownloaderEnvironment {
  oru::Clock* clock = nullptr;           // waits, polling, stall rule; default SystemClock()
  oru::Clock* transfer_clock = nullptr;  // the segments' 10 s no-data rule; default `clock`
  std::optional<std::string> ca_bundle;  // verifies package servers; default ProcessLocations().ca_bundle
  HostStore* host_store = nullptr;       // default HostStore::Instance()
  CAliasSwitchState* alias_state = nullptr;  // default CAliasSwitchState::Instance()
  std::optional<CHostSelector::Options> host_options;  // default CHostSelector::DefaultOptions()
  // Machine facts for the flow rule and the buffer sizing; default the
  // platform's readings (oru::ReceivedTcpSegments, oru::AvailablePhysicalMemory).
  std::function<std::optional<uint64_t>()> received_tcp_segments;
  std::function<std::optional<uint64_t>()> available_memory;
};

// --- Rules of the downloader, exposed so that their arithmetic can be
// checked on its own.

// The machine's received-bytes estimate: TCP segments received x 1460 in
// unsigned 32-bit arithmetic (it wraps); 0 when the count is unknown.
uint32_t MachineReceivedEstimate(std::optional<uint64_t> tcp_segments);

// Samples of the flow rule: the machine estimate and this download's count
// (resumed bytes excluded) when the rule last measured.
struct FlowSample {
  uint32_t machine = 0;
  int64_t download = 0;
};

// How many connections to add when a segment finished: -1 (one fewer), 0 or
// +1, from the share of the machine's incoming traffic this download got
// since `sample`. `a` is the active segment count + 1. Moves the sample on
// unless no machine traffic was seen. `share` (optional) receives the share
// when one was computed, and -1 otherwise.
int32_t EvaluateFlowRule(FlowSample& sample, uint32_t machine_now, int64_t downloaded_now, int32_t a,
                         int32_t thread_count, int32_t max_concurrent, double* share = nullptr);

// Thread count and buffer size of an attempt.
struct ThreadBuffer {
  int32_t thread_count = 0;
  int32_t buffer_size = 0;
};
// The sizing of CalculateThreadBuffer for `available` bytes of free memory
// (nullopt: unknown, taken as plenty). With an enabled config the current
// values stay.
ThreadBuffer ComputeThreadBuffer(ThreadBuffer current, bool config_enabled, std::optional<uint64_t> available);

// Splits [0, total) into at most `n` inclusive ranges of equal length
// (ceil(total / n)), the last one shorter; never a range past the last byte,
// so a file smaller than `n` gets one range per byte at most. Empty when
// total <= 0.
std::vector<ByteRange> SplitIntoRanges(int64_t total, int32_t n);

class CMultiDownloader : public IFileWriter {
 public:
  static constexpr int32_t kDefaultThreadCount = 24;
  static constexpr int32_t kDefaultBufferSize = 5242880;
  static constexpr int32_t kDefaultMaxConcurrent = 48;
  static constexpr int32_t kMaxAttempts = 10;

  explicit CMultiDownloader(DownloaderEnvironment environment = {});
  // Requests the stop (like Cancel), joins the worker thread, then deletes
  // every segment. The job, if it was running, ends with result 13.
  ~CMultiDownloader() override;
  CMultiDownloader(const CMultiDownloader&) = delete;
  CMultiDownloader& operator=(const CMultiDownloader&) = delete;

  // The write path of the temporary file (delegated to the file store).
  // Returns `length`, or 0 when nothing was written.
  int64_t WriteAt(int64_t offset, int64_t length, const char* data, bool set_end) override;

  // --- Set before Download.
  // Receiver of the events (not owned; must outlive the worker thread).
  void SetObserver(IObserver* observer);
  // Copies the strategy record; an enabled one sets thread count, buffer and
  // maximum concurrency and is logged.
  void SetDownloadConfig(const DownloadConfig& config);
  // Expected digest(s); stored upper case.
  void SetServerMd5(const std::string& md5);
  // Version handed to the alias host provider.
  void SetExeVersion(const std::string& version);

  // Stores the job, appends the separator to the folder and starts the
  // worker thread. False only when the job was started already or the
  // thread could not be created.
  bool Download(int32_t task_id, const std::string& url, const std::string& folder);
  // Asks every segment to stop and requests the stop of every wait; the job
  // ends with 13 and its resume record. True.
  bool Cancel();
  // Logs; segments are never paused by the engine, so nothing else happens.
  // True.
  bool Resume();
  // Events are sent only while enabled (a paused task ends silently).
  void SetEventsEnabled(bool enabled);

  std::string GetUrl() const;
  std::string GetFolder() const;
  std::string GetFileName() const;
  int32_t GetTaskId() const { return task_id_.load(); }
  // Bytes fetched in this attempt, plus the bytes present when the attempt
  // began when asked (then the whole size once the file is complete).
  int64_t GetDownloadedBytes(bool include_resumed) const;
  // Total size (0 until known), current retry number, seconds since the
  // current attempt began (at least 1), the current result code.
  int64_t GetTotalSize() const { return total_size_.load(); }
  int32_t GetRetry() const { return retry_.load(); }
  int64_t GetElapsedSeconds() const;
  int32_t GetResult() const { return result_.load(); }
  // True once the worker thread has sent TaskFinished.
  bool IsFinished() const { return finished_.load(); }

 private:
  struct Slot {
    std::unique_ptr<CSegmentTransfer> transfer;
    bool started = false;     // Init and Start succeeded
    bool superseded = false;  // its whole range was handed to a new segment
  };
  enum class StartOutcome { kStarted, kRefused, kNotStarted };

  // Job steps (worker thread).
  void Run();
  int32_t RunJob();
  bool LearnFileSize();
  int32_t RunAttempts();
  bool WaitBeforeAttempt();
  void MaybeSwitchAliasForTls();
  void DegradeAtHalf();
  bool RunOneAttempt();
  void EndPolling();
  bool FinishSuccessfully();
  bool EndFailedAttempt();
  void LowerConnectionsAfterMd5Failure();
  void CalculateThreadBuffer();
  bool PrepareAttempt();
  bool PrepareResume();
  bool PrepareFresh();

  // Segments and polling (worker thread).
  void StartOrQueue(int64_t begin, int64_t end);
  StartOutcome StartSegment(int64_t begin, int64_t end, int64_t buffer_size, const std::string& address,
                            const std::function<void()>& on_commit);
  void PollSegments();
  bool PollPass(int64_t pass_sample, int& errors_in_pass);
  void PropagateCancel();
  void HandleFinished(size_t index, int64_t pass_sample, int& errors_in_pass, bool& started_new);
  void MapTransferResult(const CSegmentTransfer& segment);
  bool HandleSucceeded();
  bool RestartFailed(size_t index);
  bool StartPendingHead();
  int32_t FlowRuleAdjustment(int32_t a);
  bool SplitRunningSegment();
  int32_t ActiveCount() const;
  void CancelSegments();
  void DrainSegments();
  void DeleteSegments();

  // Progress and resume records.
  void ReportProgress();
  std::vector<ByteRange> UnfinishedRanges() const;
  void PostCheckpoint();
  void JoinCheckpoint();
  void RemoveResumeRecordWithRetries();

  // Helpers.
  void Send(DownloadEvent event);
  void SetResult(int32_t result);
  int64_t Downloaded(bool include_resumed) const;
  int64_t FreeMemoryBuffer() const;
  uint32_t MachineSample() const;
  bool Stopping() const { return stop_.stop_requested(); }
  void SetUrlText(const std::string& url);

  // Services.
  oru::Clock& clock_;
  oru::Clock& transfer_clock_;
  const std::string ca_bundle_;
  std::function<std::optional<uint64_t>()> received_tcp_segments_;
  std::function<std::optional<uint64_t>()> available_memory_;
  CDownloadFileStore store_;
  CHostSelector selector_;

  // Job settings (set before Download; read by the worker).
  IObserver* observer_ = nullptr;
  DownloadConfig config_;
  std::string server_md5_;
  std::string exe_version_;
  int32_t thread_count_ = kDefaultThreadCount;
  int32_t buffer_size_ = kDefaultBufferSize;
  int32_t max_concurrent_ = kDefaultMaxConcurrent;

  // Texts read by other threads.
  mutable std::mutex text_mutex_;
  std::string url_;
  std::string folder_;
  std::string file_name_;

  // Worker state.
  bool folder_was_empty_ = false;
  HostJob job_;
  std::string final_path_;
  std::string temp_path_;
  int32_t tls_error_count_ = 0;
  bool tls_alias_tried_ = false;
  bool segmented_ = true;
  bool stall_fired_ = false;
  int32_t last_error_result_ = 0;  // last code a finished segment mapped to in this attempt
  int64_t attempt_end_ = 0;
  int64_t last_reported_ = 0;
  int64_t last_checkpoint_ = 0;
  FlowSample flow_sample_;
  bool cancel_propagated_ = false;

  std::atomic<int32_t> task_id_{0};
  std::atomic<int32_t> retry_{0};
  std::atomic<int32_t> result_{0};
  std::atomic<int64_t> total_size_{0};
  std::atomic<int64_t> resumed_bytes_{0};
  std::atomic<int64_t> attempt_start_{0};
  std::atomic<bool> events_enabled_{true};
  std::atomic<bool> finished_{false};
  std::atomic<bool> complete_{false};  // the file is at its final path

  // Segments and the ranges waiting for a connection. Only the worker
  // thread changes them (under the lock); it reads them without the lock.
  mutable std::mutex segment_lock_;
  std::vector<Slot> segments_;
  std::deque<ByteRange> pending_;

  std::thread checkpoint_thread_;
  std::stop_source stop_;
  std::thread worker_;
};

}  // namespace ns_PEM
