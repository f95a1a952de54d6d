#pragma once
// The checks a front end makes before it starts a rescue, each failure with a sentence that
// says what is wrong and what to do, and the rule that one rescue never mixes its files
// with those of another in one folder.

#include <cstdint>
#include <optional>
#include <string>

namespace vellumark {

enum class ProblemKind { Usage, Failure };

// Something that keeps the rescue from starting: a usage problem (what the user gave is
// wrong) or a failure (the system does not let it go on).
struct RescueProblem {
  ProblemKind kind = ProblemKind::Usage;
  int textEntry = 0;     // text-table entry that names the problem, or 0
  std::string detail;    // what was found and what to do
};

// The output folder exists, is a folder and files can be created in it.
[[nodiscard]] std::optional<RescueProblem> checkOutputFolderUsable(const std::string& folder);

// The sector range FIRST..LAST lies within a source of lastSector + 1 sectors (sourceName
// names it in the sentence).
[[nodiscard]] std::optional<RescueProblem> checkSectorRange(std::int64_t first, std::int64_t last,
                                                           std::int64_t lastSector, const std::string& sourceName);

// True when folder holds what a rescue leaves: recovered documents (TEST_...), a report,
// a rescue log or a damaged folder.
[[nodiscard]] bool holdsRescuedFiles(const std::string& folder);

// The refusal for a folder that holds an earlier rescue's files.
[[nodiscard]] RescueProblem mixedRunsProblem(const std::string& folder);

// Creates folder/rescue.N with the lowest N >= 1 that is not taken and returns its path;
// a problem when none can be made.
struct NewRunFolder {
  std::string path;
  std::optional<RescueProblem> problem;
};
[[nodiscard]] NewRunFolder makeNewRunFolder(const std::string& folder);

}  // namespace vellumark
