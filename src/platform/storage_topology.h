#pragma once
// Which block devices hold a folder, and which lie on a source device: so that recovered
// files are never written onto the device they are being rescued from.

#include <cstdint>
#include <set>
#include <string>

#include "platform/os_error.h"

namespace vellumark::platform {

// True when path names an existing directory (following links).
[[nodiscard]] bool isDirectory(const std::string& path);

// Device numbers (st_rdev form) a folder's file system lives on: its st_dev and, when the
// mount table names a block device for that file system (btrfs and other file systems
// report an anonymous st_dev), that device too.
[[nodiscard]] Expected<std::set<std::uint64_t>> folderDevices(const std::string& folder);

// Device numbers whose contents live on the block device `device`: the device itself, for a
// whole disk its partitions, and everything stacked on any of these (device-mapper, LVM,
// software RAID), following sysfs "holders".
[[nodiscard]] std::set<std::uint64_t> devicesOn(std::uint64_t device, bool wholeDisk);

// True when writing into folder would write onto the block device `device` (a volume, or
// with wholeDisk a disk and every partition of it). An error means the answer is unknown.
[[nodiscard]] Expected<bool> folderIsOnDevice(const std::string& folder, std::uint64_t device, bool wholeDisk);

}  // namespace vellumark::platform
