#include "app/text_table.h"

#include <array>
#include <atomic>

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
  t[76] = "Vellumark document rescue";
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


constexpr std::array<std::string_view, kTextEntries> kSimplifiedChinese = [] {
  std::array<std::string_view, kTextEntries> t{};
  t[1] = "Vellumark1.78";
  t[2] = "打开分区";
  t[3] = "打开映像文件";
  t[4] = "关闭";
  t[5] = "扇区:";
  t[6] = "转到";
  t[7] = "文件类型:";
  t[8] = "恢复文件保存到:";
  t[9] = "浏览";
  t[10] = "正在整理列表";
  t[11] = "原文件系统:";
  t[12] = "簇大小:";
  t[13] = "扫描扇区范围:";
  t[14] = "开始恢复";
  t[15] = "备份到映像文件";
  t[16] = "打开分区失败!";
  t[17] = "错误";
  t[18] = "扇区总数: ";
  t[19] = "超出有效扇区范围!";
  t[20] = "请选择要恢复的文件类型!";
  t[21] = "请设置恢复文件保存的路径!";
  t[22] = "恢复文件保存的路径不得在源文件同一分区!";
  t[23] = "扫描扇区范围无效!";
  t[24] = "正在恢复文件";
  t[25] = "恢复成功: ";
  t[26] = "已扫描: ";
  t[27] = "成功恢复文件 ";
  t[28] = "保存文件失败: \r\n\r\n";
  t[29] = "恢复结束";
  t[34] = "文件\"Vellumark.dll\"错误, 程序中止运行!";
  t[35] = "备份扇区范围无效!";
  t[36] = "备份文件不能保存到源分区上!";
  t[37] = "备份到映像文件";
  t[38] = "正在创建映像文件...";
  t[39] = "请稍等";
  t[40] = "目标分区空间不足!";
  t[41] = "扇区: ";
  t[42] = "百分比: ";
  t[43] = "错误: ";
  t[44] = "备份未完成，是否删除目标文件?";
  t[45] = "提示";
  t[46] = "备份结束! 有部分扇区读取失败.";
  t[47] = "备份完成!";
  t[48] = "打开文件失败!";
  t[49] = "正在搜索文件";
  t[50] = "扇区: ";
  t[51] = "百分比: ";
  t[52] = "找到文件: ";
  t[53] = "暂停";
  t[54] = "停止";
  t[55] = "取消";
  t[56] = "恢复文件";
  t[57] = "文件列表:";
  t[58] = "预览:";
  t[59] = "关闭";
  t[60] = "基本操作: 1. 选择分区; 2. 打开分区; 3. 指定保存文件夹; 4. 选择文件丢失原因; 5. 开始恢复; 6. 查看文件夹.";
  t[61] = "错误";
  t[62] = "更多功能>>";
  t[63] = "获取分区参数失败";
  t[65] = "进度: ";
  t[66] = "原因:";
  t[67] = "删除或自动消失";
  t[68] = "格式化";
  t[69] = "重新分区";
  t[70] = "未知分区类型, 不支持该选项!";
  t[71] = "复制到剪贴板";
  t[75] = "1.78";
  t[76] = "Vellumark 文档恢复";
  t[77] = "源盘: ";
  t[78] = "丢失数据的分区:";
  t[83] = "查看文件夹";
  t[84] = "已打开: ";
  t[85] = "仅扫描未分配的空间";
  t[86] = "扇区大小: ";
  t[87] = "正在收集未分配的空间";
  t[88] = "内存空间不足!";
  return t;
}();

