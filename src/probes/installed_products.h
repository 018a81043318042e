#pragma once
// Installed products of the family, read from the registry's product
// registrations (HKLM "Software\<brand>\*", both views), the Windows
// uninstall registrations and the companion product's key; and version
// texts parsed and compared. No state of their own.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/registry.h"

namespace oru {

struct InstalledLookup {
  bool found = false;
  std::string value;
};

// The ids that count as the product: the related ids of the product API,
// or the product id alone when there are none.
std::vector<int32_t> GetFamilyIds(int32_t product_id);

InstalledLookup GetProductInstalledWithKey(const std::string& brand, int32_t product_id,
                                           const std::string& value_name);
InstalledLookup GetProductInstalledWithKeyEx(const std::string& brand, const std::vector<int32_t>& ids,
                                             const std::string& value_name, RegView view);
void CollectProductVersionsEx(const std::string& brand, const std::vector<int32_t>& ids, RegView view,
                              std::vector<std::string>* versions);

bool IsProductInstalled(const std::string& brand, int32_t product_id);
std::string GetProductInstalledVersion(const std::string& brand, int32_t product_id);
std::string GetProductInstallName(const std::string& brand, int32_t product_id);
std::string GetProductInstallPath(const std::string& brand, int32_t product_id);
// Every version of the family in both views, sorted, without duplicates.
std::vector<std::string> GetAllProductInstalledVersions(const std::string& brand, int32_t product_id);
// "Version" of the first uninstall registration whose "PID" text equals `pid`.
std::string GetUninstallVersionByPid(const std::string& pid);
std::string GetLaunchDeckInstallName();
bool IsLaunchDeckInstalled();

struct VersionValue {
  int32_t major = 0;
  int32_t minor = 0;
  int32_t patch = 0;
};
VersionValue ParseVersion(std::string_view text);
// 1 when `server` is newer than `installed`, 0 when equal, -1 otherwise
// (three components).
int CompareVersion(std::string_view server, std::string_view installed);

}  // namespace oru
