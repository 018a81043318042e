#pragma once
// A real size-limited tmpfs for disk-full cases. Mounting needs root (or the
// capability); where it is not permitted the fixture says why and tests skip:
//
//   TmpfsMount disk(4 << 20);
//   if (!disk.mounted()) GTEST_SKIP() << disk.skip_reason();

#include <cstdint>
#include <string>

namespace oru::testing {

class TmpfsMount {
 public:
  // Mounts a tmpfs of `size_bytes` on a fresh folder under $TMPDIR or /tmp.
  explicit TmpfsMount(uint64_t size_bytes);
  // Unmounts (lazily when busy) and removes the folder.
  ~TmpfsMount();
  TmpfsMount(const TmpfsMount&) = delete;
  TmpfsMount& operator=(const TmpfsMount&) = delete;

  bool mounted() const { return mounted_; }
  // The mount point, without a trailing separator.
  const std::string& path() const { return path_; }
  // Why it is not mounted (for GTEST_SKIP).
  const std::string& skip_reason() const { return skip_reason_; }

 private:
  std::string path_;
  std::string skip_reason_;
  bool mounted_ = false;
};

}  // namespace oru::testing
