#include "faultline/delivery/web_upload.h"

#include <cstdio>

#include "faultline/delivery/web_form.h"

namespace {

// Each entry begins with its 5-digit code and a blank.
const char* const kWinInetMessages[] = {
    "12002 The request has timed out.",
    "12003 An extended error was returned from the server.",
    "12004 An internal error has occurred.",
    "12005 The URL is invalid.",
    "12006 The URL scheme could not be recognized, or is not supported.",
    "12007 The server name could not be resolved.",
    "12013 User name incorrect.",
    "12014 Password incorrect.",
    "12015 Log on request failed.",
    "12016 The requested operation is invalid.",
    "12020 The request cannot be made via a proxy.",
    "12028 The requested item could not be located.",
    "12029 The attempt to connect to the server failed.",
    "12030 The connection with the server has been terminated.",
    "12031 The connection with the server has been reset.",
    "12033 The request to the proxy was invalid.",
    "12037 SSL certificate date is bad.",
    "12038 SSL certificate host name field is incorrect.",
    "12039 The application is moving from a non-SSL to an SSL connection because of a redirect.",
    "12040 The application is moving from an SSL to an non-SSL connection because of a redirect.",
    "12041 The content is not entirely secure.",
    "12042 The application is posting and attempting to change multiple lines of text on a server that is not "
    "secure.",
    "12043 The application is posting data to a server that is not secure.",
    "12044 The server is requesting client authentication.",
    "12045 The function is unfamiliar with the Certificate Authority that generated the server's certificate.",
    "12052 The data being submitted to an SSL connection is being redirected to a non-SSL connection.",
    "12055 The SSL certificate contains errors.",
    "12111 FTP session aborted.",
    "12112 Passive mode is not available on the server.",
    "12133 The end of the data has been reached.",
    "12150 The requested header could not be located.",
    "12151 The server did not return any headers.",
    "12152 The server response could not be parsed.",
    "12153 The supplied header is invalid.",
    "12160 The HTTP request was not redirected.",
    "12161 The HTTP cookie requires confirmation.",
    "12162 The HTTP cookie was declined by the server.",
    "12163 The Internet connection has been lost.",
    "12164 The Web site or server indicated is unreachable.",
    "12165 The designated proxy server cannot be reached.",
    "12166 There was an error in the automatic proxy configuration script.",
    "12167 The automatic proxy configuration script could not be downloaded.",
    "12168 The redirection requires user confirmation.",
    "12169 SSL certificate is invalid.",
    "12170 SSL certificate was revoked.",
    "12171 The function failed due to a security check.",
};

// System error codes the upload reports for conditions found before WinInet is asked.
constexpr int32_t kErrorInvalidParameter = 87;  // ERROR_INVALID_PARAMETER
constexpr int32_t kErrorInvalidUrl = 12005;     // ERROR_INTERNET_INVALID_URL

}  // namespace

TWebUploadMode WebUploadModeOf(uint8_t uploadMode) {
  return uploadMode == 1 ? TWebUploadMode::Http : uploadMode == 2 ? TWebUploadMode::Https : TWebUploadMode::Ftp;
}

const char* WebUploadModeName(TWebUploadMode mode) {
  switch (mode) {
    case TWebUploadMode::Http:
      return "HTTP";
    case TWebUploadMode::Https:
      return "HTTPS";
    default:
      return "FTP";
  }
}

TFaultlineErrorCode WebUploadErrorCode(TWebUploadMode mode) {
  switch (mode) {
    case TWebUploadMode::Http:
      return eeWebHTTPError;
    case TWebUploadMode::Https:
      return eeWebHTTPSError;
    default:
      return eeWebFTPError;
  }
}

std::string WinInetMessageText(int32_t code) {
  char digits[16];
  std::snprintf(digits, sizeof digits, "%d", static_cast<int>(code));
  const std::string_view key = digits;
  for (std::string_view entry : kWinInetMessages) {
    if (entry.substr(0, 5) == key) return std::string(entry.substr(6));
  }
  return "";
}

int32_t ParseHttpStatus(std::string_view text) {
  while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
  while (!text.empty() && text.back() == ' ') text.remove_suffix(1);
  // Three digits, the first not 0: a status of 0 would otherwise read as success.
  if (text.size() != 3 || text.front() == '0') return kWebUploadUnreadableStatus;
  int32_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return kWebUploadUnreadableStatus;
    value = value * 10 + (c - '0');
  }
  return value;
}

void FinishWebUploadResult(TWebUploadResult& result, TWebUploadMode mode, const std::string& library) {
  if (result.Code == 0) {
    result.ErrorCode = eeNone;
    result.Message.clear();
    return;
  }
  result.ErrorCode = WebUploadErrorCode(mode);
  std::string suffix;
  if (result.Code == kWebUploadNoLibrary)
    suffix = " - Cannot find the \"" + library + "\" library.";
  else if (!result.ErrorText.empty())
    suffix = " (" + result.ErrorText + ")";
  result.Message = std::string(WebUploadModeName(mode)) + " error code: " + std::to_string(result.Code) + suffix;
}

std::string FtpRemoteFolder(std::string_view path) {
  if (path.empty()) return "";
  std::string folder(path);
  if (folder.back() != '/') folder += '/';
  return folder;
}

std::string FtpRemoteFileName(std::string_view displayName) {
  const size_t cut = displayName.find_last_of("\\/");
  if (cut != std::string_view::npos) displayName.remove_prefix(cut + 1);
  std::string name(displayName);
  for (char& c : name) {
    const auto u = static_cast<unsigned char>(c);
    if (u < 32 || u == 127) c = '_';
  }
  return name;
}

bool HasControlCharacter(std::string_view text) {
  for (char c : text) {
    const auto u = static_cast<unsigned char>(c);
    if (u < 32 || u == 127) return true;
  }
  return false;
}

TWebUploadTarget ResolveWebUploadTarget(const TWebUploadRequest& request) {
  TWebUploadTarget target;
  const std::optional<TUploadAddress> address = SplitUploadAddress(request.Address);
  if (!address) {
    target.Code = kErrorInvalidUrl;
    target.ErrorText = WinInetMessageText(kErrorInvalidUrl);
    return target;
  }
  target.Host = address->Host;
  target.Path = address->Path;
  // The configured port wins; an address that names its own port is not sent to the protocol's
  // default port just because the port option was left at 0.
  target.Port = request.Port != 0 ? request.Port : address->Port;
  if (request.User.empty() && request.Password.empty()) {
    target.User = address->User;
    target.Password = address->Password;
  } else {
    target.User = request.User;
    target.Password = request.Password;
  }
  if (HasControlCharacter(target.Host) || HasControlCharacter(target.Path) || HasControlCharacter(target.User) ||
      HasControlCharacter(target.Password)) {
    target.Code = kErrorInvalidParameter;
    target.ErrorText = "The upload address, user or password holds a control character.";
    return target;
  }
  target.Ok = true;
  return target;
}
