// The delivery run's decisions over a scripted platform: retries and what handlers give on each
// attempt, failures that must not pass for success, and the compressed copies it keeps (read back
// by GNU tar); plus the small text rules of the mail-client and "mailto" paths.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>

#include "faultline/delivery/delivery_run.h"
#include "tests/unit/python_judge.h"

namespace fs = std::filesystem;

namespace {

using python_judge::TempDir;

void Touch(const std::string& path, const std::string& bytes = "x") { std::ofstream(path, std::ios::binary) << bytes; }

class TFakePlatform : public TDeliveryPlatform {
 public:
  TStdFileAccess files;
  std::string temp;
  std::vector<bool> mapiResults, shellResults, smtpResults;
  std::vector<TWebUploadResult> webResults;
  std::vector<TMailClientMessage> mapiCalls;
  std::vector<std::string> shellCalls;
  std::vector<TSmtpSendRequest> smtpCalls;
  std::vector<TWebUploadRequest> webCalls;
  // The files each transport found at the time it ran (path -> bytes).
  std::vector<std::vector<std::pair<std::string, std::string>>> seen;
  int opened = 0, closed = 0;
  std::vector<std::string> messages, clipboard;

  TFaultFileAccess& Files() override { return files; }
  std::string TempFolder() override { return temp; }
  std::vector<std::string> ListArchives(const std::string& folder) override {
    std::vector<std::string> out;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(folder, ec))
      if (e.is_regular_file() && e.path().extension() == ".tgz") out.push_back(e.path().filename().string());
    return out;
  }
  bool MoveFile(const std::string& from, const std::string& to) override {
    if (fs::exists(to)) return false;
    std::error_code ec;
    fs::rename(from, to, ec);
    return !ec;
  }
  template <class T>
  static T Next(std::vector<T>& script, T otherwise) {
    if (script.empty()) return otherwise;
    T v = script.front();
    script.erase(script.begin());
    return v;
  }
  void See(const std::vector<std::string>& paths) {
    seen.emplace_back();
    for (const auto& p : paths) seen.back().emplace_back(p, files.Exists(p) ? files.ReadAll(p) : "<missing>");
  }
  bool SendByMailClient(const TMailClientMessage& m) override {
    mapiCalls.push_back(m);
    std::vector<std::string> paths;
    for (const auto& a : m.Attachments) paths.push_back(a.Path);
    See(paths);
    bool ok = Next(mapiResults, true);
    if (!ok) InternalWarning(eeEmailMAPIError, 0, "Cannot send the MAPI message.");
    return ok;
  }
  bool SendByShell(const std::string& address) override {
    shellCalls.push_back(address);
    return Next(shellResults, true);
  }
  TSmtpSendResult SendBySmtp(const TSmtpSendRequest& r) override {
    smtpCalls.push_back(r);
    TSmtpSendResult res;
    res.Sent = Next(smtpResults, true);
    if (!res.Sent) InternalWarning(eeEmailSMTPError, 0, "[SMTP] refused");
    return res;
  }
  TWebUploadResult UploadToWeb(const TWebUploadRequest& r) override {
    webCalls.push_back(r);
    See(r.Files);
    return Next(webResults, TWebUploadResult());
  }
  void OpenProgress(const TFaultModuleOptions&, bool) override { ++opened; }
  void SetStatus(const std::string&) override {}
  void SetProgress(int) override {}
  void CloseProgress() override { ++closed; }
  void ShowMessage(const std::string& text, const std::string&, uint32_t flags) override {
    messages.push_back(text + "|" + std::to_string(flags));
  }
  void CopyToClipboard(const std::string& text) override { clipboard.push_back(text); }
};

TWebUploadResult Failed(int code, const char* text) {
  TWebUploadResult r;
  r.Code = code;
  r.ErrorCode = eeWebHTTPError;
  r.Message = text;
  return r;
}

struct Fixture {
  TempDir temp, logs;
  TFaultModuleOptions options{"prog.exe", false};
  TFakePlatform platform;
  TDeliveryRequest request;
  Fixture() {
    platform.temp = temp.Folder();
    request.Options = &options;
    request.LogFileName = logs / "prog.flf";
    request.DeliveryText = "Faultline 5.1.11\r\nreport body\r\n";
    request.Report.Report = "current report";
    request.ExceptionTime = 45356.588298611;  // 2024-03-05 14:07:09
    options.SetSendFlags(0);
    options.SetUploadMode(1);
    options.SetUploadUrl("http://127.0.0.1/up");
  }
};

