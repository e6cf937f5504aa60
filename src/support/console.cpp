#include "support/console.h"

#include <errno.h>
#include <unistd.h>

#include <mutex>
#include <string>

namespace velkor {
namespace {

std::mutex console_mutex;

// The unfinished last line, held until its line feed arrives.
std::string& pending_line() {
  static std::string* pending = new std::string();  // never destroyed: usable until exit
  return *pending;
}

void write_stdout(const char* data, std::size_t size) {
  while (size > 0) {
    ssize_t n = ::write(1, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;  // a console that refuses output is not an error
    data += n;
    size -= static_cast<std::size_t>(n);
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
  std::string_view complete = text.substr(0, last_feed + 1);
  if (pending.empty()) {
    write_stdout(complete.data(), complete.size());
  } else {
    pending.append(complete);
    write_stdout(pending.data(), pending.size());
    pending.clear();
  }
  pending.assign(text.substr(last_feed + 1));
}

}  // namespace velkor
