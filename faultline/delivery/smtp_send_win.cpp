#include <winsock2.h>
#include <windows.h>

#include <map>
#include <memory>

#include "faultline/delivery/client_socket.h"
#include "faultline/delivery/dns_message.h"
#include "faultline/delivery/file_access.h"
#include "faultline/delivery/smtp_send.h"
#include "rtl/ansi_paths.h"

namespace {

constexpr char kMethod[] = "SMTP";

std::string ErrorText(const std::exception& e) { return std::string("[") + kMethod + "] " + e.what(); }
std::string GeneralErrorText() { return std::string("General '") + kMethod + "' error."; }

class TSocketsSession {
 public:
  TSocketsSession() { FaultSocketsInit(); }
  ~TSocketsSession() { FaultSocketsDone(); }
  TSocketsSession(const TSocketsSession&) = delete;
  TSocketsSession& operator=(const TSocketsSession&) = delete;
};

std::string LocalHostName() {
  char name[250] = {};
  if (gethostname(name, sizeof name - 1) != 0 || name[0] == '\0') return "localhost";
  return name;
}

// The local time now and its offset from UTC, minutes included.
TMailDate MailDateNow() {
  FILETIME utc, local;
  GetSystemTimeAsFileTime(&utc);
  FileTimeToLocalFileTime(&utc, &local);
  SYSTEMTIME t;
  FileTimeToSystemTime(&local, &t);
  ULARGE_INTEGER u, l;
  u.LowPart = utc.dwLowDateTime;
  u.HighPart = utc.dwHighDateTime;
  l.LowPart = local.dwLowDateTime;
  l.HighPart = local.dwHighDateTime;
  const int64_t diff = static_cast<int64_t>(l.QuadPart) - static_cast<int64_t>(u.QuadPart);  // 100 ns
  constexpr int64_t kMinute = 600000000;
  const int64_t minutes = (diff >= 0 ? diff + kMinute / 2 : diff - kMinute / 2) / kMinute;
  TMailDate date;
  date.Year = t.wYear;
  date.Month = t.wMonth;
  date.Day = t.wDay;
  date.Hour = t.wHour;
  date.Minute = t.wMinute;
  date.Second = t.wSecond;
  date.UtcOffsetMinutes = static_cast<int>(minutes);
  return date;
}

std::string LowerAscii(std::string text) {
  for (char& c : text)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return text;
}

std::string_view Trimmed(std::string_view text) {
  while (!text.empty() && static_cast<unsigned char>(text.front()) <= ' ') text.remove_prefix(1);
  while (!text.empty() && static_cast<unsigned char>(text.back()) <= ' ') text.remove_suffix(1);
  return text;
}

// The attachments that exist, read once for every conversation of the run.
std::vector<TMailAttachment> ReadAttachments(const std::vector<TSmtpAttachmentFile>& files) {
  std::vector<TMailAttachment> out;
  TFaultFileAccess& access = WinFileAccess();
  for (const TSmtpAttachmentFile& file : files) {
    const std::string path(Trimmed(file.Path));
    if (path.empty() || !access.Exists(path)) continue;
    TMailAttachment a;
    a.DisplayName = file.DisplayName.empty() ? PathFileName(path) : file.DisplayName;
    a.Bytes = access.ReadAll(path);
    out.push_back(std::move(a));
  }
  return out;
}

struct TConversation {
  const TSmtpSendRequest& Request;
  const std::vector<TMailAttachment>& Attachments;
  const std::string& HostName;
  int Number;
  int Count;

  void Status(int text) const {
    if (Request.OnStatus) Request.OnStatus(text, Number, Count);
  }

