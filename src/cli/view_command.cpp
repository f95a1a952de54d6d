// vellumark-cli view SOURCE SECTOR: one sector as a hex dump.

#include <iostream>
#include <memory>
#include <vector>

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
  std::vector<std::uint8_t> buffer(state.geometry.bytesPerSector);
  if (!readSector(state, s, buffer)) {
    std::cerr << "vellumark-cli: sector " << s << " cannot be read\n";
    return kExitFailure;
  }
  for (const std::string& line : hexDumpLines(buffer)) std::cout << line << "\n";
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
