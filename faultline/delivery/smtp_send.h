#pragma once
// Sending a report by SMTP: through a configured server, or straight to each recipient's mail
// exchanger (the next one when the preferred cannot be reached). One conversation per recipient,
// ended with QUIT; the run has succeeded when at least one recipient got the message. Windows
// build only (smtp_send_win.cpp).
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "faultline/delivery/smtp_message.h"
#include "faultline/internal/internal_warning.h"
#include "faultline/options/options.h"

struct TSmtpAttachmentFile {
  std::string Path;
  std::string DisplayName;  // empty: the file name of Path
};

// Numbers of the customisable status texts shown while sending.
enum : int {
  kSmtpStatusResolving = 77,   // "Resolving DNS..."
  kSmtpStatusConnecting = 78,  // "Connecting with server..."
  kSmtpStatusConnected = 79,   // "Connected with server."
  kSmtpStatusSending = 80,     // "Sending message..."
};

struct TSmtpSendRequest {
  // true: ask DNS for each recipient's mail exchanger and talk to it without user and password
  // (MailMode 3); false: use Server (MailMode 2).
  bool UseMailExchanger = false;
  std::string Server;
  uint16_t Port = 25;
  std::string User;  // with a user or a password the conversation logs in (AUTH LOGIN)
  std::string Password;
  std::string Sender;
  std::string Recipients;  // separated by "," or ";"
  std::string Subject;
  std::string Body;
  // Files that are missing or whose trimmed path is empty are left out.
  std::vector<TSmtpAttachmentFile> Attachments;
  // Bounds the connect, every send and every whole reply of a conversation.
  uint32_t TimeoutMs = 30000;
  // Bounds the mail-exchanger lookup's attempts (a third of it, and a little more, per attempt).
  uint32_t DnsTimeoutMs = 30000;
  // Asked after the system's DNS servers: "host" or "host:port" (MailFallbackDns of the options).
  std::string FallbackDns = DefaultMailFallbackDns;
  std::string MessageIdHost = kMessageIdHost;
  // Progress, for the send dialog: a status text number (kSmtpStatus...) with the current
  // recipient (from 1) and their count; the percentage of the message sent (0 when a recipient
  // begins).
  std::function<void(int textNumber, int recipient, int recipientCount)> OnStatus;
  std::function<void(int percent)> OnProgress;
};

struct TSmtpRecipientResult {
  std::string Recipient;
  std::string Server;  // the one talked to (the mail exchanger in that mode)
  bool Sent = false;
  std::string Error;  // "[SMTP] ..." when not sent
};

struct TSmtpSendResult {
  bool Sent = false;  // at least one recipient got the message
  // The last failure of the run (also when other recipients were served): eeEmailSMTPError and
  // "[SMTP] " + the error message (for a refused command, the transcript of the conversation).
  TFaultlineErrorCode ErrorCode = eeNone;
  std::string ErrorText;
  std::vector<TSmtpRecipientResult> Recipients;
};

// The mail exchangers of the address's domain, the most preferred first (equal preferences in
// the order of the answer), from the first DNS server of MxLookupServers(system servers,
// fallbackServer) that answers; each server gets up to three attempts, each query its own random
// identifier. Throws EFaultSocketError "Cannot resolve the \"domain\" MX record." when none gives
// an exchanger.
std::vector<std::string> ResolveMailExchangers(std::string_view address, uint32_t timeoutMs,
                                               std::string_view fallbackServer);

// The whole delivery. Never throws: every failure is in the result and, as it happens, in the
// internal warning channel (eeEmailSMTPError). Starts and ends its own use of Windows Sockets.
TSmtpSendResult SendReportBySmtp(const TSmtpSendRequest& request);
