#pragma once
// The texts of SMTP delivery, free of sockets: the MIME message, the dot-stuffed DATA payload, the
// commands of the conversation, reply codes, recipient lists and the transcript that becomes the
// error message when delivery fails.
#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

#include "faultline/options/mail_recipients.h"
#include "rtl/exception.h"

// Raised before anything is sent when a command would carry text that could end the command line
// early and smuggle in further commands (CR, LF, other control characters, "<" or ">").
class EFaultSmtpCommandError : public Exception {
 public:
  using Exception::Exception;
};
// The same for a sender or recipient address: "Invalid mail address: \"...\"".
class EFaultMailAddressError : public EFaultSmtpCommandError {
 public:
  using EFaultSmtpCommandError::EFaultSmtpCommandError;
};

// Fixed MIME boundary of the message, and the default host name of its Message-ID.
inline constexpr char kMailBoundary[] = "=_xcjvnxkbhvfkxzhfdbvzldjhfv";
inline constexpr char kMessageIdHost[] = "faultline.tarn-import.invalid";

// ---- Addresses and recipient lists ----

// Throws EFaultMailAddressError for an address holding a control character (0-31, 127), "<" or
// ">". The empty address is allowed (it is SMTP's null sender).
void ValidateMailAddress(std::string_view address);

// SplitRecipients (the recipients of a list) is in faultline/options/mail_recipients.h.

// ---- Commands and replies ----

// text followed by CR LF unless it already ends in CR LF.
std::string SmtpCommandLine(std::string_view text);

// Complete command lines (ending in CR LF). The addresses are checked with ValidateMailAddress,
// the host name must hold no control character or blank (EFaultSmtpCommandError).
std::string SmtpHelo(std::string_view hostName);
std::string SmtpEhlo(std::string_view hostName);
std::string SmtpMailFrom(std::string_view sender);
std::string SmtpRcptTo(std::string_view recipient);

// The number formed by the leading decimal digits of reply (only the first line matters for a
// multi-line reply); -1 when reply does not begin with a digit. Very long digit runs saturate.
int SmtpReplyCode(std::string_view reply);
bool SmtpReplyAccepted(std::string_view reply, std::initializer_list<int> acceptedCodes);

// True when received ends with a whole final reply line: a line ended by LF that is not a
// continuation ("250-..."). A reply is read until then, however its bytes are spread over time;
// a line that is no reply at all counts as final, so that a confused server is answered at once.
bool SmtpReplyComplete(std::string_view received);

// One command of the conversation with the reply codes that let it go on. Secret commands (the
// base64 user name and password of AUTH LOGIN) must never reach the transcript.
struct TSmtpStep {
  std::string Line;  // ends in CR LF
  std::vector<int> Accepted;
  bool Secret = false;
};

// The commands for one recipient up to and including DATA: with a user or password EHLO, RSET,
// AUTH LOGIN and the two base64 lines, else HELO and RSET; then MAIL FROM, RCPT TO, DATA. The
// message (MailDataText) follows with 250 accepted. Throws as the command builders do.
std::vector<TSmtpStep> SmtpConversation(std::string_view hostName, std::string_view sender,
                                        std::string_view recipient, std::string_view user,
                                        std::string_view password);
inline constexpr int kSmtpMessageAccepted = 250;

// The record of one conversation. It is shown to the user when delivery fails, so it keeps what
// was said but never a secret command (written as "****"), and the message itself only as its
// size (a report with its attachments can be megabytes).
class TSmtpTranscript {
 public:
  void Connected(std::string_view line);  // replaces the record: the first line of a connection
  void Sent(const TSmtpStep& step);
  void SentMessage(size_t size);
  void Received(std::string_view reply);
  void Clear() { text_.clear(); }
  const std::string& Text() const { return text_; }

 private:
  void AddLine(std::string_view text);
  std::string text_;
};

// ---- The message ----

// The sender's local time when the message is built, with its offset from UTC in minutes
// (east positive: +480 for UTC+8, -570 for UTC-9:30).
struct TMailDate {
  int Year = 1970;
  int Month = 1;  // 1..12
  int Day = 1;
  int Hour = 0;
  int Minute = 0;
  int Second = 0;
  int UtcOffsetMinutes = 0;
};
// "Wed, 5 Mar 2025 09:04:05 +0530": the day name follows from the date; the zone keeps minutes.
std::string MailDate(const TMailDate& date);

// A header value with every run of control characters (0-31) replaced by one blank, so that a
// subject or address cannot end the header line.
std::string MailHeaderValue(std::string_view text);

// bytes in base64, cut into lines of 80 characters; each full line ends in CR LF, a final partial
// line does not.
std::string Base64Lines(std::string_view bytes);

struct TMailAttachment {
  std::string DisplayName;  // ANSI (GBK) bytes, sent as they are
  std::string Bytes;
};

struct TMailMessage {
  TMailDate Date;
  std::string Sender;
  std::string Recipient;
  std::string Subject;
  std::string Body;  // sent unchanged
  uint32_t TickCount = 0;
  std::string MessageIdHost = kMessageIdHost;
  std::vector<TMailAttachment> Attachments;
};

// The MIME message, ending with the closing boundary line "--" boundary "--" CR LF. The display
// names are quoted strings: control-character runs become one blank, "\" and "\"" get a "\" in
// front (RFC 5322 quoted-pair), since a GBK trail byte may be 0x5C.
std::string BuildMailMessage(const TMailMessage& message);

// Every line of text that begins with "." gets another "." in front. Line ends are made CR LF
// first (a bare CR or LF becomes CR LF), so that no line end a server might take for one can hide
// an undoubled ".".
std::string DotStuff(std::string_view text);

// What is sent after DATA: the stuffed message, CR LF if it does not already end so, then the
// terminating line "." CR LF, which is never stuffed itself.
std::string MailDataText(std::string_view message);
