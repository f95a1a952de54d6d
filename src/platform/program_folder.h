#pragma once
// The folder that holds the running program, where its settings files live.

#include <string>

#include "platform/os_error.h"

namespace vellumark::platform {

// The executable's folder, ending in '/'.
[[nodiscard]] Expected<std::string> programFolder();

}  // namespace vellumark::platform
