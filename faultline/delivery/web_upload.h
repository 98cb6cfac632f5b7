#pragma once
// Web delivery of a report: one HTTP or HTTPS POST of a multipart form, or plain file uploads to
// an FTP server, both through WinInet loaded at run time. The texts and decisions around it are
// portable (web_upload.cpp); the transfers themselves are Windows-only (web_upload_win.cpp).
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "faultline/internal/internal_warning.h"

// UploadMode of the options.
enum class TWebUploadMode : uint8_t { None = 0, Http = 1, Https = 2, Ftp = 3 };

// Result codes besides WinInet's and the system's own error codes and the HTTP status codes.
inline constexpr int32_t kWebUploadNoLibrary = -1;                // WinInet could not be loaded
inline constexpr int32_t kWebUploadUnreadableStatus = 0x7FFFFFFF;  // the status was not a number

// progress(stage, total, done): stage 0 before the connection is opened, 1 once connected, 2 after
// each written chunk (done counts the bytes written so far).
using TWebUploadProgress = std::function<void(int stage, uint32_t total, uint32_t done)>;

// One upload, as the delivery run describes it.
struct TWebUploadRequest {
  TWebUploadMode Mode = TWebUploadMode::Http;
  // UploadUrl: only its host and path are used, plus its port, user and password where the
  // fields below leave them out.
  std::string Address;
  uint16_t Port = 0;  // low half of UploadPort; 0: the address's port, else the protocol's default
  std::string User;   // UploadUser / UploadPassword; both empty: those of the address, if any
  std::string Password;
  // Form fields of an HTTP(S) upload, paired by position (the shorter list decides).
  std::vector<std::string> FieldNames;
  std::vector<std::string> FieldValues;
  // The attachment list and the names its files are sent under (same positions).
  std::vector<std::string> Files;
  std::vector<std::string> DisplayNames;
  // Applies to connecting, sending and receiving each, so that a silent server cannot hold the
  // reporter forever. 0 leaves WinInet's own.
  uint32_t TimeoutMs = 30000;
  TWebUploadProgress Progress;
  // The library to load; only tests name another one.
  std::string Library = "wininet.dll";
};

struct TWebUploadResult {
  // 0 success; kWebUploadNoLibrary; a WinInet or system error code; an HTTP status other than 200;
  // kWebUploadUnreadableStatus.
  int32_t Code = 0;
  // The server's last reply, the HTTP status text, or the message of a known WinInet error.
  std::string ErrorText;
  // eeNone on success, else eeWebHTTPError, eeWebHTTPSError or eeWebFTPError.
  TFaultlineErrorCode ErrorCode = eeNone;
  // The text the delivery run records: "HTTP error code: 404 (Not Found)"; empty on success.
  std::string Message;
  bool Succeeded() const { return Code == 0; }
};

// ---- Portable pieces ----

// The mode of the options' UploadMode 1 (HTTP), 2 (HTTPS) or 3 (FTP).
TWebUploadMode WebUploadModeOf(uint8_t uploadMode);
// "HTTP", "HTTPS" or "FTP", and the error code a failure of that mode is recorded under.
const char* WebUploadModeName(TWebUploadMode mode);
TFaultlineErrorCode WebUploadErrorCode(TWebUploadMode mode);

// The message of a WinInet error code (12002 "The request has timed out.", ...); "" when the
// code is not one of the known ones.
std::string WinInetMessageText(int32_t code);

// The HTTP status text as a number: kWebUploadUnreadableStatus unless it is three decimal digits
// from 100 to 999 (blanks around them allowed). WinInet reports a status of 0 when no status line
// came at all, and code 0 means success.
int32_t ParseHttpStatus(std::string_view text);

// Fills ErrorCode and Message of a finished upload from Code and ErrorText.
void FinishWebUploadResult(TWebUploadResult& result, TWebUploadMode mode, const std::string& library);

// The folder an FTP upload writes into: path + "/" ("/" not doubled; "" for an empty path).
std::string FtpRemoteFolder(std::string_view path);
// The name a file is stored under on the FTP server: the file name part of its display name
// (after the last "\" or "/"), with control characters written as "_" so that a name can never
// end the FTP command that carries it.
std::string FtpRemoteFileName(std::string_view displayName);

// True when text holds a control character (0 to 31 or 127): such a host, path, user or password
// would end a request or command line early and is refused before anything is sent.
bool HasControlCharacter(std::string_view text);

// Where the upload goes, resolved from the request: the address taken apart, with the fallbacks
// for port, user and password. Ok is false (with Code and ErrorText set) when the address cannot
// be taken apart or holds text that would break a request line.
struct TWebUploadTarget {
  bool Ok = false;
  std::string Host;
  std::string Path;
  uint16_t Port = 0;
  std::string User;
  std::string Password;
  int32_t Code = 0;
  std::string ErrorText;
};
TWebUploadTarget ResolveWebUploadTarget(const TWebUploadRequest& request);

#ifdef _WIN32
// Runs one upload: HTTP and HTTPS post the form, FTP stores every existing file. A list whose
// files are all missing fails (nothing to deliver is not a delivery). WinInet is loaded at the
// start and released at the end; every handle is closed on every path.
TWebUploadResult UploadToWeb(const TWebUploadRequest& request);
#endif
