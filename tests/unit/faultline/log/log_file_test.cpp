// The log file: round trips through real files, the reader's tolerance, field values, the
// duplicate search, the folder fallback and the save step.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "faultline/internal/internal_warning.h"
#include "faultline/log/log_file.h"
#include "faultline/log/log_flow.h"
#include "tests/unit/faultline/report/report_fixture.h"

namespace {

class LogFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/flf_test_XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
  }
  void TearDown() override { std::system(("rm -rf '" + dir_ + "'").c_str()); }

  std::string Path(const std::string& name) const { return dir_ + "/" + name; }
  static void Write(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
  }
  static std::string Read(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }
  // A small report of the real layout whose message is `message`.
  static std::string Report(const std::string& message, int hour = 11) {
    TFixedReport r;
    r.Data.ExceptionMessage = message;
    r.Data.ExceptionDate = EncodeDateTime(2026, 12, 6, hour, 0, 0);
    r.Data.Modules.resize(1);
    return BuildReportText(r.Data, DefaultLayout()).Report;
  }

  std::string dir_;
};

TEST_F(LogFileTest, AddingBeyondTheMaximumKeepsTheNewest) {
  const std::string name = Path("prog.flf");
  {
    TLogFile log(name, false);
    for (int i = 1; i <= 4; ++i) log.AddReport(Report("m" + std::to_string(i)), 10);
    log.Save();
  }
  TLogFile log(name, false);
  ASSERT_EQ(log.ReportCount(), 4);
  log.AddReport(Report("m5"), 3);
  log.Save();
  TLogFile again(name, true);
  ASSERT_EQ(again.ReportCount(), 3);
  EXPECT_EQ(again.FieldValue("2.5", 0), "m3.");
  EXPECT_EQ(again.FieldValue("2.5", 2), "m5.");
  // The bytes on disk are the reports, each with three CR LF, joined by one CR LF.
  EXPECT_EQ(Read(name), Report("m3") + "\r\n\r\n\r\n\r\n" + Report("m4") + "\r\n\r\n\r\n\r\n" +
                            Report("m5") + "\r\n\r\n\r\n");
  EXPECT_EQ(again.ReportVersion(1), "5.1.11");
}

TEST_F(LogFileTest, SavingAShorterLogTruncatesTheFile) {
  const std::string name = Path("t.flf");
  {
    TLogFile log(name, false);
    for (int i = 0; i < 3; ++i) log.AddReport(Report(std::string(500, 'x')), 5);
    log.Save();
  }
  TLogFile log(name, false);
  log.AddReport(Report("short"), 1);
  log.Save();
  EXPECT_EQ(Read(name), Report("short") + "\r\n\r\n\r\n");
}

TEST_F(LogFileTest, ReportsWithSectionStubsSurviveRoundTrips) {
  // With the modules and CPU sections switched off a report ends in an empty line: the
  // separator run is longer, and every report must still start at its banner.
  TFixedReport r;
  TReportLayout layout = DefaultLayout();
  layout.LogSections = 0;
  const std::string report = BuildReportText(r.Data, layout).Report;
  const std::string name = Path("stub.flf");
  for (int round = 0; round < 3; ++round) {
    TLogFile log(name, false);
    log.AddReport(report, 32);
    log.Save();
  }
  TLogFile log(name, true);
  ASSERT_EQ(log.ReportCount(), 3);
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(log.Report(i), report + "\r\n\r\n\r\n");
    EXPECT_EQ(log.ReportVersion(i), "5.1.11");
  }
}

TEST_F(LogFileTest, LfOnlyLogReadsAsCrLf) {
  std::string crlf = Report("a") + "\r\n\r\n\r\n\r\n" + Report("b") + "\r\n\r\n\r\n";
  std::string lf;
  for (char c : crlf)
    if (c != '\r') lf += c;
  Write(Path("lf.flf"), lf);
  TLogFile log(Path("lf.flf"), true);
  ASSERT_EQ(log.ReportCount(), 2);
  EXPECT_EQ(log.Report(1), Report("b") + "\r\n\r\n\r\n");
  EXPECT_EQ(log.FieldValue("2.5", 0), "a.");
}

