#pragma once
// Tracing carver for Sigma X3F camera raw files. It writes nothing: it claims the file's
// sectors so that documents step over them.

#include <cstdint>

#include "carvers/carve_context.h"

namespace vellumark {

// Reads the X3F file at startOffset sector by sector until a word points back at its
// "SECd" directory: that word is the file's last.
void carveX3f(CarveContext& ctx, std::int64_t startOffset);

}  // namespace vellumark
