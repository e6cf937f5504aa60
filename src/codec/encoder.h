#pragma once

#include <string_view>
#include <vector>

#include "model/model.h"

namespace velkor {

// Token ids of a UTF-8 text: one id per grapheme cluster ("oov" for unknown
// ones), then learned merges applied most frequent pair first.
std::vector<TokenId> encode(const Model& model, std::string_view text);

// encode's first step alone: one id per grapheme cluster, "oov"'s id for
// clusters the model lacks.
std::vector<TokenId> cluster_ids(const Model& model, std::string_view text);

// The same result by the plain method (full recount every pass); kept as the
// reference the fast encoder is tested against.
std::vector<TokenId> encode_reference(const Model& model, std::string_view text);

}  // namespace velkor
