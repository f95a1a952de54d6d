#pragma once
// The drive list of the main window (TMyDriveComboBox): volumes, then physical disks, each
// entry a text and the path it opens. What it lists comes from a DriveLister, so a fuller
// enumeration of drives and disks can take the place of the kernel's partition list here.

#include <QComboBox>

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace vellumark::gui {

enum class DriveKind { Removable, Fixed, Network, CdRom, RamDisk };

struct DriveEntry {
  std::string text;   // as shown, e.g. "C: [DATA]" or "HD0 ATA SAMSUNG (931.51GB)"
  std::string path;   // what opening it opens, e.g. "/dev/sda1"
  DriveKind kind = DriveKind::Fixed;
};

class DriveLister {
 public:
  virtual ~DriveLister() = default;
  [[nodiscard]] virtual std::vector<DriveEntry> volumes() = 0;
  [[nodiscard]] virtual std::vector<DriveEntry> physicalDisks() = 0;
};

// Lists nothing (sources are then opened as image files; a block device can be chosen in
// the image dialog too).
class NoDrives final : public DriveLister {
 public:
  std::vector<DriveEntry> volumes() override { return {}; }
  std::vector<DriveEntry> physicalDisks() override { return {}; }
};

// The block devices of /proc/partitions (loop, RAM and compressed-RAM devices left out):
// partitions as volumes, whole disks (those under /sys/block) as physical disks.
class KernelPartitions final : public DriveLister {
 public:
  std::vector<DriveEntry> volumes() override { return list(false); }
  std::vector<DriveEntry> physicalDisks() override { return list(true); }

 private:
  [[nodiscard]] static std::vector<DriveEntry> list(bool wholeDisks);
};

// The engine's drive and disk lists (sysfs, the udev database and the mount table): volumes
// with their labels, physical disks with their kind, model and size.
class SystemDrives final : public DriveLister {
 public:
  std::vector<DriveEntry> volumes() override;
  std::vector<DriveEntry> physicalDisks() override;
};

// The entries of a /proc/partitions text; isWholeDisk tells disks from partitions by name.
[[nodiscard]] std::vector<DriveEntry> partitionEntries(const QString& procPartitions, bool wholeDisks,
                                                       const std::function<bool(const QString&)>& isWholeDisk);

class DriveComboBox final : public QComboBox {
 public:
  explicit DriveComboBox(DriveLister& lister, QWidget* parent = nullptr);

  // Clears the list and fills it with the volumes; selects the first.
  void buildList();
  // Removes the network volumes, last to first.
  void removeNetworkDrives();
  void addPhysicalDisks();
  // The path of the chosen entry; empty when the list is empty.
  [[nodiscard]] std::string chosenPath() const;

 private:
  void add(const DriveEntry& entry);
  DriveLister& lister_;
};

}  // namespace vellumark::gui
