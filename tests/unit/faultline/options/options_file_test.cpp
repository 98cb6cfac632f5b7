// Readable options file: parsing, writing, errors, and the wizard's own file.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "faultline/options/container.h"
#include "faultline/options/options_file.h"

namespace {

TEST(OptionsFile, ParsesEveryKindOfValue) {
  TFaultModuleOptions o("", false);
  ParseOptionsFile(o,
                   "# comment\r\n"
                   "; another\n"
                   "\n"
                   "LogOn=true\n"
                   "  FilterOn = 0\n"
                   "SendFlags=0x41\n"
                   "FreezeSeconds=-5\n"
                   "MailServerPort=2525\n"
                   "ItemVisibility=0x0102030405\n"
                   "MailBody=line1\\r\\nline2\\ttab\\\\back\\x01\n"
                   "MailSubject= spaced \n"
                   "Text[3]=Oops\\r\\nDetails\n"
                   "FilterClass[1]=EB\n"
                   "FilterClass[0]=EA\n"
                   "FilterText[0]=first\n");
  EXPECT_TRUE(o.LogOn());
  EXPECT_FALSE(o.FilterOn());
  EXPECT_EQ(o.SendFlags(), 0x41);
  EXPECT_EQ(o.FreezeSeconds(), -5);
  EXPECT_EQ(o.MailServerPort(), 2525);
  EXPECT_EQ(o.ItemVisibility(), (TItemVisibility{5, 4, 3, 2, 1}));
  EXPECT_EQ(o.MailBody(), "line1\r\nline2\ttab\\back\x01");
  EXPECT_EQ(o.MailSubject(), " spaced ");
  EXPECT_EQ(o.Text(3), "Oops\r\nDetails");
  EXPECT_EQ(o.FilterClasses(), (std::vector<std::string>{"EA", "EB"}));
  EXPECT_EQ(o.FilterTexts(), (std::vector<std::string>{"first", ""}));
  EXPECT_EQ(o.DialogFlags(), 0x1F);  // absent keys keep their values
}

TEST(OptionsFile, ErrorsNameTheLine) {
  struct { const char* text; const char* needle; } cases[] = {
      {"LogOn=true\nNoSuchKey=1\n", "line 2"},
      {"LogOn=maybe\n", "LogOn"},
      {"SendFlags=0x10000\n", "SendFlags"},
      {"MailServerPort=-1\n", "MailServerPort"},
      {"ItemVisibility=0x10000000000\n", "ItemVisibility"},
      {"justtext\n", "Key=Value"},
      {"LogOn=true\nLogOn=false\n", "twice"},
      {"Text[96]=x\n", "96"},
      {"Text[x]=x\n", "index"},
      {"MailBody=bad\\q\n", "escape"},
      {"MailBody=bad\\x4\n", "hexadecimal"},
      {"MailBody=end\\\n", "backslash"},
      {"FilterClass[1]=x\n", "FilterClass[0]"},
  };
  for (const auto& c : cases) {
    TFaultModuleOptions o("", false);
    try {
      ParseOptionsFile(o, c.text);
      ADD_FAILURE() << "accepted: " << c.text;
    } catch (const EFaultOptionsFileError& e) {
      EXPECT_NE(std::string(e.what()).find(c.needle), std::string::npos) << e.what();
    }
    EXPECT_EQ(o.UpdateDepth(), 0);
  }
}

TEST(OptionsFile, FormatAndParseAgree) {
  TFaultModuleOptions a("", false);
  a.SetMailTo("a@b");
  a.SetUploadPort(0xFFFFFFFF);
  a.SetCrashCount(-3);
  a.SetItemVisibility({0, 0x80, 0, 0, 0xFE});
  a.SetText(17, "tab\there\x7F");
  a.SetPageTemplate("\xC4\xE3\r\n<%HTML_TAG%>");
  a.SetFilter({"EX", ""}, {"", "y"});
  for (bool onlyChanged : {false, true}) {
    TFaultModuleOptions b("", false);
    std::string text = FormatOptionsFile(a, onlyChanged);
    ParseOptionsFile(b, text);
    EXPECT_EQ(SaveOptionsRecord(b), SaveOptionsRecord(a)) << text;
  }
  TFaultModuleOptions defaults("", false);
  EXPECT_EQ(FormatOptionsFile(defaults, true), "");
}

TEST(OptionsFile, WizardFileDiffersFromDefaultsOnlyWhereIntended) {
  std::ifstream in(TARN_SOURCE_DIR "/assets/Tarn_Import.options", std::ios::binary);
  ASSERT_TRUE(in);
  std::stringstream text;
  text << in.rdbuf();
  TFaultModuleOptions o("", false);
  ParseOptionsFile(o, text.str());
  EXPECT_EQ(o.FreezeSeconds(), 0);
  EXPECT_EQ(o.SendFlags(), 0x41);
  EXPECT_EQ(o.DialogFlags(), 0x9F);
  EXPECT_TRUE(o.LogOn());
  EXPECT_TRUE(o.FilterClasses().empty());
  EXPECT_TRUE(o.FilterTexts().empty());
  // Everything else is the default.
  TFaultModuleOptions expected("", false);
  expected.SetFreezeSeconds(0);
  expected.SetSendFlags(0x41);
  expected.SetDialogFlags(0x9F);
  expected.SetLogOn(true);
  EXPECT_EQ(SaveOptionsRecord(o), SaveOptionsRecord(expected));
}

}  // namespace
