#pragma once
// Tracing carver for Windows bitmaps. It writes nothing: it claims the picture's sectors so
// that documents step over them.

#include <cstdint>

#include "carvers/carve_context.h"

namespace vellumark {

// Claims the sectors of the bitmap at startOffset up to its declared size, reading only its
// first sector. A declared size out of bounds claims the first sector (and its cluster)
// only; a bitmap cut short by the end of the range keeps what it claimed.
void carveBmp(CarveContext& ctx, std::int64_t startOffset);

}  // namespace vellumark
