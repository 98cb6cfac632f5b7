// The SMTP message judged by Python's email package (headers, parts, attachments decoded
// byte-identical, GBK names kept), its exact layout, the DATA payload read back the way a server
// reads it, reply codes, recipient lists, refused injections, the secret-free transcript and the
// Date header's zones.
#include <gtest/gtest.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

#include "faultline/codecs/codecs.h"
#include "tests/unit/python_judge.h"
#include "faultline/delivery/smtp_message.h"

namespace fs = std::filesystem;

namespace {

using namespace python_judge;

// The message read as 8-bit text (latin-1 keeps every byte as one character, so GBK names and the
// body come back as the bytes we wrote); values printed in hex, "-" for a missing one.
const char kMailJudge[] = R"PY(
import sys, email, email.utils
m = email.message_from_string(open(sys.argv[1], 'rb').read().decode('latin-1'))
h = lambda s: '-' if s is None else str(s).encode('latin-1').hex()
print('defects', len(m.defects))
for k in ('Date', 'From', 'Subject', 'To', 'Message-ID', 'MIME-Version', 'Bcc'):
    print(k, h(m[k]))
print('type', m.get_content_type(), m.get_boundary())
print('date', email.utils.parsedate_to_datetime(m['Date']).isoformat())
for p in m.get_payload():
    print('part', p.get_content_type(), len(p.defects), h(p.get_filename()), h(p.get_param('name')),
          p.get('Content-Transfer-Encoding', '-'), p.get_payload(decode=True).hex())
)PY";

TMailMessage SampleMessage() {
  TMailMessage m;
  m.Date = {2025, 3, 5, 9, 4, 5, 330};
  m.Sender = "faults@example.com";
  m.Recipient = "dev@example.org";
  m.Subject = "Tarn Import \xb1\xa8\xb8\xe6";  // GBK
  m.Body = "Exception in module Tarn_Import.exe\r\n.\r\n..two dots\r\n\xb4\xed\xce\xf3";
  m.TickCount = 4294967295u;
  return m;
}

TEST(MailMessage, PythonEmailReadsHeadersPartsAndAttachments) {
  TMailMessage m = SampleMessage();
  m.Attachments = {{"Report.txt", RandomBytes(150, 1)},  // 200 base64 characters
                   {"Screenshot.PNG", RandomBytes(120, 2)},  // exactly 160: two full lines
                   {"shot.png", RandomBytes(1000, 3)},
                   {"empty.log", ""},
                   {"\xb1\xa8\xb8\xe6.txt", RandomBytes(59, 4)},                 // GBK "report"
                   {"\x81\x5c.log", "\r\n.\r\n"},                                  // GBK trail byte 0x5C
                   {"a\"b\r\nContent-Type: text/html.bin", "x"}};                  // quote and line break
  const std::vector<std::string> got = RunPythonLines(kMailJudge, BuildMailMessage(m));
  std::vector<std::string> want = {
      "defects 0",
      "Date " + Hex("Wed, 5 Mar 2025 09:04:05 +0530"),
      "From " + Hex("<faults@example.com>"),
      "Subject " + Hex(m.Subject),
      "To " + Hex("<dev@example.org>"),
      "Message-ID " + Hex("<4294967295@faultline.tarn-import.invalid>"),
      "MIME-Version " + Hex("1.0"),
      "Bcc -",
      "type multipart/mixed =_xcjvnxkbhvfkxzhfdbvzldjhfv",
      "date 2025-03-05T09:04:05+05:30",
      "part text/plain 0 - - 7bit " + Hex(m.Body + "\r\n"),
  };
  auto part = [](const std::string& type, const std::string& shownName, const std::string& bytes) {
    return "part " + type + " 0 " + Hex(shownName) + " " + Hex(shownName) + " base64 " + Hex(bytes);
  };
  const auto& a = m.Attachments;
  want.push_back(part("application/octet-stream", "Report.txt", a[0].Bytes));
  want.push_back(part("image/png", "Screenshot.PNG", a[1].Bytes));
  want.push_back(part("image/png", "shot.png", a[2].Bytes));
  want.push_back(part("application/octet-stream", "empty.log", ""));
  want.push_back(part("application/octet-stream", "\xb1\xa8\xb8\xe6.txt", a[4].Bytes));
  want.push_back(part("application/octet-stream", "\x81\x5c.log", a[5].Bytes));
  want.push_back(part("application/octet-stream", "a\"b Content-Type: text/html.bin", "x"));
  EXPECT_EQ(got, want);
}

