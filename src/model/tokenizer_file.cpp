#include "model/tokenizer_file.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <limits>
#include <optional>

#include "support/console.h"
#include "support/failure.h"
#include "support/io.h"
#include "unicode/utf8.h"

namespace velkor {
namespace {

constexpr std::size_t kCountSize = 8;
constexpr std::size_t kIdSize = 2;
// Advance reservations are capped so that a corrupt count or length cannot
// claim memory that the bytes present could never fill.
constexpr std::size_t kLookupCap = 65'536;
constexpr std::size_t kMergesCap = 174'762;
constexpr std::size_t kUnicodeLookupCap = 65'536;

constexpr char kSavePath[] = "tokenizer";
constexpr char kSavedBanner[] =
    "--------------------------------------------- \n Saved Successfully "
    "\n---------------------------------------------\n";

const char kShortRead[] = "Io(Kind(UnexpectedEof))";
const char kShortText[] = "Io(Custom { kind: UnexpectedEof, error: \"\" })";

// --- Writing -------------------------------------------------------------

class ImageWriter {
 public:
  explicit ImageWriter(char* out) : out_(out) {}
  void u16(std::uint16_t value) {
    out_[0] = static_cast<char>(value & 0xff);
    out_[1] = static_cast<char>(value >> 8);
    out_ += 2;
  }
  void u64(std::uint64_t value) {
    for (int i = 0; i < 8; ++i) out_[i] = static_cast<char>((value >> (8 * i)) & 0xff);
    out_ += 8;
  }
  void bytes(std::string_view data) {
    u64(data.size());
    if (!data.empty()) std::memcpy(out_, data.data(), data.size());
    out_ += data.size();
  }
  const char* position() const { return out_; }

 private:
  char* out_;
};

std::size_t image_size(const Model& model) {
  std::size_t size = 3 * kCountSize;
  for (const auto& [id, bytes] : model.lookup) size += kIdSize + kCountSize + bytes.size();
  size += model.merges.size() * 3 * kIdSize;
  for (const auto& [text, id] : model.unicode_lookup) size += kCountSize + text.size() + kIdSize;
  return size;
}

// --- Reading -------------------------------------------------------------

template <class Unsigned>
Unsigned load_le(const char* at) {
  Unsigned value;
  std::memcpy(&value, at, sizeof value);
  if constexpr (std::endian::native == std::endian::big) {
    Unsigned swapped = 0;
    for (std::size_t i = 0; i < sizeof value; ++i) {
      swapped = static_cast<Unsigned>((swapped << 8) | ((value >> (8 * i)) & 0xff));
    }
    value = swapped;
  }
  return value;
}

// Whether text is well-formed UTF-8: a quick test for the short texts of
// the image; check_utf8 has the last word on a text it refuses.
bool is_utf8(std::string_view text) {
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const auto* const end = p + text.size();
  auto continuation = [](unsigned char c) { return (c & 0xC0) == 0x80; };
  while (p != end) {
    const unsigned char c = *p;
    if (c < 0x80) {
      ++p;
      continue;
    }
    const auto left = end - p;
    if (c >= 0xC2 && c <= 0xDF) {
      if (left < 2 || !continuation(p[1])) return false;
      p += 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
      if (left < 3 || !continuation(p[2])) return false;
      const unsigned char lo = c == 0xE0 ? 0xA0 : 0x80;  // no overlong forms
      const unsigned char hi = c == 0xED ? 0x9F : 0xBF;  // no surrogates
      if (p[1] < lo || p[1] > hi) return false;
      p += 3;
    } else if (c >= 0xF0 && c <= 0xF4) {
      if (left < 4 || !continuation(p[2]) || !continuation(p[3])) return false;
      const unsigned char lo = c == 0xF0 ? 0x90 : 0x80;  // no overlong forms
      const unsigned char hi = c == 0xF4 ? 0x8F : 0xBF;  // nothing above U+10FFFF
      if (p[1] < lo || p[1] > hi) return false;
      p += 4;
    } else {
      return false;
    }
  }
  return true;
}

[[noreturn]] void fail_image(std::string rendering) { throw ImageError{std::move(rendering)}; }

class ImageReader {
 public:
  explicit ImageReader(std::string_view image) : image_(image) {}

  std::size_t remaining() const { return image_.size() - pos_; }

  std::uint16_t u16() {
    if (remaining() < 2) fail_image(kShortRead);
    std::uint16_t value = load_le<std::uint16_t>(image_.data() + pos_);
    pos_ += 2;
    return value;
  }

