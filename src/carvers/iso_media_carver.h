#pragma once
// Traces MP4, 3GP, QuickTime and other ISO base media files box by box, so that their
// sectors stay out of the documents. Writes nothing.

#include <cstdint>

#include "carvers/carve_context.h"

namespace vellumark {

void carveIsoMedia(CarveContext& ctx, std::int64_t startOffset);

}  // namespace vellumark
