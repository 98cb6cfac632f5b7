#include "faultline/delivery/smtp_message.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>

#include "faultline/codecs/codecs.h"
#include "rtl/ansi_paths.h"
#include "faultline/report/report_format.h"

namespace {

bool IsControl(char c) {
  const auto u = static_cast<unsigned char>(c);
  return u < 32 || u == 127;
}

// For error messages: control characters are shown as \xNN instead of breaking the line.
std::string Printable(std::string_view text) {
  std::string out;
  for (char c : text) {
    if (IsControl(c)) {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02X", static_cast<unsigned char>(c));
      out += hex;
    } else {
      out += c;
    }
  }
  return out;
}

void AppendLine(std::string& out, std::string_view text) {
  out.append(text);
  if (text.size() < 2 || text.substr(text.size() - 2) != "\r\n") out += "\r\n";
}

// The quoted-string form of an attachment's display name: the name cannot end the header line nor
// close the quotes early.
std::string QuotedDisplayName(std::string_view name) {
  std::string out = "\"";
  for (char c : MailHeaderValue(name)) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  out += '"';
  return out;
}

bool IsPngName(std::string_view displayName) {
  std::string ext = PathFileExt(displayName);
  for (char& c : ext)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return ext == ".PNG";
}

}  // namespace

void ValidateMailAddress(std::string_view address) {
  for (char c : address)
    if (IsControl(c) || c == '<' || c == '>')
      throw EFaultMailAddressError("Invalid mail address: \"" + Printable(address) + "\"");
}

std::string SmtpCommandLine(std::string_view text) {
  std::string line;
  AppendLine(line, text);
  return line;
}

namespace {

std::string Greeting(std::string_view verb, std::string_view hostName) {
  bool bad = hostName.empty();
  for (char c : hostName) bad = bad || IsControl(c) || c == ' ';
  if (bad) throw EFaultSmtpCommandError("Invalid host name: \"" + Printable(hostName) + "\"");
  return std::string(verb) + std::string(hostName) + "\r\n";
}

}  // namespace

std::string SmtpHelo(std::string_view hostName) { return Greeting("HELO ", hostName); }
std::string SmtpEhlo(std::string_view hostName) { return Greeting("EHLO ", hostName); }

std::string SmtpMailFrom(std::string_view sender) {
  ValidateMailAddress(sender);
  return "MAIL FROM:<" + std::string(sender) + ">\r\n";
}

std::string SmtpRcptTo(std::string_view recipient) {
  ValidateMailAddress(recipient);
  return "RCPT TO:<" + std::string(recipient) + ">\r\n";
}

int SmtpReplyCode(std::string_view reply) {
  if (reply.empty() || reply[0] < '0' || reply[0] > '9') return -1;
  int code = 0;
  for (char c : reply) {
    if (c < '0' || c > '9') break;
    const int digit = c - '0';
    code = code > (INT_MAX - digit) / 10 ? INT_MAX : code * 10 + digit;
  }
  return code;
}

bool SmtpReplyAccepted(std::string_view reply, std::initializer_list<int> acceptedCodes) {
  const int code = SmtpReplyCode(reply);
  return code >= 0 && std::find(acceptedCodes.begin(), acceptedCodes.end(), code) != acceptedCodes.end();
}

bool SmtpReplyComplete(std::string_view received) {
  if (received.empty() || received.back() != '\n') return false;
  std::string_view line = received.substr(0, received.size() - 1);
  const size_t start = line.rfind('\n');
  if (start != std::string_view::npos) line.remove_prefix(start + 1);
  const bool continuation = line.size() >= 4 && line[3] == '-' && line[0] >= '0' && line[0] <= '9' &&
                            line[1] >= '0' && line[1] <= '9' && line[2] >= '0' && line[2] <= '9';
  return !continuation;
}

std::vector<TSmtpStep> SmtpConversation(std::string_view hostName, std::string_view sender,
                                        std::string_view recipient, std::string_view user,
                                        std::string_view password) {
  std::vector<TSmtpStep> steps;
  if (!user.empty() || !password.empty()) {
    steps.push_back({SmtpEhlo(hostName), {250}});
    steps.push_back({"RSET\r\n", {250}});
    steps.push_back({"AUTH LOGIN\r\n", {334}});
    steps.push_back({Base64Encode(user) + "\r\n", {334}, true});
    steps.push_back({Base64Encode(password) + "\r\n", {235}, true});
  } else {
    steps.push_back({SmtpHelo(hostName), {250}});
    steps.push_back({"RSET\r\n", {250}});
  }
  steps.push_back({SmtpMailFrom(sender), {250}});
  steps.push_back({SmtpRcptTo(recipient), {250, 251}});
  steps.push_back({"DATA\r\n", {354}});
  return steps;
}

