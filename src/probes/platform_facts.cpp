#include "probes/platform_facts.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string_view>

#include "common/log.h"
#include "common/utf.h"
#include "platform/file_util.h"
#include "platform/locations.h"
#include "platform/process_util.h"
#include "platform/registry.h"
#include "platform/system_info.h"
#include "probes/system_registry.h"
#include "server_api/curl_request.h"
#include "server_api/service_endpoints.h"

#ifndef ORU_FILE_VERSION
#define ORU_FILE_VERSION "0.0.0.0"
#endif

namespace oru {
namespace {

constexpr std::string_view kDefaultBrandFolder = "Quorvane";
constexpr size_t kStringValueBytes = 510;  // 255 wide characters
constexpr size_t kUiLanguagesBytes = 64;
constexpr size_t kShortTextBytes = 100;
constexpr size_t kMaxLayersUnits = 50;
constexpr size_t kMaxOneDriveUnits = 259;
constexpr auto kPublicIpTimeout = std::chrono::seconds(5);

constexpr char kIeKey[] = "Software\\Microsoft\\Internet Explorer";
constexpr char kUiLanguageKey[] = "Control Panel\\Desktop\\MuiCached";
constexpr char kLayersKey[] = "Software\\Microsoft\\Windows NT\\CurrentVersion\\AppCompatFlags\\Layers\\";
constexpr char kChannelKey[] = "Software\\HlmQX\\";
constexpr char kNdpKey[] = "Software\\Microsoft\\NET Framework Setup\\NDP";

// ---------------------------------------------------------------- paths

// `path` with "." and ".." resolved lexically, ending in the separator.
std::string NormalFolder(const std::string& path) {
  if (path.empty()) return {};
  std::string text = std::filesystem::path(path).lexically_normal().string();
  if (text.empty() || text.back() != '/') text.push_back('/');
  return text;
}

char FoldAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

// True when `path` is `folder` or lies below it (whole components only).
bool IsWithin(const std::string& path, const std::string& folder, bool ignore_case) {
  const std::string p = NormalFolder(path);
  const std::string f = NormalFolder(folder);
  if (f.empty() || p.size() < f.size()) return false;
  if (!ignore_case) return p.compare(0, f.size(), f) == 0;
  return std::equal(f.begin(), f.end(), p.begin(), [](char a, char b) { return FoldAscii(a) == FoldAscii(b); });
}

std::string FolderText(const std::string& folder) { return folder.empty() ? folder : WithTrailingSeparator(folder); }

bool IsConfiguredDiskRoot(const std::string& root) {
  for (const std::string& configured : ProcessLocations().disk_roots) {
    if (IsWithin(root, configured, false)) return true;
  }
  return false;
}

bool IsCloudFileSystem(std::string_view fs_type) {
  constexpr std::string_view kCloud[] = {"fuse.rclone", "fuse.onedriver",         "fuse.onedrive",
                                         "fuse.gcsfuse", "fuse.google-drive-ocamlfuse", "fuse.s3fs"};
  return std::find(std::begin(kCloud), std::end(kCloud), fs_type) != std::end(kCloud);
}

bool SkipDiskRoot(const std::string& root) {
  if (!IsExternalDrive(root) && !IsOneDrivePath(root)) return false;
  Log(kLogInfo, "[INFO] GetDiskRootDirs, skip external/onedrive drive=[%s].", root.c_str());
  return true;
}

std::vector<std::string> ConfiguredDiskRoots() {
  std::vector<std::string> roots;
  for (const std::string& root : ProcessLocations().disk_roots) {
    if (!DirectoryExists(root) || SkipDiskRoot(root)) continue;
    roots.push_back(root);
  }
  return roots;
}

std::vector<std::string> MountedDiskRoots() {
  std::vector<std::string> roots;
  for (const MountInfo& mount : ListMounts()) {
    // Not a local disk, a file bound over a file, or a point already listed.
    if (!mount.block_backed || !DirectoryExists(mount.mount_point)) continue;
    if (std::find(roots.begin(), roots.end(), mount.mount_point) != roots.end()) continue;
    if (SkipDiskRoot(mount.mount_point)) continue;
    roots.push_back(mount.mount_point);
  }
  return roots;
}

// ---------------------------------------------------------------- numbers

// The number at the front of `text` as atoi reads it (blanks, a sign,
// digits; 0 when there are none), held to the int range.
int LeadingNumber(std::string_view text) {
  size_t i = 0;
  while (i < text.size() && (text[i] == ' ' || text[i] == '\t' || text[i] == '\n' || text[i] == '\r')) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  long long value = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    value = std::min<long long>(value * 10 + (text[i] - '0'), 1LL << 31);
  }
  if (negative) value = -value;
  return static_cast<int>(std::clamp<long long>(value, INT32_MIN, INT32_MAX));
}

// The number after the first dot ("4.8.04084" -> 8); 0 without a dot.
int MinorOf(std::string_view text) {
  const size_t dot = text.find('.');
  return dot == std::string_view::npos ? 0 : LeadingNumber(text.substr(dot + 1));
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// Up to four dotted numbers of at most 65535 each from the front of `text`
// ("1.2" -> 1.2.0.0); nullopt when it does not start with a number or a
// number does not fit in a version word.
std::optional<std::string> DottedFileVersion(std::string_view text) {
  int parts[4] = {0, 0, 0, 0};
  size_t i = 0;
  for (int n = 0; n < 4; ++n) {
    size_t digits = 0;
    long value = 0;
    for (; i < text.size() && IsDigit(text[i]) && digits <= 5; ++i, ++digits) value = value * 10 + (text[i] - '0');
    if (digits == 0 && n == 0) return std::nullopt;
    if (digits > 5 || value > 0xFFFF) return std::nullopt;
    if (digits == 0) break;
    parts[n] = static_cast<int>(value);
    if (i >= text.size() || text[i] != '.') break;
    ++i;
  }
  char out[32];
  std::snprintf(out, sizeof out, "%d.%d.%d.%d", parts[0], parts[1], parts[2], parts[3]);
  return std::string(out);
}

bool IsDottedIPv4(std::string_view text) {
  int parts = 0;
  size_t i = 0;
  while (true) {
    size_t digits = 0;
    int value = 0;
    for (; i < text.size() && IsDigit(text[i]) && digits <= 3; ++i, ++digits) value = value * 10 + (text[i] - '0');
    if (digits == 0 || digits > 3 || value > 255) return false;
    ++parts;
    if (i == text.size()) return parts == 4;
    if (text[i] != '.' || parts == 4) return false;
    ++i;
  }
}

std::string_view TrimAnswer(std::string_view text) {
  constexpr std::string_view kBlanks = " \t\r\n";
  const size_t first = text.find_first_not_of(kBlanks);
  if (first == std::string_view::npos) return {};
  return text.substr(first, text.find_last_not_of(kBlanks) - first + 1);
}

// The longest front of `text` that fits `max_units` UTF-16 code units,
// never cutting a character.
std::string FirstUtf16Units(const std::string& text, size_t max_units) {
  size_t units = 0;
  size_t end = 0;
  while (end < text.size()) {
    const unsigned char lead = static_cast<unsigned char>(text[end]);
    const size_t length = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
    const size_t needed = length == 4 ? 2 : 1;
    if (units + needed > max_units) break;
    units += needed;
    end = std::min(text.size(), end + length);
  }
  return text.substr(0, end);
}

// ---------------------------------------------------------------- .NET

struct DotNetRequirement {
  int major = 0;
  int minor = 0;
};

bool NdpSubkeyPasses(const Registry& registry, const std::string& name, const DotNetRequirement& required) {
  if (name.size() < 2) return false;
  const int major = LeadingNumber(std::string_view(name).substr(1));  // "v3.5" -> 3, "v4" -> 4
  if (major < 2 || major > 4) return false;
  const std::string path = std::string(kNdpKey) + "\\" + name + (major == 4 ? "\\Full" : "");
  RegKey key;
  if (registry.OpenKey(RegHive::kLocalMachine, path, kKeyRead, RegView::kNone, &key) != kErrorSuccess) return false;
  uint32_t install = 0;
  if (key.QueryDword("Install", &install) != kErrorSuccess || install != 1) return false;
  std::string version;
  (void)key.QueryString("Version", kStringValueBytes, &version);
  const int minor = MinorOf(version);
  if (major == 4) return required.major == 4 && minor >= required.minor;
  return major > required.major || (major == required.major && minor >= required.minor);
}

bool AnyNdpSubkeyPasses(const DotNetRequirement& required) {
  const Registry registry = ProcessRegistry();
  RegKey ndp;
  if (registry.OpenKey(RegHive::kLocalMachine, kNdpKey, kKeyRead, RegView::kNone, &ndp) != kErrorSuccess) return false;
  uint32_t count = 0;
  if (ndp.QueryInfo(&count, nullptr) != kErrorSuccess) return false;
  for (uint32_t i = 0; i < count; ++i) {
    std::string name;
    if (ndp.EnumKey(i, &name) != kErrorSuccess) break;
    if (NdpSubkeyPasses(registry, name, required)) return true;
  }
  return false;
}

// ---------------------------------------------------------------- registry texts

std::string RegistryUiLanguage() {
  RegKey key;
  if (ProcessRegistry().OpenKey(RegHive::kCurrentUser, kUiLanguageKey, kKeyRead, RegView::kNone, &key) !=
      kErrorSuccess)
    return {};
  std::vector<std::string> languages;
  if (key.QueryMultiString("MachinePreferredUILanguages", kUiLanguagesBytes, &languages) != kErrorSuccess) return {};
  return languages.empty() ? std::string() : languages.front();
}

bool IsTextType(uint32_t type) { return type == kRegSz || type == kRegExpandSz || type == kRegMultiSz; }

// The data to store `text` as a value of `type` (a list of one for REG_MULTI_SZ).
std::string TextData(uint32_t type, const std::string& text) {
  return type == kRegMultiSz ? text + std::string(2, '\0') : text;
}

// The type the channel value is written with: an earlier different text
// keeps its string type. Another type is replaced by REG_SZ: text bytes
// under REG_DWORD or REG_BINARY would be a corrupt value.
uint32_t ChannelValueType(const RegKey& key, const std::string& value_name, const std::string& channel) {
  RegValue existing;
  if (key.QueryValue(value_name, kRegUnlimited, &existing) != kErrorSuccess) return kRegSz;
  if (!IsTextType(existing.type)) return kRegSz;
  const std::string old_text = existing.data.substr(0, existing.data.find('\0'));
  return (!old_text.empty() && old_text != channel) ? existing.type : kRegSz;
}

std::string ExecutableFolder() {
  const std::string exe = OwnExecutablePath();
  const size_t slash = exe.rfind('/');
  return slash == std::string::npos ? std::string() : exe.substr(0, slash + 1);
}

// Looks for "ORU-FILE-VERSION=" followed by a version in `data` from
// `*resume` on. Returns the version; otherwise sets `*resume` to the first
// byte a later match could start at (a marker too close to the end waits for
// the next chunk unless `at_end`).
std::optional<std::string> FindVersionNote(const std::string& data, bool at_end, size_t* resume) {
  constexpr std::string_view kMarker = "ORU-FILE-VERSION=";
  constexpr size_t kLongestVersion = 4 * 5 + 3 + 1;  // four words, three dots, one character past them
  size_t pos = *resume;
  while ((pos = data.find(kMarker, pos)) != std::string::npos) {
    const size_t value = pos + kMarker.size();
    if (!at_end && data.size() - value < kLongestVersion) break;
    if (auto version = DottedFileVersion(std::string_view(data).substr(value))) return version;
    ++pos;
  }
  *resume = pos != std::string::npos ? pos : (data.size() >= kMarker.size() ? data.size() - kMarker.size() + 1 : 0);
  return std::nullopt;
}

}  // namespace

// ---------------------------------------------------------------- machine

bool IsWow64() { return GetMachineFacts().wow64; }
bool IsArm64Machine() { return GetMachineFacts().native == CpuArchitecture::kArm64; }
int GetNativeBits() { return GetMachineFacts().native == CpuArchitecture::kX64 ? 64 : 32; }

std::string GetOsVersion() {
  const MachineFacts& facts = GetMachineFacts();
  return std::to_string(facts.os_major) + "." + std::to_string(facts.os_minor);
}

std::string GetWinVersion() {
  const MachineFacts& facts = GetMachineFacts();
  return GetOsVersion() + "." + std::to_string(facts.os_build);
}

std::string GetOsUiLanguage() {
  std::string language = RegistryUiLanguage();
  if (language.empty()) {
    const std::vector<std::string>& preferred = GetMachineFacts().ui_languages;
    if (!preferred.empty()) language = preferred.front();
  }
  return language.substr(0, language.find('-'));
}

int GetTimeZoneHours() { return GetMachineFacts().time_zone_bias_minutes / -60; }

std::string GetIeVersion() {
  RegKey key;
  std::string version;
  if (ProcessRegistry().OpenKey(RegHive::kLocalMachine, kIeKey, kKeyRead, InstallerMachineView(), &key) ==
      kErrorSuccess)
    (void)key.QueryString("Version", kShortTextBytes, &version);
  return version.empty() ? "-" : version;
}

// ---------------------------------------------------------------- folders and disks

ProgramFilesFolders GetProgramFilesFolders() {
  const Locations& locations = ProcessLocations();
  ProgramFilesFolders folders;
  if (IsWow64()) {
    folders.x86 = FolderText(locations.program_files_x86);
    folders.native = FolderText(locations.program_files);
  } else {
    folders.x86 = FolderText(locations.program_files);
  }
  return folders;
}

bool IsSystemPath(const std::string& path) {
  const Locations& locations = ProcessLocations();
  if (locations.windows_dir.empty() || path.empty()) return false;
  // Where the system folder is the file-system root, only the root itself
  // counts: every folder lies below it, and no install folder would pass.
  const std::string windows = NormalFolder(locations.windows_dir);
  const bool in_windows = windows == "/" ? NormalFolder(path) == "/" : IsWithin(path, windows, false);
  return in_windows || IsWithin(path, locations.system_dir, false) ||
         IsWithin(path, locations.program_files, false) || IsWithin(path, locations.program_files_x86, false);
}

std::vector<std::string> GetDiskRootDirs() {
  return ProcessLocations().disk_roots.empty() ? MountedDiskRoots() : ConfiguredDiskRoots();
}

bool IsExternalDrive(const std::string& root) {
  const std::optional<MountInfo> mount = FindMount(root);
  if (!mount) return false;  // nothing to ask: counts as internal
  // A configured disk root is a fixed drive whatever its file system.
  if (!mount->block_backed && !IsConfiguredDiskRoot(root)) return true;
  return mount->removable || mount->external_bus;
}

bool IsOneDrivePath(const std::string& path) {
  if (path.empty()) return false;
  for (const char* name : {"OneDrive", "OneDriveConsumer", "OneDriveCommercial"}) {
    const std::optional<std::string> folder = GetEnvironmentVariable(name);
    if (!folder || folder->empty() || Utf16Length(*folder) > kMaxOneDriveUnits) continue;
    if (IsWithin(path, *folder, true)) return true;
  }
  const std::optional<MountInfo> mount = FindMount(path);
  return mount && IsCloudFileSystem(mount->fs_type);
}

uint64_t GetFreeDiskBytes(const std::string& folder) {
  if (folder.empty()) return 0;
  const std::optional<DiskSpace> space = GetDiskSpace(folder);
  return space ? space->available_to_caller : 0;
}

// ---------------------------------------------------------------- network

std::string GetClientPublicIP() {
  for (const std::string& url : GetServiceEndpoints().public_ip_services) {
    int32_t code = -1;
    const std::string answer =
        CurlRequest(RequestMethod::Get, url, HeaderList(), false, false, std::string(), &code, kPublicIpTimeout);
    const std::string_view address = TrimAnswer(answer);
    if (code == 0 && IsDottedIPv4(address)) return std::string(address);
    Log(kLogWarn, "[WARN] GetClientPublicIP try [%s] failed, curl_code=[%d], resp_len=[%d].", url.c_str(), code,
        static_cast<int>(answer.size()));
  }
  return {};
}

// ---------------------------------------------------------------- .NET

bool CheckDotNetFramework(const std::string& min_version, const std::string& /*package_folder*/) {
  if (min_version.empty()) return true;
  DotNetRequirement required;
  required.major = LeadingNumber(min_version);
  required.minor = MinorOf(min_version);
  if (required.major < 2 || required.major > 4) return false;
  // The checker program needs .NET itself; here the registry rule answers.
  if (min_version == "2.0") Log(kLogWarn, "[WARN] CheckDotNetFramework, 2.0 checker not available on this platform.");
  return AnyNdpSubkeyPasses(required);
}

// ---------------------------------------------------------------- registry writes

void SetAppCompatLayers(const std::string& program_path, const std::string& layers) {
  const Registry registry = ProcessRegistry();
  const std::string text = FirstUtf16Units(layers, kMaxLayersUnits);
  for (RegView view : {RegView::k64Key, RegView::k32Key}) {
    RegKey key;
    if (registry.CreateKey(RegHive::kLocalMachine, kLayersKey, kKeyWrite, view, &key) != kErrorSuccess) continue;
    (void)key.SetString(program_path, text);
  }
}

void WriteChannelRegistration(const std::string& value_name, const std::string& channel) {
  RegKey key;
  if (ProcessRegistry().CreateKey(RegHive::kLocalMachine, kChannelKey, kKeyAllAccess, InstallerMachineView(), &key) !=
      kErrorSuccess)
    return;
  // The default value keeps the first channel ever recorded: any readable
  // value stays, whatever its length.
  RegValue first;
  if (key.QueryValue("", kRegUnlimited, &first) != kErrorSuccess) (void)key.SetString("", channel);
  const uint32_t type = ChannelValueType(key, value_name, channel);
  (void)key.SetValue(value_name, type, TextData(type, channel));
}

std::string ReadDefaultChannel() {
  RegKey key;
  if (ProcessRegistry().OpenKey(RegHive::kLocalMachine, kChannelKey, kKeyRead, InstallerMachineView(), &key) !=
      kErrorSuccess)
    return {};
  std::string channel;
  if (key.QueryString("", kShortTextBytes, &channel) != kErrorSuccess) return {};
  return channel;
}

// ---------------------------------------------------------------- files

std::optional<std::string> GetFileVersionText(const std::string& path) {
  constexpr size_t kChunkBytes = 1 << 20;
  constexpr size_t kMaxBytes = size_t{64} << 20;
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::string data;
  std::vector<char> chunk(kChunkBytes);
  size_t total = 0;
  size_t resume = 0;
  while (total < kMaxBytes) {
    in.read(chunk.data(), static_cast<std::streamsize>(std::min(kChunkBytes, kMaxBytes - total)));
    const size_t got = static_cast<size_t>(in.gcount());
    total += got;
    data.append(chunk.data(), got);
    const bool at_end = got == 0 || !in || total >= kMaxBytes;
    if (auto version = FindVersionNote(data, at_end, &resume)) return version;
    if (at_end) break;
    data.erase(0, resume);  // only what a later match could still start in stays
    resume = 0;
  }
  return std::nullopt;
}

std::string GetSelfVersion() { return DottedFileVersion(ORU_FILE_VERSION).value_or("0.0.0.0"); }

std::string GetSelfFileName() {
  const std::string exe = OwnExecutablePath();
  return exe.substr(exe.rfind('/') + 1);
}

std::string GetShellUserLocalAppData() {
  const Locations& locations = ProcessLocations();
  return locations.desktop_user.home.empty() ? std::string() : locations.local_app_data;
}

std::string GetBrandFolder(BrandFolderKind kind, const std::string& name) {
  const Locations& locations = ProcessLocations();
  std::string base;
  switch (kind) {
    case BrandFolderKind::kCommonDocuments: base = locations.common_documents; break;
    case BrandFolderKind::kTemp: base = locations.temp_dir; break;
    case BrandFolderKind::kExeFolder: base = ExecutableFolder(); break;
  }
  if (base.empty()) return {};
  const std::string folder =
      WithTrailingSeparator(base) + (name.empty() ? std::string(kDefaultBrandFolder) : name) + "/";
  (void)CreateDirectoryLevels(folder);
  return folder;
}

bool IsFolderWritable(const std::string& folder) {
  if (folder.empty()) return false;
  // A new file of our own: an existing "oru.tmp" (or a link planted under
  // that name) is never opened, truncated or removed.
  const std::optional<std::string> probe = CreateUniqueTempFile(folder, "oru.tmp.", std::string());
  if (!probe) return false;
  (void)RemoveFile(*probe);
  return true;
}

// ---------------------------------------------------------------- texts

std::string GetTimestampText(const Clock& clock) {
  const LocalDateTime t = ToLocalDateTime(UnixSeconds(clock.Now()));
  char text[32];
  std::snprintf(text, sizeof text, "%04d%02d%02d%02d%02d%02d", t.year, t.month, t.day, t.hour, t.minute, t.second);
  return text;
}

std::string AppendTimestampParam(const std::string& url, const Clock& clock) {
  const long long seconds = std::max(0LL, UnixSeconds(clock.Now()));
  return url + (url.find('?') == std::string::npos ? "?" : "&") + "_t=" +
         std::to_string(static_cast<unsigned long long>(seconds));
}

bool IsWebAddress(const std::string& text) {
  std::string compact;
  std::copy_if(text.begin(), text.end(), std::back_inserter(compact), [](char c) { return c != ' '; });
  if (compact.rfind("http://", 0) == 0 && compact.size() >= 8) return true;
  return text.rfind("https://", 0) == 0 && compact.size() > 8;
}

}  // namespace oru
