#include "model/tokenizer_file.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <filesystem>
#include <set>
#include <string>
#include <thread>

#include "files/io.h"
#include "helpers.h"
#include "report/failure.h"

namespace velkor {
namespace {

// Little-endian image builder.
struct Image {
  std::string bytes;
  Image& u16(std::uint16_t v) {
    bytes += static_cast<char>(v & 0xff);
    bytes += static_cast<char>(v >> 8);
    return *this;
  }
  Image& u64(std::uint64_t v) {
    for (int i = 0; i < 8; ++i) bytes += static_cast<char>((v >> (8 * i)) & 0xff);
    return *this;
  }
  Image& raw(std::string_view data) {
    bytes += data;
    return *this;
  }
  Image& str(std::string_view data) { return u64(data.size()).raw(data); }
};

// The 87-byte example: lookup {0: "", 1: "a", 2: "aa"}, merges {(1, 1): 2},
// unicode_lookup {"oov": 0, "a": 1}.
std::string example_image() {
  return Image{}
      .u64(3)
      .u16(0)
      .str("")
      .u16(1)
      .str("a")
      .u16(2)
      .str("aa")
      .u64(1)
      .u16(1)
      .u16(1)
      .u16(2)
      .u64(2)
      .str("oov")
      .u16(0)
      .str("a")
      .u16(1)
      .bytes;
}

Model example_model() {
  Model model;
  model.lookup = {{0, ""}, {1, "a"}, {2, "aa"}};
  model.merges = {{TokenPair{1, 1}, 2}};
  model.unicode_lookup = {{"oov", 0}, {"a", 1}};
  return model;
}

// operator== of unordered maps needs hashers that agree, and every map here
// has its own key, so compare entry by entry.
template <class Map>
bool same_entries(const Map& a, const Map& b) {
  if (a.size() != b.size()) return false;
  for (const auto& [key, value] : a) {
    auto found = b.find(key);
    if (found == b.end() || !(found->second == value)) return false;
  }
  return true;
}

void expect_same_model(const Model& actual, const Model& expected) {
  EXPECT_EQ(lookup_of(actual), lookup_of(expected));
  EXPECT_TRUE(same_entries(actual.merges, expected.merges));
  EXPECT_TRUE(same_entries(actual.unicode_lookup, expected.unicode_lookup));
}

std::string image_error(std::string_view image) {
  try {
    read_model(image);
  } catch (const ImageError& error) {
    return error.rendering;
  }
  return "loaded";
}

std::string failure_message(auto&& operation) {
  try {
    operation();
  } catch (const Failure& failure) {
    return failure.what();
  }
  return "no failure";
}

const char kShortRead[] = "Io(Kind(UnexpectedEof))";
const char kShortText[] = "Io(Custom { kind: UnexpectedEof, error: \"\" })";
const char kBanner[] =
    "--------------------------------------------- \n Saved Successfully \n"
    "---------------------------------------------\n";

TEST(TokenizerFileTest, WorkedExamplesLoadAndRoundTrip) {
  std::string image = example_image();
  ASSERT_EQ(image.size(), 87u);
  Model model = read_model(image);
  expect_same_model(model, example_model());
  std::string written = write_model(model);
  EXPECT_EQ(written.size(), 87u);
  expect_same_model(read_model(written), model);
  expect_same_model(read_model(image + "trailing junk"), model);

  Model initial;
  initial.lookup = {{0, ""}};
  initial.unicode_lookup = {{"oov", 0}};
  std::string expected = std::string("\x01", 1) + std::string(7 + 18, '\0') +
                         std::string("\x01", 1) + std::string(7, '\0') + std::string("\x03", 1) +
                         std::string(7, '\0') + "oov" + std::string(2, '\0');
  ASSERT_EQ(expected.size(), 47u);
  EXPECT_EQ(write_model(initial), expected);
  expect_same_model(read_model(expected), initial);
}

TEST(TokenizerFileTest, WritesExactBytesForSingleEntries) {
  Model model;
  model.lookup = {{0x1234, std::string("\xff\x00", 2)}};
  model.merges = {{TokenPair{0x0102, 0x0304}, 0x0506}};
  model.unicode_lookup = {{"\xc3\xa9", 0xabcd}};
  std::string expected = Image{}
                             .u64(1)
                             .u16(0x1234)
                             .str(std::string("\xff\x00", 2))
                             .u64(1)
                             .u16(0x0102)
                             .u16(0x0304)
                             .u16(0x0506)
                             .u64(1)
                             .str("\xc3\xa9")
                             .u16(0xabcd)
                             .bytes;
  EXPECT_EQ(write_model(model), expected);
  EXPECT_EQ(write_model(Model{}), std::string(24, '\0'));
}

TEST(TokenizerFileTest, LargeModelRoundTrips) {
  Model model;
  for (int i = 0; i < 5000; ++i) {
    TokenId id = static_cast<TokenId>(i);
    model.lookup[id] = std::string(static_cast<std::size_t>(i % 7), static_cast<char>(i));
    model.merges[TokenPair{id, static_cast<TokenId>(i * 7)}] = static_cast<TokenId>(i + 1);
    model.unicode_lookup[std::string("t") + std::to_string(i)] = id;
  }
  std::string image = write_model(model);
  expect_same_model(read_model(image), model);
}

TEST(TokenizerFileTest, UnusualButSoundImagesLoad) {
  Model empty = read_model(std::string(24, '\0'));
  EXPECT_TRUE(empty.lookup.empty() && empty.merges.empty() && empty.unicode_lookup.empty());

  Model dup = read_model(Image{}
                             .u64(3)
                             .u16(7)
                             .str("first")
                             .u16(8)
                             .str("\xff")
                             .u16(7)
                             .str("later")
                             .u64(0)
                             .u64(0)
                             .bytes);
  EXPECT_EQ(dup.lookup.size(), 2u);
  EXPECT_EQ(dup.lookup.at(7), "later");
  EXPECT_EQ(dup.lookup.at(8), "\xff");

  Model dup_text = read_model(Image{}.u64(0).u64(0).u64(2).str("x").u16(1).str("x").u16(2).bytes);
  EXPECT_EQ(dup_text.unicode_lookup.size(), 1u);
  EXPECT_EQ(dup_text.unicode_lookup.at("x"), 2);
}

TEST(TokenizerFileTest, DamagedImagesFailWithTheirRendering) {
  EXPECT_EQ(image_error(""), kShortRead);
  EXPECT_EQ(image_error(std::string(23, '\0')), kShortRead);
  // Count 2 with one entry.
  EXPECT_EQ(image_error(Image{}.u64(2).u16(1).str("a").bytes), kShortRead);
  // Length 100 with 5 bytes left: a short read for bytes, a short text for text.
  EXPECT_EQ(image_error(Image{}.u64(1).u16(1).u64(100).raw("abcde").bytes), kShortRead);
  EXPECT_EQ(image_error(Image{}.u64(0).u64(0).u64(1).u64(100).raw("abcde").bytes), kShortText);
  // A text present but the id after it missing.
  EXPECT_EQ(image_error(Image{}.u64(0).u64(0).u64(1).str("ab").raw("\x01").bytes), kShortRead);
}

TEST(TokenizerFileTest, InvalidUtf8TextIsRefused) {
  auto text_image = [](std::string_view text) {
    return Image{}.u64(0).u64(0).u64(1).str(text).u16(1).bytes;
  };
  EXPECT_EQ(image_error(text_image("\xff")),
            "InvalidUtf8Encoding(Utf8Error { valid_up_to: 0, error_len: Some(1) })");
  EXPECT_EQ(image_error(text_image("ab\xe2\x82")),
            "InvalidUtf8Encoding(Utf8Error { valid_up_to: 2, error_len: None })");
}

TEST(TokenizerFileTest, HugeCountsAndLengthsFailCleanly) {
  constexpr std::uint64_t kHalf = std::uint64_t{1} << 63;
  constexpr std::uint64_t kMax = ~std::uint64_t{0};
  for (std::uint64_t huge : {kHalf, kMax}) {
    SCOPED_TRACE(huge);
    EXPECT_EQ(image_error(Image{}.u64(huge).bytes), kShortRead);
    EXPECT_EQ(image_error(Image{}.u64(huge).u16(0).str("x").bytes), kShortRead);
    EXPECT_EQ(image_error(Image{}.u64(1).u16(0).u64(huge).raw("xyz").bytes), kShortRead);
    EXPECT_EQ(image_error(Image{}.u64(0).u64(huge).u16(1).u16(2).u16(3).bytes), kShortRead);
    EXPECT_EQ(image_error(Image{}.u64(0).u64(0).u64(huge).bytes), kShortRead);
    EXPECT_EQ(image_error(Image{}.u64(0).u64(0).u64(1).u64(huge).raw("xyz").bytes), kShortText);
  }
}

TEST(TokenizerFileTest, EveryTruncationFails) {
  std::string image = Image{}
                          .u64(2)
                          .u16(3)
                          .str("\xff\xfe")
                          .u16(4)
                          .str("")
                          .u64(1)
                          .u16(3)
                          .u16(4)
                          .u16(5)
                          .u64(2)
                          .str("oov")
                          .u16(0)
                          .str("\xe2\x82\xac")
                          .u16(9)
                          .bytes;
  ASSERT_EQ(image_error(image), "loaded") << "the full image must load";
  for (std::size_t size = 0; size < image.size(); ++size) {
    std::string rendering = image_error(image.substr(0, size));
    EXPECT_TRUE(rendering == kShortRead || rendering == kShortText) << size << ": " << rendering;
  }
}

class TempWorkingDir : public testing::Test {
 protected:
  void SetUp() override {
    previous_ = std::filesystem::current_path();
    std::string pattern = (std::filesystem::temp_directory_path() / "velkor-tf-XXXXXX").string();
    dir_ = ::mkdtemp(pattern.data());
    std::filesystem::current_path(dir_);
  }
  void TearDown() override {
    std::filesystem::current_path(previous_);
    std::filesystem::remove_all(dir_);
  }
  std::set<std::string> entries() const {
    std::set<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir_)) {
      names.insert(entry.path().filename().string());
    }
    return names;
  }
  static std::string read_file(const std::string& path) { return File::open_read(path).read_all(); }
  static void write_file(const std::string& path, std::string_view bytes) {
    File::create(path).write_all(bytes);
  }
  // Saves and returns what reached standard output.
  static std::string save_capturing(const Model& model) {
    testing::internal::CaptureStdout();
    try {
      save_model(model);
    } catch (...) {
      testing::internal::GetCapturedStdout();
      throw;
    }
    return testing::internal::GetCapturedStdout();
  }

