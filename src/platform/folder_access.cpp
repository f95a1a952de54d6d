#include "platform/folder_access.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <memory>

namespace vellumark::platform {

Expected<bool> probeWritable(const std::string& folder) {
  std::string path = folder;
  if (path.empty() || path.back() != '/') path += '/';
  path += ".vellumark-probe-XXXXXX";
  const int fd = ::mkstemp(path.data());
  if (fd < 0) return OsError{errno, "create a file in " + folder};
  ::close(fd);
  if (::unlink(path.c_str()) != 0) return OsError{errno, "remove " + path};
  return true;
}

Expected<std::vector<std::string>> folderEntries(const std::string& folder) {
  std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(folder.c_str()), ::closedir);
  if (!dir) return OsError{errno, "list " + folder};
  std::vector<std::string> names;
  while (const dirent* entry = ::readdir(dir.get())) {
    const std::string name = entry->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  return names;
}

std::optional<int> stderrColumns() {
  if (::isatty(STDERR_FILENO) != 1) return std::nullopt;
  winsize size{};
  if (::ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
  // A terminal that does not say: what the shell says, else the classic width.
  if (const char* columns = std::getenv("COLUMNS")) {
    const int n = std::atoi(columns);
    if (n > 0) return n;
  }
  return 80;
}

}  // namespace vellumark::platform
