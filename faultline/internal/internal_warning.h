#pragma once
// The internal warning channel: failures of the reporting machinery itself (a log that cannot be
// written, a delivery that failed) are kept as the last internal error and sent to the debugger.
#include <cstdint>
#include <string>

enum TFaultlineErrorCode : uint8_t {
  eeNone = 0,
  eeShowError,
  eeLogError,
  eeEmailMAPIError,
  eeEmailShellError,
  eeEmailSMTPError,
  eeWebHTTPError,
  eeWebHTTPSError,
  eeWebFTPError,
};

const char* FaultlineErrorCodeName(TFaultlineErrorCode code);

struct TInternalWarning {
  TFaultlineErrorCode Code = eeNone;
  std::string Text;
};

// Platform seams of the channel. The Windows start-up installs the debugger output
// (InstallInternalWarningOutput); the delivery layer sets the other two for its progress window.
struct TInternalWarningHooks {
  void (*DebuggerOutput)(const std::string& line) = nullptr;
  bool (*SendWindowExists)() = nullptr;
  void (*ShowMessage)(const std::string& text, const std::string& caption) = nullptr;
};
TInternalWarningHooks& InternalWarningHooks();

// "[WARNING] - Code: eeLogError - Address: 0040A1B2 - Message: "text""
std::string InternalWarningLine(TFaultlineErrorCode code, uint64_t address, const std::string& text);
void InternalWarning(TFaultlineErrorCode code, uint64_t address, const std::string& text);
TInternalWarning LastInternalWarning();
void ClearInternalWarning();

#ifdef _WIN32
// Points DebuggerOutput at OutputDebugStringA.
void InstallInternalWarningOutput();
#endif
