#include "unicode/grapheme.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "unicode/utf8.h"

namespace velkor {
namespace {

std::string utf8(char32_t cp) {
  std::string out;
  append_utf8(out, cp);
  return out;
}

std::string utf8(std::initializer_list<char32_t> cps) {
  std::string out;
  for (char32_t cp : cps) out += utf8(cp);
  return out;
}

std::vector<std::string> clusters(std::string_view text) {
  std::vector<std::string> out;
  for_each_grapheme(text, [&](std::string_view c) { out.emplace_back(c); });
  return out;
}

using Clusters = std::vector<std::string>;

TEST(Grapheme, ConformsToGraphemeBreakTest) {
  std::ifstream in(VELKOR_SOURCE_DIR "/third_party/unicode-15.0.0/GraphemeBreakTest.txt");
  ASSERT_TRUE(in) << "GraphemeBreakTest.txt not found";
  std::string line;
  int cases = 0;
  while (std::getline(in, line)) {
    const std::string rule_part = line.substr(0, line.find('#'));
    if (rule_part.find_first_not_of(" \t") == std::string::npos) continue;
    ++cases;
    // "÷ 0020 × 0308 ÷": code points between break (÷) and no-break (×) marks.
    std::istringstream fields(rule_part);
    std::string field, text;
    Clusters expected;
    std::string current;
    while (fields >> field) {
      if (field == "\xC3\xB7") {  // ÷
        if (!current.empty()) expected.push_back(current);
        current.clear();
      } else if (field != "\xC3\x97") {  // not ×
        const std::string cp = utf8(static_cast<char32_t>(std::stoul(field, nullptr, 16)));
        current += cp;
        text += cp;
      }
    }
    EXPECT_EQ(clusters(text), expected) << line;
  }
  EXPECT_EQ(cases, 602);
}

TEST(Grapheme, ViramaDoesNotJoinConsonants) {
  // No conjunct rule: KA+VIRAMA, then SSA.
  EXPECT_EQ(clusters(utf8({0x0915, 0x094D, 0x0937})),
            (Clusters{utf8({0x0915, 0x094D}), utf8(0x0937)}));
}

TEST(Grapheme, RegionalIndicatorsPairUp) {
  const std::string ri_u = utf8(0x1F1FA), ri_s = utf8(0x1F1F8), ri_a = utf8(0x1F1E6);
  EXPECT_EQ(clusters(ri_u + ri_s), (Clusters{ri_u + ri_s}));
  EXPECT_EQ(clusters(ri_u + ri_s + ri_a), (Clusters{ri_u + ri_s, ri_a}));
  EXPECT_EQ(clusters(std::string("a") + ri_u + ri_s + ri_a + ri_u + ri_s),
            (Clusters{"a", ri_u + ri_s, ri_a + ri_u, ri_s}));
}

TEST(Grapheme, AsciiAndLineBreaks) {
  EXPECT_EQ(clusters("a\r\nb"), (Clusters{"a", "\r\n", "b"}));
  EXPECT_EQ(clusters("\r\r\n\n"), (Clusters{"\r", "\r\n", "\n"}));
  EXPECT_EQ(clusters("<|im_end|>").size(), 10u);
  EXPECT_EQ(clusters(" \t "), (Clusters{" ", "\t", " "}));
  EXPECT_TRUE(clusters("").empty());
  // The ASCII fast path must not split a letter from a following mark.
  EXPECT_EQ(clusters(utf8({'a', 'e', 0x0301, 'x'})), (Clusters{"a", utf8({'e', 0x0301}), "x"}));
  EXPECT_EQ(clusters(utf8({'a', 0x200D})), (Clusters{utf8({'a', 0x200D})}));
}

TEST(Grapheme, EmojiZwjSequences) {
  const std::string family = utf8({0x1F468, 0x200D, 0x1F469, 0x200D, 0x1F467});
  EXPECT_EQ(clusters(family + family), (Clusters{family, family}));
  const std::string skin = utf8({0x1F44D, 0x1F3FD});
  EXPECT_EQ(clusters(skin + "!"), (Clusters{skin, "!"}));
  // ZWJ after a letter does not glue the following pictograph.
  EXPECT_EQ(clusters(utf8({'a', 0x200D, 0x1F600})), (Clusters{utf8({'a', 0x200D}), utf8(0x1F600)}));
}

TEST(Grapheme, IllFormedBytesAreSingleOtherCharacters) {
  // Truncated, surrogate, overlong and stray continuation bytes: one cluster per
  // byte, except where a following mark attaches to them.
  EXPECT_EQ(clusters("\xE2\x82"), (Clusters{"\xE2", "\x82"}));
  EXPECT_EQ(clusters("\xED\xA0\x80"), (Clusters{"\xED", "\xA0", "\x80"}));
  EXPECT_EQ(clusters("\xC0\x80"
                     "a"),
            (Clusters{"\xC0", "\x80", "a"}));
  EXPECT_EQ(clusters(std::string("\xFF") + utf8(0x0301)),
            (Clusters{std::string("\xFF") + utf8(0x0301)}));
  EXPECT_EQ(clusters(utf8(0x0915) + "\xE0\xA4"), (Clusters{utf8(0x0915), "\xE0", "\xA4"}));
  EXPECT_EQ(next_grapheme_end("ab", 2), 2u);
  EXPECT_EQ(next_grapheme_end(std::string_view(), 0), 0u);
  // A view that stops inside a sequence: nothing beyond it is read.
  const std::string whole = utf8({0x0915, 0x094D});
  EXPECT_EQ(clusters(std::string_view(whole).substr(0, 4)), (Clusters{utf8(0x0915), "\xE0"}));
}

// for_each_grapheme skips plain ASCII a word at a time; it must cut exactly
// where next_grapheme_end alone does, whatever sits at the word edges.
TEST(Grapheme, WordAtATimeScanAgreesWithNextGraphemeEnd) {
  const std::string pieces[] = {"a",           "Z",          " ",          "\r",
                                "\n",          "\r\n",       "\t",         "~",
                                utf8(0x0301),  utf8(0x200D), utf8(0x093F), utf8(0x1F600),
                                utf8(0x1F1E6), "\xFF",       "\xE2\x82",   utf8(0x0600)};
  std::uint32_t seed = 12345;
  for (int round = 0; round < 300; ++round) {
    std::string text;
    const int length = round % 40;
    for (int i = 0; i < length; ++i) {
      seed = seed * 1664525 + 1013904223;
      // Mostly plain letters, so runs cross several words.
      const std::uint32_t pick = (seed >> 16) % 48;
      text += pick < std::size(pieces) ? pieces[pick] : std::string(1, 'a' + pick % 26);
    }
    Clusters reference;
    for (std::size_t start = 0; start < text.size();) {
      const std::size_t end = next_grapheme_end(text, start);
      ASSERT_GT(end, start);
      ASSERT_LE(end, text.size());
      reference.push_back(text.substr(start, end - start));
      start = end;
    }
    ASSERT_EQ(clusters(text), reference) << testing::PrintToString(text);
  }
}

}  // namespace
}  // namespace velkor
