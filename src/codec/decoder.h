#pragma once

#include <span>
#include <string>

#include "model/model.h"

namespace velkor {

// The joined bytes of the ids, as valid UTF-8 (ill-formed parts become
// U+FFFD). An id without a lookup entry fails with "This should not happend".
std::string decode(const Model& model, std::span<const TokenId> ids);

}  // namespace velkor
