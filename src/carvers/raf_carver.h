#pragma once
// Tracing carver for Fujifilm RAF camera raw files. It writes nothing: it claims the file's
// sectors so that documents step over them.

#include <cstdint>

#include "carvers/carve_context.h"

namespace vellumark {

// Claims the RAF file at startOffset up to the end of its raw data blocks, as its header
// gives them, reading only the first sector.
void carveRaf(CarveContext& ctx, std::int64_t startOffset);

}  // namespace vellumark
