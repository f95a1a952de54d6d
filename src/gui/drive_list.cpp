#include "gui/drive_list.h"

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

DriveComboBox::DriveComboBox(DriveLister& lister, QWidget* parent) : QComboBox(parent), lister_(lister) {
  buildList();
}

void DriveComboBox::add(const DriveEntry& entry) {
  addItem(style()->standardIcon(iconFor(entry.kind)), QString::fromStdString(entry.text).toUpper());
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
