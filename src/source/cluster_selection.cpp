#include "source/cluster_selection.h"

#include <array>
#include <cctype>
#include <span>
#include <string>

#include "source/volume_detection.h"

namespace vellumark {

namespace {

// One row of a default cluster-size table: it applies when the volume is smaller than
// limitUnits 512-byte units.
struct ClusterRow {
  std::int64_t limitUnits;
  std::uint32_t clusterBytes;
};

constexpr std::array<ClusterRow, 8> kFatRows{{
    {65'535, 512},
    {131'071, 1'024},
    {262'143, 2'048},
    {524'287, 4'096},
    {1'048'575, 8'192},
    {2'097'151, 16'384},
    {4'194'303, 32'768},
    {8'388'607, 65'536},
}};

constexpr std::array<ClusterRow, 7> kFat32Rows{{
    {131'071, 512},
    {262'143, 1'024},
    {524'287, 2'048},
    {16'777'215, 4'096},
    {33'554'431, 8'192},
    {67'108'863, 16'384},
    {4'294'967'295, 32'768},
}};

constexpr std::array<ClusterRow, 5> kNtfsRows{{
    {34'359'738'367, 4'096},
    {68'719'476'735, 8'192},
    {137'438'953'471, 16'384},
    {274'877'906'943, 32'768},
    {549'755'813'887, 65'536},
}};

constexpr std::array<ClusterRow, 3> kExfatRows{{
    {524'287, 4'096},
    {67'108'863, 32'768},
    {549'755'813'887, 131'072},
}};

std::span<const ClusterRow> tableFor(int fsItem) {
  switch (fsItem) {
    case kFsItemFat: return kFatRows;
    case kFsItemFat32: return kFat32Rows;
    case kFsItemNtfs: return kNtfsRows;
    case kFsItemExfat: return kExfatRows;
    default: return {};
  }
}

std::uint32_t sectorSize(const VolumeGeometry& g) { return g.bytesPerSector == 0 ? 512u : g.bytesPerSector; }

// A cluster smaller than a sector (0.5K clusters on 4096-byte sectors) still means one
// sector per cluster: the scan needs at least one.
std::uint32_t atLeastOne(std::uint64_t sectors) {
  if (sectors == 0) return 1;
  return sectors > 0xFFFF'FFFFu ? 0xFFFF'FFFFu : static_cast<std::uint32_t>(sectors);
}

std::uint32_t sectorsForItem(int clusterItem, const VolumeGeometry& g) {
  if (clusterItem < 0 || clusterItem >= kClusterItems) clusterItem = 0;
  return atLeastOne((512ull << clusterItem) / sectorSize(g));
}

// The list item showing a cluster of the geometry's size; "0.5K" for a size it cannot show.
int clusterItemFor(const VolumeGeometry& g) { return syncClusterSizeList(g.sectorsPerCluster, sectorSize(g)); }

void syncClusterList(SelectionLists& lists, const VolumeGeometry& g) { lists.clusterItem = clusterItemFor(g); }

std::string lowered(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

}  // namespace

int fsListItemFor(std::uint8_t fsType) {
  switch (fsType) {
    case kFsFat12:
    case kFsFat16: return kFsItemFat;
    case kFsFat32: return kFsItemFat32;
    case kFsNtfs: return kFsItemNtfs;
    case kFsExfat: return kFsItemExfat;
    case kFsHfs: return kFsItemHfs;
    case kFsHfsPlus: return kFsItemHfsPlus;
    default: return kFsItemOther;
  }
}

SelectionLists listsAfterOpening(const VolumeGeometry& geometry) {
  SelectionLists lists;
  const bool recognised = geometry.fsType != kFsUnknown;
  lists.reason = recognised ? kReasonDeleted : kReasonRepartitioned;
  lists.typeAndClusterEnabled = !recognised;
  lists.fsItem = fsListItemFor(geometry.fsType);
  syncClusterList(lists, geometry);
  return lists;
}

std::optional<std::uint32_t> defaultSectorsPerCluster(int fsItem, const VolumeGeometry& geometry) {
  const std::int64_t lastSector = geometry.lastSector < 0 ? 0 : geometry.lastSector;
  // The last sector's number (not the count) times the sector size, as the tables expect.
  const std::int64_t volumeBytes = lastSector * static_cast<std::int64_t>(sectorSize(geometry));
  for (const ClusterRow& row : tableFor(fsItem)) {
    if (row.limitUnits * 512 > volumeBytes) return atLeastOne(row.clusterBytes / sectorSize(geometry));
  }
  return std::nullopt;
}

int onReasonChosen(SelectionLists& lists, const VolumeGeometry& detected, VolumeGeometry& geometry) {
  if (lists.reason == kReasonDeleted) {
    if (detected.fsType == kFsUnknown) {
      lists.reason = kReasonFormatted;
      [[maybe_unused]] int again = onReasonChosen(lists, detected, geometry);
      return 70;
    }
    geometry = detected;
    lists.typeAndClusterEnabled = false;
  } else {
    lists.typeAndClusterEnabled = true;
  }
  lists.fsItem = fsListItemFor(geometry.fsType);
  onTypeChosen(lists, geometry);
  return 0;
}

void onTypeChosen(SelectionLists& lists, VolumeGeometry& geometry) {
  geometry.clusterOffset = -1;
  switch (lists.fsItem) {
    case kFsItemFat:
    case kFsItemFat32:
    case kFsItemNtfs:
    case kFsItemExfat:
      if (auto spc = defaultSectorsPerCluster(lists.fsItem, geometry)) geometry.sectorsPerCluster = *spc;
      break;
    case kFsItemHfs: {
      // At most 65,536 allocation blocks, counted in sectors whatever their size.
      const std::int64_t lastSector = geometry.lastSector < 0 ? 0 : geometry.lastSector;
      geometry.sectorsPerCluster = atLeastOne(static_cast<std::uint64_t>((lastSector + 65535) / 65536));
      break;
    }
    case kFsItemHfsPlus:
      geometry.sectorsPerCluster = atLeastOne(4096 / sectorSize(geometry));
      break;
    default:
      geometry.sectorsPerCluster = 1;
      break;
  }
  if (geometry.sectorsPerCluster == 0) geometry.sectorsPerCluster = 1;
  syncClusterList(lists, geometry);
}

void onClusterSizeChosen(SelectionLists& lists, VolumeGeometry& geometry, bool byUser) {
  if (byUser) geometry.clusterOffset = -1;
  geometry.sectorsPerCluster = sectorsForItem(lists.clusterItem, geometry);
  syncClusterList(lists, geometry);
}

void reapplyClusterSize(const SelectionLists& lists, VolumeGeometry& geometry) {
  const std::uint64_t clusterBytes = static_cast<std::uint64_t>(geometry.sectorsPerCluster) * sectorSize(geometry);
  const bool listCanShow = clusterBytes == (512ull << clusterItemFor(geometry));
  if (geometry.sectorsPerCluster != 0 && !listCanShow) return;
  geometry.sectorsPerCluster = sectorsForItem(lists.clusterItem, geometry);
}

std::optional<int> fsListItemByName(std::string_view name) {
  const std::string n = lowered(name);
  if (n == "fat") return kFsItemFat;
  if (n == "fat32") return kFsItemFat32;
  if (n == "ntfs") return kFsItemNtfs;
  if (n == "exfat") return kFsItemExfat;
  if (n == "hfs") return kFsItemHfs;
  if (n == "hfs+" || n == "hfsx" || n == "hfs+/hfsx") return kFsItemHfsPlus;
  if (n == "other") return kFsItemOther;
  return std::nullopt;
}

std::optional<int> reasonByName(std::string_view name) {
  const std::string n = lowered(name);
  if (n == "deleted") return kReasonDeleted;
  if (n == "formatted") return kReasonFormatted;
  if (n == "repartitioned") return kReasonRepartitioned;
  return std::nullopt;
}

std::optional<int> clusterItemByName(std::string_view name) {
  static constexpr std::array<std::string_view, kClusterItems> kNames{"0.5k", "1k", "2k", "4k", "8k",
                                                                      "16k", "32k", "64k", "128k"};
  const std::string n = lowered(name);
  for (int i = 0; i < kClusterItems; ++i) {
    if (n == kNames[static_cast<std::size_t>(i)]) return i;
  }
  return std::nullopt;
}

}  // namespace vellumark
