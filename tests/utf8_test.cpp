#include "utf8.h"

#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <utility>

namespace {

using namespace std::string_view_literals;

// U+FFFD, the replacement character.
#define U_FFFD "\xEF\xBF\xBD"

struct Utf8Case {
  std::string_view bytes;
  bool valid;
  std::string_view lossy;  // decode_utf8_lossy's result
};

TEST(Utf8, ValidatesAndReplacesMaximalSubparts) {
  const Utf8Case cases[] = {
      // Well-formed text comes back unchanged.
      {""sv, true, ""sv},
      {"alpha"sv, true, "alpha"sv},
      {"a\0b"sv, true, "a\0b"sv},          // NUL is an ordinary character
      {"\xC2\x80"sv, true, "\xC2\x80"sv},  // U+0080
      {"\xDF\xBF"sv, true, "\xDF\xBF"sv},  // U+07FF
      {"\xE0\xA0\x80"sv, true, "\xE0\xA0\x80"sv},          // U+0800
      {"\xED\x9F\xBF"sv, true, "\xED\x9F\xBF"sv},          // U+D7FF
      {"\xEE\x80\x80"sv, true, "\xEE\x80\x80"sv},          // U+E000
      {"\xEF\xBF\xBF"sv, true, "\xEF\xBF\xBF"sv},          // U+FFFF
      {"\xF0\x90\x80\x80"sv, true, "\xF0\x90\x80\x80"sv},  // U+10000
      {"\xF4\x8F\xBF\xBF"sv, true, "\xF4\x8F\xBF\xBF"sv},  // U+10FFFF
      {"\xF0\x9F\x98\x80"sv, true, "\xF0\x9F\x98\x80"sv},  // U+1F600
      // Lone continuation bytes and bytes that never lead.
      {"\x80"sv, false, U_FFFD ""sv},
      {"a\xBF"
       "b"sv,
       false, "a" U_FFFD "b"sv},
      {"\xFE\xFF"sv, false, U_FFFD U_FFFD ""sv},
      {"\xF8\x88\x80\x80\x80"sv, false,
       U_FFFD U_FFFD U_FFFD U_FFFD U_FFFD ""sv},
      // Overlong forms.
      {"\xC0\x80"sv, false, U_FFFD U_FFFD ""sv},
      {"\xC1\xBF"sv, false, U_FFFD U_FFFD ""sv},
      {"\xE0\x80"sv, false, U_FFFD U_FFFD ""sv},
      {"\xE0\x9F\xBF"sv, false, U_FFFD U_FFFD U_FFFD ""sv},
      {"\xF0\x80\x80\x80"sv, false, U_FFFD U_FFFD U_FFFD U_FFFD ""sv},
      {"\xF0\x8F\xBF\xBF"sv, false, U_FFFD U_FFFD U_FFFD U_FFFD ""sv},
      // Surrogates.
      {"\xED\xA0\x80"sv, false, U_FFFD U_FFFD U_FFFD ""sv},
      {"\xED\xBF\xBF"sv, false, U_FFFD U_FFFD U_FFFD ""sv},
      // Above U+10FFFF.
      {"\xF4\x90\x80\x80"sv, false, U_FFFD U_FFFD U_FFFD U_FFFD ""sv},
      {"\xF5\x80\x80\x80"sv, false, U_FFFD U_FFFD U_FFFD U_FFFD ""sv},
      // Cut short, at the end or by a following character.
      {"\xC3"sv, false, U_FFFD ""sv},
      {"\xE2\x82"sv, false, U_FFFD ""sv},
      {"\xF0\x9F\x98"sv, false, U_FFFD ""sv},
      {"\xF0\x9F\x98"
       "a"sv,
       false, U_FFFD "a"sv},
      {"\xC3\xA9\xC3"sv, false, "\xC3\xA9" U_FFFD ""sv},
      {"\xE2\x82\xE2\x82\xAC"sv, false, U_FFFD "\xE2\x82\xAC"sv},
      // The standard's worked example of maximal subparts.
      {"a\xF1\x80\x80\xE1\x80\xC2"
       "b\x80"
       "c\x80\xBF"
       "d"sv,
       false, "a" U_FFFD U_FFFD U_FFFD "b" U_FFFD "c" U_FFFD U_FFFD "d"sv},
  };
  for (const Utf8Case& c : cases) {
    const std::string shown = testing::PrintToString(std::string(c.bytes));
    EXPECT_EQ(is_valid_utf8(c.bytes), c.valid) << shown;
    EXPECT_EQ(decode_utf8_lossy(c.bytes), c.lossy) << shown;
  }
}

#undef U_FFFD

TEST(Utf8, TrimsUnicodeWhiteSpaceAtBothEnds) {
  const std::pair<std::string_view, std::string_view> cases[] = {
      {"alpha\n"sv, "alpha"sv},
      {"\t alpha \r\n"sv, "alpha"sv},
      {"\x0B"
       "alpha\x0C"sv,
       "alpha"sv},
      {"a b"sv, "a b"sv},  // interior white space is kept
      {"  a \xE3\x80\x80 b  "sv, "a \xE3\x80\x80 b"sv},
      {"\xE3\x80\x80"
       "alpha\xE3\x80\x80"sv,
       "alpha"sv},  // U+3000
      {"\xC2\xA0"
       "alpha\xC2\x85"sv,
       "alpha"sv},                                         // U+00A0, U+0085
      {"\xE1\x9A\x80x\xE2\x80\xAF"sv, "x"sv},              // U+1680, U+202F
      {"\xE2\x80\x80x\xE2\x80\x8A"sv, "x"sv},              // U+2000, U+200A
      {"\xE2\x80\xA8x\xE2\x80\xA9\xE2\x81\x9F"sv, "x"sv},  // U+2028/9, U+205F
      {"\n \t\xE3\x80\x80"sv, ""sv},                       // only white space
      {""sv, ""sv},
      // Not White_Space: zero width space, U+001C, backspace, NUL, U+3001.
      {"\xE2\x80\x8B"
       "a\xE2\x80\x8B"sv,
       "\xE2\x80\x8B"
       "a\xE2\x80\x8B"sv},
      {"\x1C"
       "a\x08"sv,
       "\x1C"
       "a\x08"sv},
      {"\0a\0"sv, "\0a\0"sv},
      {"a\xE3\x80\x81"sv, "a\xE3\x80\x81"sv},
      {"caf\xC3\xA9 "sv, "caf\xC3\xA9"sv},
  };
  for (const auto& [text, expected] : cases) {
    EXPECT_EQ(trim_white_space(text), expected)
        << testing::PrintToString(std::string(text));
  }
}

}  // namespace
