// The one place where the program's parts are wired together for a scan: the sector
// classifier, the carver table and the allocation walkers. The driver itself knows none of
// them, so tests can run it over their own.

#include "carvers/carver_registry.h"
#include "driver/scan_driver.h"
#include "scan/allocated_space.h"
#include "scan/sector_classifier.h"

namespace vellumark {

ScanHooks defaultScanHooks() { return ScanHooks{classifySector, mainPassCarver, finalSweepCarver, markAllocatedSpace, confirmedPassCarver, firstLookAhead, candidateNote,
                                           wantedByLooks}; }

}  // namespace vellumark