TEST_F(LogFileTest, HandWrittenNoteIsDroppedAtNextLoad) {
  const std::string name = Path("note.flf");
  Write(name, "my note about the crash\r\n\r\n\r\n\r\n" + Report("a") + "\r\n\r\n\r\n\r\nanother note\r\n");
  {
    TLogFile log(name, false);
    ASSERT_EQ(log.ReportCount(), 1);
    log.AddReport(Report("b"), 32);
    log.Save();
  }
  const std::string bytes = Read(name);
  EXPECT_EQ(bytes.find("note"), std::string::npos);
  EXPECT_EQ(bytes, Report("a") + "\r\n\r\n\r\n\r\n" + Report("b") + "\r\n\r\n\r\n");
}

TEST_F(LogFileTest, ShortAndUnterminatedFiles) {
  Write(Path("tiny.flf"), "-\r\n|");
  EXPECT_EQ(TLogFile(Path("tiny.flf"), true).ReportCount(), 0);
  // A report without its closing CR LF run still counts.
  std::string cut = Report("a");
  cut.resize(cut.size() - 2);
  Write(Path("cut.flf"), cut);
  TLogFile log(Path("cut.flf"), true);
  ASSERT_EQ(log.ReportCount(), 1);
  EXPECT_EQ(log.FieldValue("2.5", 0), "a.");
  EXPECT_EQ(log.FieldValue("2.5", 1), "");
  EXPECT_EQ(log.FieldValue("9.9", 0), "");
}

TEST_F(LogFileTest, SaveThenLoadGivesTheSameReports) {
  // A report whose separator run is only four CR LF long, followed by a note: what the save
  // writes must load back unchanged (found by fuzzing the loader).
  std::string r = Report("a");
  r.resize(r.size() - 2);
  const std::string name = Path("short-run.flf");
  Write(name, r + "\r\n\r\n\r\n\r\nnote");
  std::vector<std::string> first;
  {
    TLogFile log(name, false);
    ASSERT_EQ(log.ReportCount(), 1);
    first.push_back(log.Report(0));
    log.Save();
  }
  TLogFile again(name, false);
  ASSERT_EQ(again.ReportCount(), 1);
  EXPECT_EQ(again.Report(0), first[0]);
  EXPECT_EQ(SplitLogText(again.WholeText()), std::vector<std::string>{first[0]});
}

TEST_F(LogFileTest, FieldValuesOfMultiLineItems) {
  struct {
    std::string message, want;
  } cases[] = {
      {"a: b\r\n\r\nc", "a: b\r\n \r\nc."},
      {"first\r\nsecond", "first\r\nsecond."},
      {"\r\nafter blank", "after blank."},  // the blank first line is trimmed away
      {"one line", "one line."},
  };
  TLogFile log(Path("none.flf"), true);
  for (const auto& c : cases) {
    log.AddReport(Report(c.message), 32);
    EXPECT_EQ(log.FieldValue("2.5", log.ReportCount() - 1), c.want) << c.message;
    EXPECT_EQ(log.FieldValue("2.4", log.ReportCount() - 1), "EAccessViolation");
  }
  // The stored form of the three-line value: ": " kept apart, blank line as ".", aligned lines.
  const std::string& r = log.Report(0);
  EXPECT_NE(r.find("  2.5 Message: a:_b\r\n               .\r\n               c.\r\n"),
            std::string::npos)
      << r;
}

TEST_F(LogFileTest, DuplicateSearchNeedsAllFourValues) {
  TFixedReport base;
  TLogFile log(Path("dup.flf"), true);
  log.AddReport(BuildReportText(base.Data, DefaultLayout()).Report, 32);
  TFixedReport multi;
  multi.Data.ExceptionMessage = "two\r\nlines: here\r\n\r\nend";
  log.AddReport(BuildReportText(multi.Data, DefaultLayout()).Report, 32);

  const std::vector<std::string> items = {"2.2", "2.3", "2.4", "2.5"};
  auto find = [&](const TReportData& d) {
    TReportData copy = d;
    const TReportTexts t = BuildReportText(copy, DefaultLayout());
    return log.FindReport(items, {t.Address, t.Module, t.Type, t.Message});
  };
  TFixedReport other;
  other.Data.ExceptionDate += 3.5;  // a later date does not matter
  other.Data.StartDate += 1;
  EXPECT_TRUE(find(other.Data));
  EXPECT_TRUE(find(multi.Data));
  other.Data.ExceptionAddress += 1;
  EXPECT_FALSE(find(other.Data));
  TFixedReport m;
  m.Data.ExceptionModule = "other.dll";
  EXPECT_FALSE(find(m.Data));
  TFixedReport t;
  t.Data.ExceptionType = "EAccessViolationX";
  EXPECT_FALSE(find(t.Data));
  TFixedReport p;
  p.Data.ExceptionMessage += " ";  // a prefix of the stored value is no match
  EXPECT_FALSE(find(p.Data));
  TFixedReport q;
  q.Data.ExceptionMessage = "two\r\nlines: here\r\n\r\nEnd";
  EXPECT_FALSE(find(q.Data));
}

