#pragma once
// The UI text entry that tells the user why a scan was refused.

#include "driver/scan_refusal.h"

namespace vellumark {

// 0 for ScanRefusal::None.
[[nodiscard]] int refusalTextEntry(ScanRefusal refusal);

}  // namespace vellumark
