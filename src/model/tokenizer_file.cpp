#include "model/tokenizer_file.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <limits>
#include <optional>

#include "files/io.h"
#include "report/console.h"
#include "report/failure.h"
#include "report/messages.h"
#include "unicode/utf8.h"

namespace velkor {
namespace {

constexpr std::size_t kCountSize = 8;
constexpr std::size_t kIdSize = 2;
// Advance reservations are capped so that a corrupt count or length cannot
// claim memory that the bytes present could never fill.
constexpr std::size_t kMergesCap = 174'762;
constexpr std::size_t kUnicodeLookupCap = 65'536;

constexpr char kSavePath[] = "tokenizer";
// The length from which an entry read from a stream (a pipe, a device) is
// taken for damage rather than read until memory runs out.
constexpr std::uint64_t kStreamEntryCap = std::uint64_t{1} << 32;
// The least a stream is read by at a time.
constexpr std::size_t kStreamRead = 65'536;

const char kShortRead[] = "Io(Kind(UnexpectedEof))";
const char kShortText[] = "Io(Custom { kind: UnexpectedEof, error: \"\" })";

// --- Writing -------------------------------------------------------------

class ImageWriter {
 public:
  explicit ImageWriter(char* out) : out_(out) {}
  // Little-endian, whatever the machine's order.
  template <class Unsigned>
  void put(Unsigned value) {
    for (std::size_t i = 0; i < sizeof value; ++i) out_[i] = static_cast<char>(value >> (8 * i));
    out_ += sizeof value;
  }
  void bytes(std::string_view data) {
    put(std::uint64_t{data.size()});
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
  Unsigned value = 0;
  for (std::size_t i = sizeof value; i-- > 0;) {
    value = static_cast<Unsigned>((value << 8) | static_cast<unsigned char>(at[i]));
  }
  return value;
}

[[noreturn]] void fail_image(std::string rendering) { throw ImageError{std::move(rendering)}; }

[[noreturn]] void fail_invalid_size(std::uint64_t size, const std::string& why) {
  fail_image("Custom(" + quote_string("Invalid size " + std::to_string(size) + why) + ")");
}

// Reads an image held in memory, or one that a stream delivers as it is
// decoded: a stream is read no further than the model goes, so an endless
// one (/dev/zero) stops at the end of the model or at its first error.
class ImageReader {
 public:
  explicit ImageReader(std::string_view image) : image_(image) {}
  explicit ImageReader(File& stream) : stream_(&stream) {}

  std::size_t remaining() const { return image_.size() - pos_; }

  // Whether at least count bytes remain, reading more from a stream if need be.
  bool has(std::size_t count) { return remaining() >= count || fill(count); }

  template <class Unsigned>
  Unsigned get() {
    if (!has(sizeof(Unsigned))) fail_image(kShortRead);
    const auto value = load_le<Unsigned>(image_.data() + pos_);
    pos_ += sizeof(Unsigned);
    return value;
  }
  std::uint16_t u16() { return get<std::uint16_t>(); }

  // A count or a length: it must fit the size type of this platform.
  std::size_t size() {
    const auto value = get<std::uint64_t>();
    if constexpr (sizeof(std::size_t) < sizeof(std::uint64_t)) {
      constexpr std::uint64_t kMax = std::numeric_limits<std::size_t>::max();
      if (value > kMax) {
        fail_invalid_size(value, ": sizes must fit in a usize (0 to " + std::to_string(kMax) + ")");
      }
    }
    return static_cast<std::size_t>(value);
  }

  // Exactly length bytes, or nullopt when fewer remain (nothing is consumed).
  // The view lasts until the next read.
  std::optional<std::string_view> take(std::size_t length) {
    if (!has(length)) return std::nullopt;
    std::string_view out = image_.substr(pos_, length);
    pos_ += length;
    return out;
  }

