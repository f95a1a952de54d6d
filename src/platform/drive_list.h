#pragma once
// The sources a user can pick: volumes (partitions and other block devices holding a file
// system) and physical disks, read from sysfs, the udev database and the mount table.
// Network and pseudo file systems have no block device and so are never listed.

#include <cstdint>
#include <string>
#include <vector>

namespace vellumark::platform {

// Where the system describes its devices. Tests point these at a fake tree.
struct DeviceView {
  std::string sys = "/sys";
  std::string mountInfo = "/proc/self/mountinfo";
  std::string udevData = "/run/udev/data";  // "b MAJ:MIN" files with E:ID_FS_TYPE=..., E:ID_FS_LABEL=...
};

struct VolumeEntry {
  std::string path;        // "/dev/sda1"
  std::string name;        // "sda1"
  std::uint64_t sizeBytes = 0;
  std::string fsType;      // as udev or the mount table names it ("vfat", "ntfs", ...); empty when unknown
  std::string label;       // empty when it has none or it is unknown
  std::string mountPoint;  // empty when not mounted
  bool removable = false;  // on a disk with removable media
};

struct DiskEntry {
  std::string path;        // "/dev/sdb"
  std::string name;        // "sdb"
  int number = 0;          // position in the disk list, from 0
  bool removable = false;  // "RM" rather than "HD"
  std::string vendor;      // trimmed; empty when the device reports none
  std::string product;
  std::uint64_t sizeBytes = 0;
  std::uint32_t logicalSectorSize = 512;
  std::string text;        // "HD0 ATA Samsung SSD 860 (931.51GB)": kind, number, model, size
};

struct DriveLists {
  std::vector<VolumeEntry> volumes;
  std::vector<DiskEntry> disks;
};

// Lists the volumes and disks present now. Disks without a medium (size 0), RAM disks,
// unused loop devices and device-mapper devices are no physical disks; a loop device over
// an image file is listed as a disk. Whole disks and mapped devices holding a file system
// directly are volumes too.
[[nodiscard]] DriveLists listDrives(const DeviceView& view = {});

// Size text of the disk list: hundredths of a MiB below 10.24 MiB worth ("MB"), else of a
// GiB ("GB"), rounded half up, with the point before the last two digits: 931.51GB, .49GB.
[[nodiscard]] std::string formatDiskSize(std::uint64_t bytes);

// " VENDOR PRODUCT", " PRODUCT" without a vendor, empty without a product.
[[nodiscard]] std::string diskModelText(const std::string& vendor, const std::string& product);

}  // namespace vellumark::platform
