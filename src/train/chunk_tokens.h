// Turning one chunk of the training file into token ids.
#pragma once

#include <string>
#include <string_view>

#include "codec/pair_index.h"
#include "model/model.h"

namespace velkor {

// The chat markers "<|im_start|>" and then "<|im_end|>" replaced by "^",
// left to right without overlap.
std::string replace_markers(std::string text);

// The chunk's bytes decoded (ill-formed parts become U+FFFD), markers
// replaced, cut into grapheme clusters, one id per cluster, into the index.
// A cluster the model has not met becomes a new token first.
void chunk_to_index(Model& model, std::string_view chunk, PairIndex& index);

}  // namespace velkor