  std::uint64_t u64() {
    if (remaining() < 8) fail_image(kShortRead);
    std::uint64_t value = load_le<std::uint64_t>(image_.data() + pos_);
    pos_ += 8;
    return value;
  }

  // A count or a length: it must fit the size type of this platform.
  std::size_t size() {
    std::uint64_t value = u64();
    if constexpr (sizeof(std::size_t) < sizeof(std::uint64_t)) {
      constexpr std::uint64_t kMax = std::numeric_limits<std::size_t>::max();
      if (value > kMax) {
        fail_image("Custom(" +
                   quote_string("Invalid size " + std::to_string(value) +
                                ": sizes must fit in a usize (0 to " + std::to_string(kMax) + ")") +
                   ")");
      }
    }
    return static_cast<std::size_t>(value);
  }

  // Exactly length bytes, or nullopt when fewer remain (nothing is consumed).
  std::optional<std::string_view> take(std::size_t length) {
    if (remaining() < length) return std::nullopt;
    std::string_view out = image_.substr(pos_, length);
    pos_ += length;
    return out;
  }

 private:
  std::string_view image_;
  std::size_t pos_ = 0;
};

template <class Map>
void reserve_for(Map& map, std::size_t count, std::size_t cap, std::size_t remaining,
                 std::size_t smallest_entry) {
  map.reserve(std::min({count, cap, remaining / smallest_entry}));
}

std::string utf8_error_rendering(const Utf8Error& error) {
  std::string out = "InvalidUtf8Encoding(Utf8Error { valid_up_to: ";
  out += std::to_string(error.valid_up_to);
  out += ", error_len: ";
  if (error.error_len) {
    out += "Some(" + std::to_string(*error.error_len) + ")";
  } else {
    out += "None";
  }
  out += " })";
  return out;
}

// --- Saving --------------------------------------------------------------

// Removes the temporary file unless the save went through.
class TempFileGuard {
 public:
  explicit TempFileGuard(std::string path) : path_(std::move(path)) {}
  TempFileGuard(const TempFileGuard&) = delete;
  TempFileGuard& operator=(const TempFileGuard&) = delete;
  ~TempFileGuard() {
    if (!path_.empty()) ::unlink(path_.c_str());
  }
  void keep() { path_.clear(); }

