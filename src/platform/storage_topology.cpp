#include "platform/storage_topology.h"

#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <vector>

namespace vellumark::platform {

namespace {

std::string sysfsDir(std::uint64_t device) {
  return "/sys/dev/block/" + std::to_string(major(device)) + ":" + std::to_string(minor(device));
}

// "MAJ:MIN" as written in sysfs "dev" files and in the mount table.
bool parseDeviceNumber(const std::string& text, std::uint64_t& out) {
  unsigned maj = 0;
  unsigned min = 0;
  char colon = 0;
  std::istringstream in(text);
  if (!(in >> maj >> colon >> min) || colon != ':') return false;
  out = makedev(maj, min);
  return true;
}

bool readDeviceFile(const std::filesystem::path& file, std::uint64_t& out) {
  std::ifstream in(file);
  std::string text;
  return in && std::getline(in, text) && parseDeviceNumber(text, out);
}

// Partitions of a disk: the subdirectories of its sysfs directory that hold a "partition"
// file, each with its own "dev".
void addPartitions(std::uint64_t disk, std::set<std::uint64_t>& out) {
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(sysfsDir(disk), ec)) {
    std::error_code ignored;
    if (!entry.is_directory(ignored) || !std::filesystem::exists(entry.path() / "partition", ignored)) continue;
    std::uint64_t dev = 0;
    if (readDeviceFile(entry.path() / "dev", dev)) out.insert(dev);
  }
}

// Devices built on top of `device` (dm, md), transitively.
void addHolders(std::uint64_t device, std::set<std::uint64_t>& out, int depth) {
  if (depth > 16) return;
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(sysfsDir(device) + "/holders", ec)) {
    std::uint64_t dev = 0;
    if (!readDeviceFile(entry.path() / "dev", dev) || out.count(dev) != 0) continue;
    out.insert(dev);
    addHolders(dev, out, depth + 1);
  }
}

// The block device named as the source of the mount whose device number is `dev`.
bool mountSourceDevice(std::uint64_t dev, std::uint64_t& out) {
  std::ifstream in("/proc/self/mountinfo");
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    std::string id, parent, number;
    if (!(fields >> id >> parent >> number)) continue;
    std::uint64_t mounted = 0;
    if (!parseDeviceNumber(number, mounted) || mounted != dev) continue;
    // After the optional fields comes "-", then the file-system type and the source.
    auto dash = line.find(" - ");
    if (dash == std::string::npos) continue;
    std::istringstream tail(line.substr(dash + 3));
    std::string type, source;
    if (!(tail >> type >> source) || source.empty() || source[0] != '/') continue;
    struct stat st {};
    if (::stat(source.c_str(), &st) == 0 && S_ISBLK(st.st_mode)) {
      out = st.st_rdev;
      return true;
    }
  }
  return false;
}

}  // namespace

bool isDirectory(const std::string& path) {
  struct stat st {};
  return !path.empty() && ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

Expected<std::set<std::uint64_t>> folderDevices(const std::string& folder) {
  struct stat st {};
  if (::stat(folder.c_str(), &st) != 0) return OsError{errno, "stat " + folder};
  std::set<std::uint64_t> devices{static_cast<std::uint64_t>(st.st_dev)};
  std::uint64_t source = 0;
  if (mountSourceDevice(st.st_dev, source)) devices.insert(source);
  return devices;
}

std::set<std::uint64_t> devicesOn(std::uint64_t device, bool wholeDisk) {
  std::set<std::uint64_t> devices{device};
  if (wholeDisk) addPartitions(device, devices);
  std::vector<std::uint64_t> roots(devices.begin(), devices.end());
  for (std::uint64_t d : roots) addHolders(d, devices, 0);
  return devices;
}

Expected<bool> folderIsOnDevice(const std::string& folder, std::uint64_t device, bool wholeDisk) {
  auto folderDevs = folderDevices(folder);
  if (!folderDevs) return folderDevs.error();
  const std::set<std::uint64_t> onSource = devicesOn(device, wholeDisk);
  for (std::uint64_t d : *folderDevs) {
    if (onSource.count(d) != 0) return true;
  }
  return false;
}

}  // namespace vellumark::platform
