// The report text: numbered sections and their alignment, the value formats, and the three tables,
// checked against texts written out by hand.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "faultline/report/log_item.h"
#include "tests/unit/faultline/report/report_fixture.h"

namespace {

std::string Lines(std::initializer_list<const char*> lines) {
  std::string s;
  for (const char* l : lines) s += std::string(l) + "\r\n";
  return s;
}

TEST(LogItem, SectionWithHiddenItemKeepsNumbersAndAligns) {
  TLogItem log(0);
  log.AddHeader("Application");
  log.AddItem("Start Date", FormatDateR(EncodeDateTime(2026, 12, 6, 11, 40, 48), 1), true);
  log.AddItem("Name/Description", "prog.exe", true);
  log.AddItem("Version Number", "1.0.0.12", true);
  log.AddItem("Parameters", "\"x\"", false);
  log.AddItem("Compilation Date", FormatDateR(EncodeDateTime(2026, 12, 5, 18, 2, 11), 1), true);
  EXPECT_EQ(log.Text(), Lines({"Application:",
                               "------------------------------------------------------",
                               "  1.1 Start Date      : Sun, 6 Dec 2026 11:40:48 +0100",
                               "  1.2 Name/Description: prog.exe",
                               "  1.3 Version Number  : 1.0.0.12",
                               "  1.5 Compilation Date: Sat, 5 Dec 2026 18:02:11 +0100"}));
}

TEST(LogItem, AllHiddenSectionVanishesButKeepsItsNumber) {
  TLogItem log(0);
  for (int h = 0; h < 3; ++h) {
    log.AddHeader(h == 0 ? "A" : h == 1 ? "Hidden" : "C");
    log.AddItem("x", "1", h != 1);
  }
  EXPECT_EQ(log.Text(), Lines({"A:", "----------", "  1.1 x: 1", "", "C:", "----------", "  3.1 x: 1"}));
  TLogItem empty(0);
  empty.AddHeader("Only");
  empty.AddItem("x", "1", false);
  EXPECT_EQ(empty.Text(), "");
}

TEST(LogItem, MultiLineValueIsEncodedUnderTheValueColumn) {
  TLogItem log(0);
  log.AddHeader("H");
  log.AddItem("Long label", "1", true);
  log.AddItem("M", "a: b\r\n\r\nc", true);
  EXPECT_EQ(log.Text(), Lines({"H:", "----------------------", "  1.1 Long label: 1",
                               "  1.2 M         : a:_b", "                  .",
                               "                  c"}));
}

TEST(LogItem, CustomSectionHasEmptyLabel) {
  EXPECT_EQ(BuildCustomSection(DefaultLayout(), "order 17"),
            Lines({"Other Information:", "------------------", "  7.1 : order 17"}));
}

TEST(LogItem, ReproduceSectionFollowsTheGeneralTextInTheReport) {
  TReportTexts t;
  t.General = "General\r\n";
  t.CallStackAndModules = "Stack\r\n";
  t.Cpu = "Cpu\r\n";
  t.Report = t.General + "\r\n" + t.CallStackAndModules + t.Cpu;
  AddReproduceSection(t, DefaultLayout(), "");
  EXPECT_EQ(t.Report, "General\r\n\r\nStack\r\nCpu\r\n");  // nothing typed, nothing added
  AddReproduceSection(t, DefaultLayout(), "click twice\r\nthen wait");
  const std::string section = BuildReproduceSection(DefaultLayout(), "click twice\r\nthen wait");
  EXPECT_NE(section.find("  8.1 : click twice"), std::string::npos) << section;
  EXPECT_EQ(t.General, "General\r\n\r\n" + section);
  EXPECT_EQ(t.Report, t.General + "\r\nStack\r\nCpu\r\n");
}

TEST(ReportFormat, Values) {
  struct {
    std::string got, want;
  } cases[] = {
      {TimeZoneSuffix(1), "+0100"},
      {TimeZoneSuffix(-5), "-0500"},
      {TimeZoneSuffix(10), "+1000"},
      {TimeZoneSuffix(0), "+0000"},
      {TimeZoneSuffix(-10), "-1000"},
      {FormatDateR(EncodeDateTime(1999, 1, 1, 0, 0, 9), -5), "Fri, 1 Jan 1999 00:00:09 -0500"},
      {FormatDateR(EncodeDateTime(2024, 2, 29, 23, 59, 59), 0), "Thu, 29 Feb 2024 23:59:59 +0000"},
      {FormatDateTimeIso(EncodeDateTime(2009, 3, 21, 14, 6, 58)), "2009-03-21 14:06:58"},
      {MemoryText(1572864), "2 Mb"},
      {MemoryText(1048575), "1 Mb"},
      {DiskText(13421772800ull), "12.5 Gb"},
      {DiskText(107374182400ull), "100 Gb"},
      {DiskText(1073741824ull * 3 / 7), "0.43 Gb"},
      {UpTimeText(93601000), "1 day, 2 hours, 0 minute, 1 second"},
      {UpTimeText(2 * 86400000u + 61000), "2 days, 1 minute, 1 second"},
      {UpTimeText(59999), "0 minute, 59 seconds"},
      {ProcessorText("  Intel Pentium  ", "GenuineIntel", "x86 Family 6"), "Intel Pentium"},
      {ProcessorText("", "GenuineIntel", "x86 Family 6"), "GenuineIntel - x86 Family 6"},
      {ProcessorText("", "GenuineIntel", ""), "GenuineIntel"},
      {ProcessorText(" ", "", "x86"), "Unknown processor"},
      {OperatingSystemName(1, 4, 0, " B "), "Microsoft Windows 95 OSR 2"},
      {OperatingSystemName(1, 4, 10, "A"), "Microsoft Windows 98 SE"},
      {OperatingSystemName(1, 4, 90, ""), "Microsoft Windows ME"},
      {OperatingSystemName(2, 4, 0, ""), "Microsoft Windows NT 4.0"},
      {OperatingSystemName(2, 5, 1, ""), "Microsoft Windows XP"},
      {OperatingSystemName(2, 6, 1, ""), "Microsoft Windows Vista"},
      {OperatingSystemName(2, 10, 0, ""), "Microsoft Windows "},
      {PaddedAddress("192.168.1.10"), "192.168.001.010"},
      {PaddedAddress(""), "000.000.000.000"},
      {ReportPathFolder("C:\\x.dll"), "C:\\"},
      {ReportPathFolder("C:\\Windows\\system32\\x.dll"), "C:\\Windows\\system32"},
      {ReportPathFileName("C:\\Windows\\x.dll"), "x.dll"},
  };
  for (const auto& c : cases) EXPECT_EQ(c.got, c.want);
}

TEST(ReportFormat, NetworkListsOverTwoAdapters) {
  TReportEnvironment e;
  e.NetworkKnown = true;
  e.Adapters = {{true, "10.0.0.2", "255.0.0.0", "10.0.0.1", {"10.0.0.1"}},
                {false, "192.168.1.5", "255.255.255.0", "", {"8.8.8.8", "8.8.4.4"}}};
  const TNetworkTexts t = NetworkTexts(e);
  EXPECT_EQ(t.IpAddress, "010.000.000.002 - 192.168.001.005");
  EXPECT_EQ(t.Gateway, "010.000.000.001 - 000.000.000.000");
  EXPECT_EQ(t.Dns1, "010.000.000.001 - 008.008.008.008");
  EXPECT_EQ(t.Dns2, "000.000.000.000 - 008.008.004.004");
  EXPECT_EQ(t.Dhcp, "ON               - OFF             ");
  e.NetworkKnown = false;
  EXPECT_EQ(NetworkTexts(e).IpAddress, "");
}

TEST(ReportFormat, WebApplicationRules) {
  TWebApplicationFacts f;
  EXPECT_FALSE(IsWebApplication(f));
  f.RequestMethodVariable = true;  // only counts for a console program
  EXPECT_FALSE(IsWebApplication(f));
  f.ConsoleProgram = true;
  EXPECT_TRUE(IsWebApplication(f));
  f = {};
  f.ConsoleProgram = true;
  f.CgiRequestFile = true;  // only counts for a GUI program
  EXPECT_FALSE(IsWebApplication(f));
  f.ConsoleProgram = false;
  EXPECT_TRUE(IsWebApplication(f));
  f = {};
  f.ExportsHttpExtensionProc = true;
  EXPECT_TRUE(IsWebApplication(f));
}

TEST(CallStackTable, TwoThreadsAsWrittenByHand) {
  TFixedReport r;
  TReportLayout layout = DefaultLayout();
  layout.StackFlags = 0x1F;
  EXPECT_EQ(BuildCallStackSection(r.Data.Stack, r.Data.Threads, r.Data.MainThreadId, layout),
            Lines({"Call Stack Information:",
                   "------------------------------------------------------------",
                   "|Address |Module  |Unit    |Class  |Procedure/Method|Line  |",
                   "------------------------------------------------------------",
                   "| Exception Thread: ID=1412; Priority=0; Class=; [Main]    |",
                   "|----------------------------------------------------------|",
                   "|0044A1F2|prog.exe|Main.pas|TForm1 |Button1Click    |112[7]|",
                   "|----------------------------------------------------------|",
                   "|                                                          |",
                   "| Running Thread: ID=1516; Priority=0; Class=TWorker       |",
                   "|----------------------------------------------------------|",
                   "|0045B010|prog.exe|Work.pas|TWorker|Execute         |40[2] |",
                   "------------------------------------------------------------",
                   ""}));
}

TEST(CallStackTable, KindsPrioritiesAndCallingThreads) {
  TFixedReport r;
  TReportLayout layout = DefaultLayout();
  layout.StackFlags = 0x01;  // export names (kind 2) but not qualified ones (kind 3); no offsets
  std::vector<TFaultDebugInfo> stack = r.Data.Stack;
  stack[0].Kind = 3;  // not written: the next entry opens the first block
  stack[1].Kind = 2;
  TFaultDebugInfo calling = stack[1];
  calling.Running = false;  // same thread, stored creation stack: a new block
  calling.Line = 0;
  stack.push_back(calling);
  TFaultDebugInfo stranger = calling;
  stranger.ThreadId = 99;  // not in the thread list
  stack.push_back(stranger);
  std::vector<TFaultThreadInfo> threads = r.Data.Threads;
  threads[1].Priority = UnknownThreadPriority;
  int reads = 0;
  layout.ReadThreadPriority = [&](uint32_t id) { ++reads; return id == 1516 ? -2 : 0; };
  const std::string t = BuildCallStackSection(stack, threads, r.Data.MainThreadId, layout);
  EXPECT_NE(t.find("| Exception Thread: ID=1516; Priority=-2; Class=TWorker"), std::string::npos) << t;
  EXPECT_EQ(threads[1].Priority, static_cast<uint32_t>(-2));  // kept in the list
  EXPECT_EQ(reads, 1);
  EXPECT_EQ(t.find("0044A1F2"), std::string::npos);
  EXPECT_NE(t.find("-|\r\n| Calling Thread: ID=1516; Priority=-2; Class=TWorker"), std::string::npos) << t;
  EXPECT_NE(t.find("-|\r\n| Calling Thread: ID=99; Priority=??; Class= "), std::string::npos) << t;
  EXPECT_NE(t.find("|40  |"), std::string::npos) << t;  // no offset without bit 0x10
}

TEST(CallStackTable, LongThreadHeaderIsWrittenWhole) {
  TFixedReport r;
  TReportLayout layout = DefaultLayout();
  r.Data.Threads[0].HasThreadObject = true;
  r.Data.Threads[0].ThreadClassName = std::string(80, 'T');
  const std::string t =
      BuildCallStackSection(r.Data.Stack, r.Data.Threads, r.Data.MainThreadId, layout);
  EXPECT_NE(t.find("Class=" + std::string(80, 'T') + "; [Main]|"), std::string::npos) << t;
}

TEST(ModulesTable, ColumnsAndStub) {
  TFixedReport r;
  TReportLayout layout = DefaultLayout();
  EXPECT_EQ(BuildModulesSection(r.Data.Modules, layout),
            Lines({"Modules Information:",
                   std::string(116, '-').c_str(),
                   "|Handle  |Name        |Description                   |Version      |Size   |Modified           |Path               |",
                   std::string(116, '-').c_str(),
                   "|00400000|prog.exe    |Demo program                  |1.0.0.12     |1234567|2026-12-05 18:02:11|C:\\App             |",
                   "|7C800000|kernel32.dll|Windows NT BASE API Client DLL|5.1.2600.5781|989696 |2009-03-21 14:06:58|C:\\WINDOWS\\system32|",
                   std::string(116, '-').c_str(),
                   ""}));
  layout.LogSections = 0;
  EXPECT_EQ(BuildModulesSection(r.Data.Modules, layout),
            "Modules Information:\r\n--------------------\r\n\r\n");
  EXPECT_EQ(BuildCpuSection(r.Data.Cpu, layout), "Registers:\r\n----------\r\n\r\n");
}

TEST(CpuSection, RegistersAndDumpColumns) {
  TFixedReport r;
  const std::string t = BuildCpuSection(r.Data.Cpu, DefaultLayout());
  std::vector<std::string> lines;
  SplitLines(t, lines);
  ASSERT_EQ(lines.size(), 25u) << t;
  EXPECT_EQ(lines[0], "Registers:");
  EXPECT_EQ(lines[1], std::string(29, '-'));
  EXPECT_EQ(lines[2], "EAX: 00000000   EDI: 0012F5C4");
  EXPECT_EQ(lines[5], "EDX: 7C90E514   EIP: 0044A1F2");
  EXPECT_EQ(lines[6], "");
  EXPECT_EQ(lines[7], "Stack:               Memory Dump:");
  EXPECT_EQ(lines[8], std::string(18, '-') + "   " + std::string(75, '-'));
  // Dump line 2 (stack bytes 28, 35, 42, 49 at ESP + 4; memory bytes 16..31), by column.
  const std::string& l = lines[10];
  ASSERT_EQ(l.size(), 96u);
  auto col = [&](size_t from, size_t to) { return l.substr(from - 1, to - from + 1); };
  EXPECT_EQ(col(1, 8), "0012F4D4");
  EXPECT_EQ(col(11, 18), "312A231C");
  EXPECT_EQ(col(22, 29), "0044A202");
  EXPECT_EQ(col(32, 78), "10 11 12 13 14 15 16 17 18 19 1A 1B 1C 1D 1E 1F");
  EXPECT_EQ(col(81, 96), "................");
  EXPECT_EQ(lines[12].substr(80), "0123456789:;<=>?");
  EXPECT_EQ(lines[24].substr(31, 47), "F0 F1 F2 F3 F4 F5 F6 F7 F8 F9 FA FB FC FD FE FF");
  EXPECT_EQ(lines[24].substr(80), "................");

  TCpuSnapshot none;
  const std::string n = BuildCpuSection(none, DefaultLayout());
  EXPECT_NE(n.find("EAX: ????       EDI: ????    \r\n"), std::string::npos);
  EXPECT_EQ(n.substr(n.size() - 2), "\r\n");
  EXPECT_EQ(n.find("0000"), std::string::npos);  // no dump lines without context
}

TEST(WideReport, CallStackAndModulesTablesAsWrittenByHand) {
  TFixedReport64 r;
  TReportLayout layout = DefaultLayout();
  layout.StackFlags = 0x1F;
  EXPECT_EQ(BuildCallStackSection(r.Data.Stack, r.Data.Threads, r.Data.MainThreadId, layout, true),
            Lines({"Call Stack Information:",
                   "--------------------------------------------------------------------",
                   "|Address         |Module  |Unit    |Class  |Procedure/Method|Line  |",
                   "--------------------------------------------------------------------",
                   "| Exception Thread: ID=1412; Priority=0; Class=; [Main]            |",
                   "|------------------------------------------------------------------|",
                   "|0000000140001A2F|prog.exe|Main.pas|TForm1 |Button1Click    |112[7]|",
                   "|------------------------------------------------------------------|",
                   "|                                                                  |",
                   "| Running Thread: ID=1516; Priority=0; Class=TWorker               |",
                   "|------------------------------------------------------------------|",
                   "|0000000140002B10|prog.exe|Work.pas|TWorker|Execute         |40[2] |",
                   "--------------------------------------------------------------------",
                   ""}));
  // A module loaded low still gets all 16 digits in a 64-bit report.
  r.Data.Modules[1].Handle = 0x7C800000;
  EXPECT_EQ(BuildModulesSection(r.Data.Modules, layout, true),
            Lines({"Modules Information:",
                   std::string(124, '-').c_str(),
                   "|Handle          |Name        |Description                   |Version      |Size   |Modified           |Path               |",
                   std::string(124, '-').c_str(),
                   "|0000000140000000|prog.exe    |Demo program                  |1.0.0.12     |1234567|2026-12-05 18:02:11|C:\\App             |",
                   "|000000007C800000|kernel32.dll|Windows NT BASE API Client DLL|5.1.2600.5781|989696 |2009-03-21 14:06:58|C:\\WINDOWS\\system32|",
                   std::string(124, '-').c_str(),
                   ""}));
}

TEST(WideReport, CpuSectionRegistersAndDumpColumns) {
  TFixedReport64 r;
  const std::string t = BuildCpuSection(r.Data.Cpu, DefaultLayout());
  std::vector<std::string> lines;
  SplitLines(t, lines);
  ASSERT_EQ(lines.size(), 33u) << t;
  const std::vector<std::string> head(lines.begin(), lines.begin() + 18);
  EXPECT_EQ(head, (std::vector<std::string>{
                      "Registers:",
                      "------------------------------------------------",
                      "RAX: 0000000000000000   R8    : 8000000000000008",
                      "RBX: 000000000069F3A0   R9    : 0000000000000009",
                      "RCX: 00007FF8A1B2C0DE   R10   : 0000000000000010",
                      "RDX: 0000000000000001   R11   : 0000000000000246",
                      "RSI: 000000000069E0D8   R12   : FEDCBA9876543210",
                      "RDI: 000000000022F5C4   R13   : 000000000000000D",
                      "RBP: 000000000022FDA0   R14   : 000000000000000E",
                      "RSP: 000000000022FD40   R15   : FFFFFFFFFFFFFFFF",
                      "RIP: 0000000140001A2F   EFLAGS: 00010246",
                      "CS : 0033               DS    : 002B",
                      "ES : 002B               FS    : 0053",
                      "GS : 002B               SS    : 002B",
                      "",
                      "Stack:                               Memory Dump:",
                      std::string(34, '-') + "   " + std::string(83, '-'),
                      "000000000022FD40: 312A231C150E0700   0000000140001A2F: 00 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F  ................",
                  }))
      << t;
  // Dump line 2: the stack word at RSP + 8 (bytes 56, 63, ... 105), memory bytes 16..31.
  const std::string& l = lines[18];
  ASSERT_EQ(l.size(), 120u);
  auto col = [&](size_t from, size_t to) { return l.substr(from - 1, to - from + 1); };
  EXPECT_EQ(col(1, 16), "000000000022FD48");
  EXPECT_EQ(col(19, 34), "69625B544D463F38");
  EXPECT_EQ(col(38, 53), "0000000140001A3F");
  EXPECT_EQ(col(56, 102), "10 11 12 13 14 15 16 17 18 19 1A 1B 1C 1D 1E 1F");
  EXPECT_EQ(col(105, 120), "................");
  EXPECT_EQ(lines[32].substr(0, 16), "000000000022FDB8");  // the 16th word: RSP + 120

  TCpuSnapshot none;
  none.Wide = true;
  const std::string n = BuildCpuSection(none, DefaultLayout());
  EXPECT_NE(n.find("RAX: ????????????????   R8    : ????????????????\r\n"), std::string::npos) << n;
  EXPECT_NE(n.find("RIP: ????????????????   EFLAGS: ????????\r\n"), std::string::npos) << n;
  EXPECT_NE(n.find("GS : ????               SS    : ????\r\n"), std::string::npos) << n;
  EXPECT_EQ(n.substr(n.size() - 2), "\r\n");
  EXPECT_EQ(n.find("0000"), std::string::npos);  // no dump lines without context
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

TEST(WholeReport, MatchesGoldenText) {
  TFixedReport r;
  TReportLayout layout = DefaultLayout();
  layout.StackFlags = 0x1F;
  r.Data.HasCustomData = true;
  r.Data.CustomData = "Customer: 42\r\n\r\nNote";
  const TReportTexts t = BuildReportText(r.Data, layout);
  const std::string golden = std::string(TARN_SOURCE_DIR) + "/tests/unit/faultline/report/golden/report.txt";
  if (const char* regen = std::getenv("TARN_REGENERATE_GOLDEN"); regen && *regen) {
    std::ofstream(golden, std::ios::binary) << t.Report;
  }
  EXPECT_EQ(t.Report, ReadFile(golden));
  EXPECT_EQ(t.Report.substr(0, 18), "Faultline 5.1.11\r\n");
  EXPECT_EQ(t.Address, "0044A1F2");
  EXPECT_EQ(t.Message, "Access violation at address 0044A1F2. Read of address 00000000.");
  EXPECT_EQ(t.Report.find(t.General), 0u);
}

TEST(WholeReport, WideReportMatchesGoldenText) {
  TFixedReport64 r;
  TReportLayout layout = DefaultLayout();
  layout.StackFlags = 0x1F;
  const TReportTexts t = BuildReportText(r.Data, layout);
  const std::string golden = std::string(TARN_SOURCE_DIR) + "/tests/unit/faultline/report/golden/report64.txt";
  if (const char* regen = std::getenv("TARN_REGENERATE_GOLDEN"); regen && *regen) {
    std::ofstream(golden, std::ios::binary) << t.Report;
  }
  EXPECT_EQ(t.Report, ReadFile(golden));
  EXPECT_NE(t.General.find("\r\n  2.2 Address: 0000000140001A2F\r\n"), std::string::npos) << t.General;
  EXPECT_EQ(t.Address, "0000000140001A2F");
}

TEST(WholeReport, ConsoleProgramDropsActiveControlsAndKeepsNumbers) {
  TFixedReport r;
  r.Data.ConsoleProgram = true;
  r.Data.ValidObject = false;
  r.Data.HasMessage = false;
  const std::string g = BuildGeneralText(r.Data, DefaultLayout());
  EXPECT_EQ(g.find("Active Controls"), std::string::npos);
  EXPECT_NE(g.find("\r\n\r\nComputer:\r\n"), std::string::npos);
  EXPECT_NE(g.find("  4.1 Name"), std::string::npos);
  EXPECT_NE(g.find(": Unknown exception type.\r\n"), std::string::npos);
  EXPECT_NE(g.find(": Unknown error message.\r\n"), std::string::npos);
}

// A report with a minidump names it as the last row of the exception section; the XML export
// carries it like any general row.
TEST(WholeReport, MinidumpIsNamedInTheExceptionSection) {
  TFixedReport r;
  r.Data.MinidumpFile = "app_20261211120000.dmp";
  const std::string g = BuildGeneralText(r.Data, DefaultLayout());
  const size_t message = g.find("  2.5 Message");
  const size_t dump = g.find("  2.6 Minidump");
  ASSERT_NE(message, std::string::npos) << g;
  ASSERT_NE(dump, std::string::npos) << g;
  EXPECT_LT(message, dump);
  EXPECT_NE(g.find(": app_20261211120000.dmp\r\n\r\nActive Controls:"), std::string::npos) << g;
}

}  // namespace
