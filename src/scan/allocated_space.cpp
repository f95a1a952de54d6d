#include "scan/allocated_space.h"

namespace vellumark {

AllocatedSpaceResult markAllocatedSpace(ScanState&, FrontEnd&) { return {}; }

}  // namespace vellumark
