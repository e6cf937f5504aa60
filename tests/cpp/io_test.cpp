#include "files/io.h"

#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "report/console.h"

namespace velkor {
namespace {

class TempDir {
 public:
  TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "velkor-io-XXXXXX").string();
    path_ = ::mkdtemp(pattern.data());
  }
  ~TempDir() { std::filesystem::remove_all(path_); }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

std::string slurp(const std::string& path) { return File::open_read(path).read_all(); }

IoError caught(auto&& operation) {
  try {
    operation();
  } catch (const IoError& error) {
    return error;
  }
  ADD_FAILURE() << "no IoError thrown";
  return {};
}

std::string os_error(int code) { return IoError{IoError::Kind::Os, code}.render(); }

TEST(IoErrorTest, RendersOsErrorsWithKindAndSystemText) {
  EXPECT_EQ(os_error(ENOENT),
            "Os { code: 2, kind: NotFound, message: \"No such file or directory\" }");
  EXPECT_EQ(os_error(EACCES),
            "Os { code: 13, kind: PermissionDenied, message: \"Permission denied\" }");
  EXPECT_EQ(os_error(ENOSPC),
            "Os { code: 28, kind: StorageFull, message: \"No space left on device\" }");
  EXPECT_EQ(os_error(9999),
            "Os { code: 9999, kind: Uncategorized, message: \"Unknown error 9999\" }");
}

TEST(IoErrorTest, RendersErrorsWithoutNumber) {
  EXPECT_EQ(
      IoError{IoError::Kind::NulInPath}.render(),
      "Error { kind: InvalidInput, message: \"file name contained an unexpected NUL byte\" }");
  EXPECT_EQ(IoError{IoError::Kind::WriteZero}.render(),
            "Error { kind: WriteZero, message: \"failed to write whole buffer\" }");
}

TEST(IoErrorTest, KindNames) {
  EXPECT_EQ(error_kind_name(EPERM), "PermissionDenied");
  EXPECT_EQ(error_kind_name(EISDIR), "IsADirectory");
  EXPECT_EQ(error_kind_name(ENOTEMPTY), "DirectoryNotEmpty");
  EXPECT_EQ(error_kind_name(EDQUOT), "FilesystemQuotaExceeded");
  EXPECT_EQ(error_kind_name(EFBIG), "FileTooLarge");
  EXPECT_EQ(error_kind_name(EXDEV), "CrossesDevices");
  EXPECT_EQ(error_kind_name(ENOSYS), "Unsupported");
  EXPECT_EQ(error_kind_name(0), "Uncategorized");
  EXPECT_EQ(error_kind_name(EPROTO), "Uncategorized");
  // Numbers that file operations meet but that have no kind of their own.
  EXPECT_EQ(error_kind_name(EDEADLK), "Uncategorized");
  EXPECT_EQ(error_kind_name(ESTALE), "Uncategorized");
}

TEST(IoErrorTest, QuoteStringEscapes) {
  EXPECT_EQ(quote_string(""), "\"\"");
  EXPECT_EQ(quote_string("it's \"x\" \\ y"), "\"it's \\\"x\\\" \\\\ y\"");
  EXPECT_EQ(quote_string(std::string("a\nb\rc\td\0e", 9)), "\"a\\nb\\rc\\td\\0e\"");
  EXPECT_EQ(quote_string("\x1b[0m\x7f"), "\"\\u{1b}[0m\\u{7f}\"");
  EXPECT_EQ(quote_string("caf\xc3\xa9 \xc2\x85"), "\"caf\xc3\xa9 \\u{85}\"");
}

TEST(IoFileTest, WriteReadAppendRoundTrip) {
  TempDir dir;
  std::string path = dir.file("data");
  std::string big(200'000, 'x');
  big[12345] = '\0';
  {
    File file = File::create(path);
    file.write_all(big);
    file.sync();
    file.close();
    EXPECT_FALSE(file.is_open());
  }
  EXPECT_EQ(slurp(path), big);
  File::create(path).write_all("abc");  // truncates
  {
    File file = File::open_append(path);
    EXPECT_EQ(file.write_once("de"), 2u);
    file.write_all("f");
  }
  EXPECT_EQ(slurp(path), "abcdef");

  File file = File::open_read(path);
  char buffer[4];
  EXPECT_EQ(file.read_some(buffer, sizeof buffer), 4u);
  EXPECT_EQ(std::string(buffer, 4), "abcd");
  EXPECT_EQ(file.read_all(), "ef");
  EXPECT_EQ(file.read_some(buffer, sizeof buffer), 0u);
}

TEST(IoFileTest, NewFilesGetMode666LessUmask) {
  TempDir dir;
  mode_t old_mask = ::umask(022);
  File::create(dir.file("a"));
  File::open_append(dir.file("b"));
  ::umask(old_mask);
  struct stat info;
  ASSERT_EQ(::stat(dir.file("a").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0644u);
  ASSERT_EQ(::stat(dir.file("b").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0644u);
}

TEST(IoFileTest, FailuresCarryTheirError) {
  TempDir dir;
  IoError missing = caught([&] { File::open_read(dir.file("missing")); });
  EXPECT_EQ(missing.kind, IoError::Kind::Os);
  EXPECT_EQ(missing.code, ENOENT);

  IoError directory = caught([&] { File::open_read(dir.file("")).read_all(); });
  EXPECT_EQ(directory.kind, IoError::Kind::Os);
  EXPECT_EQ(directory.code, EISDIR);

  std::string with_nul = dir.file("a") + std::string(1, '\0') + "b";
  EXPECT_EQ(caught([&] { File::create(with_nul); }).kind, IoError::Kind::NulInPath);
  EXPECT_EQ(caught([&] { File::open_append(with_nul); }).kind, IoError::Kind::NulInPath);
  EXPECT_FALSE(std::filesystem::exists(dir.file("a")));

  File full = File::open_append("/dev/full");
  IoError no_space = caught([&] { full.write_all("x"); });
  EXPECT_EQ(no_space.code, ENOSPC);
}

TEST(IoFileTest, MoveTransfersOwnership) {
  TempDir dir;
  File first = File::create(dir.file("a"));
  int fd = first.fd();
  File second = std::move(first);
  EXPECT_FALSE(first.is_open());
  EXPECT_EQ(second.fd(), fd);
  second = File::create(dir.file("b"));  // closes fd
  EXPECT_EQ(::fcntl(fd, F_GETFD), -1);
}

TEST(IoFileTest, SameFile) {
  TempDir dir;
  File::create(dir.file("a"));
  File::create(dir.file("b"));
  ASSERT_EQ(::link(dir.file("a").c_str(), dir.file("c").c_str()), 0);
  EXPECT_TRUE(same_file(dir.file("a"), dir.file("a")));
  EXPECT_TRUE(same_file(dir.file("a"), dir.file("c")));
  EXPECT_FALSE(same_file(dir.file("a"), dir.file("b")));
  EXPECT_FALSE(same_file(dir.file("missing"), dir.file("missing")));
}

TEST(ConsoleTest, WritesOnlyCompleteLines) {
  testing::internal::CaptureStdout();
  console_write("one\ntw");
  console_write("o");
  std::string after_partial = testing::internal::GetCapturedStdout();
  testing::internal::CaptureStdout();
  console_write("\nthree\n");
  std::string after_feed = testing::internal::GetCapturedStdout();
  EXPECT_EQ(after_partial, "one\n");
  EXPECT_EQ(after_feed, "two\nthree\n");
}

}  // namespace
}  // namespace velkor
