#pragma once
// Each subcommand registers itself on the application and stores its exit status in
// `exitCode` when it runs.

#include <string>

#include <CLI/CLI.hpp>

namespace vellumark::cli {

// Exit statuses shared by the commands.
inline constexpr int kExitOk = 0;
inline constexpr int kExitFailure = 1;     // the source or output could not be used
inline constexpr int kExitBadInput = 2;    // a value given by the user is invalid
inline constexpr int kExitInterrupted = 130;

void addInfoCommand(CLI::App& app, int& exitCode);
void addViewCommand(CLI::App& app, int& exitCode);
void addClassifyCommand(CLI::App& app, int& exitCode);
void addMapCommand(CLI::App& app, int& exitCode);
// commandLine: the command as typed, for the rescue report.
void addRescueCommand(CLI::App& app, int& exitCode, const std::string& commandLine);
void addBackupCommand(CLI::App& app, int& exitCode);
void addDevicesCommand(CLI::App& app, int& exitCode);

}  // namespace vellumark::cli
