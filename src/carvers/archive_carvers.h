#pragma once
// Tracers for archives and drawings: they claim the sectors of RAR, cabinet and 7-Zip
// archives and of CorelDRAW drawings in RIFF form so that the documents are assembled
// around them. They write nothing.

#include <cstdint>

#include "carvers/carve_context.h"

namespace vellumark {

// Walks the block headers to the end-of-archive block; long block bodies are claimed unread.
void carveRar(CarveContext& ctx, std::int64_t startOffset);

// Claims the length the cabinet header gives (reads nothing more).
void carveCab(CarveContext& ctx, std::int64_t startOffset);

// Claims the length the signature header gives: up to the end of the next header.
void carve7z(CarveContext& ctx, std::int64_t startOffset);

// Claims the length of the drawing's RIFF chunk.
void carveCdrRiff(CarveContext& ctx, std::int64_t startOffset);

}  // namespace vellumark
