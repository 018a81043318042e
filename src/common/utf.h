#pragma once
// Text conversions shared by every subsystem. In memory, on disk and on the
// wire text is UTF-8 in std::string; std::u16string appears only where UTF-16
// is observable (XML character counts, copy-data texts, host-information file).

#include <string>
#include <string_view>

namespace oru {

// Strict conversions: any invalid input (a lone surrogate, a malformed or
// overlong UTF-8 sequence, a code point above U+10FFFF) gives an empty text.
std::string Utf8FromWide(std::u16string_view wide);
std::u16string WideFromUtf8(std::string_view utf8);

// Lenient decoding for resources and files: every invalid or cut-short
// sequence (including overlong forms, surrogates encoded in UTF-8, lead bytes
// announcing five or more bytes, code points above U+10FFFF) becomes one "?".
// Characters above U+FFFF become surrogate pairs.
//
// What one "?" consumes: the lead byte and the continuation bytes (80..BF)
// that follow it, up to the length the lead byte announces (2 for C0..DF,
// 3 for E0..EF, 4 for F0..F7, 5 for F8..FB, 6 for FC..FD). A sequence cut
// short by a non-continuation byte or by the end of the text ends there; the
// next byte starts afresh. A stray continuation byte and FE/FF are one "?"
// each. Examples: "C0 80" -> "?", "ED A0 80" -> "?", "E4 B8 41" -> "?A",
// "80 80" -> "??". SanitizeUtf8 and Utf16Length follow the same rule.
std::u16string DecodeUtf8Lenient(std::string_view utf8);

// Lenient encoding: a lone surrogate becomes "?"; a pair becomes one
// four-byte sequence.
std::string EncodeUtf8Lenient(std::u16string_view wide);

// Replaces every invalid sequence of a UTF-8 text with "?" (UTF-8 in, UTF-8 out).
std::string SanitizeUtf8(std::string_view utf8);

// Number of UTF-16 code units the UTF-8 text needs (invalid sequences count
// as one "?"), without materialising the wide text.
size_t Utf16Length(std::string_view utf8);

}  // namespace oru
