#include "import/import_run.h"

#include <gtest/gtest.h>

#include "import/import_texts.h"
#include "tests/unit/import/fake_platform.h"

namespace {

const std::string kCommon = "C:\\users\\Public\\Desktop";
const std::string kUser = "C:\\users\\me\\Desktop";

TImportFlags AllTasks() { return {true, true, true, true, true}; }
TImportFlags DesktopOnly(bool tidy) { return {true, tidy, false, false, false}; }

void Desktops(TFakePlatform& p, std::vector<std::string> common, std::vector<std::string> user) {
  p.Folders[CSIDL_COMMON_DESKTOPDIRECTORY_] = kCommon;
  p.Folders[CSIDL_DESKTOP_] = kUser;
  p.Files[kCommon] = std::move(common);
  p.Files[kUser] = std::move(user);
}

}  // namespace

TEST(ImportRun, NoTaskGoesThroughEveryStepAndWritesOnlyTabsAndIconCount) {
  TFakePlatform p;
  Desktops(p, {"a.txt"}, {"b.exe", "c.lnk"});
  TImportRun run({}, p);
  EXPECT_TRUE(run.Execute());
  EXPECT_EQ(p.ProgressLog, (std::vector<int>{2, 30, 50, 60, 70, 75, 80, 85, 90, 95, 100}));
  EXPECT_EQ(p.FilesWritten(), (std::set<std::string>{"C:\\Tarn\\Tab.ini", "C:\\Tarn\\Tarn.ini"}));
  EXPECT_EQ(p.WritesTo("C:\\Tarn\\Tab.ini"),
            (std::vector<std::string>{"Tab/Count=3", "Tab/Name1=软件", "Tab/Name2=目录", "Tab/Name3=网址"}));
  EXPECT_EQ(p.WritesTo("C:\\Tarn\\Tarn.ini"), (std::vector<std::string>{"Desktop/IconCount=3"}));
}

TEST(ImportRun, DesktopTaskAddsItsTwoProgressSteps) {
  TFakePlatform p;
  Desktops(p, {}, {});
  TImportRun run(DesktopOnly(false), p);
  EXPECT_TRUE(run.Execute());
  EXPECT_EQ(p.ProgressLog, (std::vector<int>{2, 10, 20, 30, 50, 60, 70, 75, 80, 85, 90, 95, 100}));
}

// A stop requested at a progress step ends the run at the check right after it: no report, no
// file; from step 75 on the request is no longer honoured.
TEST(ImportRun, StopEndsTheRunAtTheNextCheckPoint) {
  for (int stopAt : {2, 10, 20, 30, 50, 60, 70}) {
    SCOPED_TRACE(stopAt);
    TFakePlatform p;
    Desktops(p, {"a.txt"}, {"b.lnk"});
    p.Targets[kUser + "\\b.lnk"] = "C:\\b.exe";
    p.StopAtProgress = stopAt;
    TImportRun run(AllTasks(), p);
    EXPECT_FALSE(run.Execute());
    EXPECT_EQ(p.ProgressLog.back(), stopAt);
    EXPECT_TRUE(p.Writes.empty());
  }
  for (int stopAt : {75, 80, 95}) {
    SCOPED_TRACE(stopAt);
    TFakePlatform p;
    Desktops(p, {"a.txt"}, {"b.txt"});
    p.StopAtProgress = stopAt;
    TImportRun run({}, p);
    EXPECT_TRUE(run.Execute());
    EXPECT_EQ(p.ProgressLog.back(), 100);
    // The fresh listing for the icon count reads the request and ends early.
    EXPECT_EQ(p.WritesTo("C:\\Tarn\\Tarn.ini"), (std::vector<std::string>{"Desktop/IconCount=0"}));
  }
}

