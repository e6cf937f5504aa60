// Files owned by RAII, and operating-system errors rendered the way the
// module reports them.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "report/failure.h"

namespace velkor {

// A failed file operation: an errno, or an error without one (a NUL in a
// path, a write that accepted no bytes).
struct IoError {
  enum class Kind { Os, NulInPath, WriteZero };
  Kind kind = Kind::Os;
  int code = 0;  // errno when kind == Os
  // "Os { code: 2, kind: NotFound, message: \"No such file or directory\" }",
  // "Error { kind: InvalidInput, message: \"file name contained an unexpected NUL byte\" }",
  // "Error { kind: WriteZero, message: \"failed to write whole buffer\" }".
  std::string render() const;
};

// Kind name of an errno ("NotFound", "PermissionDenied", ..., "Uncategorized").
std::string_view error_kind_name(int code);
// Rust-style quoted string: "..." with \" \\ \n \r \t \0 and \u{..} escapes.
std::string quote_string(std::string_view text);

// The check run when a system call of this file is interrupted by a signal
// (EINTR), and between the reads of a file being loaded. It may throw to end
// the operation; the extension installs the interpreter's signal check, so
// Ctrl-C ends a read, write or open that is blocked on a pipe. Without one,
// or when it returns, the call is retried.
using SignalCheck = void (*)();
void set_signal_check(SignalCheck check);
void run_signal_check();

// Runs step, turning an IoError into fail(message + ": " + rendering).
template <class Step>
auto or_fail(const char* message, Step&& step) -> decltype(step()) {
  try {
    return step();
  } catch (const IoError& error) {
    fail(std::string(message) + ": " + error.render());
  }
}

// Writes everything to fd, continuing short writes; an interrupted write is
// retried after the signal check (only when check_signals). A write that
// accepts nothing is IoError::Kind::WriteZero.
void write_fd(int fd, std::string_view bytes, bool check_signals = true);

// Writes a report to standard error; errors are ignored and no signal check
// runs, so it never throws.
void write_stderr(std::string_view text) noexcept;

// Owns one file descriptor; every operation throws IoError on failure.
class File {
 public:
  File() = default;
  explicit File(int fd) : fd_(fd) {}
  File(File&& other) noexcept : fd_(other.release()) {}
  File& operator=(File&& other) noexcept;
  File(const File&) = delete;
  File& operator=(const File&) = delete;
  ~File();

  static File open_read(std::string_view path);
  // Write-only, created (0666 less umask) and truncated.
  static File create(std::string_view path);
  // Append-only, created (0666 less umask); earlier content stays.
  static File open_append(std::string_view path);

  // One read call; returns the count delivered (0 at end of file).
  std::size_t read_some(void* buffer, std::size_t size);
  // Reads until end of file, running the signal check between reads.
  std::string read_all();
  // write_fd on this file.
  void write_all(std::string_view bytes) { write_fd(fd_, bytes); }
  // Whether the file is a regular file (not a pipe, device or socket).
  bool is_regular() const;
  // One write call; the count written is returned, not checked.
  std::size_t write_once(std::string_view bytes);
  void sync();
  void close();  // reports the close error, unlike the destructor

  int fd() const { return fd_; }
  bool is_open() const { return fd_ >= 0; }
  int release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
  }

 private:
  int fd_ = -1;
};

// True when both paths name the same existing file (same device and inode).
bool same_file(std::string_view a, std::string_view b);

// Replaces the file at path with bytes so that a failed or interrupted save
// leaves the previous file whole: the bytes go to a new file in the same
// folder, synced, which is then renamed over it. Through a symbolic link the
// file it points to is replaced and the link stays; a file with further hard
// links is replaced under this name only, the other names keep the earlier
// content. The file is written in place (created or truncated) only where no
// atomic way exists: a folder that refuses new files or the rename (a sticky
// folder and a file of another user), a file we may not write (which then
// fails as truncating it would), anything but a regular file, a dangling link.
void replace_file(std::string_view path, std::string_view bytes);

}  // namespace velkor
