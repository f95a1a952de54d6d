#include "cli/commands.h"

namespace vellumark::cli {

void addMapCommand(CLI::App& app, int& exitCode) {
  auto* cmd = app.add_subcommand("map", "(not yet available)");
  cmd->callback([&exitCode] { exitCode = kExitFailure; });
}

}  // namespace vellumark::cli
