#include <winsock2.h>
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <string>

#include "faultline/delivery/client_socket.h"
#include "faultline/lists/threads_list.h"

namespace {

// Milliseconds from a clock that neither wraps nor jumps (the tick count wraps after 49 days).
uint64_t TickMs() {
  LARGE_INTEGER frequency, now;
  QueryPerformanceFrequency(&frequency);
  QueryPerformanceCounter(&now);
  return static_cast<uint64_t>(now.QuadPart / frequency.QuadPart * 1000 +
                               now.QuadPart % frequency.QuadPart * 1000 / frequency.QuadPart);
}

// The system's text for a Windows Sockets error, without its line end.
std::string SocketErrorText(int code) {
  char buf[512] = {};
  DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                           static_cast<DWORD>(code), 0, buf, sizeof buf, nullptr);
  while (n > 0 && (buf[n - 1] == '\r' || buf[n - 1] == '\n' || buf[n - 1] == ' ' || buf[n - 1] == '.')) buf[--n] = '\0';
  return n ? std::string(buf, n) : "Windows Sockets error " + std::to_string(code);
}

SOCKET Handle(uintptr_t s) { return static_cast<SOCKET>(s); }

timeval ToTimeval(uint64_t ms) {
  timeval tv;
  tv.tv_sec = static_cast<long>(ms / 1000);
  tv.tv_usec = static_cast<long>(ms % 1000 * 1000);
  return tv;
}

// A name lookup by the system's resolver, whose own time-outs add up to many seconds per server,
// runs on a thread of its own: the caller waits at most its time-out. A lookup that outlasts it
// finishes by itself and frees what the two shared.
struct TNameLookup {
  std::atomic<int> References{2};
  std::string Host;
  uint32_t Address = 0;
  int Error = 0;
  HANDLE Done = nullptr;
  void Release() {
    if (--References == 0) {
      CloseHandle(Done);
      delete this;
    }
  }
  void Run() {
    WSADATA data;
    const bool started = WSAStartup(MAKEWORD(1, 1), &data) == 0;  // the caller may be done with it
    const hostent* entry = started ? gethostbyname(Host.c_str()) : nullptr;
    if (!entry || entry->h_addrtype != AF_INET || entry->h_length != 4 || !entry->h_addr_list[0]) {
      Error = started ? WSAGetLastError() : WSANOTINITIALISED;
      if (Error == 0) Error = WSAHOST_NOT_FOUND;
    } else {
      std::copy_n(entry->h_addr_list[0], 4, reinterpret_cast<char*>(&Address));
    }
    if (started) WSACleanup();
  }
  static DWORD WINAPI Body(LPVOID self) {
    auto* lookup = static_cast<TNameLookup*>(self);
    lookup->Run();
    SetEvent(lookup->Done);
    lookup->Release();
    return 0;
  }
};

// The first IPv4 address of host (dotted or a name), network byte order; 0 with *error set when
// there is none or when the lookup takes longer than timeoutMs.
uint32_t LookUpHost(const std::string& host, uint32_t timeoutMs, int* error) {
  *error = 0;
  if (host.empty()) {
    *error = WSAHOST_NOT_FOUND;
    return 0;
  }
  const unsigned long dotted = inet_addr(host.c_str());
  if (dotted != INADDR_NONE) return dotted;
  auto* lookup = new TNameLookup;
  lookup->Host = host;
  lookup->Done = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  // Not listed: a report must never hold the thread a delivery waits for.
  HANDLE thread = lookup->Done ? CreateUnlistedThread(TNameLookup::Body, lookup, 64 * 1024) : nullptr;
  if (!thread) {
    lookup->Run();  // no thread to be had: asked here, without the bound
    lookup->References = 1;
  } else {
    CloseHandle(thread);
    if (WaitForSingleObject(lookup->Done, std::max<uint32_t>(timeoutMs, 100)) != WAIT_OBJECT_0) {
      lookup->Release();
      *error = WSAETIMEDOUT;
      return 0;
    }
  }
  const uint32_t address = lookup->Address;
  *error = lookup->Error;
  lookup->Release();
  return *error ? 0 : address;
}

}  // namespace

