// The exception dialog's decisions without windows: the rich text of its text pages, its tab order,
// its remembered geometry pulled back onto the screen, the rows of its lists with collapsible
// thread headers, and the source-location message.
#include <gtest/gtest.h>

#include <cstring>

#include "faultline/ui/dialog_model.h"
#include "tests/unit/faultline/report/report_fixture.h"

namespace {

TEST(DialogRichText, EscapesAndColoursTheGeneralText) {
  const std::string text =
      "Faultline 5.1.11\r\n\r\nApplication:\r\n-----\r\n  1.1 Start Date : {x} C:\\dir\r\n  plain line\r\n";
  const std::string rtf = GeneralRichText(text, 134, "Courier New", 10);
  EXPECT_EQ(rtf.rfind("{\\rtf1\\ansi\\ansicpg1252\\deff0\\deflang1040{\\fonttbl{\\f0\\fmodern\\fprq1\\fcharset134 Courier New;}}\r\n", 0), 0u);
  EXPECT_NE(rtf.find("\\f0\\fs20\r\n\\cf1\\b Faultline 5.1.11\\par\\b0\r\n\\par\r\n"), std::string::npos);
  EXPECT_NE(rtf.find("\\cf3\\b Application:\\par\\b0\r\n"), std::string::npos) << "a header line";
  EXPECT_NE(rtf.find("\\cf3 -----\\par\r\n"), std::string::npos);
  EXPECT_NE(rtf.find("\\cf2   1.1 Start Date :\\cf4  \\{x\\} C:\\\\dir\\par\r\n"), std::string::npos);
  EXPECT_NE(rtf.find("\r\n  plain line\\par\r\n}"), std::string::npos);
}

TEST(DialogRichText, DoubleByteCharactersGoAsByteValuesWhole) {
  // GBK "\x81\x5C" ends in the byte of a backslash and "\xB1\xED" (\u8868) is an ordinary pair:
  // neither byte of a pair may be escaped on its own.
  const std::string rtf = GeneralRichText("  2.5 Message: \x81\x5C\xB1\xED{\r\n", 134, "SimSun", 9);
  EXPECT_NE(rtf.find("\\'81\\'5c\\'b1\\'ed\\{"), std::string::npos) << rtf;
}

TEST(DialogRichText, MarksTheCpuColumns) {
  const std::string text =
      "Registers:\r\n"
      "-----------------------------\r\n"
      "EAX: 12345678   EDI: 00000001\r\n"
      "EBX: 00000000   ESI: 00000000\r\n"
      "ECX: 00000000   ESP: 0012FF00\r\n"
      "EDX: 00000000   EIP: 00401234\r\n"
      "\r\n"
      "Stack:               Memory Dump:\r\n"
      "------------------   ------------\r\n"
      "0012FF00: 00000000   00401230: 00 07 0E 15 1C 23 2A 31 38 3F 46 4D 54 5B 62 69  .....#*18?FMT[bi\r\n";
  const std::string rtf = CpuRichText(text, 0, "Lucida Console", 8, 2205);
  EXPECT_NE(rtf.find("\\cf3\\b Registers:\\par\\cf2\\b0"), std::string::npos);
  EXPECT_NE(rtf.find("EAX: \\cf4 12345678\\cf2    EDI: \\cf4 00000001\\cf2 \\par"), std::string::npos);
  EXPECT_NE(rtf.find("\\pard\\tx2205\\cf3\\b Stack:\\tab Memory Dump:\\par\\cf2\\b0"), std::string::npos);
  EXPECT_NE(rtf.find("\\cf3 ------------------\\tab ------------\\par\\cf2"), std::string::npos);
  EXPECT_NE(rtf.find("0012FF00: \\cf4 00000000\\cf2 \\tab 00401230: \\cf4 00 07"), std::string::npos);
}

// A 64-bit context as the report writes it: its values are coloured wherever the wider columns
// put them, and the stack column up to the tab is 37 characters.
TEST(DialogRichText, MarksTheColumnsOfA64BitContext) {
  TFixedReport64 r;
  const std::string text = BuildCpuSection(r.Data.Cpu, DefaultLayout());
  EXPECT_EQ(CpuStackColumnChars(text), 37u);
  TFixedReport narrow;
  EXPECT_EQ(CpuStackColumnChars(BuildCpuSection(narrow.Data.Cpu, DefaultLayout())), 21u);
  const std::string rtf = CpuRichText(text, 0, "Lucida Console", 8, 3900);
  EXPECT_NE(rtf.find("RAX: \\cf4 0000000000000000\\cf2    R8    : \\cf4 8000000000000008\\cf2 \\par"),
            std::string::npos) << rtf;
  EXPECT_NE(rtf.find("RIP: \\cf4 0000000140001A2F\\cf2    EFLAGS: \\cf4 00010246\\cf2 \\par"),
            std::string::npos) << rtf;
  EXPECT_NE(rtf.find("CS : \\cf4 0033\\cf2                DS    : \\cf4 002B\\cf2 \\par"),
            std::string::npos) << rtf;
  EXPECT_NE(rtf.find("\\pard\\tx3900\\cf3\\b Stack:\\tab Memory Dump:\\par\\cf2\\b0"), std::string::npos) << rtf;
  EXPECT_NE(rtf.find("\\cf3 " + std::string(34, '-') + "\\tab " + std::string(83, '-') + "\\par\\cf2"),
            std::string::npos) << rtf;
  EXPECT_NE(rtf.find("\r\n000000000022FD48: \\cf4 69625B544D463F38\\cf2 \\tab 0000000140001A3F: \\cf4 10 11 12 13 14 "
                     "15 16 17 18 19 1A 1B 1C 1D 1E 1F\\cf2   ................\\par"),
            std::string::npos) << rtf;
}

TEST(DialogTabs, PagesKeepTheirOrderWhenTabsAreMissing) {
  TDialogTabs noModules{false, true, false};
  EXPECT_EQ(noModules.TabOf(PageCpu), 2);
  EXPECT_EQ(noModules.TabOf(PageModules), -1);
  EXPECT_EQ(noModules.FirstPage(4), PageGeneral) << "custom page without custom data";
  EXPECT_EQ(noModules.FirstPage(2), PageGeneral) << "a page without its tab";
  EXPECT_EQ(noModules.FirstPage(0x83), PageCpu) << "bit 7 is not part of the page";
  TDialogTabs all{true, true, true};
  EXPECT_EQ(all.TabOf(PageCustom), 4);
  EXPECT_EQ(all.FirstPage(4), PageCustom);
}

TEST(DialogLayout, BottomAreaAndPlacement) {
  EXPECT_EQ(BottomAreaHeight(true, true, false, false), 34);
  EXPECT_EQ(BottomAreaHeight(false, false, true, true), 34);
  EXPECT_EQ(BottomAreaHeight(true, false, true, false), 20);
  EXPECT_EQ(BottomAreaHeight(false, false, false, false), 0);
  const int left = 5000, top = 30;
  TDialogGeometry g = PlaceDialog(1024, 768, 745, 468, &left, &top, 1, 34);
  EXPECT_EQ(g.Left, 1024 - 745) << "at the right screen edge";
  EXPECT_EQ(g.Top, 30);
  g = PlaceDialog(1024, 768, 745, 468, nullptr, nullptr, 3, 34);
  EXPECT_EQ(g.Left, (1024 - 745) / 2);
  EXPECT_EQ(g.Top, (768 - 468 - 34) / 2);
  EXPECT_EQ(g.WindowState, 3);
  const int negative = -50;
  g = PlaceDialog(640, 480, 745, 500, &negative, &negative, 1, 34);
  EXPECT_EQ(g.Left, 0);
  EXPECT_EQ(g.Top, 0);
}

TEST(DialogLists, VersionsAndModuleImages) {
  EXPECT_EQ(ShortVersion("5.1.2600.2180"), "5.1.x");
  EXPECT_EQ(ShortVersion("1.0"), "1.0");
  EXPECT_EQ(ShortVersion(""), "");
  EXPECT_EQ(ModuleImage("C:\\a\\rtl60.BPL"), ImageBpl);
  EXPECT_EQ(ModuleImage("C:\\a\\x.dpl"), ImageBpl);
  EXPECT_EQ(ModuleImage("C:\\a.b\\prog.exe"), ImageVcl);
  EXPECT_EQ(ModuleImage("C:\\a\\k.dll"), ImageDll);
  TFaultModuleInfo m;
  m.Handle = 0x400000;
  m.Path = "C:\\Tarn\\Tarn.exe";
  m.FileSize = 1535;  // 1.499 KiB
  m.Version = "5.1.2600.2180";
  const std::vector<TListRowSpec> rows = ModuleRows({m});
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0].Cells[0], "00400000");
  EXPECT_EQ(rows[0].Cells[3], "5.1.x");
  EXPECT_EQ(rows[0].Cells[4], "1 Kb");
  EXPECT_EQ(rows[0].Cells[6], "C:\\Tarn");
}

