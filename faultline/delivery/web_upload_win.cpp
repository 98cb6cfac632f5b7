#include <windows.h>
#include <wininet.h>

#include <algorithm>
#include <ctime>
#include <random>
#include <type_traits>
#include <utility>

#include "faultline/codecs/codecs.h"
#include "faultline/delivery/file_access.h"
#include "faultline/delivery/web_form.h"
#include "faultline/delivery/web_upload.h"

namespace {

constexpr uint32_t kChunkSize = 1024;

// Request flags: reload, no cache write, keep connection, no automatic redirect, no cookies,
// ignore redirects to HTTP and to HTTPS, no user interface. A redirect therefore ends the upload
// with its status instead of posting the report somewhere else.
constexpr DWORD kHttpRequestFlags = 0x8468C200;
constexpr DWORD kHttpsRequestFlags = kHttpRequestFlags | 0x00800000;  // secure

// Codes for conditions we find ourselves (WinInet and the system report their own).
constexpr int32_t kErrorFileNotFound = 2;           // ERROR_FILE_NOT_FOUND
constexpr int32_t kErrorReadFault = 30;             // ERROR_READ_FAULT
constexpr int32_t kErrorInvalidData = 13;           // ERROR_INVALID_DATA
constexpr int32_t kErrorConnectionAborted = 12030;  // ERROR_INTERNET_CONNECTION_ABORTED

// The WinInet functions, looked up by name in the library loaded for one upload.
struct TWinInet {
  HMODULE Module = nullptr;
  decltype(&InternetOpenA) InternetOpen = nullptr;
  decltype(&InternetConnectA) InternetConnect = nullptr;
  decltype(&HttpOpenRequestA) HttpOpenRequest = nullptr;
  decltype(&HttpAddRequestHeadersA) HttpAddRequestHeaders = nullptr;
  decltype(&HttpSendRequestA) HttpSendRequest = nullptr;
  decltype(&HttpSendRequestExA) HttpSendRequestEx = nullptr;
  decltype(&InternetWriteFile) InternetWriteFile = nullptr;
  decltype(&HttpEndRequestA) HttpEndRequest = nullptr;
  decltype(&HttpQueryInfoA) HttpQueryInfo = nullptr;
  decltype(&InternetCloseHandle) InternetCloseHandle = nullptr;
  decltype(&InternetSetOptionA) InternetSetOption = nullptr;
  decltype(&FtpOpenFileA) FtpOpenFile = nullptr;
  decltype(&InternetGetLastResponseInfoA) InternetGetLastResponseInfo = nullptr;
  decltype(&InternetOpenUrlA) InternetOpenUrl = nullptr;
  decltype(&InternetReadFile) InternetReadFile = nullptr;
  decltype(&InternetGetConnectedState) InternetGetConnectedState = nullptr;

