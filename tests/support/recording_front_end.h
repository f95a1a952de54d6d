#pragma once
// A front end for tests: records every message, progress report and save question, and
// can press Cancel / Stop when a condition is met.

#include <functional>
#include <string>
#include <vector>

#include "scan/front_end.h"

namespace vellumark::test {

class RecordingFrontEnd : public FrontEnd {
 public:
  void showMessage(int entry) override { messages.push_back(entry); }
  void progress(const ProgressReport& report) override {
    reports.push_back(report);
    if (onProgress) onProgress(report);
  }
  void pump() override {
    ++pumps;
    if (onPump) onPump();
  }
  SaveFailureChoice askSaveFailed(std::string_view fileName, std::string_view) override {
    saveQuestions.emplace_back(fileName);
    if (saveAnswers.empty()) return SaveFailureChoice::Ignore;
    SaveFailureChoice c = saveAnswers.front();
    saveAnswers.erase(saveAnswers.begin());
    return c;
  }

  std::vector<int> messages;
  std::vector<ProgressReport> reports;
  std::vector<std::string> saveQuestions;
  std::vector<SaveFailureChoice> saveAnswers;  // answered in order, then Ignore
  int pumps = 0;
  std::function<void(const ProgressReport&)> onProgress;
  std::function<void()> onPump;
};

}  // namespace vellumark::test