void FaultSocketsInit() {
  WSADATA data;
  const int rc = WSAStartup(MAKEWORD(1, 1), &data);
  if (rc != 0) throw EFaultSocketError("Cannot start Windows Sockets: \"" + SocketErrorText(rc) + "\"");
}

void FaultSocketsDone() { WSACleanup(); }

TFaultClientSocket::TFaultClientSocket(std::string host, uint32_t timeoutMs, bool stream, uint16_t port)
    : host_(std::move(host)),
      port_(port),
      socketType_(stream ? 1 : 2),
      timeoutMs_(timeoutMs),
      socket_(static_cast<uintptr_t>(INVALID_SOCKET)) {}

TFaultClientSocket::~TFaultClientSocket() { CloseQuietly(); }

void TFaultClientSocket::CloseQuietly() {
  if (Handle(socket_) != INVALID_SOCKET) closesocket(Handle(socket_));
  socket_ = static_cast<uintptr_t>(INVALID_SOCKET);
  address_ = 0;
  connected_ = false;
}

void TFaultClientSocket::Fail(const std::string& text) const {
  throw EFaultSocketError(text + "\r\nSocket log:\r\n" + log_.Text());
}

void TFaultClientSocket::FailAndClose(const std::string& text) {
  std::string message = text + "\r\nSocket log:\r\n" + log_.Text();
  CloseQuietly();
  log_.Clear();
  throw EFaultSocketError(std::move(message));
}

void TFaultClientSocket::Connect() {
  if (connected_) return;
  const SOCKET s = socket(AF_INET, socketType_ == 1 ? SOCK_STREAM : SOCK_DGRAM, 0);
  if (s == INVALID_SOCKET) Fail("Invalid socket: \"" + SocketErrorText(WSAGetLastError()) + "\".");
  socket_ = static_cast<uintptr_t>(s);

  // A name that does not resolve is an error here: connecting to 0.0.0.0 instead would reach
  // whatever listens on this very machine.
  int error = 0;
  address_ = LookUpHost(host_, timeoutMs_, &error);
  if (error) FailAndClose("Connection error: \"" + SocketErrorText(error) + "\"");
  sockaddr_in peer = {};
  peer.sin_family = AF_INET;
  peer.sin_port = htons(port_);
  peer.sin_addr.s_addr = address_;

  // Connect without blocking so that an address that never answers costs the timeout, not the
  // system's own minutes; the socket is blocking from then on.
  u_long nonBlocking = 1;
  ioctlsocket(s, FIONBIO, &nonBlocking);
  if (connect(s, reinterpret_cast<const sockaddr*>(&peer), sizeof peer) == SOCKET_ERROR) {
    error = WSAGetLastError();
    if (error == WSAEWOULDBLOCK) {
      fd_set writable, failed;
      FD_ZERO(&writable);
      FD_ZERO(&failed);
      FD_SET(s, &writable);
      FD_SET(s, &failed);
      timeval tv = ToTimeval(timeoutMs_);
      const int n = select(0, nullptr, &writable, &failed, &tv);
      if (n == 0) {
        error = WSAETIMEDOUT;
      } else if (n == SOCKET_ERROR) {
        error = WSAGetLastError();
      } else {
        int soError = 0;
        int size = sizeof soError;
        getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&soError), &size);
        error = soError ? soError : (FD_ISSET(s, &failed) ? WSAECONNREFUSED : 0);
      }
    }
    if (error) FailAndClose("Connection error: \"" + SocketErrorText(error) + "\"");
  }
  nonBlocking = 0;
  ioctlsocket(s, FIONBIO, &nonBlocking);

  connected_ = true;
  const auto* b = reinterpret_cast<const uint8_t*>(&address_);
  char line[64];
  std::snprintf(line, sizeof line, "Connected to %d.%d.%d.%d port %d", b[0], b[1], b[2], b[3], port_);
  log_.Connected(line);
}

