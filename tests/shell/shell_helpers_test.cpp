// The shell helpers and the INI store against the real Windows shell and profile functions.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>

#include "import/file_manager.h"
#include "import/import_run.h"
#include "import/import_texts.h"
#include "import/shell_helpers.h"
#include "import/shell_platform.h"
#include "rtl/application.h"
#include "tests/redirected_platform.h"
#include "tests/wine_support.h"

using namespace wine_test;

namespace {

std::vector<std::string> Sorted(std::vector<std::string> v) {
  std::sort(v.begin(), v.end());
  return v;
}

}  // namespace

TEST(ListFolderFiles, ListsPlainFilesOnlyAndSkipsReservedNames) {
  // Prepared from the Linux side: "desktop.ini" and "Desktop.ini" side by side, which Wine's
  // case-insensitive file functions could not create.
  const std::string dir = FromUnix(Env("TARN_LISTING_FIXTURE"));
  ASSERT_FALSE(dir.empty());
  SetFileAttributesA((dir + "\\hidden.txt").c_str(), FILE_ATTRIBUTE_HIDDEN);
  TStringList paths;
  ListFolderFiles(dir, paths);
  EXPECT_EQ(Sorted(paths), Sorted({dir + "\\Desktop.ini", dir + "\\a.txt", dir + "\\hidden.txt", dir + "\\noext"}));
}

TEST(ListFolderFiles, MissingFolderAndEmptyPathAppendNothing) {
  TStringList paths;
  ListFolderFiles("C:\\no\\such\\folder", paths);
  ListFolderFiles("", paths);
  EXPECT_TRUE(paths.empty());
}

TEST(ListFolderFiles, StopsAtTheNextEntryOnceTerminateIsSet) {
  TTempDir dir("list");
  for (int i = 0; i < 5; ++i) WriteFile(dir / ("f" + std::to_string(i)));
  std::atomic<bool> stop{true};
  TStringList paths;
  ListFolderFiles(dir.Path(), paths, &stop);
  EXPECT_TRUE(paths.empty());
}

TEST(Shortcuts, TargetOfARealShortcut) {
  TTempDir dir("lnk");
  const std::string target = dir / "程序.exe";
  WriteFile(target);
  ASSERT_TRUE(MakeShortcut(dir / "app.lnk", target));
  EXPECT_EQ(GetShortcutTarget(dir / "app.lnk"), target);

  ShortcutInfo info{};
  ASSERT_TRUE(ResolveShortcut(dir / "app.lnk", info));
  EXPECT_STREQ(info.Path, target.c_str());
  if (info.IDList) CoTaskMemFree(info.IDList);
}

TEST(Shortcuts, NonShortcutsAndOverlongPathsHaveNoTarget) {
  TTempDir dir("lnk");
  WriteFile(dir / "plain.exe", "MZ not a shortcut");
  EXPECT_EQ(GetShortcutTarget(dir / "plain.exe"), "");
  EXPECT_EQ(GetShortcutTarget(dir / "missing.lnk"), "");
  // A path over 259 characters is cut before loading, so nothing loads.
  std::string longPath = dir.Path() + "\\" + std::string(300 - dir.Path().size(), 'x') + ".lnk";
  EXPECT_EQ(GetShortcutTarget(longPath), "");
}

TEST(Shortcuts, TargetThatHasGoneKeepsItsStoredPath) {
  TTempDir dir("lnk");
  const std::string target = dir / "gone.exe";
  WriteFile(target);
  ASSERT_TRUE(MakeShortcut(dir / "gone.lnk", target));
  DeleteFileA(target.c_str());
  // The shell resolves it with success and the stale path (so the import keeps it).
  EXPECT_EQ(GetShortcutTarget(dir / "gone.lnk"), target);
}

TEST(SpecialFolders, RealFoldersHavePathsAndVirtualOnesDoNot) {
  const std::string desktop = GetSpecialFolderPath(0);
  EXPECT_FALSE(desktop.empty());
  EXPECT_NE(desktop.back(), '\\');
  EXPECT_EQ(GetSpecialFolderPath(3), "");   // control panel
  EXPECT_EQ(GetSpecialFolderPath(10), "");  // recycle bin
  EXPECT_EQ(GetSpecialFolderPath(4), "");   // printers
  EXPECT_EQ(GetSpecialFolderPath(18), "");  // network
  EXPECT_FALSE(GetSpecialFolderPath(36).empty());
}

TEST(ProgramDirectory, EndsWithBackslashAndHoldsTheProgram) {
  const std::string dir = ProgramDir();
  ASSERT_FALSE(dir.empty());
  EXPECT_EQ(dir.back(), '\\');
  char self[MAX_PATH];
  GetModuleFileNameA(nullptr, self, MAX_PATH);
  EXPECT_EQ(dir + ExtractFileName(self), self);
}

