// Cutting a model down to a vocabulary size.
#pragma once

#include <cstddef>

#include "model/model.h"

namespace velkor {

// The model with merged tokens (those a merge makes) dropped, highest id
// first, until at most size tokens remain; each dropped token takes with it
// every merge that produces or uses it. Cluster tokens (every id of
// unicode_lookup) and any token no merge makes all stay, so no text the
// model knew becomes unknown: when they alone number more than size, the
// result holds just them. The tokens left are renumbered in their
// order to 0, 1, ..., with their merges and cluster entries.
Model trim_to_size(const Model& model, std::size_t size);

}  // namespace velkor
