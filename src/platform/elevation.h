#pragma once
// Raw volumes and disks are readable only by root. The desktop program, started by a normal
// user, restarts itself through pkexec (polkit's graphical prompt) with the display it was
// started on, and the first instance ends.

#include <string>
#include <vector>

#include "platform/os_error.h"

namespace vellumark::platform {

[[nodiscard]] bool isElevated();

// The full path of pkexec on PATH; empty when there is none.
[[nodiscard]] std::string findPkexec();

// The command that relaunches program with args through pkexec. pkexec clears the
// environment: an installed program's polkit action keeps the display (allow_gui) and pkexec
// runs it directly, so the action applies; otherwise "env" passes on the display variables
// that are set (DISPLAY, XAUTHORITY, WAYLAND_DISPLAY, XDG_RUNTIME_DIR, QT_QPA_PLATFORM,
// VELLUMARK_LANG and the locale).
[[nodiscard]] std::vector<std::string> pkexecCommand(const std::string& pkexec, const std::string& program,
                                                     const std::vector<std::string>& args, bool policyInstalled);

// True when a polkit action file named policyFile is installed beside the program
// (PREFIX/share/polkit-1/actions/ for PREFIX/bin/program).
[[nodiscard]] bool polkitPolicyInstalled(const std::string& program, const std::string& policyFile);

// Replaces this process by the command (pkexec insists that its parent stays alive, so it
// is run in place rather than beside). Returns only when that failed.
[[nodiscard]] OsError replaceProcess(const std::vector<std::string>& command);

// Starts the command as a separate process and does not wait for it (the desktop's opener).
[[nodiscard]] Expected<bool> startDetached(const std::vector<std::string>& command);

// Asks the desktop to open a folder or an address (xdg-open), without waiting.
[[nodiscard]] Expected<bool> openWithDesktop(const std::string& target);

// The running program's full path.
[[nodiscard]] Expected<std::string> programPath();

}  // namespace vellumark::platform
