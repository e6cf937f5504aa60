// Work spread over native threads started for one call and joined before it
// returns: no pool outlives a call, so a fork after it finds no thread.
#pragma once

#include <cstddef>
#include <functional>

namespace velkor {

// Thrown by run_parallel when poll asked it to stop.
struct Stopped {};

// Calls work(index, worker) once for every index below count, on up to
// `threads` threads (worker below threads names the thread, so each can own
// scratch). Threads take the next index when done with one, so unequal
// items balance. The calling thread runs poll every ~20 ms (between items
// when it works itself, with threads <= 1); when poll returns false, no new
// item starts and Stopped is thrown once the running ones end. The first
// exception a work item throws stops the rest the same way and is rethrown.
void run_parallel(std::size_t count, unsigned threads,
                  const std::function<void(std::size_t index, unsigned worker)>& work,
                  const std::function<bool()>& poll);

}  // namespace velkor
