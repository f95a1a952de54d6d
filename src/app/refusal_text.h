#pragma once
// The UI text entry that tells the user why a scan or a backup was refused.

#include "driver/scan_refusal.h"

namespace vellumark {

// 0 for ScanRefusal::None and for refusals the table has no text for.
[[nodiscard]] int refusalTextEntry(ScanRefusal refusal);

// The same for a refused backup, whose range and same-volume messages are its own.
[[nodiscard]] int backupRefusalTextEntry(ScanRefusal refusal);

}  // namespace vellumark
