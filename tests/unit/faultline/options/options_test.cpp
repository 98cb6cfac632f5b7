// Options object: defaults, copying, change notification and publishing, freeze seam, log name.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "faultline/options/options.h"

namespace {

// Records what the platform hooks were asked to do; "C:\App\me.exe" is the running module.
struct THookLog {
  int publishes = 0;
  std::vector<std::string> freeze;
};
THookLog* hookLog = nullptr;

class OptionsHooksTest : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_ = FaultOptionsHooks();
    hookLog = &log_;
    TFaultOptionsHooks& h = FaultOptionsHooks();
    h.IsRunningModule = [](const std::string& path) { return path == "C:\\App\\me.exe"; };
    h.PublishShared = [](const TFaultModuleOptions&) { ++hookLog->publishes; };
    h.FreezeStart = [](const TFaultModuleOptions&) { hookLog->freeze.push_back("start"); };
    h.FreezeStop = [] { hookLog->freeze.push_back("stop"); };
    h.ComputerName = [] { return std::string("A:B"); };
  }
  void TearDown() override {
    FaultOptionsHooks() = saved_;
    hookLog = nullptr;
  }
  THookLog log_;
  TFaultOptionsHooks saved_;
};

TEST(OptionsDefaults, FieldsAfterConstruction) {
  TFaultModuleOptions o("C:\\App\\prog.exe", true);
  EXPECT_EQ(o.ModulePath(), "C:\\App\\prog.exe");
  EXPECT_TRUE(o.PublishShared());
  EXPECT_EQ(o.UpdateDepth(), 0);
  EXPECT_FALSE(o.MailSender().empty());
  EXPECT_EQ(o.MailServerPort(), 25);
  EXPECT_EQ(o.TerminateAction(), 1);
  EXPECT_FALSE(o.FreezeWatch());
  EXPECT_EQ(o.FreezeSeconds(), 60);
  EXPECT_EQ(o.FreezeText(), "The application seems to be frozen.");
  EXPECT_EQ(o.ItemVisibility(), (TItemVisibility{0xFF, 0xFF, 0xFF, 0xFF, 0xFF}));
  EXPECT_TRUE(o.FilterClasses().empty());
  EXPECT_TRUE(o.FilterTexts().empty());
  EXPECT_FALSE(o.LogOn());
  EXPECT_TRUE(o.FilterOn());
  EXPECT_FALSE(o.LogAppend());
  EXPECT_TRUE(o.TerminateButtonShown());
  EXPECT_TRUE(o.LogSaved());
  EXPECT_EQ(o.LogSections(), 0x30);
  EXPECT_EQ(o.SendFlags(), 0x51);
  EXPECT_EQ(o.FirstDialogPage(), 0);
  EXPECT_EQ(o.LogMaxReports(), 32);
  EXPECT_EQ(o.TerminateButtonAfter(), 3);
  EXPECT_EQ(o.MailMode(), 0);
  EXPECT_EQ(o.UploadMode(), 0);
  EXPECT_EQ(o.DialogFlags(), 0x1F);
  EXPECT_EQ(o.DialogCloseSeconds(), 0);
  EXPECT_EQ(o.CrashAction(), 1);
  EXPECT_EQ(o.CrashCount(), 10);
  EXPECT_EQ(o.CrashMinutes(), 1);
  EXPECT_EQ(o.StackFlags(), 0x0F);
  EXPECT_EQ(o.HandlingFlags(), 0x30);
  EXPECT_EQ(o.UploadPort(), 0u);
  EXPECT_TRUE(o.HandlingOn());
  for (const std::string* s : {&o.MailServer(), &o.MailServerUser(), &o.MailServerPassword(),
                               &o.LogPath(), &o.MailTo(), &o.MailSubject(), &o.MailBody(),
                               &o.ExtraFiles(), &o.SupportLink(), &o.UploadUrl(),
                               &o.UploadPassword(), &o.UploadUser()})
    EXPECT_TRUE(s->empty());
}

TEST(OptionsDefaults, TextsByteExact) {
  TFaultModuleOptions o("", false);
  ASSERT_EQ(o.Texts().size(), 96u);
  struct { int index; const char* text; } cases[] = {
      {0, "Information."},
      {3, "An error has occurred during program execution.\r\n"
          "Please read the following information for further details."},
      {14, "&OK"},
      {18, "&Send this error via Internet"},
      {51, "Build #"},
      {66, "Procedure/Method"},
      {77, "Resolving DNS..."},
      {82, "Please describe the steps to reproduce the error:"},
      {83, "&OK"},
      {95, "Sorry, sending the message didn't work."},
  };
  for (const auto& c : cases) EXPECT_EQ(o.Text(c.index), c.text) << "text " << c.index;
  for (int i = 0; i < 96; ++i) EXPECT_FALSE(o.Text(i).empty()) << "text " << i;
  EXPECT_EQ(o.Text(96), "");
  EXPECT_EQ(o.Text(-1), "");
}

