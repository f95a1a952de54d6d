#pragma once
// Tracing carver for PNG pictures. It writes nothing: it claims the picture's sectors so
// that documents step over them.

#include <cstdint>

#include "carvers/carve_context.h"

namespace vellumark {

// Walks the chunks of the PNG at startOffset to its IEND chunk, checking each chunk's
// CRC-32, and claims its sectors. Any chunk whose type is four ASCII letters is accepted.
void carvePng(CarveContext& ctx, std::int64_t startOffset);

}  // namespace vellumark
