#pragma once
// Small helpers the command-line commands share.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "scan/scan_state.h"
#include "source/sector_number.h"

namespace vellumark::cli {

// Opens a source for a command; on failure prints one line on stderr and returns false.
[[nodiscard]] bool openForCommand(ScanState& state, const std::string& path);

using vellumark::parseSectorNumber;

// "FIRST-LAST" (inclusive). Empty optional when malformed.
struct SectorRange { std::int64_t first = 0; std::int64_t last = -1; };
[[nodiscard]] std::optional<SectorRange> parseSectorRange(std::string_view text);

// Writes a JSON string literal (with quotes), escaping what JSON requires.
[[nodiscard]] std::string jsonString(std::string_view text);

// True when stderr is a terminal (progress lines are shown only then).
[[nodiscard]] bool stderrIsTerminal();

}  // namespace vellumark::cli
