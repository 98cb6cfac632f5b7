// Win32 services of the options: which module is running, the computer name, publishing, and the
// running module's own options.
#include <windows.h>

#include <vector>

#include "faultline/options/module_options.h"

namespace {

bool IsRunningModulePath(const std::string& path) {
  if (path.empty()) return false;
  HMODULE h = GetModuleHandleA(path.c_str());
  return h != nullptr && h == FaultRunningModule();
}

std::string ComputerNameOf16() {
  char buffer[16];
  DWORD size = sizeof buffer;
  if (!GetComputerNameA(buffer, &size)) return {};
  return std::string(buffer, size);
}

void PublishOptions(const TFaultModuleOptions& options) {
  FaultPublishSharedBlock(SharedBlockPayload(&options));
}

}  // namespace

void InstallFaultOptionsHooks() {
  TFaultOptionsHooks& hooks = FaultOptionsHooks();
  hooks.IsRunningModule = IsRunningModulePath;
  hooks.ComputerName = ComputerNameOf16;
  hooks.PublishShared = PublishOptions;
}

HMODULE FaultRunningModule() {
  HMODULE module = nullptr;
  GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                         GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                     reinterpret_cast<LPCSTR>(&FaultRunningModule), &module);
  return module;
}

std::string FaultModulePath(HMODULE module) {
  std::vector<char> buffer(MAX_PATH);
  for (;;) {
    DWORD n = GetModuleFileNameA(module, buffer.data(), static_cast<DWORD>(buffer.size()));
    if (n == 0) return {};
    if (n < buffer.size()) return std::string(buffer.data(), n);
    if (buffer.size() >= 32768) return std::string(buffer.data(), n);
    buffer.resize(buffer.size() * 2);
  }
}

TFaultModuleOptionsEx& FaultLoadOwnOptions(TFaultContainerLoad* load) {
  InstallFaultOptionsHooks();
  static TFaultModuleOptionsEx own(FaultModulePath(FaultRunningModule()), true);
  static TFaultContainerLoad ownLoad;
  static bool loaded = false;
  if (!loaded) {
    loaded = true;
    HMODULE self = FaultRunningModule();
    // The block starts out saying "no run-time changes": readers use the container until the
    // module really changes its options, so the load itself publishes nothing.
    own.BeginUpdate();
    try {
      FaultLoadContainer(self, own, ownLoad, TContainerReadMode::Full);
    } catch (...) {
      own.EndUpdate();
      throw;
    }
    FaultPublishSharedBlock(SharedBlockPayload(nullptr));
    own.EndUpdate();
    if (FaultContainerPresent(self))
      SetOwnOptionsSource([]() -> TFaultModuleOptionsEx* { return &own; });
  }
  if (load) *load = ownLoad;
  return own;
}
