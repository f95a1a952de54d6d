#include "app/text_table.h"

#include <array>

namespace vellumark {

namespace {

constexpr std::array<std::string_view, kTextEntries> kEnglish = [] {
  std::array<std::string_view, kTextEntries> t{};
  t[1] = "Vellumark 1.78";
  t[2] = "Open Drive";
  t[3] = "Open IMG file";
  t[4] = "Close";
  t[5] = "Sector:";
  t[6] = "Goto";
  t[7] = "File Type:";
  t[8] = "Save files to:";
  t[9] = "Browse";
  t[10] = "Tidying up the list";
  t[11] = "Previous file system:";
  t[12] = "Cluster Size:";
  t[13] = "Scan Range:";
  t[14] = "Start Rescue";
  t[15] = "Backup to IMG file";
  t[16] = "Failed to open drive!";
  t[17] = "Error";
  t[18] = "Total Sectors: ";
  t[19] = "Invalid sector range!";
  t[20] = "Please select file type to rescue!";
  t[21] = "Please select folder to save file!";
  t[22] = "Dest folder can't be on source drive!";
  t[23] = "invalid sector range!";
  t[24] = "Rescuing file";
  t[25] = "Success: ";
  t[26] = "Scaned: ";
  t[27] = "Rescued file ";
  t[28] = "Failed save file: \r\n\r\n";
  t[29] = "Finished";
  t[34] = "The file \"Vellumark.dll\" error, program breaked!";
  t[35] = "Invalid sector range!";
  t[36] = "Can't save IMG file on source drive!";
  t[37] = "Backup to IMG";
  t[38] = "Creating IMG file...";
  t[39] = "Wait a moment";
  t[40] = "No enough free space on dest drive!";
  t[41] = "Sector: ";
  t[42] = "Percent: ";
  t[43] = "Error: ";
  t[44] = "Didn't finish, delete target file?";
  t[45] = "Prompt";
  t[46] = "Finished! There're some bad sectors.";
  t[47] = "Finished!";
  t[48] = "Failed to open file!";
  t[49] = "Searching file";
  t[50] = "Sector: ";
  t[51] = "Percent: ";
  t[52] = "Found: ";
  t[53] = "Pause";
  t[54] = "Stop";
  t[55] = "Cancel";
  t[56] = "Rescue File";
  t[57] = "File List:";
  t[58] = "Preview:";
  t[59] = "Close";
  t[60] = "Simple steps: 1. Select drive; 2. Open drive; 3. Select folder to store rescued files; 4. Select the reason of losing file; 5. Start rescue.";
  t[61] = "Error";
  t[62] = "More >>";
  t[63] = "Failed to get parameters";
  t[65] = "Progress: ";
  t[66] = "Reason:";
  t[67] = "Deleted or Disappeared";
  t[68] = "Formatted";
  t[69] = "Repartitioned";
  t[70] = "Unknown file system, not support this option!";
  t[71] = "Copy to clicpboard";
  t[75] = "1.78";
  t[77] = "Source:";
  t[78] = "Lost data on drive:";
  t[83] = "View Folder";
  t[84] = "Opened: ";
  t[85] = "Scan free space only";
  t[86] = "Sector Size: ";
  t[87] = "Collecting free sectors";
  t[88] = "No enough memory!";
  return t;
}();

}  // namespace

std::string_view uiText(int entry) {
  if (entry < 0 || entry >= kTextEntries) return {};
  return kEnglish[static_cast<std::size_t>(entry)];
}

}  // namespace vellumark
