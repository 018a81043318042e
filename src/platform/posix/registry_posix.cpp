#include "platform/registry.h"

// Layout of the store. Every key is a folder; inside it:
//   NAME        the key's name as first spelled (the folder name is folded)
//   LOCK        flock(2) target for changes of this key (mode 0600, so no
//               other user can hold it and stall an elevated writer)
//   VALUES      every value of the key (missing: none)
//   VALUES.TMP  the next VALUES while it is being written
//   NEWKEY.TMP  a child key being assembled before it is renamed into place
//   DELETING.TMP  a child key taken out of the tree while it is removed
//   <child>     one folder per subkey: the ASCII-lowercased name with "/",
//               "%" and control characters written as %xx (lowercase hex)
// Our own files are upper-case and child folders never are, so they cannot
// collide, and a key folder appears only complete (NAME and LOCK inside).
//
// Writers take the key's LOCK exclusively, read VALUES, write VALUES.TMP and
// rename it over VALUES. Readers take no lock: rename(2) gives them the old or
// the new file whole. A writer killed before the rename leaves VALUES as it
// was and a stale VALUES.TMP that the next writer replaces. There is no fsync:
// these are small settings that are rewritten often, a killed process loses
// nothing (the page cache survives it), and ext4 flushes a file replaced by
// rename before the rename itself.
//
// Locks are always taken parent before child and writers hold one at a time:
// creating a child locks the parent; deleting a key locks its parent, then
// the key, then (for a tree) each descendant.

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <map>
#include <utility>

namespace oru {
namespace {

constexpr char kNameFile[] = "NAME";
constexpr char kLockFile[] = "LOCK";
constexpr char kValuesFile[] = "VALUES";
constexpr char kValuesTemp[] = "VALUES.TMP";
constexpr char kValuesBad[] = "VALUES.BAD";
constexpr char kNewKeyDir[] = "NEWKEY.TMP";
constexpr char kDeletingDir[] = "DELETING.TMP";
constexpr std::string_view kValuesMagic{"ORUREG1\n", 8};
constexpr size_t kMaxKeyNameUnits = 255;
constexpr size_t kMaxValueNameUnits = 16383;
constexpr size_t kMaxFolderName = 255;
constexpr off_t kMaxKeyFile = 64 << 20;  // far above any real key; bounds what a hostile file costs
constexpr mode_t kDirMode = 0755;
constexpr mode_t kFileMode = 0644;
constexpr mode_t kLockMode = 0600;
constexpr uint32_t kWriteRights = kKeySetValue | kKeyCreateSubKey | kKeyDelete;

std::atomic<void (*)()> g_before_replace_hook{nullptr};

class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  ~UniqueFd() { Reset(); }
  UniqueFd(UniqueFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) {
      Reset();
      fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  int release() { return std::exchange(fd_, -1); }
  void Reset() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

 private:
  int fd_ = -1;
};

// ---------------------------------------------------------------- text

// Length of the valid UTF-8 sequence at s[i], and its code point; 0 when the
// bytes there are not one (cut short, overlong, surrogate, above U+10FFFF).
size_t DecodeOne(std::string_view s, size_t i, uint32_t* cp) {
  const auto c = static_cast<unsigned char>(s[i]);
  size_t len = 0;
  if (c < 0x80) {
    *cp = c;
    return 1;
  }
  if (c >= 0xC2 && c <= 0xDF) {
    len = 2;
  } else if (c >= 0xE0 && c <= 0xEF) {
    len = 3;
  } else if (c >= 0xF0 && c <= 0xF4) {
    len = 4;
  } else {
    return 0;
  }
  *cp = c & (0x7Fu >> len);
  if (i + len > s.size()) return 0;
  for (size_t k = 1; k < len; ++k) {
    const auto t = static_cast<unsigned char>(s[i + k]);
    if ((t & 0xC0) != 0x80) return 0;
    *cp = (*cp << 6) | (t & 0x3Fu);
  }
  if ((len == 3 && *cp < 0x800) || (len == 4 && *cp < 0x10000)) return 0;
  if ((*cp >= 0xD800 && *cp <= 0xDFFF) || *cp > 0x10FFFF) return 0;
  return len;
}

// UTF-16 code units the text takes on Windows; an invalid byte counts as one
// "?". `valid` (optional) tells whether the text was valid UTF-8.
size_t Utf16Units(std::string_view s, bool* valid = nullptr) {
  size_t units = 0;
  bool ok = true;
  for (size_t i = 0; i < s.size();) {
    uint32_t cp = 0;
    const size_t len = DecodeOne(s, i, &cp);
    if (len == 0) {
      ok = false;
      ++units;
      ++i;
      continue;
    }
    units += cp >= 0x10000 ? 2 : 1;
    i += len;
  }
  if (valid != nullptr) *valid = ok;
  return units;
}

char FoldAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool EqualsFolded(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return FoldAscii(x) == FoldAscii(y);
         });
}

// ---------------------------------------------------------------- names

std::string EncodeComponent(std::string_view name) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  for (char c : name) {
    const auto u = static_cast<unsigned char>(c);
    if (u < 0x20 || u == 0x7F || c == '/' || c == '%') {
      out += '%';
      out += kHex[u >> 4];
      out += kHex[u & 0xF];
      continue;
    }
    out += FoldAscii(c);
  }
  return out;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

bool DecodeComponent(std::string_view enc, std::string* out) {
  out->clear();
  for (size_t i = 0; i < enc.size(); ++i) {
    if (enc[i] != '%') {
      *out += enc[i];
      continue;
    }
    if (i + 2 >= enc.size()) return false;
    const int hi = HexDigit(enc[i + 1]);
    const int lo = HexDigit(enc[i + 2]);
    if (hi < 0 || lo < 0) return false;
    *out += static_cast<char>(hi * 16 + lo);
    i += 2;
  }
  return true;
}

