#include "memory/keyed_hash.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <new>
#include <random>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "model/model.h"

namespace velkor {
namespace {

TEST(HashMap, PairKeysCountLikeTheOracle) {
  std::mt19937 rng(7);
  HashMap<TokenPair, std::uint32_t> counts;
  std::map<std::pair<int, int>, std::uint32_t> oracle;
  for (int i = 0; i < 200000; ++i) {
    TokenPair pair{static_cast<TokenId>(rng() % 300), static_cast<TokenId>(rng() % 300)};
    ++counts[pair];
    ++oracle[{pair.left, pair.right}];
  }
  std::map<std::pair<int, int>, std::uint32_t> seen;
  for (const auto& [pair, count] : counts) seen[{pair.left, pair.right}] = count;
  EXPECT_EQ(seen, oracle);
}

TEST(HashMap, StringKeysProbeWithoutACopy) {
  HashMap<std::string, TokenId> map{{"oov", 0}, {"a", 1}, {std::string("\0b", 2), 2}};
  std::string_view view = "xoovx";
  EXPECT_EQ(map.find(view.substr(1, 3))->second, 0);
  EXPECT_TRUE(map.contains("a"));
  EXPECT_EQ(map.count(std::string_view("a")), 1u);
  EXPECT_FALSE(map.contains(std::string_view("b")));
  EXPECT_EQ(map.at(std::string_view("\0b", 2)), 2);
  EXPECT_THROW((void)map.at(std::string_view("zz")), std::out_of_range);
  EXPECT_EQ(map.erase(std::string_view("a")), 1u);
  EXPECT_EQ(map.size(), 2u);

  const auto& constant = map;
  EXPECT_EQ(constant.find(std::string("oov"))->second, 0);
  EXPECT_EQ(constant.find("nothing"), constant.end());
  EXPECT_THROW((void)constant.at("nothing"), std::out_of_range);
}

// Tables of equal content iterate in orders of their own: the hash takes a
// fresh secret for every map.
TEST(HashMap, EqualMapsIterateInDifferentOrders) {
  int differing = 0;
  for (int trial = 0; trial < 8; ++trial) {
    HashMap<std::uint16_t, int> a;
    HashMap<std::uint16_t, int> b;
    for (std::uint16_t key = 0; key < 64; ++key) {
      a.emplace(key, key);
      b.emplace(key, key);
    }
    std::vector<std::uint16_t> order_a, order_b;
    for (const auto& entry : a) order_a.push_back(entry.first);
    for (const auto& entry : b) order_b.push_back(entry.first);
    if (order_a != order_b) ++differing;
  }
  EXPECT_GE(differing, 7);
}

// The maps' allocator rounds sizes up to whole huge pages: a size near the
// top must fail rather than wrap to a small block.
TEST(HugePages, SizesThatWouldWrapAreRefused) {
  EXPECT_THROW(allocate_huge(SIZE_MAX), std::bad_alloc);
  EXPECT_THROW(HugePageAllocator<std::uint64_t>().allocate(SIZE_MAX / 4), std::bad_alloc);
}

}  // namespace
}  // namespace velkor
