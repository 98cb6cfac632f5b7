// The desktop import and tidying with the real shell, real files and shortcuts, and the restore
// batch file run by the real cmd.exe. The desktops are test folders standing in for the special
// folders, so that these tests can run beside others.
#include <gtest/gtest.h>

#include <map>
#include <set>

#include "import/import_run.h"
#include "import/import_texts.h"
#include "import/shell_platform.h"
#include "tests/redirected_platform.h"
#include "tests/wine_support.h"

using namespace wine_test;

namespace {

using TSnapshot = std::map<std::string, std::string>;  // file name -> content

TSnapshot Snapshot(const std::string& dir) {
  TSnapshot out;
  WIN32_FIND_DATAA d;
  HANDLE h = FindFirstFileA((dir + "\\*").c_str(), &d);
  if (h == INVALID_HANDLE_VALUE) return out;
  do {
    if (!(d.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) out[d.cFileName] = ReadFile(dir + "\\" + d.cFileName);
  } while (FindNextFileA(h, &d));
  FindClose(h);
  return out;
}

std::set<std::string> Names(const TSnapshot& s) {
  std::set<std::string> out;
  for (const auto& [name, content] : s) out.insert(name);
  return out;
}

// Runs a batch file with the system's command interpreter and waits for it.
DWORD RunBatch(const std::string& batch) {
  char system[MAX_PATH];
  GetSystemDirectoryA(system, MAX_PATH);
  const std::string cmd = std::string(system) + "\\cmd.exe";
  std::string line = "cmd.exe /c \"" + batch + "\"";
  STARTUPINFOA si{};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi{};
  if (!CreateProcessA(cmd.c_str(), line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) return 9999;
  WaitForSingleObject(pi.hProcess, 60000);
  DWORD code = 0;
  GetExitCodeProcess(pi.hProcess, &code);
  CloseHandle(pi.hProcess);
  CloseHandle(pi.hThread);
  return code;
}

// Can set the stop request after a given number of moves.
class TDesktopPlatform : public TRedirectedPlatform {
 public:
  using TRedirectedPlatform::TRedirectedPlatform;
  int StopAfterMoves = -1;
  std::atomic<bool>* StopFlag = nullptr;
  void MoveItem(const std::string& from, const std::string& to) override {
    TShellPlatform::MoveItem(from, to);
    if (--StopAfterMoves == 0 && StopFlag) *StopFlag = true;
  }
};

class DesktopImport : public ::testing::Test {
 protected:
  void SetUp() override {
    progDir_ = prog_.Path() + "\\";
    managed_ = progDir_ + ManagedFolderName;
    batch_ = progDir_ + RestoreBatchName;
    platform_.Folders = {{CSIDL_DESKTOP_, user_.Path()}, {CSIDL_COMMON_DESKTOPDIRECTORY_, common_.Path()},
                         {CSIDL_FAVORITES_, favs_.Path()}, {CSIDL_COMMON_FAVORITES_, commonFavs_.Path()}};
    platform_.StopFlag = &stop_;
  }

  TTempDir prog_{"prog"}, user_{"user"}, common_{"common"}, favs_{"favs"}, commonFavs_{"cfavs"}, targets_{"targets"};
  std::string progDir_, managed_, batch_;
  std::atomic<bool> stop_{false};
  TDesktopPlatform platform_{prog_.Path() + "\\", &stop_};
};

}  // namespace

TEST_F(DesktopImport, TidiesSortsAndTheBatchFilePutsEverythingBack) {
  WriteFile(targets_ / "QQ.exe", "MZ");
  WriteFile(targets_ / "tarnSetup.exe", "MZ");
  WriteFile(targets_ / "gone.exe", "MZ");
  WriteFile(progDir_ + "Tarn.exe", "MZ");

  WriteFile(common_ / "same.txt", "common copy");
  WriteFile(common_ / "公共.pdf", "pdf");
  ASSERT_TRUE(MakeShortcut(common_ / "QQ.lnk", targets_ / "QQ.exe"));
  WriteFile(user_ / "same.txt", "user copy");
  WriteFile(user_ / "Report.DOC", "doc");
  WriteFile(user_ / "tarnSetup.exe", "MZ");
  WriteFile(user_ / ".profile", "dot");
  WriteFile(user_ / "README", "plain");
  ASSERT_TRUE(MakeShortcut(user_ / "Tarn.lnk", progDir_ + "Tarn.exe"));
  ASSERT_TRUE(MakeShortcut(user_ / "安装.lnk", targets_ / "tarnSetup.exe"));
  ASSERT_TRUE(MakeShortcut(user_ / "gone.lnk", targets_ / "gone.exe"));
  DeleteFileA((targets_ / "gone.exe").c_str());
  const TSnapshot userBefore = Snapshot(user_.Path()), commonBefore = Snapshot(common_.Path());

  TImportRun run({true, true, false, false, false}, platform_);
  ASSERT_TRUE(run.Execute());

  // On the desktops: the installer, the launcher's own shortcut, and the user's same.txt whose
  // move found the common desktop's copy already in the managed folder.
  EXPECT_EQ(Names(Snapshot(common_.Path())), (std::set<std::string>{}));
  EXPECT_EQ(Names(Snapshot(user_.Path())), (std::set<std::string>{"same.txt", "tarnSetup.exe", "Tarn.lnk"}));
  const TSnapshot managed = Snapshot(managed_);
  EXPECT_EQ(Names(managed), (std::set<std::string>{"same.txt", "公共.pdf", "QQ.lnk", "Report.DOC", ".profile",
                                                   "README", "安装.lnk", "gone.lnk"}));
  EXPECT_EQ(managed.at("same.txt"), "common copy");

  // Software: the resolved shortcuts (a gone target keeps its stored path), files without an
  // extension and the installer; the shortcut to the installer and our own shortcut are dropped.
  std::set<std::pair<std::string, std::string>> software, documents;
  for (size_t i = 0; i < run.DesktopPaths.size(); ++i) software.insert({run.DesktopNames[i], run.DesktopPaths[i]});
  for (size_t i = 0; i < run.DocumentPaths.size(); ++i) documents.insert({run.DocumentNames[i], run.DocumentPaths[i]});
  const std::string m = managed_ + "\\";
  EXPECT_EQ(software, (std::set<std::pair<std::string, std::string>>{
                          {"QQ", targets_ / "QQ.exe"}, {"gone", targets_ / "gone.exe"}, {"README", m + "README"},
                          {"tarnSetup", user_ / "tarnSetup.exe"}}));
  EXPECT_EQ(documents, (std::set<std::pair<std::string, std::string>>{
                           {"same", m + "same.txt"}, {"same", m + "same.txt"}, {"公共", m + "公共.pdf"},
                           {"Report", m + "Report.DOC"}, {"", m + ".profile"}}));
  EXPECT_EQ(IniRead(progDir_ + "Group1.ini", "桌面软件", "Count"), "4");
  EXPECT_EQ(IniRead(progDir_ + "Group1.ini", "桌面文档", "Count"), "5");
  EXPECT_EQ(IniRead(progDir_ + "Tarn.ini", "Desktop", "IconCount"), "3");

  // The real command interpreter runs the batch file: everything is back where it came from.
  ASSERT_TRUE(Exists(batch_));
  RunBatch(batch_);
  EXPECT_EQ(Snapshot(user_.Path()), userBefore);
  EXPECT_EQ(Snapshot(common_.Path()), commonBefore);
  EXPECT_FALSE(Exists(managed_)) << "the managed folder is still there";
  EXPECT_FALSE(Exists(batch_)) << "the batch file did not delete itself";
}

TEST_F(DesktopImport, StopDuringTidyingLeavesABatchThatRestoresTheMovedItems) {
  for (const char* name : {"a.txt", "b.txt", "c.txt", "d.txt"}) WriteFile(user_ / name, name);
  const TSnapshot before = Snapshot(user_.Path());
  platform_.StopAfterMoves = 2;
  TImportRun run({true, true, false, false, false}, platform_);
  EXPECT_FALSE(run.Execute());
  EXPECT_EQ(Snapshot(managed_).size(), 2u);
  EXPECT_EQ(Snapshot(user_.Path()).size(), 2u);
  EXPECT_FALSE(Exists(progDir_ + "Tab.ini"));

  const std::string text = ReadFile(batch_);
  EXPECT_EQ(text.rfind("@echo off\r\n", 0), 0u);
  EXPECT_NE(text.find("rd /s /q \"" + managed_ + "\\\"\r\ndel /f /q \"" + batch_ + "\"\r\n"), std::string::npos);
  RunBatch(batch_);
  EXPECT_EQ(Snapshot(user_.Path()), before);
  EXPECT_FALSE(Exists(managed_));
  EXPECT_FALSE(Exists(batch_));
}

TEST_F(DesktopImport, LinksFolderWithOnlyDesktopIniOrNoneWritesNoWebsites) {
  CreateDirectoryA((favs_ / "链接").c_str(), nullptr);
  WriteFile(favs_ / "链接\\desktop.ini", "[.ShellClassInfo]");
  TImportRun run({false, false, false, true, false}, platform_);
  ASSERT_TRUE(run.Execute());
  EXPECT_FALSE(Exists(progDir_ + "Group3.ini"));

  // Found under the links folder's exact name only, whatever the files' extensions.
  CreateDirectoryA((commonFavs_ / "链接").c_str(), nullptr);
  WriteFile(commonFavs_ / "链接\\新闻.url", "[InternetShortcut]\r\nURL=http://127.0.0.1/\r\n");
  WriteFile(favs_ / "链接\\邮件.lnk", "x");
  WriteFile(favs_ / "链接\\note", "x");
  TImportRun again({false, false, false, true, false}, platform_);
  ASSERT_TRUE(again.Execute());
  const std::string g3 = progDir_ + "Group3.ini";
  EXPECT_EQ(IniRead(g3, "常用网站", "Count"), "9");
  EXPECT_EQ(IniRead(g3, "常用网站", "Name1"), "新闻");
  EXPECT_EQ(IniRead(g3, "常用网站", "Path1"), commonFavs_ / "链接\\新闻.url");
  EXPECT_EQ(IniRead(g3, "常用网站", "Path9"), progDir_ + DefaultWebsiteNames[5] + ".url");
}

TEST_F(DesktopImport, ToolsAreFoundUnderTheRealWindowsDirectory) {
  char windows[MAX_PATH];
  GetWindowsDirectoryA(windows, MAX_PATH);
  platform_.Folders[36] = windows;
  TImportRun run({false, false, true, false, false}, platform_);
  ASSERT_TRUE(run.Execute());
  // Whatever this system has, each entry exists and keeps its row's name.
  ASSERT_FALSE(run.ToolPaths.empty());
  for (size_t i = 0; i < run.ToolPaths.size(); ++i) EXPECT_NE(GetFileAttributesA(run.ToolPaths[i].c_str()), INVALID_FILE_ATTRIBUTES);
  const std::string notepad = std::string(windows) + "\\NOTEPAD.EXE";
  EXPECT_EQ(IniRead(progDir_ + "Group1.ini", "系统工具", "Name2"), "记事本");
  EXPECT_EQ(IniRead(progDir_ + "Group1.ini", "系统工具", "Path2"), notepad);
}

TEST_F(DesktopImport, ManagedFolderIsCreatedWithItsMissingParents) {
  TTempDir base("force");
  const std::string deep = base / "一\\二\\被Tarn管理的快捷方式";
  platform_.ForceDirectories(deep);
  EXPECT_TRUE(Exists(deep));
  platform_.ForceDirectories(deep);  // already there: nothing to do, no failure
  EXPECT_TRUE(Exists(deep));
}
