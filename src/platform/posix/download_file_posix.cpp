#include "platform/download_file.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <utility>

namespace oru {
namespace {

constexpr char kHiddenAttribute[] = "user.oru.hidden";
// One system call moves at most this much (Linux caps a call near 2 GiB).
constexpr int64_t kMaxChunk = int64_t{1} << 30;

bool ValidSpan(int64_t offset, const void* data, int64_t length) {
  if (offset < 0 || length < 0 || (data == nullptr && length > 0)) return false;
  return length <= std::numeric_limits<int64_t>::max() - offset;
}

bool IsAllDigits(const char* text) {
  if (*text == '\0') return false;
  for (; *text != '\0'; ++text) {
    if (*text < '0' || *text > '9') return false;
  }
  return true;
}

std::string ProcessName(const std::string& proc_dir) {
  std::string name;
  FILE* f = std::fopen((proc_dir + "/comm").c_str(), "re");
  if (f == nullptr) return name;
  char buf[64] = {};
  if (std::fgets(buf, sizeof buf, f) != nullptr) name = buf;
  std::fclose(f);
  while (!name.empty() && (name.back() == '\n' || name.back() == '\r')) name.pop_back();
  return name;
}

// True when one of the process's descriptors refers to (dev, ino).
bool HoldsFile(const std::string& proc_dir, dev_t dev, ino_t ino) {
  std::string fd_dir = proc_dir + "/fd";
  DIR* d = ::opendir(fd_dir.c_str());
  if (d == nullptr) return false;
  bool found = false;
  while (!found) {
    dirent* e = ::readdir(d);
    if (e == nullptr) break;
    if (!IsAllDigits(e->d_name)) continue;
    struct stat st;
    if (::stat((fd_dir + "/" + e->d_name).c_str(), &st) != 0) continue;
    found = st.st_dev == dev && st.st_ino == ino;
  }
  ::closedir(d);
  return found;
}

}  // namespace

FileErrorKind ClassifyFileError(int system_error) {
  switch (system_error) {
    case 0:
      return FileErrorKind::kNone;
    case ENOSPC:
    case EDQUOT:
      return FileErrorKind::kDiskFull;
    case EBUSY:
    case ETXTBSY:
      return FileErrorKind::kSharingViolation;
    case EACCES:
    case EPERM:
      return FileErrorKind::kAccessDenied;
    case EEXIST:
      return FileErrorKind::kAlreadyExists;
    case ENOENT:
      return FileErrorKind::kNotFound;
    default:
      return FileErrorKind::kOther;
  }
}

DownloadFile::~DownloadFile() { Close(); }

DownloadFile::DownloadFile(DownloadFile&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}

DownloadFile& DownloadFile::operator=(DownloadFile&& other) noexcept {
  if (this != &other) {
    Close();
    fd_ = std::exchange(other.fd_, -1);
  }
  return *this;
}

int DownloadFile::Open(const std::string& path, int flags) {
  Close();
  // O_NONBLOCK keeps a FIFO planted at the path from blocking the open; it
  // has no effect on regular files and is cleared again below.
  int fd = ::open(path.c_str(), flags | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, 0644);
  if (fd < 0) return errno;
  struct stat st;
  int err = 0;
  if (::fstat(fd, &st) != 0) {
    err = errno;
  } else if (!S_ISREG(st.st_mode)) {
    err = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
  }
  if (err != 0) {
    ::close(fd);
    return err;
  }
  int fl = ::fcntl(fd, F_GETFL);
  if (fl >= 0) ::fcntl(fd, F_SETFL, fl & ~O_NONBLOCK);
  fd_ = fd;
  return 0;
}

int DownloadFile::CreateAlways(const std::string& path) { return Open(path, O_RDWR | O_CREAT | O_TRUNC); }

int DownloadFile::OpenReadWrite(const std::string& path) { return Open(path, O_RDWR); }

int DownloadFile::OpenReadOnly(const std::string& path) { return Open(path, O_RDONLY); }

PreSizeResult DownloadFile::PreSize(int64_t length) {
  if (fd_ < 0) return {EBADF, false};
  if (length < 0) return {EINVAL, false};
  FileIoResult size = Size();
  if (!size.ok()) return {size.error, false};
  if (size.bytes > length && ::ftruncate(fd_, length) != 0) return {errno, false};
  if (length == 0) return {0, true};
  // fallocate(2) rather than posix_fallocate: where the file system cannot
  // reserve blocks, glibc would emulate it by writing into every block; a
  // sparse extension is cheaper and the caller is told space is not claimed.
  int rc;
  do {
    rc = ::fallocate(fd_, 0, 0, length);
  } while (rc != 0 && errno == EINTR);
  if (rc == 0) return {0, true};
  int err = errno;
  if (err != EOPNOTSUPP) return {err, false};
  if (::ftruncate(fd_, length) != 0) return {errno, false};
  return {0, false};
}

FileIoResult DownloadFile::WriteAt(int64_t offset, const void* data, int64_t length) {
  FileIoResult result;
  if (fd_ < 0) return {0, EBADF};
  if (!ValidSpan(offset, data, length)) return {0, EINVAL};
  const char* p = static_cast<const char*>(data);
  while (result.bytes < length) {
    size_t chunk = static_cast<size_t>(std::min(length - result.bytes, kMaxChunk));
    ssize_t n = ::pwrite(fd_, p + result.bytes, chunk, offset + result.bytes);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      result.error = errno;
      return result;
    }
    if (n == 0) {
      result.error = EIO;  // no progress at all: never loop forever
      return result;
    }
    result.bytes += n;
  }
  return result;
}

