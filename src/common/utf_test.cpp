#include "common/utf.h"

#include <gtest/gtest.h>

#include <string>

namespace oru {
namespace {

struct DecodeCase {
  const char* label;
  std::string utf8;
  std::u16string lenient;  // what the lenient decoder gives
  bool valid;              // whether the strict decoder accepts it
};

class Utf8DecodeTest : public ::testing::TestWithParam<DecodeCase> {};

TEST_P(Utf8DecodeTest, LenientStrictSanitizeAndLengthAgree) {
  const DecodeCase& c = GetParam();
  EXPECT_EQ(DecodeUtf8Lenient(c.utf8), c.lenient);
  EXPECT_EQ(Utf16Length(c.utf8), c.lenient.size());
  // Sanitizing keeps the good sequences byte for byte and turns each bad one
  // into the same single "?" as the decoder.
  EXPECT_EQ(SanitizeUtf8(c.utf8), EncodeUtf8Lenient(c.lenient));
  EXPECT_EQ(WideFromUtf8(c.utf8), c.valid ? c.lenient : std::u16string());
}

using namespace std::string_literals;

INSTANTIATE_TEST_SUITE_P(
    Cases, Utf8DecodeTest,
    ::testing::Values(
        DecodeCase{"ascii", "abc", u"abc", true},
        DecodeCase{"embedded_nul", "a\0b"s, u"a\0b"s, true},
        DecodeCase{"two_byte", "\xC3\xA9", u"\u00E9", true},
        DecodeCase{"three_byte", "\xE4\xB8\xAD", u"\u4E2D", true},
        DecodeCase{"bmp_last", "\xEF\xBF\xBF", u"\uFFFF", true},
        DecodeCase{"four_byte_pair", "\xF0\x9F\x98\x80", u"\xD83D\xDE00", true},
        DecodeCase{"max_code_point", "\xF4\x8F\xBF\xBF", u"\xDBFF\xDFFF", true},
        DecodeCase{"fast_path_then_multibyte", "abcdefghij\xC3\xA9klmnopqrstuvw",
                   u"abcdefghij\u00E9klmnopqrstuvw", true},
        DecodeCase{"overlong_nul", "\xC0\x80", u"?", false},
        DecodeCase{"overlong_two_byte", "a\xC1\xBF" "b", u"a?b", false},
        DecodeCase{"overlong_three_byte", "\xE0\x80\xAF", u"?", false},
        DecodeCase{"overlong_four_byte", "\xF0\x8F\xBF\xBF", u"?", false},
        DecodeCase{"surrogate_high", "\xED\xA0\x80", u"?", false},
        DecodeCase{"surrogate_low", "\xED\xBF\xBF", u"?", false},
        DecodeCase{"surrogate_pair_cesu", "x\xED\xA0\xBD\xED\xB8\x80y", u"x??y", false},
        DecodeCase{"above_max", "\xF4\x90\x80\x80", u"?", false},
        DecodeCase{"above_max_f7", "\xF7\xBF\xBF\xBF" "A", u"?A", false},
        DecodeCase{"five_byte_lead", "\xF8\x88\x80\x80\x80" "A", u"?A", false},
        DecodeCase{"six_byte_lead", "\xFC\x84\x80\x80\x80\x80" "A", u"?A", false},
        DecodeCase{"five_byte_lead_alone", "\xF8" "A", u"?A", false},
        DecodeCase{"cut_short_at_end", "ab\xE4\xB8", u"ab?", false},
        DecodeCase{"cut_short_by_ascii", "\xE4\xB8" "A", u"?A", false},
        DecodeCase{"cut_short_four_byte", "\xF0\x9F\x98", u"?", false},
        DecodeCase{"cut_short_by_new_lead", "\xC3\xC3\xA9", u"?\u00E9", false},
        DecodeCase{"stray_continuations", "\x80\xBF", u"??", false},
        DecodeCase{"fe_ff", "\xFE\xFF", u"??", false}),
    [](const ::testing::TestParamInfo<DecodeCase>& p) { return std::string(p.param.label); });

struct EncodeCase {
  const char* label;
  std::u16string wide;
  std::string lenient;
  bool valid;
};

class Utf8EncodeTest : public ::testing::TestWithParam<EncodeCase> {};

TEST_P(Utf8EncodeTest, LenientAndStrict) {
  const EncodeCase& c = GetParam();
  EXPECT_EQ(EncodeUtf8Lenient(c.wide), c.lenient);
  EXPECT_EQ(Utf8FromWide(c.wide), c.valid ? c.lenient : std::string());
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Utf8EncodeTest,
    ::testing::Values(
        EncodeCase{"ascii", u"abc", "abc", true},
        EncodeCase{"bmp", u"\u00E9\u4E2D\uFFFF", "\xC3\xA9\xE4\xB8\xAD\xEF\xBF\xBF", true},
        EncodeCase{"pair", u"\xD83D\xDE00", "\xF0\x9F\x98\x80", true},
        EncodeCase{"max_pair", u"\xDBFF\xDFFF", "\xF4\x8F\xBF\xBF", true},
        EncodeCase{"lone_high_at_end", u"a\xD83D", "a?", false},
        EncodeCase{"lone_low", u"\xDE00" u"b", "?b", false},
        EncodeCase{"reversed_pair", u"\xDE00\xD83D", "??", false},
        EncodeCase{"high_then_ascii", u"\xD83D" u"A", "?A", false},
        EncodeCase{"high_high_low", u"\xD83D\xD83D\xDE00", "?\xF0\x9F\x98\x80", false}),
    [](const ::testing::TestParamInfo<EncodeCase>& p) { return std::string(p.param.label); });

TEST(UtfTest, EveryScalarValueRoundTrips) {
  std::u16string wide;
  for (char32_t cp = 1; cp <= 0x10FFFF; ++cp) {
    if (cp >= 0xD800 && cp <= 0xDFFF) continue;
    if (cp < 0x10000) {
      wide.push_back(static_cast<char16_t>(cp));
    } else {
      wide.push_back(static_cast<char16_t>(0xD800 + ((cp - 0x10000) >> 10)));
      wide.push_back(static_cast<char16_t>(0xDC00 + ((cp - 0x10000) & 0x3FF)));
    }
  }
  const std::string utf8 = Utf8FromWide(wide);
  ASSERT_FALSE(utf8.empty());
  EXPECT_EQ(utf8, EncodeUtf8Lenient(wide));
  EXPECT_EQ(WideFromUtf8(utf8), wide);
  EXPECT_EQ(DecodeUtf8Lenient(utf8), wide);
  EXPECT_EQ(Utf16Length(utf8), wide.size());
  EXPECT_EQ(SanitizeUtf8(utf8), utf8);
}

TEST(UtfTest, EmptyInputsStayEmpty) {
  EXPECT_EQ(Utf8FromWide(u""), "");
  EXPECT_EQ(WideFromUtf8(""), u"");
  EXPECT_EQ(DecodeUtf8Lenient(""), u"");
  EXPECT_EQ(SanitizeUtf8(""), "");
  EXPECT_EQ(Utf16Length(""), 0u);
}

}  // namespace
}  // namespace oru
