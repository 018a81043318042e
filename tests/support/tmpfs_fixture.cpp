#include "support/tmpfs_fixture.h"

#include <sys/mount.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

namespace oru::testing {

TmpfsMount::TmpfsMount(uint64_t size_bytes) {
  const char* base = std::getenv("TMPDIR");
  std::string tmpl = std::string(base && *base ? base : "/tmp") + "/oru-tmpfs-XXXXXX";
  if (mkdtemp(tmpl.data()) == nullptr) {
    skip_reason_ = "cannot create a mount point: " + std::string(std::strerror(errno));
    return;
  }
  path_ = tmpl;
  std::string options = "size=" + std::to_string(size_bytes) + ",mode=0777";
  if (mount("tmpfs", path_.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, options.c_str()) != 0) {
    skip_reason_ = "mounting a tmpfs is not permitted here (" + std::string(std::strerror(errno)) +
                   "); run as root for the disk-full cases";
    return;
  }
  mounted_ = true;
}

TmpfsMount::~TmpfsMount() {
  if (mounted_ && umount2(path_.c_str(), 0) != 0) umount2(path_.c_str(), MNT_DETACH);
  if (!path_.empty()) rmdir(path_.c_str());
}

}  // namespace oru::testing
