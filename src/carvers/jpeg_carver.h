#pragma once
// Tracing carver for JPEG pictures: traced marker by marker to the end-of-image marker, then
// decoded. It writes nothing: it claims the picture's sectors so that documents step over
// them.

#include <cstdint>

#include "carvers/carve_context.h"
#include "util/byte_reader.h"

namespace vellumark {

// Traces the JPEG at startOffset to its end-of-image marker and decodes it. A picture that
// decodes keeps its sectors unless the thumbnail rules call it a thumbnail (then they are
// released for the file that embeds it); one that does not decode keeps them too.
void carveJpeg(CarveContext& ctx, std::int64_t startOffset);

// The first pass's note of a JPEG candidate: kNoteTurnedDown when its markers fail within
// its first sector.
[[nodiscard]] std::uint32_t jpegNote(Bytes firstSector);

}  // namespace vellumark