FileIoResult DownloadFile::ReadAt(int64_t offset, void* data, int64_t length) const {
  FileIoResult result;
  if (fd_ < 0) return {0, EBADF};
  if (!ValidSpan(offset, data, length)) return {0, EINVAL};
  char* p = static_cast<char*>(data);
  while (result.bytes < length) {
    size_t chunk = static_cast<size_t>(std::min(length - result.bytes, kMaxChunk));
    ssize_t n = ::pread(fd_, p + result.bytes, chunk, offset + result.bytes);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      result.error = errno;
      return result;
    }
    if (n == 0) break;  // end of file
    result.bytes += n;
  }
  return result;
}

int DownloadFile::SetEnd(int64_t length) {
  if (fd_ < 0) return EBADF;
  if (length < 0) return EINVAL;
  return ::ftruncate(fd_, length) == 0 ? 0 : errno;
}

int DownloadFile::Flush() {
  if (fd_ < 0) return EBADF;
  return ::fsync(fd_) == 0 ? 0 : errno;
}

FileIoResult DownloadFile::Size() const {
  if (fd_ < 0) return {0, EBADF};
  struct stat st;
  if (::fstat(fd_, &st) != 0) return {0, errno};
  return {static_cast<int64_t>(st.st_size), 0};
}

int DownloadFile::Close() {
  if (fd_ < 0) return 0;
  int fd = std::exchange(fd_, -1);
  // Linux releases the descriptor even when close reports an error, so it
  // is never retried.
  return ::close(fd) == 0 ? 0 : errno;
}

int DeleteDownloadFile(const std::string& path) { return ::unlink(path.c_str()) == 0 ? 0 : errno; }

int RenameDownloadFile(const std::string& from, const std::string& to) {
  return ::rename(from.c_str(), to.c_str()) == 0 ? 0 : errno;
}

bool SetFileHidden(const std::string& path, bool hidden) {
  if (hidden) return ::lsetxattr(path.c_str(), kHiddenAttribute, "1", 1, 0) == 0;
  if (::lremovexattr(path.c_str(), kHiddenAttribute) == 0) return true;
  // Nothing to remove is fine; a missing file or unsupported attributes not.
  return errno == ENODATA;
}

bool IsFileHidden(const std::string& path) {
  char value[8] = {};
  ssize_t n = ::lgetxattr(path.c_str(), kHiddenAttribute, value, sizeof value);
  return n == 1 && value[0] == '1';
}

std::vector<FileHolder> ListProcessesHoldingFile(const std::string& path) {
  std::vector<FileHolder> holders;
  struct stat target;
  if (::stat(path.c_str(), &target) != 0) return holders;
  DIR* proc = ::opendir("/proc");
  if (proc == nullptr) return holders;
  while (dirent* e = ::readdir(proc)) {
    if (!IsAllDigits(e->d_name)) continue;
    std::string dir = std::string("/proc/") + e->d_name;
    if (!HoldsFile(dir, target.st_dev, target.st_ino)) continue;
    holders.push_back({std::atoi(e->d_name), ProcessName(dir)});
  }
  ::closedir(proc);
  std::sort(holders.begin(), holders.end(), [](const FileHolder& a, const FileHolder& b) { return a.pid < b.pid; });
  return holders;
}

}  // namespace oru
