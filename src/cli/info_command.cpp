// vellumark-cli info SOURCE [--json]: what opening a source found.

#include <iostream>
#include <memory>
#include <string>

#include "cli/cli_support.h"
#include "cli/commands.h"

namespace vellumark::cli {

namespace {

struct InfoOptions {
  std::string source;
  bool json = false;
};

[[nodiscard]] std::string_view kindName(SourceKind kind) {
  switch (kind) {
    case SourceKind::Volume: return "volume";
    case SourceKind::WholeDisk: return "whole disk";
    case SourceKind::ImageFile: break;
  }
  return "image file";
}

struct SourceInfo {
  std::string source;
  std::string_view kind;
  std::uint64_t sizeBytes = 0;
  VolumeGeometry geometry;
};

[[nodiscard]] bool recognised(const VolumeGeometry& g) { return g.fsType != kFsUnknown; }

void printText(const SourceInfo& info) {
  const VolumeGeometry& g = info.geometry;
  std::cout << "Source:              " << info.source << "\n"
            << "Kind:                " << info.kind << "\n"
            << "Size:                " << info.sizeBytes << " bytes\n"
            << "Sector size:         " << g.bytesPerSector << " bytes\n"
            << "Last sector:         " << g.lastSector << "\n"
            << "File system:         " << fsTypeName(g.fsType) << (recognised(g) ? "" : " (not recognised)") << "\n"
            << "Sectors per cluster: " << g.sectorsPerCluster << "\n"
            << "Cluster offset:      " << g.clusterOffset << (g.clusterOffset < 0 ? " (unknown)" : "") << "\n";
}

void printJson(const SourceInfo& info) {
  const VolumeGeometry& g = info.geometry;
  std::cout << "{\"source\":" << jsonString(info.source) << ",\"kind\":" << jsonString(info.kind)
            << ",\"sizeBytes\":" << info.sizeBytes << ",\"bytesPerSector\":" << g.bytesPerSector
            << ",\"lastSector\":" << g.lastSector << ",\"fileSystem\":" << jsonString(fsTypeName(g.fsType))
            << ",\"recognised\":" << (recognised(g) ? "true" : "false")
            << ",\"sectorsPerCluster\":" << g.sectorsPerCluster << ",\"clusterOffset\":" << g.clusterOffset << "}\n";
}

int runInfo(const InfoOptions& opt) {
  ScanState state;
  if (!openForCommand(state, opt.source)) return kExitFailure;
  SourceInfo info{opt.source, kindName(state.sourceHandle->kind()), state.sourceHandle->sizeBytes(),
                  state.detectedGeometry};
  if (opt.json)
    printJson(info);
  else
    printText(info);
  if (state.bootAreaUnreadable) {
    std::cerr << "vellumark-cli: the boot area of " << opt.source
              << " could not be read, so its file system is not known\n";
    return kExitFailure;
  }
  return std::cout.good() ? kExitOk : kExitFailure;
}

}  // namespace

void addInfoCommand(CLI::App& app, int& exitCode) {
  auto opt = std::make_shared<InfoOptions>();
  auto* cmd = app.add_subcommand("info", "Show the kind, size and detected file system of SOURCE");
  cmd->add_option("source", opt->source, "Block device or image file")->required();
  cmd->add_flag("--json", opt->json, "Print one JSON object instead of text");
  cmd->callback([opt, &exitCode] { exitCode = runInfo(*opt); });
}

}  // namespace vellumark::cli