TEST(ImportRun, SortsDesktopIntoSoftwareAndDocuments) {
  TFakePlatform p;
  Desktops(p, {"Common.doc", "QQ.lnk"},
           {"Report.DOC", "tool.exe", "run.bat", "old.com", "README", ".profile", "NOTE.lnk", "dead.lnk",
            "setup.lnk", "mine.lnk", "folder.lnk", "tarnSetup.exe", "x.EXE"});
  p.Targets[kCommon + "\\QQ.lnk"] = "D:\\QQ\\QQ.exe";
  p.Targets[kUser + "\\NOTE.lnk"] = "C:\\WINDOWS\\NOTEPAD.EXE";
  p.Targets[kUser + "\\setup.lnk"] = "D:\\dl\\tarnSetup.exe";
  p.Targets[kUser + "\\mine.lnk"] = "C:\\Tarn\\Tarn.exe";
  p.Targets[kUser + "\\folder.lnk"] = "D:\\Games";
  TImportRun run(DesktopOnly(false), p);
  ASSERT_TRUE(run.Execute());

  EXPECT_EQ(run.DesktopPaths, (TStringList{"D:\\QQ\\QQ.exe", kUser + "\\tool.exe", kUser + "\\run.bat",
                                            kUser + "\\old.com", kUser + "\\README", "D:\\Games",
                                            kUser + "\\tarnSetup.exe"}));
  EXPECT_EQ(run.DesktopNames, (TStringList{"QQ", "tool", "run", "old", "README", "folder", "tarnSetup"}));
  // The document pass runs backwards, so documents come in reverse desktop order.
  EXPECT_EQ(run.DocumentPaths, (TStringList{kUser + "\\x.EXE", "C:\\WINDOWS\\NOTEPAD.EXE", kUser + "\\.profile",
                                             kUser + "\\Report.DOC", kCommon + "\\Common.doc"}));
  EXPECT_EQ(run.DocumentNames, (TStringList{"x", "NOTE", "", "Report", "Common"}));

  const auto group1 = p.WritesTo("C:\\Tarn\\Group1.ini");
  ASSERT_EQ(group1.size(), 7u * 2 + 1 + 5 * 2 + 1);
  EXPECT_EQ(group1[0], "桌面软件/Name1=QQ");
  EXPECT_EQ(group1[1], "桌面软件/Path1=D:\\QQ\\QQ.exe");
  EXPECT_EQ(group1[14], "桌面软件/Count=7");
  EXPECT_EQ(group1[15], "桌面文档/Name1=x");
  EXPECT_EQ(group1.back(), "桌面文档/Count=5");
}

TEST(ImportRun, SectionKeysCountWithoutLeadingZeros) {
  TFakePlatform p;
  std::vector<std::string> files;
  for (int i = 1; i <= 11; ++i) files.push_back("f" + std::to_string(i) + ".exe");
  Desktops(p, {}, files);
  TImportRun run(DesktopOnly(false), p);
  ASSERT_TRUE(run.Execute());
  const auto group1 = p.WritesTo("C:\\Tarn\\Group1.ini");
  EXPECT_EQ(group1[18], "桌面软件/Name10=f10");
  EXPECT_EQ(group1[19], "桌面软件/Path10=" + kUser + "\\f10.exe");
  EXPECT_EQ(group1.back(), "桌面软件/Count=11");
}