TEST(OptionsDefaults, PageTemplate) {
  const std::string page = TFaultModuleOptions("", false).PageTemplate();
  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t p; (p = page.find("\r\n", start)) != std::string::npos; start = p + 2)
    lines.push_back(page.substr(start, p - start));
  lines.push_back(page.substr(start));
  ASSERT_EQ(lines.size(), 15u);
  EXPECT_EQ(lines[0], "<html>");
  EXPECT_EQ(lines[3], "  <body TopMargin=10 LeftMargin=10>");
  EXPECT_EQ(lines[4], "    <table width=\"100%\" border=\"0\">");
  EXPECT_EQ(lines[7], "          <font face=\"Lucida Console, Courier\" size=\"2\">");
  EXPECT_EQ(lines[8], "            <%HTML_TAG%>");
  EXPECT_EQ(lines[14], "</html>");
  EXPECT_EQ(page.find('\n'), page.find("\r\n") + 1);  // only CR LF line ends
}

TEST(OptionsSetters, LogMaxReportsZeroStoresOne) {
  TFaultModuleOptions o("", false);
  o.SetLogMaxReports(0);
  EXPECT_EQ(o.LogMaxReports(), 1);
  o.SetLogMaxReports(7);
  EXPECT_EQ(o.LogMaxReports(), 7);
}

TEST(OptionsAssign, NilSourceRaisesConvertError) {
  TFaultModuleOptions o("", false);
  try {
    o.Assign(nullptr);
    FAIL() << "no exception";
  } catch (const EConvertError& e) {
    EXPECT_STREQ(e.what(), "Impossible to assign nil as TFaultModuleOptions.");
  }
  EXPECT_EQ(o.UpdateDepth(), 0);
}

TEST(OptionsAssign, CopiesAllButIdentityAndMasterSwitch) {
  TFaultModuleOptions src("C:\\src.exe", true);
  src.SetMailServer("smtp.example");
  src.SetFreezeWatch(true);
  src.SetItemVisibility({1, 2, 3, 4, 5});
  src.AddFilter("EAbort", "ignored");
  src.SetText(40, "Nom");
  src.SetPageTemplate("<%HTML_TAG%>");
  src.SetUploadPort(8080);
  src.SetHandlingOn(false);
  TFaultModuleOptions dst("C:\\dst.exe", false);
  dst.Assign(&src);
  EXPECT_EQ(dst.MailServer(), "smtp.example");
  EXPECT_TRUE(dst.FreezeWatch());
  EXPECT_EQ(dst.ItemVisibility(), (TItemVisibility{1, 2, 3, 4, 5}));
  EXPECT_EQ(dst.FilterClasses(), std::vector<std::string>{"EAbort"});
  EXPECT_EQ(dst.FilterTexts(), std::vector<std::string>{"ignored"});
  EXPECT_EQ(dst.Text(40), "Nom");
  EXPECT_EQ(dst.PageTemplate(), "<%HTML_TAG%>");
  EXPECT_EQ(dst.UploadPort(), 8080u);
  // Not copied.
  EXPECT_EQ(dst.ModulePath(), "C:\\dst.exe");
  EXPECT_FALSE(dst.PublishShared());
  EXPECT_TRUE(dst.HandlingOn());
  EXPECT_EQ(dst.UpdateDepth(), 0);
  // Both save to the same record: every stored field was copied.
  std::string a, b;
  src.SaveToStream(a);
  dst.SaveToStream(b);
  EXPECT_EQ(a, b);
  dst.Assign(&dst);  // self-assignment is a no-op
  EXPECT_EQ(dst.MailServer(), "smtp.example");
}

TEST(OptionsReset, RestoresDefaultsButKeepsFilterAndIdentity) {
  TFaultModuleOptions o("C:\\x.exe", true);
  o.SetSendFlags(0);
  o.SetText(5, "changed");
  o.AddFilter("EFoo", "bar");
  o.SetHandlingOn(false);
  o.Reset();
  EXPECT_EQ(o.SendFlags(), 0x51);
  EXPECT_EQ(o.Text(5), "General Information");
  EXPECT_TRUE(o.HandlingOn());
  EXPECT_EQ(o.FilterClasses().size(), 1u);
  EXPECT_EQ(o.ModulePath(), "C:\\x.exe");
  EXPECT_TRUE(o.PublishShared());
  EXPECT_EQ(o.UpdateDepth(), 0);
}

TEST_F(OptionsHooksTest, ChangedPublishesOnlyRunningModuleOutsideUpdates) {
  TFaultModuleOptionsEx own("C:\\App\\me.exe", true);
  log_.publishes = 0;
  own.SetMailTo("a@b");
  EXPECT_EQ(log_.publishes, 1);

  own.BeginUpdate();
  own.SetMailTo("c@d");
  own.SetMailSubject("s");
  EXPECT_EQ(log_.publishes, 1);
  own.EndUpdate();
  own.Changed();
  EXPECT_EQ(log_.publishes, 2);

  // Batch operations publish once, at their end.
  TFaultModuleOptions src("", false);
  own.Assign(&src);
  EXPECT_EQ(log_.publishes, 3);
  own.Reset();
  EXPECT_EQ(log_.publishes, 4);

  // A reset inside an open batch keeps the batch open.
  own.BeginUpdate();
  own.Reset();
  own.SetMailTo("x");
  EXPECT_EQ(log_.publishes, 4);
  EXPECT_EQ(own.UpdateDepth(), 1);
  own.EndUpdate();

  TFaultModuleOptionsEx foreign("C:\\App\\other.dll", true);
  TFaultModuleOptionsEx quiet("C:\\App\\me.exe", false);
  TFaultModuleOptions plain("C:\\App\\me.exe", true);
  TFaultModuleOptionsEx current("", false);
  log_.publishes = 0;
  foreign.SetMailTo("x");
  quiet.SetMailTo("x");
  plain.SetMailTo("x");  // slot 1 of the base class does nothing
  current.SetMailTo("x");
  EXPECT_EQ(log_.publishes, 0);
}

