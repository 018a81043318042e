#pragma once
// Building URLs from values that come from configuration, servers or users:
// every inserted value is percent-encoded so that it cannot change the
// URL's structure.

#include <string>
#include <string_view>

namespace oru {

// Percent-encodes every byte outside the unreserved set
// (A-Z a-z 0-9 - . _ ~), upper-case hex digits ("a b/c" -> "a%20b%2Fc").
std::string UrlEncode(std::string_view value);

// Percent-encodes a path: as UrlEncode, but "/" stays.
std::string UrlEncodePath(std::string_view path);

// Appends `key`=`UrlEncode(value)` with "?" when the URL holds no "?" yet,
// else with "&".
std::string AppendQueryParameter(std::string url, std::string_view key, std::string_view value);

}  // namespace oru
