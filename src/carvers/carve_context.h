#pragma once
// What a carver is handed: the scan state (source, used-sector map, geometry, scan range,
// counters) and the front end to report to.

#include <cstdint>

#include "scan/front_end.h"
#include "scan/scan_state.h"

namespace vellumark {

struct CarveContext {
  ScanState& state;
  FrontEnd& frontEnd;
};

// A carver traces (and for documents, writes) the file that begins at a byte offset.
using CarverFn = void (*)(CarveContext& ctx, std::int64_t startOffset);

}  // namespace vellumark