std::string TarListing(const std::string& archive) {
  int status = 0;
  std::string out = python_judge::Shell("tar -tzf '" + archive + "' 2>&1", &status);
  EXPECT_EQ(status, 0) << out;
  return out;
}

TEST(DeliveryRun, RetryAsksAgainAndTheNewAnswerReplacesTheOld) {
  Fixture f;
  Touch(f.temp / "extra.txt");
  int asked = 0, fieldsAsked = 0;
  f.request.Events.AttachedFiles = [&](std::vector<std::string>& files) {
    ++asked;
    files.push_back(f.temp / "extra.txt");
  };
  f.request.Events.CustomFields = [&](std::vector<std::string>& names, std::vector<std::string>& values) {
    ++fieldsAsked;
    names.push_back("attempt");
    values.push_back(std::to_string(fieldsAsked));
  };
  int errors = 0;
  f.request.Events.Error = [&](int kind, bool& retry) {
    EXPECT_EQ(kind, ErrorWebFailed);
    retry = ++errors < 3;
  };
  std::vector<int> actions;
  f.request.Events.Action = [&](int action, bool& goOn) {
    actions.push_back(action);
    if (action == ActionAfterWeb) {
      EXPECT_TRUE(goOn);
    }
  };
  f.platform.webResults = {Failed(500, "HTTP error code: 500 (x)"), Failed(404, "HTTP error code: 404 (y)")};
  TDeliveryResult r = RunDelivery(f.request, f.platform);
  EXPECT_TRUE(r.Delivered);
  EXPECT_EQ(errors, 2);
  EXPECT_EQ(actions, (std::vector<int>{ActionBeforeWeb, ActionAfterWeb}));
  ASSERT_EQ(f.platform.webCalls.size(), 3u);
  for (size_t i = 0; i < 3; ++i) {
    const auto& call = f.platform.webCalls[i];
    EXPECT_EQ(call.FieldNames, std::vector<std::string>{"attempt"}) << i;
    EXPECT_EQ(call.FieldValues, std::vector<std::string>{std::to_string(i + 1)}) << i;
    EXPECT_EQ(call.Files, (std::vector<std::string>{f.temp / "prog.flf", f.temp / "extra.txt"})) << i;
  }
  EXPECT_EQ(asked, 3);
  // The report copy travels with its three closing CR LF pairs and is gone afterwards.
  EXPECT_EQ(f.platform.seen[0][0].second, f.request.DeliveryText + "\r\n\r\n\r\n");
  EXPECT_FALSE(fs::exists(f.temp / "prog.flf"));
  EXPECT_EQ(f.platform.opened, 3);
  EXPECT_EQ(f.platform.closed, 3);
}

TEST(DeliveryRun, NoReportFileWrittenIsAFailureNotASuccess) {
  struct Case {
    const char* name;
    uint8_t mailMode, uploadMode;
    bool logAppend;
    bool delivered;  // the mail still carries the report in its body with LogAppend
  } cases[] = {
      {"web", 0, 1, false, false},
      {"mail client", 1, 0, false, false},
      {"smtp", 2, 0, false, false},
      {"mail with report in body", 1, 0, true, true},
  };
  for (const Case& c : cases) {
    Fixture f;
    f.request.TempFolder = f.temp / "no-such-folder/";
    f.options.SetMailMode(c.mailMode);
    f.options.SetUploadMode(c.uploadMode);
    f.options.SetLogAppend(c.logAppend);
    f.options.SetSendFlags(SendShowOutcome);
    f.options.SetHandlingFlags(HandlingKeepCopyOnFailure);
    TDeliveryResult r = RunDelivery(f.request, f.platform);
    EXPECT_EQ(r.Delivered, c.delivered) << c.name;
    EXPECT_EQ(f.platform.webCalls.size() + f.platform.smtpCalls.size() + f.platform.mapiCalls.size(),
              c.delivered ? 1u : 0u)
        << c.name;
    if (!c.delivered) {
      EXPECT_NE(r.ErrorCode, eeNone) << c.name;
      EXPECT_NE(r.ErrorText.find("none of the report files"), std::string::npos)
          << c.name << ": " << r.ErrorText;
      EXPECT_EQ(f.platform.messages, std::vector<std::string>{"Sorry, sending the message didn't work.|" +
                                                              std::to_string(0x242010)})
          << c.name;
    }
  }
}

