#include "app/simple_log.h"

#include <algorithm>
#include <cstdio>
#include <tuple>
#include <vector>

#include "platform/file_util.h"
#include "platform/process_util.h"

namespace oru {
namespace {

struct NameParts {
  std::string dir;   // up to and including the last separator
  std::string stem;  // file name up to its last dot
  std::string ext;   // from the last dot, dot included
};

NameParts SplitName(const std::string& path) {
  NameParts parts;
  size_t slash = path.rfind(kPathSeparator);
  size_t name_start = slash == std::string::npos ? 0 : slash + 1;
  parts.dir = path.substr(0, name_start);
  std::string name = path.substr(name_start);
  size_t dot = name.rfind('.');
  parts.stem = name.substr(0, dot);
  parts.ext = dot == std::string::npos ? std::string() : name.substr(dot);
  return parts;
}

std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string Format(const char* format, ...) {
  va_list args;
  va_start(args, format);
  char buf[4096];
  int n = std::vsnprintf(buf, sizeof buf, format, args);
  va_end(args);
  if (n < 0) return {};
  return std::string(buf, std::min(static_cast<size_t>(n), sizeof buf - 1));
}

}  // namespace

simpleLog::simpleLog(std::string file_name, Clock& clock)
    : clock_(clock), configured_file_name_(std::move(file_name)) {}

void simpleLog::Open() {
  if (configured_file_name_.empty()) {
    std::fputs("[simpleLog::Log] log filename is empty\n", stdout);
  }
  if (opened_ != 0) return;
  current_file_name_ = configured_file_name_;
  opened_ = 1;
  if (backup_ == 0 || current_file_name_.empty()) return;
  NameParts parts = SplitName(current_file_name_);
  PruneOldCopies(parts.dir, parts.stem, parts.ext);
  RenameFile(current_file_name_, ChooseBackupName(parts.dir, parts.stem, parts.ext));
}

// Every file of the family counts, the live one included; the oldest go
// first. Files are ordered by modification time down to the nanosecond and
// then by name, so copies made within one second are counted one by one
// instead of collapsing into a single entry that is never pruned.
void simpleLog::PruneOldCopies(const std::string& dir, const std::string& stem, const std::string& ext) {
  std::vector<FileEntry> family;
  for (FileEntry& f : ListFiles(dir.empty() ? std::string(".") : dir)) {
    std::string full = dir + f.name;
    if (full.find(stem) == std::string::npos || full.find(ext) == std::string::npos) continue;
    f.path = full;
    family.push_back(std::move(f));
  }
  if (family.size() <= kKeptFiles) return;
  std::sort(family.begin(), family.end(), [](const FileEntry& a, const FileEntry& b) {
    return std::tie(a.mtime_seconds, a.mtime_nanoseconds, a.path) <
           std::tie(b.mtime_seconds, b.mtime_nanoseconds, b.path);
  });
  for (size_t i = 0; i + kKeptFiles < family.size(); ++i) RemoveFile(family[i].path);
}

std::string simpleLog::ChooseBackupName(const std::string& dir, const std::string& stem, const std::string& ext) {
  LocalDateTime today = ToLocalDateTime(UnixSeconds(clock_.Now()));
  std::string name =
      Format("%s%s_%4d-%02d-%02d%s", dir.c_str(), stem.c_str(), today.year, today.month, today.day, ext.c_str());
  for (int n = 1; CanOpenForReading(name); ++n) {
    name = Format("%s%s_%4d-%02d-%02d_%d%s", dir.c_str(), stem.c_str(), today.year, today.month, today.day, n,
                  ext.c_str());
  }
  return name;
}

void simpleLog::Log(int level, const char* format, ...) {
  va_list args;
  va_start(args, format);
  LogV(level, format, args);
  va_end(args);
}

void simpleLog::LogV(int /*level*/, const char* format, va_list args) {
  std::lock_guard<std::mutex> lock(write_lock_);
  FILE* file = std::fopen(current_file_name_.c_str(), "a");
  if (file == nullptr) return;
  LocalDateTime now = ToLocalDateTime(UnixSeconds(clock_.Now()));
  int prefix = std::fprintf(file, "[%4d-%02d-%02d %d:%02d:%02d] %llu - ", now.year, now.month, now.day, now.hour,
                            now.minute, now.second, static_cast<unsigned long long>(CurrentThreadId()));
  if (prefix > 0 && std::vfprintf(file, format, args) >= 0) std::fputc('\n', file);
  std::fclose(file);
}

}  // namespace oru
