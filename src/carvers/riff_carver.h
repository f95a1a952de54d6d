#pragma once
// Traces RIFF files (AVI videos, WAVE sounds, animated cursors, CD-XA tracks) chunk by
// chunk, so that their sectors stay out of the documents. Writes nothing.

#include <cstdint>

#include "carvers/carve_context.h"

namespace vellumark {

void carveRiff(CarveContext& ctx, std::int64_t startOffset);

}  // namespace vellumark