constexpr std::array<std::string_view, kTextEntries> kTraditionalChinese = [] {
  std::array<std::string_view, kTextEntries> t{};
  t[1] = "Vellumark1.78";
  t[2] = "打開分區";
  t[3] = "打開映像檔";
  t[4] = "關閉";
  t[5] = "扇區:";
  t[6] = "轉到";
  t[7] = "檔案類型:";
  t[8] = "恢復檔案儲存到:";
  t[9] = "瀏覽";
  t[10] = "正在整理列表";
  t[11] = "原檔案系統:";
  t[12] = "簇大小:";
  t[13] = "掃描扇區範圍:";
  t[14] = "開始恢復";
  t[15] = "備份到映像檔";
  t[16] = "打開分區失敗!";
  t[17] = "錯誤";
  t[18] = "扇區總數: ";
  t[19] = "超出有效扇區範圍!";
  t[20] = "請選擇要恢復的檔案類型!";
  t[21] = "請設定恢復檔案儲存的路徑!";
  t[22] = "恢復檔案儲存的路徑不得在來源檔案同一分區!";
  t[23] = "掃描扇區範圍無效!";
  t[24] = "正在恢復檔案";
  t[25] = "恢復成功: ";
  t[26] = "已掃描: ";
  t[27] = "成功恢復檔案 ";
  t[28] = "儲存檔案失敗: \r\n\r\n";
  t[29] = "恢復結束";
  t[34] = "檔案\"Vellumark.dll\"錯誤, 程式中止執行!";
  t[35] = "備份扇區範圍無效!";
  t[36] = "備份檔案不能儲存到來源分區上!";
  t[37] = "備份到映像檔";
  t[38] = "正在建立映像檔...";
  t[39] = "請稍候";
  t[40] = "目標分區空間不足!";
  t[41] = "扇區: ";
  t[42] = "百分比: ";
  t[43] = "錯誤: ";
  t[44] = "備份未完成，是否刪除目標檔案?";
  t[45] = "提示";
  t[46] = "備份結束! 有部分扇區讀取失敗.";
  t[47] = "備份完成!";
  t[48] = "打開檔案失敗!";
  t[49] = "正在搜尋檔案";
  t[50] = "扇區: ";
  t[51] = "百分比: ";
  t[52] = "找到檔案: ";
  t[53] = "暫停";
  t[54] = "停止";
  t[55] = "取消";
  t[56] = "恢復檔案";
  t[57] = "檔案列表:";
  t[58] = "預覽:";
  t[59] = "關閉";
  t[60] = "基本操作: 1. 選擇分區; 2. 打開分區; 3. 指定儲存資料夾; 4. 選擇檔案遺失原因; 5. 開始恢復; 6. 查看資料夾.";
  t[61] = "錯誤";
  t[62] = "更多功能>>";
  t[63] = "取得分區參數失敗";
  t[65] = "進度: ";
  t[66] = "原因:";
  t[67] = "刪除或自動消失";
  t[68] = "格式化";
  t[69] = "重新分區";
  t[70] = "未知分區類型, 不支援該選項!";
  t[71] = "複製到剪貼簿";
  t[75] = "1.78";
  t[76] = "Vellumark 文件恢復";
  t[77] = "來源盤: ";
  t[78] = "遺失資料的分區:";
  t[83] = "查看資料夾";
  t[84] = "已打開: ";
  t[85] = "僅掃描未配置的空間";
  t[86] = "扇區大小: ";
  t[87] = "正在收集未配置的空間";
  t[88] = "記憶體空間不足!";
  return t;
}();

std::atomic<TextSet> currentSet{TextSet::English};

const std::array<std::string_view, kTextEntries>& tableOf(TextSet set) {
  switch (set) {
    case TextSet::SimplifiedChinese: return kSimplifiedChinese;
    case TextSet::TraditionalChinese: return kTraditionalChinese;
    case TextSet::English: break;
  }
  return kEnglish;
}

}  // namespace

TextSet textSetForCodePage(int oemCodePage) {
  if (oemCodePage == kCodePageSimplifiedChinese) return TextSet::SimplifiedChinese;
  if (oemCodePage == kCodePageTraditionalChinese) return TextSet::TraditionalChinese;
  return TextSet::English;
}

void selectTextSet(TextSet set) { currentSet.store(set, std::memory_order_relaxed); }

TextSet selectedTextSet() { return currentSet.load(std::memory_order_relaxed); }

std::string_view uiText(TextSet set, int entry) {
  if (entry < 0 || entry >= kTextEntries) return {};
  return tableOf(set)[static_cast<std::size_t>(entry)];
}

std::string_view uiText(int entry) { return uiText(selectedTextSet(), entry); }

std::string_view uiFontName(TextSet set) {
  switch (set) {
    case TextSet::SimplifiedChinese: return "宋体";
    case TextSet::TraditionalChinese: return "細明體";
    case TextSet::English: break;
  }
  return "Tahoma";
}

std::string_view uiFontName() { return uiFontName(selectedTextSet()); }

}  // namespace vellumark