long ValidateComponent(std::string_view name) {
  if (name.empty() || name == "." || name == "..") return kErrorInvalidParameter;
  if (name.find('\0') != std::string_view::npos) return kErrorInvalidParameter;
  bool valid = false;
  if (Utf16Units(name, &valid) > kMaxKeyNameUnits || !valid) return kErrorInvalidParameter;
  if (EncodeComponent(name).size() > kMaxFolderName) return kErrorInvalidParameter;
  return kErrorSuccess;
}

// A folder name that is a child key's canonical encoding.
bool IsKeyFolderName(std::string_view folder, std::string* folded) {
  return DecodeComponent(folder, folded) && ValidateComponent(*folded) == kErrorSuccess &&
         EncodeComponent(*folded) == folder;
}

// "A\\B\\C" -> {A, B, C}; one trailing backslash is accepted (Windows does).
long SplitKeyPath(std::string_view path, std::vector<std::string>* parts) {
  parts->clear();
  if (path.empty()) return kErrorSuccess;
  if (path.back() == '\\') path.remove_suffix(1);
  if (path.empty()) return kErrorInvalidParameter;
  size_t start = 0;
  while (true) {
    const size_t end = path.find('\\', start);
    const std::string_view part = path.substr(start, end == std::string_view::npos ? path.npos : end - start);
    if (const long st = ValidateComponent(part); st != kErrorSuccess) return st;
    parts->emplace_back(part);
    if (end == std::string_view::npos) return kErrorSuccess;
    start = end + 1;
  }
}

long ValidateValueName(std::string_view name) {
  if (name.find('\0') != std::string_view::npos) return kErrorInvalidParameter;
  if (Utf16Units(name) > kMaxValueNameUnits) return kErrorInvalidParameter;
  return kErrorSuccess;
}

// ---------------------------------------------------------------- values

struct StoredValue {
  std::string name;
  uint32_t type = kRegNone;
  std::string data;
};

// NUL terminators (UTF-16 units) a text value's data lacks.
size_t MissingTerminators(uint32_t type, std::string_view data) {
  const bool ends_nul = !data.empty() && data.back() == '\0';
  if (type != kRegMultiSz) return ends_nul ? 0 : 1;
  // A list ends in two NULs; the empty list is a single one.
  if (data.empty()) return 1;
  if (data.size() == 1 && ends_nul) return 0;
  if (data.size() >= 2 && data.substr(data.size() - 2) == std::string_view("\0\0", 2)) return 0;
  return ends_nul ? 1 : 2;
}

size_t WireSize(uint32_t type, std::string_view data) {
  if (type != kRegSz && type != kRegExpandSz && type != kRegMultiSz) return data.size();
  return 2 * (Utf16Units(data) + MissingTerminators(type, data));
}

void PutU32(std::string* out, uint32_t v) {
  for (int k = 0; k < 4; ++k) out->push_back(static_cast<char>((v >> (8 * k)) & 0xFF));
}

bool GetU32(std::string_view in, size_t* pos, uint32_t* v) {
  if (in.size() - *pos < 4) return false;
  *v = 0;
  for (int k = 0; k < 4; ++k) *v |= static_cast<uint32_t>(static_cast<unsigned char>(in[*pos + k])) << (8 * k);
  *pos += 4;
  return true;
}

bool GetBytes(std::string_view in, size_t* pos, std::string* out) {
  uint32_t len = 0;
  if (!GetU32(in, pos, &len) || in.size() - *pos < len) return false;
  out->assign(in.substr(*pos, len));
  *pos += len;
  return true;
}

// magic, then per value: name length, name, type, data length, data (u32 LE).
std::string SerializeValues(const std::vector<StoredValue>& values) {
  std::string out(kValuesMagic);
  for (const StoredValue& v : values) {
    PutU32(&out, static_cast<uint32_t>(v.name.size()));
    out += v.name;
    PutU32(&out, v.type);
    PutU32(&out, static_cast<uint32_t>(v.data.size()));
    out += v.data;
  }
  return out;
}

bool ParseValues(std::string_view in, std::vector<StoredValue>* values) {
  values->clear();
  if (in.empty()) return true;  // cut short by a crash of the whole machine: no values
  if (in.substr(0, kValuesMagic.size()) != kValuesMagic) return false;
  size_t pos = kValuesMagic.size();
  while (pos < in.size()) {
    StoredValue v;
    if (!GetBytes(in, &pos, &v.name) || !GetU32(in, &pos, &v.type) || !GetBytes(in, &pos, &v.data)) return false;
    values->push_back(std::move(v));
  }
  return true;
}

const StoredValue* FindStored(const std::vector<StoredValue>& values, std::string_view name) {
  for (const StoredValue& v : values) {
    if (EqualsFolded(v.name, name)) return &v;
  }
  return nullptr;
}

// ---------------------------------------------------------------- files

long StatusFromErrno(int e) {
  switch (e) {
    case ENOENT:
      return kErrorFileNotFound;
    case EACCES:
    case EPERM:
    case EROFS:
    case ELOOP:
    case ENOTDIR:
      return kErrorAccessDenied;
    case ENOSPC:
    case EDQUOT:
      return kErrorDiskFull;
    case ENAMETOOLONG:
      return kErrorInvalidParameter;
    default:
      return kErrorRegistryIoFailed;
  }
}

