#include "files/io.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <string>

namespace velkor {
namespace {

// strerror_r comes in two flavours: the GNU one returns the text (which may
// not be in the buffer), the POSIX one returns a status and fills the buffer.
[[maybe_unused]] const char* strerror_text(const char* result, const char*) { return result; }
[[maybe_unused]] const char* strerror_text(int result, const char* buffer) {
  return result == 0 ? buffer : nullptr;
}

std::string error_text(int code) {
  char buffer[256];
  buffer[0] = '\0';
  const char* text = strerror_text(::strerror_r(code, buffer, sizeof buffer), buffer);
  if (text == nullptr || *text == '\0') return "Unknown error " + std::to_string(code);
  return text;
}

void append_unicode_escape(std::string& out, unsigned value) {
  char digits[16];
  std::snprintf(digits, sizeof digits, "\\u{%x}", value);
  out += digits;
}

// Paths reach the system as C strings, so an embedded NUL would silently cut
// them short; refuse it before any call is made.
std::string c_path(std::string_view path) {
  if (path.find('\0') != std::string_view::npos) throw IoError{IoError::Kind::NulInPath};
  return std::string(path);
}

std::atomic<SignalCheck> signal_check{nullptr};

// Runs a system call until it is not interrupted; a failure other than EINTR
// is thrown as IoError.
template <class Call>
auto retry_interrupted(Call call, bool check_signals = true) {
  for (;;) {
    auto result = call();
    if (result >= 0) return result;
    if (errno != EINTR) throw IoError{IoError::Kind::Os, errno};
    if (check_signals) run_signal_check();
  }
}

File open_path(std::string_view path, int flags) {
  std::string name = c_path(path);
  return File(retry_interrupted([&] { return ::open(name.c_str(), flags | O_CLOEXEC, 0666); }));
}

}  // namespace

void set_signal_check(SignalCheck check) { signal_check.store(check, std::memory_order_relaxed); }

void run_signal_check() {
  if (SignalCheck check = signal_check.load(std::memory_order_relaxed)) check();
}

void write_fd(int fd, std::string_view bytes, bool check_signals) {
  while (!bytes.empty()) {
    ssize_t n =
        retry_interrupted([&] { return ::write(fd, bytes.data(), bytes.size()); }, check_signals);
    if (n == 0) throw IoError{IoError::Kind::WriteZero};
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
}

void write_stderr(std::string_view text) noexcept {
  try {
    write_fd(2, text, false);
  } catch (const IoError&) {
    // nowhere else to report to
  }
}

std::string_view error_kind_name(int code) {
  static constexpr struct {
    int code;
    std::string_view name;
  } kKinds[] = {
      {ENOENT, "NotFound"},
      {EACCES, "PermissionDenied"},
      {EPERM, "PermissionDenied"},
      {EEXIST, "AlreadyExists"},
      {EISDIR, "IsADirectory"},
      {ENOTDIR, "NotADirectory"},
      {ENOTEMPTY, "DirectoryNotEmpty"},
      {ENOSPC, "StorageFull"},
      {EDQUOT, "FilesystemQuotaExceeded"},
      {EROFS, "ReadOnlyFilesystem"},
      {ELOOP, "FilesystemLoop"},
      {ENAMETOOLONG, "InvalidFilename"},
      {EFBIG, "FileTooLarge"},
      {ETXTBSY, "ExecutableFileBusy"},
      {EBUSY, "ResourceBusy"},
      {EMLINK, "TooManyLinks"},
      {EXDEV, "CrossesDevices"},
      {ESPIPE, "NotSeekable"},
      {EPIPE, "BrokenPipe"},
      {EINVAL, "InvalidInput"},
      {EINTR, "Interrupted"},
      {EAGAIN, "WouldBlock"},
      {ENOMEM, "OutOfMemory"},
      {ENOSYS, "Unsupported"},
      // Network errors, which no file operation meets, keep kinds of their own.
      {ECONNREFUSED, "ConnectionRefused"},
      {ECONNRESET, "ConnectionReset"},
      {ECONNABORTED, "ConnectionAborted"},
      {ENOTCONN, "NotConnected"},
      {EADDRINUSE, "AddrInUse"},
      {EADDRNOTAVAIL, "AddrNotAvailable"},
      {EHOSTUNREACH, "HostUnreachable"},
      {ENETUNREACH, "NetworkUnreachable"},
      {ENETDOWN, "NetworkDown"},
      {ETIMEDOUT, "TimedOut"},
  };
  for (const auto& kind : kKinds) {
    if (kind.code == code) return kind.name;
  }
  return "Uncategorized";
}

std::string quote_string(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 2);
  out += '"';
  for (std::size_t i = 0; i < text.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      case '\0':
        out += "\\0";
        break;
      default:
        if (c < 0x20 || c == 0x7f) {
          append_unicode_escape(out, c);
        } else if (c == 0xc2 && i + 1 < text.size() &&
                   static_cast<unsigned char>(text[i + 1]) >= 0x80 &&
                   static_cast<unsigned char>(text[i + 1]) <= 0x9f) {
          // C1 control characters (U+0080 to U+009F) are not printable either.
          append_unicode_escape(out, static_cast<unsigned char>(text[i + 1]));
          ++i;
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  out += '"';
  return out;
}

std::string IoError::render() const {
  if (kind == Kind::NulInPath) {
    return "Error { kind: InvalidInput, message: \"file name contained an unexpected NUL byte\" }";
  }
  if (kind == Kind::WriteZero) {
    return "Error { kind: WriteZero, message: \"failed to write whole buffer\" }";
  }
  std::string out = "Os { code: ";
  out += std::to_string(code);
  out += ", kind: ";
  out += error_kind_name(code);
  out += ", message: ";
  out += quote_string(error_text(code));
  out += " }";
  return out;
}

File& File::operator=(File&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = other.release();
  }
  return *this;
}

File::~File() {
  if (fd_ >= 0) ::close(fd_);
}

File File::open_read(std::string_view path) { return open_path(path, O_RDONLY); }

File File::create(std::string_view path) { return open_path(path, O_WRONLY | O_CREAT | O_TRUNC); }

File File::open_append(std::string_view path) {
  return open_path(path, O_WRONLY | O_APPEND | O_CREAT);
}

std::size_t File::read_some(void* buffer, std::size_t size) {
  return static_cast<std::size_t>(retry_interrupted([&] { return ::read(fd_, buffer, size); }));
}

bool File::is_regular() const {
  struct stat info;
  return ::fstat(fd_, &info) == 0 && S_ISREG(info.st_mode);
}

std::string File::read_all() {
  std::string out;
  // The size is only a hint (the file may change, or be a pipe); reading
  // goes on until end of file either way.
  struct stat info;
  std::size_t capacity = 8192;
  if (::fstat(fd_, &info) == 0 && S_ISREG(info.st_mode) && info.st_size > 0) {
    capacity = static_cast<std::size_t>(info.st_size) + 1;
  }
  out.resize(capacity);
  std::size_t filled = 0;
  for (;;) {
    if (filled == out.size()) out.resize(out.size() * 2);
    std::size_t n = read_some(out.data() + filled, out.size() - filled);
    if (n == 0) break;
    filled += n;
    run_signal_check();
  }
  out.resize(filled);
  return out;
}

std::size_t File::write_once(std::string_view bytes) {
  return static_cast<std::size_t>(
      retry_interrupted([&] { return ::write(fd_, bytes.data(), bytes.size()); }));
}

void File::sync() {
  retry_interrupted([&] { return ::fsync(fd_); });
}

void File::close() {
  int fd = release();
  if (fd < 0) return;
  // On Linux the descriptor is gone even when close reports EINTR, so
  // retrying could close someone else's descriptor.
  if (::close(fd) != 0 && errno != EINTR) throw IoError{IoError::Kind::Os, errno};
}

bool same_file(std::string_view a, std::string_view b) {
  if (a.find('\0') != std::string_view::npos || b.find('\0') != std::string_view::npos) {
    return false;
  }
  struct stat first;
  struct stat second;
  if (::stat(std::string(a).c_str(), &first) != 0) return false;
  if (::stat(std::string(b).c_str(), &second) != 0) return false;
  return first.st_dev == second.st_dev && first.st_ino == second.st_ino;
}

}  // namespace velkor
