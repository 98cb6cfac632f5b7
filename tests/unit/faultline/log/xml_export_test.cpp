// The XML form of the log, judged by libxml2's xmllint: the document must parse, and the values
// read back through XPath must be the values of the reports it came from.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>

#include "faultline/codecs/codecs.h"
#include "faultline/log/log_file.h"
#include "faultline/log/xml_export.h"
#include "tests/unit/faultline/report/report_fixture.h"
#include "tests/unit/python_judge.h"

namespace {

using python_judge::Shell;

class XmlExportTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/flx_test_XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
  }
  void TearDown() override { std::system(("rm -rf '" + dir_ + "'").c_str()); }

  // Writes the document and checks that it is well-formed XML.
  void SaveAndParse(const TLogFile& log) {
    xml_ = dir_ + "/log.xml";
    log.SaveXmlDocument(xml_);
    int status = -1;
    const std::string errors = Shell("xmllint --noout '" + xml_ + "' 2>&1", &status);
    ASSERT_EQ(status, 0) << errors;
  }
  std::string XPath(const std::string& expr) {
    std::string v = Shell("xmllint --xpath \"" + expr + "\" '" + xml_ + "' 2>/dev/null");
    if (!v.empty() && v.back() == '\n') v.pop_back();  // xmllint ends its output with a newline
    return v;
  }

  std::string dir_, xml_;
};

// An older report: no thread rows, a six-cell module row and a free-text section at the end.
std::string OldReport() {
  TCpuSnapshot cpu;
  cpu.HasContext = true;
  cpu.Eip = 0x0044A1F2;
  TReportLayout layout = DefaultLayout();
  return "Faultline 4.9.0\r\n\r\n"
         "Application:\r\n----------------------\r\n  1.1 Version: 1.0\r\n\r\n"
         "Call Stack Information:\r\n"
         "-----------------------------------------------------\r\n"
         "|Address |Module  |Unit    |Class |Procedure   |Line|\r\n"
         "-----------------------------------------------------\r\n"
         "|0044A1F2|prog.exe|Main.pas|TForm1|Button1Click|112 |\r\n"
         "-----------------------------------------------------\r\n\r\n"
         "Modules Information:\r\n"
         "----------------------------------------\r\n"
         "|Handle  |Name    |Desc|Ver|Size|Path  |\r\n"
         "----------------------------------------\r\n"
         "|00400000|prog.exe|x   |1.0|100 |C:\\App|\r\n"
         "----------------------------------------\r\n\r\n" +
         BuildCpuSection(cpu, layout) +
         "\r\nHow to reproduce:\r\n-----------------\r\nclick the <button>\r\ntwice\r\n";
}

TEST_F(XmlExportTest, DocumentParsesAndCarriesTheReportValues) {
  TFixedReport r;
  TReportLayout layout = DefaultLayout();
  layout.StackFlags = 0x1F;
  r.Data.ExceptionMessage = "two\r\nlines: \"quoted\" & <tagged>\r\n\r\nend\x01";
  r.Data.HasCustomData = true;
  r.Data.CustomData = "ticket 7";
  const TReportTexts t = BuildReportText(r.Data, layout);
  TLogFile log(dir_ + "/none.flf", true);
  log.AddReport(t.Report, 32);
  log.AddReport(OldReport(), 32);
  SaveAndParse(log);

  struct {
    std::string xpath, want;
  } cases[] = {
      {"string(/Doc/Log[1]/@Version)", "5.1.11"},
      {"string(/Doc/Log[1]/General/Group[1]/@Label)", "Application"},
      {"string(/Doc/Log[1]/General/Group[2]/@ID)", "2"},
      {"string(/Doc/Log[1]/General/Group[2]/Line[2]/@ID)", "2.2"},
      {"string(/Doc/Log[1]/General/Group[2]/Line[2]/@Value)", t.Address},
      {"string(/Doc/Log[1]/General/Group[2]/Line[5]/@Label)", "Message"},
      // Control characters other than line breaks are not XML characters: they become "?".
      {"string(/Doc/Log[1]/General/Group[2]/Line[5]/@Value)",
       "two\r\nlines: \"quoted\" & <tagged>\r\n\r\nend?."},
      {"string(/Doc/Log[1]/General/Group[1]/Line[4]/@Value)", "\"/silent\" \"C:\\a b.txt\""},
      {"string(/Doc/Log[1]/General/Group[7]/@ID)", "7"},
      {"string(/Doc/Log[1]/General/Group[7]/Line/@Value)", "ticket 7"},
      {"count(/Doc/Log[1]/General/Group)", "7"},
      {"string(/Doc/Log[1]/CallStack/ExceptionThread/@ID)", "1412"},
      {"string(/Doc/Log[1]/CallStack/ExceptionThread/@MainThread)", "True"},
      {"string(/Doc/Log[1]/CallStack/ExceptionThread/Line/@Procedure)", "Button1Click"},
      {"string(/Doc/Log[1]/CallStack/ExceptionThread/Line/@Number)", "112"},
      {"string(/Doc/Log[1]/CallStack/ExceptionThread/Line/@Offset)", "7"},
      {"string(/Doc/Log[1]/CallStack/RunningThread/@Class)", "TWorker"},
      {"string(/Doc/Log[1]/CallStack/RunningThread/@MainThread)", "False"},
      {"string(/Doc/Log[1]/CallStack/RunningThread/Line/@Address)", "0045B010"},
      {"string(/Doc/Log[1]/Modules/Module[2]/@Path)", "C:\\WINDOWS\\system32"},
      {"string(/Doc/Log[1]/Modules/Module[2]/@Modified)", "2009-03-21 14:06:58"},
      {"string(/Doc/Log[1]/Modules/Module[1]/@Handle)", "00400000"},
      {"string(/Doc/Log[1]/CPU/Registers/@EIP)", "0044A1F2"},
      {"string(/Doc/Log[1]/CPU/Registers/@ESP)", "0012F4D0"},
      {"count(/Doc/Log[1]/CPU/Stack/Line)", "16"},
      {"string(/Doc/Log[1]/CPU/Stack/Line[2]/@Value)", "312A231C"},
      {"string(/Doc/Log[1]/CPU/MemoryDump/Line[3]/@Chars)", " !\"#$%&'()*+,-./"},
      {"string(/Doc/Log[1]/CPU/MemoryDump/Line[4]/@Bytes)",
       "30 31 32 33 34 35 36 37 38 39 3A 3B 3C 3D 3E 3F"},
      {"count(/Doc/Log[1]/HoToReproduce)", "0"},
      {"string(/Doc/Log[2]/@Version)", "4.9.0"},
      {"string(/Doc/Log[2]/CallStack/ExceptionThread/Line/@Unit)", "Main.pas"},
      {"string(/Doc/Log[2]/Modules/Module/@Path)", "C:\\App"},
      {"count(/Doc/Log[2]/Modules/Module/@Modified)", "0"},
      {"count(/Doc/Log[2]/CPU/Registers/@EAX)", "1"},
      {"count(/Doc/Log[2]/CPU/Stack/Line)", "0"},
      {"string(/Doc/Log[2]/HoToReproduce/@Text)", "click the <button>\r\ntwice"},
  };
  for (const auto& c : cases) EXPECT_EQ(XPath(c.xpath), c.want) << c.xpath;
}

