#include "platform/elevation.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string_view>

extern char** environ;

namespace vellumark::platform {

namespace {

std::vector<char*> argvOf(const std::vector<std::string>& command) {
  std::vector<char*> argv;
  argv.reserve(command.size() + 1);
  for (const std::string& word : command) argv.push_back(const_cast<char*>(word.c_str()));
  argv.push_back(nullptr);
  return argv;
}

bool isExecutableFile(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(path.c_str(), X_OK) == 0;
}

}  // namespace

bool isElevated() { return ::geteuid() == 0; }

std::string findPkexec() {
  const char* path = std::getenv("PATH");
  std::string_view rest = path != nullptr && *path != '\0' ? path : "/usr/local/bin:/usr/bin:/bin";
  while (!rest.empty()) {
    const std::size_t colon = rest.find(':');
    const std::string_view dir = rest.substr(0, colon);
    rest = colon == std::string_view::npos ? std::string_view{} : rest.substr(colon + 1);
    if (dir.empty()) continue;
    std::string candidate = std::string(dir) + "/pkexec";
    if (isExecutableFile(candidate)) return candidate;
  }
  return {};
}

std::vector<std::string> pkexecCommand(const std::string& pkexec, const std::string& program,
                                       const std::vector<std::string>& args, bool policyInstalled) {
  if (policyInstalled) {
    std::vector<std::string> command{pkexec, program};
    command.insert(command.end(), args.begin(), args.end());
    return command;
  }
  std::vector<std::string> command{pkexec, "env"};
  for (const char* name : {"DISPLAY", "XAUTHORITY", "WAYLAND_DISPLAY", "XDG_RUNTIME_DIR", "QT_QPA_PLATFORM",
                           "VELLUMARK_LANG", "LANG", "LC_ALL", "LC_MESSAGES"}) {
    const char* value = std::getenv(name);
    if (value != nullptr && *value != '\0') command.push_back(std::string(name) + "=" + value);
  }
  command.push_back(program);
  command.insert(command.end(), args.begin(), args.end());
  return command;
}

bool polkitPolicyInstalled(const std::string& program, const std::string& policyFile) {
  constexpr std::string_view kBin = "/bin/";
  const std::size_t slash = program.find_last_of('/');
  if (slash == std::string::npos || slash + 1 < kBin.size()) return false;
  const std::string folder = program.substr(0, slash + 1);
  if (folder.compare(folder.size() - kBin.size(), kBin.size(), kBin) != 0) return false;
  const std::string prefix = folder.substr(0, folder.size() - kBin.size());
  struct stat st {};
  return ::stat((prefix + "/share/polkit-1/actions/" + policyFile).c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

OsError replaceProcess(const std::vector<std::string>& command) {
  if (command.empty()) return OsError{EINVAL, "start a program"};
  std::vector<char*> argv = argvOf(command);
  ::execv(argv[0], argv.data());
  return OsError{errno, "start " + command[0]};
}

Expected<bool> startDetached(const std::vector<std::string>& command) {
  if (command.empty()) return OsError{EINVAL, "start a program"};
  std::vector<char*> argv = argvOf(command);
  // Fork twice so the opener is nobody's child to reap; the middle child is waited for here.
  const pid_t child = ::fork();
  if (child < 0) return OsError{errno, "start " + command[0]};
  if (child == 0) {
    if (::fork() != 0) ::_exit(0);
    ::setsid();
    const int null = ::open("/dev/null", O_RDWR | O_CLOEXEC);
    if (null >= 0) {
      ::dup2(null, STDIN_FILENO);
      ::dup2(null, STDOUT_FILENO);
    }
    ::execvp(argv[0], argv.data());
    ::_exit(127);
  }
  int status = 0;
  while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  return true;
}

Expected<std::string> programPath() {
  std::vector<char> path(4096);
  const ssize_t n = ::readlink("/proc/self/exe", path.data(), path.size() - 1);
  if (n < 0) return OsError{errno, "find the program's path"};
  return std::string(path.data(), static_cast<std::size_t>(n));
}

Expected<bool> openWithDesktop(const std::string& target) { return startDetached({"xdg-open", target}); }

}  // namespace vellumark::platform
