#pragma once
// Recovers Word, Excel and PowerPoint documents in the OOXML package format (".DOCX",
// ".XLSX", ".PPTX": ZIP archives whose parts live under "word/", "xl/" or "ppt/").

#include <cstdint>
#include <initializer_list>
#include <string_view>

#include "carvers/carve_context.h"
#include "scan/type_codes.h"

namespace vellumark {

class Carve;
namespace zip {
struct Archive;
enum class WalkStop;
}

// Walks the ZIP records of the package at startOffset up to the end of its end record and
// comment, claims its sectors, and writes it (cut at the exact end) into the output folder
// when its central directory names it a document of a selected family and every entry
// checks out. Takes any ZIP (whatever its first entry): one that is no document is traced
// and claimed only.
void carveOoxml(CarveContext& ctx, std::int64_t startOffset);

// The first pass's note of a package (or any ZIP) candidate: where its first record ends,
// when its header alone says so, for the walks' first look; and whether the search for its
// clusters would refuse its first cluster. 0 for neither.
[[nodiscard]] std::uint32_t ooxmlNote(Bytes firstSector);

// Before the ordinary pass: claims the package at startOffset only when it is a whole
// document of a selected family (every entry inflates to its CRC-32), assembled by the
// stepping rule or, where that fails, found cluster by cluster among the free clusters
// nearby (the package was written between other files' clusters or cut by junk). Anything
// else is released untouched, for the ordinary pass.
void carveOoxmlConfirmed(CarveContext& ctx, std::int64_t startOffset);

// The carve-memory tag of the walks that look for whole packages before the ordinary pass:
// their limits differ from the ordinary walks', so what they learn is kept apart.
inline constexpr std::uint8_t kConfirmedWalkTag = 0x80 | kTypeOoxml;

// Turns the candidate at startOffset down, with that stop's reason, when the walk for whole
// packages stopped from there with one of `stops` on the bytes alone (no read failed, no
// memory ran out), and its start sector is still free and no sector has been claimed since:
// a later walk of the same records, with limits at least as wide, comes to the same stop.
// False (nothing reported) otherwise.
[[nodiscard]] bool turnedDownByConfirmedWalk(CarveContext& ctx, std::int64_t startOffset,
                                             std::initializer_list<zip::WalkStop> stops);

// The extension of a walked archive that is a document package of a selected family: from
// the first central-directory name in a known part folder whose family is selected; "" when
// there is none.
[[nodiscard]] std::string_view packageExtension(const zip::Archive& archive, std::uint32_t typeFlags);

// For any carver that has walked a whole ZIP (held from its first byte) and accepted it:
// writes it as a document when it is a package of a selected family, checking every entry
// first; a package that fails the check is counted (and kept, if asked) as damaged.
void savePackage(Carve& carve, const zip::Archive& archive);

}  // namespace vellumark
