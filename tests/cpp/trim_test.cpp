#include "model/trim.h"

#include <gtest/gtest.h>

#include <map>
#include <string>

#include "helpers.h"

namespace velkor {
namespace {

// A token that is a cluster and also a merge's result (e and a combining
// acute, one cluster) stays; the highest merged token that is no cluster goes.
TEST(Trim, KeepsClusterTokensThatMergesMake) {
  Model model;
  model.lookup = {{0, ""}, {1, "e"}, {2, "\u0301"}, {3, "ee"}, {4, "e\u0301"}};
  model.merges = {{TokenPair{1, 1}, 3}, {TokenPair{1, 2}, 4}};
  model.unicode_lookup = {{"oov", 0}, {"e", 1}, {"\u0301", 2}, {"e\u0301", 4}};
  const Model trimmed = trim_to_size(model, 4);
  EXPECT_EQ(lookup_of(trimmed),
            (std::map<int, std::string>{{0, ""}, {1, "e"}, {2, "\u0301"}, {3, "e\u0301"}}));
  EXPECT_EQ(merges_of(trimmed), (std::map<std::pair<int, int>, int>{{{1, 2}, 3}}));
  EXPECT_EQ(clusters_of(trimmed).at("e\u0301"), 3);
  // The cluster tokens alone are more than the size: all of them stay.
  EXPECT_EQ(trim_to_size(model, 1).lookup.size(), 4u);
}

}  // namespace
}  // namespace velkor
