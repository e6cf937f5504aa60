// The two merge passes on a PairIndex: the same pairs chosen, the same
// sequence, model changes, console lines and log records as the plain passes
// of merge_passes.h, at a cost per iteration that follows the occurrences
// merged instead of the chunk length.
#pragma once

#include "codec/pair_index.h"
#include "model/model.h"
#include "support/io.h"
#include "train/merge_passes.h"
#include "train/trainer.h"

namespace velkor {

// As known_merge_pass(model, ids, ...) on the index's sequence, which it
// rewrites in place. Leaves no pair excluded in the index.
void known_merge_pass(const Model& model, PairIndex& index, const PassOutput& out,
                      const InterruptCheck& check_interrupt);
void known_merge_pass(const Model& model, PairIndex& index, const InterruptCheck& check_interrupt);

// As merge_learning_pass(model, ids, ...) on the index's sequence.
void merge_learning_pass(Model& model, PairIndex& index, const PassOutput& out,
                         const InterruptCheck& check_interrupt);
void merge_learning_pass(Model& model, PairIndex& index, bool print_logs, File& log,
                         const InterruptCheck& check_interrupt);

}  // namespace velkor
