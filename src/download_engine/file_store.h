#pragma once
// Everything the download engine does with files: the hidden, pre-sized
// temporary file beside the final path, the positioned writes of the
// segments, the resume record behind the file data, the size and MD5 checks
// and the final move. One store belongs to one CMultiDownloader, which
// delegates to it and passes in what the store needs (sizes, ranges, the
// server MD5).
//
// Layout of the temporary file while a download is unfinished:
//   [0, total)                 package bytes (bytes not yet fetched are zero)
//   [total, total + 16 N)      N entries: first byte still to fetch, last
//                              byte of the range (inclusive), both signed
//                              64-bit little-endian
//   [total + 16 N, + 8)        N, signed 64-bit little-endian
// Every byte of [0, total) outside the listed ranges counts as present.

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <stop_token>
#include <string>
#include <utility>
#include <vector>

#include "common/clock.h"
#include "download_engine/download_event.h"
#include "download_engine/file_writer.h"
#include "platform/download_file.h"

namespace ns_PEM {

// Inclusive byte range (begin, end).
using ByteRange = std::pair<int64_t, int64_t>;

inline constexpr char kTempFileSuffix[] = ".~P2S";
// More entries than this are never written by a downloader; a record that
// claims more is damaged.
inline constexpr int64_t kMaxResumeRanges = int64_t{1} << 20;

// The temporary path of a final path: final path + ".~P2S".
std::string TempPathFor(const std::string& final_path);

// MD5 of the whole file as 32 upper-case hexadecimal digits; empty when the
// file cannot be read.
std::string ComputeFileMd5(const std::string& path);

class CDownloadFileStore : public IFileWriter {
 public:
  // Receives the store's events (FileError, FileDigest, DigestMatched) with
  // task id 0; the owner fills in its task id and forwards them.
  using EventSink = std::function<void(DownloadEvent)>;
  // Receives the result codes the store sets (9, 10, 11, 12).
  using ResultSink = std::function<void(int32_t)>;

  // `clock` times the flushes and runs every wait; it must outlive the
  // store. Either sink may be empty.
  CDownloadFileStore(oru::Clock& clock, EventSink send_event, ResultSink set_result);
  // Closes the temporary file if it is still open.
  ~CDownloadFileStore() override;
  CDownloadFileStore(const CDownloadFileStore&) = delete;
  CDownloadFileStore& operator=(const CDownloadFileStore&) = delete;

  // Replaces whatever is at `temp_path` by a new file of `total_size` bytes
  // with its space reserved, creating missing folders, and marks it hidden.
  // The file is closed again. On failure the partial file is deleted and
  // result 10 (disk full, FileError 3) or 9 (FileError 1) is set; false.
  bool CreateTempFile(const std::string& temp_path, int64_t total_size);
  // Opens the existing temporary file for the writes and keeps it (an open
  // one is closed first). False when it cannot be opened.
  bool OpenTempFile(const std::string& temp_path);
  // Flushes and closes the kept file; false when none was open. Waits for a
  // write in progress, so no write ever uses a closed file.
  bool CloseTempFile();
  bool IsTempFileOpen() const;

  // Writes all `length` bytes at `offset` into the kept file, serialised
  // with every other write. With `set_end` the file ends right after them
  // (a failure to set the end is logged; the write still counts). Returns
  // `length`, or 0 when nothing is open or the write failed or fell short.
  // Safe from any thread.
  int64_t WriteAt(int64_t offset, int64_t length, const char* data, bool set_end) override;

  // Reads the resume record behind `total_size` bytes of `temp_path` into
  // `ranges` (begin -> end; overlapping entries are merged so no listed
  // byte is lost). True only for a whole, valid record: the file length is
  // exactly total + 16 N + 8 with 1 <= N <= kMaxResumeRanges, every range
  // lies inside [0, total) with begin <= end, and the lengths sum to at
  // most total. False (and `ranges` cleared) otherwise.
  bool ReadResumeRecord(const std::string& temp_path, int64_t total_size, std::map<int64_t, int64_t>& ranges) const;
  // Writes the record of `unfinished` (the ranges still to fetch, in the
  // downloader's order) behind `total_size` bytes of the kept file and ends
  // the file there. A range with begin > end has nothing left and is left
  // out. False, with nothing written, when no range is left or one lies
  // outside [0, total); false when the write fails (nothing open included).
  // Safe from any thread, also while segments write or the file is being
  // closed.
  bool WriteResumeRecord(const std::vector<ByteRange>& unfinished, int64_t total_size);
  // Cuts `temp_path` back to `total_size` bytes (never extends it). Returns
  // 0, or the system error code of the open or the cut.
  int RemoveResumeRecord(const std::string& temp_path, int64_t total_size);

  // True when the file at `path` is exactly `total_size` bytes long (a file
  // that cannot be opened has size 0). With `report`, a mismatch sends
  // FileError (4, error code) and sets result 12.
  bool CheckFileSize(const std::string& path, int64_t total_size, bool report);
  // True when the file's MD5 occurs in `server_md5` (which may hold several
  // digests, in any case). A text shorter than 3 characters fails at once.
  // Retries after 300, 600, 900 and 1200 ms, then once more after a flush
  // and 1000 ms; all waits through the clock. With `report` sends FileDigest
  // (first digest) and DigestMatched. After all retries sets result 11.
  // A stop request ends the waits: false without a result.
  bool CheckFileMd5(const std::string& path, const std::string& server_md5, bool report,
                    std::stop_token stop = {});
  // Replaces `final_path` by `temp_path` in up to 15 tries, waiting i
  // seconds after try i, and clears the hidden marker of the moved file.
  // After 15 failures sets result 9, sends FileError (2, -1) and returns
  // false. A stop request ends the waits: false without a result.
  bool MoveToFinal(const std::string& temp_path, const std::string& final_path, std::stop_token stop = {});
  // Logs every other process that holds `path` open (at most 10; with more,
  // none is listed).
  void ReportLockingProcesses(const std::string& path) const;

 private:
  int CreateSizedFile(const std::string& path, int64_t total_size, int& error);
  void PrepareReplace(const std::string& path);
  int OpenForCreate(const std::string& path, oru::DownloadFile& file, int& error);
  bool DigestMatches(const std::string& digest, const std::string& server_md5) const;
  bool ReflushAndRetry(const std::string& path, const std::string& server_md5, std::stop_token stop);
  void Send(DownloadEvent event) const;
  void SetResult(int32_t result) const;

  oru::Clock& clock_;
  EventSink send_event_;
  ResultSink set_result_;

  mutable std::mutex file_lock_;  // guards file_; serialises every write
  oru::DownloadFile file_;
};

}  // namespace ns_PEM
