#include "import/import_run.h"

#include <exception>

#include "import/import_texts.h"

const int SystemFolderIds[58] = {0,  1,  2,  3,  4,  5,  6,  7,  8,  9,  10, 11, 12, 13, 14,
                                 16, 17, 18, 19, 20, 21, 22, 23, 24, 25, 26, 27, 28, 29, 30,
                                 31, 32, 33, 34, 35, 36, 37, 38, 39, 40, 41, 42, 43, 44, 45,
                                 46, 47, 48, 49, 53, 54, 55, 56, 57, 58, 59, 61, 62};

const TToolRow SystemTools[27] = {
    {"explorer.exe", "我的电脑"},
    {"NOTEPAD.EXE", "记事本"},
    {"regedit.exe", "注册表编辑器"},
    {"system32\\mspaint.exe", "画图"},
    {"system32\\cmd.exe", "控制台(cmd.exe)"},
    {"system32\\calc.exe", "计算器"},
    {"system32\\charmap.exe", "字符映射表"},
    {"system32\\dxdiag.exe", "DirectX 诊断工具"},
    {"system32\\eudcedit.exe", "TrueType 造字程序"},
    {"system32\\shrpubw.exe", "创建共享文件夹向导"},
    {"system32\\sysedit.exe", "系统配置编辑器"},
    {"system32\\telnet.exe", "远程登录(telnet.exe)"},
    {"system32\\write.exe", "写字板"},
    {"system32\\sndvol32.exe", "音量控制"},
    {"system32\\sndrec32.exe", "录音机"},
    {"system32\\rtcshare.exe", "共享会话"},
    {"system32\\sigverif.exe", "文件签名验证"},
    {"system32\\packager.exe", "对象包装程序"},
    {"system32\\osk.exe", "屏幕键盘"},
    {"system32\\taskmgr.exe", "任务管理器"},
    {"system32\\mobsync.exe", "同步"},
    {"system32\\ntbackup.exe", "备份还原向导"},
    {"system32\\mstsc.exe", "远程桌面连接"},
    {"system32\\nslookup.exe", "NSlookup"},
    {"system32\\napstat.exe", "网络访问保护"},
    {"system32\\ddeshare.exe", "DDE 共享"},
    {"system32\\cleanmgr.exe", "磁盘清理"},
};

const char* const DefaultWebsiteNames[6] = {"百度", "新浪网", "网易", "腾讯网", "淘宝网", "京东"};

namespace {

const char kTarnSetup[] = "tarnSetup.exe";

std::string Quoted(const std::string& s) { return "\"" + s + "\""; }

template <class List>
void EraseAt(List& paths, List& names, size_t i) {
  paths.erase(paths.begin() + static_cast<std::ptrdiff_t>(i));
  names.erase(names.begin() + static_cast<std::ptrdiff_t>(i));
}

}  // namespace

TImportRun::TImportRun(const TImportFlags& flags, TImportPlatform& platform)
    : flags_(flags), platform_(platform), programDir_(platform.ProgramDir()) {}

bool TImportRun::Step(int position) {
  platform_.Progress(position);
  return !Stopped();
}

bool TImportRun::Execute() {
  if (!Step(2)) return false;
  if (flags_.ImportDesktop && !ImportDesktopPhase()) return false;
  if (!Step(30)) return false;
  if (flags_.ImportTools) ImportToolsPhase();
  if (!Step(50)) return false;
  if (flags_.ImportBookmarks) ImportBookmarksPhase();
  if (!Step(60)) return false;
  if (flags_.ImportFolders && !ImportFoldersPhase()) return false;
  // The last check: once the files are being written the run always goes to its end.
  if (!Step(70)) return false;
  WriteConfiguration();
  return true;
}

