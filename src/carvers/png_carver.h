#pragma once
// Tracing carver for PNG pictures. It writes nothing: it claims the picture's sectors so
// that documents step over them.

#include <cstdint>

#include "carvers/carve_context.h"
#include "util/byte_reader.h"

namespace vellumark {

// Walks the chunks of the PNG at startOffset to its IEND chunk, checking each chunk's
// CRC-32, and claims its sectors. Any chunk whose type is four ASCII letters is accepted.
void carvePng(CarveContext& ctx, std::int64_t startOffset);

// The first pass's note of a PNG candidate: kNoteTurnedDown when its chunks fail within its
// first sector.
[[nodiscard]] std::uint32_t pngNote(Bytes firstSector);

}  // namespace vellumark