TEST(ImportRun, TidyingMovesItemsAndWritesTheRestoreBatch) {
  TFakePlatform p;
  Desktops(p, {"same.txt"}, {"same.txt", "tarnSetup.exe", "mine.lnk", "QQ.lnk"});
  p.Targets[kUser + "\\mine.lnk"] = "C:\\Tarn\\Tarn.exe";
  p.Targets["C:\\Tarn\\被Tarn管理的快捷方式\\QQ.lnk"] = "D:\\QQ\\QQ.exe";
  TImportRun run(DesktopOnly(true), p);
  ASSERT_TRUE(run.Execute());

  const std::string managed = "C:\\Tarn\\被Tarn管理的快捷方式\\";
  EXPECT_EQ(p.Events[2], "mkdir C:\\Tarn\\被Tarn管理的快捷方式");
  EXPECT_EQ(p.Saved.at("C:\\Tarn\\双击还原桌面快捷方式.bat"),
            "@echo off\r\n"
            "move /y \"" + managed + "same.txt\" \"" + kCommon + "\\same.txt\"\r\n"
            "move /y \"" + managed + "same.txt\" \"" + kUser + "\\same.txt\"\r\n"
            "move /y \"" + managed + "QQ.lnk\" \"" + kUser + "\\QQ.lnk\"\r\n"
            "move /y \"" + managed + "*.*\" \"" + kUser + "\\\"\r\n"
            "rd /s /q \"" + managed + "\"\r\n"
            "del /f /q \"C:\\Tarn\\双击还原桌面快捷方式.bat\"\r\n");
  // Moved shortcuts are read at their new place; the launcher's own shortcut stays and is dropped.
  EXPECT_EQ(run.DesktopPaths, (TStringList{kUser + "\\tarnSetup.exe", "D:\\QQ\\QQ.exe"}));
  EXPECT_EQ(run.DocumentPaths, (TStringList{managed + "same.txt", managed + "same.txt"}));
}

TEST(ImportRun, StopDuringTidyingStillWritesAClosedBatch) {
  // The stop request arrives right after the second move.
  class TStopAfterTwoMoves : public TFakePlatform {
   public:
    int Moves = 0;
    void MoveItem(const std::string& from, const std::string& to) override {
      TFakePlatform::MoveItem(from, to);
      if (++Moves == 2) Stop = true;
    }
  } q;
  Desktops(q, {}, {"a.txt", "b.txt", "c.txt"});
  TImportRun stopped(DesktopOnly(true), q);
  EXPECT_FALSE(stopped.Execute());
  const std::string batch = q.Saved.at("C:\\Tarn\\双击还原桌面快捷方式.bat");
  EXPECT_NE(batch.find("b.txt\" \"" + kUser + "\\b.txt\"\r\n"), std::string::npos);
  EXPECT_EQ(batch.find("c.txt"), std::string::npos);
  EXPECT_NE(batch.find("rd /s /q"), std::string::npos);
  EXPECT_EQ(batch.substr(batch.size() - 2), "\r\n");
  EXPECT_TRUE(q.Writes.empty());
}

TEST(ImportRun, TidyingNeedsTheDesktopTask) {
  TFakePlatform p;
  Desktops(p, {}, {"a.txt"});
  TImportRun run({false, true, false, false, false}, p);
  ASSERT_TRUE(run.Execute());
  EXPECT_TRUE(p.Saved.empty());
  for (const std::string& e : p.Events) EXPECT_EQ(e.rfind("move", 0), std::string::npos) << e;
}

TEST(ImportRun, BatchFileThatCannotBeCreatedFailsTheRun) {
  TFakePlatform p;
  Desktops(p, {}, {"a.txt"});
  p.RefuseBatch = true;
  TImportRun run(DesktopOnly(true), p);
  EXPECT_THROW(run.Execute(), std::runtime_error);
  EXPECT_TRUE(p.Writes.empty());
}

TEST(ImportRun, RefusedWriteEndsTheRunAndKeepsEarlierFiles) {
  TFakePlatform p;
  Desktops(p, {}, {"a.exe"});
  p.RefuseFile = "C:\\Tarn\\Group1.ini";
  TImportRun run(DesktopOnly(false), p);
  EXPECT_THROW(run.Execute(), std::runtime_error);
  EXPECT_EQ(p.FilesWritten(), (std::set<std::string>{"C:\\Tarn\\Tab.ini"}));
  EXPECT_EQ(p.ProgressLog.back(), 75);
}

TEST(ImportRun, ToolsAreTheTableRowsThatExist) {
  TFakePlatform p;
  p.Folders[36] = "C:\\WINDOWS";
  p.Existing = {"C:\\WINDOWS\\NOTEPAD.EXE", "C:\\WINDOWS\\system32\\cmd.exe", "C:\\WINDOWS\\system32\\cleanmgr.exe"};
  TImportRun run({false, false, true, false, false}, p);
  ASSERT_TRUE(run.Execute());
  EXPECT_EQ(run.ToolNames, (TStringList{"记事本", "控制台(cmd.exe)", "磁盘清理"}));
  EXPECT_EQ(p.WritesTo("C:\\Tarn\\Group1.ini").back(), "系统工具/Count=3");
}

