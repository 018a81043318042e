#include "common/utf.h"

#include <cstdint>
#include <cstring>

namespace oru {
namespace {

constexpr char32_t kInvalid = 0xFFFFFFFFu;

bool IsAsciiWord(const unsigned char* p) {
  uint64_t word;
  std::memcpy(&word, p, sizeof word);
  return (word & 0x8080808080808080ull) == 0;
}

// Decodes the sequence at p (p < end) and returns the bytes it takes; cp is
// kInvalid for any malformed sequence. See utf.h for how much one bad
// sequence consumes.
size_t DecodeOne(const unsigned char* p, const unsigned char* end, char32_t& cp) {
  const unsigned char lead = *p;
  if (lead < 0x80) {
    cp = lead;
    return 1;
  }
  size_t len = 0;
  char32_t value = 0;
  if (lead < 0xC0 || lead >= 0xFE) {
    cp = kInvalid;  // stray continuation byte, or FE/FF
    return 1;
  }
  if (lead < 0xE0) {
    len = 2;
    value = lead & 0x1Fu;
  } else if (lead < 0xF0) {
    len = 3;
    value = lead & 0x0Fu;
  } else if (lead < 0xF8) {
    len = 4;
    value = lead & 0x07u;
  } else {
    len = lead < 0xFC ? 5 : 6;
  }
  const size_t avail = static_cast<size_t>(end - p);
  size_t i = 1;
  for (; i < len && i < avail && (p[i] & 0xC0) == 0x80; ++i) value = (value << 6) | (p[i] & 0x3Fu);
  if (i < len || len > 4) {
    cp = kInvalid;
    return i;
  }
  static constexpr char32_t kMinimum[5] = {0, 0, 0x80, 0x800, 0x10000};
  const bool overlong = value < kMinimum[len];
  const bool surrogate = value >= 0xD800 && value <= 0xDFFF;
  cp = (overlong || surrogate || value > 0x10FFFF) ? kInvalid : value;
  return len;
}

char16_t* PutUtf16(char32_t cp, char16_t* out) {
  if (cp < 0x10000) {
    *out++ = static_cast<char16_t>(cp);
    return out;
  }
  cp -= 0x10000;
  *out++ = static_cast<char16_t>(0xD800 + (cp >> 10));
  *out++ = static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
  return out;
}

char* PutUtf8(char32_t cp, char* out) {
  if (cp < 0x80) {
    *out++ = static_cast<char>(cp);
  } else if (cp < 0x800) {
    *out++ = static_cast<char>(0xC0 | (cp >> 6));
    *out++ = static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    *out++ = static_cast<char>(0xE0 | (cp >> 12));
    *out++ = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    *out++ = static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    *out++ = static_cast<char>(0xF0 | (cp >> 18));
    *out++ = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    *out++ = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    *out++ = static_cast<char>(0x80 | (cp & 0x3F));
  }
  return out;
}

// UTF-8 -> UTF-16. Each input byte yields at most one UTF-16 unit, so the
// output is sized once. Returns false at the first bad sequence when strict.
bool DecodeUtf8(std::string_view utf8, bool strict, std::u16string& wide) {
  wide.resize(utf8.size());
  const auto* p = reinterpret_cast<const unsigned char*>(utf8.data());
  const auto* end = p + utf8.size();
  char16_t* out = wide.data();
  while (p < end) {
    while (end - p >= 8 && IsAsciiWord(p)) {
      for (int i = 0; i < 8; ++i) out[i] = p[i];
      p += 8;
      out += 8;
    }
    if (p == end) break;
    char32_t cp;
    p += DecodeOne(p, end, cp);
    if (cp == kInvalid) {
      if (strict) return false;
      cp = u'?';
    }
    out = PutUtf16(cp, out);
  }
  wide.resize(static_cast<size_t>(out - wide.data()));
  return true;
}

// UTF-16 -> UTF-8. One unit needs at most three bytes (a pair needs four
// for two units). Returns false at the first lone surrogate when strict.
bool EncodeUtf8(std::u16string_view wide, bool strict, std::string& utf8) {
  utf8.resize(wide.size() * 3);
  char* out = utf8.data();
  const char16_t* p = wide.data();
  const char16_t* end = p + wide.size();
  while (p < end) {
    char32_t cp = *p++;
    if (cp >= 0xD800 && cp <= 0xDFFF) {
      if (cp <= 0xDBFF && p < end && *p >= 0xDC00 && *p <= 0xDFFF) {
        cp = 0x10000 + ((cp - 0xD800) << 10) + (*p++ - 0xDC00);
      } else {
        if (strict) return false;
        cp = u'?';
      }
    }
    out = PutUtf8(cp, out);
  }
  utf8.resize(static_cast<size_t>(out - utf8.data()));
  return true;
}

}  // namespace

std::string Utf8FromWide(std::u16string_view wide) {
  std::string utf8;
  if (!EncodeUtf8(wide, true, utf8)) return {};
  return utf8;
}

std::u16string WideFromUtf8(std::string_view utf8) {
  std::u16string wide;
  if (!DecodeUtf8(utf8, true, wide)) return {};
  return wide;
}

std::u16string DecodeUtf8Lenient(std::string_view utf8) {
  std::u16string wide;
  DecodeUtf8(utf8, false, wide);
  return wide;
}

std::string EncodeUtf8Lenient(std::u16string_view wide) {
  std::string utf8;
  EncodeUtf8(wide, false, utf8);
  return utf8;
}

std::string SanitizeUtf8(std::string_view utf8) {
  std::string clean;
  clean.resize(utf8.size());  // "?" never outgrows the sequence it replaces
  const auto* p = reinterpret_cast<const unsigned char*>(utf8.data());
  const auto* end = p + utf8.size();
  char* out = clean.data();
  while (p < end) {
    char32_t cp;
    const size_t n = DecodeOne(p, end, cp);
    if (cp == kInvalid) {
      *out++ = '?';
    } else {
      std::memcpy(out, p, n);
      out += n;
    }
    p += n;
  }
  clean.resize(static_cast<size_t>(out - clean.data()));
  return clean;
}

size_t Utf16Length(std::string_view utf8) {
  const auto* p = reinterpret_cast<const unsigned char*>(utf8.data());
  const auto* end = p + utf8.size();
  size_t units = 0;
  while (p < end) {
    while (end - p >= 8 && IsAsciiWord(p)) {
      p += 8;
      units += 8;
    }
    if (p == end) break;
    char32_t cp;
    p += DecodeOne(p, end, cp);
    units += (cp != kInvalid && cp >= 0x10000) ? 2 : 1;
  }
  return units;
}

}  // namespace oru
