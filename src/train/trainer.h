#pragma once

#include <string_view>

#include "model/model.h"
#include "train/interrupt.h"

namespace velkor {

// Learns merges from train_file into model, saving "tokenizer" after each
// chunk. Failures end as velkor::Failure with the messages of each step.
void train(Model& model, std::string_view train_file, bool print_logs, std::string_view logs_file,
           const InterruptCheck& check_interrupt);

}  // namespace velkor
