#pragma once
// The fragment search that repairs a run: the file is taken as it lies (the next free
// cluster, or the next one at the stride it has been following), and only where its check
// refuses every such continuation is a jump searched for, at one of the clusters the check
// blames, to a free cluster nearby first, then behind, then further ahead. A jump must carry
// the file past the place where the run before it failed, or it is not followed; the number
// of jumps is bounded. Wrong clusters that a check accepts for a while (a deflate block
// decodes any bits until its end code) therefore cost a few tries, not a search of the whole
// window at every level, and a search that cannot succeed runs out of jumps early.

#include <optional>

#include "carvers/gap_search.h"

namespace vellumark {

[[nodiscard]] std::optional<FragmentAssembly> repairFragments(const UsedSectorMap& claims, CarveReader& reader,
                                                              const GapSearchGeometry& geometry, std::int64_t startSector,
                                                              FragmentCheck& check, const GapSearchLimits& limits,
                                                              GapSearchWork& work);

}  // namespace vellumark