TEST_F(OptionsHooksTest, FreezeDetectorFollowsOwnHandlingAndWatch) {
  TFaultModuleOptionsEx own("C:\\App\\me.exe", false);
  log_.freeze.clear();
  own.SetFreezeWatch(true);    // handling on: start
  own.SetFreezeWatch(true);    // no real change: nothing
  own.SetHandlingOn(false);    // stop
  own.SetHandlingOn(true);     // watch on: start
  own.SetFreezeWatch(false);   // stop
  own.SetHandlingOn(false);    // stop (watch off)
  EXPECT_EQ(log_.freeze, (std::vector<std::string>{"start", "stop", "start", "stop", "stop"}));

  TFaultModuleOptionsEx foreign("C:\\App\\other.dll", false);
  TFaultModuleOptions plain("C:\\App\\me.exe", false);
  log_.freeze.clear();
  foreign.SetFreezeWatch(true);
  plain.SetFreezeWatch(true);
  EXPECT_TRUE(log_.freeze.empty());

  // Assign sets FreezeWatch through the virtual setter.
  TFaultModuleOptions src("", false);
  src.SetFreezeWatch(true);
  own.SetHandlingOn(true);
  log_.freeze.clear();
  own.Assign(&src);
  EXPECT_EQ(log_.freeze, std::vector<std::string>{"start"});
}

TEST(OptionsLogFileName, Rule) {
  struct { const char* logPath; const char* base; uint8_t sections; const char* computer;
           const char* expected; } cases[] = {
      {"C:\\Logs", "C:\\App\\prog.exe", 0, "", "C:\\Logs\\prog.flf"},
      {"C:\\Logs\\", "C:\\App\\prog.exe", 0, "", "C:\\Logs\\prog.flf"},
      {"D:\\x.FLF", "C:\\App\\prog.exe", 0, "", "D:\\x.FLF"},
      {"", "C:\\App\\prog.exe", 0, "", "C:\\App\\prog.flf"},
      {"", "C:\\App\\prog.exe", 0x08, "A:B", "C:\\App\\prog_A_B.flf"},
      {"", "C:\\App\\prog", 0, "", "C:\\App\\prog.flf"},
      {"", "C:\\My.Dir\\prog", 0, "", "C:\\My.Dir\\prog.flf"},
      {"C:\\Logs", "C:\\App\\prog.exe", 0x08, "\"*/:<>?\\|", "C:\\Logs\\prog__________.flf"},
      {"D:\\x.flf", "", 0x08, "PC", "D:\\x_PC.flf"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(FaultLogFileName(c.base, "C:\\Mod\\mod.dll", c.logPath, c.sections, c.computer),
              c.expected) << c.logPath << " | " << c.base;
  // An empty base name uses the module path.
  EXPECT_EQ(FaultLogFileName("", "C:\\Mod\\mod.dll", "", 0, ""), "C:\\Mod\\mod.flf");
}

TEST_F(OptionsHooksTest, LogFileNameReadsComputerName) {
  TFaultModuleOptions o("C:\\App\\prog.exe", false);
  EXPECT_EQ(o.LogFileName(), "C:\\App\\prog.flf");
  o.SetLogSections(o.LogSections() | 0x08);
  EXPECT_EQ(o.LogFileName(), "C:\\App\\prog_A_B.flf");
}

TEST(CurrentOptions, AssertsWithoutRegistration) {
  SetOwnOptionsSource(nullptr);
  try {
    CurrentFaultlineOptions();
    FAIL() << "no assertion";
  } catch (const EAssertionFailed& e) {
    EXPECT_EQ(e.UnitName(), "FaultReport");
    EXPECT_EQ(e.AssertMessage(),
              "\r\nCannot use 'CurrentFaultlineOptions' function without activate Faultline.\r\n"
              "To activate Faultline use the new IDE \"Project/Faultline Options...\" menu.");
  }
  static TFaultModuleOptionsEx own("C:\\App\\me.exe", false);
  SetOwnOptionsSource([]() -> TFaultModuleOptionsEx* { return &own; });
  EXPECT_EQ(&CurrentFaultlineOptions(), &own);
  SetOwnOptionsSource([]() -> TFaultModuleOptionsEx* { return nullptr; });  // inactive
  EXPECT_THROW(CurrentFaultlineOptions(), EAssertionFailed);
  SetOwnOptionsSource(nullptr);
}

}  // namespace
