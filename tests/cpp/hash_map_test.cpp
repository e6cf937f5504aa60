#include "support/hash_map.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <random>
#include <stdexcept>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "model/model.h"

namespace velkor {
namespace {

template <class Map, class Oracle>
void expect_same(const Map& map, const Oracle& oracle) {
  ASSERT_EQ(map.size(), oracle.size());
  ASSERT_EQ(map.empty(), oracle.empty());
  std::size_t seen = 0;
  for (const auto& [key, value] : map) {
    auto found = oracle.find(key);
    ASSERT_NE(found, oracle.end());
    ASSERT_EQ(value, found->second);
    ++seen;
  }
  ASSERT_EQ(seen, oracle.size());
  for (const auto& [key, value] : oracle) {
    auto found = map.find(key);
    ASSERT_NE(found, map.end());
    ASSERT_EQ(found->second, value);
  }
}

// Random inserts, assignments, erasures and clears against
// std::unordered_map, over a key range small enough that keys recur, so
// tombstones are made and reused and the table grows from empty.
TEST(HashMap, AgreesWithUnorderedMapUnderRandomOperations) {
  std::mt19937 rng(12345);
  for (std::uint16_t key_range : {std::uint16_t{20}, std::uint16_t{3000}, std::uint16_t{65535}}) {
    HashMap<std::uint16_t, std::string> map;
    std::unordered_map<std::uint16_t, std::string> oracle;
    for (int step = 0; step < 40000; ++step) {
      const auto key = static_cast<std::uint16_t>(rng() % (key_range + 1u));
      const std::string value(rng() % 24, static_cast<char>('a' + step % 26));
      switch (rng() % 9) {
        case 0:
        case 1: {
          auto [it, inserted] = map.insert_or_assign(key, value);
          auto [expected, expected_inserted] = oracle.insert_or_assign(key, value);
          ASSERT_EQ(inserted, expected_inserted);
          ASSERT_EQ(it->first, key);
          ASSERT_EQ(it->second, expected->second);
          break;
        }
        case 2: {
          auto [it, inserted] = map.try_emplace(key, value);
          auto [expected, expected_inserted] = oracle.try_emplace(key, value);
          ASSERT_EQ(inserted, expected_inserted);
          ASSERT_EQ(it->second, expected->second);
          break;
        }
        case 3:
          map[key] += value;
          oracle[key] += value;
          break;
        case 4: {
          auto [it, inserted] = map.emplace(key, value);
          ASSERT_EQ(inserted, oracle.emplace(key, value).second);
          ASSERT_EQ(it->second, oracle.at(key));
          break;
        }
        case 5:
          ASSERT_EQ(map.erase(key), oracle.erase(key));
          break;
        case 6: {
          auto it = map.find(key);
          ASSERT_EQ(it == map.end(), !oracle.contains(key));
          if (it != map.end()) {
            auto next = map.erase(it);
            oracle.erase(key);
            // erase hands back the following entry (or end).
            if (next != map.end()) {
              ASSERT_TRUE(oracle.contains(next->first));
            }
          }
          break;
        }
        case 7:
          ASSERT_EQ(map.contains(key), oracle.contains(key));
          ASSERT_EQ(map.count(key), oracle.count(key));
          break;
        default:
          if (step % 5000 == 8) {
            map.clear();
            oracle.clear();
          }
          break;
      }
      if (step % 997 == 0) expect_same(map, oracle);
    }
    expect_same(map, oracle);
  }
}

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

TEST(HashMap, EmptyMapsAnswerWithoutATable) {
  HashMap<std::uint16_t, std::string> map;
  EXPECT_EQ(map.capacity(), 0u);
  EXPECT_EQ(map.begin(), map.end());
  EXPECT_EQ(map.find(3), map.end());
  EXPECT_EQ(map.erase(3), 0u);
  map.clear();
  EXPECT_THROW((void)map.at(3), std::out_of_range);
  EXPECT_EQ(map.capacity(), 0u);
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

TEST(HashMap, ReserveMakesRoomOnceAndNoMore) {
  for (std::size_t count : {1u, 7u, 8u, 100u, 65536u, 174762u}) {
    HashMap<TokenPair, TokenId> map;
    map.reserve(count);
    const std::size_t capacity = map.capacity();
    // The smallest power of two (eight at least) that holds count at 7/8
    // load.
    EXPECT_GE(capacity - capacity / 8, count);
    EXPECT_TRUE(capacity == 8 || capacity / 2 - capacity / 16 < count) << count;
    for (std::size_t i = 0; i < count; ++i) {
      map.emplace(TokenPair{static_cast<TokenId>(i >> 16), static_cast<TokenId>(i)}, TokenId{1});
    }
    EXPECT_EQ(map.capacity(), capacity) << count;
    EXPECT_EQ(map.size(), count);
    map.reserve(count / 2);
    EXPECT_EQ(map.capacity(), capacity);
  }
}

// Erasing and inserting without end in a small map reuses its slots rather
// than growing the table.
TEST(HashMap, ChurnKeepsTheTableSmall) {
  HashMap<std::uint16_t, int> map;
  for (int i = 0; i < 100000; ++i) {
    map.emplace(static_cast<std::uint16_t>(i), i);
    if (i >= 10) {
      ASSERT_EQ(map.erase(static_cast<std::uint16_t>(i - 10)), 1u);
    }
  }
  EXPECT_EQ(map.size(), 10u);
  EXPECT_LE(map.capacity(), 32u);
}

TEST(HashMap, CopiesAndMovesOwnTheirEntries) {
  HashMap<std::uint16_t, std::string> original;
  for (std::uint16_t i = 0; i < 500; ++i) original[i] = std::string(i % 40, 'q');
  original.erase(7);

  HashMap<std::uint16_t, std::string> copy(original);
  copy[1] = "changed";
  copy.emplace(7, "back");
  EXPECT_EQ(original.at(1), "q");
  EXPECT_FALSE(original.contains(7));
  EXPECT_EQ(copy.size(), 500u);

  HashMap<std::uint16_t, std::string> moved(std::move(copy));
  EXPECT_EQ(moved.at(7), "back");
  EXPECT_TRUE(copy.empty());  // NOLINT(bugprone-use-after-move): left empty and usable
  copy.emplace(3, "again");
  EXPECT_EQ(copy.size(), 1u);

  copy = original;
  EXPECT_EQ(copy.size(), 499u);
  copy = std::move(moved);
  EXPECT_EQ(copy.at(7), "back");
  copy = {{1, "x"}};
  EXPECT_EQ(copy.size(), 1u);

  // Ranges and the standard containers take entries both ways.
  std::map<int, std::string> sorted(original.begin(), original.end());
  EXPECT_EQ(sorted.size(), 499u);
  HashMap<std::uint16_t, std::string> from_range(sorted.begin(), sorted.end());
  std::map<int, std::string> again(from_range.begin(), from_range.end());
  EXPECT_EQ(again, sorted);
}

TEST(HashMap, IteratorsWriteThroughAndConvertToConst) {
  HashMap<std::uint16_t, int> map{{1, 10}, {2, 20}};
  for (auto& [key, value] : map) value += key;
  HashMap<std::uint16_t, int>::const_iterator found = map.find(2);
  EXPECT_EQ(found->second, 22);
  EXPECT_TRUE(found != map.end());
  EXPECT_EQ(map.at(1), 11);
  auto it = map.begin();
  auto before = it++;
  EXPECT_NE(before, it);
}

}  // namespace
}  // namespace velkor
