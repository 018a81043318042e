#include "common/url.h"

namespace oru {
namespace {

bool IsUnreserved(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '.' ||
         c == '_' || c == '~';
}

std::string Encode(std::string_view value, bool keep_slash) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(value.size());
  for (unsigned char c : value) {
    if (IsUnreserved(c) || (keep_slash && c == '/')) {
      out.push_back(static_cast<char>(c));
      continue;
    }
    out.push_back('%');
    out.push_back(kHex[c >> 4]);
    out.push_back(kHex[c & 0x0F]);
  }
  return out;
}

}  // namespace

std::string UrlEncode(std::string_view value) { return Encode(value, false); }

std::string UrlEncodePath(std::string_view path) { return Encode(path, true); }

std::string AppendQueryParameter(std::string url, std::string_view key, std::string_view value) {
  url += url.find('?') == std::string::npos ? '?' : '&';
  url.append(key);
  url += '=';
  url += UrlEncode(value);
  return url;
}

}  // namespace oru