 private:
  // Drops what was consumed and reads until count bytes remain or the
  // stream ends, running the signal check between reads.
  bool fill(std::size_t count) {
    if (stream_ == nullptr) return false;
    if (count >= kStreamEntryCap) {
      fail_invalid_size(count, ": an entry read from a stream must be shorter than " +
                                   std::to_string(kStreamEntryCap) + " bytes");
    }
    buffer_.erase(0, pos_);
    pos_ = 0;
    bool ended = false;
    while (buffer_.size() < count && !ended) {
      const std::size_t held = buffer_.size();
      const std::size_t want = std::min(count - held, std::max(kStreamRead, held));
      buffer_.resize(held + std::max(want, kStreamRead));
      const std::size_t got = stream_->read_some(buffer_.data() + held, buffer_.size() - held);
      buffer_.resize(held + got);
      ended = got == 0;
      run_signal_check();
    }
    image_ = buffer_;
    return buffer_.size() >= count;
  }

  std::string_view image_;
  std::size_t pos_ = 0;
  File* stream_ = nullptr;
  std::string buffer_;
};

std::string utf8_error_rendering(const Utf8Error& error) {
  std::string out = "InvalidUtf8Encoding(Utf8Error { valid_up_to: ";
  out += std::to_string(error.valid_up_to);
  out += ", error_len: ";
  out += error.error_len ? "Some(" + std::to_string(*error.error_len) + ")" : "None";
  out += " })";
  return out;
}

}  // namespace

std::string write_model(const Model& model) {
  std::string image(image_size(model), '\0');
  ImageWriter out(image.data());
  out.put(std::uint64_t{model.lookup.size()});
  for (const auto& [id, bytes] : model.lookup) {
    out.put(id);
    out.bytes(bytes);
  }
  out.put(std::uint64_t{model.merges.size()});
  for (const auto& [pair, merged] : model.merges) {
    out.put(pair.left);
    out.put(pair.right);
    out.put(merged);
  }
  out.put(std::uint64_t{model.unicode_lookup.size()});
  for (const auto& [text, id] : model.unicode_lookup) {
    out.bytes(text);
    out.put(id);
  }
  if (out.position() != image.data() + image.size()) fail("tokenizer image size mismatch");
  return image;
}

namespace {

Model read_image(ImageReader& in) {
  Model model;

  std::size_t count = in.size();
  for (std::size_t i = 0; i < count; ++i) {
    TokenId id = in.u16();
    std::size_t length = in.size();
    // The bytes are read as a whole once they are known to be present, so
    // a corrupt length never allocates more than the image holds.
    std::optional<std::string_view> bytes = in.take(length);
    if (!bytes) fail_image(kShortRead);
    model.lookup[id].assign(*bytes);
  }

  count = in.size();
  model.merges.reserve(std::min({count, kMergesCap, in.remaining() / (3 * kIdSize)}));
  for (std::size_t i = 0; i < count; ++i) {
    TokenId left = in.u16();
    TokenId right = in.u16();
    TokenId merged = in.u16();
    model.merges.insert_or_assign(TokenPair{left, right}, merged);
  }

  count = in.size();
  model.unicode_lookup.reserve(
      std::min({count, kUnicodeLookupCap, in.remaining() / (kCountSize + kIdSize)}));
  for (std::size_t i = 0; i < count; ++i) {
    std::size_t length = in.size();
    std::optional<std::string_view> text = in.take(length);
    if (!text) fail_image(kShortText);
    if (std::optional<Utf8Error> error = check_utf8(*text)) {
      fail_image(utf8_error_rendering(*error));
    }
    std::string key(*text);  // the view does not outlast the next read
    TokenId id = in.u16();
    model.unicode_lookup.insert_or_assign(std::move(key), id);
  }
  return model;
}

}  // namespace

Model read_model(std::string_view image) {
  ImageReader in(image);
  return read_image(in);
}

Model load_model_file(std::string_view path) {
  try {
    return or_fail(messages::kShouldWork, [&] {
      File file = File::open_read(path);
      if (file.is_regular()) return read_model(file.read_all());
      ImageReader in(file);
      return read_image(in);
    });
  } catch (const ImageError& error) {
    fail(std::string(messages::kShouldWork) + ": " + error.rendering);
  }
}

void save_model(const Model& model) {
  std::string image = write_model(model);
  or_fail(messages::kShouldWork, [&] { replace_file(kSavePath, image); });
  console_write(messages::kSavedBanner);
}

}  // namespace velkor
