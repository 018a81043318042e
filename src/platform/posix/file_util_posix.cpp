#include "platform/file_util.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace oru {
namespace {

bool WriteAll(int fd, const std::string& data) {
  size_t done = 0;
  while (done < data.size()) {
    ssize_t n = ::write(fd, data.data() + done, data.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

// Creates `path` from the template's six trailing X's; O_EXCL|O_NOFOLLOW.
int OpenUniqueFile(std::string& path_template) {
  return ::mkostemp(path_template.data(), O_CLOEXEC | O_NOFOLLOW);
}

}  // namespace

std::string WithTrailingSeparator(std::string path) {
  if (path.empty() || path.back() != kPathSeparator) path.push_back(kPathSeparator);
  return path;
}

std::string JoinPath(const std::string& base, const std::string& name) {
  if (base.empty()) return name;
  size_t start = 0;
  while (start < name.size() && name[start] == kPathSeparator) ++start;
  return WithTrailingSeparator(base) + name.substr(start);
}

bool PathExists(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0;
}

bool DirectoryExists(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool CreateDirectoryLevels(const std::string& path) {
  if (path.empty()) return false;
  size_t pos = 0;
  while (pos != std::string::npos) {
    pos = path.find(kPathSeparator, pos + 1);
    std::string level = path.substr(0, pos);
    if (level.empty() || DirectoryExists(level)) continue;
    if (::mkdir(level.c_str(), 0755) != 0 && !(errno == EEXIST && DirectoryExists(level))) return false;
  }
  return DirectoryExists(path);
}

std::vector<FileEntry> ListFiles(const std::string& dir) {
  std::vector<FileEntry> files;
  DIR* d = ::opendir(dir.c_str());
  if (d == nullptr) return files;
  while (dirent* e = ::readdir(d)) {
    std::string name = e->d_name;
    if (name == "." || name == "..") continue;
    FileEntry entry;
    entry.name = name;
    entry.path = JoinPath(dir, name);
    struct stat st;
    if (::lstat(entry.path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
    entry.mtime_seconds = st.st_mtim.tv_sec;
    entry.mtime_nanoseconds = st.st_mtim.tv_nsec;
    files.push_back(std::move(entry));
  }
  ::closedir(d);
  return files;
}

bool CanOpenForReading(const std::string& path) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  ::close(fd);
  return true;
}

bool RemoveFile(const std::string& path) { return ::unlink(path.c_str()) == 0; }

bool RenameFile(const std::string& from, const std::string& to) {
  return ::rename(from.c_str(), to.c_str()) == 0;
}

bool ReadWholeFile(const std::string& path, std::string& data) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  data.clear();
  char buf[65536];
  bool ok = true;
  for (;;) {
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) ok = false;
    if (n <= 0) break;
    data.append(buf, static_cast<size_t>(n));
  }
  ::close(fd);
  return ok;
}

bool WriteFileAtomically(const std::string& path, const std::string& data) {
  std::string tmp = path + ".tmp-XXXXXX";
  int fd = OpenUniqueFile(tmp);
  if (fd < 0) return false;
  bool ok = WriteAll(fd, data) && ::fchmod(fd, 0644) == 0;
  ok = (::close(fd) == 0) && ok;
  if (ok && ::rename(tmp.c_str(), path.c_str()) == 0) return true;
  ::unlink(tmp.c_str());
  return false;
}

std::optional<std::string> CreateUniqueTempFile(const std::string& dir, const std::string& prefix,
                                                const std::string& contents) {
  std::string path = JoinPath(dir, prefix + "XXXXXX");
  int fd = OpenUniqueFile(path);
  if (fd < 0) return std::nullopt;
  bool ok = WriteAll(fd, contents);
  ok = (::close(fd) == 0) && ok;
  if (ok) return path;
  ::unlink(path.c_str());
  return std::nullopt;
}

std::optional<DiskSpace> GetDiskSpace(const std::string& path) {
  struct statvfs vfs;
  if (::statvfs(path.c_str(), &vfs) != 0) return std::nullopt;
  DiskSpace space;
  space.available_to_caller = static_cast<uint64_t>(vfs.f_bavail) * vfs.f_frsize;
  space.total = static_cast<uint64_t>(vfs.f_blocks) * vfs.f_frsize;
  space.free = static_cast<uint64_t>(vfs.f_bfree) * vfs.f_frsize;
  return space;
}

}  // namespace oru
