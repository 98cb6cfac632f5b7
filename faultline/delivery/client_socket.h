#pragma once
// The small blocking TCP/UDP client of SMTP delivery and of the mail-exchanger lookup, and its SMTP
// variant. Implemented on Windows Sockets (client_socket_win.cpp, Windows build only).
//
// Every failure raises EFaultSocketError. Its message is the failure's text followed by
// CR LF "Socket log:" CR LF and the transcript, unless the transcript already is the message
// (a refused SMTP command). The transcript never holds the AUTH LOGIN credentials nor the message
// text itself.
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

#include "faultline/delivery/smtp_message.h"
#include "rtl/exception.h"

class EFaultSocketError : public Exception {
 public:
  using Exception::Exception;
};

// Windows Sockets 1.1 for the whole subsystem ("FSockets.Init" / "FSockets.Done"). Init throws
// EFaultSocketError when the library cannot be started. Each Init needs one Done.
void FaultSocketsInit();
void FaultSocketsDone();

// Replies larger than this end the read with "Socket reply too long.": no SMTP or DNS reply we
// wait for comes near it, and a server that floods us must not grow our memory without end.
inline constexpr size_t kMaxSocketReply = 64 * 1024;

class TFaultClientSocket {
 public:
  // Called after every piece of a string send with the position just after the piece (the count
  // of bytes sent so far) and the total length.
  using TSentNotification = std::function<void(TFaultClientSocket& sender, size_t position, size_t total)>;

  // timeoutMs bounds the connect, every send and every reply read (its whole duration, however
  // slowly the bytes come).
  TFaultClientSocket(std::string host, uint32_t timeoutMs, bool stream, uint16_t port);
  virtual ~TFaultClientSocket();
  TFaultClientSocket(const TFaultClientSocket&) = delete;
  TFaultClientSocket& operator=(const TFaultClientSocket&) = delete;

  virtual void Connect();
  virtual void Disconnect();

  // One send call; 0 when not connected.
  size_t SendBytes(const void* buffer, size_t length);
  // In pieces of at most 1024 bytes, the notification after each; the sum of the counts sent.
  size_t SendString(std::string_view text);
  // Up to size bytes; with size -1 the number of bytes waiting (nothing is read).
  int Receive(void* buffer, int size);

  // What has arrived until the reply is complete (ReplyComplete) or no byte came for one second.
  std::string ReadAvailable();
  // ReadAvailable until something arrived (with WaitsForWholeReply: a whole reply) or the timeout
  // passed since the start. A connection the peer closed fails with "Connection closed by the
  // server.".
  std::string ReadWithTimeout();
  // ReadWithTimeout; nothing (or an incomplete reply) fails with "Socket timeout.".
  std::string ReadOrFail();

  bool Connected() const { return connected_; }
  const std::string& Host() const { return host_; }
  uint16_t Port() const { return port_; }
  uint32_t Timeout() const { return timeoutMs_; }
  const std::string& Log() const { return log_.Text(); }
  void SetSentNotification(TSentNotification notification) { sentNotification_ = std::move(notification); }

 protected:
  // Whether the bytes read so far make a whole reply, so that the read need not wait for the
  // quiet second. A datagram is always whole.
  virtual bool ReplyComplete(std::string_view received) const;
  // Raises EFaultSocketError with the text and the transcript appended.
  [[noreturn]] void Fail(const std::string& text) const;
  TSmtpTranscript& Transcript() { return log_; }
  // Whether an incomplete reply keeps the read waiting past the quiet second (until the timeout).
  virtual bool WaitsForWholeReply() const { return false; }

 private:
  // Appends what is waiting and whatever follows within a second of it, up to the deadline (a
  // tick count); true when that made the reply complete.
  bool ReadPass(std::string& result, uint64_t deadline);
  bool WaitReadable(uint64_t ms);
  bool WaitWritable(uint64_t ms);
  // Readable with nothing to read: the peer has closed, or an error is pending. Raises for both.
  void CheckClosed();
  // Closes without raising (for the failure paths, which raise their own error).
  void CloseQuietly();
  [[noreturn]] void FailAndClose(const std::string& text);

  uint32_t address_ = 0;  // IPv4, network byte order
  std::string host_;
  uint16_t port_;
  int socketType_;  // 1 stream, 2 datagram
  uint32_t timeoutMs_;
  bool connected_ = false;
  uintptr_t socket_;
  TSmtpTranscript log_;
  TSentNotification sentNotification_;
};

class TFaultClientSMTP : public TFaultClientSocket {
 public:
  TFaultClientSMTP(std::string host, uint32_t timeoutMs, uint16_t port)
      : TFaultClientSocket(std::move(host), timeoutMs, true, port) {}

  // Connects and requires the 220 greeting.
  void Connect() override;
  // Sends the step's line, reads the reply and requires one of its codes; a refusal raises
  // EFaultSocketError whose message is the transcript.
  void Command(const TSmtpStep& step);
  // The same for the text after DATA (MailDataText); the transcript notes only its size.
  void SendMessageText(std::string_view dataText, int acceptedCode);

 protected:
  bool ReplyComplete(std::string_view received) const override;
  bool WaitsForWholeReply() const override { return true; }
};

// The host name of the first MX answer for the address's domain, asked of each server of
// MxLookupServers(system servers, fallbackServer) in turn, up to three attempts each. Throws
// EFaultSocketError "Cannot resolve the \"domain\" MX record." when none gives one.
std::string ResolveMailExchanger(std::string_view address, uint32_t timeoutMs, std::string_view fallbackServer);

// The DNS servers the system is configured with (IP Helper's network parameters), as listed.
std::vector<std::string> SystemDnsServers();
