// The real Tarn_Import.exe, driven through its window on the test prefix's desktops.
#include <gtest/gtest.h>

#include "tools/demo/wizard_driver.h"
#include "tests/wine_support.h"

using namespace wine_test;

namespace {

std::string Folder(int csidl) {
  char path[MAX_PATH] = {};
  SHGetSpecialFolderPathA(nullptr, path, csidl, TRUE);
  return path;
}

void ClearFiles(const std::string& dir) {
  WIN32_FIND_DATAA d;
  HANDLE h = FindFirstFileA((dir + "\\*").c_str(), &d);
  if (h == INVALID_HANDLE_VALUE) return;
  do {
    if (!(d.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) DeleteFileA((dir + "\\" + d.cFileName).c_str());
  } while (FindNextFileA(h, &d));
  FindClose(h);
}

// A program folder of its own for each test: the wizard, the launcher stand-in, and whatever the
// run writes beside them.
class WizardE2E : public ::testing::Test {
 protected:
  void SetUp() override {
    userDesktop_ = Folder(CSIDL_DESKTOPDIRECTORY);
    commonDesktop_ = Folder(CSIDL_COMMON_DESKTOPDIRECTORY);
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

}  // namespace

TEST_F(WizardE2E, CompletesARunThenStartsTheLauncherAndCloses) {
  WriteFile(userDesktop_ + "\\notes.txt");
  ASSERT_TRUE(Launch());
  EXPECT_EQ(wizard_.Title(), "Tarn导入向导");
  RECT client = wizard_.ClientRect();
  EXPECT_EQ(client.right, 580);
  EXPECT_EQ(client.bottom, 382);
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
