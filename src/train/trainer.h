#pragma once

#include <functional>
#include <string_view>

#include "model/model.h"

namespace velkor {

// Called between chunks and between merge iterations; may throw to stop the
// training (the binding layer throws when a signal handler raised).
using InterruptCheck = std::function<void()>;

// Learns merges from train_file into model, saving "tokenizer" after each
// chunk. Failures end as velkor::Failure with the messages of each step.
void train(Model& model, std::string_view train_file, bool print_logs,
           std::string_view logs_file, const InterruptCheck& check_interrupt);

}  // namespace velkor
