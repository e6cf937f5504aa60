// Turning one chunk of the training file into token ids.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "model/model.h"

namespace velkor {

// The chat markers "<|im_start|>" and then "<|im_end|>" replaced by "^",
// left to right without overlap.
std::string replace_markers(std::string text);

// The chunk's bytes decoded (ill-formed parts become U+FFFD), markers
// replaced, cut into grapheme clusters, one id per cluster. A cluster the
// model has not met gets the next id in unicode_lookup and lookup first.
std::vector<TokenId> chunk_to_ids(Model& model, std::string_view chunk);

}  // namespace velkor
