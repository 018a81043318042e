#pragma once
// The installer's command line: key=value arguments.

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace oru {

// Ordered, case-sensitive key -> value; a later argument with the same key
// replaces the earlier value.
using ArgumentMap = std::map<std::string, std::string>;

// Splits a command line with the Windows shell's rules: the program name ends
// at the closing quote or the first blank (no escapes in it); in the other
// arguments quotes group, 2n backslashes before a quote give n backslashes and
// toggle quoting, 2n+1 give n backslashes and a literal quote, and "" inside a
// quoted part gives a literal quote. Backslashes not before a quote are literal.
// An empty command line yields no arguments.
std::vector<std::string> SplitCommandLine(std::string_view command_line);

// Cuts each argument at its first "=": key before, value after; an argument
// without "=" is a key with an empty value.
ArgumentMap BuildArgumentMap(const std::vector<std::string>& arguments);

// The arguments start-up acts on.
struct StartupArguments {
  bool fork = false;          // OnlyForkInstallDependent=1
  std::string host_lang;      // HostLang
  std::string host_version;   // HostVersion
  std::string host_hwnd;      // HostHwnd, as written
};
StartupArguments ReadStartupArguments(const ArgumentMap& arguments);

// A window handle written in decimal: the whole text must be a signed 32-bit
// decimal number. nullopt otherwise.
std::optional<int32_t> ParseDecimalHandle(std::string_view text);

}  // namespace oru
