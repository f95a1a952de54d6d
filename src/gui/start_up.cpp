#include "gui/start_up.h"

#include <QApplication>
#include <QMessageBox>

#include <iostream>
#include <string_view>

#include "app/text_table.h"
#include "gui/main_window.h"
#include "gui/ui_support.h"
#include "platform/elevation.h"
#include "platform/locale_code_page.h"
#include "platform/malloc_arenas.h"
#include "platform/program_folder.h"

namespace vellumark::gui {

namespace {

constexpr const char* kPolkitPolicyFile = "org.vellumark.Vellumark.policy";

// Raw volumes and disks need root: relaunch through pkexec, which asks for the password on
// the desktop. Returns only when no relaunch took place.
void relaunchElevatedIfNeeded(const std::vector<std::string>& args) {
  for (const std::string& a : args)
    if (a == kNoElevateOption) return;
  if (platform::isElevated()) return;
  const std::string pkexec = platform::findPkexec();
  if (pkexec.empty()) return;
  auto program = platform::programPath();
  if (!program) return;
  const bool policy = platform::polkitPolicyInstalled(*program, kPolkitPolicyFile);
  const platform::OsError failed = platform::replaceProcess(platform::pkexecCommand(pkexec, *program, args, policy));
  std::cerr << "vellumark: " << failed.message() << "; going on without administrator rights\n";
}

}  // namespace

std::optional<BrandingTexts> loadBrandingOrExplain(const std::string& folder) {
  const BrandingResult result = loadBranding(folder + std::string(kBrandingFileName));
  if (result.status == BrandingStatus::Loaded) return result.texts;
  if (result.status == BrandingStatus::NotCompressed)
    QMessageBox::critical(nullptr, text(17), QString::fromStdString("Decompression error: " + result.error));
  else
    QMessageBox::information(nullptr, QString(), text(34));
  return std::nullopt;
}

int runDesktopProgram(int argc, char** argv) {
  platform::shareOneHeap();
  std::vector<std::string> args(argv + 1, argv + argc);
  relaunchElevatedIfNeeded(args);

  selectTextSet(textSetForCodePage(platform::oemCodePage()));
  QApplication app(argc, argv);
  QApplication::setApplicationName(QStringLiteral("vellumark"));
  QApplication::setDesktopFileName(QStringLiteral("org.vellumark.Vellumark"));

  auto folder = platform::programDataFolder(kBrandingFileName);
  if (!folder) {
    std::cerr << "vellumark: " << folder.error().message() << "\n";
    return 1;
  }
  SystemDrives drives;
  MainWindow window(*folder, BrandingTexts{}, drives);
  window.setCaptions();
  QStringList warnings;
  for (const std::string& w : window.settingsWarnings()) warnings << QString::fromStdString(w);
  auto branding = loadBrandingOrExplain(*folder);
  if (!branding) return 1;
  window.setBranding(std::move(*branding));
  window.show();
  // A thumbnail settings file that could not be read or parsed: said once, the rest is used.
  if (!warnings.isEmpty()) QMessageBox::warning(&window, text(17), warnings.join('\n'));
  return QApplication::exec();
}

}  // namespace vellumark::gui
