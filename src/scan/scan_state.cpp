#include "scan/scan_state.h"

namespace vellumark {

platform::Expected<bool> openScanSource(ScanState& state, const std::string& path) {
  state.readWindow.invalidate();
  auto result = openSource(state, path);
  state.readWindow.invalidate();
  return result;
}

void openScanSource(ScanState& state, std::unique_ptr<SectorSource> source, std::string name) {
  state.readWindow.invalidate();
  openSource(state, std::move(source), std::move(name));
}

void closeScanSource(ScanState& state) {
  closeSource(state);
  state.readWindow.invalidate();
}

}  // namespace vellumark
