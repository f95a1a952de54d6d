#pragma once
// Traces a PDF file so that its sectors stay out of the documents; writes nothing.

#include <cstdint>

#include "carvers/carve_context.h"

namespace vellumark {

// Claims the sectors of the PDF at startOffset, up to the line breaks after its last
// "%%EOF" (the one not followed by an incremental update).
void carvePdf(CarveContext& ctx, std::int64_t startOffset);

}  // namespace vellumark
