// Readable options file: parsing, writing, errors, and the wizard's own file.
#include <gtest/gtest.h>

#include <fstream>
#include <regex>
#include <set>
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

// A file saved by an editor that starts UTF-8 with a byte-order mark reads like one without.
TEST(OptionsFile, ByteOrderMarkIsAccepted) {
  TFaultModuleOptions o("", false);
  ParseOptionsFile(o, "\xEF\xBB\xBFLogOn=true\r\nMailSubject=\xE6\x8A\xA5\xE5\x91\x8A\r\n");
  EXPECT_TRUE(o.LogOn());
  EXPECT_EQ(o.MailSubject(), "\xE6\x8A\xA5\xE5\x91\x8A");
  // Only at the very start: elsewhere the bytes belong to the line.
  TFaultModuleOptions p("", false);
  EXPECT_THROW(ParseOptionsFile(p, "LogOn=true\n\xEF\xBB\xBFLogOn=false\n"), EFaultOptionsFileError);
}

// Values that parse but that delivery could not act on are refused; the message names the file,
// the line and the option to change.
TEST(OptionsFile, ValuesDeliveryCannotUseAreRefused) {
  struct {
    const char* text;
    size_t line;
    const char* option;
  } cases[] = {
      {"LogOn=true\nMailMode=4\n", 2, "MailMode"},
      {"UploadMode=9\n", 1, "UploadMode"},
      {"LogOn=1\nMinidumpMode=3\n", 2, "MinidumpMode"},
      {"MailServerPort=0\n", 1, "MailServerPort"},
      {"MailServerPort=65536\n", 1, "MailServerPort"},
      {"UploadPort=65536\n", 1, "UploadPort"},
      {"MailFallbackDns=127.0.0.1:0\n", 1, "MailFallbackDns"},
      {"MailFallbackDns=127.0.0.1:70000\n", 1, "MailFallbackDns"},
      {"MailFallbackDns=dns server\n", 1, "MailFallbackDns"},
      // Needs recipients: the MailTo line when there is one, else the mode's.
      {"MailServer=mail.example\nMailMode=2\n", 2, "MailTo"},
      {"MailTo= ; , \nMailMode=3\n", 1, "MailTo"},
      {"MailMode=2\nMailTo=a@example.test\n", 1, "MailServer"},
      {"MailTo=a@example.test, Dev Team@example.test\n", 1, "MailTo"},
      {"MailTo=<a@example.test>\n", 1, "MailTo"},
      {"MailSender=x\nMailSender=y\n", 2, "MailSender"},
      {"#\nMailSender=Tarn <tarn@example.test>\n", 2, "MailSender"},
      {"MailSender=tarn\\x01@example.test\n", 1, "MailSender"},
      {"UploadMode=3\n", 1, "UploadUrl"},
      {"UploadMode=3\nUploadUrl=http://upload.example/\n", 2, "UploadUrl"},
      {"UploadUrl=ftp://upload.example/\nUploadMode=1\n", 1, "UploadUrl"},
      {"UploadUrl=HTTP://upload.example/\nUploadMode=2\n", 1, "UploadUrl"},
      {"UploadUrl=https://upload.example/\nUploadMode=3\n", 1, "UploadUrl"},
      {"MailBody=x\\q\n", 1, "MailBody"},
  };
  for (const auto& c : cases) {
    TFaultModuleOptions o("", false);
    try {
      ParseOptionsFile(o, c.text, "shipping.options");
      ADD_FAILURE() << "accepted: " << c.text;
    } catch (const EFaultOptionsFileError& e) {
      const std::string message = e.what();
      EXPECT_EQ(message.rfind("shipping.options, line " + std::to_string(c.line) + ": ", 0), 0u) << message;
      EXPECT_NE(message.find(c.option), std::string::npos) << message;
    }
    EXPECT_EQ(o.UpdateDepth(), 0);
  }
  // What the program can use passes: each upload mode with its own scheme or an address without
  // one, every mail mode with what it needs, the fallback DNS server with or without a port.
  for (const char* text : {
           "UploadMode=1\nUploadUrl=http://upload.example/form\n",
           "UploadMode=2\nUploadUrl= HTTPS://upload.example/\nUploadPort=0\n",
           "UploadMode=3\nUploadUrl=upload.example/reports\nUploadPort=65535\n",
           "MailMode=1\n",
           "MailMode=2\nMailServer=mail.example\nMailServerPort=587\nMailTo=a@example.test; b@example.test\n",
           "MailMode=3\nMailTo=a@example.test\nMailSender=\nMailFallbackDns=127.0.0.1:5353\n",
           "MailFallbackDns=\n",
       }) {
    TFaultModuleOptions o("", false);
    EXPECT_NO_THROW(ParseOptionsFile(o, text, "shipping.options")) << text;
  }
  TFaultModuleOptions o("", false);
  ParseOptionsFile(o, "MailFallbackDns=127.0.0.1:5353\n");
  EXPECT_EQ(o.MailFallbackDns(), "127.0.0.1:5353");
}

// Every option the options class lets a program set is one the file can set too, except the
// few that belong to the running program alone. Judged against the class's own declarations, so
// that an option added later without its line in the file's table fails here.
TEST(OptionsFile, EveryOptionOfTheClassIsSettable) {
  std::ifstream in(TARN_SOURCE_DIR "/faultline/options/options.h", std::ios::binary);
  ASSERT_TRUE(in);
  std::stringstream header;
  header << in.rdbuf();
  // The class's own declarations: from its head to the variant that derives from it.
  const std::string text = header.str();
  const size_t begin = text.find("class TFaultModuleOptions {");
  const size_t end = text.find("class TFaultModuleOptionsEx", begin);
  ASSERT_NE(begin, std::string::npos);
  ASSERT_NE(end, std::string::npos);
  const std::string declarations = text.substr(begin, end - begin);
  const std::set<std::string> notInFile = {"PublishShared", "ModulePath", "HandlingOn", "Filter", "Texts", "Text"};
  TFaultModuleOptions defaults("", false);
  const std::string written = "\n" + FormatOptionsFile(defaults, false);
  const std::regex setter(R"(void Set(\w+)\()");
  size_t seen = 0;
  for (auto it = std::sregex_iterator(declarations.begin(), declarations.end(), setter); it != std::sregex_iterator();
       ++it) {
    const std::string name = (*it)[1];
    ++seen;
    if (notInFile.count(name)) continue;
    EXPECT_NE(written.find("\n" + name + "="), std::string::npos) << name << " cannot be set from an options file";
  }
  EXPECT_GT(seen, 40u);  // the declarations were found at all
  EXPECT_NE(written.find("\nText[95]="), std::string::npos);
  EXPECT_NE(written.find("FilterClear=true"), std::string::npos);
}

TEST(OptionsFile, FormatAndParseAgree) {
  TFaultModuleOptions a("", false);
  a.SetMailTo("a@b");
  a.SetUploadPort(0xFFFF);
  a.SetMailFallbackDns("127.0.0.1:5353");
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