// A 64-bit program's report saved beside a 32-bit one: fields, sections and the duplicate search
// with its 16-digit address.
TEST_F(LogFileTest, WideReportFieldsSectionsAndDuplicates) {
  const std::string name = Path("wide.flf");
  {
    TLogFile log(name, false);
    TFixedReport narrow;
    log.AddReport(BuildReportText(narrow.Data, DefaultLayout()).Report, 32);
    TFixedReport64 wide;
    log.AddReport(BuildReportText(wide.Data, DefaultLayout()).Report, 32);
    log.Save();
  }
  TLogFile log(name, true);
  ASSERT_EQ(log.ReportCount(), 2);
  EXPECT_EQ(log.FieldValue("2.2", 1), "0000000140001A2F");
  EXPECT_EQ(log.FieldValue("2.2", 0), "0044A1F2");
  EXPECT_EQ(log.CpuSection(1).substr(0, 12), "Registers:\r\n") << log.CpuSection(1);
  EXPECT_NE(log.CpuSection(1).find("000000000022FD40: 312A231C150E0700"), std::string::npos);
  EXPECT_NE(log.ModulesTable(1).find("|00007FF8A1B20000|kernel32.dll|"), std::string::npos);
  EXPECT_NE(log.CallStackTable(1).find("|0000000140002B10|prog.exe|"), std::string::npos);

  const std::vector<std::string> items = {"2.2", "2.3", "2.4", "2.5"};
  auto find = [&](TReportData& d) {
    const TReportTexts t = BuildReportText(d, DefaultLayout());
    return log.FindReport(items, {t.Address, t.Module, t.Type, t.Message});
  };
  TFixedReport64 same;
  EXPECT_TRUE(find(same.Data));
  // Same low half, another high half: a different address.
  TFixedReport64 high;
  high.Data.ExceptionAddress += 0x100000000ull;
  EXPECT_FALSE(find(high.Data));
}

TEST_F(LogFileTest, FolderFallbackWhenTheFolderIsNotWritable) {
  // A path below a regular file cannot be created, even as root.
  Write(Path("blocker"), "x");
  const std::string profile = Path("profile");
  ASSERT_EQ(mkdir(profile.c_str(), 0755), 0);
  setenv("UserProfile", profile.c_str(), 1);
  const std::string wanted = Path("blocker") + "/prog.flf";
  // The fallback folder is named after the running program.
  const std::string program = std::filesystem::read_symlink("/proc/self/exe").filename().string();
  const std::string fallback = profile + "/Faultline/" + program + "/prog.flf";
  {
    TLogFile log(wanted, false);
    EXPECT_EQ(log.FileName(), fallback);
    log.AddReport(Report("a"), 32);
    log.Save();
  }
  struct stat st;
  EXPECT_EQ(stat(fallback.c_str(), &st), 0);
  // A writable place is used as it is, and the test open leaves no file behind.
  TLogFile direct(Path("here.flf"), false);
  EXPECT_EQ(direct.FileName(), Path("here.flf"));
  EXPECT_NE(stat(Path("here.flf").c_str(), &st), 0);
  unsetenv("UserProfile");
}