void TSmtpTranscript::Connected(std::string_view line) {
  text_.clear();
  AppendLine(text_, line);
}

void TSmtpTranscript::Sent(const TSmtpStep& step) { AppendLine(text_, step.Secret ? "****" : step.Line); }

void TSmtpTranscript::SentMessage(size_t size) {
  AppendLine(text_, "[message text, " + std::to_string(size) + " bytes]");
}

void TSmtpTranscript::Received(std::string_view reply) { text_.append(reply); }

std::string MailDate(const TMailDate& date) {
  static const char* const kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                        "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  const int month = std::clamp(date.Month, 1, 12);
  // Day of the week from the Gregorian date (0 = Sunday).
  static const int kMonthShift[] = {0, 3, 2, 5, 0, 3, 5, 1, 4, 6, 2, 4};
  const int y = date.Year - (month < 3 ? 1 : 0);
  const int weekDay = ((y + y / 4 - y / 100 + y / 400 + kMonthShift[month - 1] + date.Day) % 7 + 7) % 7;
  // The zone keeps its minutes: India (+0530) or Newfoundland (-0330) are not whole hours.
  const int offset = std::abs(date.UtcOffsetMinutes);
  char text[96];
  std::snprintf(text, sizeof text, "%s, %d %s %d %02d:%02d:%02d %c%02d%02d", kDays[weekDay], date.Day,
                kMonths[month - 1], date.Year, date.Hour, date.Minute, date.Second,
                date.UtcOffsetMinutes < 0 ? '-' : '+', offset / 60 % 100, offset % 60);
  return text;
}

std::string MailHeaderValue(std::string_view text) { return FlattenControls(text); }

std::string Base64Lines(std::string_view bytes) {
  const std::string encoded = Base64Encode(bytes);
  constexpr size_t kLine = 80;
  std::string out;
  out.reserve(encoded.size() + encoded.size() / kLine * 2);
  for (size_t pos = 0; pos < encoded.size(); pos += kLine) {
    out.append(encoded, pos, kLine);
    if (encoded.size() - pos >= kLine) out += "\r\n";
  }
  return out;
}

std::string BuildMailMessage(const TMailMessage& message) {
  const std::string boundary = kMailBoundary;
  std::string out;
  out += "Date: " + MailDate(message.Date) + "\r\n";
  out += "From: <" + MailHeaderValue(message.Sender) + ">\r\n";
  out += "Subject: " + MailHeaderValue(message.Subject) + "\r\n";
  out += "To: <" + MailHeaderValue(message.Recipient) + ">\r\n";
  out += "Content-Type: multipart/mixed; boundary=\"" + boundary + "\";\r\nMIME-Version: 1.0\r\n";
  out += "Message-ID: <" + std::to_string(message.TickCount) + "@" + MailHeaderValue(message.MessageIdHost) +
         ">\r\n";
  out += "\r\n";
  out += "This is a multi-part message in MIME format\r\n\r\n--" + boundary +
         "\r\nContent-Type: text/plain\r\nContent-Transfer-Encoding: 7bit\r\n\r\n";
  out += message.Body;
  out += "\r\n";
  for (const TMailAttachment& a : message.Attachments) {
    const std::string name = QuotedDisplayName(a.DisplayName);
    out += "\r\n--" + boundary + "\r\n";
    out += std::string("Content-Type: ") + (IsPngName(a.DisplayName) ? "image/png" : "application/octet-stream") +
           ";\r\n";
    out += "        name=" + name + "\r\n";
    out += "Content-Transfer-Encoding: base64\r\n";
    out += "Content-Disposition: attachment;\r\n";
    out += "        filename=" + name + "\r\n";
    out += "\r\n";
    out += Base64Lines(a.Bytes);
    out += "\r\n";
  }
  out += "--" + boundary + "--\r\n";
  return out;
}

std::string DotStuff(std::string_view text) {
  std::string out;
  out.reserve(text.size() + text.size() / 64);
  bool lineStart = true;
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '\r' || c == '\n') {
      out += "\r\n";
      if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
      lineStart = true;
      continue;
    }
    if (lineStart && c == '.') out += '.';
    out += c;
    lineStart = false;
  }
  return out;
}

std::string MailDataText(std::string_view message) {
  std::string out = DotStuff(message);
  if (!out.empty() && (out.size() < 2 || out.compare(out.size() - 2, 2, "\r\n") != 0)) out += "\r\n";
  out += ".\r\n";
  return out;
}
