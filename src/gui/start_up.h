#pragma once
// Start-up of the desktop program: the relaunch through pkexec, the language, the windows,
// the branding file and the event loop.

#include <optional>
#include <string>
#include <vector>

#include "app/branding.h"

namespace vellumark::gui {

inline constexpr const char* kNoElevateOption = "--no-elevate";

// Reads the branding file in folder (ending in '/'). When it is unusable the person is told
// (entry 34, or zlib's complaint for a file that is not compressed data) and nothing is
// returned: the program must end.
[[nodiscard]] std::optional<BrandingTexts> loadBrandingOrExplain(const std::string& folder);

// The whole program; returns its exit status.
int runDesktopProgram(int argc, char** argv);

}  // namespace vellumark::gui
