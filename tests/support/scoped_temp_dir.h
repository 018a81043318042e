#pragma once
// A fresh folder under $TMPDIR (or /tmp) for one test, removed with
// everything in it when the object goes away.

#include <string>

namespace oru::testing {

class ScopedTempDir {
 public:
  ScopedTempDir();
  ~ScopedTempDir();
  ScopedTempDir(const ScopedTempDir&) = delete;
  ScopedTempDir& operator=(const ScopedTempDir&) = delete;

  // Absolute path without a trailing separator.
  const std::string& path() const { return path_; }
  // path() + "/" + relative.
  std::string Child(const std::string& relative) const { return path_ + "/" + relative; }

 private:
  std::string path_;
};

// Whole-file helpers for tests (abort the test on failure via gtest).
std::string ReadFileForTesting(const std::string& path);
void WriteFileForTesting(const std::string& path, const std::string& data);

}  // namespace oru::testing