TEST(IniFiles, SecondRunWithFewerEntriesKeepsSurplusKeys) {
  TTempDir prog("prog"), desk("desk"), common("common");
  for (int i = 1; i <= 11; ++i) WriteFile(desk / ("app" + std::to_string(i) + ".exe"));
  TRedirectedPlatform p(prog.Path() + "\\");
  p.Folders = {{0, desk.Path()}, {25, common.Path()}};
  {
    TImportRun run({true, false, false, false, false}, p);
    ASSERT_TRUE(run.Execute());
  }
  const std::string group1 = prog / "Group1.ini";
  EXPECT_EQ(IniRead(group1, "桌面软件", "Count"), "11");
  EXPECT_EQ(IniRead(prog / "Tab.ini", "Tab", "Name2"), "目录");
  EXPECT_EQ(IniRead(prog / "Tarn.ini", "Desktop", "IconCount"), "11");
  // Name10/Path10 exist (no leading zero) and point at a listed file.
  EXPECT_EQ(IniRead(group1, "桌面软件", "Path10").substr(0, desk.Path().size()), desk.Path());
  EXPECT_EQ(IniRead(group1, "桌面软件", "Name010"), "<missing>");

  for (int i = 6; i <= 11; ++i) DeleteFileA((desk / ("app" + std::to_string(i) + ".exe")).c_str());
  {
    TImportRun run({true, false, false, false, false}, p);
    ASSERT_TRUE(run.Execute());
  }
  EXPECT_EQ(IniRead(group1, "桌面软件", "Count"), "5");
  EXPECT_NE(IniRead(group1, "桌面软件", "Name11"), "<missing>");
  EXPECT_EQ(IniRead(prog / "Tarn.ini", "Desktop", "IconCount"), "5");
}

TEST(IniFiles, RefusedWriteRaisesUnableToWrite) {
  TTempDir prog("prog");
  // A folder where the file should be: the profile functions cannot write it, even as root.
  CreateDirectoryA((prog / "Tab.ini").c_str(), nullptr);
  TRedirectedPlatform p(prog.Path() + "\\");
  TImportRun run({}, p);
  try {
    run.Execute();
    FAIL() << "the write was not refused";
  } catch (const EIniFileException& e) {
    EXPECT_EQ(std::string(e.what()), "Unable to write to " + prog / "Tab.ini");
  }
}

// The worker thread: reports arrive on the main thread, exactly one end or one failure.
namespace {
struct TReports {
  std::vector<int> Progress;
  int Ends = 0, Fails = 0;
  DWORD Thread = 0;
  bool Wrong = false;
  void OnProgress(int p) { Progress.push_back(p); Check(); }
  void OnEnd() { ++Ends; Check(); }
  void OnFail() { ++Fails; Check(); }
  void Check() { if (GetCurrentThreadId() != Thread) Wrong = true; }
};

void RunWorker(TReports& r) {
  Application().Initialize();
  r.Thread = GetCurrentThreadId();
  auto* worker = new TFileManager(false, false, false, false, false);
  worker->OnEnd = TNotifyEvent::Bind<&TReports::OnEnd>(&r);
  worker->OnFail = TNotifyEvent::Bind<&TReports::OnFail>(&r);
  worker->OnProgress = TCallback<int>::Bind<&TReports::OnProgress>(&r);
  worker->Start();  // frees itself
  for (DWORD start = GetTickCount(); r.Ends + r.Fails == 0 && GetTickCount() - start < 30000;) {
    MsgWaitForMultipleObjects(0, nullptr, FALSE, 50, QS_ALLINPUT);
    Application().ProcessMessages();
  }
  Sleep(200);
  Application().ProcessMessages();
}
}  // namespace

TEST(Worker, CompletedRunReportsEveryStepThenOneEnd) {
  TReports r;
  RunWorker(r);
  EXPECT_EQ(r.Progress, (std::vector<int>{2, 30, 50, 60, 70, 75, 80, 85, 90, 95, 100}));
  EXPECT_EQ(r.Ends, 1);
  EXPECT_EQ(r.Fails, 0);
  EXPECT_FALSE(r.Wrong) << "a report ran off the main thread";
  EXPECT_EQ(IniRead(ProgramDir() + "Tab.ini", "Tab", "Count"), "3");
  DeleteFileA((ProgramDir() + "Tab.ini").c_str());
  DeleteFileA((ProgramDir() + "Tarn.ini").c_str());
}

TEST(Worker, RefusedWriteReportsExactlyOneFailure) {
  const std::string blocker = ProgramDir() + "Tab.ini";
  DeleteFileA(blocker.c_str());
  ASSERT_TRUE(CreateDirectoryA(blocker.c_str(), nullptr));
  TReports r;
  RunWorker(r);
  RemoveDirectoryA(blocker.c_str());
  EXPECT_EQ(r.Fails, 1);
  EXPECT_EQ(r.Ends, 0);
  EXPECT_EQ(r.Progress.back(), 70);
  EXPECT_FALSE(Exists(ProgramDir() + "Tarn.ini"));
}

TEST(Worker, DestroyedBeforeStartNeverRunsItsBody) {
  Application().Initialize();
  const std::string tab = ProgramDir() + "Tab.ini";
  DeleteFileA(tab.c_str());
  delete new TFileManager(false, false, false, false, false);
  Sleep(200);
  Application().ProcessMessages();
  EXPECT_FALSE(Exists(tab));
}