TEST(DialogLists, CallStackRowsGroupThreadsUnderHeaders) {
  TFaultModuleInfo exe;
  exe.Path = "C:\\p\\prog.exe";
  exe.ModuleType = ModuleExecutable;
  TReportData data;
  auto entry = [&](uint32_t thread, bool running, uint8_t kind, int line) {
    TFaultDebugInfo e;
    e.ThreadId = thread;
    e.Running = running;
    e.Kind = kind;
    e.Module = &exe;
    e.Line = line;
    e.LineOffset = 2;
    e.Address = 0x401000 + line;
    return e;
  };
  data.Stack = {entry(1, true, 4, 10), entry(1, true, 3, 0), entry(2, false, 4, 20), entry(3, true, 4, 30)};
  data.Threads = {{1, 0, 0, false, ""}, {2, 0, uint32_t(-2), true, "TWorker"}, {3, 0, UnknownThreadPriority, false, ""}};
  data.MainThreadId = 1;
  TReportLayout layout;
  layout.Texts = DefaultCustomizedTexts();
  layout.StackFlags = 0x1F;
  const std::vector<TListRowSpec> rows = CallStackRows(data, layout);
  ASSERT_EQ(rows.size(), 7u);
  EXPECT_TRUE(rows[0].Header);
  EXPECT_EQ(rows[0].HeaderText, "Exception Thread: ID=1; Priority=0; [Main]");
  EXPECT_EQ(rows[1].Cells[5], "10[2]");
  EXPECT_EQ(rows[1].Image, ImagePas);
  EXPECT_EQ(rows[2].HeaderText, "Calling Thread: ID=2; Priority=-2; Class=TWorker") << "the exe's kind-3 row is left out";
  EXPECT_TRUE(rows[4].Cells[0].empty() && !rows[4].Header) << "a blank row before a running thread";
  EXPECT_EQ(rows[5].HeaderText, "Running Thread: ID=3; Priority=??");
}

