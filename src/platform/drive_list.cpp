#include "platform/drive_list.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>

#include "platform/mount_table.h"

namespace vellumark::platform {

namespace fs = std::filesystem;

namespace {

std::string trimmed(std::string text) {
  const auto notBlank = [](unsigned char c) { return c != ' ' && c != '\t' && c != '\n' && c != '\r' && c != 0; };
  text.erase(text.begin(), std::find_if(text.begin(), text.end(), notBlank));
  text.erase(std::find_if(text.rbegin(), text.rend(), notBlank).base(), text.end());
  return text;
}

std::string fileText(const fs::path& file) { return trimmed(firstLine(file).value_or("")); }

std::uint64_t fileNumber(const fs::path& file) {
  const std::string text = fileText(file);
  std::uint64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return 0;
    value = value * 10 + static_cast<std::uint64_t>(c - '0');
  }
  return value;
}

bool pathExists(const fs::path& path) {
  std::error_code ec;
  return fs::exists(path, ec);
}

// What udev found on a device: its file-system type and label.
struct UdevFacts {
  std::string fsType;
  std::string label;
};

UdevFacts udevFacts(const DeviceView& view, std::uint64_t device) {
  UdevFacts facts;
  // Appending, not "b" + text: GCC 12's -Wrestrict misreads the inlined operator+ in Release.
  std::string entry = "b";
  entry += deviceNumberText(device);
  std::ifstream in(fs::path(view.udevData) / entry);
  for (std::string line; std::getline(in, line);) {
    if (line.rfind("E:ID_FS_TYPE=", 0) == 0) facts.fsType = line.substr(13);
    if (line.rfind("E:ID_FS_LABEL=", 0) == 0) facts.label = line.substr(14);
  }
  return facts;
}

// A block device as sysfs shows it.
struct BlockDevice {
  std::string name;
  fs::path dir;
  std::uint64_t device = 0;
  std::uint64_t sizeBytes = 0;  // sysfs counts 512-byte units whatever the sector size
};

std::optional<BlockDevice> blockDevice(const fs::path& dir) {
  BlockDevice b;
  b.name = dir.filename().string();
  b.dir = dir;
  if (!readDeviceFile(dir / "dev", b.device)) return std::nullopt;
  b.sizeBytes = fileNumber(dir / "size") * 512;
  return b;
}

// Kinds of whole device that are no physical disk.
bool isVirtualNonDisk(const BlockDevice& b) {
  const auto starts = [&b](const char* prefix) { return b.name.rfind(prefix, 0) == 0; };
  if (starts("ram") || starts("zram") || starts("dm-")) return true;
  if (starts("loop")) return !pathExists(b.dir / "loop" / "backing_file");
  return false;
}

class Lister {
 public:
  explicit Lister(const DeviceView& view) : view_(view), mounts_(readMounts(view.mountInfo)) {}

  void addVolume(const BlockDevice& b, bool removable, bool onlyWithFileSystem) {
    VolumeEntry v;
    v.path = "/dev/" + b.name;
    v.name = b.name;
    v.sizeBytes = b.sizeBytes;
    v.removable = removable;
    const UdevFacts facts = udevFacts(view_, b.device);
    v.fsType = facts.fsType;
    v.label = facts.label;
    if (const Mount* m = mountOf(b)) {
      v.mountPoint = m->point;
      if (v.fsType.empty()) v.fsType = m->type;
    }
    if (onlyWithFileSystem && v.fsType.empty()) return;
    lists.volumes.push_back(std::move(v));
  }

  void addDisk(const BlockDevice& b) {
    DiskEntry d;
    d.path = "/dev/" + b.name;
    d.name = b.name;
    d.number = static_cast<int>(lists.disks.size());
    d.removable = fileText(b.dir / "removable") == "1";
    d.vendor = fileText(b.dir / "device" / "vendor");
    d.product = fileText(b.dir / "device" / "model");
    d.sizeBytes = b.sizeBytes;
    const std::uint64_t sector = fileNumber(b.dir / "queue" / "logical_block_size");
    d.logicalSectorSize = sector == 0 ? 512u : static_cast<std::uint32_t>(sector);
    d.text = std::string(d.removable ? "RM" : "HD") + std::to_string(d.number) + diskModelText(d.vendor, d.product) +
             " (" + formatDiskSize(d.sizeBytes) + ")";
    lists.disks.push_back(d);

    bool partitioned = false;
    std::vector<BlockDevice> parts;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(b.dir, ec)) {
      if (!pathExists(entry.path() / "partition")) continue;
      if (auto part = blockDevice(entry.path())) parts.push_back(std::move(*part));
    }
    std::sort(parts.begin(), parts.end(), [](const BlockDevice& x, const BlockDevice& y) {
      return fileNumber(x.dir / "partition") < fileNumber(y.dir / "partition");
    });
    for (const BlockDevice& part : parts) {
      partitioned = true;
      addVolume(part, d.removable, false);
    }
    // A disk without partitions may hold a file system of its own (a "superfloppy").
    if (!partitioned) addVolume(b, d.removable, true);
  }

  DriveLists lists;

 private:
  const Mount* mountOf(const BlockDevice& b) const {
    const std::string path = "/dev/" + b.name;
    for (const Mount& m : mounts_) {
      if (isMemoryFileSystem(m.type) || isNetworkFileSystem(m.type)) continue;
      if (m.device == b.device || m.source == path) return &m;
    }
    return nullptr;
  }

  const DeviceView& view_;
  std::vector<Mount> mounts_;
};

}  // namespace

std::string formatDiskSize(std::uint64_t bytes) {
  // 128-bit intermediate: bytes × 100 overflows 64 bits above 184 PB.
  const unsigned __int128 wide = static_cast<unsigned __int128>(bytes) * 100 + 524288;
  std::uint64_t h = static_cast<std::uint64_t>(wide / 1048576);
  const char* unit = "MB";
  if (h >= 1024) {
    h = (h + 512) / 1024;
    unit = "GB";
  }
  std::string digits = std::to_string(h);
  if (digits.size() < 2) digits.insert(0, 2 - digits.size(), '0');
  return digits.substr(0, digits.size() - 2) + "." + digits.substr(digits.size() - 2) + unit;
}

std::string diskModelText(const std::string& vendor, const std::string& product) {
  if (product.empty()) return {};
  return vendor.empty() ? " " + product : " " + vendor + " " + product;
}

DriveLists listDrives(const DeviceView& view) {
  Lister lister(view);
  std::vector<BlockDevice> wholes;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(fs::path(view.sys) / "block", ec)) {
    if (auto b = blockDevice(entry.path())) wholes.push_back(std::move(*b));
  }
  std::sort(wholes.begin(), wholes.end(), [](const BlockDevice& a, const BlockDevice& b) {
    return a.name.size() != b.name.size() ? a.name.size() < b.name.size() : a.name < b.name;
  });
  for (const BlockDevice& b : wholes) {
    if (isVirtualNonDisk(b)) {
      // Mapped devices (LVM, LUKS) hold volumes; RAM disks and unused loop devices nothing.
      if (b.name.rfind("dm-", 0) == 0) lister.addVolume(b, false, true);
      continue;
    }
    if (b.sizeBytes == 0) continue;  // no medium (a card reader without a card)
    lister.addDisk(b);
  }
  return std::move(lister.lists);
}

}  // namespace vellumark::platform
