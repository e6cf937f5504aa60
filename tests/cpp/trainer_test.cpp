#include "train/trainer.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>

#include "helpers.h"
#include "model/tokenizer_file.h"
#include "report/failure.h"

namespace velkor {
namespace {

namespace fs = std::filesystem;

const std::string kBanner =
    "--------------------------------------------- \n Saved Successfully "
    "\n---------------------------------------------\n";
const std::string kSeparator = "\n" + std::string(83, '-') + "\n";
const std::string kStarted = "Just Started\n";
const std::string kConverted = "Finish converting new read chunk to tokens\n";
constexpr std::size_t kChunk = 3'067'833;

void write_file(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

std::size_t open_descriptors() {
  return static_cast<std::size_t>(
      std::distance(fs::directory_iterator("/proc/self/fd"), fs::directory_iterator()));
}

// Grapheme clusters drawn from 2,000 CJK ideographs by a fixed generator:
// with about a million clusters and four million possible pairs no pair
// comes near ten occurrences, so training learns nothing and stays fast.
std::string scattered_ideographs(std::size_t count) {
  std::string text;
  text.reserve(count * 3);
  std::uint64_t state = 12345;
  for (std::size_t i = 0; i < count; ++i) {
    state = state * 6364136223846793005ull + 1442695040888963407ull;
    const unsigned code = 0x4E00 + static_cast<unsigned>((state >> 33) % 2000);
    text += static_cast<char>(0xE0 | (code >> 12));
    text += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    text += static_cast<char>(0x80 | (code & 0x3F));
  }
  return text;
}

// Each test runs in a fresh working directory with fd 1 and fd 2 captured.
class Train : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "velkor_train_XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
    previous_ = fs::current_path();
    fs::current_path(dir_);
  }
  void TearDown() override {
    fs::current_path(previous_);
    fs::remove_all(dir_);
  }

  struct Run {
    std::string out;      // everything written to fd 1
    std::string failure;  // the Failure's message, empty on success
  };
  Run run(Model& model, const std::string& train_file, bool print_logs,
          const std::string& logs_file, const InterruptCheck& check = {}) {
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    Run result;
    try {
      train(model, train_file, print_logs, logs_file, check);
    } catch (const Failure& failure) {
      result.failure = failure.what();
    } catch (...) {
      testing::internal::GetCapturedStderr();
      testing::internal::GetCapturedStdout();
      throw;
    }
    testing::internal::GetCapturedStderr();
    result.out = testing::internal::GetCapturedStdout();
    return result;
  }

