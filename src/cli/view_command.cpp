// vellumark-cli view SOURCE SECTOR: one sector as a hex dump.

#include <iostream>
#include <memory>

#include "app/text_table.h"
#include "cli/cli_support.h"
#include "cli/commands.h"
#include "viewer/hex_dump.h"

namespace vellumark::cli {

namespace {

struct ViewOptions {
  std::string source;
  std::string sector;
};

int runView(const ViewOptions& opt) {
  ScanState state;
  if (!openForCommand(state, opt.source)) return kExitFailure;
  std::int64_t s = parseSectorNumber(opt.sector);
  if (s < 0 || s > state.geometry.lastSector) {
    std::cerr << uiText(19) << "\n";
    return kExitBadInput;
  }
  if (!readSector(state, s, state.sectorBuffer)) {
    std::cerr << "vellumark-cli: sector " << s << " cannot be read\n";
    return kExitFailure;
  }
  state.viewSector = s;
  auto sector = std::span<const std::uint8_t>(state.sectorBuffer).first(state.geometry.bytesPerSector);
  for (const std::string& line : hexDumpLines(sector)) std::cout << line << "\n";
  return kExitOk;
}

}  // namespace

void addViewCommand(CLI::App& app, int& exitCode) {
  auto opt = std::make_shared<ViewOptions>();
  auto* cmd = app.add_subcommand("view", "Show one sector of SOURCE as a hex dump");
  cmd->add_option("source", opt->source, "Block device or image file")->required();
  cmd->add_option("sector", opt->sector, "Sector number (0 .. last sector)")->required();
  cmd->callback([opt, &exitCode] { exitCode = runView(*opt); });
}

}  // namespace vellumark::cli
