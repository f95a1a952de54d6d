// vellumark-cli info SOURCE [--json] [--partition N]: what opening a source found, and the
// partitions of a disk with the file system detected in each.

#include <iostream>
#include <memory>
#include <string>

#include "cli/cli_support.h"
#include "cli/commands.h"
#include "source/disk_partitions.h"

namespace vellumark::cli {

namespace {

struct InfoOptions {
  std::string source;
  bool json = false;
  int partition = 0;
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
  DiskLayout layout;  // scheme None for a volume
};

[[nodiscard]] std::string_view schemeName(PartitionScheme scheme) {
  return scheme == PartitionScheme::Gpt ? "GPT" : scheme == PartitionScheme::Mbr ? "MBR" : "none";
}

[[nodiscard]] std::uint64_t lastSectorOf(const PartitionEntry& e) {
  return e.sectorCount == 0 ? e.firstSector : e.firstSector + e.sectorCount - 1;
}

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
  const PartitionTable& table = info.layout.table;
  if (table.scheme == PartitionScheme::None) return;
  std::cout << "Partition table:     " << schemeName(table.scheme) << " (" << table.sectorSize << "-byte sectors"
            << (table.backupHeaderUsed ? ", backup header" : "") << ")\n";
  for (const std::string& problem : table.problems) std::cout << "  warning: " << problem << "\n";
  for (const DiskPartition& p : info.layout.partitions) {
    const VolumeGeometry& v = p.volume;
    std::cout << "  " << p.entry.number << ": sectors " << p.entry.firstSector << "-" << lastSectorOf(p.entry) << ", "
              << partitionTypeName(p.entry, table.scheme) << (p.entry.name.empty() ? "" : " \"" + p.entry.name + "\"")
              << ", file system " << fsTypeName(v.fsType);
    if (p.recognised) std::cout << " (" << v.sectorsPerCluster << " sectors per cluster, cluster offset " << v.clusterOffset << ")";
    std::cout << "\n";
  }
}

void printPartitionsJson(const DiskLayout& layout) {
  const PartitionTable& table = layout.table;
  std::cout << ",\"partitionTable\":{\"scheme\":" << jsonString(schemeName(table.scheme))
            << ",\"sectorSize\":" << table.sectorSize << ",\"backupHeaderUsed\":" << (table.backupHeaderUsed ? "true" : "false")
            << ",\"problems\":[";
  for (std::size_t i = 0; i < table.problems.size(); ++i) std::cout << (i ? "," : "") << jsonString(table.problems[i]);
  std::cout << "],\"partitions\":[";
  for (std::size_t i = 0; i < layout.partitions.size(); ++i) {
    const DiskPartition& p = layout.partitions[i];
    std::cout << (i ? "," : "") << "{\"number\":" << p.entry.number << ",\"firstSector\":" << p.entry.firstSector
              << ",\"sectorCount\":" << p.entry.sectorCount << ",\"type\":" << jsonString(partitionTypeName(p.entry, table.scheme))
              << ",\"name\":" << jsonString(p.entry.name) << ",\"fileSystem\":" << jsonString(fsTypeName(p.volume.fsType))
              << ",\"recognised\":" << (p.recognised ? "true" : "false")
              << ",\"sectorsPerCluster\":" << p.volume.sectorsPerCluster << ",\"clusterOffset\":" << p.volume.clusterOffset << "}";
  }
  std::cout << "]}";
}

void printJson(const SourceInfo& info) {
  const VolumeGeometry& g = info.geometry;
  std::cout << "{\"source\":" << jsonString(info.source) << ",\"kind\":" << jsonString(info.kind)
            << ",\"sizeBytes\":" << info.sizeBytes << ",\"bytesPerSector\":" << g.bytesPerSector
            << ",\"lastSector\":" << g.lastSector << ",\"fileSystem\":" << jsonString(fsTypeName(g.fsType))
            << ",\"recognised\":" << (recognised(g) ? "true" : "false")
            << ",\"sectorsPerCluster\":" << g.sectorsPerCluster << ",\"clusterOffset\":" << g.clusterOffset;
  if (info.layout.table.scheme != PartitionScheme::None) printPartitionsJson(info.layout);
  std::cout << "}\n";
}

int runInfo(const InfoOptions& opt) {
  ScanState state;
  if (!openForCommand(state, opt.source, opt.partition)) return kExitFailure;
  SourceInfo info{opt.source, kindName(state.sourceHandle->kind()), state.sourceHandle->sizeBytes(),
                  state.detectedGeometry, {}};
  if (opt.partition > 0) info.kind = "partition";
  // A recognised volume's boot sector is not a partition table, whatever its bytes say.
  if (state.detectedGeometry.fsType == kFsUnknown) info.layout = examineDisk(*state.sourceHandle);
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
  addPartitionOption(*cmd, opt->partition);
  cmd->callback([opt, &exitCode] { exitCode = runInfo(*opt); });
}

}  // namespace vellumark::cli
