#pragma once
// Tracing carver for TIFF files and the camera raw formats built on TIFF. It writes nothing:
// it claims the picture's sectors so that documents step over them.

#include <cstdint>

#include "carvers/carve_context.h"

namespace vellumark {

// Walks every directory of the TIFF-structured file at startOffset and claims up to the
// farthest byte that a directory, strip, tile or embedded block reaches. A directory chain
// that loops, or more than a thousand directories, fails the carve.
void carveTiff(CarveContext& ctx, std::int64_t startOffset);

}  // namespace vellumark