TEST(DeliveryRun, VetoedMailCountsAsFailedAndTheWebStillRuns) {
  Fixture f;
  f.options.SetMailMode(1);
  std::vector<int> actions;
  f.request.Events.Action = [&](int action, bool& goOn) {
    actions.push_back(action);
    if (action == ActionBeforeMail) goOn = false;
  };
  f.options.SetHandlingFlags(HandlingClipboardOnFailure);
  TDeliveryResult r = RunDelivery(f.request, f.platform);
  EXPECT_FALSE(r.Delivered);
  EXPECT_TRUE(r.WebSent);
  EXPECT_TRUE(f.platform.mapiCalls.empty());
  EXPECT_EQ(actions, (std::vector<int>{ActionBeforeMail, ActionBeforeWeb, ActionAfterWeb}));
  EXPECT_EQ(f.platform.clipboard, std::vector<std::string>{"current report"});
}

TEST(DeliveryRun, MailClientFailureFallsBackToTheMailtoHandlerWithTheReport) {
  Fixture f;
  f.options.SetUploadMode(0);
  f.options.SetMailMode(1);
  f.options.SetMailTo("a@example.org; b@example.org");
  f.options.SetMailSubject("Crash");
  f.options.SetMailBody("Hello");
  f.platform.mapiResults = {false};
  TDeliveryResult r = RunDelivery(f.request, f.platform);
  EXPECT_TRUE(r.Delivered);
  ASSERT_EQ(f.platform.shellCalls.size(), 1u);
  EXPECT_EQ(f.platform.shellCalls[0],
            "mailto:a@example.org; b@example.org?Subject=Crash&Body=Hello%0D%0A%0D%0A%0D%0Acurrent%20report");
  // The mail client's failure stays on record although the handler delivered.
  EXPECT_EQ(r.ErrorCode, eeEmailMAPIError);
  EXPECT_EQ(f.platform.opened, 0);
}

TEST(DeliveryRun, KeptCopiesStayTenOfOursAndLeaveOtherArchivesAlone) {
  for (bool packed : {false, true}) {
    Fixture f;
    f.options.SetSendFlags(SendTimeStampNames | (packed ? SendCompressed : 0));
    f.options.SetHandlingFlags(HandlingKeepCopyOnFailure);
    f.platform.webResults = {Failed(500, "HTTP error code: 500 (x)")};
    std::set<std::string> before;
    for (int i = 0; i < 10; ++i) {
      std::string name = "CompressFiles_2023010100000" + std::to_string(i) + ".tgz";
      Touch(f.logs / name);
      before.insert(name);
    }
    for (const char* other : {"aaa.tgz", "backup.tgz", "CompressFiles_old.tgz"}) Touch(f.logs / other);
    TDeliveryResult r = RunDelivery(f.request, f.platform);
    EXPECT_FALSE(r.Delivered);
    EXPECT_EQ(r.ErrorCode, eeWebHTTPError);
    EXPECT_EQ(r.KeptCopy, f.logs / "CompressFiles_20240305140709.tgz") << packed;
    EXPECT_FALSE(fs::exists(f.logs / "CompressFiles_20230101000000.tgz")) << packed;
    for (const char* other : {"aaa.tgz", "backup.tgz", "CompressFiles_old.tgz", "CompressFiles_20230101000001.tgz"})
      EXPECT_TRUE(fs::exists(f.logs / other)) << other;
    EXPECT_NE(TarListing(r.KeptCopy).find("prog_20240305140709.flf"), std::string::npos);
    EXPECT_FALSE(fs::exists(f.temp / "CompressFiles.tgz"));
  }
}

TEST(DeliveryRun, KeptCopyNeverReplacesOrLosesAnArchive) {
  struct Case {
    const char* name;
    uint16_t flags;
    bool logFolderMissing;
    bool logAppendMail;
  } cases[] = {
      {"packed, name taken", SendCompressed, false, false},
      {"built, name taken", 0, false, false},
      {"packed, log folder missing", SendCompressed, true, false},
      {"built, log folder missing", 0, true, false},
      {"mail with the report in the body", SendCompressed, false, true},
  };
  for (const Case& c : cases) {
    Fixture f;
    f.options.SetSendFlags(c.flags);
    f.options.SetHandlingFlags(HandlingKeepCopyOnFailure);
    if (c.logAppendMail) {
      f.options.SetUploadMode(0);
      f.options.SetMailMode(2);
      f.options.SetLogAppend(true);
      Touch(f.temp / "extra.bin", "extra");
      f.options.SetExtraFiles(f.temp / "extra.bin");
      f.platform.smtpResults = {false};
    } else {
      f.platform.webResults = {Failed(404, "HTTP error code: 404 (y)")};
    }
    if (c.logFolderMissing) f.request.LogFileName = f.logs / "gone/prog.flf";
    Touch(f.logs / "CompressFiles.tgz", "earlier copy");
    TDeliveryResult r = RunDelivery(f.request, f.platform);
    EXPECT_FALSE(r.Delivered) << c.name;
    ASSERT_FALSE(r.KeptCopy.empty()) << c.name;
    EXPECT_TRUE(fs::exists(r.KeptCopy)) << c.name;
    if (!c.logFolderMissing) EXPECT_EQ(r.KeptCopy, f.logs / "CompressFiles_2.tgz") << c.name;
    else EXPECT_EQ(r.KeptCopy.rfind(f.temp.Folder() + "CompressFiles_2024", 0), 0u) << c.name << r.KeptCopy;
    std::string listing = TarListing(r.KeptCopy);
    EXPECT_NE(listing.find("prog.flf"), std::string::npos) << c.name << listing;
    std::ifstream earlier(f.logs / "CompressFiles.tgz");
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(earlier), {}), "earlier copy") << c.name;
  }
}