  // Loads the library with all of its 16 functions, or nothing at all.
  explicit TWinInet(const std::string& library) {
    Module = LoadLibraryA(library.c_str());
    if (!Module) return;
    bool all = true;
    auto find = [&](auto& slot, const char* name) {
      slot = reinterpret_cast<std::remove_reference_t<decltype(slot)>>(
          reinterpret_cast<void*>(GetProcAddress(Module, name)));
      all = all && slot != nullptr;
    };
    find(InternetOpen, "InternetOpenA");
    find(InternetConnect, "InternetConnectA");
    find(HttpOpenRequest, "HttpOpenRequestA");
    find(HttpAddRequestHeaders, "HttpAddRequestHeadersA");
    find(HttpSendRequest, "HttpSendRequestA");
    find(HttpSendRequestEx, "HttpSendRequestExA");
    find(InternetWriteFile, "InternetWriteFile");
    find(HttpEndRequest, "HttpEndRequestA");
    find(HttpQueryInfo, "HttpQueryInfoA");
    find(InternetCloseHandle, "InternetCloseHandle");
    find(InternetSetOption, "InternetSetOptionA");
    find(FtpOpenFile, "FtpOpenFileA");
    find(InternetGetLastResponseInfo, "InternetGetLastResponseInfoA");
    find(InternetOpenUrl, "InternetOpenUrlA");
    find(InternetReadFile, "InternetReadFile");
    find(InternetGetConnectedState, "InternetGetConnectedState");
    if (!all) {
      FreeLibrary(Module);
      Module = nullptr;
    }
  }
  ~TWinInet() {
    if (Module) FreeLibrary(Module);
  }
  TWinInet(const TWinInet&) = delete;
  TWinInet& operator=(const TWinInet&) = delete;
  bool Loaded() const { return Module != nullptr; }
};

// One WinInet handle, closed with the library's own function. Declared in the order the handles
// are opened, so they close in reverse order before the library is released.
class TInetHandle {
 public:
  explicit TInetHandle(const TWinInet& inet, HINTERNET h = nullptr) : inet_(inet), h_(h) {}
  ~TInetHandle() { Close(); }
  TInetHandle(const TInetHandle&) = delete;
  TInetHandle& operator=(const TInetHandle&) = delete;
  void Reset(HINTERNET h) {
    Close();
    h_ = h;
  }
  HINTERNET Get() const { return h_; }
  explicit operator bool() const { return h_ != nullptr; }
  // Closes now and tells whether the close succeeded (an FTP file completes its transfer here).
  bool Close() {
    if (!h_) return true;
    const bool ok = inet_.InternetCloseHandle(h_) != FALSE;
    h_ = nullptr;
    return ok;
  }