  // connected tells the caller whether the server answered with its greeting: a mail exchanger
  // that could not be reached leaves the recipient to the next one.
  void Run(const std::string& server, const std::string& recipient, const std::string& user,
           const std::string& password, bool& connected) const {
    connected = false;
    // Every command is made (and every address checked) before anything is sent.
    const std::vector<TSmtpStep> steps = SmtpConversation(HostName, Request.Sender, recipient, user, password);
    Status(kSmtpStatusConnecting);
    TFaultClientSMTP client(server, Request.TimeoutMs, Request.Port);
    client.Connect();
    connected = true;
    Status(kSmtpStatusConnected);
    const size_t beforeRecipient = steps.size() - 2;  // RCPT TO and DATA come last
    for (size_t i = 0; i < beforeRecipient; ++i) client.Command(steps[i]);
    Status(kSmtpStatusSending);
    TMailMessage message;
    message.Date = MailDateNow();
    message.Sender = Request.Sender;
    message.Recipient = recipient;
    message.Subject = Request.Subject;
    message.Body = Request.Body;
    message.TickCount = GetTickCount();
    message.MessageIdHost = Request.MessageIdHost;
    message.Attachments = Attachments;
    const std::string data = MailDataText(BuildMailMessage(message));
    for (size_t i = beforeRecipient; i < steps.size(); ++i) client.Command(steps[i]);
    if (Request.OnProgress) {
      client.SetSentNotification([this](TFaultClientSocket&, size_t position, size_t total) {
        Request.OnProgress(total ? static_cast<int>(static_cast<uint64_t>(position) * 100 / total) : 100);
      });
    }
    client.SendMessageText(data, kSmtpMessageAccepted);
    client.SetSentNotification(nullptr);
    // The server has taken the message: QUIT ends the session politely (its reply bounded by the
    // same timeout), and whatever becomes of it, the message stays delivered.
    try {
      client.Command(TSmtpStep{"QUIT\r\n", {221}, false});
    } catch (const std::exception&) {
    }
  }
};

}  // namespace

TSmtpSendResult SendReportBySmtp(const TSmtpSendRequest& request) {
  TSmtpSendResult result;
  auto record = [&result](const std::string& text) {
    result.ErrorCode = eeEmailSMTPError;
    result.ErrorText = text;
    InternalWarning(eeEmailSMTPError, 0, text);
  };

  const std::vector<std::string> recipients = SplitRecipients(request.Recipients);
  if (recipients.empty()) {
    record(std::string("[") + kMethod + "] No recipient.");
    return result;
  }

  std::unique_ptr<TSocketsSession> sockets;
  std::vector<TMailAttachment> attachments;
  std::string hostName;
  try {
    sockets = std::make_unique<TSocketsSession>();
    attachments = ReadAttachments(request.Attachments);
    hostName = LocalHostName();
  } catch (const std::exception& e) {
    record(ErrorText(e));
    return result;
  } catch (...) {
    record(GeneralErrorText());
    return result;
  }

  // Mail exchangers by domain: recipients of one domain are looked up once; a domain that could
  // not be resolved fails its recipients with the same error.
  std::map<std::string, std::vector<std::string>> exchangers;
  std::map<std::string, std::string> lookupErrors;
  const int count = static_cast<int>(recipients.size());
  for (int i = 0; i < count; ++i) {
    const std::string& recipient = recipients[i];
    const TConversation conversation{request, attachments, hostName, i + 1, count};
    if (request.OnProgress) request.OnProgress(0);
    TSmtpRecipientResult r;
    r.Recipient = recipient;
    try {
      // A malformed sender or recipient is refused before anything leaves the machine.
      ValidateMailAddress(request.Sender);
      ValidateMailAddress(recipient);
      std::vector<std::string> servers{request.Server};
      std::string user = request.User;
      std::string password = request.Password;
      if (request.UseMailExchanger) {
        conversation.Status(kSmtpStatusResolving);
        const std::string domain = LowerAscii(MxDomain(recipient));
        if (auto failed = lookupErrors.find(domain); failed != lookupErrors.end())
          throw EFaultSocketError(failed->second);
        auto known = exchangers.find(domain);
        if (known == exchangers.end()) {
          try {
            known = exchangers.emplace(domain, ResolveMailExchangers(recipient, request.DnsTimeoutMs, request.FallbackDns))
                        .first;
          } catch (const std::exception& e) {
            lookupErrors.emplace(domain, e.what());
            throw;
          }
        }
        servers = known->second;
        // A mail exchanger takes mail for its own domain without a login, and must never see the
        // credentials of the configured server.
        user.clear();
        password.clear();
      }
      // The exchangers in order of preference: one that cannot be reached (connection refused, no
      // answer, a greeting that turns us away) passes the recipient to the next. One that answered
      // has had its say: a refusal there would be the same elsewhere, and a failure after the
      // message could mail it twice.
      for (size_t k = 0; k < servers.size(); ++k) {
        r.Server = servers[k];
        bool connected = false;
        try {
          conversation.Run(servers[k], recipient, user, password, connected);
          break;
        } catch (const EFaultSocketError&) {
          if (connected || k + 1 == servers.size()) throw;
        }
      }
      r.Sent = true;
      result.Sent = true;
    } catch (const std::exception& e) {
      r.Error = ErrorText(e);
      record(r.Error);
    } catch (...) {
      r.Error = GeneralErrorText();
      record(r.Error);
    }
    result.Recipients.push_back(std::move(r));
  }
  return result;
}
