#include "carvers/recovered_output.h"

#include <chrono>
#include <thread>

#include "platform/output_file.h"

namespace vellumark {

std::string sectorLetters(int count, std::int64_t value) {
  if (count <= 0) return {};
  std::string letters(static_cast<std::size_t>(count), 'A');
  std::uint64_t rest = value > 0 ? static_cast<std::uint64_t>(value) : 0;
  for (std::size_t i = letters.size(); i-- > 0 && rest > 0;) {
    letters[i] = static_cast<char>('A' + rest % 26);
    rest /= 26;
  }
  return letters;
}

std::string recoveredFileName(const std::string& outputFolder, std::int64_t startOffset, std::string_view extension) {
  std::string name = outputFolder;
  if (!name.empty() && name.back() != '/') name += '/';
  name += "TEST_";
  name += sectorLetters(8, startOffset >> 9);
  name += extension;
  return name;
}

bool saveRecovered(CarveContext& ctx, const std::string& path, Bytes data) {
  for (;;) {
    auto written = platform::writeWholeFile(path, data);
    if (written) return true;
    switch (ctx.frontEnd.askSaveFailed(path, written.error().message())) {
      case SaveFailureChoice::Retry:
        continue;
      case SaveFailureChoice::Abort:
        ctx.state.recoveryState = kRecoveryStopRequested;
        return false;
      case SaveFailureChoice::Ignore:
        return false;
    }
    return false;
  }
}

void pumpDelay(FrontEnd& frontEnd, int milliseconds) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
  do {
    frontEnd.pump();
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  } while (std::chrono::steady_clock::now() < until);
}

}  // namespace vellumark
