#include "download_engine/file_store.h"

#include <openssl/evp.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <limits>
#include <memory>

#include "common/log.h"
#include "download_engine/download_result.h"
#include "platform/file_util.h"
#include "platform/process_util.h"

namespace ns_PEM {
namespace {

using std::chrono::milliseconds;

// Outcomes of making the sized file, as the create line logs them.
constexpr int kCreateOk = 0;
constexpr int kCreateFailed = 1;
constexpr int kCreateDiskFull = 2;
constexpr int kCreateEmptyPath = 3;

constexpr int kMd5Tries = 5;
constexpr std::array<int, kMd5Tries> kMd5DelaysMs = {0, 300, 600, 900, 1200};
constexpr milliseconds kReflushWait{1000};
constexpr int kMoveTries = 15;
constexpr size_t kMaxListedHolders = 10;
// The digest is read in large blocks: the same bytes as small reads, far
// fewer system calls.
constexpr int64_t kMd5BlockSize = 1 << 20;
constexpr int64_t kEntryBytes = 16;
constexpr int64_t kCountBytes = 8;

void PutInt64(std::string& out, int64_t value) {
  uint64_t v = static_cast<uint64_t>(value);
  for (int i = 0; i < 8; ++i) out.push_back(static_cast<char>((v >> (8 * i)) & 0xff));
}

int64_t GetInt64(const char* in) {
  uint64_t v = 0;
  for (int i = 7; i >= 0; --i) v = (v << 8) | static_cast<unsigned char>(in[i]);
  return static_cast<int64_t>(v);
}

std::string UpperAscii(std::string text) {
  for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

std::string FolderOf(const std::string& path) {
  size_t slash = path.rfind(oru::kPathSeparator);
  return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

bool IsHeldOrDenied(int error) {
  oru::FileErrorKind kind = oru::ClassifyFileError(error);
  return kind == oru::FileErrorKind::kSharingViolation || kind == oru::FileErrorKind::kAccessDenied;
}

int64_t FileSizeOrZero(const std::string& path, int& error) {
  oru::DownloadFile file;
  error = file.OpenReadOnly(path);
  if (error != 0) return 0;
  oru::FileIoResult size = file.Size();
  error = size.error;
  return size.ok() ? size.bytes : 0;
}

// Sorted, overlapping ranges merged: a byte listed by any entry stays listed.
std::map<int64_t, int64_t> MergeRanges(std::vector<ByteRange> ranges) {
  std::sort(ranges.begin(), ranges.end());
  std::map<int64_t, int64_t> merged;
  auto last = merged.end();
  for (const auto& [begin, end] : ranges) {
    if (last != merged.end() && begin <= last->second) {
      last->second = std::max(last->second, end);
      continue;
    }
    last = merged.emplace(begin, end).first;
  }
  return merged;
}

// Decodes and checks the entries of a record of `n` entries.
bool ParseEntries(const std::string& bytes, int64_t n, int64_t total_size, std::vector<ByteRange>& out) {
  int64_t sum = 0;
  for (int64_t k = 0; k < n; ++k) {
    const char* entry = bytes.data() + k * kEntryBytes;
    int64_t begin = GetInt64(entry);
    int64_t end = GetInt64(entry + 8);
    if (begin < 0 || begin > end || end >= total_size) return false;
    sum += end - begin + 1;  // each term <= total, at most 2^20 terms: no overflow
    if (sum > total_size) return false;
    out.emplace_back(begin, end);
  }
  return true;
}

}  // namespace

std::string TempPathFor(const std::string& final_path) { return final_path + kTempFileSuffix; }

std::string ComputeFileMd5(const std::string& path) {
  oru::DownloadFile file;
  if (file.OpenReadOnly(path) != 0) return {};
  std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx(EVP_MD_CTX_new(), &EVP_MD_CTX_free);
  if (!ctx || EVP_DigestInit_ex(ctx.get(), EVP_md5(), nullptr) != 1) return {};
  std::vector<char> block(static_cast<size_t>(kMd5BlockSize));
  for (int64_t offset = 0;;) {
    oru::FileIoResult r = file.ReadAt(offset, block.data(), kMd5BlockSize);
    if (!r.ok()) return {};
    if (r.bytes == 0) break;
    if (EVP_DigestUpdate(ctx.get(), block.data(), static_cast<size_t>(r.bytes)) != 1) return {};
    offset += r.bytes;
  }
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (EVP_DigestFinal_ex(ctx.get(), digest, &length) != 1) return {};
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string text;
  for (unsigned int i = 0; i < length; ++i) {
    text.push_back(kHex[digest[i] >> 4]);
    text.push_back(kHex[digest[i] & 0x0f]);
  }
  return text;
}

CDownloadFileStore::CDownloadFileStore(oru::Clock& clock, EventSink send_event, ResultSink set_result)
    : clock_(clock), send_event_(std::move(send_event)), set_result_(std::move(set_result)) {}

CDownloadFileStore::~CDownloadFileStore() { CloseTempFile(); }

void CDownloadFileStore::Send(DownloadEvent event) const {
  if (send_event_) send_event_(std::move(event));
}

void CDownloadFileStore::SetResult(int32_t result) const {
  if (set_result_) set_result_(result);
}

bool CDownloadFileStore::CreateTempFile(const std::string& temp_path, int64_t total_size) {
  int error = 0;
  int code = CreateSizedFile(temp_path, total_size, error);
  oru::Log(oru::kLogInfo, "[INFO] multi, create tmp file=[%s], ret=[%d][%d].", temp_path.c_str(), code, error);
  if (code == kCreateOk) {
    oru::SetFileHidden(temp_path, true);
    return true;
  }
  if (code == kCreateDiskFull) {
    oru::Log(oru::kLogError, "[ERROR] multi, disk space not enough!");
    SetResult(kResultInsufficientDiskSpace);
    Send(MakeValueEvent(DownloadEventType::FileError, kFileErrorDiskFull, error));
    return false;
  }
  oru::Log(oru::kLogError, "[ERROR] multi, create null file failed!");
  SetResult(kResultFileOperationFailed);
  Send(MakeValueEvent(DownloadEventType::FileError, kFileErrorCreateFailed, error));
  return false;
}

int CDownloadFileStore::CreateSizedFile(const std::string& path, int64_t total_size, int& error) {
  error = 0;
  if (path.empty()) return kCreateEmptyPath;
  PrepareReplace(path);
  std::string folder = FolderOf(path);
  if (!folder.empty() && !oru::DirectoryExists(folder)) oru::CreateDirectoryLevels(folder);
  oru::DownloadFile file;
  int code = OpenForCreate(path, file, error);
  if (code != kCreateOk || total_size <= 0) return code;
  oru::PreSizeResult sized = file.PreSize(total_size);
  error = sized.error;
  if (sized.ok() && !sized.space_reserved) {
    oru::Log(oru::kLogWarn, "[WARN] multi, space not reserved for file=[%s]; the disk may still run full.",
             path.c_str());
  }
  if (!sized.ok()) {
    code = oru::ClassifyFileError(error) == oru::FileErrorKind::kDiskFull ? kCreateDiskFull : kCreateFailed;
  }
  file.Close();
  if (code != kCreateOk) oru::DeleteDownloadFile(path);
  return code;
}

// Clears and deletes whatever file is at `path` before it is created anew.
void CDownloadFileStore::PrepareReplace(const std::string& path) {
  if (!oru::PathExists(path)) return;
  oru::SetFileHidden(path, false);
  int error = oru::DeleteDownloadFile(path);
  if (error == 0) return;
  oru::Log(oru::kLogWarn, "[WARN] before create, delete file=[%s], error=[%d].", path.c_str(), error);
  if (IsHeldOrDenied(error)) ReportLockingProcesses(path);
}

int CDownloadFileStore::OpenForCreate(const std::string& path, oru::DownloadFile& file, int& error) {
  error = file.CreateAlways(path);
  oru::Log(oru::kLogInfo, "[INFO] create file=[%s], hFile=[%d], error=[%d].", path.c_str(), file.native_handle(),
           error);
  if (error == 0) return kCreateOk;
  oru::FileErrorKind kind = oru::ClassifyFileError(error);
  if (kind != oru::FileErrorKind::kAlreadyExists && !IsHeldOrDenied(error)) return kCreateFailed;
  error = file.OpenReadWrite(path);
  oru::Log(oru::kLogInfo, "[INFO] open file=[%s] for write, hFile=[%d], error=[%d].", path.c_str(),
           file.native_handle(), error);
  if (error == 0) return kCreateOk;
  ReportLockingProcesses(path);
  return kCreateFailed;
}

bool CDownloadFileStore::OpenTempFile(const std::string& temp_path) {
  oru::DownloadFile file;
  if (file.OpenReadWrite(temp_path) != 0) return false;
  std::lock_guard lock(file_lock_);
  file_ = std::move(file);
  return true;
}

bool CDownloadFileStore::CloseTempFile() {
  std::lock_guard lock(file_lock_);
  if (!file_.is_open()) return false;
  oru::Clock::Ticks start = clock_.NowTicks();
  int error = file_.Flush();
  int cost = static_cast<int>((clock_.NowTicks() - start).count());
  if (error == 0) {
    oru::Log(oru::kLogInfo, "[INFO] multi, flush file buffers ok, cost=[%d]ms.", cost);
  } else {
    oru::Log(oru::kLogError, "[ERROR] multi, flush file buffers failed! err=[%d], cost=[%d]ms.", error, cost);
  }
  file_.Close();
  return true;
}

bool CDownloadFileStore::IsTempFileOpen() const {
  std::lock_guard lock(file_lock_);
  return file_.is_open();
}

int64_t CDownloadFileStore::WriteAt(int64_t offset, int64_t length, const char* data, bool set_end) {
  std::lock_guard lock(file_lock_);
  if (!file_.is_open() || length <= 0 || data == nullptr) return 0;
  const bool bad_position = offset < 0 || length > std::numeric_limits<int64_t>::max() - offset;
  oru::FileIoResult written = file_.WriteAt(offset, data, length);
  if (!written.ok()) {
    if (bad_position) {
      oru::Log(oru::kLogError, "[ERROR] multi, write file data failed! seek failed, err=[%d].", written.error);
    } else {
      oru::Log(oru::kLogError, "[ERROR] multi, write file data failed! write size=[%lld], err=[%d].",
               static_cast<long long>(length), written.error);
    }
    return 0;
  }
  if (set_end) {
    int error = file_.SetEnd(offset + length);
    if (error != 0) oru::Log(oru::kLogError, "[ERROR] multi, write file data failed! set end, err=[%d].", error);
  }
  return length;
}

bool CDownloadFileStore::ReadResumeRecord(const std::string& temp_path, int64_t total_size,
                                          std::map<int64_t, int64_t>& ranges) const {
  ranges.clear();
  if (total_size <= 0) return false;
  oru::DownloadFile file;
  if (file.OpenReadOnly(temp_path) != 0) return false;
  oru::FileIoResult size = file.Size();
  if (!size.ok() || size.bytes <= total_size) return false;
  const int64_t tail = size.bytes - total_size;
  if (tail < kEntryBytes + kCountBytes || (tail - kCountBytes) % kEntryBytes != 0) return false;
  const int64_t n = (tail - kCountBytes) / kEntryBytes;
  if (n > kMaxResumeRanges) return false;
  std::string bytes(static_cast<size_t>(tail), '\0');
  oru::FileIoResult read = file.ReadAt(total_size, bytes.data(), tail);
  if (!read.ok() || read.bytes != tail) return false;
  if (GetInt64(bytes.data() + n * kEntryBytes) != n) return false;
  std::vector<ByteRange> entries;
  if (!ParseEntries(bytes, n, total_size, entries)) return false;
  ranges = MergeRanges(std::move(entries));
  return true;
}

bool CDownloadFileStore::WriteResumeRecord(const std::vector<ByteRange>& unfinished, int64_t total_size) {
  if (total_size <= 0 || static_cast<int64_t>(unfinished.size()) > kMaxResumeRanges) return false;
  std::string record;
  int64_t n = 0;
  for (const auto& [begin, end] : unfinished) {
    if (begin > end) continue;  // nothing left of this range
    if (begin < 0 || end >= total_size) return false;
    PutInt64(record, begin);
    PutInt64(record, end);
    ++n;
  }
  if (n == 0) return false;
  PutInt64(record, n);
  const int64_t length = static_cast<int64_t>(record.size());
  if (WriteAt(total_size, length, record.data(), true) != length) {
    oru::Log(oru::kLogError, "[ERROR] multi, write cache info failed! write count.");
    return false;
  }
  return true;
}

int CDownloadFileStore::RemoveResumeRecord(const std::string& temp_path, int64_t total_size) {
  oru::DownloadFile file;
  int error = file.OpenReadWrite(temp_path);
  if (error != 0) return error;
  oru::FileIoResult size = file.Size();
  if (!size.ok()) return size.error;
  // Never extend: a file shorter than the data must fail the size check.
  if (size.bytes <= total_size) return 0;
  return file.SetEnd(total_size);
}

bool CDownloadFileStore::CheckFileSize(const std::string& path, int64_t total_size, bool report) {
  int error = 0;
  int64_t size = FileSizeOrZero(path, error);
  if (size == total_size) return true;
  if (report) {
    Send(MakeValueEvent(DownloadEventType::FileError, kFileErrorSizeMismatch, error));
    SetResult(kResultFileSizeError);
    oru::Log(oru::kLogError, "[ERROR] multi, check file size incorrect! local_size=[%lld], dst_size=[%lld]",
             static_cast<long long>(size), static_cast<long long>(total_size));
  }
  return false;
}

bool CDownloadFileStore::DigestMatches(const std::string& digest, const std::string& server_md5) const {
  return !digest.empty() && server_md5.find(digest) != std::string::npos;
}

bool CDownloadFileStore::CheckFileMd5(const std::string& path, const std::string& server_md5, bool report,
                                      std::stop_token stop) {
  if (server_md5.size() < 3) return false;
  const std::string expected = UpperAscii(server_md5);
  for (int r = 0; r < kMd5Tries; ++r) {
    if (r > 0) {
      oru::Log(oru::kLogInfo, "[INFO] multi, check md5 retry=[%d/%d], delay=[%d]ms.", r, kMd5Tries,
               kMd5DelaysMs[static_cast<size_t>(r)]);
      if (!clock_.SleepFor(milliseconds(kMd5DelaysMs[static_cast<size_t>(r)]), stop)) return false;
    }
    std::string digest = ComputeFileMd5(path);
    if (r == 0 && report) Send(MakeTextEvent(DownloadEventType::FileDigest, digest));
    if (DigestMatches(digest, expected)) {
      oru::Log(oru::kLogInfo, "[INFO] multi, check md5 ok .  retry=[%d], file_md5=[%s].", r, digest.c_str());
      if (report) Send(MakeValueEvent(DownloadEventType::DigestMatched));
      return true;
    }
    oru::Log(oru::kLogWarn, "[WARN] multi, check md5 failed! retry=[%d/%d], file_md5=[%s], expected=[%s].", r,
             kMd5Tries, digest.c_str(), expected.c_str());
  }
  if (ReflushAndRetry(path, expected, stop)) {
    if (report) Send(MakeValueEvent(DownloadEventType::DigestMatched));
    return true;
  }
  if (stop.stop_requested()) return false;
  oru::Log(oru::kLogError, "[ERROR] multi, check md5 failed after all retries!");
  SetResult(kResultMd5Failed);
  return false;
}

// The last chance of an MD5 check: flush the file once more, wait, re-read.
bool CDownloadFileStore::ReflushAndRetry(const std::string& path, const std::string& server_md5,
                                         std::stop_token stop) {
  oru::Log(oru::kLogWarn, "[WARN] multi, all retries failed, try flush file buffers again.");
  oru::DownloadFile file;
  if (file.OpenReadWrite(path) != 0) return false;
  oru::Clock::Ticks start = clock_.NowTicks();
  if (file.Flush() == 0) {
    oru::Log(oru::kLogInfo, "[INFO] multi, re-flush file buffers ok, cost=[%d]ms.",
             static_cast<int>((clock_.NowTicks() - start).count()));
  }
  file.Close();
  if (!clock_.SleepFor(kReflushWait, stop)) return false;
  std::string digest = ComputeFileMd5(path);
  if (DigestMatches(digest, server_md5)) {
    oru::Log(oru::kLogInfo, "[INFO] multi, check md5 ok after re-flush, file_md5=[%s].", digest.c_str());
    return true;
  }
  oru::Log(oru::kLogError, "[ERROR] multi, check md5 still failed after re-flush! file_md5=[%s].", digest.c_str());
  return false;
}

bool CDownloadFileStore::MoveToFinal(const std::string& temp_path, const std::string& final_path,
                                     std::stop_token stop) {
  // rename(2) replaces an existing file atomically, so the final path is not
  // deleted first: a failed move never loses the old file.
  for (int i = 1; i <= kMoveTries; ++i) {
    int error = oru::RenameDownloadFile(temp_path, final_path);
    if (error == 0) {
      oru::SetFileHidden(final_path, false);
      return true;
    }
    oru::Log(oru::kLogError, "[ERROR] rename failed, try=%d, err=%d", i, error);
    if (oru::ClassifyFileError(error) == oru::FileErrorKind::kSharingViolation) ReportLockingProcesses(temp_path);
    if (!clock_.SleepFor(std::chrono::seconds(i), stop)) return false;
  }
  const int rename_result = -1;
  oru::Log(oru::kLogError, "[ERROR] multi, revert file name failed! error=[%d].", rename_result);
  SetResult(kResultFileOperationFailed);
  Send(MakeValueEvent(DownloadEventType::FileError, kFileErrorMoveFailed, rename_result));
  return false;
}

void CDownloadFileStore::ReportLockingProcesses(const std::string& path) const {
  std::vector<oru::FileHolder> holders = oru::ListProcessesHoldingFile(path);
  // Like the system's query, a list longer than its room names nobody.
  if (holders.size() > kMaxListedHolders) return;
  const int self = oru::CurrentProcessId();
  for (const oru::FileHolder& holder : holders) {
    if (holder.pid == self) continue;
    oru::Log(oru::kLogWarn, "[WARN] process=[%d][%s] locked the file=[%s] ", holder.pid, holder.name.c_str(),
             path.c_str());
  }
}

}  // namespace ns_PEM
