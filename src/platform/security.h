#pragma once
// Who runs the installer: the administrator check and the desktop user.

#include <string>

namespace oru {

// True when the process has administrator rights (effective uid 0 here).
bool IsAdministrator();

// The user at the desktop. When the installer was elevated through sudo or
// pkexec this is the invoking user (SUDO_UID / PKEXEC_UID), not root;
// products, browsers and the file manager are started as this user and the
// per-user registry hive is theirs.
struct DesktopUser {
  unsigned uid = 0;
  unsigned gid = 0;
  std::string name;
  std::string home;  // without a trailing separator; empty when unknown
};
DesktopUser GetDesktopUser();

}  // namespace oru
