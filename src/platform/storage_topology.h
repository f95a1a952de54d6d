#pragma once
// What really stores a folder, and whether that is the source being rescued: so that
// recovered files are never written onto the device or image they are rescued from.
//
// A folder's file system is followed down to what holds its bytes: a block device and,
// below it, the devices it is built on (device-mapper, RAID "slaves"), the disk of a
// partition, the backing file of a loop device, the file system that file lies on, and so
// on; a FUSE mount leads to the device, image file or folder its mount source names; an
// overlay to its upper directory. All of it is read from the mount table and sysfs.

#include <cstdint>
#include <functional>
#include <optional>
#include <set>
#include <string>

namespace vellumark::platform {

// True when path names an existing directory (following links).
[[nodiscard]] bool isDirectory(const std::string& path);

// What stat says about a path (following links).
struct PathFacts {
  enum class Type { Directory, Regular, Block, Other };
  Type type = Type::Other;
  std::uint64_t device = 0;  // st_dev: the file system it lies on
  std::uint64_t inode = 0;
  std::uint64_t rdev = 0;    // st_rdev of a block device
};

// Where the system describes its storage. Tests point these at fake trees.
struct StorageView {
  std::string mountInfo = "/proc/self/mountinfo";
  std::string sys = "/sys";
  // Replaces the real stat(2) when set; nullopt means "no such path".
  std::function<std::optional<PathFacts>(const std::string& path)> stat;
};

// What is being rescued.
struct SourceStorage {
  std::string name;             // as the user gave it; used in messages
  bool imageFile = false;
  std::uint64_t device = 0;     // a device's st_rdev; an image file's st_dev
  std::uint64_t inode = 0;      // an image file's st_ino
  bool wholeDisk = false;       // a device: the disk with all its partitions
};

enum class Placement {
  Elsewhere,  // writing into the folder cannot reach the source
  OnSource,   // it would write onto the source
  Unknown,    // what stores the folder could not be found out, and it might be the source
};

struct PlacementCheck {
  Placement placement = Placement::Unknown;
  std::string detail;  // what was checked, naming the folder's storage and the source
};

// Decides whether writing into `folder` could overwrite `source`. For a device, anything
// that cannot be resolved counts as Unknown; for an image file only what could be backed by
// a file (a loop device, a FUSE mount) does.
[[nodiscard]] PlacementCheck checkOutputPlacement(const std::string& folder, const SourceStorage& source,
                                                  const StorageView& view = {});

// Device numbers whose contents live on the block device `device`: the device itself, for a
// whole disk its partitions, and everything stacked on any of these (device-mapper, LVM,
// software RAID), following sysfs "holders".
[[nodiscard]] std::set<std::uint64_t> devicesOn(std::uint64_t device, bool wholeDisk, const StorageView& view = {});

}  // namespace vellumark::platform