bool TImportRun::ImportDesktopPhase() {
  // The common desktop's files come first, then the user's own.
  platform_.ListFolderFiles(platform_.SpecialFolderPath(CSIDL_COMMON_DESKTOPDIRECTORY_), DesktopPaths);
  if (!Step(10)) return false;
  platform_.ListFolderFiles(platform_.SpecialFolderPath(CSIDL_DESKTOP_), DesktopPaths);
  if (!Step(20)) return false;

  DesktopNames = DesktopPaths;
  for (size_t i = DesktopNames.size(); i-- > 0;) {
    if (Stopped()) return false;
    DesktopNames[i] = FileNameWithoutExt(DesktopPaths[i]);
  }

  if (flags_.TidyDesktop && !TidyDesktopItems()) return false;

  // Shortcuts are replaced by the programs they point to; dead ones, the launcher's installer and
  // the launcher's own shortcuts are dropped.
  for (size_t i = DesktopPaths.size(); i-- > 0;) {
    if (Stopped()) return false;
    if (ExtractFileExt(DesktopPaths[i]) != ".lnk") continue;
    std::string target = platform_.ShortcutTarget(DesktopPaths[i]);
    if (target.empty() || ExtractFileName(target) == kTarnSetup || ExtractFilePath(target) == programDir_) {
      EraseAt(DesktopPaths, DesktopNames, i);
    } else {
      DesktopPaths[i] = target;
    }
  }

  // Everything with an extension other than the three program ones is a document.
  for (size_t i = DesktopPaths.size(); i-- > 0;) {
    if (Stopped()) return false;
    std::string ext = ExtractFileExt(DesktopPaths[i]);
    if (ext.empty() || ext == ".exe" || ext == ".com" || ext == ".bat") continue;
    DocumentPaths.push_back(DesktopPaths[i]);
    DocumentNames.push_back(DesktopNames[i]);
    EraseAt(DesktopPaths, DesktopNames, i);
  }
  return true;
}

bool TImportRun::TidyDesktopItems() {
  const std::string managed = programDir_ + ManagedFolderName + "\\";
  platform_.ForceDirectories(programDir_ + ManagedFolderName);

  std::string batch = "@echo off\r\n";
  std::string lastVisited;
  // The batch file is written however the moves end, so that whatever was moved can be put back.
  auto saveBatch = [&] {
    std::string lastDir = ExtractFilePath(lastVisited);
    // With no file on either desktop there is no last visited entry: leftovers in the managed
    // folder then go back to the user's desktop.
    if (lastDir.empty()) lastDir = platform_.SpecialFolderPath(CSIDL_DESKTOP_) + "\\";
    batch += "move /y " + Quoted(managed + "*.*") + " " + Quoted(lastDir) + "\r\n";
    batch += "rd /s /q " + Quoted(managed) + "\r\n";
    batch += "del /f /q " + Quoted(programDir_ + RestoreBatchName) + "\r\n";
    platform_.SaveTextFile(programDir_ + RestoreBatchName, batch);
  };

  bool completed = true;
  try {
    for (size_t i = 0; i < DesktopPaths.size(); ++i) {
      if (Stopped()) {
        completed = false;
        break;
      }
      const std::string path = DesktopPaths[i];
      lastVisited = path;
      const std::string name = ExtractFileName(path);
      if (name == kTarnSetup) continue;  // the launcher's installer stays on the desktop
      if (ExtractFilePath(platform_.ShortcutTarget(path)) == programDir_) continue;  // our own shortcuts
      const std::string destination = managed + name;
      DesktopPaths[i] = destination;
      platform_.MoveItem(path, destination);
      batch += "move /y " + Quoted(destination) + " " + Quoted(path) + "\r\n";
    }
  } catch (...) {
    try {
      saveBatch();
    } catch (...) {
      // The first error is the one that ended the run.
    }
    throw;
  }
  saveBatch();
  return completed;
}

