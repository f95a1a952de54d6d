#pragma once
// The drive list of the main window (TMyDriveComboBox): volumes, then physical disks, each
// entry a text and the path it opens. What it lists comes from a DriveLister, so the
// engine's drive and disk enumeration can take the place of the placeholder here.

#include <QComboBox>

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

// Lists nothing: until the engine enumerates volumes and disks, sources are opened as
// image files (a block device can be chosen in the image dialog too).
class NoDrives final : public DriveLister {
 public:
  std::vector<DriveEntry> volumes() override { return {}; }
  std::vector<DriveEntry> physicalDisks() override { return {}; }
};

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
