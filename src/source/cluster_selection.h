#pragma once
// The user's account of how the files were lost, and of the file system and cluster size
// the volume had: three lists whose choices rewrite the working geometry. The detected
// geometry is never changed, so choosing "deleted" again restores it.

#include <cstdint>
#include <optional>
#include <string_view>

#include "source/volume_geometry.h"

namespace vellumark {

// Reason list.
enum LossReason : int { kReasonDeleted = 0, kReasonFormatted = 1, kReasonRepartitioned = 2 };

// File-system type list.
enum FsListItem : int {
  kFsItemFat = 0,
  kFsItemFat32 = 1,
  kFsItemNtfs = 2,
  kFsItemExfat = 3,
  kFsItemHfs = 4,
  kFsItemHfsPlus = 5,
  kFsItemOther = 6,
};

// Cluster-size list: item i stands for 512 << i bytes, "0.5K" (0) to "128K" (8).
inline constexpr int kClusterItems = 9;

// What the three lists show: their selected items and whether the type and cluster-size
// lists accept input (they do only for the reasons "formatted" and "repartitioned").
struct SelectionLists {
  int reason = kReasonRepartitioned;
  int fsItem = kFsItemOther;
  int clusterItem = 0;
  bool typeAndClusterEnabled = true;
};

// Type-list item for a file-system code: FAT12 and FAT16 both show as "FAT".
[[nodiscard]] int fsListItemFor(std::uint8_t fsType);

// The lists as opening a source leaves them: reason "deleted" with the two other lists
// locked for a recognised file system, reason "repartitioned" with them open otherwise.
[[nodiscard]] SelectionLists listsAfterOpening(const VolumeGeometry& geometry);

// Handler of the reason list (lists.reason holds the new choice). Returns the text entry
// of a refusal, or 0. "Deleted" needs a recognised file system: otherwise entry 70 is
// returned and the list moves to "formatted" (which is then applied).
[[nodiscard]] int onReasonChosen(SelectionLists& lists, const VolumeGeometry& detected, VolumeGeometry& geometry);

// Handler of the type list (lists.fsItem holds the new choice): sets the default cluster
// size of that file system for the volume's size and forgets the cluster offset. fsType
// itself keeps its value.
void onTypeChosen(SelectionLists& lists, VolumeGeometry& geometry);

// Handler of the cluster-size list (lists.clusterItem holds the choice). A user's choice
// also forgets the cluster offset.
void onClusterSizeChosen(SelectionLists& lists, VolumeGeometry& geometry, bool byUser);

// Re-applies the cluster-size list before a scan, keeping the cluster offset. A cluster
// size the list cannot show (an HFS block of 3 sectors, say) is kept as it is.
void reapplyClusterSize(const SelectionLists& lists, VolumeGeometry& geometry);

// Default sectors per cluster for a FAT, FAT32, NTFS or exFAT volume of the geometry's
// size, from the usual format tables; empty when the volume is too big for the table.
[[nodiscard]] std::optional<std::uint32_t> defaultSectorsPerCluster(int fsItem, const VolumeGeometry& geometry);

// Command-line names: "fat", "fat32", "ntfs", "exfat", "hfs", "hfs+", "other" and
// "deleted", "formatted", "repartitioned"; "0.5K" .. "128K" (case-insensitive K).
[[nodiscard]] std::optional<int> fsListItemByName(std::string_view name);
[[nodiscard]] std::optional<int> reasonByName(std::string_view name);
[[nodiscard]] std::optional<int> clusterItemByName(std::string_view name);

}  // namespace vellumark
