// Placeholder bodies until the real ones land; each file that implements one
// of these removes it from here.
#include "codec/decoder.h"
#include "codec/encoder.h"
#include "codec/pair_count.h"
#include "model/tokenizer_file.h"
#include "support/console.h"
#include "support/failure.h"
#include "support/io.h"
#include "train/trainer.h"
#include "unicode/grapheme.h"
#include "unicode/utf8.h"

namespace velkor {}  // namespace velkor