void TFaultClientSocket::Disconnect() {
  if (Handle(socket_) != INVALID_SOCKET && closesocket(Handle(socket_)) == SOCKET_ERROR) {
    const int error = WSAGetLastError();
    socket_ = static_cast<uintptr_t>(INVALID_SOCKET);
    connected_ = false;
    throw EFaultSocketError("Cannot close the socket: \"" + SocketErrorText(error) + "\"");
  }
  socket_ = static_cast<uintptr_t>(INVALID_SOCKET);
  address_ = 0;
  connected_ = false;
  log_.Clear();
}

bool TFaultClientSocket::WaitReadable(uint64_t ms) {
  fd_set readable;
  FD_ZERO(&readable);
  FD_SET(Handle(socket_), &readable);
  timeval tv = ToTimeval(ms);
  return select(0, &readable, nullptr, nullptr, &tv) > 0;
}

bool TFaultClientSocket::WaitWritable(uint64_t ms) {
  fd_set writable;
  FD_ZERO(&writable);
  FD_SET(Handle(socket_), &writable);
  timeval tv = ToTimeval(ms);
  return select(0, nullptr, &writable, nullptr, &tv) > 0;
}

size_t TFaultClientSocket::SendBytes(const void* buffer, size_t length) {
  if (!connected_) return 0;
  // A server that stops reading would otherwise hold a blocking send for ever.
  if (!WaitWritable(timeoutMs_)) FailAndClose("Error into \"send\": \"" + SocketErrorText(WSAETIMEDOUT) + "\"");
  const int sent = send(Handle(socket_), static_cast<const char*>(buffer),
                        static_cast<int>(std::min<size_t>(length, 0x7FFFFFFF)), 0);
  if (sent == SOCKET_ERROR) {
    const int error = WSAGetLastError();
    if (error == WSAEWOULDBLOCK) return 0;
    if (error) FailAndClose("Error into \"send\": \"" + SocketErrorText(error) + "\"");
    CloseQuietly();
    return 0;
  }
  return static_cast<size_t>(sent);
}

size_t TFaultClientSocket::SendString(std::string_view text) {
  constexpr size_t kPiece = 1024;
  size_t total = 0;
  for (size_t pos = 0; pos < text.size(); pos += kPiece) {
    const size_t piece = std::min(kPiece, text.size() - pos);
    const size_t sent = SendBytes(text.data() + pos, piece);
    total += sent;
    if (sentNotification_) sentNotification_(*this, pos + sent, text.size());
    if (sent < piece) break;  // the caller sees the short count
  }
  return total;
}

int TFaultClientSocket::Receive(void* buffer, int size) {
  if (!connected_) return 0;
  if (size == -1) {
    u_long waiting = 0;
    if (ioctlsocket(Handle(socket_), FIONREAD, &waiting) == SOCKET_ERROR) {
      const int error = WSAGetLastError();
      if (error != WSAEWOULDBLOCK) FailAndClose("Error into \"recv\": \"" + SocketErrorText(error) + "\"");
      return 0;
    }
    return static_cast<int>(std::min<u_long>(waiting, 0x7FFFFFFF));
  }
  const int got = recv(Handle(socket_), static_cast<char*>(buffer), size, 0);
  if (got == SOCKET_ERROR) {
    const int error = WSAGetLastError();
    if (error == WSAEWOULDBLOCK) return 0;
    if (error) FailAndClose("Error into \"recv\": \"" + SocketErrorText(error) + "\"");
    CloseQuietly();
    return 0;
  }
  return got;
}

