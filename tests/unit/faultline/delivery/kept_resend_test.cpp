// The resend of kept copies over a scripted platform on a real folder: which copies go and in what
// order, the claim each one is sent under, the stop at the first failure, runs that race or repeat
// (nothing goes twice), other archives left alone, and claims whose process has gone.
#include <gtest/gtest.h>

#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

#include "faultline/delivery/kept_resend.h"

#include "tests/unit/python_judge.h"

namespace fs = std::filesystem;

namespace {

using python_judge::TempDir;

void Write(const std::string& path, const std::string& bytes) { std::ofstream(path, std::ios::binary) << bytes; }
std::string Read(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

// The folder's files and their bytes.
std::map<std::string, std::string> Contents(const std::string& folder) {
  std::map<std::string, std::string> out;
  for (const auto& e : fs::directory_iterator(folder)) out[e.path().filename().string()] = Read(e.path().string());
  return out;
}

// One delivery as the platform saw it: the path it was given, the name it was sent under, the
// bytes at that path, and whether a file of our own name still sat beside it.
struct TSend {
  std::string Path, Name, Bytes;
};

class TFakePlatform : public TDeliveryPlatform {
 public:
  TStdFileAccess files;
  std::vector<bool> smtpResults, webResults;  // scripted, then success
  std::vector<TSmtpSendRequest> smtpCalls;
  std::vector<TWebUploadRequest> webCalls;
  std::vector<TSend> sent;  // every delivery attempt, both methods
  std::function<void()> duringSend;
  int shown = 0;

  TFaultFileAccess& Files() override { return files; }
  std::string TempFolder() override { return "/nonexistent/"; }
  std::vector<std::string> ListArchives(const std::string& folder) override {
    std::vector<std::string> out;
    for (const auto& e : fs::directory_iterator(folder)) {
      std::string ext = e.path().extension().string();  // "*.tgz" in any case, as Windows matches it
      for (char& ch : ext) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
      if (e.is_regular_file() && ext == ".tgz") out.push_back(e.path().filename().string());
    }
    return out;
  }
  bool MoveFile(const std::string& from, const std::string& to) override {
    if (fs::exists(to)) return false;
    std::error_code ec;
    fs::rename(from, to, ec);
    return !ec;
  }
  static bool Next(std::vector<bool>& script) {
    if (script.empty()) return true;
    bool v = script.front();
    script.erase(script.begin());
    return v;
  }
  void Saw(const std::string& path, const std::string& name) {
    sent.push_back({path, name, files.Exists(path) ? Read(path) : "<missing>"});
    if (auto during = std::move(duringSend)) during();
  }
  bool SendByMailClient(const TMailClientMessage&) override { return ++shown, false; }
  bool SendByShell(const std::string&) override { return ++shown, false; }
  TSmtpSendResult SendBySmtp(const TSmtpSendRequest& r) override {
    smtpCalls.push_back(r);
    Saw(r.Attachments.at(0).Path, r.Attachments.at(0).DisplayName);
    TSmtpSendResult res;
    res.Sent = Next(smtpResults);
    return res;
  }
  TWebUploadResult UploadToWeb(const TWebUploadRequest& r) override {
    webCalls.push_back(r);
    Saw(r.Files.at(0), r.DisplayNames.at(0));
    TWebUploadResult res;
    if (!Next(webResults)) {
      res.Code = 500;
      res.ErrorCode = eeWebHTTPError;
      res.Message = "HTTP error code: 500 (Internal Server Error)";
    }
    return res;
  }
  void OpenProgress(const TFaultModuleOptions&, bool) override { ++shown; }
  void SetStatus(const std::string&) override {}
  void SetProgress(int) override {}
  void CloseProgress() override {}
  void ShowMessage(const std::string&, const std::string&, uint32_t) override { ++shown; }
  void CopyToClipboard(const std::string&) override { ++shown; }
};

struct Fixture {
  TempDir dir;
  std::string folder = dir.Folder();
  TFaultModuleOptions options{"prog.exe", false};
  TFakePlatform platform;
  TKeptResendHost host;
  std::set<std::string> alive{"me", "7-live"};
  Fixture() {
    options.SetResendKept(true);
    options.SetMailMode(2);
    options.SetMailServer("mail.example.test");
    options.SetMailServerPort(2525);
    options.SetMailServerUser("user");
    options.SetMailServerPassword("pw");
    options.SetMailSender("app@example.test");
    options.SetMailTo("dev@example.test;qa@example.test");
    options.SetMailSubject("crash");
    options.SetMailBody("see the archive");
    options.SetMailFallbackDns("127.0.0.1:53");
    options.SetLogAppend(true);
    host.Owner = "me";
    host.OwnerAlive = [this](const std::string& owner) { return alive.count(owner) > 0; };
  }
  void Keep(const std::string& name) { Write(folder + name, "bytes of " + name); }
  TKeptResendResult Run(size_t max = 10) { return ResendKeptArchives(options, folder, host, platform, max); }
  std::vector<std::string> SentNames() const {
    std::vector<std::string> out;
    for (const TSend& s : platform.sent) out.push_back(s.Name);
    return out;
  }
};

using Names = std::vector<std::string>;

TEST(KeptResend, OnlyBackgroundMethodsTakePartAndEachSendsTheCopyAsTheOptionsSay) {
  struct Case {
    bool resendKept;
    uint8_t mailMode, uploadMode;
    size_t smtp, web;
  } cases[] = {
      {false, 2, 1, 0, 0}, {true, 0, 0, 0, 0}, {true, 1, 0, 0, 0},  // the mail client needs a user
      {true, 2, 0, 1, 0},  {true, 3, 0, 1, 0}, {true, 1, 1, 0, 1},  {true, 0, 2, 0, 1},
      {true, 0, 3, 0, 1},  {true, 2, 3, 1, 1}, {true, 0, 4, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.resendKept << " mail " << int(c.mailMode) << " upload " << int(c.uploadMode));
    Fixture f;
    f.options.SetResendKept(c.resendKept);
    f.options.SetMailMode(c.mailMode);
    f.options.SetUploadMode(c.uploadMode);
    f.options.SetUploadUrl("https://reports.example.test/up");
    f.options.SetUploadPort(0x10000 | 8443);
    f.options.SetUploadUser("u");
    f.options.SetUploadPassword("p");
    f.Keep("CompressFiles.tgz");
    EXPECT_EQ(KeptResendWanted(f.options), c.smtp + c.web > 0);
    TKeptResendResult r = f.Run();
    ASSERT_EQ(f.platform.smtpCalls.size(), c.smtp);
    ASSERT_EQ(f.platform.webCalls.size(), c.web);
    EXPECT_EQ(f.platform.shown, 0);  // no mail client, no window of any kind
    EXPECT_EQ(fs::exists(f.folder + "CompressFiles.tgz"), c.smtp + c.web == 0);
    EXPECT_EQ(r.Sent, c.smtp + c.web ? Names{"CompressFiles.tgz"} : Names{});
    const std::string claim = f.folder + KeptClaimName("me", "CompressFiles.tgz");
    if (c.smtp) {
      const TSmtpSendRequest& m = f.platform.smtpCalls[0];
      EXPECT_EQ(m.UseMailExchanger, c.mailMode == 3);
      EXPECT_EQ(m.Server, "mail.example.test");
      EXPECT_EQ(m.Port, 2525);
      EXPECT_EQ(m.User, "user");
      EXPECT_EQ(m.Password, "pw");
      EXPECT_EQ(m.Sender, "app@example.test");
      EXPECT_EQ(m.Recipients, "dev@example.test;qa@example.test");
      EXPECT_EQ(m.Subject, "crash");
      EXPECT_EQ(m.Body, "see the archive");  // the report is in the archive, not appended
      EXPECT_EQ(m.FallbackDns, "127.0.0.1:53");
      ASSERT_EQ(m.Attachments.size(), 1u);
      EXPECT_EQ(m.Attachments[0].Path, claim);
      EXPECT_EQ(m.Attachments[0].DisplayName, "CompressFiles.tgz");
    }
    if (c.web) {
      const TWebUploadRequest& w = f.platform.webCalls[0];
      EXPECT_EQ(w.Mode, static_cast<TWebUploadMode>(c.uploadMode));
      EXPECT_EQ(w.Address, "https://reports.example.test/up");
      EXPECT_EQ(w.Port, 8443);
      EXPECT_EQ(w.User, "u");
      EXPECT_EQ(w.Password, "p");
      EXPECT_EQ(w.Files, Names{claim});
      EXPECT_EQ(w.DisplayNames, Names{"CompressFiles.tgz"});
    }
  }
}

TEST(KeptResend, OursGoOldestFirstUnderAClaimAndOtherArchivesStay) {
  Fixture f;
  const Names ours = {"CompressFiles_20240305140709.tgz", "compressfiles_2.TGZ", "CompressFiles.tgz",
                      "CompressFiles_20240101000000_3.tgz", "CompressFiles_20240101000000_12.tgz"};
  for (const std::string& n : ours) f.Keep(n);
  const Names others = {"other.tgz", "CompressFilesX.tgz", "CompressFiles_1_2_3.tgz", "Sending.x.other.tgz"};
  for (const std::string& n : others) f.Keep(n);
  Write(f.folder + "CompressFiles.tgz.txt", "not an archive");
  const auto before = Contents(f.folder);

  TKeptResendResult r = f.Run();
  const Names order = {"CompressFiles.tgz", "compressfiles_2.TGZ", "CompressFiles_20240101000000_3.tgz",
                       "CompressFiles_20240101000000_12.tgz", "CompressFiles_20240305140709.tgz"};
  EXPECT_EQ(f.SentNames(), order);
  EXPECT_EQ(r.Sent, order);
  EXPECT_TRUE(r.Failed.empty());
  for (const TSend& s : f.platform.sent) {
    // Sent from its claim, whole, while its own name was free (no other process can take it).
    EXPECT_EQ(s.Path, f.folder + KeptClaimName("me", s.Name));
    EXPECT_FALSE(IsKeptArchiveName(s.Path.substr(f.folder.size())));
    EXPECT_EQ(s.Bytes, "bytes of " + s.Name);
  }
  auto after = Contents(f.folder);
  auto expected = before;
  for (const std::string& n : ours) expected.erase(n);
  EXPECT_EQ(after, expected);
}

TEST(KeptResend, TheFirstFailurePutsThatCopyBackAndStopsTheRun) {
  Fixture f;
  for (const char* n : {"CompressFiles.tgz", "CompressFiles_2.tgz", "CompressFiles_3.tgz"}) f.Keep(n);
  f.platform.smtpResults = {true, false, true};
  TKeptResendResult r = f.Run();
  EXPECT_EQ(f.SentNames(), (Names{"CompressFiles.tgz", "CompressFiles_2.tgz"}));
  EXPECT_EQ(r.Sent, Names{"CompressFiles.tgz"});
  EXPECT_EQ(r.Failed, "CompressFiles_2.tgz");
  EXPECT_EQ(Contents(f.folder), (std::map<std::string, std::string>{
                                    {"CompressFiles_2.tgz", "bytes of CompressFiles_2.tgz"},
                                    {"CompressFiles_3.tgz", "bytes of CompressFiles_3.tgz"}}));
  // Both methods must deliver: mail went, the upload failed, so the copy stays for next time.
  f.options.SetUploadMode(1);
  f.platform.webResults = {false};
  f.platform.sent.clear();
  r = f.Run();
  EXPECT_EQ(f.SentNames(), (Names{"CompressFiles_2.tgz", "CompressFiles_2.tgz"}));
  EXPECT_EQ(r.Failed, "CompressFiles_2.tgz");
  EXPECT_TRUE(fs::exists(f.folder + "CompressFiles_2.tgz"));
  EXPECT_EQ(LastInternalWarning().Code, eeWebHTTPError);
  // The next start takes up where it stopped.
  f.platform.sent.clear();
  r = f.Run();
  EXPECT_EQ(r.Sent, (Names{"CompressFiles_2.tgz", "CompressFiles_3.tgz"}));
  EXPECT_TRUE(Contents(f.folder).empty());
}

TEST(KeptResend, RacingAndRepeatedRunsSendEachCopyOnce) {
  Fixture f;
  for (const char* n : {"CompressFiles.tgz", "CompressFiles_2.tgz", "CompressFiles_3.tgz", "CompressFiles_4.tgz"})
    f.Keep(n);
  // A second process starts while the first is sending its first copy, and runs to its end.
  TKeptResendHost other = f.host;
  other.Owner = "7-live";
  TFakePlatform second;
  TKeptResendResult otherResult;
  f.platform.duringSend = [&] { otherResult = ResendKeptArchives(f.options, f.folder, other, second, 10); };
  TKeptResendResult r = f.Run();
  EXPECT_EQ(r.Sent, Names{"CompressFiles.tgz"});
  EXPECT_EQ(otherResult.Sent, (Names{"CompressFiles_2.tgz", "CompressFiles_3.tgz", "CompressFiles_4.tgz"}));
  EXPECT_TRUE(Contents(f.folder).empty());
  // A later start finds nothing to send.
  const size_t before = f.platform.sent.size();
  r = f.Run();
  EXPECT_TRUE(r.Sent.empty());
  EXPECT_EQ(f.platform.sent.size(), before);
}

TEST(KeptResend, ClaimsOfEndedProcessesGoBackInTheQueueOthersStay) {
  struct Case {
    const char* what;
    Names files;       // kept copies and claims in the folder (claims of owner "9-dead" have ended)
    Names sent;        // what this run sends, in order
    Names left;        // what remains in the folder
  } cases[] = {
      {"ended claim takes its place in the order",
       {"CompressFiles_2.tgz", "Sending.9-dead.CompressFiles.tgz", "CompressFiles_3.tgz"},
       {"CompressFiles.tgz", "CompressFiles_2.tgz", "CompressFiles_3.tgz"},
       {}},
      {"a live process's claim is its own business",
       {"Sending.7-live.CompressFiles.tgz", "CompressFiles_2.tgz"},
       {"CompressFiles_2.tgz"},
       {"Sending.7-live.CompressFiles.tgz"}},
      {"this process's own claim (an earlier run still sending) is left",
       {"Sending.me.CompressFiles.tgz"},
       {},
       {"Sending.me.CompressFiles.tgz"}},
      {"a copy of the same name appeared meanwhile: the claim comes back under a new name",
       {"Sending.9-dead.CompressFiles_20240101000000.tgz", "CompressFiles_20240101000000.tgz",
        "CompressFiles_20240305140709.tgz"},
       {"CompressFiles.tgz", "CompressFiles_20240101000000.tgz", "CompressFiles_20240305140709.tgz"},
       {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Fixture f;
    for (const std::string& n : c.files) f.Keep(n);
    TKeptResendResult r = f.Run();
    EXPECT_EQ(f.SentNames(), c.sent);
    Names left;
    for (const auto& [name, bytes] : Contents(f.folder)) left.push_back(name);
    EXPECT_EQ(left, c.left);
    // Whatever name a copy went under, its bytes are those it was kept with, sent once.
    std::multiset<std::string> bytes;
    for (const TSend& s : f.platform.sent) bytes.insert(s.Bytes);
    for (const std::string& n : c.files) {
      std::string owner, kept;
      const bool claim = ParseKeptClaimName(n, owner, kept);
      const bool shouldGo = !claim || owner == "9-dead";
      EXPECT_EQ(bytes.count("bytes of " + n), shouldGo ? 1u : 0u) << n;
    }
  }
  // Without a way to tell, no claim is taken for stale.
  Fixture f;
  f.host.OwnerAlive = nullptr;
  f.Keep("Sending.9-dead.CompressFiles.tgz");
  EXPECT_TRUE(f.Run().Requeued.empty());
  EXPECT_TRUE(fs::exists(f.folder + "Sending.9-dead.CompressFiles.tgz"));
}

TEST(KeptResend, AtMostTheGivenNumberAndAStopRequestEndsBetweenCopies) {
  Fixture f;
  for (int i = 1; i <= 12; ++i) f.Keep("CompressFiles_" + std::to_string(i) + ".tgz");
  EXPECT_EQ(f.Run(10).Sent.size(), 10u);
  EXPECT_EQ(Contents(f.folder).size(), 2u);
  int asked = 0;
  f.host.StopRequested = [&] { return ++asked > 1; };
  TKeptResendResult r = f.Run();
  EXPECT_EQ(r.Sent, Names{"CompressFiles_11.tgz"});
  EXPECT_TRUE(fs::exists(f.folder + "CompressFiles_12.tgz"));
}

TEST(KeptResend, ClaimNamesAreNeverOursAndReadBack) {
  const std::string claim = KeptClaimName("1234-01DB2A", "CompressFiles_20240305140709_2.tgz");
  EXPECT_FALSE(IsKeptArchiveName(claim));
  EXPECT_EQ(claim.substr(claim.size() - 4), ".tgz");  // still listed among the folder's archives
  std::string owner, kept;
  ASSERT_TRUE(ParseKeptClaimName(claim, owner, kept));
  EXPECT_EQ(owner, "1234-01DB2A");
  EXPECT_EQ(kept, "CompressFiles_20240305140709_2.tgz");
  for (const char* other : {"Sending..CompressFiles.tgz", "Sending.1.other.tgz", "Sending.CompressFiles.tgz",
                            "CompressFiles.tgz", "Sending.1.CompressFiles.tgz.part"})
    EXPECT_FALSE(ParseKeptClaimName(other, owner, kept)) << other;
}

}  // namespace
