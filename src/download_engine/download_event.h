#pragma once
// The record by which a downloader reports each step of a job to the
// download manager, and the observer interface that receives it.

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <variant>

namespace ns_PEM {

// Event numbers (5 and 6 are unused).
enum class DownloadEventType : int32_t {
  FileName = 0,            // text: the file name
  FileSize = 1,            // value: total size
  TaskFinished = 2,        // value: result code
  Progress = 3,            // ProgressInfo
  SegmentBytes = 4,        // value: bytes the started segment will fetch
  DownloadBegin = 7,       // -
  SegmentHost = 8,         // text: address given to the segment (may be empty)
  AttemptBegin = 9,        // value: retry number
  AttemptEnd = 10,         // value: retry number, value2: result code
  FileDigest = 11,         // text: digest of the first MD5 computation
  DigestMatched = 12,      // -
  FileError = 13,          // value: FileErrorEventKind, value2: system error code or rename result
  PackageInfoFailed = 14,  // value: 2
  DnsCacheCleared = 15,    // value: current result code
  DnsResolved = 16,        // text: host ":" address list
  PrepareDownload = 17,    // -
  ThreadBuffer = 18,       // value: thread count, value2: buffer size
};

// Kinds of a FileError event (its value).
enum FileErrorEventKind : int32_t {
  kFileErrorCreateFailed = 1,
  kFileErrorMoveFailed = 2,
  kFileErrorDiskFull = 3,
  kFileErrorSizeMismatch = 4,
};

struct ProgressInfo {
  int32_t reserved = -1;
  int64_t total = 0;       // bytes
  int64_t downloaded = 0;  // bytes, resumed bytes included
  int64_t speed = 0;       // bytes per second; 64-bit so fast links cannot wrap it
};

// Sizes travel in the 64-bit value fields, so files of 2 GiB and more are
// reported unchanged. The payload is typed: a text, a ProgressInfo, or none.
struct DownloadEvent {
  using Payload = std::variant<std::monostate, std::string, ProgressInfo>;

  int32_t reserved = -1;
  int32_t task_id = 0;
  DownloadEventType type = DownloadEventType::FileName;
  Payload data;
  int64_t value = 0;
  int64_t value2 = 0;

  // The text payload, or nullptr when the event carries none.
  const std::string* text() const { return std::get_if<std::string>(&data); }
  // The progress payload, or nullptr when the event carries none.
  const ProgressInfo* progress() const { return std::get_if<ProgressInfo>(&data); }
};

// An event without payload, with its two numbers.
inline DownloadEvent MakeValueEvent(DownloadEventType type, int64_t value = 0, int64_t value2 = 0) {
  DownloadEvent event;
  event.type = type;
  event.value = value;
  event.value2 = value2;
  return event;
}

// An event carrying a text.
inline DownloadEvent MakeTextEvent(DownloadEventType type, std::string text) {
  DownloadEvent event;
  event.type = type;
  event.data = std::move(text);
  return event;
}

// A Progress event.
inline DownloadEvent MakeProgressEvent(const ProgressInfo& info) {
  DownloadEvent event;
  event.type = DownloadEventType::Progress;
  event.data = info;
  return event;
}

// Receives the events of every downloader, on the downloader's worker
// thread. The receiver owns the record; a null record is ignored.
class IObserver {
 public:
  virtual ~IObserver() = default;
  virtual void Notify(std::unique_ptr<DownloadEvent> event) = 0;
};

}  // namespace ns_PEM
