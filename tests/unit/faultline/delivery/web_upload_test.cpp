// The decisions around a web upload that need no network: where it goes (port, user and password
// from the options or the address, text that would break a request refused), how an HTTP status
// is read, the FTP names, and the texts a failure is recorded with.
#include <gtest/gtest.h>

#include "faultline/delivery/web_upload.h"

namespace {

TEST(ResolveWebUploadTarget, Table) {
  struct TCase {
    const char* address;
    uint16_t port;
    const char *user, *password;
    bool ok;
    const char *host = "", *path = "";
    uint16_t wantPort = 0;
    const char *wantUser = "", *wantPassword = "";
  };
  const std::vector<TCase> cases = {
      // The port option wins; 0 falls back to the address's port (0 there: the protocol's default).
      {"http://host:8080/path", 81, "", "", true, "host", "path", 81},
      {"http://host:8080/path", 0, "", "", true, "host", "path", 8080},
      {"http://host/up/load.php", 0, "", "", true, "host", "up/load.php", 0},
      // Options given: the address's credentials are not used, not even the half the options leave out.
      {"ftp://au:ap@host/in", 21, "ou", "", true, "host", "in", 21, "ou", ""},
      {"ftp://au:ap@host/in", 21, "", "op", true, "host", "in", 21, "", "op"},
      {"ftp://au:p@s:s@host/in", 21, "", "", true, "host", "in", 21, "au", "p@s:s"},
      {"http://host:80a/", 80, "", "", false},
      {"", 80, "", "", false},
      {"http://host/a\r\nX-Injected: 1", 80, "", "", false},
      {"http://host/a b", 80, "", "", true, "host", "a b", 80},
      {"ftp://host/in", 21, "user\r\nDELE x", "pw", false},
      {"ftp://host/in", 21, "user", "pw\n", false},
      {"ftp://us%0D:pw@host/in", 21, "", "", true, "host", "in", 21, "us%0D", "pw"},
  };
  for (const TCase& c : cases) {
    TWebUploadRequest request;
    request.Address = c.address;
    request.Port = c.port;
    request.User = c.user;
    request.Password = c.password;
    const TWebUploadTarget t = ResolveWebUploadTarget(request);
    ASSERT_EQ(t.Ok, c.ok) << c.address;
    if (!t.Ok) {
      EXPECT_NE(t.Code, 0) << c.address;
      EXPECT_FALSE(t.ErrorText.empty()) << c.address;
      continue;
    }
    EXPECT_EQ(t.Host, c.host) << c.address;
    EXPECT_EQ(t.Path, c.path) << c.address;
    EXPECT_EQ(t.Port, c.wantPort) << c.address;
    EXPECT_EQ(t.User, c.wantUser) << c.address;
    EXPECT_EQ(t.Password, c.wantPassword) << c.address;
  }
}

TEST(ParseHttpStatus, OnlyThreeDigitStatusesAreNumbers) {
  const std::vector<std::pair<const char*, int32_t>> cases = {
      {"200", 200}, {"404", 404}, {" 302 ", 302}, {"999", 999}, {"0", kWebUploadUnreadableStatus},
      {"000", kWebUploadUnreadableStatus}, {"099", kWebUploadUnreadableStatus}, {"", kWebUploadUnreadableStatus},
      {"20", kWebUploadUnreadableStatus}, {"2000", kWebUploadUnreadableStatus}, {"2OO", kWebUploadUnreadableStatus},
      {"-20", kWebUploadUnreadableStatus}, {"99999999999", kWebUploadUnreadableStatus},
  };
  for (const auto& [text, want] : cases) EXPECT_EQ(ParseHttpStatus(text), want) << '"' << text << '"';
}

TEST(WinInetMessageText, MatchesTheWholeCode) {
  EXPECT_EQ(WinInetMessageText(12002), "The request has timed out.");
  EXPECT_EQ(WinInetMessageText(12171), "The function failed due to a security check.");
  EXPECT_EQ(WinInetMessageText(12042),
            "The application is posting and attempting to change multiple lines of text on a server that is not "
            "secure.");
  for (int32_t unknown : {0, 1200, 120020, 12001, 404, -1, 2147483647}) EXPECT_EQ(WinInetMessageText(unknown), "");
}

TEST(FinishWebUploadResult, TextsAndErrorCodes) {
  struct TCase {
    TWebUploadMode mode;
    int32_t code;
    const char* text;
    TFaultlineErrorCode kind;
    const char* message;
  };
  const std::vector<TCase> cases = {
      {TWebUploadMode::Http, 0, "", eeNone, ""},
      {TWebUploadMode::Http, 404, "Not Found", eeWebHTTPError, "HTTP error code: 404 (Not Found)"},
      {TWebUploadMode::Https, -1, "", eeWebHTTPSError,
       "HTTPS error code: -1 - Cannot find the \"wininet.dll\" library."},
      {TWebUploadMode::Ftp, 12029, "", eeWebFTPError, "FTP error code: 12029"},
      {TWebUploadMode::None, 12015, "530 Login incorrect.", eeWebFTPError,
       "FTP error code: 12015 (530 Login incorrect.)"},
      {TWebUploadMode::Http, kWebUploadUnreadableStatus, "", eeWebHTTPError, "HTTP error code: 2147483647"},
  };
  for (const TCase& c : cases) {
    TWebUploadResult r;
    r.Code = c.code;
    r.ErrorText = c.text;
    FinishWebUploadResult(r, c.mode, "wininet.dll");
    EXPECT_EQ(r.ErrorCode, c.kind) << c.message;
    EXPECT_EQ(r.Message, c.message);
    EXPECT_EQ(r.Succeeded(), c.code == 0);
  }
}

TEST(FtpNames, FolderAndFileName) {
  EXPECT_EQ(FtpRemoteFolder(""), "");
  EXPECT_EQ(FtpRemoteFolder("in"), "in/");
  EXPECT_EQ(FtpRemoteFolder("in/reports/"), "in/reports/");
  EXPECT_EQ(FtpRemoteFileName("report.txt"), "report.txt");
  EXPECT_EQ(FtpRemoteFileName("C:\\temp\\\xb1\xa8\xb8\xe6.txt"), "\xb1\xa8\xb8\xe6.txt");
  EXPECT_EQ(FtpRemoteFileName("a/b\\c.log"), "c.log");
  EXPECT_EQ(FtpRemoteFileName("x.txt\r\nDELE y\x7f"), "x.txt__DELE y_");
}

}  // namespace
