#pragma once
// File services of the download engine: the temporary package file with
// positioned I/O, pre-sizing, a hidden marker, and the question which
// processes hold a file. Errors are system error codes (errno on Linux),
// 0 meaning success; nothing throws.

#include <cstdint>
#include <string>
#include <vector>

namespace oru {

// The one place where system error codes are sorted into the cases the
// engine reacts to (on Linux: ENOSPC/EDQUOT disk full, EBUSY/ETXTBSY a file
// in use by someone else, EACCES/EPERM access denied).
enum class FileErrorKind {
  kNone,              // 0
  kDiskFull,          // no space or quota left
  kSharingViolation,  // the file is busy (held, mapped or executing)
  kAccessDenied,      // permissions
  kAlreadyExists,
  kNotFound,
  kOther,
};
FileErrorKind ClassifyFileError(int system_error);

// Result of a positioned read or write: `bytes` transferred and `error`
// (0 when it succeeded).
struct FileIoResult {
  int64_t bytes = 0;
  int error = 0;
  bool ok() const { return error == 0; }
};

// Result of PreSize. `space_reserved` is false when the file system cannot
// reserve blocks (fallocate unsupported) and the file was only extended
// sparsely: such a file system may still run full while the data is written.
struct PreSizeResult {
  int error = 0;
  bool space_reserved = false;
  bool ok() const { return error == 0; }
};

// An open regular file (RAII: closed by the destructor). Every open refuses
// to follow a symbolic link in the last path component and refuses anything
// that is not a regular file (a FIFO never blocks the caller); descriptors
// are not inherited by child processes. Not thread-safe: callers serialise.
class DownloadFile {
 public:
  DownloadFile() = default;
  ~DownloadFile();
  DownloadFile(DownloadFile&& other) noexcept;
  DownloadFile& operator=(DownloadFile&& other) noexcept;
  DownloadFile(const DownloadFile&) = delete;
  DownloadFile& operator=(const DownloadFile&) = delete;

  // Creates or truncates `path` for reading and writing (mode 0644 before
  // the umask). Returns 0, or the error code with the object left closed.
  int CreateAlways(const std::string& path);
  // Opens an existing file for reading and writing. 0 or the error code.
  int OpenReadWrite(const std::string& path);
  // Opens an existing file read-only. 0 or the error code.
  int OpenReadOnly(const std::string& path);

  bool is_open() const { return fd_ >= 0; }
  // The descriptor for log lines; -1 when closed.
  int native_handle() const { return fd_; }

  // Makes the file exactly `length` bytes long and reserves its blocks, so
  // later writes inside it cannot run out of space. A disk-full failure is
  // reported as such (ClassifyFileError gives kDiskFull). A negative length
  // gives EINVAL.
  PreSizeResult PreSize(int64_t length);
  // Writes all `length` bytes of `data` at `offset`, retrying interrupted
  // and partial writes. Anything short of the whole length is an error
  // (`bytes` then tells how much did reach the file).
  FileIoResult WriteAt(int64_t offset, const void* data, int64_t length);
  // Reads up to `length` bytes at `offset`, retrying interrupted and
  // partial reads; fewer bytes only at the end of the file.
  FileIoResult ReadAt(int64_t offset, void* data, int64_t length) const;
  // Sets the end of file (shrinks or extends sparsely). 0 or the error code.
  int SetEnd(int64_t length);
  // Flushes data and metadata to the device. 0 or the error code.
  int Flush();
  // Current length in `bytes`; `error` set when it cannot be read.
  FileIoResult Size() const;
  // Closes the file (no-op when closed). 0, or the error the close reported.
  int Close();

 private:
  int Open(const std::string& path, int flags);

  int fd_ = -1;
};

// Deletes a file (not a folder). 0 or the error code.
int DeleteDownloadFile(const std::string& path);
// Renames `from` to `to`, replacing a file at `to`. 0 or the error code.
int RenameDownloadFile(const std::string& from, const std::string& to);

// The hidden marker of a temporary file (an extended attribute). Best
// effort: false when the file system has no user attributes or the file is
// missing; a download never fails for it.
bool SetFileHidden(const std::string& path, bool hidden);
bool IsFileHidden(const std::string& path);

struct FileHolder {
  int pid = 0;
  std::string name;  // the process name (as in /proc/<pid>/comm)
};
// Every process with an open descriptor on the same file (device and inode)
// as `path`, the calling process included, in ascending pid order. Processes
// whose descriptors cannot be read are skipped; empty when `path` does not
// exist.
std::vector<FileHolder> ListProcessesHoldingFile(const std::string& path);

}  // namespace oru
