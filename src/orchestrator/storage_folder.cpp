#include "orchestrator/storage_folder.h"

#include <cerrno>
#include <filesystem>
#include <vector>

#include "common/log.h"
#include "platform/file_util.h"
#include "platform/locations.h"
#include "platform/system_info.h"
#include "probes/installed_products.h"
#include "probes/platform_facts.h"

namespace oru {
namespace {

constexpr char kDownloadFolderName[] = "Download";
constexpr char kLocalAppDataToken[] = "%localappdata%";
constexpr double kBytesPerMegabyte = 1048576.0;

double Megabytes(uint64_t bytes) { return static_cast<double>(bytes) / kBytesPerMegabyte; }

// The counterpart of a path that names a drive: an absolute one.
bool HasRoot(const std::string& path) { return !path.empty() && path.front() == kPathSeparator; }

// True when `path` lies in the folder `root` (which ends in the separator).
bool IsUnder(const std::string& path, const std::string& root) {
  return WithTrailingSeparator(path).compare(0, root.size(), root) == 0;
}

// "a/b/../c" is judged by where it really points, not by its first letters.
std::string Normalized(const std::string& path) {
  return std::filesystem::path(path).lexically_normal().string();
}

// The longest candidate root holding `path`; empty when none does.
std::string CandidateRootOf(const std::string& path) {
  std::string best;
  for (const std::string& root : ProcessLocations().disk_roots) {
    const std::string r = WithTrailingSeparator(root);
    if (IsUnder(path, r) && r.size() > best.size()) best = r;
  }
  return best;
}

bool EqualsIgnoringCase(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    const auto lower = [](char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; };
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

// Free bytes where `path` would live: a folder not created yet is measured at
// its nearest existing parent rather than read as a full disk.
uint64_t FreeBytesAt(const std::string& path) {
  if (path.empty()) return 0;
  std::filesystem::path p = std::filesystem::path(Normalized(path));
  while (!p.empty() && !DirectoryExists(p.string())) {
    const std::filesystem::path parent = p.parent_path();
    if (parent == p) break;
    p = parent;
  }
  return p.empty() ? 0 : GetFreeDiskBytes(WithTrailingSeparator(p.string()));
}

bool RootExists(const std::string& path) {
  const std::string root = GetRootOfPath(path);
  return !root.empty() && DirectoryExists(root);
}

// A path that is not on a fixed internal disk, or that OneDrive syncs.
bool IsExternalOrOneDrive(const std::string& path) {
  if (!HasRoot(path)) return true;
  return IsExternalDrive(GetRootOfPath(path)) || IsOneDrivePath(path);
}

// The existing brand folder on the first candidate disk that has one.
std::string FindExistingBrandFolder(const std::string& brand, std::string& root_out) {
  for (const std::string& root : GetDiskRootDirs()) {
    const std::string folder = BrandFolderOnRoot(WithTrailingSeparator(root), brand);
    if (!DirectoryExists(folder)) continue;
    root_out = WithTrailingSeparator(root);
    return folder;
  }
  return {};
}

// The earlier run's brand folder, unless it sits on the system drive while
// another disk has more room.
std::string SearchSaveFolder(const std::string& brand) {
  std::string root;
  std::string folder = FindExistingBrandFolder(brand, root);
  if (folder.empty() || root != GetSystemDriveRoot()) return folder;
  const std::string max_disk = GetMaxFreeDisk();
  if (max_disk.empty() || max_disk == root) return folder;
  Log(kLogInfo, "[INFO] GetSaveFolder, existing folder on system disk=[%s], redirect to max free disk=[%s].",
      folder.c_str(), max_disk.c_str());
  return {};
}

// The writable fallbacks: beside the installer, then the temporary folder.
std::string WritableSaveFolder(const std::string& brand, const std::string& folder) {
  if (IsFolderWritable(folder)) return folder;
  Log(kLogWarn, "[WARN] get default folder=[%s] failed, err=[%d].", folder.c_str(), errno);
  const std::string exe_folder = GetBrandFolder(BrandFolderKind::kExeFolder, brand);
  if (IsFolderWritable(exe_folder)) return exe_folder;
  Log(kLogWarn, "[WARN] get exe folder=[%s] failed, err=[%d].", exe_folder.c_str(), errno);
  const std::string temp_folder = GetBrandFolder(BrandFolderKind::kTemp, brand);
  if (!IsFolderWritable(temp_folder)) {
    Log(kLogError, "[ERROR] get temp folder=[%s] failed! err=[%d].", temp_folder.c_str(), errno);
  }
  return temp_folder;
}

// Creates the rule's folder and checks it; empty (logged) when unusable.
std::string UsableRuleFolder(const char* rule, const std::string& folder) {
  if (!CreateDirectoryLevels(folder)) {
    Log(kLogWarn, "[WARN] InstallerStorageDict=%s: create folder=[%s] failed!", rule, folder.c_str());
    return {};
  }
  if (!IsFolderWritable(folder)) {
    Log(kLogWarn, "[WARN] InstallerStorageDict=%s: folder=[%s] no write access!", rule, folder.c_str());
    return {};
  }
  return folder;
}

std::string RuleMaxFreeDisk(const StorageContext& context) {
  Log(kLogInfo, "[INFO] InstallerStorageDict=1: use max free disk.");
  const std::string folder = GetDefaultFolder(context.brand);
  // The default folder is returned even when it could not be created; a
  // folder nobody can write to must not become the package store.
  if (IsFolderWritable(folder)) return folder;
  Log(kLogWarn, "[WARN] InstallerStorageDict=1: folder=[%s] no write access!", folder.c_str());
  return {};
}

std::string RuleSystemDisk(const StorageContext& context) {
  Log(kLogInfo, "[INFO] InstallerStorageDict=2: prefer system disk.");
  return UsableRuleFolder("2", BrandFolderOnRoot(GetSystemDriveRoot(), context.brand));
}

std::string InstallPathFor(const StorageContext& context) {
  if (!context.run_state_install_path.empty()) return context.run_state_install_path;
  return GetCustomInstallPath(context);
}

std::string RuleInstallPathDisk(const StorageContext& context) {
  Log(kLogInfo, "[INFO] InstallerStorageDict=3: prefer install path disk.");
  const std::string path = InstallPathFor(context);
  if (!HasRoot(path)) return {};
  const std::string root = GetRootOfPath(path);
  if (!DirectoryExists(root) || IsExternalDrive(root) || IsOneDrivePath(root) || IsOneDrivePath(path)) return {};
  return UsableRuleFolder("3", BrandFolderOnRoot(root, context.brand));
}

// The custom path that survives the root and external/OneDrive tests.
std::string SurvivingCustomPath(const StorageContext& context) {
  std::string path = context.server_custom_install_path.empty() ? context.local_custom_install_path
                                                                : context.server_custom_install_path;
  if (path.empty()) return {};
  if (EqualsIgnoringCase(path, kLocalAppDataToken)) {
    path = GetShellUserLocalAppData();
    if (path.empty()) return {};
  } else if (!RootExists(path)) {
    return {};
  }
  if (!IsExternalOrOneDrive(path)) return path;
  Log(kLogWarn, "[WARN] GetCustomInstallPath, drop external/onedrive custom path=[%s].", path.c_str());
  return {};
}

std::string InstalledProductPath(const StorageContext& context) {
  const std::string path = GetProductInstallPath(context.brand, context.product_id);
  if (path.empty() || !IsExternalOrOneDrive(path)) return path;
  Log(kLogWarn, "[WARN] GetCustomInstallPath, drop external/onedrive installed path=[%s].", path.c_str());
  return {};
}

// Where an install goes: the task's folder, else the run state's, else the package itself.
std::string InstallFolderOf(const InstallDiskFacts& facts) {
  if (!facts.install_dir.empty()) return facts.install_dir;
  if (HasRoot(facts.run_state_install_path)) return facts.run_state_install_path;
  return facts.package_path;
}

}  // namespace

std::string BrandFolderOnRoot(const std::string& root, const std::string& brand) {
  std::string folder = WithTrailingSeparator(root);
  if (!brand.empty()) folder += brand + kPathSeparator;
  return folder + kDownloadFolderName + kPathSeparator;
}

std::string GetSystemDriveRoot() {
  const Locations& locations = ProcessLocations();
  const std::string root = CandidateRootOf(Normalized(locations.windows_dir));
  return root.empty() ? WithTrailingSeparator(locations.system_root) : root;
}

std::string GetRootOfPath(const std::string& path) {
  if (!HasRoot(path)) return {};
  const std::string normal = Normalized(path);
  const std::string root = CandidateRootOf(normal);
  return root.empty() ? WithTrailingSeparator(MountPointOf(normal)) : root;
}

std::string GetMaxFreeDisk() {
  std::string best;
  uint64_t best_free = 0;
  for (const std::string& root : GetDiskRootDirs()) {
    const uint64_t free = GetFreeDiskBytes(root);
    if (!best.empty() && free <= best_free) continue;
    best = WithTrailingSeparator(root);
    best_free = free;
  }
  return best;
}

std::string GetDefaultFolder(const std::string& brand) {
  const std::string root = GetMaxFreeDisk();
  if (root.empty() || root == GetSystemDriveRoot()) {
    return GetBrandFolder(BrandFolderKind::kCommonDocuments, brand);
  }
  const std::string folder = BrandFolderOnRoot(root, brand);
  if (!CreateDirectoryLevels(folder)) Log(kLogError, "[ERROR] create folder=[%s] failed!", folder.c_str());
  return folder;
}

std::string GetSaveFolder(const std::string& brand, bool skip_search) {
  std::string folder = skip_search ? std::string() : SearchSaveFolder(brand);
  if (folder.empty()) folder = GetDefaultFolder(brand);
  return WritableSaveFolder(brand, folder);
}

std::string GetCustomInstallPath(const StorageContext& context) {
  std::string path = SurvivingCustomPath(context);
  if (path.empty()) path = InstalledProductPath(context);
  return path.empty() ? path : WithTrailingSeparator(path);
}

std::string ApplyStorageRule(const StorageContext& context) {
  std::string folder;
  if (context.rule == "1") folder = RuleMaxFreeDisk(context);
  if (context.rule == "2") folder = RuleSystemDisk(context);
  if (context.rule == "3") folder = RuleInstallPathDisk(context);
  if (!folder.empty()) {
    Log(kLogInfo, "[INFO] InstallerStorageDict: use folder=[%s].", folder.c_str());
    return folder;
  }
  if (context.rule.empty() || context.rule == "0") return {};
  Log(kLogWarn, "[WARN] InstallerStorageDict=%s: fallback to default.", context.rule.c_str());
  return GetSaveFolder(context.brand, false);
}

std::string UpdateSaveFolder(const std::string& brand, const std::string& save_folder, uint64_t package_size) {
  std::string folder = save_folder;
  const uint64_t free = FreeBytesAt(folder);
  if (free < package_size) {
    Log(kLogWarn, "[WARN] update save folder, dir=[%s], disk_free_size=[%lld]", folder.c_str(),
        static_cast<long long>(free));
    const std::string other = GetDefaultFolder(brand);
    // The default folder comes back even when it could not be created.
    if (other.empty() || !IsFolderWritable(other)) {
      Log(kLogError, "[ERROR] update save folder, not enough disk space.");
    } else {
      folder = other;
    }
  }
  LogDownloadFolderDisk("download folder selected", folder, package_size);
  return folder;
}

std::string UpdateInstallerStorageFolder(const StorageContext& context, const std::string& save_folder) {
  if (context.rule != "3") return save_folder;
  const std::string path = InstallPathFor(context);
  if (path.empty()) {
    Log(kLogWarn, "[WARN] UpdateInstallerStorageFolder: install path empty, skip.");
    return save_folder;
  }
  const std::string root = GetRootOfPath(path);
  if (root.empty() || !DirectoryExists(root)) {
    Log(kLogWarn, "[WARN] UpdateInstallerStorageFolder: disk=[%s] not exist, skip.", root.c_str());
    return save_folder;
  }
  const std::string folder = BrandFolderOnRoot(root, context.brand);
  if (!CreateDirectoryLevels(folder)) {
    Log(kLogWarn, "[WARN] UpdateInstallerStorageFolder: create folder=[%s] failed, skip.", folder.c_str());
    return save_folder;
  }
  if (!IsFolderWritable(folder)) {
    Log(kLogWarn, "[WARN] UpdateInstallerStorageFolder: folder=[%s] no write access, skip.", folder.c_str());
    return save_folder;
  }
  if (folder == WithTrailingSeparator(save_folder)) {
    Log(kLogInfo, "[INFO] UpdateInstallerStorageFolder: folder unchanged=[%s].", folder.c_str());
    return save_folder;
  }
  Log(kLogInfo, "[INFO] UpdateInstallerStorageFolder: old=[%s], new=[%s].", save_folder.c_str(), folder.c_str());
  return folder;
}

uint64_t GetInstallSpaceNeed(const std::string& install_folder, const std::string& save_folder,
                             uint64_t package_size) {
  uint64_t need = 5 * package_size;
  const std::string install_root = GetRootOfPath(install_folder);
  if (!install_root.empty() && install_root == GetRootOfPath(save_folder)) need += package_size;
  return need;
}

bool CheckInstallSpace(const std::string& install_folder, const std::string& save_folder, uint64_t package_size) {
  const uint64_t need = GetInstallSpaceNeed(install_folder, save_folder, package_size);
  const uint64_t free = FreeBytesAt(install_folder);
  if (free >= need) return true;
  Log(kLogWarn, "[WARN] check install space size failed! dir=[%s], free=[%lld], estimate=[%lld]",
      install_folder.c_str(), static_cast<long long>(free), static_cast<long long>(need));
  return false;
}

void LogDownloadFolderDisk(const std::string& tag, const std::string& folder, uint64_t need) {
  const std::string drive = GetRootOfPath(folder);
  const uint64_t free = FreeBytesAt(folder);
  const std::string system_drive = GetSystemDriveRoot();
  const uint64_t system_free = GetFreeDiskBytes(system_drive);
  Log(kLogInfo,
      "[INFO] [disk] %s: path=[%s], drive=[%s] free=[%llu] (%.1f MB), system_drive=[%s] free=[%llu] (%.1f MB), "
      "need=[%llu] (%.1f MB)",
      tag.c_str(), folder.c_str(), drive.c_str(), static_cast<unsigned long long>(free), Megabytes(free),
      system_drive.c_str(), static_cast<unsigned long long>(system_free), Megabytes(system_free),
      static_cast<unsigned long long>(need), Megabytes(need));
}

std::string LogInstallDisk(const InstallDiskFacts& facts) {
  const std::string folder = InstallFolderOf(facts);
  const std::string drive = GetRootOfPath(folder);
  const uint64_t free = FreeBytesAt(folder);
  const std::string system_drive = GetSystemDriveRoot();
  const uint64_t system_free = GetFreeDiskBytes(system_drive);
  Log(kLogInfo,
      "[INFO] [disk] %s: pid=[%d], install_dir=[%s], install_drive=[%s] free=[%llu] (%.1f MB), "
      "system_drive=[%s] free=[%llu] (%.1f MB), pkg_size=[%llu] (%.1f MB)",
      facts.tag.c_str(), facts.product_id, folder.c_str(), drive.c_str(), static_cast<unsigned long long>(free),
      Megabytes(free), system_drive.c_str(), static_cast<unsigned long long>(system_free), Megabytes(system_free),
      static_cast<unsigned long long>(facts.package_size), Megabytes(facts.package_size));
  return drive;
}

bool LogInstallDiskShortfall(int32_t product_id, int32_t install_code, const std::string& drive, uint64_t need,
                             uint64_t package_size) {
  const uint64_t wanted = need == 0 ? package_size : need;
  const uint64_t free = drive.empty() ? 0 : GetFreeDiskBytes(drive);
  if (free >= wanted) return false;
  Log(kLogError,
      "[ERROR] [disk] install likely FAILED due to insufficient disk space: pid=[%d], install_code=[%d], "
      "drive=[%s], free=[%llu], need=[%llu]",
      product_id, install_code, drive.c_str(), static_cast<unsigned long long>(free),
      static_cast<unsigned long long>(wanted));
  return true;
}

}  // namespace oru