  std::filesystem::path previous_;
  std::string dir_;
};

using TokenizerFileLoadTest = TempWorkingDir;
using TokenizerFileSaveTest = TempWorkingDir;

TEST_F(TokenizerFileLoadTest, LoadsFileOrReportsWhy) {
  write_file("model.bin", example_image());
  expect_same_model(load_model_file("model.bin"), example_model());

  EXPECT_EQ(failure_message([] { load_model_file("missing"); }),
            "Should work: Os { code: 2, kind: NotFound, message: \"No such file or directory\" }");
  EXPECT_EQ(failure_message([] { load_model_file("."); }),
            "Should work: Os { code: 21, kind: IsADirectory, message: \"Is a directory\" }");
  EXPECT_EQ(failure_message([] { load_model_file(std::string("model.bin\0x", 11)); }),
            "Should work: Error { kind: InvalidInput, message: \"file name contained an "
            "unexpected NUL byte\" }");
  write_file("empty", "");
  EXPECT_EQ(failure_message([] { load_model_file("empty"); }),
            "Should work: Io(Kind(UnexpectedEof))");
}

TEST_F(TokenizerFileLoadTest, LoadsFromAPipeThatDeliversInPieces) {
  int ends[2];
  ASSERT_EQ(::pipe(ends), 0);
  const std::string image = example_image();
  std::atomic<bool> done{false};
  // Three bytes at a time, each once the last is read: one read never gives
  // all that a count needs.
  std::thread writer([&] {
    for (std::size_t at = 0; at < image.size() && !done; at += 3) {
      if (::write(ends[1], image.data() + at, std::min<std::size_t>(3, image.size() - at)) < 0) {
        break;
      }
      int queued = 1;
      while (!done && ::ioctl(ends[1], FIONREAD, &queued) == 0 && queued > 0) {
        std::this_thread::yield();
      }
    }
    ::close(ends[1]);
  });
  Model model;
  const std::string failure =
      failure_message([&] { model = load_model_file("/proc/self/fd/" + std::to_string(ends[0])); });
  done = true;
  writer.join();
  ::close(ends[0]);
  EXPECT_EQ(failure, "no failure");
  expect_same_model(model, example_model());
}

