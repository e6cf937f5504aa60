#pragma once

#include <functional>

namespace velkor {

// Called between chunks and between merge iterations; may throw to stop the
// training (the binding layer throws when a signal handler raised).
using InterruptCheck = std::function<void()>;

}  // namespace velkor
