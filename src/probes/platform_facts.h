#pragma once
// Small synchronous questions the installer asks of the system: the client
// sign, architecture and bitness, OS version, UI language and time zone,
// folders and disks, the public address, .NET, and a few registry writes.
// None reports an error: failures read as empty texts, false or 0.
//
// Registry paths keep their Windows spelling; the registry is the
// locations record's file-backed store.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "common/clock.h"

namespace oru {

// The machine's 39-character identifier "{xxxxxxxx-xxxx-4xxx-yxxx-xxxxxxxxxxxxG}",
// read from the registry or, when none is stored, generated (from a freshly
// seeded generator) and stored in both HKEY_LOCAL_MACHINE keys.
std::string GetClientSign(const std::string& brand);
// The stored sign (HKCU service-kit key, HKLM service-kit key, HKLM "\HLM\"
// key), or empty.
std::string ReadClientSign(const std::string& brand);

bool IsWow64();
bool IsArm64Machine();
int GetNativeBits();           // 64 on x64, 32 otherwise (Arm64 included)
std::string GetOsVersion();    // "major.minor"
std::string GetWinVersion();   // "major.minor.build"
std::string GetOsUiLanguage(); // "en" from "en-US"; empty when unknown
int GetTimeZoneHours();        // bias / -60, truncated (UTC+5:30 gives 5)
std::string GetIeVersion();    // the registry's IE "Version", or "-"

struct ProgramFilesFolders {
  std::string x86;     // the 32-bit Program Files folder, ending in the separator
  std::string native;  // the native one; empty when the machine has none
};
ProgramFilesFolders GetProgramFilesFolders();

// True when the path lies in the system folder or a Program Files folder of
// the system drive (matched at path-component boundaries).
bool IsSystemPath(const std::string& path);
// Roots of the fixed, internal, non-OneDrive disks, in order.
std::vector<std::string> GetDiskRootDirs();
bool IsExternalDrive(const std::string& root);
bool IsOneDrivePath(const std::string& path);
uint64_t GetFreeDiskBytes(const std::string& folder);

// The machine's public IPv4 address as text, or empty (blocks up to 5 s per
// service; never call on the UI thread).
std::string GetClientPublicIP();

// True when the required .NET Framework is usable (empty minimum: true).
// `package_folder` is where the checker would be written for "2.0".
bool CheckDotNetFramework(const std::string& min_version, const std::string& package_folder);

void SetAppCompatLayers(const std::string& program_path, const std::string& layers);
void WriteChannelRegistration(const std::string& value_name, const std::string& channel);
std::string ReadDefaultChannel();

// "%d.%d.%d.%d" of a file's version note; nullopt when it has none.
std::optional<std::string> GetFileVersionText(const std::string& path);
// The installer's own version (from the build).
std::string GetSelfVersion();
// The installer's own file name without its folder.
std::string GetSelfFileName();
// The desktop user's local application-data folder; empty when unknown.
std::string GetShellUserLocalAppData();

enum class BrandFolderKind { kCommonDocuments, kTemp, kExeFolder };
// Base folder + `name` (or "Quorvane" when empty) + separator; created.
std::string GetBrandFolder(BrandFolderKind kind, const std::string& name);
// True when a new probe file can be created (and removed) in the folder.
bool IsFolderWritable(const std::string& folder);

// Local time now as "%Y%m%d%H%M%S".
std::string GetTimestampText(const Clock& clock = SystemClock());
// The URL with "_t=" and the current Unix seconds appended.
std::string AppendTimestampParam(const std::string& url, const Clock& clock = SystemClock());
bool IsWebAddress(const std::string& text);

}  // namespace oru
