// vellumark-cli devices [--json]: the volumes and physical disks that can be opened.

#include <iostream>
#include <memory>

#include "cli/cli_support.h"
#include "cli/commands.h"
#include "platform/drive_list.h"

namespace vellumark::cli {

namespace {

struct DevicesOptions {
  bool json = false;
  std::string sys = "/sys";
  std::string mountInfo = "/proc/self/mountinfo";
  std::string udevData = "/run/udev/data";
};

void printText(const platform::DriveLists& lists) {
  std::cout << "Volumes:\n";
  for (const platform::VolumeEntry& v : lists.volumes) {
    std::cout << "  " << v.path << "  [" << v.label << "]  " << (v.fsType.empty() ? "?" : v.fsType) << "  "
              << platform::formatDiskSize(v.sizeBytes);
    if (!v.mountPoint.empty()) std::cout << "  on " << v.mountPoint;
    std::cout << "\n";
  }
  std::cout << "Disks:\n";
  for (const platform::DiskEntry& d : lists.disks) std::cout << "  " << d.path << "  " << d.text << "\n";
}

void printJson(const platform::DriveLists& lists) {
  std::cout << "{\"volumes\":[";
  for (std::size_t i = 0; i < lists.volumes.size(); ++i) {
    const platform::VolumeEntry& v = lists.volumes[i];
    std::cout << (i ? "," : "") << "{\"path\":" << jsonString(v.path) << ",\"label\":" << jsonString(v.label)
              << ",\"fileSystem\":" << jsonString(v.fsType) << ",\"sizeBytes\":" << v.sizeBytes
              << ",\"mountPoint\":" << jsonString(v.mountPoint) << ",\"removable\":" << (v.removable ? "true" : "false")
              << "}";
  }
  std::cout << "],\"disks\":[";
  for (std::size_t i = 0; i < lists.disks.size(); ++i) {
    const platform::DiskEntry& d = lists.disks[i];
    std::cout << (i ? "," : "") << "{\"path\":" << jsonString(d.path) << ",\"text\":" << jsonString(d.text)
              << ",\"kind\":" << (d.removable ? "\"RM\"" : "\"HD\"") << ",\"vendor\":" << jsonString(d.vendor)
              << ",\"product\":" << jsonString(d.product) << ",\"sizeBytes\":" << d.sizeBytes
              << ",\"size\":" << jsonString(platform::formatDiskSize(d.sizeBytes))
              << ",\"sectorSize\":" << d.logicalSectorSize << "}";
  }
  std::cout << "]}\n";
}

int runDevices(const DevicesOptions& opt) {
  const platform::DriveLists lists = platform::listDrives({opt.sys, opt.mountInfo, opt.udevData});
  if (opt.json)
    printJson(lists);
  else
    printText(lists);
  return std::cout.good() ? kExitOk : kExitFailure;
}

}  // namespace

void addDevicesCommand(CLI::App& app, int& exitCode) {
  auto opt = std::make_shared<DevicesOptions>();
  auto* cmd = app.add_subcommand("devices", "List the volumes and physical disks that can be rescued from");
  cmd->add_flag("--json", opt->json, "Print one JSON object instead of text");
  // Where the system's tables are read from; for tests and for looking at another system's copy.
  cmd->add_option("--sys", opt->sys, "sysfs root")->capture_default_str()->group("");
  cmd->add_option("--mountinfo", opt->mountInfo, "mount table")->capture_default_str()->group("");
  cmd->add_option("--udev-data", opt->udevData, "udev database folder")->capture_default_str()->group("");
  cmd->callback([opt, &exitCode] { exitCode = runDevices(*opt); });
}

}  // namespace vellumark::cli
