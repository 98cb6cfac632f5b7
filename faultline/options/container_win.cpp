// Finding a module's options container (resource or trailer) and loading it, with the password
// requests the module exports.
#include <windows.h>

#include <cstring>

#include "faultline/options/module_options.h"

namespace {

struct THandleCloser {
  HANDLE h;
  ~THandleCloser() {
    if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
  }
};

bool ReadAt(HANDLE file, int64_t offset, char* buffer, DWORD size) {
  LARGE_INTEGER at;
  at.QuadPart = offset;
  if (!SetFilePointerEx(file, at, nullptr, FILE_BEGIN)) return false;
  DWORD done = 0;
  return ReadFile(file, buffer, size, &done, nullptr) && done == size;
}

struct TPasswordContext {
  HMODULE Module;
  std::optional<std::string> (*Handlers)(const std::string&);
};

// A __stdcall export keeps its "@bytes" suffix unless the module was linked with --kill-at:
// accept both spellings.
void* ExportOf(HMODULE module, const char* name, int argumentBytes) {
  if (FARPROC p = GetProcAddress(module, name)) return reinterpret_cast<void*>(p);
  std::string decorated = std::string(name) + "@" + std::to_string(argumentBytes);
  return reinterpret_cast<void*>(GetProcAddress(module, decorated.c_str()));
}

// Asks the module's own export; an exception inside the module's handler is its own business.
std::optional<std::string> PasswordFromModule(void* context, const std::string& current) {
  auto* c = static_cast<TPasswordContext*>(context);
  auto ex = reinterpret_cast<TFaultPasswordRequestEventEx>(
      ExportOf(c->Module, "Faultline_PasswordRequestEventEx", 8));
  auto plain = reinterpret_cast<TFaultPasswordRequestEvent>(
      ExportOf(c->Module, "Faultline_PasswordRequestEvent", 4));
  if (!ex && !plain) return std::nullopt;
  char buffer[FaultPasswordBufferChars + 1] = {};
  std::memcpy(buffer, current.data(), std::min<size_t>(current.size(), FaultPasswordBufferChars));
  try {
    if (ex) ex(nullptr, buffer);
    else plain(buffer);
  } catch (...) {
  }
  buffer[FaultPasswordBufferChars] = 0;
  return std::string(buffer);
}

std::optional<std::string> PasswordFromHandlers(void* context, const std::string& current) {
  auto* c = static_cast<TPasswordContext*>(context);
  if (!c->Handlers) return std::nullopt;
  try {
    return c->Handlers(current);
  } catch (...) {
    return std::nullopt;
  }
}

}  // namespace

std::optional<std::string_view> FaultContainerResource(HMODULE module) {
  HRSRC info = FindResourceA(module, FaultContainerResourceName, MAKEINTRESOURCEA(10));
  if (!info) return std::nullopt;
  HGLOBAL loaded = LoadResource(module, info);
  DWORD size = SizeofResource(module, info);
  const void* data = loaded ? LockResource(loaded) : nullptr;
  if (!data) return std::nullopt;
  std::string_view bytes(static_cast<const char*>(data), size);
  if (!IsContainer(bytes)) return std::nullopt;
  return bytes;
}

std::optional<std::string> FaultContainerTrailer(HMODULE module) {
  std::string path = FaultModulePath(module);
  if (path.empty()) return std::nullopt;
  THandleCloser file{CreateFileA(path.c_str(), GENERIC_READ,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                 OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr)};
  if (file.h == INVALID_HANDLE_VALUE) return std::nullopt;
  LARGE_INTEGER size;
  if (!GetFileSizeEx(file.h, &size) || size.QuadPart < 8) return std::nullopt;
  char last8[8];
  if (!ReadAt(file.h, size.QuadPart - 8, last8, 8)) return std::nullopt;
  std::optional<uint32_t> bodySize = TrailerBodySize(std::string_view(last8, 8));
  if (!bodySize) return std::nullopt;
  if (*bodySize > size.QuadPart - 8)
    throw EFaultContainerError("Container trailer of " + path + " damaged: " +
                               std::to_string(*bodySize) + " bytes announced.");
  std::string body(*bodySize, '\0');
  if (!ReadAt(file.h, size.QuadPart - 8 - *bodySize, body.data(), *bodySize))
    throw EFaultContainerError("Cannot read the container trailer of " + path + ".");
  return body;
}

bool FaultContainerPresent(HMODULE module) {
  if (FaultContainerResource(module)) return true;
  try {
    return FaultContainerTrailer(module).has_value();
  } catch (const EFaultContainerError&) {
    return true;  // it ends with the magic, damaged or not
  }
}

void FaultLoadContainer(HMODULE module, TFaultModuleOptions& options, TFaultContainerLoad& out,
                        TContainerReadMode mode,
                        std::optional<std::string> (*handlers)(const std::string& current)) {
  TFaultContainerSources sources;
  sources.Resource = FaultContainerResource(module);
  std::optional<std::string> trailer;
  if (!sources.Resource) {
    trailer = FaultContainerTrailer(module);
    if (trailer) sources.Trailer = *trailer;
  }
  sources.RunningModule = module == FaultRunningModule();
  sources.Mode = mode;
  TPasswordContext context{module, handlers};
  sources.Passwords.Context = &context;
  sources.Passwords.FromModule = PasswordFromModule;
  sources.Passwords.FromHandlers = PasswordFromHandlers;
  std::optional<std::string> shared;
  if (!sources.RunningModule) {
    shared = FaultOpenSharedBlock(module, GetCurrentProcessId());
    if (shared) sources.SharedPayload = *shared;
  }
  LoadModuleContainer(options, out, sources);
}
