#pragma once
// One inclusive byte range of a download, fetched with one ranged HTTP(S) GET
// on its own thread (one libcurl easy handle, blocking perform). Received
// bytes are collected in a buffer and written at their file offset through
// the downloader's IFileWriter. The progress function is the control point:
// it ends the transfer when the range is complete, when it was cancelled, or
// when no data came for more than 10 s (measured on the injected clock).
//
// Threads: the transfer thread is owned by the segment and joined by the
// destructor. Cancel, SetEnd and every getter may be called from any thread
// while the transfer runs. The range end, the counters and the write buffer
// are guarded by one mutex (so a shortened range never lets a byte past the
// new end reach the file); every value the downloader reads is also kept in
// an atomic, so getters never block. Values set before Start (total size,
// buffer size, writer, timeouts) must not change afterwards.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <curl/curl.h>

#include "common/clock.h"
#include "download_engine/file_writer.h"
#include "platform/locations.h"

namespace ns_PEM {

// Segment states (32-bit values shared with the downloader and the logs).
enum class SegmentState : int32_t {
  Created = -1,   // initialised, thread not started
  Running = 1,    // transfer thread running
  Paused = 2,     // paused (nothing in the engine sets it; Resume leaves it)
  Cancelled = 3,  // cancel requested or done
  Succeeded = 4,  // every byte of the range received and written to the file
  Failed = 5,     // transfer error, bad status, missing or unwritten data, or stall
  Exception = 6,  // logged like the others by SetStatus; no transfer ends in it
};

class CSegmentTransfer {
 public:
  static constexpr int32_t kDefaultBufferSize = 5242880;
  static constexpr std::chrono::seconds kDefaultConnectTimeout{15};
  static constexpr int32_t kDefaultLowSpeedLimit = 1;  // bytes per second
  static constexpr std::chrono::seconds kDefaultLowSpeedTime{90};
  // No data for longer than this after the first data fails the segment.
  static constexpr std::chrono::seconds kStallLimit{10};
  // Redirects followed at most (then libcurl ends with code 47).
  static constexpr long kMaxRedirects = 10;

  // `clock` times the stall rule and the start/end times; `ca_bundle` is the
  // PEM bundle that verifies servers (empty: the TLS library's default).
  // Verification is always on.
  explicit CSegmentTransfer(oru::Clock& clock = oru::SystemClock(),
                            std::string ca_bundle = oru::ProcessLocations().ca_bundle);
  // Cancels, joins the transfer thread, frees the handle and the lists.
  ~CSegmentTransfer();
  CSegmentTransfer(const CSegmentTransfer&) = delete;
  CSegmentTransfer& operator=(const CSegmentTransfer&) = delete;

  // --- Set before Init (timeouts) or before Start (the rest).
  void SetConnectTimeout(std::chrono::seconds timeout);
  // libcurl ends the transfer with code 28 when the speed stays below
  // `bytes_per_second` for `time`.
  void SetLowSpeed(int32_t bytes_per_second, std::chrono::seconds time);
  void SetTotalSize(int64_t total_size);
  void SetBufferSize(int32_t bytes);
  // Not owned; must outlive the transfer thread (it is forgotten when the
  // thread ends). WriteAt runs with this segment's lock held: never call
  // SetEnd while holding a lock that WriteAt takes.
  void SetWriter(IFileWriter* writer);

  // Stores the range (end -1: to the end of the file), the pinned address
  // (empty: ordinary name resolution) and the temporary path (informational),
  // and builds the easy handle. Returns false when no handle could be made.
  bool Init(const std::string& url, int64_t begin, int64_t end, const std::string& address,
            const std::string& temp_path);
  // From Created only (and after a successful Init): Running, start time :=
  // now, starts the transfer thread. False otherwise.
  bool Start();
  // From Running or Paused: Cancelled (the transfer stops at its next
  // progress call), true. False in every other state.
  bool Cancel();
  // Shortens the range to end at `new_end` (>= begin - 1). Counters and the
  // buffer are trimmed so that nothing past `new_end` is counted or written
  // after this returns; the transfer stops when the server sends more.
  // Blocks while a buffer write of this segment is in progress.
  void SetEnd(int64_t new_end);
  // Effective end: the end, or total size - 1 when the end is negative.
  int64_t GetEnd() const;
  // Bytes of the range not accepted yet (never negative).
  int64_t GetRemaining() const;

