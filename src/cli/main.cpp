// vellumark-cli: the engine from the command line.

#include <CLI/CLI.hpp>

#include "cli/commands.h"

int main(int argc, char** argv) {
  CLI::App app{"Vellumark: rescue lost Word, Excel and PowerPoint documents from disks and images.\n"
               "Sources are opened read-only; nothing is ever written to them.",
               "vellumark-cli"};
  app.require_subcommand(1);
  int exitCode = vellumark::cli::kExitOk;
  vellumark::cli::addInfoCommand(app, exitCode);
  vellumark::cli::addViewCommand(app, exitCode);
  vellumark::cli::addClassifyCommand(app, exitCode);
  vellumark::cli::addMapCommand(app, exitCode);
  vellumark::cli::addRescueCommand(app, exitCode);
  vellumark::cli::addBackupCommand(app, exitCode);
  vellumark::cli::addDevicesCommand(app, exitCode);
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    int code = app.exit(e);
    return code == 0 ? 0 : vellumark::cli::kExitBadInput;
  }
  return exitCode;
}
