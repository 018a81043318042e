#pragma once
// Facts about the machine and the signed-in user that Windows answers
// through its system calls: processor, OS version, locale, time zone,
// screen, disks. Built from the running system; tests substitute a record
// where Linux cannot produce the real thing (an Arm64 machine on an x86 CI
// host, a 32-bit Windows).

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace oru {

enum class CpuArchitecture { kX86, kX64, kArm64 };

struct MachineFacts {
  CpuArchitecture native = CpuArchitecture::kX64;  // uname: x86_64, aarch64, else x86
  // The installer stands for a 32-bit Windows program, so on a 64-bit
  // machine it runs "under WOW64".
  bool wow64 = true;
  int os_major = 0;  // kernel release, major.minor.build
  int os_minor = 0;
  int os_build = 0;
  // Windows locale identifiers mapped from the POSIX locale (LANG, LC_ALL,
  // LC_MESSAGES): 0x0409 for en_US, 0x0C0A for es_ES, ...; 0x0409 when unknown.
  uint32_t user_default_lcid = 0x0409;
  uint32_t system_default_lcid = 0x0409;
  // Preferred UI languages, most preferred first ("en-US").
  std::vector<std::string> ui_languages;
  // Minutes to add to local time to get UTC (Windows' bias: UTC+8 is -480).
  int32_t time_zone_bias_minutes = 0;
  int32_t screen_width = 0;  // primary screen, pixels; 0 when headless
  int32_t screen_height = 0;
};

// The process's facts, read once from the system on first use.
const MachineFacts& GetMachineFacts();
// Replaces them (tests; before other threads use them).
void SetMachineFactsForTesting(const MachineFacts& facts);
// Reads the facts from the system now (uname, LC_ALL / LC_MESSAGES / LANG,
// LANGUAGE, the local time zone), without touching the process's record.
// Fields that cannot be read keep their defaults.
MachineFacts ReadMachineFacts();

// Windows locale identifier of a POSIX locale name ("es_ES.UTF-8" ->
// 0x0C0A); nullopt when the name has no Windows counterpart.
std::optional<uint32_t> LcidFromPosixLocale(const std::string& locale_name);

// Fills `buffer` with cryptographically random bytes; false when the
// system's random source cannot be used.
bool FillRandomBytes(void* buffer, size_t size);

// One mounted file system that could hold a download.
struct MountInfo {
  std::string mount_point;  // ends in the separator
  std::string fs_type;      // "ext4", "tmpfs", "fuse.rclone", ...
  std::string device;       // "/dev/sda1", or the source text
  bool block_backed = false;  // a local disk (not tmpfs, proc, network, FUSE)
  bool removable = false;     // /sys/block/<disk>/removable
  bool external_bus = false;  // on USB, IEEE 1394, SD or MMC
};
// The mount table (/proc/self/mountinfo), in mount order; empty when it
// cannot be read.
std::vector<MountInfo> ListMounts();
// The mount holding `path`: the longest mount point that is a whole-component
// prefix of it (symbolic links in its existing part resolved; of two mounts
// on one point the later, visible one). nullopt when no mount matches.
std::optional<MountInfo> FindMount(const std::string& path);
// The mount point holding `path` (longest prefix); "/" when nothing better.
std::string MountPointOf(const std::string& path);
// Makes ListMounts answer `mounts` instead of the system's table (tests:
// disks this machine cannot have, such as a USB disk); nullopt restores.
void SetMountsForTesting(std::optional<std::vector<MountInfo>> mounts);

}  // namespace oru
