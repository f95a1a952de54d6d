#include "platform/os_error.h"

#include <cerrno>
#include <cstring>

namespace vellumark::platform {

std::string OsError::message() const {
  std::string text = context;
  if (code != 0) {
    if (!text.empty()) text += ": ";
    text += std::strerror(code);
    if (code == EACCES || code == EPERM) text += " (permission denied: run as root)";
  }
  return text;
}

}  // namespace vellumark::platform