 private:
  const TWinInet& inet_;
  HINTERNET h_;
};

// The platform's last error as a result code; never 0, since a failure must not read as success.
int32_t LastErrorCode(int32_t fallback = kErrorConnectionAborted) {
  const DWORD code = GetLastError();
  return code != 0 ? static_cast<int32_t>(code) : fallback;
}

// The server's last reply for this thread (for FTP, the reply to the last command); "" if none.
std::string LastResponseText(const TWinInet& inet) {
  std::string buffer(3000, '\0');
  DWORD error = 0;
  DWORD length = static_cast<DWORD>(buffer.size());
  if (!inet.InternetGetLastResponseInfo(&error, buffer.data(), &length)) return "";
  buffer.resize(std::min<size_t>(length, buffer.size()));
  const size_t end = buffer.find('\0');
  if (end != std::string::npos) buffer.resize(end);
  while (!buffer.empty() && (buffer.back() == '\r' || buffer.back() == '\n' || buffer.back() == ' '))
    buffer.pop_back();
  return buffer;
}

// The error text of a failed upload that has none yet: the server's reply, else the message of
// the code. WinInet keeps the last reply per thread for as long as it stays loaded, so a reply is
// only trusted when this upload has talked with its server (serverReplied): otherwise a refused
// connection would be explained by the reply of an earlier upload on the same thread.
void FillErrorText(const TWinInet& inet, TWebUploadResult& result, bool serverReplied) {
  if (result.Code == 0 || !result.ErrorText.empty()) return;
  if (serverReplied) result.ErrorText = LastResponseText(inet);
  if (result.ErrorText.empty()) result.ErrorText = WinInetMessageText(result.Code);
}

// Errors that WinInet raises because of what the FTP server answered.
bool IsReplyError(int32_t code) {
  return code == ERROR_INTERNET_EXTENDED_ERROR || code == ERROR_INTERNET_INCORRECT_USER_NAME ||
         code == ERROR_INTERNET_INCORRECT_PASSWORD || code == ERROR_INTERNET_LOGIN_FAILURE ||
         code == ERROR_FTP_DROPPED;
}

void SetTimeouts(const TWinInet& inet, HINTERNET h, uint32_t timeoutMs) {
  if (timeoutMs == 0) return;
  DWORD value = timeoutMs;
  // Not every WinInet knows every option; a missing one leaves its default, which is no reason
  // to give up the delivery.
  for (DWORD option : {INTERNET_OPTION_CONNECT_TIMEOUT, INTERNET_OPTION_SEND_TIMEOUT,
                       INTERNET_OPTION_RECEIVE_TIMEOUT, INTERNET_OPTION_DATA_SEND_TIMEOUT,
                       INTERNET_OPTION_DATA_RECEIVE_TIMEOUT})
    inet.InternetSetOption(h, option, &value, sizeof value);
}

void Progress(const TWebUploadRequest& request, int stage, uint32_t total, uint32_t done) {
  if (request.Progress) request.Progress(stage, total, done);
}

// Writes bytes in chunks of at most 1024; every write must take its whole chunk. after(n) runs
// after each chunk with the bytes written so far. False with result.Code set on a failed or
// short write.
template <class TAfter>
bool WriteAll(const TWinInet& inet, HINTERNET h, const std::string& bytes, TWebUploadResult& result,
              TAfter after) {
  uint32_t done = 0;
  const auto size = static_cast<uint32_t>(bytes.size());
  while (done < size) {
    const DWORD chunk = std::min(kChunkSize, size - done);
    DWORD written = 0;
    SetLastError(0);
    if (!inet.InternetWriteFile(h, bytes.data() + done, chunk, &written) || written != chunk) {
      result.Code = LastErrorCode();
      return false;
    }
    done += chunk;
    after(done);
  }
  return true;
}

// One generator per thread: uploads run on the reporting thread or on a send thread of their own.
uint16_t RandomFormNumber() {
  thread_local std::minstd_rand generator(static_cast<uint32_t>(std::time(nullptr)) ^ GetTickCount() ^
                                          (GetCurrentProcessId() << 16) ^ GetCurrentThreadId());
  return static_cast<uint16_t>(generator() % 65535);
}

// The status code as text, asked with a small buffer first and again with the size WinInet asks
// for. False with result.Code set when the query fails.
bool QueryStatusText(const TWinInet& inet, HINTERNET request, DWORD level, std::string& text,
                     TWebUploadResult& result) {
  DWORD size = 11;
  for (int attempt = 0; attempt < 8; ++attempt) {
    std::string buffer(size + 1, '\0');
    DWORD length = size;
    if (inet.HttpQueryInfo(request, level, buffer.data(), &length, nullptr)) {
      buffer.resize(std::min<size_t>(length, size));
      const size_t end = buffer.find('\0');
      if (end != std::string::npos) buffer.resize(end);
      text = buffer;
      return true;
    }
    const DWORD error = GetLastError();
    if (error != ERROR_INSUFFICIENT_BUFFER) {
      result.Code = error != 0 ? static_cast<int32_t>(error) : kErrorConnectionAborted;
      return false;
    }
    size = std::max<DWORD>(length, size) + 1;
  }
  result.Code = ERROR_INSUFFICIENT_BUFFER;
  return false;
}

void UploadByHttp(const TWinInet& inet, const TWebUploadRequest& request, const TWebUploadTarget& target,
                  bool secure, const std::string& body, const std::string& boundary, TWebUploadResult& result) {
  const auto total = static_cast<uint32_t>(body.size());
  Progress(request, 0, total, 0);
  TInetHandle session(inet, inet.InternetOpen("Faultline", INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0));
  if (!session) return void(result.Code = LastErrorCode());
  SetTimeouts(inet, session.Get(), request.TimeoutMs);
  TInetHandle connection(inet, inet.InternetConnect(session.Get(), target.Host.c_str(), target.Port, nullptr,
                                                    nullptr, INTERNET_SERVICE_HTTP, 0, 0));
  if (!connection) return void(result.Code = LastErrorCode());
  SetTimeouts(inet, connection.Get(), request.TimeoutMs);
  Progress(request, 1, total, 0);

  const std::string object = "/" + target.Path;
  TInetHandle http(inet, inet.HttpOpenRequest(connection.Get(), "POST", object.c_str(), nullptr, nullptr, nullptr,
                                              secure ? kHttpsRequestFlags : kHttpRequestFlags, 0));
  if (!http) return void(result.Code = LastErrorCode());
  SetTimeouts(inet, http.Get(), request.TimeoutMs);

  const std::string contentType = "Content-Type: multipart/form-data; boundary=" + boundary;
  if (!inet.HttpAddRequestHeaders(http.Get(), contentType.c_str(), static_cast<DWORD>(-1), HTTP_ADDREQ_FLAG_ADD))
    return void(result.Code = LastErrorCode());
  if (!target.User.empty() || !target.Password.empty()) {
    const std::string authorization = "Authorization: Basic " + Base64Encode(target.User + ":" + target.Password);
    if (!inet.HttpAddRequestHeaders(http.Get(), authorization.c_str(), static_cast<DWORD>(-1),
                                    HTTP_ADDREQ_FLAG_ADD))
      return void(result.Code = LastErrorCode());
  }

  INTERNET_BUFFERSA buffers = {};
  buffers.dwStructSize = sizeof buffers;
  buffers.dwBufferTotal = total;
  if (!inet.HttpSendRequestEx(http.Get(), &buffers, nullptr, 0, 0)) return void(result.Code = LastErrorCode());
  if (!WriteAll(inet, http.Get(), body, result, [&](uint32_t done) { Progress(request, 2, total, done); })) return;
  // Ending the request reads the server's answer; without it there is no status to trust.
  if (!inet.HttpEndRequest(http.Get(), nullptr, 0, 0)) return void(result.Code = LastErrorCode());

  std::string statusText;
  if (!QueryStatusText(inet, http.Get(), HTTP_QUERY_STATUS_CODE, statusText, result)) return;
  const int32_t status = ParseHttpStatus(statusText);
  if (status == 200) return;
  result.Code = status;
  TWebUploadResult ignored;
  QueryStatusText(inet, http.Get(), HTTP_QUERY_STATUS_TEXT, result.ErrorText, ignored);
  // No status line at all (a server that never answered, once the wait has run out).
  if (status == kWebUploadUnreadableStatus && result.ErrorText.empty())
    result.ErrorText = WinInetMessageText(ERROR_HTTP_INVALID_SERVER_RESPONSE);
}

// A reply that tells of a failed transfer ("426 Connection closed; transfer aborted.").
bool IsFailureReply(const std::string& reply) {
  // The last line of a multi-line reply carries the final code.
  const size_t lineStart = reply.find_last_of('\n');
  const std::string last = lineStart == std::string::npos ? reply : reply.substr(lineStart + 1);
  return last.size() >= 3 && (last[0] == '4' || last[0] == '5') && last[1] >= '0' && last[1] <= '9' &&
         last[2] >= '0' && last[2] <= '9';
}

// serverReplied tells whether the server has answered in this upload (its last reply is ours).
void UploadByFtp(const TWinInet& inet, const TWebUploadRequest& request, const TWebUploadTarget& target,
                 const std::vector<size_t>& existing, TWebUploadResult& result, bool& serverReplied) {
  TFaultFileAccess& files = WinFileAccess();
  uint32_t total = 0;
  for (size_t i : existing) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (GetFileAttributesExA(request.Files[i].c_str(), GetFileExInfoStandard, &data)) total += data.nFileSizeLow;
  }
  Progress(request, 0, total, 0);
  TInetHandle session(inet, inet.InternetOpen("Faultline", INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0));
  if (!session) return void(result.Code = LastErrorCode());
  SetTimeouts(inet, session.Get(), request.TimeoutMs);
  TInetHandle connection(inet, inet.InternetConnect(session.Get(), target.Host.c_str(), target.Port,
                                                    target.User.c_str(), target.Password.c_str(),
                                                    INTERNET_SERVICE_FTP, INTERNET_FLAG_PASSIVE, 0));
  if (!connection) {
    result.Code = LastErrorCode();
    serverReplied = IsReplyError(result.Code);  // a refused login
    return;
  }
  serverReplied = true;
  SetTimeouts(inet, connection.Get(), request.TimeoutMs);
  Progress(request, 1, total, 0);

