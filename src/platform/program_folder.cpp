#include "platform/program_folder.h"

#include <unistd.h>

#include <cerrno>
#include <vector>

namespace vellumark::platform {

Expected<std::string> programFolder() {
  std::vector<char> path(4096);
  const ssize_t n = ::readlink("/proc/self/exe", path.data(), path.size());
  if (n < 0) return OsError{errno, "find the program's folder"};
  if (static_cast<std::size_t>(n) >= path.size()) return OsError{ENAMETOOLONG, "find the program's folder"};
  std::string exe(path.data(), static_cast<std::size_t>(n));
  const std::size_t slash = exe.find_last_of('/');
  if (slash == std::string::npos) return OsError{ENOENT, "find the program's folder"};
  return exe.substr(0, slash + 1);
}

}  // namespace vellumark::platform