TEST(ImportRun, BookmarksGetTheSixDefaultsOnlyWhenSomeWereFound) {
  TFakePlatform p;
  p.Folders[CSIDL_COMMON_FAVORITES_] = "C:\\fav";
  p.Folders[CSIDL_FAVORITES_] = "C:\\me\\fav";
  p.Files["C:\\fav\\链接"] = {"Site.url"};
  p.Files["C:\\me\\fav\\链接"] = {"Mail.lnk", "x"};
  TImportRun run({false, false, false, true, false}, p);
  ASSERT_TRUE(run.Execute());
  const auto group3 = p.WritesTo("C:\\Tarn\\Group3.ini");
  ASSERT_EQ(group3.size(), 9u * 2 + 1);
  EXPECT_EQ(group3[0], "常用网站/Name1=Site");
  EXPECT_EQ(group3[2], "常用网站/Name2=Mail");
  EXPECT_EQ(group3[6], "常用网站/Name4=" + std::string(DefaultWebsiteNames[0]));
  EXPECT_EQ(group3[7], "常用网站/Path4=C:\\Tarn\\" + std::string(DefaultWebsiteNames[0]) + ".url");
  EXPECT_EQ(group3.back(), "常用网站/Count=9");

  TFakePlatform none;
  none.Folders[CSIDL_FAVORITES_] = "C:\\me\\fav";
  TImportRun empty({false, false, false, true, false}, none);
  ASSERT_TRUE(empty.Execute());
  EXPECT_EQ(none.FilesWritten().count("C:\\Tarn\\Group3.ini"), 0u);
}

TEST(ImportRun, PerUserFoldersComeFirstReversedThenAllUsersInOrder) {
  TFakePlatform p;
  p.Folders[0] = "C:\\Documents and Settings\\me\\桌面";
  p.Folders[5] = "C:\\Documents and Settings\\me\\My Documents";
  p.Folders[16] = "C:\\Documents and Settings\\me\\桌面";
  p.Folders[25] = "C:\\Documents and Settings\\All Users\\桌面";
  p.Folders[35] = "C:\\Documents and Settings\\All Users\\Application Data";
  p.Folders[36] = "C:\\WINDOWS";
  TImportRun run({false, false, false, false, true}, p);
  ASSERT_TRUE(run.Execute());
  EXPECT_EQ(run.FolderNames, (TStringList{"WINDOWS", "桌面", "My Documents", "桌面", "All Users 桌面",
                                          "All Users Application Data"}));
  EXPECT_EQ(run.FolderPaths.front(), "C:\\WINDOWS");
  EXPECT_EQ(run.FolderPaths.back(), "C:\\Documents and Settings\\All Users\\Application Data");
}

TEST(ImportRun, SystemFolderTableHasItsFixedShape) {
  std::vector<int> expected;
  for (int i = 0; i <= 62; ++i)
    if (i != 15 && !(i >= 50 && i <= 52) && i != 60) expected.push_back(i);
  EXPECT_EQ(std::vector<int>(std::begin(SystemFolderIds), std::end(SystemFolderIds)), expected);
  EXPECT_EQ(SystemFolderIds[35], 36);
}

TEST(ImportRun, EmptyDesktopsWriteNoDesktopSection) {
  TFakePlatform p;
  Desktops(p, {}, {});
  TImportRun run(DesktopOnly(true), p);
  ASSERT_TRUE(run.Execute());
  EXPECT_EQ(p.FilesWritten().count("C:\\Tarn\\Group1.ini"), 0u);
  // No last visited entry: leftovers go back to the user's desktop.
  EXPECT_NE(p.Saved.at("C:\\Tarn\\双击还原桌面快捷方式.bat").find("*.*\" \"" + kUser + "\\\""), std::string::npos);
}