  const std::string folder = FtpRemoteFolder(target.Path);
  uint32_t sent = 0;
  for (size_t i : existing) {
    const std::string& shown = i < request.DisplayNames.size() ? request.DisplayNames[i] : request.Files[i];
    std::string bytes;
    try {
      bytes = files.ReadAll(request.Files[i]);
    } catch (const std::exception& e) {
      result.Code = kErrorReadFault;
      result.ErrorText = e.what();
      return;
    }
    const std::string remote = folder + FtpRemoteFileName(shown);
    TInetHandle file(inet, inet.FtpOpenFile(connection.Get(), remote.c_str(), GENERIC_WRITE,
                                            FTP_TRANSFER_TYPE_BINARY, 0));
    if (!file) return void(result.Code = LastErrorCode());
    // done counts across files, so the bar climbs once from 0 to the total.
    if (!WriteAll(inet, file.Get(), bytes, result,
                  [&](uint32_t done) { Progress(request, 2, total, std::min(total, sent + done)); }))
      return;
    sent += static_cast<uint32_t>(bytes.size());
    // Closing the file ends the data transfer and reads the server's verdict on it: a refused
    // store (disk full, transfer aborted) shows up only here.
    SetLastError(0);
    if (!file.Close()) return void(result.Code = LastErrorCode());
    const std::string reply = LastResponseText(inet);
    if (IsFailureReply(reply)) {
      result.Code = ERROR_INTERNET_EXTENDED_ERROR;
      result.ErrorText = reply;
      return;
    }
  }
}

}  // namespace

