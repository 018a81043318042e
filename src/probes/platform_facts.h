#pragma once
// Small synchronous questions the installer asks of the system: the client
// sign, architecture and bitness, OS version, UI language and time zone,
// folders and disks, the public address, .NET, and a few registry writes.
// None reports an error: failures read as empty texts, false or 0.
//
// Registry paths keep their Windows spelling; the registry is the
// locations record's file-backed store.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "common/clock.h"

namespace oru {

// The machine's 39-character identifier "{xxxxxxxx-xxxx-4xxx-yxxx-xxxxxxxxxxxxG}",
// read from the registry or, when none is stored, generated (from a freshly
// seeded generator) and stored in both HKEY_LOCAL_MACHINE keys (never under
// HKEY_CURRENT_USER). A sign that could not be stored is kept for the rest of
// the process. Safe from several threads: concurrent first calls agree.
std::string GetClientSign(const std::string& brand);
// The first non-empty stored sign (HKCU service-kit key, HKLM service-kit
// key, HKLM "\HLM\" key; 49 characters at most), or empty. May create the
// two service-kit keys (empty), never a value.
std::string ReadClientSign(const std::string& brand);
// Replaces the random source new signs are seeded from (tests: a source
// that fails); nullptr restores the system's (FillRandomBytes).
void SetRandomSourceForTesting(bool (*source)(void* buffer, size_t size));

// True when the installer runs under WOW64 (any 64-bit machine).
bool IsWow64();
// True on an Arm64 machine.
bool IsArm64Machine();
int GetNativeBits();           // 64 on x64, 32 otherwise (Arm64 included)
std::string GetOsVersion();    // "major.minor"
std::string GetWinVersion();   // "major.minor.build"
// "en" from "en-US": the registry's first preferred UI language when stored,
// else the machine's first UI language; empty when neither is known.
std::string GetOsUiLanguage();
int GetTimeZoneHours();        // bias / -60, truncated (UTC+5:30 gives 5)
std::string GetIeVersion();    // the registry's IE "Version", or "-"

struct ProgramFilesFolders {
  std::string x86;     // the 32-bit Program Files folder, ending in the separator
  std::string native;  // the native one; empty when the machine has none
};
// Under WOW64: the locations' x86 and native Program Files folders;
// otherwise the one folder as x86 and no native one.
ProgramFilesFolders GetProgramFilesFolders();

// True when the path lies in the Windows folder, the system folder or a
// Program Files folder (matched at whole path components after resolving
// "." and "..", letter case counting). A Windows folder that is the
// file-system root counts only for the root itself. False for an empty path
// or when no Windows folder is known.
bool IsSystemPath(const std::string& path);
// Candidate download disks in order, each ending in the separator: the
// locations' disk roots when configured (existing folders, taken as fixed
// drives), else the block-backed local mounts in mount order; external and
// OneDrive ones are left out and logged. Empty when there are none.
std::vector<std::string> GetDiskRootDirs();
// True for a drive that is not fixed (its mount is no local disk, unless it
// is a configured disk root) or that is removable or on USB, IEEE 1394, SD
// or MMC. False when its mount cannot be found.
bool IsExternalDrive(const std::string& root);
// True when the path lies in a folder named by "OneDrive",
// "OneDriveConsumer" or "OneDriveCommercial" (1 to 259 characters, letter
// case ignored, whole components) or on a cloud-storage FUSE mount. False
// for an empty path.
bool IsOneDrivePath(const std::string& path);
// Bytes an unprivileged writer may still use on the folder's file system;
// 0 on failure.
uint64_t GetFreeDiskBytes(const std::string& folder);

// The machine's public IPv4 address as text: the first what-is-my-address
// service (GetServiceEndpoints) whose answer, trimmed, is a bare dotted
// address; empty when none (each failure logged). Blocks up to 5 s per
// service; never call on the UI thread.
std::string GetClientPublicIP();

// True when the required .NET Framework is usable (empty minimum: true),
// from the registry's NDP entries; false for a required major outside 2..4.
// `package_folder` is where the "2.0" checker would be written on Windows;
// here "2.0" is answered by the registry rule too (logged).
bool CheckDotNetFramework(const std::string& min_version, const std::string& package_folder);

// Writes the first 50 characters of `layers` as the compatibility layers of
// `program_path`, in both registry views (key created). Failures are ignored.
void SetAppCompatLayers(const std::string& program_path, const std::string& layers);
// Records `channel` under `value_name` (the AppID, else the ProductID) in
// the channel key, and as its default value when that has none yet. An
// earlier different text keeps its string type; any other type becomes
// REG_SZ. Failures are ignored.
void WriteChannelRegistration(const std::string& value_name, const std::string& channel);
// The channel key's default value (49 characters at most), or empty.
std::string ReadDefaultChannel();

// "%d.%d.%d.%d" of a file's version note: the first "ORU-FILE-VERSION="
// within the first 64 MiB followed by up to four dotted numbers of at most
// 65535 each (missing ones are 0). nullopt when there is none or the file
// cannot be read.
std::optional<std::string> GetFileVersionText(const std::string& path);
// The installer's own version (from the build), four components.
std::string GetSelfVersion();
// The installer's own file name without its folder; empty when unknown.
std::string GetSelfFileName();
// The desktop user's local application-data folder (ending in the
// separator); empty when the desktop user is unknown.
std::string GetShellUserLocalAppData();

enum class BrandFolderKind { kCommonDocuments, kTemp, kExeFolder };
// Base folder + `name` (or "Quorvane" when empty) + separator, created
// (a creation failure is not reported: IsFolderWritable tells). Empty when
// the base folder is unknown.
std::string GetBrandFolder(BrandFolderKind kind, const std::string& name);
// True when a new probe file of a unique name can be created (and is then
// removed) in the folder; never opens an existing file. False for an empty
// or missing folder.
bool IsFolderWritable(const std::string& folder);

// Local time now as "%Y%m%d%H%M%S".
std::string GetTimestampText(const Clock& clock = SystemClock());
// The URL with "?" (or "&" when it has a query), "_t=" and the current Unix
// seconds appended.
std::string AppendTimestampParam(const std::string& url, const Clock& clock = SystemClock());
// True when the text without its blanks starts with "http://" and has at
// least 8 characters, or the text starts with "https://" and without its
// blanks has more than 8.
bool IsWebAddress(const std::string& text);

}  // namespace oru