 private:
  std::string path_;
};

std::string temp_name() {
  HashSecret random = HashSecret::draw();
  char name[64];
  std::snprintf(name, sizeof name, ".tokenizer.tmp.%ld.%016llx", static_cast<long>(::getpid()),
                static_cast<unsigned long long>(random.k0));
  return name;
}

// Creates a fresh temporary file beside "tokenizer"; nullopt when the folder
// does not let us create one (then "tokenizer" is rewritten in place).
std::optional<std::pair<File, std::string>> create_temp_file() {
  for (int attempt = 0;; ++attempt) {
    std::string name = temp_name();
    int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd >= 0) return std::make_pair(File(fd), std::move(name));
    int code = errno;
    if (code == EINTR || (code == EEXIST && attempt < 16)) continue;
    if (code == EACCES || code == EPERM) return std::nullopt;
    throw IoError{IoError::Kind::Os, code};
  }
}

// Writes the image into an unnamed file of the working directory
// (O_TMPFILE) and gives it a name only once it is complete and synced, just
// before the rename: a process killed while writing leaves nothing behind.
// False when the file system cannot do this (the caller then uses a named
// temporary file); write errors are thrown as usual.
bool save_through_unnamed_file(std::string_view image, mode_t keep_mode) {
#ifdef O_TMPFILE
  int fd = ::open(".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
  if (fd < 0) return false;
  File file(fd);
  if (keep_mode != 0) ::fchmod(file.fd(), keep_mode);
  file.write_all(image);
  file.sync();
  char proc_path[64];
  std::snprintf(proc_path, sizeof proc_path, "/proc/self/fd/%d", file.fd());
  for (int attempt = 0; attempt < 16; ++attempt) {
    std::string name = temp_name();
    if (::linkat(AT_FDCWD, proc_path, AT_FDCWD, name.c_str(), AT_SYMLINK_FOLLOW) != 0) {
      if (errno == EEXIST) continue;
      return false;  // no /proc, or linking refused: fall back to a named file
    }
    TempFileGuard guard(name);
    file.close();
    if (::rename(name.c_str(), kSavePath) != 0) throw IoError{IoError::Kind::Os, errno};
    guard.keep();
    return true;
  }
  return false;
#else
  (void)image;
  (void)keep_mode;
  return false;
#endif
}

void save_in_place(std::string_view image) {
  File file = File::create(kSavePath);
  file.write_all(image);
  file.close();
}

void save_image(std::string_view image) {
  // A symbolic link, a file with further hard links and a file we may not
  // write are left to a plain create-and-truncate, which writes through the
  // link, keeps the links shared, or refuses, rather than being replaced.
  struct stat target;
  bool exists = ::lstat(kSavePath, &target) == 0;
  if (exists &&
      (S_ISLNK(target.st_mode) ||
       (S_ISREG(target.st_mode) &&
        (target.st_nlink > 1 || ::faccessat(AT_FDCWD, kSavePath, W_OK, AT_EACCESS) != 0)))) {
    return save_in_place(image);
  }

  const mode_t keep_mode = exists && S_ISREG(target.st_mode) ? target.st_mode & 07777 : 0;
  if (save_through_unnamed_file(image, keep_mode)) return;

  auto temp = create_temp_file();
  if (!temp) return save_in_place(image);
  auto& [file, name] = *temp;
  TempFileGuard guard(name);
  // Keep the mode of the file being replaced, as truncating it would.
  if (keep_mode != 0) ::fchmod(file.fd(), keep_mode);
  file.write_all(image);
  file.sync();
  file.close();
  if (::rename(name.c_str(), kSavePath) != 0) throw IoError{IoError::Kind::Os, errno};
  guard.keep();
}

}  // namespace

std::string write_model(const Model& model) {
  std::string image(image_size(model), '\0');
  ImageWriter out(image.data());
  out.u64(model.lookup.size());
  for (const auto& [id, bytes] : model.lookup) {
    out.u16(id);
    out.bytes(bytes);
  }
  out.u64(model.merges.size());
  for (const auto& [pair, merged] : model.merges) {
    out.u16(pair.left);
    out.u16(pair.right);
    out.u16(merged);
  }
  out.u64(model.unicode_lookup.size());
  for (const auto& [text, id] : model.unicode_lookup) {
    out.bytes(text);
    out.u16(id);
  }
  if (out.position() != image.data() + image.size()) fail("tokenizer image size mismatch");
  return image;
}

Model read_model(std::string_view image) {
  ImageReader in(image);
  Model model;

  std::size_t count = in.size();
  reserve_for(model.lookup, count, kLookupCap, in.remaining(), kIdSize + kCountSize);
  for (std::size_t i = 0; i < count; ++i) {
    TokenId id = in.u16();
    std::size_t length = in.size();
    // The bytes are read as a whole once they are known to be present, so
    // a corrupt length never allocates more than the image holds.
    std::optional<std::string_view> bytes = in.take(length);
    if (!bytes) fail_image(kShortRead);
    auto [entry, inserted] = model.lookup.try_emplace(id, *bytes);
    if (!inserted) entry->second.assign(*bytes);
  }

  count = in.size();
  reserve_for(model.merges, count, kMergesCap, in.remaining(), 3 * kIdSize);
  for (std::size_t i = 0; i < count; ++i) {
    TokenId left = in.u16();
    TokenId right = in.u16();
    TokenId merged = in.u16();
    model.merges.insert_or_assign(TokenPair{left, right}, merged);
  }

  count = in.size();
  reserve_for(model.unicode_lookup, count, kUnicodeLookupCap, in.remaining(), kCountSize + kIdSize);
  for (std::size_t i = 0; i < count; ++i) {
    std::size_t length = in.size();
    std::optional<std::string_view> text = in.take(length);
    if (!text) fail_image(kShortText);
    if (!is_utf8(*text)) {
      if (std::optional<Utf8Error> error = check_utf8(*text)) {
        fail_image(utf8_error_rendering(*error));
      }
    }
    TokenId id = in.u16();
    model.unicode_lookup.insert_or_assign(*text, id);
  }
  return model;
}

Model load_model_file(std::string_view path) {
  try {
    std::string image;
    {
      File file = File::open_read(path);
      image = file.read_all();
    }
    return read_model(image);
  } catch (const IoError& error) {
    fail("Should work: " + error.render());
  } catch (const ImageError& error) {
    fail("Should work: " + error.rendering);
  }
}

void save_model(const Model& model) {
  std::string image = write_model(model);
  try {
    save_image(image);
  } catch (const IoError& error) {
    fail("Should work: " + error.render());
  }
  console_write(kSavedBanner);
}

}  // namespace velkor
