// Internal failures: the one way the core reports that a step cannot go on.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <version>

#ifdef __cpp_lib_source_location
#include <source_location>
#endif

namespace velkor {

#ifdef __cpp_lib_source_location
using SourceLocation = std::source_location;
#else
// clang before 15 lacks the builtin behind std::source_location (the fuzz
// build uses clang 14); these builtins give the same fields at the call site.
struct SourceLocation {
  static constexpr SourceLocation current(
      const char* file = __builtin_FILE(), std::uint_least32_t line = __builtin_LINE(),
      std::uint_least32_t column = __builtin_COLUMN()) noexcept {
    return SourceLocation{file, line, column};
  }
  constexpr const char* file_name() const noexcept { return file_; }
  constexpr std::uint_least32_t line() const noexcept { return line_; }
  constexpr std::uint_least32_t column() const noexcept { return column_; }

  const char* file_ = "";
  std::uint_least32_t line_ = 0;
  std::uint_least32_t column_ = 0;
};
#endif

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
                       SourceLocation where = SourceLocation::current());

// Whether fail() writes its report (on by default); a library whose callers
// get the message as an exception turns it off.
void report_failures(bool on);

// Throws Failure without writing a report: used when a failure that was
// already reported is carried on (for example one that came back through
// Python).
[[noreturn]] void resume_failure(const std::string& message);

}  // namespace velkor
