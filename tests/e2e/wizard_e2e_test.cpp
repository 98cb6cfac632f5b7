// The real Tarn_Import.exe, driven through its window on the test prefix's desktops.
#include <gtest/gtest.h>

#include <cstdlib>
#include <set>
#include <vector>

#include "tools/demo/wizard_driver.h"
#include "tests/wine_support.h"

using namespace wine_test;

namespace {

// A program folder of its own for each test: the wizard, the launcher stand-in, and whatever the
// run writes beside them.
class WizardE2E : public ::testing::Test {
 protected:
  void SetUp() override {
    userDesktop_ = SpecialFolder(CSIDL_DESKTOPDIRECTORY);
    commonDesktop_ = SpecialFolder(CSIDL_COMMON_DESKTOPDIRECTORY);
    ASSERT_FALSE(userDesktop_.empty());
    ClearFiles(userDesktop_);
    ClearFiles(commonDesktop_);
    exe_ = prog_ / "Tarn_Import.exe";
    ASSERT_TRUE(CopyFileA(FromUnix(TARN_IMPORT_EXE).c_str(), exe_.c_str(), FALSE));
    ASSERT_TRUE(CopyFileA(FromUnix(TARN_STANDIN_EXE).c_str(), (prog_ / "Tarn.exe").c_str(), FALSE));
  }
  void TearDown() override {
    ClearFiles(userDesktop_);
    ClearFiles(commonDesktop_);
  }
  bool Launch() { return wizard_.Launch(exe_, prog_.Path()); }

