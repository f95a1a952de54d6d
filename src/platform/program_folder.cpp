#include "platform/program_folder.h"

#include <sys/stat.h>
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

Expected<std::string> programDataFolder(std::string_view markerFile) {
  auto folder = programFolder();
  if (!folder) return folder;
  auto holds = [&](const std::string& dir) {
    struct stat st {};
    return ::stat((dir + std::string(markerFile)).c_str(), &st) == 0 && S_ISREG(st.st_mode);
  };
  if (holds(*folder)) return folder;
  constexpr std::string_view kBin = "/bin/";
  const std::string& exe = *folder;
  if (exe.size() > kBin.size() && exe.compare(exe.size() - kBin.size(), kBin.size(), kBin) == 0) {
    std::string data = exe.substr(0, exe.size() - kBin.size()) + "/share/vellumark/";
    if (holds(data)) return data;
  }
  return folder;
}

}  // namespace vellumark::platform