TEST_F(XmlExportTest, RegistersWithoutContextAreLeftOut) {
  TFixedReport r;
  r.Data.Cpu.HasContext = false;
  TLogFile log(dir_ + "/none.flf", true);
  log.AddReport(BuildReportText(r.Data, DefaultLayout()).Report, 32);
  SaveAndParse(log);
  EXPECT_EQ(XPath("count(/Doc/Log/CPU/Registers/@*)"), "0");
  EXPECT_EQ(XPath("count(/Doc/Log/CPU/Stack)"), "1");
}

// A log holding a 64-bit program's report between two 32-bit ones: each reads back with its own
// widths.
TEST_F(XmlExportTest, WideReportReadsBackBesideNarrowOnes) {
  TFixedReport narrow;
  TFixedReport64 wide;
  TFixedReport64 unknown;
  unknown.Data.Cpu.HasContext = false;
  TReportLayout layout = DefaultLayout();
  TLogFile log(dir_ + "/none.flf", true);
  log.AddReport(BuildReportText(narrow.Data, layout).Report, 32);
  log.AddReport(BuildReportText(wide.Data, layout).Report, 32);
  log.AddReport(BuildReportText(unknown.Data, layout).Report, 32);
  EXPECT_NE(log.CpuSection(1).find("RAX: 0000000000000000"), std::string::npos) << log.CpuSection(1);
  SaveAndParse(log);

  struct {
    std::string xpath, want;
  } cases[] = {
      {"string(/Doc/Log[2]/General/Group[2]/Line[2]/@Value)", "0000000140001A2F"},
      {"string(/Doc/Log[2]/CallStack/ExceptionThread/Line/@Address)", "0000000140001A2F"},
      {"string(/Doc/Log[2]/CallStack/RunningThread/Line/@Procedure)", "Execute"},
      {"string(/Doc/Log[2]/Modules/Module[2]/@Handle)", "00007FF8A1B20000"},
      {"string(/Doc/Log[2]/Modules/Module[2]/@Path)", "C:\\WINDOWS\\system32"},
      {"count(/Doc/Log[2]/CPU/Registers/@*)", "24"},
      {"string(/Doc/Log[2]/CPU/Registers/@RAX)", "0000000000000000"},
      {"string(/Doc/Log[2]/CPU/Registers/@R8)", "8000000000000008"},
      {"string(/Doc/Log[2]/CPU/Registers/@R15)", "FFFFFFFFFFFFFFFF"},
      {"string(/Doc/Log[2]/CPU/Registers/@RIP)", "0000000140001A2F"},
      {"string(/Doc/Log[2]/CPU/Registers/@EFLAGS)", "00010246"},
      {"string(/Doc/Log[2]/CPU/Registers/@FS)", "0053"},
      {"string(/Doc/Log[2]/CPU/Registers/@SS)", "002B"},
      {"name(/Doc/Log[2]/CPU/Registers/@*[9])", "R8"},
      {"count(/Doc/Log[2]/CPU/Stack/Line)", "16"},
      {"string(/Doc/Log[2]/CPU/Stack/Line[2]/@Address)", "000000000022FD48"},
      {"string(/Doc/Log[2]/CPU/Stack/Line[2]/@Value)", "69625B544D463F38"},
      {"string(/Doc/Log[2]/CPU/MemoryDump/Line[3]/@Address)", "0000000140001A4F"},
      {"string(/Doc/Log[2]/CPU/MemoryDump/Line[3]/@Chars)", " !\"#$%&'()*+,-./"},
      {"string(/Doc/Log[2]/CPU/MemoryDump/Line[4]/@Bytes)",
       "30 31 32 33 34 35 36 37 38 39 3A 3B 3C 3D 3E 3F"},
      // The 32-bit report before it keeps its own columns.
      {"string(/Doc/Log[1]/CPU/Registers/@EIP)", "0044A1F2"},
      {"string(/Doc/Log[1]/CPU/Stack/Line[2]/@Value)", "312A231C"},
      {"string(/Doc/Log[1]/Modules/Module[1]/@Handle)", "00400000"},
      // Without a context: no register values, no dump lines, but the elements.
      {"count(/Doc/Log[3]/CPU/Registers/@*)", "0"},
      {"count(/Doc/Log[3]/CPU/Registers)", "1"},
      {"count(/Doc/Log[3]/CPU/Stack/Line)", "0"},
  };
  for (const auto& c : cases) EXPECT_EQ(XPath(c.xpath), c.want) << c.xpath;
}

