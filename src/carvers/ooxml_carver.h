#pragma once
// Recovers Word, Excel and PowerPoint documents in the OOXML package format (".DOCX",
// ".XLSX", ".PPTX": ZIP archives whose parts live under "word/", "xl/" or "ppt/").

#include <cstdint>

#include "carvers/carve_context.h"

namespace vellumark {

// Walks the ZIP records of the package at startOffset up to the end of its central
// directory, claims its sectors, and writes it (cut at the exact end) into the output
// folder when its family is selected.
void carveOoxml(CarveContext& ctx, std::int64_t startOffset);

}  // namespace vellumark