TEST(DeliveryRunText, MailtoAndMailClientRules) {
  EXPECT_EQ(MailtoEncode("a-Z09 .%\r\n\xB1\xA8"), "a-Z09%20%2E%25%0D%0A\xB1\xA8");
  EXPECT_EQ(MailtoAddress("x@y.z", "S&b=1", "?"), "mailto:x@y.z?Subject=S%26b%3D1&Body=%3F");
  // A quote or line break among the recipients cannot end the handler's argument.
  EXPECT_EQ(MailtoAddress("a@b\" /evil\r", "", ""), "mailto:a@b%22 /evil%0D?Subject=&Body=");
  EXPECT_EQ(MailtoCommand("\"C:\\m.exe\" /to \"%1\" %2 %1%", "mailto:x"), "\"C:\\m.exe\" /to \"mailto:x\" %2 mailto:x%");
  EXPECT_EQ(SplitRecipients(" a@b ;; c@d,\te@f , "), (std::vector<std::string>{"a@b", "c@d", "e@f"}));
  EXPECT_EQ(MailClientSubject("A\r\n\tB\x01" "C"), "A B C");
  EXPECT_EQ(WithReportEnding("x"), "x\r\n\r\n\r\n");
  EXPECT_EQ(WithReportEnding("x\r\n\r\n\r\n"), "x\r\n\r\n\r\n");
  EXPECT_EQ(StatusWithCounter("Message", 1, 2, "Sending message..."), "Message 1/2: Sending message...");
}

TEST(DeliveryRunText, OurArchivesAndTheirOrder) {
  for (const char* ours : {"CompressFiles.tgz", "compressfiles.TGZ", "CompressFiles_2.tgz",
                           "CompressFiles_20240305140709.tgz", "CompressFiles_20240305140709_12.tgz"})
    EXPECT_TRUE(IsKeptArchiveName(ours)) << ours;
  for (const char* theirs : {"backup.tgz", "CompressFiles_old.tgz", "CompressFiles_.tgz", "CompressFiles_1_2_3.tgz",
                             "CompressFiles2.tgz", "xCompressFiles.tgz", "CompressFiles.tgz.tgz"})
    EXPECT_FALSE(IsKeptArchiveName(theirs)) << theirs;
  // Sequence numbers count, not sort as text: the 11th copy without a time stamp is the newest.
  std::vector<std::string> names = {"backup.tgz", "CompressFiles.tgz"};
  for (int i = 2; i <= 11; ++i) names.push_back("CompressFiles_" + std::to_string(i) + ".tgz");
  EXPECT_EQ(KeptArchivesToDelete(names), std::vector<std::string>{"CompressFiles.tgz"});
  EXPECT_EQ(NextKeptArchiveName(names, 0, 0), "CompressFiles_12.tgz");
  EXPECT_EQ(NextKeptArchiveName({"backup.tgz"}, 0, 0), "CompressFiles.tgz");
  // A copy out for sending again keeps its name taken: it comes back under it when sending fails.
  EXPECT_EQ(NextKeptArchiveName({"Sending.12-01D9.CompressFiles.tgz"}, 0, 0), "CompressFiles_2.tgz");
  EXPECT_EQ(NextKeptArchiveName({"CompressFiles_20240305140709.tgz"}, SendTimeStampNames, 45356.588298611),
            "CompressFiles_20240305140709_2.tgz");
  EXPECT_TRUE(KeptArchivesToDelete({"a.tgz", "b.tgz", "CompressFiles.tgz"}, 0) ==
              std::vector<std::string>{"CompressFiles.tgz"});
}

}  // namespace
