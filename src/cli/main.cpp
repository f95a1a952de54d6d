// vellumark-cli: the engine from the command line.

#include <iostream>
#include <string>
#include <string_view>

#include <CLI/CLI.hpp>

#include "app/version.h"
#include "cli/commands.h"
#include "platform/malloc_arenas.h"

namespace {

constexpr const char* kExitStatusHelp =
    "Exit status: 0 when the command did its work; 1 when it could not (a source that cannot be read, an output "
    "folder that cannot be written, documents that could not be saved); 2 for a usage error (an unknown command "
    "or option, a value that is not valid); 130 after Ctrl-C.";

// The command line as typed, each argument quoted for a POSIX shell where it needs it.
std::string commandLineOf(int argc, char** argv) {
  std::string line;
  for (int i = 0; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (i > 0) line += ' ';
    const bool plain = !arg.empty() && arg.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"
                                                             "0123456789-_./=:,+@%") == std::string_view::npos;
    if (plain) {
      line += arg;
      continue;
    }
    line += '\'';
    for (char c : arg) {
      if (c == '\'') line += "'\\''";
      else line += c;
    }
    line += '\'';
  }
  return line;
}

std::string versionText() { return "vellumark-cli " + std::string(vellumark::programVersion()); }

// The first word that is no option, when it names no command: CLI11 would only say that it
// was not expected.
bool unknownCommand(const CLI::App& app, int argc, char** argv) {
  if (argc < 2) return false;
  const std::string_view first = argv[1];
  if (first.empty() || first[0] == '-') return false;
  for (const CLI::App* sub : app.get_subcommands([](const CLI::App*) { return true; }))
    if (sub->check_name(std::string(first))) return false;
  std::string names;
  for (const CLI::App* sub : app.get_subcommands([](const CLI::App*) { return true; }))
    names += (names.empty() ? "" : ", ") + sub->get_name();
  std::cerr << "vellumark-cli: unknown command '" << first << "': the commands are " << names
            << " (vellumark-cli --help says more)\n";
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  vellumark::platform::shareOneHeap();
  CLI::App app{"Vellumark: rescue lost Word, Excel and PowerPoint documents from disks and images.\n"
               "Sources are opened read-only; nothing is ever written to them.",
               "vellumark-cli"};
  app.require_subcommand(1);
  app.set_version_flag("--version", versionText(), "Print the version and exit");
  app.footer(kExitStatusHelp);
  int exitCode = vellumark::cli::kExitOk;
  vellumark::cli::addInfoCommand(app, exitCode);
  vellumark::cli::addViewCommand(app, exitCode);
  vellumark::cli::addClassifyCommand(app, exitCode);
  vellumark::cli::addMapCommand(app, exitCode);
  vellumark::cli::addRescueCommand(app, exitCode, commandLineOf(argc, argv));
  vellumark::cli::addBackupCommand(app, exitCode);
  vellumark::cli::addDevicesCommand(app, exitCode);
  app.add_subcommand("version", "Print the version")->callback([] { std::cout << versionText() << "\n"; });
  if (unknownCommand(app, argc, argv)) return vellumark::cli::kExitBadInput;
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    if (e.get_exit_code() == 0) return app.exit(e);  // --help, --version
    // One line: what is wrong and where to read more.
    std::string where = "vellumark-cli";
    for (const CLI::App* sub : app.get_subcommands()) where += " " + sub->get_name();
    std::cerr << "vellumark-cli: " << e.what() << " (" << where << " --help says more)\n";
    return vellumark::cli::kExitBadInput;
  }
  return exitCode;
}
