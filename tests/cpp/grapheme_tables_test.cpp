// The committed tables must be exactly what the generator makes from the
// vendored data, so nobody edits them by hand or forgets to regenerate.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace {

std::string read_file(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

// First line printed by a shell command, or empty.
std::string first_line_of(const std::string& command) {
  std::FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return {};
  char buffer[4096];
  std::string line;
  if (std::fgets(buffer, sizeof buffer, pipe) != nullptr) line = buffer;
  pclose(pipe);
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
  return line;
}

TEST(GraphemeTables, MatchTheGenerator) {
  const std::filesystem::path root = VELKOR_SOURCE_DIR;
  std::string python =
      first_line_of("bash '" + (root / "tools/find_python.sh").string() + "' 2>/dev/null");
  if (python.empty()) python = first_line_of("command -v python3");
  if (python.empty()) {
    // CI must check the tables: there a missing Python is a failure.
    const char* ci = std::getenv("CI");
    if (ci != nullptr && std::string(ci) == "true") FAIL() << "no Python to run the generator";
    GTEST_SKIP() << "no Python to run the generator";
  }

  const auto out = std::filesystem::temp_directory_path() /
                   ("grapheme_tables_" + std::to_string(::getpid()) + ".inc");
  const std::string command = "'" + python + "' '" +
                              (root / "tools/gen_grapheme_tables.py").string() + "' -o '" +
                              out.string() + "'";
  ASSERT_EQ(std::system(command.c_str()), 0) << command;
  const std::string generated = read_file(out);
  std::filesystem::remove(out);
  EXPECT_FALSE(generated.empty());
  EXPECT_TRUE(generated == read_file(root / "src/unicode/grapheme_tables.inc"))
      << "src/unicode/grapheme_tables.inc is stale: rerun tools/gen_grapheme_tables.py";
}

}  // namespace