  TTempDir prog_{"e2e"};
  std::string exe_, userDesktop_, commonDesktop_;
  TWizardDriver wizard_;
};

// The entries of a group section, read back with the platform's profile reader, as a set.
std::set<std::pair<std::string, std::string>> Section(const std::string& file, const std::string& section) {
  std::set<std::pair<std::string, std::string>> out;
  const int count = std::atoi(IniRead(file, section, "Count", "0").c_str());
  for (int i = 1; i <= count; ++i)
    out.insert({IniRead(file, section, "Name" + std::to_string(i)), IniRead(file, section, "Path" + std::to_string(i))});
  return out;
}

std::set<std::string> FileNames(const std::string& dir) {
  std::set<std::string> out;
  WIN32_FIND_DATAA d;
  HANDLE h = FindFirstFileA((dir + "\\*").c_str(), &d);
  if (h == INVALID_HANDLE_VALUE) return out;
  do {
    if (!(d.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) out.insert(d.cFileName);
  } while (FindNextFileA(h, &d));
  FindClose(h);
  return out;
}

}  // namespace

TEST_F(WizardE2E, ImportsPreparedDesktopsIntoTheFiveFiles) {
  TTempDir targets("targets");
  WriteFile(targets / "app.exe", "MZ");
  WriteFile(targets / "tarnSetup.exe", "MZ");
  WriteFile(prog_ / "Tarn.exe.bak", "not the launcher");
  WriteFile(commonDesktop_ + "\\通知.pdf");
  WriteFile(commonDesktop_ + "\\same.txt", "common");
  WriteFile(userDesktop_ + "\\same.txt", "user");
  WriteFile(userDesktop_ + "\\工作.docx");
  WriteFile(userDesktop_ + "\\README");
  WriteFile(userDesktop_ + "\\tarnSetup.exe", "MZ");
  ASSERT_TRUE(MakeShortcut(userDesktop_ + "\\程序.lnk", targets / "app.exe"));
  ASSERT_TRUE(MakeShortcut(userDesktop_ + "\\安装.lnk", targets / "tarnSetup.exe"));
  ASSERT_TRUE(MakeShortcut(userDesktop_ + "\\Tarn.lnk", prog_ / "Tarn.exe"));
  const std::string links = SpecialFolder(CSIDL_FAVORITES) + "\\链接";
  CreateDirectoryA(links.c_str(), nullptr);
  ClearFiles(links);
  WriteFile(links + "\\站点.url", "[InternetShortcut]\r\nURL=http://127.0.0.1/\r\n");

  ASSERT_TRUE(Launch());
  wizard_.Click();
  ASSERT_TRUE(TWizardDriver::WaitUntil([&] { return wizard_.Tag() == 1; }, 60000)) << wizard_.Status();
  ClearFiles(links);

  EXPECT_EQ(ReadFile(prog_ / "Tab.ini"), "[Tab]\r\nCount=3\r\nName1=软件\r\nName2=目录\r\nName3=网址\r\n");
  // Left on the desktops: the installer, the launcher's own shortcut, and the user's same.txt,
  // whose move found the common desktop's copy already in the managed folder.
  EXPECT_EQ(ReadFile(prog_ / "Tarn.ini"), "[Desktop]\r\nIconCount=3\r\n");
  EXPECT_EQ(FileNames(userDesktop_), (std::set<std::string>{"same.txt", "tarnSetup.exe", "Tarn.lnk"}));
  EXPECT_EQ(FileNames(commonDesktop_), (std::set<std::string>{}));
  const std::string managed = prog_ / "被Tarn管理的快捷方式";
  EXPECT_EQ(FileNames(managed), (std::set<std::string>{"通知.pdf", "same.txt", "工作.docx", "README", "程序.lnk", "安装.lnk"}));
  EXPECT_EQ(ReadFile(managed + "\\same.txt"), "common");

  const std::string group1 = prog_ / "Group1.ini", m = managed + "\\";
  using TEntries = std::set<std::pair<std::string, std::string>>;
  EXPECT_EQ(Section(group1, "桌面软件"),
            (TEntries{{"README", m + "README"}, {"程序", targets / "app.exe"}, {"tarnSetup", userDesktop_ + "\\tarnSetup.exe"}}));
  EXPECT_EQ(Section(group1, "桌面文档"), (TEntries{{"通知", m + "通知.pdf"}, {"same", m + "same.txt"}, {"工作", m + "工作.docx"}}));
  EXPECT_EQ(IniRead(group1, "桌面文档", "Count"), "4");  // same.txt twice: both entries point at the managed copy

  // The tools and folders this system has, each a real file or folder.
  const int tools = std::atoi(IniRead(group1, "系统工具", "Count", "0").c_str());
  EXPECT_GT(tools, 0);
  for (int i = 1; i <= tools; ++i) EXPECT_TRUE(Exists(IniRead(group1, "系统工具", "Path" + std::to_string(i))));
  const std::string group2 = prog_ / "Group2.ini";
  const int folders = std::atoi(IniRead(group2, "系统目录", "Count", "0").c_str());
  EXPECT_GT(folders, 10);
  for (int i = 1; i <= folders; ++i) {
    const std::string path = IniRead(group2, "系统目录", "Path" + std::to_string(i));
    EXPECT_EQ(IniRead(group2, "系统目录", "Name" + std::to_string(i)), path.substr(path.rfind('\\') + 1));
  }

  // Wine's common favourites are the user's own folder, so the link is found once per listing.
  const int copies = SpecialFolder(CSIDL_COMMON_FAVORITES) == SpecialFolder(CSIDL_FAVORITES) ? 2 : 1;
  const std::string group3 = prog_ / "Group3.ini";
  EXPECT_EQ(IniRead(group3, "常用网站", "Count"), std::to_string(copies + 6));
  EXPECT_EQ(IniRead(group3, "常用网站", "Name1"), "站点");
  EXPECT_EQ(IniRead(group3, "常用网站", "Path1"), links + "\\站点.url");
  EXPECT_EQ(IniRead(group3, "常用网站", "Name" + std::to_string(copies + 1)), "百度");
  EXPECT_EQ(IniRead(group3, "常用网站", "Path" + std::to_string(copies + 6)), prog_ / "京东.url");

  // The restore batch file beside the program puts it all back.
  EXPECT_TRUE(Exists(prog_ / "双击还原桌面快捷方式.bat"));
}

TEST_F(WizardE2E, CompletesARunThenStartsTheLauncherAndCloses) {
  WriteFile(userDesktop_ + "\\notes.txt");
  ASSERT_TRUE(Launch());
  EXPECT_EQ(wizard_.Title(), "Tarn导入向导");
  RECT client = wizard_.ClientRect();
  EXPECT_EQ(client.right, 580);
  EXPECT_EQ(client.bottom, 382);
  struct TPlace { int Id, Panel, Left, Top, Width, Height; };
  for (const TPlace& c : {TPlace{IDC_BTNSTART, 0, 216, 344, 353, 25}, TPlace{IDC_PANEL1, 0, 216, 8, 353, 281},
                          TPlace{IDC_LISTVIEW1, IDC_PANEL1, 218, 10, 349, 277},
                          TPlace{IDC_PROGRESSBAR2, 0, 216, 296, 353, 17}, TPlace{IDC_PANEL2, 0, 8, 8, 198, 363},
                          TPlace{IDC_IMAGE1, IDC_PANEL2, 10, 10, 194, 359}}) {
    RECT r = wizard_.ControlRect(c.Id, c.Panel);
    EXPECT_EQ((std::vector<long>{r.left, r.top, r.right - r.left, r.bottom - r.top}),
              (std::vector<long>{c.Left, c.Top, c.Width, c.Height})) << "control " << c.Id;
  }
  RECT label = wizard_.ControlRect(IDC_LABEL1);
  EXPECT_EQ(label.left, 216);
  EXPECT_EQ(label.top, 320);
  ASSERT_EQ(wizard_.TaskCount(), 5);
  for (int i = 0; i < 5; ++i) EXPECT_TRUE(wizard_.Ticked(i)) << i;
  EXPECT_EQ(wizard_.Caption(), "开始导入");
  EXPECT_EQ(wizard_.Status(), "");
  EXPECT_EQ(wizard_.Position(), 0);

  wizard_.Click();
  ASSERT_TRUE(TWizardDriver::WaitUntil([&] { return wizard_.Caption() == "完成"; }, 60000)) << wizard_.Caption();
  EXPECT_EQ(wizard_.Tag(), 1);
  EXPECT_EQ(wizard_.Status(), "导入完成");
  EXPECT_EQ(wizard_.Position(), 100);
  EXPECT_EQ(IniRead(prog_ / "Tab.ini", "Tab", "Count"), "3");
  EXPECT_EQ(IniRead(prog_ / "Group1.ini", "桌面文档", "Name1"), "notes");

  wizard_.Click();
  EXPECT_TRUE(wizard_.Exited(20000)) << "the window did not close";
  ASSERT_TRUE(TWizardDriver::WaitUntil([&] { return Exists(prog_ / "launched.txt"); }, 20000));
  const std::string marker = ReadFile(prog_ / "launched.txt");
  // The launcher beside the program, started in the program's folder.
  EXPECT_NE(marker.find("Tarn.exe"), std::string::npos) << marker;
  EXPECT_NE(marker.find("\r\n" + prog_.Path()), std::string::npos) << marker;
}

TEST_F(WizardE2E, StopWhileRunningReturnsToIdleAndWritesNothing) {
  // Enough shortcuts that the desktop passes take a while.
  const std::string target = prog_ / "app.exe";
  WriteFile(target);
  const std::string first = userDesktop_ + "\\s0.lnk";
  ASSERT_TRUE(MakeShortcut(first, target));
  for (int i = 1; i < 600; ++i)
    CopyFileA(first.c_str(), (userDesktop_ + "\\s" + std::to_string(i) + ".lnk").c_str(), FALSE);

  ASSERT_TRUE(Launch());
  wizard_.Click();
  EXPECT_EQ(wizard_.Caption(), "停止导入");
  EXPECT_EQ(wizard_.Status(), "导入中，请稍后...");
  ASSERT_TRUE(TWizardDriver::WaitUntil([&] { return wizard_.Position() >= 20; }, 30000));
  wizard_.Click();
  EXPECT_EQ(wizard_.Caption(), "开始导入");
  EXPECT_EQ(wizard_.Tag(), 0);
  EXPECT_EQ(wizard_.Status(), "");
  // The worker winds down at its next check and reports nothing more.
  Sleep(4000);
  EXPECT_EQ(wizard_.Caption(), "开始导入");
  EXPECT_EQ(wizard_.Status(), "");
  EXPECT_EQ(wizard_.Position(), 0);
  EXPECT_FALSE(Exists(prog_ / "Tab.ini"));
  EXPECT_FALSE(Exists(prog_ / "Tarn.ini"));
}

TEST_F(WizardE2E, RefusedConfigurationWriteShowsFailureAndAStopResets) {
  ASSERT_TRUE(CreateDirectoryA((prog_ / "Tab.ini").c_str(), nullptr));
  ASSERT_TRUE(Launch());
  wizard_.Click();
  ASSERT_TRUE(TWizardDriver::WaitUntil([&] { return wizard_.Status() == "导入失败..."; }, 60000)) << wizard_.Status();
  EXPECT_EQ(wizard_.Caption(), "停止导入");
  EXPECT_EQ(wizard_.Tag(), 0);
  EXPECT_EQ(wizard_.Position(), 0);
  // A stop in Failed only resets the window; the ended worker is not touched.
  wizard_.Click();
  EXPECT_EQ(wizard_.Caption(), "开始导入");
  EXPECT_EQ(wizard_.Status(), "");
  EXPECT_FALSE(wizard_.Exited(500));
  EXPECT_FALSE(Exists(prog_ / "Tarn.ini"));
}
