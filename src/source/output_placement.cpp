#include "source/output_placement.h"

namespace vellumark {

platform::PlacementCheck checkOutputFolder(const SectorSource& source, const std::string& sourceName,
                                           const std::string& folder) {
  platform::SourceStorage storage;
  storage.name = sourceName;
  if (source.kind() == SourceKind::ImageFile) {
    storage.imageFile = true;
    storage.device = source.fileDevice();
    storage.inode = source.fileInode();
    if (storage.device == 0 && storage.inode == 0)
      return {platform::Placement::Elsewhere, "the source '" + sourceName + "' is not a file: nothing can be written onto it"};
  } else {
    storage.device = source.deviceId();
    storage.wholeDisk = source.kind() == SourceKind::WholeDisk;
    if (storage.device == 0)
      return {platform::Placement::Elsewhere, "the source '" + sourceName + "' is no device: nothing can be written onto it"};
  }
  return platform::checkOutputPlacement(folder, storage);
}

}  // namespace vellumark