  fs::path dir_;
  fs::path previous_;
};

bool starts_with(const std::string& text, const std::string& prefix) {
  return text.rfind(prefix, 0) == 0;
}

TEST_F(Train, WorkedExample) {
  write_file("train.txt", "abab");
  Model model;
  Run result = run(model, "train.txt", false, "train.log");
  EXPECT_EQ(result.failure, "");
  EXPECT_EQ(result.out, kStarted + kConverted + kBanner);
  const std::map<int, std::string> lookup = {{0, ""}, {1, "a"}, {2, "b"}};
  const std::map<std::string, int> clusters = {{"oov", 0}, {"a", 1}, {"b", 2}};
  EXPECT_EQ(lookup_of(model), lookup);
  EXPECT_EQ(clusters_of(model), clusters);
  EXPECT_TRUE(model.merges.empty());
  EXPECT_EQ(read_file("train.log"), kSeparator);
  Model saved = load_model_file("tokenizer");
  EXPECT_EQ(lookup_of(saved), lookup);
  EXPECT_EQ(clusters_of(saved), clusters);
}

TEST_F(Train, LearnsAndLogsMerges) {
  write_file("train.txt", [] {
    std::string text;
    for (int i = 0; i < 20; ++i) text += "ab";
    return text;
  }());
  write_file("log.txt", "earlier\n");
  Model model;
  Run result = run(model, "train.txt", true, "train.log");
  const std::string records =
      "Token 3 | Merge (1, 2) | 20 Times | Loop 0\nToken 4 | Merge (3, 3) | 19 Times | Loop 1\n";
  EXPECT_EQ(result.out, kStarted + kConverted + records + kBanner);
  EXPECT_EQ(read_file("train.log"), "Started \n ");
  EXPECT_EQ(read_file("log.txt"), "earlier\n" + records + kSeparator);
  EXPECT_EQ(lookup_of(load_model_file("tokenizer")).at(4), "abab");

  // A second call: no new ids, the merges are reapplied under their ids.
  Model before = model;
  result = run(model, "train.txt", true, "train.log");
  EXPECT_EQ(result.out, kStarted + kConverted + "No News Loop count is 3\n" +
                            "No News Loop count is 4\n" + kBanner);
  EXPECT_EQ(lookup_of(model), lookup_of(before));
  EXPECT_EQ(merges_of(model), merges_of(before));
  EXPECT_EQ(read_file("train.log"), "Started \n ");
  EXPECT_EQ(read_file("log.txt"), "earlier\n" + records + kSeparator + kSeparator);

  // Without print_logs the records reach standard output only.
  Model quiet;
  result = run(quiet, "train.txt", false, "quiet.log");
  EXPECT_EQ(result.out, kStarted + kConverted + records + kBanner);
  EXPECT_EQ(read_file("quiet.log"), kSeparator);
  EXPECT_EQ(read_file("log.txt"), "earlier\n" + records + kSeparator + kSeparator);
}

TEST_F(Train, EmptyFileSavesNothing) {
  write_file("empty.txt", "");
  Model model;
  model.lookup[0] = "stale";
  model.unicode_lookup["oov"] = 9;
  Run result = run(model, "empty.txt", false, "train.log");
  EXPECT_EQ(result.failure, "");
  EXPECT_EQ(result.out, kStarted);
  EXPECT_FALSE(fs::exists("tokenizer"));
  EXPECT_EQ(read_file("train.log"), "");
  EXPECT_EQ(lookup_of(model), (std::map<int, std::string>{{0, ""}}));
  EXPECT_EQ(clusters_of(model), (std::map<std::string, int>{{"oov", 0}}));

  write_file("log.txt", "kept\n");
  result = run(model, "empty.txt", true, "train.log");
  EXPECT_EQ(result.out, kStarted);
  EXPECT_EQ(read_file("train.log"), "Started \n ");
  EXPECT_EQ(read_file("log.txt"), "kept\n");
}

TEST_F(Train, UnreadableTrainingFiles) {
  Model model;
  Run missing = run(model, "missing.txt", false, "train.log");
  EXPECT_TRUE(starts_with(missing.failure, "Train File Not Existed: Os { code: 2, kind: NotFound"))
      << missing.failure;
  EXPECT_EQ(missing.out, "");
  EXPECT_TRUE(fs::exists("train.log"));
  EXPECT_EQ(clusters_of(model), (std::map<std::string, int>{{"oov", 0}}));

  fs::create_directory("folder");
  Run folder = run(model, "folder", false, "train.log");
  EXPECT_TRUE(starts_with(folder.failure, "To Work: Os { code: 21")) << folder.failure;
  EXPECT_EQ(folder.out, kStarted);

  Run no_log = run(model, "folder", false, "no/such/dir/train.log");
  EXPECT_TRUE(starts_with(no_log.failure, "To Work: Os { code: 2,")) << no_log.failure;
}

TEST_F(Train, MarkersBecomeCaret) {
  write_file("chat.txt", "<|im_start|>hi<|im_end|>^<|im_end");
  Model model;
  EXPECT_EQ(run(model, "chat.txt", false, "train.log").failure, "");
  std::map<std::string, int> expected = {{"oov", 0}, {"^", 1}, {"h", 2}, {"i", 3},
                                         {"<", 4},   {"|", 5}, {"m", 6}, {"_", 7},
                                         {"e", 8},   {"n", 9}, {"d", 10}};
  EXPECT_EQ(clusters_of(model), expected);
}

TEST_F(Train, FullChunkThenOneByte) {
  write_file("big.txt", scattered_ideographs(kChunk / 3) + "a");
  ASSERT_EQ(fs::file_size("big.txt"), kChunk + 1);
  Model model;
  Run result = run(model, "big.txt", false, "train.log");
  EXPECT_EQ(result.failure, "");
  EXPECT_EQ(result.out, kStarted + kConverted + kBanner + kConverted + kBanner);
  EXPECT_TRUE(model.merges.empty());
  EXPECT_EQ(model.unicode_lookup.at("a"), model.lookup.size() - 1);
  EXPECT_EQ(lookup_of(load_model_file("tokenizer")), lookup_of(model));
  EXPECT_EQ(read_file("train.log"), kSeparator + kSeparator);
}

TEST_F(Train, ChunkBoundaryCutsCharacter) {
  // Two ASCII bytes first, so the last ideograph has one byte in the first
  // chunk and two in the second, each of which becomes a U+FFFD: the second
  // chunk is a two-cluster chunk whose pair is not a learned merge.
  write_file("cut.txt", "xy" + scattered_ideographs(kChunk / 3));
  Model model;
  Run result = run(model, "cut.txt", false, "train.log");
  EXPECT_EQ(result.failure, "");
  EXPECT_EQ(result.out,
            kStarted + kConverted + kBanner +
                "Failed to find a match between the max occur with already learned | Failed "
                "Count 1\n" +
                kConverted + kBanner);
  EXPECT_TRUE(model.unicode_lookup.contains("\uFFFD"));
  EXPECT_TRUE(model.merges.empty());
}

TEST_F(Train, RefusesToDestroyItsOwnInput) {
  write_file("train.txt", "abab");
  Model model;
  Run same = run(model, "train.txt", false, "./train.txt");
  EXPECT_TRUE(starts_with(same.failure, "The log file ")) << same.failure;
  EXPECT_EQ(read_file("train.txt"), "abab");
  EXPECT_FALSE(fs::exists("tokenizer"));
  EXPECT_EQ(clusters_of(model), (std::map<std::string, int>{{"oov", 0}}));

  Run logged = run(model, "train.txt", true, fs::absolute("train.txt").string());
  EXPECT_TRUE(starts_with(logged.failure, "The log file ")) << logged.failure;
  EXPECT_EQ(read_file("train.txt"), "abab");
  EXPECT_FALSE(fs::exists("log.txt"));

  const std::string image = write_model(model);
  write_file("tokenizer", image);
  Run tokenizer = run(model, "./tokenizer", false, "train.log");
  EXPECT_TRUE(starts_with(tokenizer.failure, "The training file ")) << tokenizer.failure;
  EXPECT_EQ(read_file("tokenizer"), image);
  EXPECT_FALSE(fs::exists("train.log"));
}

TEST_F(Train, NewIdsSkipIdsInUse) {
  write_file("train.txt", "abc");
  Model model;
  model.lookup = {{1, "a"}, {3, "c"}};
  model.unicode_lookup = {{"a", 1}, {"c", 3}};
  // A gap: "b" would take id 3, which "c" holds, so it takes the next free
  // one; nothing is overwritten.
  Run result = run(model, "train.txt", false, "train.log");
  EXPECT_EQ(result.failure, "");
  EXPECT_EQ(model.lookup.at(3), "c");
  EXPECT_EQ(model.unicode_lookup.at("b"), 4);
  EXPECT_EQ(model.lookup.at(4), "b");

  Model full;
  for (int id = 0; id < 65536; ++id) full.lookup.emplace(static_cast<TokenId>(id), "?");
  result = run(full, "train.txt", false, "train.log");
  EXPECT_EQ(result.failure, "Token id 65536 does not fit: the vocabulary is full");
  EXPECT_EQ(full.lookup.at(0), "");
  EXPECT_EQ(full.lookup.at(1), "?");
}

TEST_F(Train, InterruptKeepsLearnedStateAndClosesFiles) {
  write_file("small.txt", "abab");
  Model model;
  ASSERT_EQ(run(model, "small.txt", false, "train.log").failure, "");
  const std::string saved = read_file("tokenizer");

  std::string text;
  for (int i = 0; i < 20; ++i) text += "ab";
  write_file("train.txt", text);
  const std::size_t descriptors = open_descriptors();
  int polls = 0;
  // Polls: before the chunk, then before each merge iteration.
  auto interrupt = [&] {
    if (++polls == 3) throw std::runtime_error("interrupted");
  };
  EXPECT_THROW(run(model, "train.txt", true, "train.log", interrupt), std::runtime_error);
  EXPECT_EQ(merges_of(model), (std::map<std::pair<int, int>, int>{{{1, 2}, 3}}));
  EXPECT_EQ(read_file("tokenizer"), saved);
  EXPECT_EQ(open_descriptors(), descriptors);
  EXPECT_EQ(read_file("log.txt"), "Token 3 | Merge (1, 2) | 20 Times | Loop 0\n");
}

}  // namespace
}  // namespace velkor
