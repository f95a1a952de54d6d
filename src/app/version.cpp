#include "app/version.h"

#ifndef VELLUMARK_VERSION
#define VELLUMARK_VERSION "unknown"
#endif

namespace vellumark {

std::string_view programVersion() { return VELLUMARK_VERSION; }

}  // namespace vellumark