long OpenDirAt(int at, const char* name, UniqueFd* out) {
  const int fd = ::openat(at, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return StatusFromErrno(errno);
  *out = UniqueFd(fd);
  return kErrorSuccess;
}

// Reads a whole regular file of a key folder (never blocks on a FIFO).
long ReadKeyFile(int dirfd, const char* name, std::string* out) {
  UniqueFd fd(::openat(dirfd, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  if (!fd.valid()) return StatusFromErrno(errno);
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size > kMaxKeyFile) return kErrorRegistryCorrupt;
  out->clear();
  out->reserve(static_cast<size_t>(st.st_size));
  char buf[16384];
  while (true) {
    const ssize_t n = ::read(fd.get(), buf, sizeof buf);
    if (n == 0) return kErrorSuccess;
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return kErrorRegistryIoFailed;
    out->append(buf, static_cast<size_t>(n));
    if (out->size() > static_cast<size_t>(kMaxKeyFile)) return kErrorRegistryCorrupt;
  }
}

long ReadValues(int dirfd, std::vector<StoredValue>* values) {
  values->clear();
  if (dirfd < 0) return kErrorSuccess;
  std::string bytes;
  const long st = ReadKeyFile(dirfd, kValuesFile, &bytes);
  if (st == kErrorFileNotFound) return kErrorSuccess;
  if (st != kErrorSuccess) return st;
  return ParseValues(bytes, values) ? kErrorSuccess : kErrorRegistryCorrupt;
}

long WriteAll(int fd, std::string_view data) {
  while (!data.empty()) {
    const ssize_t n = ::write(fd, data.data(), data.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return StatusFromErrno(errno);
    data.remove_prefix(static_cast<size_t>(n));
  }
  return kErrorSuccess;
}

// Creates `name` afresh (an earlier file or link of that name is removed
// first, never followed) with exactly `mode`, owned by `owner` when >= 0.
long WriteNewFile(int dirfd, const char* name, std::string_view data, mode_t mode, int owner) {
  ::unlinkat(dirfd, name, 0);
  UniqueFd fd(::openat(dirfd, name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode));
  if (!fd.valid()) return StatusFromErrno(errno);
  long st = ::fchmod(fd.get(), mode) == 0 ? kErrorSuccess : StatusFromErrno(errno);
  if (st == kErrorSuccess && owner >= 0 && ::fchown(fd.get(), static_cast<uid_t>(owner), static_cast<gid_t>(-1)) != 0)
    st = StatusFromErrno(errno);
  if (st == kErrorSuccess) st = WriteAll(fd.get(), data);
  if (::close(fd.release()) != 0 && st == kErrorSuccess) st = StatusFromErrno(errno);
  if (st != kErrorSuccess) ::unlinkat(dirfd, name, 0);
  return st;
}

// Removes every entry of a folder, recursively, without following links.
void RemoveEntries(int dirfd) {
  UniqueFd self(::openat(dirfd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!self.valid()) return;
  DIR* dir = ::fdopendir(self.get());
  if (dir == nullptr) return;
  self.release();
  std::vector<std::pair<std::string, bool>> entries;
  while (const dirent* e = ::readdir(dir)) {
    const std::string name = e->d_name;
    if (name != "." && name != "..") entries.emplace_back(name, e->d_type == DT_DIR || e->d_type == DT_UNKNOWN);
  }
  ::closedir(dir);
  for (const auto& [name, maybe_dir] : entries) {
    if (::unlinkat(dirfd, name.c_str(), 0) == 0 || !maybe_dir) continue;
    UniqueFd sub;
    if (OpenDirAt(dirfd, name.c_str(), &sub) == kErrorSuccess) RemoveEntries(sub.get());
    ::unlinkat(dirfd, name.c_str(), AT_REMOVEDIR);
  }
}

void RemoveTreeAt(int dirfd, const char* name) {
  UniqueFd sub;
  if (OpenDirAt(dirfd, name, &sub) != kErrorSuccess) {
    ::unlinkat(dirfd, name, 0);
    return;
  }
  RemoveEntries(sub.get());
  ::unlinkat(dirfd, name, AT_REMOVEDIR);
}

// Encoded names of a key folder's child keys, ascending.
std::vector<std::string> ListChildFolders(int dirfd) {
  std::vector<std::string> out;
  if (dirfd < 0) return out;
  UniqueFd self(::openat(dirfd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  DIR* dir = self.valid() ? ::fdopendir(self.get()) : nullptr;
  if (dir == nullptr) return out;
  self.release();
  std::string folded;
  while (const dirent* e = ::readdir(dir)) {
    if (!IsKeyFolderName(e->d_name, &folded)) continue;
    bool is_dir = e->d_type == DT_DIR;
    struct stat st {};
    if (e->d_type == DT_UNKNOWN && ::fstatat(dirfd, e->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0)
      is_dir = S_ISDIR(st.st_mode);
    if (is_dir) out.emplace_back(e->d_name);
  }
  ::closedir(dir);
  std::sort(out.begin(), out.end(), [](const std::string& a, const std::string& b) {
    std::string fa, fb;
    DecodeComponent(a, &fa);
    DecodeComponent(b, &fb);
    return fa < fb;
  });
  return out;
}

// The child key's name as first spelled; the folded name when NAME is lost.
std::string ChildSpelling(int dirfd, const std::string& folder) {
  std::string folded;
  DecodeComponent(folder, &folded);
  UniqueFd child;
  std::string name;
  if (OpenDirAt(dirfd, folder.c_str(), &child) != kErrorSuccess) return folded;
  if (ReadKeyFile(child.get(), kNameFile, &name) != kErrorSuccess) return folded;
  return EncodeComponent(name) == folder ? name : folded;
}

// An exclusive or shared hold on a key's LOCK, released on destruction.
class KeyLock {
 public:
  // ERROR_KEY_DELETED when the key was removed (its LOCK is gone or unlinked).
  long Acquire(int dirfd, int how) {
    fd_ = UniqueFd(::openat(dirfd, kLockFile, O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (!fd_.valid()) return errno == ENOENT ? kErrorKeyDeleted : StatusFromErrno(errno);
    while (::flock(fd_.get(), how) != 0) {
      if (errno != EINTR) return kErrorRegistryIoFailed;
    }
    struct stat st {};
    if (::fstat(fd_.get(), &st) != 0) return kErrorRegistryIoFailed;
    if (!S_ISREG(st.st_mode)) return kErrorRegistryCorrupt;
    return st.st_nlink == 0 ? kErrorKeyDeleted : kErrorSuccess;
  }

 private:
  UniqueFd fd_;
};

// ---------------------------------------------------------------- store

struct Side {
  std::string hive_dir;  // absolute or relative to the working folder
  int owner = -1;        // uid given to everything created here; -1: ours
};

struct StoreConfig {
  Side machine;
  Side user;
  RegOsBits os = RegOsBits::k64;
  bool usable = false;  // false when no store folder was given
};

struct Target {
  const Side* side = nullptr;
  std::vector<std::string> parts;  // physical path below the hive folder
};

StoreConfig MakeConfig(std::string root, unsigned uid, RegOsBits os) {
  StoreConfig c;
  while (root.size() > 1 && root.back() == '/') root.pop_back();
  c.usable = !root.empty();
  c.machine.hive_dir = root + "/HKLM";
  c.user.hive_dir = root + "/HKU/" + std::to_string(uid);
  if (::geteuid() == 0 && uid != 0) c.user.owner = static_cast<int>(uid);
  c.os = os;
  return c;
}

// The WOW64 rule for HKLM in the 32-bit view.
std::vector<std::string> Redirected(std::vector<std::string> parts, RegView view, RegOsBits os) {
  if (view != RegView::k32Key || os != RegOsBits::k64) return parts;
  if (parts.empty() || !EqualsFolded(parts[0], "SOFTWARE")) return parts;
  if (parts.size() >= 2 && (EqualsFolded(parts[1], "WOW6432Node") || EqualsFolded(parts[1], "Classes")))
    return parts;
  parts.insert(parts.begin() + 1, "WOW6432Node");
  return parts;
}

std::vector<std::string> UnderClasses(const std::vector<std::string>& parts) {
  std::vector<std::string> out{"Software", "Classes"};
  out.insert(out.end(), parts.begin(), parts.end());
  return out;
}

// Where changes go: HKLM (redirected), HKCU, or HKLM\Software\Classes.
Target MainTarget(const StoreConfig& c, RegHive hive, RegView view, const std::vector<std::string>& logical) {
  switch (hive) {
    case RegHive::kLocalMachine:
      return {&c.machine, Redirected(logical, view, c.os)};
    case RegHive::kCurrentUser:
      return {&c.user, logical};
    case RegHive::kClassesRoot:
      break;
  }
  return {&c.machine, UnderClasses(logical)};
}

long WalkExisting(const Target& t, UniqueFd* out) {
  UniqueFd fd(::open(t.side->hive_dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!fd.valid()) return errno == ENOENT ? kErrorFileNotFound : StatusFromErrno(errno);
  for (const std::string& part : t.parts) {
    UniqueFd next(::openat(fd.get(), EncodeComponent(part).c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!next.valid()) {
      const int e = errno;
      return (e == ENOENT || e == ENOTDIR || e == ELOOP) ? kErrorFileNotFound : StatusFromErrno(e);
    }
    fd = std::move(next);
  }
  *out = std::move(fd);
  return kErrorSuccess;
}

long MakeDir(const std::string& path, int owner) {
  if (::mkdir(path.c_str(), kDirMode) != 0) return errno == EEXIST ? kErrorSuccess : StatusFromErrno(errno);
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!fd.valid() || ::fchmod(fd.get(), kDirMode) != 0) return StatusFromErrno(errno);
  if (owner >= 0 && ::fchown(fd.get(), static_cast<uid_t>(owner), static_cast<gid_t>(-1)) != 0)
    return StatusFromErrno(errno);
  return kErrorSuccess;
}

// Creates the hive folder (every missing level) and its LOCK.
long EnsureHive(const Side& side) {
  const std::string& dir = side.hive_dir;
  for (size_t pos = dir.find('/', 1); pos != std::string::npos; pos = dir.find('/', pos + 1)) {
    if (const long st = MakeDir(dir.substr(0, pos), -1); st != kErrorSuccess) return st;
  }
  if (const long st = MakeDir(dir, side.owner); st != kErrorSuccess) return st;
  UniqueFd hive(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!hive.valid()) return StatusFromErrno(errno);
  UniqueFd lock(::openat(hive.get(), kLockFile, O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, kLockMode));
  if (!lock.valid()) return errno == EACCES ? kErrorSuccess : StatusFromErrno(errno);  // a reader's open
  if (side.owner >= 0) (void)::fchown(lock.get(), static_cast<uid_t>(side.owner), static_cast<gid_t>(-1));
  return kErrorSuccess;
}

// Builds the child key in NEWKEY.TMP and renames it into place, so that it
// appears whole. The caller holds the parent's lock.
long AssembleChild(int parent, const std::string& name, const std::string& folder, int owner) {
  RemoveTreeAt(parent, kNewKeyDir);
  if (::mkdirat(parent, kNewKeyDir, kDirMode) != 0) return StatusFromErrno(errno);
  UniqueFd tmp;
  long st = OpenDirAt(parent, kNewKeyDir, &tmp);
  if (st == kErrorSuccess && ::fchmod(tmp.get(), kDirMode) != 0) st = StatusFromErrno(errno);
  if (st == kErrorSuccess && owner >= 0 && ::fchown(tmp.get(), static_cast<uid_t>(owner), static_cast<gid_t>(-1)) != 0)
    st = StatusFromErrno(errno);
  if (st == kErrorSuccess) st = WriteNewFile(tmp.get(), kNameFile, name, kFileMode, owner);
  if (st == kErrorSuccess) st = WriteNewFile(tmp.get(), kLockFile, "", kLockMode, owner);
  if (st == kErrorSuccess && ::renameat(parent, kNewKeyDir, parent, folder.c_str()) != 0) {
    // A folder of that name exists after all (made outside the store?): use it.
    st = (errno == EEXIST || errno == ENOTEMPTY) ? kErrorSuccess : StatusFromErrno(errno);
  }
  if (st != kErrorSuccess || ::faccessat(parent, kNewKeyDir, F_OK, AT_SYMLINK_NOFOLLOW) == 0)
    RemoveTreeAt(parent, kNewKeyDir);
  return st;
}

// Opens the child `name` of `parent`, creating it when missing.
long OpenOrCreateChild(int parent, const std::string& name, int owner, UniqueFd* out, bool* created) {
  const std::string folder = EncodeComponent(name);
  *created = false;
  if (const long st = OpenDirAt(parent, folder.c_str(), out); st != kErrorFileNotFound) return st;
  KeyLock lock;
  if (const long st = lock.Acquire(parent, LOCK_EX); st != kErrorSuccess) return st;
  if (OpenDirAt(parent, folder.c_str(), out) == kErrorSuccess) return kErrorSuccess;  // made meanwhile
  if (const long st = AssembleChild(parent, name, folder, owner); st != kErrorSuccess) return st;
  *created = true;
  return OpenDirAt(parent, folder.c_str(), out);
}

long WalkCreating(const Target& t, UniqueFd* out, bool* created) {
  bool made = false;
  if (const long st = EnsureHive(*t.side); st != kErrorSuccess) return st;
  UniqueFd fd(::open(t.side->hive_dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!fd.valid()) return StatusFromErrno(errno);
  for (const std::string& part : t.parts) {
    UniqueFd next;
    if (const long st = OpenOrCreateChild(fd.get(), part, t.side->owner, &next, &made); st != kErrorSuccess)
      return st;
    fd = std::move(next);
  }
  if (created != nullptr) *created = made;
  *out = std::move(fd);
  return kErrorSuccess;
}

// Removes a locked key folder: LOCK first (so waiting and later writers see
// the key deleted), then the rest, then the folder.
long DestroyKey(int parent, const char* folder, int keyfd) {
  ::unlinkat(keyfd, kLockFile, 0);
  RemoveEntries(keyfd);
  if (::unlinkat(parent, folder, AT_REMOVEDIR) != 0) return StatusFromErrno(errno);
  return kErrorSuccess;
}

long RemoveLockedKey(int parent, const std::string& folder, int keyfd);

// Deletes every child key of a locked key, depth first, each under its lock.
void DestroyChildren(int keyfd) {
  for (const std::string& folder : ListChildFolders(keyfd)) {
    UniqueFd child;
    KeyLock lock;
    if (OpenDirAt(keyfd, folder.c_str(), &child) != kErrorSuccess) continue;
    if (lock.Acquire(child.get(), LOCK_EX) != kErrorSuccess) continue;  // already gone, or swept below
    RemoveLockedKey(keyfd, folder, child.get());
  }
}

// Takes a locked key out of the tree first (renamed to DELETING.TMP, so a
// deleter killed halfway leaves junk nobody lists, not a half-deleted key),
// then removes it with its children. The caller holds the parent's lock.
long RemoveLockedKey(int parent, const std::string& folder, int keyfd) {
  RemoveTreeAt(parent, kDeletingDir);
  if (::renameat(parent, folder.c_str(), parent, kDeletingDir) != 0) return StatusFromErrno(errno);
  DestroyChildren(keyfd);
  return DestroyKey(parent, kDeletingDir, keyfd);
}

// Deletes the key at `t`; with `tree` its subkeys too, else a key that has
// subkeys is refused with ERROR_ACCESS_DENIED.
long DeleteKeyAt(const Target& t, bool tree) {
  if (t.parts.empty()) return kErrorInvalidParameter;
  Target parent_target{t.side, {t.parts.begin(), t.parts.end() - 1}};
  UniqueFd parent, child;
  if (const long st = WalkExisting(parent_target, &parent); st != kErrorSuccess) return st;
  KeyLock parent_lock, child_lock;
  long st = parent_lock.Acquire(parent.get(), LOCK_EX);
  if (st != kErrorSuccess) return st == kErrorKeyDeleted ? kErrorFileNotFound : st;
  const std::string folder = EncodeComponent(t.parts.back());
  if (OpenDirAt(parent.get(), folder.c_str(), &child) != kErrorSuccess)
    return (errno == ENOENT || errno == ENOTDIR || errno == ELOOP) ? kErrorFileNotFound : StatusFromErrno(errno);
  st = child_lock.Acquire(child.get(), LOCK_EX);
  if (st != kErrorSuccess) return st == kErrorKeyDeleted ? kErrorFileNotFound : st;
  if (!tree && !ListChildFolders(child.get()).empty()) return kErrorAccessDenied;
  return RemoveLockedKey(parent.get(), folder, child.get());
}

// Read-modify-write of a key's values under its exclusive lock. A values
// file that cannot be parsed is kept as VALUES.BAD and the key starts afresh.
template <typename Change>
long ModifyValues(int dirfd, int owner, Change change) {
  KeyLock lock;
  if (const long st = lock.Acquire(dirfd, LOCK_EX); st != kErrorSuccess) return st;
  std::vector<StoredValue> values;
  long st = ReadValues(dirfd, &values);
  if (st == kErrorRegistryCorrupt && ::renameat(dirfd, kValuesFile, dirfd, kValuesBad) == 0) st = kErrorSuccess;
  if (st != kErrorSuccess) return st;
  if ((st = change(values)) != kErrorSuccess) return st;
  if ((st = WriteNewFile(dirfd, kValuesTemp, SerializeValues(values), kFileMode, owner)) != kErrorSuccess) return st;
  if (auto hook = g_before_replace_hook.load()) hook();
  if (::renameat(dirfd, kValuesTemp, dirfd, kValuesFile) != 0) {
    st = StatusFromErrno(errno);
    ::unlinkat(dirfd, kValuesTemp, 0);
  }
  return st;
}

long FillValue(const StoredValue& v, size_t buffer_bytes, RegValue* out) {
  out->type = v.type;
  out->size = WireSize(v.type, v.data);
  out->data.clear();
  if (out->size > buffer_bytes) return kErrorMoreData;
  out->data = v.data;
  return kErrorSuccess;
}

}  // namespace

// ---------------------------------------------------------------- RegKey

struct RegKey::State {
  StoreConfig config;
  RegHive hive = RegHive::kLocalMachine;
  RegView view = RegView::kNone;
  uint32_t access = 0;
  std::vector<std::string> path;  // logical components, as asked
  UniqueFd main;                  // where changes go; HKCR: may be unopened
  UniqueFd overlay;               // HKCR only: HKCU\Software\Classes, read first

  long Check(uint32_t needed) const { return (access & needed) == needed ? kErrorSuccess : kErrorAccessDenied; }
  // Both sides' values, the overlay's first (HKCR merge).
  long ReadMerged(std::vector<StoredValue>* values) const;
  long ListMerged(std::vector<std::pair<std::string, int>>* children) const;
  long Find(std::string_view name, StoredValue* out) const;
  long EnsureMain();
  template <typename Change>
  long Modify(Change change);
};

long RegKey::State::ReadMerged(std::vector<StoredValue>* values) const {
  std::vector<StoredValue> lower;
  if (const long st = ReadValues(overlay.get(), values); st != kErrorSuccess) return st;
  if (const long st = ReadValues(main.get(), &lower); st != kErrorSuccess) return st;
  for (StoredValue& v : lower) {
    if (FindStored(*values, v.name) == nullptr) values->push_back(std::move(v));
  }
  return kErrorSuccess;
}

// Child folders of both sides, ascending, each with the folder fd to read
// its spelling from (the overlay's when both have it).
long RegKey::State::ListMerged(std::vector<std::pair<std::string, int>>* children) const {
  std::map<std::string, std::pair<std::string, int>> by_name;
  for (int fd : {main.get(), overlay.get()}) {
    for (std::string& folder : ListChildFolders(fd)) {
      std::string folded;
      DecodeComponent(folder, &folded);
      by_name[folded] = {std::move(folder), fd};
    }
  }
  children->clear();
  for (auto& [folded, entry] : by_name) children->push_back(std::move(entry));
  return kErrorSuccess;
}

long RegKey::State::Find(std::string_view name, StoredValue* out) const {
  if (const long st = ValidateValueName(name); st != kErrorSuccess) return st;
  for (int fd : {overlay.get(), main.get()}) {
    std::vector<StoredValue> values;
    if (const long st = ReadValues(fd, &values); st != kErrorSuccess) return st;
    if (const StoredValue* v = FindStored(values, name)) {
      *out = *v;
      return kErrorSuccess;
    }
  }
  return kErrorFileNotFound;
}

// HKCR keys found only under HKCU get their machine key on the first change.
long RegKey::State::EnsureMain() {
  if (main.valid()) return kErrorSuccess;
  return WalkCreating(MainTarget(config, hive, view, path), &main, nullptr);
}

template <typename Change>
long RegKey::State::Modify(Change change) {
  if (const long st = Check(kKeySetValue); st != kErrorSuccess) return st;
  if (const long st = EnsureMain(); st != kErrorSuccess) return st;
  const int owner = hive == RegHive::kCurrentUser ? config.user.owner : -1;
  return ModifyValues(main.get(), owner, change);
}

namespace {

long OpenImpl(const StoreConfig& config, RegHive hive, RegView view, std::vector<std::string> path, uint32_t access,
              bool create, RegKey::State* s, bool* created) {
  if (!config.usable) return kErrorInvalidParameter;
  s->config = config;
  s->hive = hive;
  s->view = view;
  s->access = access;
  s->path = std::move(path);
  const Target main = MainTarget(s->config, hive, view, s->path);
  if (hive == RegHive::kClassesRoot) {
    (void)WalkExisting({&s->config.user, UnderClasses(s->path)}, &s->overlay);
  }
  // A hive (and HKCR's machine side) always opens: it is made when missing.
  long st = create || s->path.empty() ? WalkCreating(main, &s->main, created) : WalkExisting(main, &s->main);
  if (st != kErrorSuccess && !create) st = WalkExisting(main, &s->main);
  if (st == kErrorFileNotFound && s->overlay.valid()) st = kErrorSuccess;
  if (st != kErrorSuccess) return st;
  if ((access & kWriteRights) != 0 && s->main.valid() && ::faccessat(s->main.get(), ".", W_OK, AT_EACCESS) != 0)
    return kErrorAccessDenied;
  return kErrorSuccess;
}

long OpenInto(const StoreConfig& config, RegHive hive, RegView view, std::vector<std::string> path, uint32_t access,
              bool create, RegKey* key, bool* created, std::unique_ptr<RegKey::State>* slot) {
  auto state = std::make_unique<RegKey::State>();
  if (created != nullptr) *created = false;
  const long st = OpenImpl(config, hive, view, std::move(path), access, create, state.get(), created);
  key->Close();
  if (st == kErrorSuccess) *slot = std::move(state);
  return st;
}

}  // namespace

RegKey::RegKey() = default;
RegKey::~RegKey() = default;
RegKey::RegKey(RegKey&& other) noexcept = default;
RegKey& RegKey::operator=(RegKey&& other) noexcept = default;

bool RegKey::IsOpen() const { return state_ != nullptr; }
void RegKey::Close() { state_.reset(); }

long RegKey::QueryValue(std::string_view name, size_t buffer_bytes, RegValue* value) const {
  if (!state_) return kErrorInvalidHandle;
  if (const long st = state_->Check(kKeyQueryValue); st != kErrorSuccess) return st;
  StoredValue v;
  if (const long st = state_->Find(name, &v); st != kErrorSuccess) return st;
  return FillValue(v, buffer_bytes, value);
}

long RegKey::QueryString(std::string_view name, size_t buffer_bytes, std::string* text) const {
  RegValue v;
  const long st = QueryValue(name, buffer_bytes, &v);
  if (st != kErrorSuccess && st != kErrorMoreData) return st;
  if (v.type != kRegSz) return kErrorUnsupportedType;
  if (st != kErrorSuccess) return st;
  *text = v.data.substr(0, v.data.find('\0'));
  return kErrorSuccess;
}

long RegKey::QueryDword(std::string_view name, uint32_t* number, uint32_t* type) const {
  RegValue v;
  const long st = QueryValue(name, kRegUnlimited, &v);
  if (st != kErrorSuccess) return st;
  if (v.type != kRegDword && v.type != kRegDwordBigEndian) return kErrorUnsupportedType;
  if (v.data.size() != 4) return kErrorInvalidData;
  uint32_t n = 0;
  for (int k = 0; k < 4; ++k) {
    const int shift = v.type == kRegDword ? 8 * k : 8 * (3 - k);
    n |= static_cast<uint32_t>(static_cast<unsigned char>(v.data[static_cast<size_t>(k)])) << shift;
  }
  *number = n;
  if (type != nullptr) *type = v.type;
  return kErrorSuccess;
}

long RegKey::QueryMultiString(std::string_view name, size_t buffer_bytes, std::vector<std::string>* texts) const {
  RegValue v;
  const long st = QueryValue(name, buffer_bytes, &v);
  if (st != kErrorSuccess && st != kErrorMoreData) return st;
  if (v.type != kRegMultiSz) return kErrorUnsupportedType;
  if (st != kErrorSuccess) return st;
  texts->clear();
  for (size_t start = 0; start < v.data.size();) {
    const size_t end = std::min(v.data.find('\0', start), v.data.size());
    if (end == start) break;  // the empty text ends the list
    texts->push_back(v.data.substr(start, end - start));
    start = end + 1;
  }
  return kErrorSuccess;
}

long RegKey::SetValue(std::string_view name, uint32_t type, std::string_view data) {
  if (!state_) return kErrorInvalidHandle;
  if (const long st = ValidateValueName(name); st != kErrorSuccess) return st;
  if (data.size() > UINT32_MAX) return kErrorInvalidParameter;
  return state_->Modify([&](std::vector<StoredValue>& values) {
    for (StoredValue& v : values) {
      if (EqualsFolded(v.name, name)) {
        v.type = type;
        v.data.assign(data);
        return kErrorSuccess;
      }
    }
    values.push_back({std::string(name), type, std::string(data)});
    return kErrorSuccess;
  });
}

long RegKey::SetString(std::string_view name, std::string_view text) {
  if (text.find('\0') != std::string_view::npos) return kErrorInvalidParameter;
  return SetValue(name, kRegSz, text);
}

long RegKey::SetDword(std::string_view name, uint32_t number) {
  std::string data;
  PutU32(&data, number);
  return SetValue(name, kRegDword, data);
}

long RegKey::SetMultiString(std::string_view name, const std::vector<std::string>& texts) {
  std::string data;
  for (const std::string& t : texts) {
    if (t.empty() || t.find('\0') != std::string::npos) return kErrorInvalidParameter;
    data += t;
    data += '\0';
  }
  data += '\0';
  return SetValue(name, kRegMultiSz, data);
}

long RegKey::DeleteValue(std::string_view name) {
  if (!state_) return kErrorInvalidHandle;
  if (const long st = ValidateValueName(name); st != kErrorSuccess) return st;
  if (state_->Check(kKeySetValue) == kErrorSuccess && !state_->main.valid()) return kErrorFileNotFound;
  return state_->Modify([&](std::vector<StoredValue>& values) {
    const auto it = std::find_if(values.begin(), values.end(),
                                 [&](const StoredValue& v) { return EqualsFolded(v.name, name); });
    if (it == values.end()) return kErrorFileNotFound;
    values.erase(it);
    return kErrorSuccess;
  });
}

long RegKey::EnumKey(uint32_t index, std::string* name) const {
  if (!state_) return kErrorInvalidHandle;
  if (const long st = state_->Check(kKeyEnumerateSubKeys); st != kErrorSuccess) return st;
  std::vector<std::pair<std::string, int>> children;
  if (const long st = state_->ListMerged(&children); st != kErrorSuccess) return st;
  if (index >= children.size()) return kErrorNoMoreItems;
  *name = ChildSpelling(children[index].second, children[index].first);
  return kErrorSuccess;
}

long RegKey::EnumValue(uint32_t index, std::string* name, RegValue* value) const {
  if (!state_) return kErrorInvalidHandle;
  if (const long st = state_->Check(kKeyQueryValue); st != kErrorSuccess) return st;
  std::vector<StoredValue> values;
  if (const long st = state_->ReadMerged(&values); st != kErrorSuccess) return st;
  if (index >= values.size()) return kErrorNoMoreItems;
  *name = values[index].name;
  if (value != nullptr) FillValue(values[index], kRegUnlimited, value);
  return kErrorSuccess;
}

long RegKey::QueryInfo(uint32_t* subkeys, uint32_t* values) const {
  if (!state_) return kErrorInvalidHandle;
  if (const long st = state_->Check(kKeyQueryValue); st != kErrorSuccess) return st;
  std::vector<std::pair<std::string, int>> children;
  std::vector<StoredValue> stored;
  if (const long st = state_->ListMerged(&children); st != kErrorSuccess) return st;
  if (const long st = state_->ReadMerged(&stored); st != kErrorSuccess) return st;
  if (subkeys != nullptr) *subkeys = static_cast<uint32_t>(children.size());
  if (values != nullptr) *values = static_cast<uint32_t>(stored.size());
  return kErrorSuccess;
}

long RegKey::OpenSubKey(std::string_view path, uint32_t access, RegKey* key) const {
  if (!state_) return kErrorInvalidHandle;
  std::vector<std::string> parts;
  if (const long st = SplitKeyPath(path, &parts); st != kErrorSuccess) return st;
  std::vector<std::string> full = state_->path;
  full.insert(full.end(), parts.begin(), parts.end());
  return OpenInto(state_->config, state_->hive, state_->view, std::move(full), access, false, key, nullptr,
                  &key->state_);
}

long RegKey::CreateSubKey(std::string_view path, uint32_t access, RegKey* key, bool* created) const {
  if (!state_) return kErrorInvalidHandle;
  if (const long st = state_->Check(kKeyCreateSubKey); st != kErrorSuccess) return st;
  std::vector<std::string> parts;
  if (const long st = SplitKeyPath(path, &parts); st != kErrorSuccess) return st;
  std::vector<std::string> full = state_->path;
  full.insert(full.end(), parts.begin(), parts.end());
  return OpenInto(state_->config, state_->hive, state_->view, std::move(full), access, true, key, created,
                  &key->state_);
}

long RegKey::DeleteSubKey(std::string_view path) {
  if (!state_) return kErrorInvalidHandle;
  std::vector<std::string> parts;
  if (const long st = SplitKeyPath(path, &parts); st != kErrorSuccess) return st;
  if (parts.empty()) return kErrorInvalidParameter;
  std::vector<std::string> full = state_->path;
  full.insert(full.end(), parts.begin(), parts.end());
  return DeleteKeyAt(MainTarget(state_->config, state_->hive, state_->view, full), false);
}

long RegKey::DeleteTree(std::string_view path) {
  if (!state_) return kErrorInvalidHandle;
  if (const long st = state_->Check(kKeyDelete | kKeyEnumerateSubKeys | kKeyQueryValue); st != kErrorSuccess)
    return st;
  std::vector<std::string> parts;
  if (const long st = SplitKeyPath(path, &parts); st != kErrorSuccess) return st;
  if (!parts.empty()) {
    std::vector<std::string> full = state_->path;
    full.insert(full.end(), parts.begin(), parts.end());
    return DeleteKeyAt(MainTarget(state_->config, state_->hive, state_->view, full), true);
  }
  if (!state_->main.valid()) return kErrorSuccess;
  KeyLock lock;
  if (const long st = lock.Acquire(state_->main.get(), LOCK_EX); st != kErrorSuccess) return st;
  DestroyChildren(state_->main.get());
  if (::unlinkat(state_->main.get(), kValuesFile, 0) != 0 && errno != ENOENT) return StatusFromErrno(errno);
  for (const char* junk : {kValuesTemp, kValuesBad}) ::unlinkat(state_->main.get(), junk, 0);
  return ListChildFolders(state_->main.get()).empty() ? kErrorSuccess : kErrorAccessDenied;
}

// ---------------------------------------------------------------- Registry

Registry::Registry(std::string root_dir, unsigned desktop_uid, RegOsBits os)
    : root_dir_(std::move(root_dir)), desktop_uid_(desktop_uid), os_(os) {}

long Registry::OpenKey(RegHive hive, std::string_view path, uint32_t access, RegView view, RegKey* key) const {
  std::vector<std::string> parts;
  if (const long st = SplitKeyPath(path, &parts); st != kErrorSuccess) return st;
  return OpenInto(MakeConfig(root_dir_, desktop_uid_, os_), hive, view, std::move(parts), access, false, key, nullptr,
                  &key->state_);
}

long Registry::CreateKey(RegHive hive, std::string_view path, uint32_t access, RegView view, RegKey* key,
                         bool* created) const {
  std::vector<std::string> parts;
  if (const long st = SplitKeyPath(path, &parts); st != kErrorSuccess) return st;
  return OpenInto(MakeConfig(root_dir_, desktop_uid_, os_), hive, view, std::move(parts), access, true, key, created,
                  &key->state_);
}

void SetRegistryBeforeReplaceHookForTesting(void (*hook)()) { g_before_replace_hook.store(hook); }

}  // namespace oru
