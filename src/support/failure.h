// Internal failures: the one way the core reports that a step cannot go on.
#pragma once

#include <source_location>
#include <stdexcept>
#include <string>

namespace velkor {

// Thrown by fail(); the binding layer turns it into PanicException with
// what() as the message. Everything between the throw and the boundary is
// released by unwinding.
class Failure : public std::runtime_error {
 public:
  explicit Failure(const std::string& message) : std::runtime_error(message) {}
};

// Writes the standard-error report (location and message; on the first
// failure of the process also a hint on getting a backtrace), then throws
// Failure(message).
[[noreturn]] void fail(const std::string& message,
                       std::source_location where = std::source_location::current());

// Throws Failure without writing a report: used when a failure that was
// already reported is carried on (for example one that came back through
// Python).
[[noreturn]] void resume_failure(const std::string& message);

}  // namespace velkor