TEST(MailMessage, ControlCharactersCannotAddHeaders) {
  TMailMessage m = SampleMessage();
  m.Subject = "Crash\r\nBcc: evil@example.net";
  m.Sender = "faults@example.com>\r\n\r\nforged body";
  m.Recipient = "dev@example.org\tx";
  const std::vector<std::string> got = RunPythonLines(kMailJudge, BuildMailMessage(m));
  ASSERT_GE(got.size(), 8u);
  EXPECT_EQ(got[0], "defects 0");
  EXPECT_EQ(got[2], "From " + Hex("<faults@example.com> forged body>"));
  EXPECT_EQ(got[3], "Subject " + Hex("Crash Bcc: evil@example.net"));
  EXPECT_EQ(got[4], "To " + Hex("<dev@example.org x>"));
  EXPECT_EQ(got[7], "Bcc -");
}

TEST(MailMessage, ExactLayout) {
  TMailMessage m;
  m.Date = {2025, 3, 5, 9, 4, 5, 480};
  m.Sender = "from@example.com";
  m.Recipient = "to@example.org";
  m.Subject = "Crash";
  m.Body = "Hi";
  m.TickCount = 1234;
  m.MessageIdHost = "host.example";
  m.Attachments = {{"a.bin", "abc"}};
  EXPECT_EQ(BuildMailMessage(m),
            "Date: Wed, 5 Mar 2025 09:04:05 +0800\r\n"
            "From: <from@example.com>\r\n"
            "Subject: Crash\r\n"
            "To: <to@example.org>\r\n"
            "Content-Type: multipart/mixed; boundary=\"=_xcjvnxkbhvfkxzhfdbvzldjhfv\";\r\n"
            "MIME-Version: 1.0\r\n"
            "Message-ID: <1234@host.example>\r\n"
            "\r\n"
            "This is a multi-part message in MIME format\r\n"
            "\r\n"
            "--=_xcjvnxkbhvfkxzhfdbvzldjhfv\r\n"
            "Content-Type: text/plain\r\n"
            "Content-Transfer-Encoding: 7bit\r\n"
            "\r\n"
            "Hi\r\n"
            "\r\n"
            "--=_xcjvnxkbhvfkxzhfdbvzldjhfv\r\n"
            "Content-Type: application/octet-stream;\r\n"
            "        name=\"a.bin\"\r\n"
            "Content-Transfer-Encoding: base64\r\n"
            "Content-Disposition: attachment;\r\n"
            "        filename=\"a.bin\"\r\n"
            "\r\n"
            "YWJj\r\n"
            "--=_xcjvnxkbhvfkxzhfdbvzldjhfv--\r\n");
}

TEST(MailMessage, Base64LinesOf80) {
  struct TCase {
    size_t bytes;
    std::vector<size_t> lines;
  };
  for (const TCase& c : std::vector<TCase>{{150, {80, 80, 40}}, {120, {80, 80}}, {60, {80}}, {1, {4}}, {0, {}}}) {
    const std::string bytes = RandomBytes(c.bytes, 7);
    const std::string text = Base64Lines(bytes);
    std::string joined;
    std::vector<size_t> lengths;
    for (size_t pos = 0; pos < text.size();) {
      size_t end = text.find("\r\n", pos);
      size_t stop = end == std::string::npos ? text.size() : end;
      lengths.push_back(stop - pos);
      joined += text.substr(pos, stop - pos);
      pos = end == std::string::npos ? text.size() : end + 2;
    }
    EXPECT_EQ(lengths, c.lines) << c.bytes;
    EXPECT_EQ(Base64Decode(joined), bytes);
    // Full lines end with CR LF, a last partial one does not.
    const bool endsWithLineBreak = text.size() >= 2 && text.substr(text.size() - 2) == "\r\n";
    EXPECT_EQ(endsWithLineBreak, !c.lines.empty() && c.lines.back() == 80) << c.bytes;
  }
}

