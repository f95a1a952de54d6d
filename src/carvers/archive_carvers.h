#pragma once
// Tracers for archives and drawings: they claim the sectors of ZIP, RAR, cabinet and 7-Zip
// archives and of CorelDRAW drawings so that the documents are assembled around them. They
// write nothing, but for a ZIP archive that is a document package.

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

// Walks the ZIP records to the end record, long members claimed unread; an archive that is a
// document package of a chosen family is checked and saved as the package carver saves it.
void carveZip(CarveContext& ctx, std::int64_t startOffset);

// The same walk for a drawing in ZIP form, which must reach its end record.
void carveCdrZip(CarveContext& ctx, std::int64_t startOffset);

}  // namespace vellumark
