#include "cli/commands.h"

namespace vellumark::cli {

void addRescueCommand(CLI::App& app, int& exitCode) {
  auto* cmd = app.add_subcommand("rescue", "(not yet available)");
  cmd->callback([&exitCode] { exitCode = kExitFailure; });
}

}  // namespace vellumark::cli