TEST(MailDate, ZonesKeepTheirMinutesAndPythonAgrees) {
  struct TCase {
    TMailDate date;
    const char* header;
    const char* iso;
  };
  const std::vector<TCase> cases = {
      {{2025, 3, 5, 9, 4, 5, 480}, "Wed, 5 Mar 2025 09:04:05 +0800", "2025-03-05T09:04:05+08:00"},
      {{2024, 2, 29, 23, 59, 59, -300}, "Thu, 29 Feb 2024 23:59:59 -0500", "2024-02-29T23:59:59-05:00"},
      {{2000, 1, 1, 0, 0, 0, 330}, "Sat, 1 Jan 2000 00:00:00 +0530", "2000-01-01T00:00:00+05:30"},
      {{1999, 12, 31, 12, 30, 0, -570}, "Fri, 31 Dec 1999 12:30:00 -0930", "1999-12-31T12:30:00-09:30"},
      {{2023, 7, 16, 8, 0, 1, 0}, "Sun, 16 Jul 2023 08:00:01 +0000", "2023-07-16T08:00:01+00:00"},
      {{2100, 3, 1, 1, 2, 3, 765}, "Mon, 1 Mar 2100 01:02:03 +1245", "2100-03-01T01:02:03+12:45"},
  };
  std::string input;
  for (const TCase& c : cases) {
    EXPECT_EQ(MailDate(c.date), c.header);
    input += MailDate(c.date) + "\n";
  }
  // Python reads each back and checks the day name against its own calendar.
  const std::vector<std::string> got = RunPythonLines(R"PY(
import sys, email.utils
for line in open(sys.argv[1]):
    d = email.utils.parsedate_to_datetime(line.strip())
    print(d.isoformat(), d.strftime('%a') == line[:3])
)PY",
                                                 input);
  ASSERT_EQ(got.size(), cases.size());
  for (size_t i = 0; i < cases.size(); ++i) EXPECT_EQ(got[i], std::string(cases[i].iso) + " True");
}

// What a server does with the text after DATA (RFC 5321 4.5.2): lines up to the line ".", a
// leading "." of any other line removed. consumed is where the terminator ended.
std::string ServerReadsData(std::string_view data, size_t& consumed) {
  std::string message;
  consumed = std::string::npos;
  for (size_t pos = 0; pos < data.size();) {
    size_t end = data.find("\r\n", pos);
    if (end == std::string_view::npos) break;
    std::string_view line = data.substr(pos, end - pos);
    pos = end + 2;
    if (line == ".") {
      consumed = pos;
      break;
    }
    if (!line.empty() && line[0] == '.') line.remove_prefix(1);
    message.append(line);
    message += "\r\n";
  }
  return message;
}

TEST(DotStuff, ServerGetsTheMessageBackAndTheEndOnlyAtTheEnd) {
  struct TCase {
    std::string sent;
    std::string received;
  };
  const std::vector<TCase> cases = {
      {"a\r\n.\r\nb\r\n", "a\r\n.\r\nb\r\n"},
      {".\r\n", ".\r\n"},
      {"..\r\n...x\r\n", "..\r\n...x\r\n"},
      {".start", ".start\r\n"},
      {"end with dot\r\n.", "end with dot\r\n.\r\n"},
      {"bare\n.\nLF", "bare\r\n.\r\nLF\r\n"},  // a lenient server would end DATA at "\n.\n"
      {"bare\r.\rCR\r\n", "bare\r\n.\r\nCR\r\n"},
      {"mixed\n.\r\n.\r", "mixed\r\n.\r\n.\r\n"},
      {"", ""},
      {"no. dots. at. line. start.\r\n", "no. dots. at. line. start.\r\n"},
  };
  for (const TCase& c : cases) {
    const std::string data = MailDataText(c.sent);
    size_t consumed = 0;
    EXPECT_EQ(ServerReadsData(data, consumed), c.received) << c.sent;
    EXPECT_EQ(consumed, data.size()) << c.sent;
    for (size_t i = 0; i < data.size(); ++i) {
      if (data[i] == '\r') {
        EXPECT_TRUE(i + 1 < data.size() && data[i + 1] == '\n') << "bare CR in " << c.sent;
      } else if (data[i] == '\n') {
        EXPECT_TRUE(i > 0 && data[i - 1] == '\r') << "bare LF in " << c.sent;
      }
    }
  }
  EXPECT_EQ(DotStuff("a\r\n.\r\nb"), "a\r\n..\r\nb");
  EXPECT_EQ(MailDataText("x\r\n.\r\n"), "x\r\n..\r\n.\r\n");  // only the body's "." is doubled
}