TWebUploadResult UploadToWeb(const TWebUploadRequest& request) {
  TWebUploadResult result;
  const TWebUploadMode mode = request.Mode == TWebUploadMode::Http || request.Mode == TWebUploadMode::Https
                                  ? request.Mode
                                  : TWebUploadMode::Ftp;
  const bool ftp = mode == TWebUploadMode::Ftp;
  const auto finish = [&]() -> TWebUploadResult {
    FinishWebUploadResult(result, mode, request.Library);
    return result;
  };

  // Nothing to deliver is a failure: the report's files were to be in the list, and a run that
  // uploads none of them must not tell the user the report was sent.
  TFaultFileAccess& files = WinFileAccess();
  std::vector<size_t> existing;
  for (size_t i = 0; i < request.Files.size(); ++i)
    if (files.Exists(request.Files[i])) existing.push_back(i);
  if (existing.empty()) {
    result.Code = kErrorFileNotFound;
    result.ErrorText = "None of the files to upload exists.";
    return finish();
  }

  const TWebUploadTarget target = ResolveWebUploadTarget(request);
  if (!target.Ok) {
    result.Code = target.Code;
    result.ErrorText = target.ErrorText;
    return finish();
  }

  // The form is built before anything is opened: reading the files takes the time, and a file
  // that cannot be read should not leave a half-sent request behind.
  TFormBody form;
  if (!ftp) {
    try {
      form = BuildFormBody(request.FieldNames, request.FieldValues, request.DisplayNames, request.Files, files,
                           RandomFormNumber);
    } catch (const EFaultFormError& e) {
      result.Code = kErrorInvalidData;
      result.ErrorText = e.what();
      return finish();
    } catch (const std::exception& e) {
      result.Code = kErrorReadFault;
      result.ErrorText = e.what();
      return finish();
    }
  }

  TWinInet inet(request.Library);
  if (!inet.Loaded()) {
    result.Code = kWebUploadNoLibrary;
    return finish();
  }
  // An HTTP server's answer is its status, read above; WinInet's reply text belongs to FTP.
  bool serverReplied = false;
  if (ftp)
    UploadByFtp(inet, request, target, existing, result, serverReplied);
  else
    UploadByHttp(inet, request, target, mode == TWebUploadMode::Https, form.Body, form.Boundary, result);
  // The reply text is per thread inside the library: ask before it is released.
  FillErrorText(inet, result, serverReplied);
  return finish();
}
