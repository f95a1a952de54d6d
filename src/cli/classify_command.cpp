#include "cli/commands.h"

namespace vellumark::cli {

void addClassifyCommand(CLI::App& app, int& exitCode) {
  auto* cmd = app.add_subcommand("classify", "(not yet available)");
  cmd->callback([&exitCode] { exitCode = kExitFailure; });
}

}  // namespace vellumark::cli