  // --- Read by the downloader (any thread, never blocks).
  SegmentState GetStatus() const { return state_.load(); }
  int64_t GetBegin() const { return begin_; }
  // The stored end (-1 means the end of the file).
  int64_t GetRangeEnd() const { return end_.load(); }
  // Bytes accepted from the server.
  int64_t GetDownloaded() const { return downloaded_.load(); }
  // Bytes written to the file.
  int64_t GetSaveSize() const { return m_nSaveSize.load(); }
  int64_t GetTotalSize() const { return total_size_.load(); }
  // libcurl result of the perform (0 until it returned).
  int32_t GetTransferResult() const { return transfer_result_.load(); }
  // Last HTTP response code. A ranged request from a non-zero offset that was
  // answered with the whole file (200) reads as 416, like a refused range.
  int32_t GetHttpStatus() const { return http_status_.load(); }
  const std::string& GetAddress() const { return address_; }
  const std::string& GetUrl() const { return url_; }
  // Final URL after redirects when it differs from the URL, else empty.
  std::string GetEffectiveUrl() const;
  // Unix seconds of the thread start and of the last state change.
  int64_t GetStartTime() const { return start_time_.load(); }
  int64_t GetEndTime() const { return end_time_.load(); }
  // libcurl's average download speed at the last state change, bytes/s.
  double GetSpeed() const { return speed_.load(); }
  // True once the transfer thread finished all its work: from then on the
  // result, HTTP status, effective URL and counters are final. (The state
  // may turn final a little earlier, from the progress function.)
  bool IsDone() const { return done_.load(); }
  // The downloader's mark that it processed the finished segment.
  bool IsHandled() const { return handled_.load(); }
  void SetHandled(bool handled) { handled_.store(handled); }
  // Progress-function calls so far (lets tests wait for the next one).
  uint64_t GetProgressCalls() const { return progress_calls_.load(); }

 private:
  static size_t WriteCallback(char* data, size_t size, size_t count, void* self);
  static int ProgressCallback(void* self, curl_off_t dltotal, curl_off_t dlnow, curl_off_t ultotal,
                              curl_off_t ulnow);

  // The one place the state changes (transfer thread only; Cancel sets it
  // directly): flushes and frees the buffer, then changes the state with its
  // log line. A segment whose bytes did not all reach the file cannot become
  // Succeeded: it turns Failed instead.
  void SetStatus(SegmentState state);
  bool BuildHandle();
  void Run();
  void FinishRun();
  size_t OnData(const char* data, size_t n);
  int OnProgress();
  bool RangeIgnored();
  // Writes `length` bytes at begin + m_nSaveSize; false when the writer
  // refused them. Needs mu_.
  bool FlushLocked(const char* data, int64_t length);
  void ReleaseHandle();
  int64_t RangeLength() const;
  void LogState(SegmentState state);

  oru::Clock& clock_;
  const std::string ca_bundle_;

  CURL* handle_ = nullptr;
  curl_slist* resolve_list_ = nullptr;
  curl_slist* header_list_ = nullptr;
  int64_t begin_ = 0;
  std::atomic<int64_t> end_{0};
  std::atomic<int64_t> downloaded_{0};
  std::atomic<int64_t> m_nSaveSize{0};
  std::atomic<int64_t> last_activity_{0};  // clock ticks (ms) of the last data, resume or cancel; 0 = none
  std::string url_;
  std::string effective_url_;  // guarded by mu_
  std::string url_host_;
  std::string address_;
  std::string temp_path_;
  std::atomic<SegmentState> state_{SegmentState::Created};
  std::vector<char> buffer_;  // guarded by mu_
  int64_t buffered_ = 0;      // guarded by mu_
  std::atomic<int64_t> start_time_{0};
  std::atomic<int64_t> end_time_{0};
  std::atomic<double> speed_{0};
  std::atomic<int64_t> total_size_{0};
  std::atomic<int32_t> transfer_result_{0};
  std::atomic<bool> handled_{false};
  std::thread thread_;
  int32_t buffer_size_ = kDefaultBufferSize;
  std::atomic<int32_t> http_status_{0};
  IFileWriter* writer_ = nullptr;  // guarded by mu_ once the thread runs
  std::chrono::seconds connect_timeout_ = kDefaultConnectTimeout;
  int32_t low_speed_limit_ = kDefaultLowSpeedLimit;
  std::chrono::seconds low_speed_time_ = kDefaultLowSpeedTime;

  mutable std::mutex mu_;
  bool range_complete_ = false;  // the write function refused bytes past the end (segment thread)
  bool write_failed_ = false;    // a buffer write did not reach the file (segment thread)
  bool range_checked_ = false;   // the answer's status was checked against the range (segment thread)
  bool range_ignored_ = false;   // a ranged request got the whole file (segment thread)
  std::atomic<bool> done_{false};
  std::atomic<uint64_t> progress_calls_{0};
};

}  // namespace ns_PEM