TEST_F(LogFileTest, SaveStepAddsOnceAndRetriesAfterFailure) {
  const std::string good = Path("good.flf");
  std::string name = Path("missing-dir/none/x.flf");  // cannot be created, no fallback profile
  setenv("UserProfile", Path("no-such-profile/deeper").c_str(), 1);
  ClearInternalWarning();
  TLogSaveRequest req;
  req.LogFileName = [&] { return name; };
  req.ReportText = Report("a");
  req.SendFlags = SendWholeLog;
  int failures = 0, before = 0, after = 0;
  TLogSaveEvents ev;
  ev.BeforeSave = [&](bool& allowed) { ++before; EXPECT_TRUE(allowed); };
  ev.SaveFailed = [&](bool& retry) {
    ++failures;
    name = good;  // the handler fixes the options and asks again
    retry = true;
  };
  ev.AfterSave = [&] { ++after; };
  const TLogSaveResult res = SaveReportToLog(req, ev, DefaultLogStorage());
  EXPECT_TRUE(res.Saved);
  EXPECT_EQ(failures, 1);
  EXPECT_EQ(before, 1);
  EXPECT_EQ(after, 1);
  EXPECT_EQ(LastInternalWarning().Code, eeLogError);
  EXPECT_EQ(LastInternalWarning().Text.rfind("[Log] ", 0), 0u) << LastInternalWarning().Text;
  EXPECT_EQ(TLogFile(good, true).ReportCount(), 1);
  EXPECT_EQ(res.DeliveryText, Report("a") + "\r\n\r\n\r\n");

  // A retry with the same name reloads the file: the report is not added twice.
  TLogSaveRequest again = req;
  again.LogFileName = [&] { return good; };
  bool saveAllowed = false;
  ev.BeforeSave = [&](bool& allowed) { allowed = saveAllowed; };
  const TLogSaveResult notSaved = SaveReportToLog(again, ev, DefaultLogStorage());
  EXPECT_FALSE(notSaved.Saved);
  EXPECT_EQ(TLogFile(good, true).ReportCount(), 1);
  EXPECT_EQ(notSaved.DeliveryText.size(), 2 * (Report("a").size() + 6) + 2);
  unsetenv("UserProfile");
}

// Several processes save into one log at the same moment: each save reads, adds and replaces the
// log under its lock, so no report is lost, and a reader never sees a half-written log.
TEST_F(LogFileTest, ConcurrentSavesFromSeveralProcessesLoseNothing) {
  const std::string name = Path("shared.flf");
  constexpr int processes = 4, each = 25;
  std::vector<pid_t> children;
  for (int p = 0; p < processes; ++p) {
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      for (int i = 0; i < each; ++i) {
        TLogSaveRequest req;
        req.LogSaved = true;
        req.LogMaxReports = 1000;
        req.LogFileName = [&] { return name; };
        req.ReportText = Report(("p" + std::to_string(p) + "-" + std::to_string(i)).c_str());
        if (!SaveReportToLog(req, TLogSaveEvents{}, DefaultLogStorage()).Saved) _exit(1);
        // Whoever reads meanwhile finds whole reports only.
        if (TLogFile(name, true).ReportCount() < 1) _exit(2);
      }
      _exit(0);
    }
    children.push_back(pid);
  }
  for (pid_t pid : children) {
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  }
  EXPECT_EQ(TLogFile(name, true).ReportCount(), processes * each);
}

TEST_F(LogFileTest, DuplicateAndVersionChangeSteps) {
  const std::string name = Path("v.flf");
  TFixedReport r;
  TReportTexts t = BuildReportText(r.Data, DefaultLayout());
  {
    TLogFile log(name, false);
    log.AddReport(t.Report, 32);
    log.Save();
  }
  EXPECT_FALSE(IsDuplicateReport(0x30, name, t, DefaultLogStorage()));
  EXPECT_TRUE(IsDuplicateReport(0x31, name, t, DefaultLogStorage()));
  EXPECT_FALSE(DeleteLogOnVersionChange(0x30, name, "2.0.0.0", DefaultLogStorage()));
  EXPECT_FALSE(DeleteLogOnVersionChange(0x34, name, "1.0.0.12", DefaultLogStorage()));
  EXPECT_TRUE(DeleteLogOnVersionChange(0x34, name, "2.0.0.0", DefaultLogStorage()));
  struct stat st;
  EXPECT_NE(stat(name.c_str(), &st), 0);
}

TEST(InternalWarningChannel, DebuggerLineAndMessageBoxForDeliveryCodes) {
  static std::vector<std::string> out, boxes;
  out.clear();
  boxes.clear();
  TInternalWarningHooks saved = InternalWarningHooks();
  InternalWarningHooks().DebuggerOutput = [](const std::string& l) { out.push_back(l); };
  InternalWarningHooks().SendWindowExists = [] { return true; };
  InternalWarningHooks().ShowMessage = [](const std::string& t, const std::string& c) {
    boxes.push_back(c + "|" + t);
  };
  InternalWarning(eeLogError, 0x40A1B2, "[Log] disk full");
  InternalWarning(eeWebFTPError, 0, "no route");
  InternalWarningHooks() = saved;
  ASSERT_EQ(out.size(), 2u);
  EXPECT_EQ(out[0], "[WARNING] - Code: eeLogError - Address: 0040A1B2 - Message: \"[Log] disk full\"");
  EXPECT_EQ(boxes, std::vector<std::string>{"Error.|no route"});
  EXPECT_EQ(LastInternalWarning().Code, eeWebFTPError);
}

}  // namespace
