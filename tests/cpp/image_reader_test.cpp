// The reader's quick paths against the plain checks they stand in for.
#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <random>
#include <string>

#include "model/tokenizer_file.h"
#include "unicode/utf8.h"

namespace velkor {
namespace {

void put_u64(std::string& out, std::uint64_t v) {
  for (int i = 0; i < 8; ++i) out += static_cast<char>((v >> (8 * i)) & 0xff);
}

std::string text_only_image(const std::string& text) {
  std::string image;
  put_u64(image, 0);
  put_u64(image, 0);
  put_u64(image, 1);
  put_u64(image, text.size());
  image += text;
  image += std::string("\x05\x00", 2);
  return image;
}

std::string expected_rendering(const Utf8Error& error) {
  std::string out = "InvalidUtf8Encoding(Utf8Error { valid_up_to: ";
  out.append(std::to_string(error.valid_up_to)).append(", error_len: ");
  if (error.error_len) {
    out.append("Some(").append(std::to_string(*error.error_len)).append(")");
  } else {
    out.append("None");
  }
  return out.append(" })");
}

// Texts built from the bytes where UTF-8 has its edges (overlong leads,
// surrogates, the end of the code space, lone continuations, cut-off
// sequences): a text loads exactly when check_utf8 accepts it, and a refused
// one carries check_utf8's error.
TEST(ImageReader, CheckedTextsAgreeWithTheUtf8Checker) {
  static const unsigned char kBytes[] = {0x00, 0x41, 0x7F, 0x80, 0x8F, 0x90, 0x9F, 0xA0, 0xBF,
                                         0xC0, 0xC1, 0xC2, 0xDF, 0xE0, 0xE1, 0xEC, 0xED, 0xEE,
                                         0xEF, 0xF0, 0xF1, 0xF3, 0xF4, 0xF5, 0xF8, 0xFE, 0xFF};
  std::mt19937 rng(99);
  int accepted = 0;
  for (int trial = 0; trial < 100000; ++trial) {
    std::string text(rng() % 7, '\0');
    for (char& c : text) c = static_cast<char>(kBytes[rng() % std::size(kBytes)]);
    const std::optional<Utf8Error> error = check_utf8(text);
    try {
      Model model = read_model(text_only_image(text));
      ASSERT_FALSE(error) << trial;
      ASSERT_EQ(model.unicode_lookup.at(text), 5);
      ++accepted;
    } catch (const ImageError& refused) {
      ASSERT_TRUE(error) << trial;
      ASSERT_EQ(refused.rendering, expected_rendering(*error));
    }
  }
  EXPECT_GT(accepted, 1000);
}

// Later entries replace earlier ones, in byte strings built in place too.
TEST(ImageReader, RepeatedKeysKeepTheLastValue) {
  std::string image;
  put_u64(image, 3);
  for (const std::string value : {"first value, longer than a short string", "", "x"}) {
    image += std::string("\x07\x00", 2);
    put_u64(image, value.size());
    image += value;
  }
  put_u64(image, 0);
  put_u64(image, 2);
  for (std::uint16_t id : {1, 2}) {
    put_u64(image, 3);
    image += "abc";
    image += static_cast<char>(id);
    image += '\0';
  }
  const Model model = read_model(image);
  EXPECT_EQ(model.lookup.size(), 1u);
  EXPECT_EQ(model.lookup.at(7), "x");
  EXPECT_EQ(model.unicode_lookup.size(), 1u);
  EXPECT_EQ(model.unicode_lookup.at("abc"), 2);
}

// A full id space survives a write and a read, entry for entry.
TEST(ImageReader, FullModelRoundTrips) {
  Model model;
  for (int i = 0; i < 65536; ++i) {
    const auto id = static_cast<TokenId>(i);
    model.lookup.emplace(id, std::string(static_cast<std::size_t>(i % 40), static_cast<char>(i)));
    model.merges.emplace(TokenPair{id, static_cast<TokenId>(i * 31)}, static_cast<TokenId>(i ^ 5));
    model.unicode_lookup.emplace(std::to_string(i).append("t"), id);
  }
  const Model loaded = read_model(write_model(model));
  ASSERT_EQ(loaded.lookup.size(), model.lookup.size());
  ASSERT_EQ(loaded.merges.size(), model.merges.size());
  ASSERT_EQ(loaded.unicode_lookup.size(), model.unicode_lookup.size());
  for (const auto& [id, bytes] : model.lookup) ASSERT_EQ(loaded.lookup.at(id), bytes);
  for (const auto& [pair, id] : model.merges) ASSERT_EQ(loaded.merges.at(pair), id);
  for (const auto& [text, id] : model.unicode_lookup) ASSERT_EQ(loaded.unicode_lookup.at(text), id);
}

}  // namespace
}  // namespace velkor
