// The machine facts of a report, read from the real (Wine) system, and the log file on real
// Win32 files: shared opening, the folder fallback and a whole report built from live values.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>

#include "faultline/internal/internal_warning.h"
#include "faultline/log/log_file.h"
#include "faultline/options/options.h"
#include "faultline/report/report_environment.h"
#include "faultline/report/report_text.h"

namespace {

std::string TempDir(const char* name) {
  char buf[MAX_PATH + 1];
  GetTempPathA(MAX_PATH, buf);
  std::string dir = std::string(buf) + name;
  CreateDirectoryA(dir.c_str(), nullptr);
  return dir;
}

TEST(ReportEnvironment, QueriesGiveSaneValues) {
  PrepareReportEnvironment();
  const TReportEnvironment e = QueryReportEnvironment();
  EXPECT_FALSE(e.ComputerName.empty());
  EXPECT_LE(e.ComputerName.size(), 15u);
  EXPECT_FALSE(e.UserName.empty());
  EXPECT_EQ(e.UserName.find('\0'), std::string::npos);
  EXPECT_GT(e.TotalMemory, 16ull << 20);
  EXPECT_LE(e.FreeMemory, e.TotalMemory);
  EXPECT_TRUE(e.DiskKnown);
  EXPECT_GT(e.TotalDisk, 0u);
  EXPECT_LE(e.FreeDisk, e.TotalDisk);
  EXPECT_GT(e.UpTimeMs, 0u);
  EXPECT_FALSE(e.Processor.empty());
  EXPECT_NE(e.Processor, "Unknown processor");
  if (e.ScreenWidth > 0) {
    EXPECT_GT(e.BitsPerPixel, 0);
  }
  EXPECT_EQ(e.OsName.rfind("Microsoft Windows ", 0), 0u) << e.OsName;
  EXPECT_GT(e.BuildNumber, 0u);
  EXPECT_FALSE(e.Language.empty());
  EXPECT_TRUE(e.NetworkKnown);
  for (const TNetworkAdapter& a : e.Adapters) EXPECT_LE(a.DnsServers.size(), 2u);
  const TNetworkTexts n = NetworkTexts(e);
  if (!e.Adapters.empty()) {
    EXPECT_EQ(n.IpAddress.size(), 15u * e.Adapters.size() + 3 * (e.Adapters.size() - 1)) << n.IpAddress;
    EXPECT_EQ(n.Dhcp.substr(0, 2) == "ON" || n.Dhcp.substr(0, 3) == "OFF", true) << n.Dhcp;
  }
}

TEST(ReportEnvironment, ProcessFactsAndTime) {
  EXPECT_TRUE(IsConsoleProgram());
  const TWebApplicationFacts f = QueryWebApplicationFacts(false);
  EXPECT_FALSE(f.ExportsHttpExtensionProc);
  EXPECT_FALSE(IsWebApplication(f));
  SetEnvironmentVariableA("REQUEST_METHOD", "GET");
  EXPECT_TRUE(IsWebApplication(QueryWebApplicationFacts(false)));
  SetEnvironmentVariableA("REQUEST_METHOD", nullptr);
  const int tz = LocalTimeZoneHours();
  EXPECT_GE(tz, -12);
  EXPECT_LE(tz, 14);
  const TDateParts now = DecodeDateTime(LocalNow());
  EXPECT_GE(now.Year, 2020);
  char exe[MAX_PATH + 1];
  GetModuleFileNameA(nullptr, exe, MAX_PATH);
  EXPECT_EQ(FileDescriptionOf(exe), "");  // the test program has no version resource
  char kernel[MAX_PATH + 1];
  GetSystemDirectoryA(kernel, MAX_PATH);
  const std::string kernel32 = std::string(kernel) + "\\kernel32.dll";
  const std::string version = FileVersionOf(kernel32);
  EXPECT_EQ(std::count(version.begin(), version.end(), '.'), 3) << version;
}

TEST(ReportEnvironment, WholeReportFromLiveValuesGoesThroughTheLog) {
  TReportData d;
  d.StartDate = d.ExceptionDate = LocalNow();
  d.TimeZoneHours = LocalTimeZoneHours();
  d.Environment = QueryReportEnvironment();
  d.ApplicationName = "report_env_test.exe";
  d.ExceptionType = "EAccessViolation";
  d.ExceptionMessage = "Access violation";
  d.ExceptionAddress = 0x00401000;
  d.ConsoleProgram = IsConsoleProgram();
  TReportLayout layout;
  layout.Texts = DefaultCustomizedTexts();
  layout.ReadThreadPriority = [](uint32_t) { return 0; };
  const TReportTexts t = BuildReportText(d, layout);
  EXPECT_EQ(t.Report.find("Active Controls"), std::string::npos);

  const std::string name = TempDir("flf_env") + "\\env.flf";
  DeleteFileA(name.c_str());
  {
    TLogFile log(name, false);
    log.AddReport(t.Report, 32);
    log.Save();
    // While the log is held open, another reader (a second process) can still open it.
    HANDLE other = CreateFileA(name.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                               OPEN_EXISTING, 0, nullptr);
    EXPECT_NE(other, INVALID_HANDLE_VALUE);
    CloseHandle(other);
  }
  TLogFile back(name, true);
  ASSERT_EQ(back.ReportCount(), 1);
  EXPECT_EQ(back.FieldValue("4.1", 0), d.Environment.ComputerName);
  EXPECT_EQ(back.FieldValue("2.5", 0), "Access violation.");
}

TEST(ReportEnvironment, LogFallsBackToTheUserProfile) {
  const std::string dir = TempDir("flf_fallback");
  const std::string blocker = dir + "\\blocker";
  HANDLE h = CreateFileA(blocker.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  CloseHandle(h);
  char profile[1024];
  ASSERT_GT(GetEnvironmentVariableA("UserProfile", profile, sizeof profile), 0u);
  TLogFile log(blocker + "\\prog.flf", false);
  EXPECT_EQ(log.FileName(), std::string(profile) + "\\Faultline\\report_env_test\\prog.flf");
}

TEST(ReportEnvironment, WarningsReachTheDebuggerOutput) {
  InstallInternalWarningOutput();
  EXPECT_NE(InternalWarningHooks().DebuggerOutput, nullptr);
  InternalWarning(eeLogError, 0x401000, "[Log] test");
  EXPECT_EQ(LastInternalWarning().Text, "[Log] test");
}

}  // namespace
