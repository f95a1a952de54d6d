#include "app/rescue_checks.h"

#include <cerrno>

#include "platform/folder_access.h"
#include "platform/output_file.h"
#include "platform/storage_topology.h"

namespace vellumark {

namespace {

constexpr int kEntryNoFolder = 21;
constexpr int kEntryBadRange = 23;
constexpr int kMaxRunFolders = 10'000;

RescueProblem problem(ProblemKind kind, int entry, std::string detail) { return RescueProblem{kind, entry, std::move(detail)}; }

bool isRescueLeftover(const std::string& name) {
  return name.starts_with("TEST_") || name == "damaged" || name.starts_with("report") || name.starts_with("rescue.log") ||
         name.starts_with("rescue-");
}

}  // namespace

std::optional<RescueProblem> checkOutputFolderUsable(const std::string& folder) {
  if (folder.empty()) return problem(ProblemKind::Usage, kEntryNoFolder, "no output folder was given: name one with -o");
  const platform::ExistingPath path = platform::inspectPath(folder);
  if (!path.exists)
    return problem(ProblemKind::Usage, kEntryNoFolder, folder + " does not exist: create it or name another folder with -o");
  if (!platform::isDirectory(folder))
    return problem(ProblemKind::Usage, kEntryNoFolder, folder + " is not a folder: name a folder with -o");
  auto probe = platform::probeWritable(folder);
  if (!probe) {
    const int code = probe.error().code;
    std::string why = code == EROFS ? "it lies on a read-only file system"
                      : code == EACCES || code == EPERM ? "you may not create files there"
                      : code == ENOSPC || code == EDQUOT ? "its file system is full"
                                                          : probe.error().message();
    return problem(ProblemKind::Failure, 0,
                   "cannot write into " + folder + ": " + why + "; choose another folder or fix its permissions");
  }
  return std::nullopt;
}

std::optional<RescueProblem> checkSectorRange(std::int64_t first, std::int64_t last, std::int64_t lastSector,
                                              const std::string& sourceName) {
  if (lastSector < 0)
    return problem(ProblemKind::Failure, 0, sourceName + " holds no whole sector: there is nothing to search");
  const std::string whole = "; it has sectors 0-" + std::to_string(lastSector);
  if (first < 0 || last < 0)
    return problem(ProblemKind::Usage, kEntryBadRange, "give the range as FIRST-LAST, two sector numbers" + whole);
  if (first > lastSector)
    return problem(ProblemKind::Usage, kEntryBadRange,
                   "sector " + std::to_string(first) + " is past the last sector " + std::to_string(lastSector) + " of " +
                       sourceName);
  if (last > lastSector)
    return problem(ProblemKind::Usage, kEntryBadRange,
                   "sector " + std::to_string(last) + " is past the last sector " + std::to_string(lastSector) + " of " +
                       sourceName);
  if (first > last)
    return problem(ProblemKind::Usage, kEntryBadRange,
                   "the range starts at " + std::to_string(first) + ", after its end " + std::to_string(last) +
                       ": give FIRST-LAST with FIRST <= LAST");
  return std::nullopt;
}

bool holdsRescuedFiles(const std::string& folder) {
  auto names = platform::folderEntries(folder);
  if (!names) return false;
  for (const std::string& name : *names)
    if (isRescueLeftover(name)) return true;
  return false;
}

RescueProblem mixedRunsProblem(const std::string& folder) {
  return problem(ProblemKind::Usage, 0,
                 folder + " already holds files of an earlier rescue: give --new-folder to write into a new "
                          "rescue.N folder in it, --force to add to it (nothing is replaced), or name an empty folder");
}

NewRunFolder makeNewRunFolder(const std::string& folder) {
  std::string base = folder;
  if (base.back() != '/') base += '/';
  for (int n = 1; n <= kMaxRunFolders; ++n) {
    const std::string candidate = base + "rescue." + std::to_string(n);
    if (platform::inspectPath(candidate).exists) continue;
    auto made = platform::makeDirectory(candidate);
    if (!made) return {{}, problem(ProblemKind::Failure, 0, "cannot create " + candidate + ": " + made.error().message())};
    // Another program may have taken the name in between: keep looking unless it is empty.
    if (!holdsRescuedFiles(candidate)) return {candidate, std::nullopt};
  }
  return {{}, problem(ProblemKind::Failure, 0, "no free rescue.N name is left in " + folder)};
}

}  // namespace vellumark
