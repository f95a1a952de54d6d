#include "app/refusal_text.h"

namespace vellumark {

int refusalTextEntry(ScanRefusal refusal) {
  switch (refusal) {
    case ScanRefusal::None: return 0;
    case ScanRefusal::NoSource: return 16;
    case ScanRefusal::NoFamilies: return 20;
    case ScanRefusal::NoOutputFolder: return 21;
    case ScanRefusal::OutputOnSource: return 22;
    case ScanRefusal::BadRange: return 23;
    case ScanRefusal::BadSectorSize: return 63;
    case ScanRefusal::NoMemory: return 88;
    case ScanRefusal::ImageIsSource: return 36;
    case ScanRefusal::NoSpace: return 40;
    case ScanRefusal::ImageNotAFile:
    case ScanRefusal::ImageExists: return 0;
  }
  return 0;
}

int backupRefusalTextEntry(ScanRefusal refusal) {
  switch (refusal) {
    case ScanRefusal::BadRange: return 35;
    case ScanRefusal::OutputOnSource: return 36;
    default: return refusalTextEntry(refusal);
  }
}

}  // namespace vellumark
