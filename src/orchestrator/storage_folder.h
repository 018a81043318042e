#pragma once
// Where the package is stored and whether there is room to install it.
//
// The package store (also the configuration folder that holds the run-state
// file) is a brand folder "<root><brand>/Download/" on a disk root. An
// earlier run's brand folder is reused, the internal disk with the most free
// space is preferred, external disks and OneDrive folders are never used,
// and the product's storage rule (InstallerStorageDirectory) may steer the
// choice. Every folder returned here ends in the separator.
//
// Disk roots are the candidate roots of the locations record (ORU_DISK_ROOTS)
// when it names any, else mount points. The "root" of a path is the longest
// such candidate root that holds it (at a path-component boundary), else the
// mount point that holds it. The system drive is the candidate root holding
// the Windows folder of the locations record, else its system root.
//
// Free functions without state of their own. They read ProcessLocations()
// and the platform probes, block on file system calls and may run on any
// thread. None stops the run: failures are logged and fall through to the
// next choice.

#include <cstdint>
#include <string>

namespace oru {

// What the storage decisions need from the orchestrator's state.
struct StorageContext {
  std::string brand;                       // ProductBrand
  int32_t product_id = 0;                  // ProductID, for the installed-product lookup
  std::string rule;                        // InstallerStorageDirectory: "0", "1", "2", "3"
  std::string run_state_install_path;      // the run state's InstallPath
  std::string server_custom_install_path;  // the server's custom_install_path
  std::string local_custom_install_path;   // the product XML's CustomInstallPath
};

// root + brand + "/Download/" (just root + "Download/" for an empty brand).
std::string BrandFolderOnRoot(const std::string& root, const std::string& brand);

// The system drive's root, ending in the separator.
std::string GetSystemDriveRoot();

// The root holding `path` (see above), ending in the separator; empty for a
// relative or empty path.
std::string GetRootOfPath(const std::string& path);

// The candidate disk with the most free space (the earlier one on a tie);
// empty when there is no candidate.
std::string GetMaxFreeDisk();

// The brand folder on the disk with the most free space, created level by
// level; when that disk is the system drive (or there is none), the brand
// folder under Common Documents. A folder that cannot be created is logged
// and still returned.
std::string GetDefaultFolder(const std::string& brand);

// The package store: unless `skip_search`, an existing brand folder on a
// candidate disk (one on the system drive is dropped when another disk has
// more free space), else GetDefaultFolder. When that folder is not writable,
// the brand folder beside the installer, then under the temporary folder
// (returned even when it is not writable either).
std::string GetSaveFolder(const std::string& brand, bool skip_search);

// The preferred install folder: the server's custom path, else the local
// one; "%localappdata%" (any letter case) means the desktop user's local
// application-data folder. A path whose root does not exist, or that lies on
// an external disk or in OneDrive, is dropped; then the folder where the
// product is installed already is taken (dropped likewise when external or
// in OneDrive). Ends in the separator; empty when nothing remains.
std::string GetCustomInstallPath(const StorageContext& context);

// The folder the storage rule asks for: "1" the default folder, "2" the brand
// folder on the system drive, "3" the brand folder on the install path's
// disk. A rule that yields no usable folder falls back to
// GetSaveFolder(brand, search on). Empty for rule "0" or an empty rule (the
// configuration folder stays).
std::string ApplyStorageRule(const StorageContext& context);

// Before downloading: when the save folder has less free space than the
// package, moves to the default folder (kept when that folder is not
// usable). Logs the "download folder selected" disk line. Returns the folder
// to use (the old one when nothing changed).
std::string UpdateSaveFolder(const std::string& brand, const std::string& save_folder, uint64_t package_size);

// After the user changed the install folder, rule "3" only: the brand folder
// on the install path's disk, created and checked for write access. Returns
// the new save folder, or `save_folder` when the rule is not "3", a step
// fails (logged) or the folder is unchanged.
std::string UpdateInstallerStorageFolder(const StorageContext& context, const std::string& save_folder);

// Bytes the install needs at `install_folder`: five package sizes, plus one
// more when the install folder is on the save folder's disk.
uint64_t GetInstallSpaceNeed(const std::string& install_folder, const std::string& save_folder,
                             uint64_t package_size);

// True when the install folder's disk has at least GetInstallSpaceNeed free
// bytes (measured at its nearest existing folder); logs and answers false
// otherwise.
bool CheckInstallSpace(const std::string& install_folder, const std::string& save_folder,
                       uint64_t package_size);

// Logs the "[disk]" line of a download folder: the folder, its disk and the
// system drive with their free space, and the bytes needed.
void LogDownloadFolderDisk(const std::string& tag, const std::string& folder, uint64_t need);

struct InstallDiskFacts {
  std::string tag;                     // "before install", "install failed"
  int32_t product_id = 0;
  std::string install_dir;             // the task's install directory; may be empty
  std::string run_state_install_path;  // used when install_dir is empty
  std::string package_path;            // used when both are empty
  uint64_t package_size = 0;
};
// Logs the "[disk]" line of an install and returns the install folder's disk
// root (empty when the folder has none).
std::string LogInstallDisk(const InstallDiskFacts& facts);

// After a failed install: when `drive` has less free space than `need` (the
// package size when `need` is 0), logs that the install likely failed for
// lack of space and returns true.
bool LogInstallDiskShortfall(int32_t product_id, int32_t install_code, const std::string& drive, uint64_t need,
                             uint64_t package_size);

}  // namespace oru