TEST(DotStuff, WholeMessageWithADotLineInTheBody) {
  TMailMessage m = SampleMessage();
  m.Attachments = {{"r.txt", RandomBytes(300, 9)}};
  const std::string message = BuildMailMessage(m);
  const std::string data = MailDataText(message);
  size_t consumed = 0;
  EXPECT_EQ(ServerReadsData(data, consumed), message);
  EXPECT_EQ(consumed, data.size());
  EXPECT_EQ(data.substr(data.size() - 5), "\r\n.\r\n");
}

TEST(SmtpReplyCode, LeadingDigits) {
  const std::vector<std::pair<std::string, int>> cases = {
      {"250 OK\r\n", 250},
      {"250-first line\r\n250 last\r\n", 250},
      {"354 Start mail input\r\n", 354},
      {"220ready", 220},
      {"2", 2},
      {"0", 0},
      {"", -1},
      {" 250 OK", -1},
      {"OK 250", -1},
      {"-250", -1},
      {"99999999999999999999 overflow", INT_MAX},
  };
  for (const auto& [reply, code] : cases) EXPECT_EQ(SmtpReplyCode(reply), code) << reply;
  EXPECT_TRUE(SmtpReplyAccepted("251 User not local; will forward\r\n", {250, 251}));
  EXPECT_FALSE(SmtpReplyAccepted("252 Cannot VRFY user\r\n", {250, 251}));
  EXPECT_FALSE(SmtpReplyAccepted("garbage", {250}));
  EXPECT_FALSE(SmtpReplyAccepted("2500 OK", {250}));
}

// A reply is whole once its last line is a final one, however the bytes were split up.
TEST(SmtpReplyComplete, WholeOnlyAfterTheFinalLine) {
  const std::vector<std::pair<std::string, bool>> cases = {
      {"250 OK\r\n", true},
      {"250\r\n", true},
      {"250-first\r\n250-second\r\n250 last\r\n", true},
      {"250 bare line feed\n", true},
      {"not a reply at all\r\n", true},  // answered at once (and refused), not waited for
      {"250-first\r\n", false},
      {"250-first\r\n250 la", false},
      {"250 OK", false},
      {"250 OK\r", false},
      {"25", false},
      {"", false},
  };
  for (const auto& [received, whole] : cases) EXPECT_EQ(SmtpReplyComplete(received), whole) << received;
}

TEST(SplitRecipients, SeparatorsTrimmingEmptyPieces) {
  const std::vector<std::pair<std::string, std::vector<std::string>>> cases = {
      {"a@x.org;b@y.org", {"a@x.org", "b@y.org"}},
      {"a@x.org; ;b@y.org", {"a@x.org", "b@y.org"}},
      {" a@x.org , b@y.org ,,", {"a@x.org", "b@y.org"}},
      {"a@x.org,b@y.org;c@z.org", {"a@x.org", "b@y.org", "c@z.org"}},
      {"\ta@x.org\r\n", {"a@x.org"}},
      {"", {}},
      {";, ;", {}},
  };
  for (const auto& [list, want] : cases) EXPECT_EQ(SplitRecipients(list), want) << list;
}

