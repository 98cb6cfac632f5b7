// A module of its own for the container and shared-block tests: it carries its own copy of the
// reporting code, so "own" and "foreign" are seen from its side.
#include <windows.h>

#include <cstring>

#include "faultline/options/module_options.h"

namespace {

void Copy(const std::string& text, char* out, int size) {
  if (size <= 0) return;
  size_t n = std::min<size_t>(text.size(), static_cast<size_t>(size) - 1);
  std::memcpy(out, text.data(), n);
  out[n] = 0;
}

}  // namespace

// The password this module hands out for its own debug information.
extern "C" __declspec(dllexport) void __stdcall Faultline_PasswordRequestEvent(char* password) {
  std::strcpy(password, "dllpass");
}

struct TOptModLoad {
  int Registered;   // CurrentFaultlineOptions works
  int Version;
  int Accepted;
  int DebugSize;
  char MailTo[64];
};

extern "C" __declspec(dllexport) void OptModLoadOwn(TOptModLoad* result) {
  TFaultContainerLoad load;
  TFaultModuleOptionsEx& own = FaultLoadOwnOptions(&load);
  try {
    result->Registered = &CurrentFaultlineOptions() == &own;
  } catch (const EAssertionFailed&) {
    result->Registered = 0;
  }
  result->Version = load.Version;
  result->Accepted = load.PasswordAccepted;
  result->DebugSize = load.DebugInfo ? static_cast<int>(load.DebugInfo->size()) : -1;
  Copy(own.MailTo(), result->MailTo, sizeof result->MailTo);
}

extern "C" __declspec(dllexport) void OptModSetMailTo(const char* mailTo) {
  FaultLoadOwnOptions().SetMailTo(mailTo);
}

// Loads a foreign module's options as this module sees them (container, then shared block).
extern "C" __declspec(dllexport) void OptModReadForeign(HMODULE module, char* mailTo, int size) {
  TFaultModuleOptions options("", false);
  TFaultContainerLoad load;
  FaultLoadContainer(module, options, load, TContainerReadMode::Light);
  Copy(options.MailTo(), mailTo, size);
}

extern "C" __declspec(dllexport) HMODULE OptModRunningModule() { return FaultRunningModule(); }
