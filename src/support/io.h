// Files owned by RAII, and operating-system errors rendered the way the
// module reports them.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

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
  // Reads until end of file.
  std::string read_all();
  // Writes everything, continuing short writes and retrying EINTR; a write
  // that accepts nothing is IoError::Kind::WriteZero.
  void write_all(std::string_view bytes);
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

}  // namespace velkor
