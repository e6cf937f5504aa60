// The binary tokenizer file: three little-endian sections, no header.
#pragma once

#include <string>
#include <string_view>

#include "model/model.h"

namespace velkor {

// A decoding error of the image, rendered as the loader reports it, e.g.
// "Io(Kind(UnexpectedEof))".
struct ImageError {
  std::string rendering;
};

// Serialises the model in the maps' iteration order into a buffer of
// exactly the right size.
std::string write_model(const Model& model);

// Reads a model from an image; throws ImageError. Trailing bytes are ignored.
Model read_model(std::string_view image);

// load_from_file's body: reads the file and decodes it; any failure ends as
// fail("Should work: " + rendering).
Model load_model_file(std::string_view path);

// Replaces "tokenizer" in the working directory with the model (written to a
// temporary file in the same folder, synced, then renamed over it, so a
// failed save leaves the previous file intact), then prints the banner on the
// console. Failures end as fail("Should work: " + rendering).
void save_model(const Model& model);

}  // namespace velkor