void TImportRun::ImportToolsPhase() {
  std::string windows = platform_.SpecialFolderPath(SystemFolderIds[35]);
  if (windows.empty()) return;  // never probe relative to the current drive's root
  windows += "\\";
  for (const TToolRow& row : SystemTools) {
    std::string path = windows + row.RelativePath;
    if (platform_.FileExists(path)) {
      ToolPaths.push_back(path);
      ToolNames.push_back(row.Name);
    }
  }
}

void TImportRun::ImportBookmarksPhase() {
  for (int csidl : {CSIDL_COMMON_FAVORITES_, CSIDL_FAVORITES_}) {
    std::string favourites = platform_.SpecialFolderPath(csidl);
    if (!favourites.empty()) platform_.ListFolderFiles(favourites + "\\链接", LinkPaths);
  }
  LinkNames.clear();
  for (const std::string& path : LinkPaths) LinkNames.push_back(FileNameWithoutExt(path));
}

bool TImportRun::ImportFoldersPhase() {
  for (int id : SystemFolderIds) {
    if (Stopped()) return false;
    std::string path = platform_.SpecialFolderPath(id);
    if (path.empty()) continue;
    if (path.find("All Users") != std::string::npos) {
      FolderPaths.push_back(path);
      FolderNames.push_back("All Users " + LastPathComponent(path));
    } else {
      FolderPaths.insert(FolderPaths.begin(), path);
      FolderNames.insert(FolderNames.begin(), LastPathComponent(path));
    }
  }
  return true;
}

void TImportRun::WriteSection(const std::string& section, const TStringList& names, const TStringList& paths) {
  TIniWriter& ini = platform_.Ini();
  for (size_t i = 0; i < paths.size(); ++i) {
    const std::string n = std::to_string(i + 1);
    ini.WriteString(section, "Name" + n, names[i]);
    ini.WriteString(section, "Path" + n, paths[i]);
  }
  ini.WriteInteger(section, "Count", static_cast<int>(paths.size()));
}

int TImportRun::CountDesktopFiles() {
  TStringList files;
  platform_.ListFolderFiles(platform_.SpecialFolderPath(CSIDL_COMMON_DESKTOPDIRECTORY_), files);
  platform_.ListFolderFiles(platform_.SpecialFolderPath(CSIDL_DESKTOP_), files);
  return static_cast<int>(files.size());
}

void TImportRun::WriteConfiguration() {
  TIniWriter& ini = platform_.Ini();
  ini.SetPath(programDir_ + "Tab.ini");
  ini.WriteInteger("Tab", "Count", 3);
  ini.WriteString("Tab", "Name1", "软件");
  ini.WriteString("Tab", "Name2", "目录");
  ini.WriteString("Tab", "Name3", "网址");
  platform_.Progress(75);

  if (!DesktopPaths.empty() || !DocumentPaths.empty() || !ToolPaths.empty()) ini.SetPath(programDir_ + "Group1.ini");
  if (!DesktopPaths.empty()) WriteSection("桌面软件", DesktopNames, DesktopPaths);
  platform_.Progress(80);
  if (!DocumentPaths.empty()) WriteSection("桌面文档", DocumentNames, DocumentPaths);
  platform_.Progress(85);
  if (!ToolPaths.empty()) WriteSection("系统工具", ToolNames, ToolPaths);
  platform_.Progress(90);

  if (!FolderPaths.empty()) {
    ini.SetPath(programDir_ + "Group2.ini");
    WriteSection("系统目录", FolderNames, FolderPaths);
  }
  platform_.Progress(95);

  if (!LinkPaths.empty()) {
    ini.SetPath(programDir_ + "Group3.ini");
    for (const char* name : DefaultWebsiteNames) {
      LinkNames.push_back(name);
      LinkPaths.push_back(programDir_ + name + ".url");
    }
    WriteSection("常用网站", LinkNames, LinkPaths);
  }

  ini.SetPath(programDir_ + "Tarn.ini");
  ini.WriteInteger("Desktop", "IconCount", CountDesktopFiles());
  platform_.Progress(100);
}
