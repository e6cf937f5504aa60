#include "report/console.h"

#include <mutex>
#include <string>

#include "files/io.h"

namespace velkor {
namespace {

std::mutex console_mutex;

// The unfinished last line, held until its line feed arrives.
std::string& pending_line() {
  static std::string* pending = new std::string();  // never destroyed: usable until exit
  return *pending;
}

// A console that refuses output is not an error; a signal handler that
// raises while the console blocks (a pipe nobody reads) ends the write.
void write_stdout(std::string_view text) {
  try {
    write_fd(1, text);
  } catch (const IoError&) {
  }
}

}  // namespace

void console_write(std::string_view text) {
  std::lock_guard<std::mutex> lock(console_mutex);
  std::string& pending = pending_line();
  std::size_t last_feed = text.rfind('\n');
  if (last_feed == std::string_view::npos) {
    pending.append(text);
    return;
  }
  std::string line = std::move(pending.append(text.substr(0, last_feed + 1)));
  pending.assign(text.substr(last_feed + 1));
  write_stdout(line);
}

}  // namespace velkor
