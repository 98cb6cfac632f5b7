#include "faultline/internal/internal_warning.h"
#include "faultline/internal/internal_bug.h"

#include <cstdio>
#include <mutex>

namespace {
std::mutex warningLock;
TInternalWarning lastWarning;
}  // namespace

const char* FaultlineErrorCodeName(TFaultlineErrorCode code) {
  static const char* const names[] = {"eeNone",           "eeShowError",       "eeLogError",
                                      "eeEmailMAPIError", "eeEmailShellError", "eeEmailSMTPError",
                                      "eeWebHTTPError",   "eeWebHTTPSError",   "eeWebFTPError"};
  return code <= eeWebFTPError ? names[code] : "eeNone";
}

TInternalWarningHooks& InternalWarningHooks() {
  static TInternalWarningHooks hooks;
  return hooks;
}

std::string InternalWarningLine(TFaultlineErrorCode code, uint64_t address, const std::string& text) {
  std::string line = "[WARNING] - Code: ";
  line += FaultlineErrorCodeName(code);
  line += " - Address: ";
  // As wide as the program's addresses: 8 digits, 16 in a 64-bit program.
  char hex[24];
  std::snprintf(hex, sizeof hex, "%0*llX", static_cast<int>(InternalBugConfig().AddressDigits),
                static_cast<unsigned long long>(address));
  line += hex;
  line += " - Message: \"";
  line += text;
  line += '"';
  return line;
}

void InternalWarning(TFaultlineErrorCode code, uint64_t address, const std::string& text) {
  {
    std::lock_guard<std::mutex> guard(warningLock);
    lastWarning.Code = code;
    lastWarning.Text = text;
  }
  const TInternalWarningHooks& hooks = InternalWarningHooks();
  if (hooks.DebuggerOutput) hooks.DebuggerOutput(InternalWarningLine(code, address, text));
  if (code >= eeEmailSMTPError && code <= eeWebFTPError && hooks.SendWindowExists &&
      hooks.ShowMessage && hooks.SendWindowExists())
    hooks.ShowMessage(text, "Error.");
}

TInternalWarning LastInternalWarning() {
  std::lock_guard<std::mutex> guard(warningLock);
  return lastWarning;
}

void ClearInternalWarning() {
  std::lock_guard<std::mutex> guard(warningLock);
  lastWarning = TInternalWarning();
}
