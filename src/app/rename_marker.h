#pragma once
// The marker file that switches off the naming of recovered documents after their content.

#include <string>
#include <string_view>

namespace vellumark {

inline constexpr std::string_view kNoRenameMarkerFileName = "NoReName.DOC";

// True when the marker file is in folder (which ends in '/').
[[nodiscard]] bool renamingSwitchedOff(const std::string& folder);

}  // namespace vellumark
