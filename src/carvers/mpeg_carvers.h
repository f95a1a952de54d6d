#pragma once
// Trace MPEG streams that begin at the start of their clock: MPEG-1 program streams pack by
// pack and packet by packet, and transport streams of 192-byte time-stamped units, so that
// their sectors stay out of the documents. They write nothing. A stream has no length
// field: it ends where its units stop, or where a unit that starts on a cluster boundary
// does not continue the stream's clock (another stream, or other data, begins there).

#include <cstdint>

#include "carvers/carve_context.h"

namespace vellumark {

void carveMpegProgram(CarveContext& ctx, std::int64_t startOffset);
void carveMpegTransport(CarveContext& ctx, std::int64_t startOffset);

}  // namespace vellumark
