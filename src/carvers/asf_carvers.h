#pragma once
// Trace ASF files (Windows Media audio and video) from their Header Object, so that their
// sectors stay out of the documents. They write nothing.

#include <cstdint>

#include "carvers/carve_context.h"

namespace vellumark {

// For files whose File Properties Object follows the Header Object directly: claims the
// file size recorded there, reading nothing after the first sector.
void carveAsfDeclared(CarveContext& ctx, std::int64_t startOffset);

// For files whose header holds its objects in another order: walks the top-level objects
// up to the end of the Data Object and the index objects after it.
void carveAsfObjects(CarveContext& ctx, std::int64_t startOffset);

}  // namespace vellumark
