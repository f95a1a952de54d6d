#include "gui/drive_list.h"

#include "platform/drive_list.h"

#include <QFile>
#include <QFileInfo>
#include <QLocale>
#include <QStyle>

namespace vellumark::gui {

namespace {

constexpr int kPathRole = Qt::UserRole;
constexpr int kKindRole = Qt::UserRole + 1;

QStyle::StandardPixmap iconFor(DriveKind kind) {
  switch (kind) {
    case DriveKind::Removable: return QStyle::SP_DriveFDIcon;
    case DriveKind::Network: return QStyle::SP_DriveNetIcon;
    case DriveKind::CdRom: return QStyle::SP_DriveCDIcon;
    case DriveKind::Fixed:
    case DriveKind::RamDisk: break;
  }
  return QStyle::SP_DriveHDIcon;
}

}  // namespace

std::vector<DriveEntry> partitionEntries(const QString& procPartitions, bool wholeDisks,
                                         const std::function<bool(const QString&)>& isWholeDisk) {
  std::vector<DriveEntry> entries;
  for (const QString& line : procPartitions.split('\n')) {
    // major minor #blocks name; the heading and blank lines do not parse.
    const QStringList f = line.simplified().split(' ');
    bool numeric = false;
    const qint64 kib = f.size() == 4 ? f[2].toLongLong(&numeric) : 0;
    if (!numeric || kib <= 1) continue;  // extended-partition stubs hold one block
    const QString& name = f[3];
    if (name.startsWith("loop") || name.startsWith("ram") || name.startsWith("zram")) continue;
    if (isWholeDisk(name) != wholeDisks) continue;
    const QString size = QLocale::c().formattedDataSize(kib * 1024, 2, QLocale::DataSizeTraditionalFormat);
    const std::string path = "/dev/" + name.toStdString();
    entries.push_back(DriveEntry{path + " (" + size.toStdString() + ")", path, DriveKind::Fixed});
  }
  return entries;
}

std::vector<DriveEntry> SystemDrives::volumes() {
  std::vector<DriveEntry> out;
  for (const platform::VolumeEntry& v : platform::listDrives().volumes) {
    std::string text = v.path;
    if (!v.label.empty()) text += " [" + v.label + "]";
    if (!v.mountPoint.empty()) text += " " + v.mountPoint;
    out.push_back({text, v.path, v.removable ? DriveKind::Removable : DriveKind::Fixed});
  }
  return out;
}

std::vector<DriveEntry> SystemDrives::physicalDisks() {
  std::vector<DriveEntry> out;
  for (const platform::DiskEntry& d : platform::listDrives().disks)
    out.push_back({d.text, d.path, d.removable ? DriveKind::Removable : DriveKind::Fixed});
  return out;
}

std::vector<DriveEntry> KernelPartitions::list(bool wholeDisks) {
  QFile file(QStringLiteral("/proc/partitions"));
  if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) return {};
  return partitionEntries(QString::fromLocal8Bit(file.readAll()), wholeDisks,
                          [](const QString& name) { return QFileInfo::exists("/sys/block/" + name); });
}

DriveComboBox::DriveComboBox(DriveLister& lister, QWidget* parent) : QComboBox(parent), lister_(lister) {
  buildList();
}

void DriveComboBox::add(const DriveEntry& entry) {
  addItem(style()->standardIcon(iconFor(entry.kind)), QString::fromStdString(entry.text));
  setItemData(count() - 1, QString::fromStdString(entry.path), kPathRole);
  setItemData(count() - 1, static_cast<int>(entry.kind), kKindRole);
}

void DriveComboBox::buildList() {
  clear();
  for (const DriveEntry& e : lister_.volumes()) add(e);
  if (count() > 0) setCurrentIndex(0);
}

void DriveComboBox::removeNetworkDrives() {
  for (int i = count() - 1; i >= 0; --i)
    if (itemData(i, kKindRole).toInt() == static_cast<int>(DriveKind::Network)) removeItem(i);
}

void DriveComboBox::addPhysicalDisks() {
  for (const DriveEntry& e : lister_.physicalDisks()) add(e);
  if (currentIndex() < 0 && count() > 0) setCurrentIndex(0);
}

std::string DriveComboBox::chosenPath() const {
  if (currentIndex() < 0) return {};
  return itemData(currentIndex(), kPathRole).toString().toStdString();
}

}  // namespace vellumark::gui
