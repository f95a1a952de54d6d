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
  }
  return 0;
}

}  // namespace vellumark
