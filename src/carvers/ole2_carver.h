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

// Before the ordinary pass: claims and writes the compound file at startOffset only when it
// is a whole document of a selected family, found cluster by cluster among the free
// clusters nearby (written between other files' clusters, cut by junk, in pieces out of
// order, or simply in one piece) and confirmed by its own structures. Anything else is
// released untouched, for the ordinary pass.
void carveOle2Confirmed(CarveContext& ctx, std::int64_t startOffset);

// Called after a document (".DOC", ".XLS", ".PPT") has been written from `document`, with
// its index among the recovered files: hands what the document says of itself (a Word
// document's first line of text, the others' title; author and last-saved time) to the
// document sink, which names the file after it and dates it.
void afterDocumentSaved(CarveContext& ctx, std::size_t recoveredIndex, Bytes document, bool word);

}  // namespace vellumark