TEST(DialogLists, A64BitProgramsAddressesAndTheModuleBuildTimeOfARow) {
  TFixedReport64 r;
  TReportLayout layout = DefaultLayout();
  const std::vector<TListRowSpec> rows = CallStackRows(r.Data, layout);
  ASSERT_GE(rows.size(), 2u);
  EXPECT_EQ(rows[1].Cells[0], "0000000140001A2F");
  EXPECT_EQ(rows[1].Address, 0x0000000140001A2Fu);
  EXPECT_EQ(ModuleRows(r.Data.Modules, true)[1].Cells[0], "00007FF8A1B20000");
  // The module holding an address is the one with the greatest handle not above it; the high
  // half of the address counts.
  std::vector<TFaultModuleInfo> modules = r.Data.Modules;
  modules[0].BuildTime = 1;
  modules[1].BuildTime = 2;
  EXPECT_EQ(ModuleBuildTimeAt(modules, rows[1].Address), 1);
  EXPECT_EQ(ModuleBuildTimeAt(modules, 0x00007FF8A1B2C0DEu), 2);
  EXPECT_EQ(ModuleBuildTimeAt(modules, 0x0000000040001A2Fu), 0) << "below every module";
}

TEST(DialogLists, CollapsingHidesUpToTheBlankRowAndKeepsNestedCollapsedHeaders) {
  TListRowsModel model;
  auto header = [] {
    TListRowSpec s;
    s.Header = true;
    s.HeaderText = "h";
    return s;
  };
  auto row = [](const char* c) {
    TListRowSpec s;
    s.Cells = {c, "x"};
    return s;
  };
  model.Add(header());        // 0
  model.Add(row("a"));        // 1
  model.Add(header());        // 2, nested
  model.Add(row("b"));        // 3
  model.Add(TListRowSpec{{"", ""}, "", false, false, ImageNone, 0});  // 4, blank
  model.Add(header());        // 5
  model.Add(row("c"));        // 6
  EXPECT_FALSE(model.Rows()[1].Indented);
  EXPECT_TRUE(model.Rows()[2].Indented && model.Rows()[3].Indented);
  EXPECT_TRUE(model.Rows()[4].Blank);
  EXPECT_FALSE(model.Rows()[6].Indented);
  EXPECT_EQ(model.Rows()[2].Parent, 0);
  EXPECT_EQ(model.Rows()[5].Parent, -1);

  auto visible = [&] {
    std::string v;
    for (const auto& r : model.Rows()) v += r.Visible ? '1' : '0';
    return v;
  };
  EXPECT_FALSE(model.Toggle(1)) << "only headers toggle";
  ASSERT_TRUE(model.Toggle(2));
  EXPECT_EQ(visible(), "1110111");
  ASSERT_TRUE(model.Toggle(0));
  EXPECT_EQ(visible(), "1000111");
  ASSERT_TRUE(model.Toggle(0));
  EXPECT_EQ(visible(), "1110111") << "the nested header stays collapsed";
  EXPECT_EQ(model.VisibleIndex(5), 4);
  EXPECT_EQ(model.VisibleIndex(3), -1);
  ASSERT_TRUE(model.Toggle(2));
  EXPECT_EQ(visible(), "1111111");

  EXPECT_TRUE(model.SignHit(0, 2, 2, 14));
  EXPECT_FALSE(model.SignHit(0, 13, 5, 14));
  EXPECT_TRUE(model.SignHit(2, 16, 12, 14)) << "a nested header's sign is one indent step right";
  EXPECT_FALSE(model.SignHit(2, 5, 5, 14));
}