TEST_F(TokenizerFileSaveTest, SaveReplacesTokenizerAndPrintsBanner) {
  write_file("tokenizer", "old content");
  EXPECT_EQ(save_capturing(example_model()), kBanner);
  expect_same_model(load_model_file("tokenizer"), example_model());
  EXPECT_EQ(entries(), std::set<std::string>{"tokenizer"});

  Model bigger = example_model();
  bigger.lookup[3] = "aaa";
  EXPECT_EQ(save_capturing(bigger), kBanner);
  expect_same_model(load_model_file("tokenizer"), bigger);
  EXPECT_EQ(entries(), std::set<std::string>{"tokenizer"});
}

TEST_F(TokenizerFileSaveTest, SaveKeepsModeAndLinks) {
  write_file("real", "old");
  ASSERT_EQ(::chmod("real", 0600), 0);
  ASSERT_EQ(::symlink("real", "tokenizer"), 0);
  save_capturing(example_model());
  // The link's target is replaced (mode kept), the link stays.
  EXPECT_TRUE(std::filesystem::is_symlink("tokenizer"));
  expect_same_model(load_model_file("real"), example_model());
  struct stat replaced;
  ASSERT_EQ(::stat("real", &replaced), 0);
  EXPECT_EQ(replaced.st_mode & 0777, 0600u);

  ASSERT_EQ(::unlink("tokenizer"), 0);
  ASSERT_EQ(::rename("real", "tokenizer"), 0);
  save_capturing(Model{});
  struct stat info;
  ASSERT_EQ(::stat("tokenizer", &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  EXPECT_EQ(read_file("tokenizer"), std::string(24, '\0'));

  // A second hard link keeps the previous model.
  ASSERT_EQ(::link("tokenizer", "other"), 0);
  save_capturing(example_model());
  EXPECT_EQ(read_file("other"), std::string(24, '\0'));
  expect_same_model(load_model_file("tokenizer"), example_model());
}

TEST_F(TokenizerFileSaveTest, FailedSaveKeepsPreviousFileAndLeavesNoTemporary) {
  ASSERT_EQ(::mkdir("tokenizer", 0777), 0);
  write_file("tokenizer/inside", "x");
  std::string message;
  std::string out = "unset";
  testing::internal::CaptureStdout();
  message = failure_message([] { save_model(example_model()); });
  out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(message,
            "Should work: Os { code: 21, kind: IsADirectory, message: \"Is a directory\" }");
  EXPECT_EQ(out, "");
  EXPECT_EQ(entries(), std::set<std::string>{"tokenizer"});
  EXPECT_EQ(read_file("tokenizer/inside"), "x");
}

TEST_F(TokenizerFileSaveTest, WriteFailureKeepsPreviousFile) {
  std::string previous = example_image();
  write_file("tokenizer", previous);
  Model big;
  for (int i = 0; i < 100; ++i) big.lookup[static_cast<TokenId>(i)] = "some bytes";

  struct sigaction ignore{};
  ignore.sa_handler = SIG_IGN;
  struct sigaction old_action{};
  ASSERT_EQ(::sigaction(SIGXFSZ, &ignore, &old_action), 0);
  struct rlimit old_limit{};
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &old_limit), 0);
  struct rlimit limit = old_limit;
  limit.rlim_cur = 100;
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &limit), 0);
  std::string message = failure_message([&] { save_model(big); });
  ::setrlimit(RLIMIT_FSIZE, &old_limit);
  ::sigaction(SIGXFSZ, &old_action, nullptr);

  EXPECT_EQ(message,
            "Should work: Os { code: 27, kind: FileTooLarge, message: \"File too large\" }");
  EXPECT_EQ(read_file("tokenizer"), previous);
  EXPECT_EQ(entries(), std::set<std::string>{"tokenizer"});
}

}  // namespace
}  // namespace velkor
