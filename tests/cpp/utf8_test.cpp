#include "unicode/utf8.h"

#include <gtest/gtest.h>

#include <string>

namespace velkor {
namespace {

struct Case {
  std::string bytes;
  std::size_t valid_up_to;
  std::optional<std::size_t> error_len;
  std::string lossy;  // what decode_utf8_lossy gives, U+FFFD written as "?"
};

std::string shown(std::string s) {
  std::string out;
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (s.compare(i, 3, "\xEF\xBF\xBD") == 0) {
      out += '?';
      i += 2;
    } else {
      out += s[i];
    }
  }
  return out;
}

TEST(Utf8, ValidInputHasNoError) {
  for (std::string s : {std::string(), std::string("plain ascii text, longer than eight"),
                        std::string("\xC2\x80\xDF\xBF\xE0\xA0\x80\xED\x9F\xBF\xEE\x80\x80"),
                        std::string("\xF0\x90\x80\x80\xF4\x8F\xBF\xBF"), std::string("a\0b", 3)}) {
    EXPECT_EQ(check_utf8(s), std::nullopt);
    EXPECT_EQ(decode_utf8_lossy(s), s);
  }
}

TEST(Utf8, ErrorsAndMaximalSubparts) {
  const Case cases[] = {
      {"\xFF", 0, 1, "?"},
      {"ab\x80"
       "cd",
       2, 1, "ab?cd"},
      {"\xC0\x80", 0, 1, "??"},  // overlong two-byte
      {"\xC1\xBF", 0, 1, "??"},
      {"\xE0\x80\x80", 0, 1, "???"},       // overlong three-byte
      {"\xE0\x9F\xBF", 0, 1, "???"},       // overlong U+07FF: E0 goes on with A0 to BF
      {"\xE0\xA0", 0, std::nullopt, "?"},  // truncated, well-formed so far
      {"\xE0\xA0"
       "x",
       0, 2, "?x"},
      {"\xED\xA0\x80", 0, 1, "???"},  // surrogate
      {"\xED\x9F", 0, std::nullopt, "?"},
      {"\xF0\x80\x80\x80", 0, 1, "????"},  // overlong four-byte
      {"\xF0\x8F\xBF\xBF", 0, 1, "????"},  // overlong U+FFFF: F0 goes on with 90 to BF
      {"\xF4\x90\x80\x80", 0, 1, "????"},  // above U+10FFFF
      {"\xF4\x8F\xBF", 0, std::nullopt, "?"},
      {"\xF4\x8F\xBF"
       "a",
       0, 3, "?a"},
      {"\xF5\x80", 0, 1, "??"},
      {"\xF1\x80\x80\xE1\x80\xC2", 0, 3, "???"},
      {"0123456789\xE2\x82", 10, std::nullopt, "0123456789?"},
      {"01234567\xE2\x82\xAC"
       "89\xC3",
       13, std::nullopt,
       "01234567\xE2\x82\xAC"
       "89?"},
      {"\x61\xF1\x80\x80\xE1\x80\xC2\x62\x80\x63\x80\xBF\x64", 1, 3, "a???b?c??d"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.bytes));
    const auto error = check_utf8(c.bytes);
    ASSERT_TRUE(error.has_value());
    EXPECT_EQ(error->valid_up_to, c.valid_up_to);
    EXPECT_EQ(error->error_len, c.error_len);
    EXPECT_EQ(shown(decode_utf8_lossy(c.bytes)), c.lossy);
    EXPECT_EQ(check_utf8(decode_utf8_lossy(c.bytes)), std::nullopt);
  }
}

TEST(Utf8, SplitCharacterJoinsWhenConcatenated) {
  const std::string left = "x\xC3", right = "\xA9y";
  EXPECT_EQ(decode_utf8_lossy(left + right), "x\xC3\xA9y");
  EXPECT_EQ(shown(decode_utf8_lossy(left)), "x?");
}

TEST(Utf8, NeverReadsPastTheView) {
  // The byte after the view would complete the sequence; it must not be used.
  const std::string backing = "abcdefgh\xE2\x82\xAC";
  const std::string_view view(backing.data(), backing.size() - 1);
  const auto error = check_utf8(view);
  ASSERT_TRUE(error.has_value());
  EXPECT_EQ(error->valid_up_to, 8u);
  EXPECT_EQ(error->error_len, std::nullopt);
  EXPECT_EQ(shown(decode_utf8_lossy(view)), "abcdefgh?");
}

}  // namespace
}  // namespace velkor
