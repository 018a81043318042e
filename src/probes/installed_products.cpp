#include "probes/installed_products.h"

#include <algorithm>
#include <mutex>
#include <optional>
#include <tuple>
#include <utility>

#include "common/log.h"
#include "platform/file_util.h"
#include "probes/platform_facts.h"
#include "probes/system_registry.h"
#include "server_api/strategy_services.h"

namespace oru {
namespace {

constexpr size_t kStringValueBytes = 510;   // 255 wide characters
constexpr size_t kInstallNameBytes = 520;   // 260 wide characters
constexpr char kUninstallKey[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall";
constexpr char kUninstallKey32[] = "SOFTWARE\\WOW6432Node\\Microsoft\\Windows\\CurrentVersion\\Uninstall";
constexpr char kLaunchDeckKey[] = "Software\\Quorvane\\Quorvane Launch Deck";

using RelationProvider = std::function<std::vector<int32_t>(int32_t)>;

std::mutex& ProviderMutex() {
  static auto* mutex = new std::mutex();
  return *mutex;
}

RelationProvider& Provider() {
  static auto* provider = new RelationProvider();
  return *provider;
}

std::string BrandKey(const std::string& brand) { return "Software\\" + brand; }

const char* ViewName(RegView view) { return view == RegView::k64Key ? "64bit" : "32bit"; }

// The subkey's REG_DWORD "PID" when it is one of `ids`.
bool PidMatches(const RegKey& key, const std::vector<int32_t>& ids, int32_t* pid) {
  uint32_t number = 0;
  uint32_t type = kRegNone;
  if (key.QueryDword("PID", &number, &type) != kErrorSuccess || type != kRegDword) return false;
  *pid = static_cast<int32_t>(number);
  return std::find(ids.begin(), ids.end(), *pid) != ids.end();
}

std::string NonEmptyString(const RegKey& key, const char* name, size_t buffer_bytes) {
  std::string text;
  if (key.QueryString(name, buffer_bytes, &text) != kErrorSuccess) return {};
  return text;
}

bool HasInstallMark(const RegKey& key) {
  return !NonEmptyString(key, "InstallInfo", kStringValueBytes).empty() ||
         !NonEmptyString(key, "InstallDate", kStringValueBytes).empty();
}

// Calls `visit(subkey name, opened subkey)` for every subkey of the brand key
// in enumeration order until it returns true.
template <typename Visit>
void ForEachBrandSubkey(const std::string& brand, RegView view, uint32_t subkey_access, Visit visit) {
  const Registry registry = ProcessRegistry();
  const std::string brand_key = BrandKey(brand);
  RegKey parent;
  if (registry.OpenKey(RegHive::kLocalMachine, brand_key, kKeyEnumerateSubKeys | kKeyQueryValue, view, &parent) !=
      kErrorSuccess)
    return;
  std::string name;
  for (uint32_t index = 0; parent.EnumKey(index, &name) == kErrorSuccess; ++index) {
    RegKey subkey;
    if (registry.OpenKey(RegHive::kLocalMachine, brand_key + "\\" + name, subkey_access, view, &subkey) !=
        kErrorSuccess)
      continue;
    if (visit(name, subkey)) return;
  }
}

// "Version" of the first subkey of `path` whose REG_SZ "PID" equals `pid`;
// nullopt when none (a match without a readable "Version" does not count).
std::optional<std::string> UninstallVersionIn(const char* path, RegView view, const std::string& pid) {
  const Registry registry = ProcessRegistry();
  RegKey parent;
  if (registry.OpenKey(RegHive::kLocalMachine, path, kKeyRead, view, &parent) != kErrorSuccess) return std::nullopt;
  std::string name;
  for (uint32_t index = 0; parent.EnumKey(index, &name) == kErrorSuccess; ++index) {
    RegKey subkey;
    if (registry.OpenKey(RegHive::kLocalMachine, std::string(path) + "\\" + name, kKeyRead, view, &subkey) !=
        kErrorSuccess)
      continue;
    std::string stored_pid;
    if (subkey.QueryString("PID", kStringValueBytes, &stored_pid) != kErrorSuccess || stored_pid != pid) continue;
    std::string version;
    if (subkey.QueryString("Version", kStringValueBytes, &version) == kErrorSuccess) return version;
  }
  return std::nullopt;
}

std::string LaunchDeckNameIn(RegView view) {
  const Registry registry = ProcessRegistry();
  RegKey key;
  // The key is made when absent, as the companion's installer expects it.
  if (registry.CreateKey(RegHive::kLocalMachine, kLaunchDeckKey, kKeyRead, view, &key) != kErrorSuccess &&
      registry.OpenKey(RegHive::kLocalMachine, kLaunchDeckKey, kKeyRead, view, &key) != kErrorSuccess)
    return {};
  return NonEmptyString(key, "InstallName", kInstallNameBytes);
}

bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// One "%d" conversion at `*pos`: blanks, an optional sign, at least one
// digit; held to the int32 range. False when no number is there.
bool ScanInt(std::string_view text, size_t* pos, int32_t* value) {
  size_t i = *pos;
  while (i < text.size() && IsSpace(text[i])) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  if (i >= text.size() || !IsDigit(text[i])) return false;
  long long number = 0;
  for (; i < text.size() && IsDigit(text[i]); ++i) number = std::min<long long>(number * 10 + (text[i] - '0'), 1LL << 31);
  if (negative) number = -number;
  *value = static_cast<int32_t>(std::clamp<long long>(number, INT32_MIN, INT32_MAX));
  *pos = i;
  return true;
}

}  // namespace

std::vector<int32_t> GetFamilyIds(const std::string& brand, int32_t product_id) {
  RelationProvider provider;
  {
    std::lock_guard<std::mutex> lock(ProviderMutex());
    provider = Provider();
  }
  std::vector<int32_t> ids =
      provider ? provider(product_id) : GetRelationProductIds(product_id, GetClientSign(brand));
  if (ids.empty()) ids.push_back(product_id);
  return ids;
}

void SetRelationIdsProviderForTesting(std::function<std::vector<int32_t>(int32_t)> provider) {
  std::lock_guard<std::mutex> lock(ProviderMutex());
  Provider() = std::move(provider);
}

InstalledLookup GetProductInstalledWithKeyEx(const std::string& brand, const std::vector<int32_t>& ids,
                                             const std::string& value_name, RegView view) {
  InstalledLookup result;
  ForEachBrandSubkey(brand, view, kKeyEnumerateSubKeys | kKeyQueryValue, [&](const std::string& name,
                                                                             const RegKey& subkey) {
    int32_t pid = 0;
    if (!PidMatches(subkey, ids, &pid)) return false;
    Log(kLogInfo, "[INFO] GetProductInstalledWithKeyEx, found matched pid=[%d], subkey=[%s], view=[%s].", pid,
        name.c_str(), ViewName(view));
    if (!HasInstallMark(subkey)) return false;
    result.found = true;
    result.value = NonEmptyString(subkey, value_name.c_str(), kStringValueBytes);
    return true;
  });
  return result;
}

InstalledLookup GetProductInstalledWithKey(const std::string& brand, int32_t product_id,
                                           const std::string& value_name) {
  const std::vector<int32_t> ids = GetFamilyIds(brand, product_id);
  Log(kLogInfo, "[INFO] GetProductInstalledWithKey, try 64-bit registry view first, product_id=[%d]", product_id);
  InstalledLookup result = GetProductInstalledWithKeyEx(brand, ids, value_name, RegView::k64Key);
  if (result.found) {
    Log(kLogInfo, "[INFO] GetProductInstalledWithKey, found in 64-bit view, product_id=[%d]", product_id);
    return result;
  }
  Log(kLogInfo, "[INFO] GetProductInstalledWithKey, try 32-bit registry view, product_id=[%d]", product_id);
  result = GetProductInstalledWithKeyEx(brand, ids, value_name, RegView::k32Key);
  if (result.found) {
    Log(kLogInfo, "[INFO] GetProductInstalledWithKey, found in 32-bit view, product_id=[%d]", product_id);
    return result;
  }
  Log(kLogWarn, "[WARN] GetProductInstalledWithKey, not found in both views, product_id=[%d]", product_id);
  return {};
}

void CollectProductVersionsEx(const std::string& brand, const std::vector<int32_t>& ids, RegView view,
                              std::vector<std::string>* versions) {
  ForEachBrandSubkey(brand, view, kKeyQueryValue, [&](const std::string& name, const RegKey& subkey) {
    int32_t pid = 0;
    if (!PidMatches(subkey, ids, &pid)) return false;
    std::string version = NonEmptyString(subkey, "Version", kStringValueBytes);
    if (version.empty()) return false;
    Log(kLogInfo, "[INFO] CollectProductVersionsEx, found version=[%s] in subkey=[%s], view=[%s].", version.c_str(),
        name.c_str(), ViewName(view));
    versions->push_back(std::move(version));
    return false;
  });
}

bool IsProductInstalled(const std::string& brand, int32_t product_id) {
  return GetProductInstalledWithKey(brand, product_id, "Version").found;
}

std::string GetProductInstalledVersion(const std::string& brand, int32_t product_id) {
  return GetProductInstalledWithKey(brand, product_id, "Version").value;
}

std::string GetProductInstallName(const std::string& brand, int32_t product_id) {
  return GetProductInstalledWithKey(brand, product_id, "InstallName").value;
}

std::string GetProductInstallPath(const std::string& brand, int32_t product_id) {
  return GetProductInstalledWithKey(brand, product_id, "InstallPath").value;
}

std::vector<std::string> GetAllProductInstalledVersions(const std::string& brand, int32_t product_id) {
  const std::vector<int32_t> ids = GetFamilyIds(brand, product_id);
  std::vector<std::string> versions;
  CollectProductVersionsEx(brand, ids, RegView::k64Key, &versions);
  CollectProductVersionsEx(brand, ids, RegView::k32Key, &versions);
  std::sort(versions.begin(), versions.end());
  versions.erase(std::unique(versions.begin(), versions.end()), versions.end());
  Log(kLogInfo, "[INFO] GetAllProductInstalledVersions, product_id=[%d], found [%d] unique version(s).", product_id,
      static_cast<int>(versions.size()));
  return versions;
}

std::string GetUninstallVersionByPid(const std::string& pid) {
  std::optional<std::string> version = UninstallVersionIn(kUninstallKey, RegView::k64Key, pid);
  if (!version) version = UninstallVersionIn(kUninstallKey32, RegView::k32Key, pid);
  return version.value_or("");
}

std::string GetLaunchDeckInstallName() {
  std::string name;
  for (RegView view : {RegView::k64Key, RegView::k32Key}) {
    name = LaunchDeckNameIn(view);
    if (!name.empty() && PathExists(name)) break;
  }
  return name;
}

bool IsLaunchDeckInstalled() {
  const std::string name = GetLaunchDeckInstallName();
  return !name.empty() && PathExists(name);
}

VersionValue ParseVersion(std::string_view text) {
  int32_t parts[4] = {0, 0, 0, 0};
  size_t pos = 0;
  for (int n = 0; n < 4; ++n) {
    if (n > 0) {
      if (pos >= text.size() || text[pos] != '.') break;
      ++pos;
    }
    if (!ScanInt(text, &pos, &parts[n])) break;
  }
  VersionValue version;
  version.major = parts[0];
  version.minor = parts[1];
  version.patch = parts[2];
  return version;
}

int CompareVersion(std::string_view server, std::string_view installed) {
  const VersionValue s = ParseVersion(server);
  const VersionValue i = ParseVersion(installed);
  const auto server_key = std::tie(s.major, s.minor, s.patch);
  const auto installed_key = std::tie(i.major, i.minor, i.patch);
  if (installed_key < server_key) return 1;
  if (installed_key > server_key) return -1;
  return 0;
}

}  // namespace oru