TEST(DialogSourceLocation, MessageLayout) {
  int32_t line = 0, offset = 0;
  ASSERT_TRUE(ParseLineCell("212[3]", line, offset));
  EXPECT_EQ(line, 212);
  EXPECT_EQ(offset, 3);
  ASSERT_TRUE(ParseLineCell("40", line, offset));
  EXPECT_EQ(offset, -1);
  EXPECT_FALSE(ParseLineCell("", line, offset));
  const std::string m = SourceLocationMessage(std::string(120, 'p'), "unit.cpp", "TClass", "Proc", 212, -1, 45000.5);
  ASSERT_EQ(m.size(), 376u);
  EXPECT_EQ(m.substr(0, 89), std::string(89, 'p'));
  EXPECT_EQ(m[89], '\0') << "cut to 89 characters, zero-terminated";
  EXPECT_EQ(std::string(m.c_str() + 90), "unit.cpp");
  EXPECT_EQ(std::string(m.c_str() + 270), "Proc");
  int32_t l, o;
  double t;
  std::memcpy(&l, &m[360], 4);
  std::memcpy(&o, &m[364], 4);
  std::memcpy(&t, &m[368], 8);
  EXPECT_EQ(l, 212);
  EXPECT_EQ(o, -1);
  EXPECT_EQ(t, 45000.5);
}

}  // namespace
