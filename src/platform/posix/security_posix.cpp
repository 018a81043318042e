#include "platform/security.h"

#include <pwd.h>
#include <unistd.h>

#include <charconv>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <vector>

namespace oru {
namespace {

std::optional<unsigned> UidFromEnvironment(const char* name) {
  const char* text = std::getenv(name);
  if (text == nullptr || *text == '\0') return std::nullopt;
  unsigned uid = 0;
  const char* end = text + std::strlen(text);
  auto [ptr, ec] = std::from_chars(text, end, uid);
  if (ec != std::errc() || ptr != end) return std::nullopt;
  return uid;
}

}  // namespace

bool IsAdministrator() { return ::geteuid() == 0; }

DesktopUser GetDesktopUser() {
  DesktopUser user;
  user.uid = ::getuid();
  if (auto sudo = UidFromEnvironment("SUDO_UID")) {
    user.uid = *sudo;
  } else if (auto pkexec = UidFromEnvironment("PKEXEC_UID")) {
    user.uid = *pkexec;
  }
  std::vector<char> buf(16384);
  struct passwd pw{};
  struct passwd* found = nullptr;
  if (::getpwuid_r(user.uid, &pw, buf.data(), buf.size(), &found) == 0 && found != nullptr) {
    user.gid = found->pw_gid;
    user.name = found->pw_name;
    user.home = found->pw_dir;
  }
  if (user.uid == ::getuid() && user.home.empty()) {
    if (const char* home = std::getenv("HOME")) user.home = home;
  }
  while (user.home.size() > 1 && user.home.back() == '/') user.home.pop_back();
  return user;
}

}  // namespace oru
