#pragma once
// What the rescue asks of its output folder before it writes there, and of the terminal it
// reports on.

#include <optional>
#include <string>
#include <vector>

#include "platform/os_error.h"

namespace vellumark::platform {

// Creates and removes a small probe file in folder: true when files can be made there now.
// The probe's name starts with ".vellumark-probe" and is unique; nothing else is touched.
[[nodiscard]] Expected<bool> probeWritable(const std::string& folder);

// The names in a folder (without "." and ".."), in no particular order.
[[nodiscard]] Expected<std::vector<std::string>> folderEntries(const std::string& folder);

// Columns of the terminal stderr writes to; nullopt when stderr is no terminal.
[[nodiscard]] std::optional<int> stderrColumns();

}  // namespace vellumark::platform