TEST_F(XmlExportTest, EncodedNamesAreDecipheredWithThePassword) {
  auto encode = [](const std::string& name) {
    std::string bytes = name;
    CipherSetKey("secret");
    CipherEncrypt(bytes.data(), bytes.size());
    return Base64Encode(bytes);
  };
  TFixedReport r;
  r.Data.Stack[0].UnitName = "?p" + encode("Main");
  r.Data.Stack[0].ProcedureName = "?" + encode("TForm1.Button1Click");
  r.Data.Stack[0].ClassName = "";
  r.Data.Stack[1].UnitName = "?c" + encode("work.cpp");
  r.Data.Stack[1].ProcedureName = "?" + encode("bad name!");
  TLogFile log(dir_ + "/none.flf", true);
  log.AddReport(BuildReportText(r.Data, DefaultLayout()).Report, 32);

  SaveAndParse(log);  // no password: the stored cells
  EXPECT_EQ(XPath("string(//ExceptionThread/Line/@Unit)"), r.Data.Stack[0].UnitName);

  log.SetPassword("secret");
  SaveAndParse(log);
  EXPECT_EQ(XPath("string(//ExceptionThread/Line/@Unit)"), "Main.pas");
  EXPECT_EQ(XPath("string(//ExceptionThread/Line/@Class)"), "TForm1");
  EXPECT_EQ(XPath("string(//ExceptionThread/Line/@Procedure)"), "Button1Click");
  // A decoded name with characters outside the name set falls back to the stored cells.
  EXPECT_EQ(XPath("string(//RunningThread/Line/@Unit)"), r.Data.Stack[1].UnitName);

  log.SetPassword("wrong");
  SaveAndParse(log);
  EXPECT_EQ(XPath("string(//ExceptionThread/Line/@Unit)"), r.Data.Stack[0].UnitName);
}

TEST(XmlItem, EscapingAndLayout) {
  EXPECT_EQ(TXMLItem::Escape("a<b"), "a&#060;b");
  EXPECT_EQ(TXMLItem::Escape("\""), "&#034;");
  EXPECT_EQ(TXMLItem::Escape("\xE9&'>\x7F\t"), "&#233;&#038;&#039;&#062;&#127;&#009;");
  EXPECT_EQ(TXMLItem::Escape(std::string("\0\x1F", 2)), "&#063;&#063;");
  TXMLItem root("Doc");
  TXMLItem& log = root.AddChild("Log");
  log.AddAttribute("Version", "5.1.11");
  log.AddChild("General").AddChild("Group").AddAttribute("ID", "1");
  log.AddChild("CPU");
  EXPECT_EQ(&log.Children()[0], log.Children()[0].Children()[0].Parent());
  EXPECT_EQ(root.XMLText(),
            "<Doc>\r\n"
            "  <Log Version=\"5.1.11\">\r\n"
            "    <General>\r\n"
            "      <Group ID=\"1\"/>\r\n"
            "    </General>\r\n"
            "    <CPU/>\r\n"
            "  </Log>\r\n"
            "</Doc>\r\n");
  EXPECT_EQ(XmlDocumentOf({}, ""), "<Doc>\r\n</Doc>\r\n");
}

}  // namespace
