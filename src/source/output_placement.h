#pragma once
// Whether an output folder could be on the source being read: the one check made before
// anything is written, by the rescue, the backup and the desktop program alike.

#include <string>

#include "platform/storage_topology.h"
#include "source/sector_source.h"

namespace vellumark {

// Resolves what stores `folder` and compares it with the open source named `sourceName`.
// A caller refuses to write there unless the placement is Elsewhere; the detail says what
// was found and names the source.
[[nodiscard]] platform::PlacementCheck checkOutputFolder(const SectorSource& source, const std::string& sourceName,
                                                         const std::string& folder);

}  // namespace vellumark
