#include "codec/decoder.h"

#include <gtest/gtest.h>

#include <vector>

#include "report/failure.h"

namespace velkor {
namespace {

using Ids = std::vector<TokenId>;

TEST(Decoder, JoinsByteStringsInOrder) {
  Model model;
  model.lookup = {{0, ""}, {1, "ab"}, {2, "\u00e9"}, {65535, "z"}};
  EXPECT_EQ(decode(model, Ids{}), "");
  EXPECT_EQ(decode(Model{}, Ids{}), "");
  EXPECT_EQ(decode(model, Ids{0}), "");
  EXPECT_EQ(decode(model, Ids{1, 1, 1}), "ababab");
  EXPECT_EQ(decode(model, Ids{2, 0, 1, 65535}), "\u00e9abz");
}

TEST(Decoder, ConvertsJoinedBytesOnce) {
  Model model;
  // é is C3 A9, split over two tokens; FF is never valid UTF-8.
  model.lookup = {{1, "x\xC3"}, {2, "\xA9y"}, {3, "\xFF"}, {4, "\xE2\x82"}};
  EXPECT_EQ(decode(model, Ids{1, 2}), "x\u00e9y");
  EXPECT_EQ(decode(model, Ids{2, 1}), "\uFFFDyx\uFFFD");
  EXPECT_EQ(decode(model, Ids{3}), "\uFFFD");
  // A truncated three-byte sequence is one maximal subpart: one U+FFFD.
  EXPECT_EQ(decode(model, Ids{4, 1}), "\uFFFDx\uFFFD");
  EXPECT_EQ(decode(model, Ids{4, 2}), "\u20A9y");
}

TEST(Decoder, UnknownIdFails) {
  Model model;
  model.lookup = {{1, "a"}, {2, "b"}};
  for (const Ids& ids : {Ids{1, 7, 2}, Ids{7}}) {
    try {
      decode(model, ids);
      FAIL() << "no failure";
    } catch (const Failure& failure) {
      EXPECT_STREQ(failure.what(), "This should not happend");
    }
  }
  EXPECT_THROW(decode(Model{}, Ids{0}), Failure);
}

}  // namespace
}  // namespace velkor