TEST(SmtpCommands, InjectionAttemptsAreRefused) {
  const std::vector<std::string> hostile = {
      "a@x.org>\r\nRCPT TO:<evil@y.org",
      "a@x.org\r\nDATA",
      "a@x.org\nQUIT",
      "a@x.org\r",
      "<a@x.org",
      "a@x.org>",
      std::string("a\0b@x.org", 9),
      "a\tb@x.org",
      "a\x7f@x.org",
  };
  for (const std::string& address : hostile) {
    EXPECT_THROW(SmtpMailFrom(address), EFaultMailAddressError) << address;
    EXPECT_THROW(SmtpRcptTo(address), EFaultMailAddressError) << address;
    EXPECT_THROW(SmtpConversation("pc", "ok@x.org", address, "", ""), EFaultMailAddressError) << address;
    EXPECT_THROW(SmtpConversation("pc", address, "ok@x.org", "u", "p"), EFaultMailAddressError) << address;
  }
  try {
    SmtpRcptTo("evil>\r\nDATA");
    FAIL();
  } catch (const EFaultMailAddressError& e) {
    EXPECT_STREQ(e.what(), "Invalid mail address: \"evil>\\x0D\\x0ADATA\"");
  }
  for (const std::string& host : {std::string("pc\r\nMAIL FROM:<x>"), std::string("pc x"), std::string()})
    EXPECT_THROW(SmtpHelo(host), EFaultSmtpCommandError) << host;

  EXPECT_EQ(SmtpMailFrom("user.name+tag@example.com"), "MAIL FROM:<user.name+tag@example.com>\r\n");
  EXPECT_EQ(SmtpMailFrom(""), "MAIL FROM:<>\r\n");  // the null sender
  EXPECT_EQ(SmtpRcptTo("\xd5\xc5@example.cn"), "RCPT TO:<\xd5\xc5@example.cn>\r\n");
  EXPECT_EQ(SmtpEhlo("WORKSTATION-7"), "EHLO WORKSTATION-7\r\n");
  EXPECT_EQ(SmtpCommandLine("RSET"), "RSET\r\n");
  EXPECT_EQ(SmtpCommandLine("RSET\r\n"), "RSET\r\n");
}

TEST(SmtpConversation, LoginOnlyWithCredentialsAndItsLinesAreSecret) {
  auto lines = [](const std::vector<TSmtpStep>& steps) {
    std::vector<std::string> out;
    for (const auto& s : steps) out.push_back(s.Line + (s.Secret ? " (secret)" : ""));
    return out;
  };
  const auto plain = SmtpConversation("pc", "f@x.org", "t@y.org", "", "");
  EXPECT_EQ(lines(plain), (std::vector<std::string>{"HELO pc\r\n", "RSET\r\n", "MAIL FROM:<f@x.org>\r\n",
                                                     "RCPT TO:<t@y.org>\r\n", "DATA\r\n"}));
  const auto login = SmtpConversation("pc", "f@x.org", "t@y.org", "user", "pa:ss");
  EXPECT_EQ(lines(login),
            (std::vector<std::string>{"EHLO pc\r\n", "RSET\r\n", "AUTH LOGIN\r\n", "dXNlcg==\r\n (secret)",
                                      "cGE6c3M=\r\n (secret)", "MAIL FROM:<f@x.org>\r\n", "RCPT TO:<t@y.org>\r\n",
                                      "DATA\r\n"}));
  EXPECT_EQ(login[4].Accepted, std::vector<int>{235});
  EXPECT_EQ(login[6].Accepted, (std::vector<int>{250, 251}));
  EXPECT_EQ(login[7].Accepted, std::vector<int>{354});
  // A password alone still logs in (with an empty user name).
  EXPECT_EQ(SmtpConversation("pc", "f@x.org", "t@y.org", "", "secret")[2].Line, "AUTH LOGIN\r\n");
}

TEST(SmtpTranscript, FailureMessageHoldsNoCredentials) {
  const std::string user = "report-user", password = "S3cret!pw";
  TSmtpTranscript log;
  log.Received("stale text of an earlier connection\r\n");
  log.Connected("Connected to 127.0.0.1 port 25");
  log.Received("220 mail.example.org ESMTP\r\n");
  for (const TSmtpStep& step : SmtpConversation("pc", "f@x.org", "t@y.org", user, password)) {
    log.Sent(step);
    log.Received(step.Line == "AUTH LOGIN\r\n" ? "334 VXNlcm5hbWU6\r\n" : "250 OK\r\n");
  }
  log.SentMessage(123456);
  const std::string& text = log.Text();
  for (const std::string& secret : {user, password, Base64Encode(user), Base64Encode(password)})
    EXPECT_EQ(text.find(secret), std::string::npos) << secret << " in\n" << text;
  EXPECT_EQ(text.rfind("Connected to 127.0.0.1 port 25\r\n220 mail.example.org ESMTP\r\nEHLO pc\r\n", 0), 0u) << text;
  EXPECT_NE(text.find("AUTH LOGIN\r\n334 VXNlcm5hbWU6\r\n****\r\n250 OK\r\n****\r\n250 OK\r\nMAIL FROM:<f@x.org>\r\n"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("[message text, 123456 bytes]\r\n"), std::string::npos) << text;
}

}  // namespace
