#pragma once
// Small helpers the command-line commands share.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include <CLI/CLI.hpp>

#include "scan/scan_state.h"
#include "source/sector_number.h"

namespace vellumark::cli {

// Opens a source for a command; on failure prints one line on stderr and returns false.
// A partition number above 0 narrows the source to that partition of its partition table.
[[nodiscard]] bool openForCommand(ScanState& state, const std::string& path, int partition = 0);

// Adds --progress=auto|json|none.
void addProgressOption(CLI::App& command, std::string& choice);

// Adds the --partition option of the commands that read a volume.
void addPartitionOption(CLI::App& command, int& partition);

using vellumark::parseSectorNumber;

// "FIRST-LAST" (inclusive). Empty optional when malformed.
struct SectorRange { std::int64_t first = 0; std::int64_t last = -1; };
[[nodiscard]] std::optional<SectorRange> parseSectorRange(std::string_view text);
// A --range option: the whole source (0..lastSector) when it was not given.
[[nodiscard]] std::optional<SectorRange> rangeOption(std::string_view text, std::int64_t lastSector);

// A JSON string literal (with quotes) of text through the JSON library; bytes that are no
// valid UTF-8 are taken as Latin-1, so the result is always valid UTF-8.
[[nodiscard]] std::string jsonString(std::string_view text);

// True when stderr is a terminal (progress lines are shown only then).
[[nodiscard]] bool stderrIsTerminal();

}  // namespace vellumark::cli
