// The module's own line-buffered writer on file descriptor 1: console lines
// bypass the interpreter's sys.stdout, and each line reaches the descriptor
// as soon as it ends.
#pragma once

#include <string_view>

namespace velkor {

// Appends text to the process-wide console buffer and writes out every
// complete line. Write errors are ignored, as for any console.
void console_write(std::string_view text);

}  // namespace velkor
