#pragma once
// Folders and files. Paths are native UTF-8 paths; the separator is
// kPathSeparator. Every function reports failure by its return value and
// never throws.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace oru {

inline constexpr char kPathSeparator = '/';

// The path with one separator appended when it does not end in one.
std::string WithTrailingSeparator(std::string path);
// Joins two parts with exactly one separator between them.
std::string JoinPath(const std::string& base, const std::string& name);

bool PathExists(const std::string& path);
bool DirectoryExists(const std::string& path);

// Creates every missing level of `path` in turn (mode 0755). True when the
// folder exists afterwards; false when a level could not be created or a
// level exists as something other than a folder.
bool CreateDirectoryLevels(const std::string& path);

struct FileEntry {
  std::string path;           // full path
  std::string name;           // last component
  int64_t mtime_seconds = 0;  // last modification, Unix seconds
  int64_t mtime_nanoseconds = 0;  // sub-second part, 0..999999999
};

// The plain files of a folder (no sub-folders, no recursion, no symbolic
// links), in no particular order. Empty when the folder cannot be read.
std::vector<FileEntry> ListFiles(const std::string& dir);

// True when the file can be opened for reading.
bool CanOpenForReading(const std::string& path);
bool RemoveFile(const std::string& path);
// rename(2) semantics: replaces an existing target atomically.
bool RenameFile(const std::string& from, const std::string& to);

bool ReadWholeFile(const std::string& path, std::string& data);
// Writes to a new temporary file beside `path` and renames it over `path`,
// so readers see the old or the new contents, never a torn file.
bool WriteFileAtomically(const std::string& path, const std::string& data);

// Creates a new file in `dir` with a unique name starting with `prefix`,
// exclusively (never follows or reuses an existing name or link), mode 0600,
// holding `contents`. Returns its path, or nullopt on failure.
std::optional<std::string> CreateUniqueTempFile(const std::string& dir, const std::string& prefix,
                                                const std::string& contents);

struct DiskSpace {
  uint64_t available_to_caller = 0;  // what an unprivileged writer may use
  uint64_t total = 0;
  uint64_t free = 0;  // including blocks reserved for root
};
// Space of the file system holding `path`; nullopt when it cannot be asked.
std::optional<DiskSpace> GetDiskSpace(const std::string& path);

}  // namespace oru
