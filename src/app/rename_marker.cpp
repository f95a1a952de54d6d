#include "app/rename_marker.h"

#include "platform/output_file.h"

namespace vellumark {

bool renamingSwitchedOff(const std::string& folder) {
  return platform::inspectPath(folder + std::string(kNoRenameMarkerFileName)).exists;
}

}  // namespace vellumark