void TFaultClientSocket::CheckClosed() {
  char byte;
  const int got = recv(Handle(socket_), &byte, 1, MSG_PEEK);
  if (got > 0) return;
  if (got == SOCKET_ERROR) {
    const int error = WSAGetLastError();
    if (error != WSAEWOULDBLOCK && error != WSAEMSGSIZE)
      FailAndClose("Error into \"recv\": \"" + SocketErrorText(error) + "\"");
    return;
  }
  if (socketType_ == 2) {
    recv(Handle(socket_), &byte, 1, 0);  // an empty datagram: drop it
    return;
  }
  // Without this, a server that hung up would look like one that is silent until the timeout.
  FailAndClose("Connection closed by the server.");
}

bool TFaultClientSocket::ReplyComplete(std::string_view received) const {
  return socketType_ == 2 && !received.empty();
}

bool TFaultClientSocket::ReadPass(std::string& result, uint64_t deadline) {
  for (;;) {
    const int waiting = Receive(nullptr, -1);
    if (waiting <= 0) return false;
    // A datagram is read whole in one call, whatever the count says.
    std::string chunk(socketType_ == 2 ? 65536 : std::min<size_t>(waiting, kMaxSocketReply + 1), '\0');
    const int got = Receive(chunk.data(), static_cast<int>(chunk.size()));
    if (got <= 0) return false;
    chunk.resize(static_cast<size_t>(got));
    result += chunk;
    log_.Received(chunk);
    if (result.size() > kMaxSocketReply) FailAndClose("Socket reply too long.");
    if (ReplyComplete(result)) return true;
    // The rest of the reply follows within a second of its last bytes.
    const uint64_t now = TickMs();
    if (now >= deadline || !WaitReadable(std::min<uint64_t>(1000, deadline - now))) return false;
  }
}

std::string TFaultClientSocket::ReadAvailable() {
  std::string result;
  ReadPass(result, TickMs() + timeoutMs_);
  return result;
}

std::string TFaultClientSocket::ReadWithTimeout() {
  // The timeout bounds the whole read: a server that trickles bytes cannot stretch it.
  const uint64_t deadline = TickMs() + timeoutMs_;
  std::string result;
  for (;;) {
    if (ReadPass(result, deadline)) return result;
    if (!result.empty() && !WaitsForWholeReply()) return result;
    if (!connected_) return result;
    const uint64_t now = TickMs();
    if (now >= deadline) return result;
    if (WaitReadable(deadline - now) && Receive(nullptr, -1) == 0) CheckClosed();
  }
}

std::string TFaultClientSocket::ReadOrFail() {
  std::string reply = ReadWithTimeout();
  if (reply.empty() || (WaitsForWholeReply() && !ReplyComplete(reply))) Fail("Socket timeout.");
  return reply;
}

// ---- SMTP ----

bool TFaultClientSMTP::ReplyComplete(std::string_view received) const { return SmtpReplyComplete(received); }

void TFaultClientSMTP::Connect() {
  TFaultClientSocket::Connect();
  const std::string greeting = ReadOrFail();
  if (SmtpReplyCode(greeting) != 220) throw EFaultSocketError(Log());
}

void TFaultClientSMTP::Command(const TSmtpStep& step) {
  const std::string line = SmtpCommandLine(step.Line);
  if (SendString(line) < line.size()) throw EFaultSocketError(Log());
  TSmtpStep logged = step;
  logged.Line = line;
  Transcript().Sent(logged);
  const std::string reply = ReadOrFail();
  if (std::find(step.Accepted.begin(), step.Accepted.end(), SmtpReplyCode(reply)) == step.Accepted.end())
    throw EFaultSocketError(Log());
}

void TFaultClientSMTP::SendMessageText(std::string_view dataText, int acceptedCode) {
  if (SendString(dataText) < dataText.size()) throw EFaultSocketError(Log());
  Transcript().SentMessage(dataText.size());
  const std::string reply = ReadOrFail();
  if (SmtpReplyCode(reply) != acceptedCode) throw EFaultSocketError(Log());
}
