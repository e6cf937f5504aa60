// Ids for new tokens, shared by the clusters of a chunk and learned merges.
#pragma once

#include "model/model.h"

namespace velkor {

// The id a new token takes: the number of entries in lookup (the id space has
// 65,536 ids). Fails rather than hand out an id that lookup already holds,
// which happens once the space is full or when a loaded model's ids have
// gaps; nothing is inserted, so the model stays as it was.
TokenId next_token_id(const Model& model);

}  // namespace velkor
