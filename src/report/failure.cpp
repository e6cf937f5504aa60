#include "report/failure.h"

#include <atomic>

#include "files/io.h"

namespace velkor {
namespace {

std::atomic<bool> reported_once{false};
std::atomic<bool> reports{true};

}  // namespace

void report_failures(bool on) { reports.store(on, std::memory_order_relaxed); }

void fail(const std::string& message, SourceLocation where) {
  if (!reports.load(std::memory_order_relaxed)) throw Failure(message);
  std::string report = "thread '<unnamed>' failed at ";
  report += where.file_name();
  report += ':';
  report += std::to_string(where.line());
  report += ':';
  report += std::to_string(where.column());
  report += ":\n";
  report += message;
  report += '\n';
  if (!reported_once.exchange(true)) {
    report +=
        "note: set a breakpoint on velkor::fail in a debugger to see a "
        "backtrace\n";
  }
  write_stderr(report);
  throw Failure(message);
}

void resume_failure(const std::string& message) { throw Failure(message); }

}  // namespace velkor
