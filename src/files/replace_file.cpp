// replace_file: a save that never leaves a damaged file behind.
#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>

#include "files/io.h"

namespace velkor {
namespace {

// Removes a named temporary file unless the save went through.
class TempFileGuard {
 public:
  explicit TempFileGuard(std::string path) : path_(std::move(path)) {}
  TempFileGuard(const TempFileGuard&) = delete;
  TempFileGuard& operator=(const TempFileGuard&) = delete;
  ~TempFileGuard() {
    if (!path_.empty()) ::unlink(path_.c_str());
  }
  const std::string& path() const { return path_; }
  void keep() { path_.clear(); }

 private:
  std::string path_;
};

// Where the new file goes and what of the old one it keeps.
struct Target {
  std::string path;    // the file to replace (a link's target, resolved)
  std::string folder;  // its folder, "" for the working directory
  bool exists = false;
  struct stat info{};
};

std::string temp_name(const std::string& folder) {
  std::uint64_t random = 0;
  if (::getrandom(&random, sizeof random, 0) != static_cast<ssize_t>(sizeof random)) {
    random = reinterpret_cast<std::uintptr_t>(&random) ^ static_cast<std::uint64_t>(::getpid());
  }
  char name[64];
  std::snprintf(name, sizeof name, ".tokenizer.tmp.%ld.%016llx", static_cast<long>(::getpid()),
                static_cast<unsigned long long>(random));
  return folder + name;
}

// Writes the new file, synced, with the mode and where allowed the owner of
// the one it replaces, as truncating that file would have kept them.
void write_new_file(File& file, const Target& target, std::string_view bytes) {
  if (target.exists) {
    if (target.info.st_uid != ::geteuid() || target.info.st_gid != ::getegid()) {
      [[maybe_unused]] int ignored = ::fchown(file.fd(), target.info.st_uid, target.info.st_gid);
    }
    ::fchmod(file.fd(), target.info.st_mode & 07777);
  }
  file.write_all(bytes);
  file.sync();
}

// Closes the complete temporary file and renames it over the target; false
// when the folder refuses (a sticky folder and a file of another user), the
// guard then removing it.
bool rename_over(File& file, TempFileGuard& temp, const Target& target) {
  file.close();
  if (::rename(temp.path().c_str(), target.path.c_str()) == 0) {
    temp.keep();
    return true;
  }
  if (errno == EPERM || errno == EACCES) return false;
  throw IoError{IoError::Kind::Os, errno};
}

// Writes into an unnamed file of the folder (O_TMPFILE) and gives it a name
// only once it is complete and synced, just before the rename: a process
// killed while writing leaves nothing behind. Empty when the file system
// cannot do this (the caller then uses a named temporary file); otherwise
// whether the rename went through.
std::optional<bool> save_through_unnamed_file(std::string_view bytes, const Target& target) {
  const std::string folder = target.folder.empty() ? "." : target.folder;
  int fd = ::open(folder.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
  if (fd < 0) return std::nullopt;
  File file(fd);
  write_new_file(file, target, bytes);
  char proc_path[64];
  std::snprintf(proc_path, sizeof proc_path, "/proc/self/fd/%d", file.fd());
  // A first save links the complete file straight in under its name, so no
  // moment exists at which a kill would leave a temporary name behind.
  // The file is synced already, so closing it afterwards risks nothing.
  if (!target.exists) {
    if (::linkat(AT_FDCWD, proc_path, AT_FDCWD, target.path.c_str(), AT_SYMLINK_FOLLOW) == 0) {
      file.close();
      return true;
    }
    if (errno != EEXIST) return std::nullopt;
  }
  for (int attempt = 0; attempt < 16; ++attempt) {
    std::string name = temp_name(target.folder);
    if (::linkat(AT_FDCWD, proc_path, AT_FDCWD, name.c_str(), AT_SYMLINK_FOLLOW) != 0) {
      if (errno == EEXIST) continue;
      return std::nullopt;  // no /proc, or linking refused: fall back to a named file
    }
    TempFileGuard guard(name);
    return rename_over(file, guard, target);
  }
  return std::nullopt;
}

// The same through a named temporary file; false when the folder lets us
// create no file or refuses the rename.
bool save_through_named_file(std::string_view bytes, const Target& target) {
  for (int attempt = 0;; ++attempt) {
    std::string name = temp_name(target.folder);
    int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0) {
      int code = errno;
      if (code == EINTR) run_signal_check();
      if (code == EINTR || (code == EEXIST && attempt < 16)) continue;
      if (code == EACCES || code == EPERM) return false;
      throw IoError{IoError::Kind::Os, code};
    }
    File file(fd);
    TempFileGuard guard(name);
    write_new_file(file, target, bytes);
    return rename_over(file, guard, target);
  }
}

void write_in_place(const std::string& path, std::string_view bytes) {
  File file = File::create(path);
  file.write_all(bytes);
  file.close();
}

}  // namespace

void replace_file(std::string_view path_view, std::string_view bytes) {
  if (path_view.find('\0') != std::string_view::npos) throw IoError{IoError::Kind::NulInPath};
  Target target;
  target.path = std::string(path_view);
  struct stat link;
  if (::lstat(target.path.c_str(), &link) == 0 && S_ISLNK(link.st_mode)) {
    // The file the link points to is replaced; a dangling link can only be
    // written through.
    std::unique_ptr<char, decltype(&::free)> resolved(::realpath(target.path.c_str(), nullptr),
                                                      &::free);
    if (!resolved) return write_in_place(target.path, bytes);
    target.path = resolved.get();
  }
  target.exists = ::stat(target.path.c_str(), &target.info) == 0;
  // Anything but a regular file (a device, a pipe) is written to, not
  // replaced; a file we may not write is refused, as truncating it would be.
  if (target.exists && (!S_ISREG(target.info.st_mode) ||
                        ::faccessat(AT_FDCWD, target.path.c_str(), W_OK, AT_EACCESS) != 0)) {
    return write_in_place(target.path, bytes);
  }
  if (std::size_t slash = target.path.rfind('/'); slash != std::string::npos) {
    target.folder = target.path.substr(0, slash + 1);
  }
  if (std::optional<bool> renamed = save_through_unnamed_file(bytes, target)) {
    if (*renamed) return;
  } else if (save_through_named_file(bytes, target)) {
    return;
  }
  write_in_place(target.path, bytes);
}

}  // namespace velkor
