#pragma once
// Recovers Word, Excel and PowerPoint documents stored as OLE2 compound files (".DOC",
// ".XLS", ".PPT", and compound files wrapping an encrypted OOXML document).

#include <cstddef>
#include <cstdint>

#include "carvers/carve_context.h"

namespace vellumark {

// Traces the compound file at startOffset through its own allocation table, claims its
// sectors, and writes it into the output folder when its family is selected.
void carveOle2(CarveContext& ctx, std::int64_t startOffset);

// Called after a Word document (".DOC") has been written, with its index in
// state.recoveredFiles; the place where a recovered Word document may be renamed after its
// content. Does nothing yet.
void afterWordDocumentSaved(CarveContext& ctx, std::size_t recoveredIndex);

}  // namespace vellumark
