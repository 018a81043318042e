#pragma once
// Installed products of the family, read from the registry's product
// registrations (HKLM "Software\<brand>\*", both views), the Windows
// uninstall registrations and the companion product's key; and version
// texts parsed and compared. No state of their own.

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/registry.h"

namespace oru {

struct InstalledLookup {
  bool found = false;
  std::string value;
};

// The ids that count as the product: the related ids the product API gives
// for the product and the brand's client sign (GetClientSign, which may
// create the sign), or the product id alone when there are none (no answer,
// an error, no relations). A non-empty list is used as it is.
std::vector<int32_t> GetFamilyIds(const std::string& brand, int32_t product_id);
// Makes GetFamilyIds ask `provider` (product id -> related ids) instead of
// the product API, and skip the client sign (tests); nullptr restores.
void SetRelationIdsProviderForTesting(std::function<std::vector<int32_t>(int32_t)> provider);

// The first installed registration of the family (64-bit view, then the
// 32-bit one) and its REG_SZ `value_name` ("" in `value` when that is absent
// or empty). Not found: found false, value empty. Logs the views tried.
InstalledLookup GetProductInstalledWithKey(const std::string& brand, int32_t product_id,
                                           const std::string& value_name);
// The same in one view for a given id list: the first subkey of
// HKLM "Software\<brand>" in enumeration order whose REG_DWORD "PID" is in
// `ids` and that carries a non-empty "InstallInfo" or "InstallDate".
InstalledLookup GetProductInstalledWithKeyEx(const std::string& brand, const std::vector<int32_t>& ids,
                                             const std::string& value_name, RegView view);
// Appends the non-empty "Version" of every subkey whose REG_DWORD "PID" is
// in `ids`, install marks or not. Appends nothing when the brand key is absent.
void CollectProductVersionsEx(const std::string& brand, const std::vector<int32_t>& ids, RegView view,
                              std::vector<std::string>* versions);

// Whether a registration of the family is marked installed in either view.
bool IsProductInstalled(const std::string& brand, int32_t product_id);
// That registration's "Version", "InstallName" (full path of the main
// executable) or "InstallPath"; empty when not installed or not recorded.
std::string GetProductInstalledVersion(const std::string& brand, int32_t product_id);
std::string GetProductInstallName(const std::string& brand, int32_t product_id);
std::string GetProductInstallPath(const std::string& brand, int32_t product_id);
// Every version of the family in both views, sorted by plain text order
// ("10.1.0" before "9.2.0"), without duplicates; empty when none.
std::vector<std::string> GetAllProductInstalledVersions(const std::string& brand, int32_t product_id);
// "Version" of the first uninstall registration (64-bit view, then the
// 32-bit one) whose REG_SZ "PID" equals `pid` exactly; empty when none.
std::string GetUninstallVersionByPid(const std::string& pid);
// The companion product's "InstallName" from the first view (64-bit, then
// 32-bit) where it names an existing file; otherwise what the last view
// held, possibly a missing file, or empty.
std::string GetLaunchDeckInstallName();
// True when GetLaunchDeckInstallName names an existing file.
bool IsLaunchDeckInstalled();

struct VersionValue {
  int32_t major = 0;
  int32_t minor = 0;
  int32_t patch = 0;
};
// Up to four dotted numbers read as scanf's "%d.%d.%d.%d" reads them (it
// stops at the first character that does not fit); the first three make
// the value, missing ones are 0 ("abc" gives 0.0.0).
VersionValue ParseVersion(std::string_view text);
// 1 when `server` is newer than `installed`, 0 when equal, -1 otherwise
// (three components).
int CompareVersion(std::string_view server, std::string_view installed);

}  // namespace oru
