#pragma once
// The folder that holds the running program, where its settings files live.

#include <string>
#include <string_view>

#include "platform/os_error.h"

namespace vellumark::platform {

// The executable's folder, ending in '/'.
[[nodiscard]] Expected<std::string> programFolder();

// The folder of the program's own files (the branding file, the thumbnail rules): the
// executable's folder when it holds markerFile; for an installed program (PREFIX/bin/) that
// does not, PREFIX/share/vellumark/ when that holds it; otherwise the executable's folder.
[[nodiscard]] Expected<std::string> programDataFolder(std::string_view markerFile);

}  // namespace vellumark::platform
