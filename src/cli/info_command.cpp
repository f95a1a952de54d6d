#include "cli/commands.h"

namespace vellumark::cli {

void addInfoCommand(CLI::App& app, int& exitCode) {
  auto* cmd = app.add_subcommand("info", "(not yet available)");
  cmd->callback([&exitCode] { exitCode = kExitFailure; });
}

}  // namespace vellumark::cli
