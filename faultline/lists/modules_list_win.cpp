#include <windows.h>
#include <tlhelp32.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "faultline/hooks/hooks.h"
#include "faultline/lists/memory_reader.h"
#include "faultline/lists/modules_list.h"
#include "faultline/options/module_options.h"

namespace {

TFaultModulesList* moduleList = nullptr;

uint64_t Address(const void* p) { return reinterpret_cast<uintptr_t>(p); }

// FILETIME (100 ns since 1601, UTC) as days since 1899-12-30.
double FileTimeToDays(const FILETIME& t) {
  const uint64_t ticks = (static_cast<uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime;
  constexpr double ticksPerDay = 864000000000.0;
  constexpr double days1601To1899 = 109205.0;  // 1601-01-01 .. 1899-12-30
  return static_cast<double>(ticks) / ticksPerDay - days1601To1899;
}

bool FileFacts(const std::string& path, uint32_t& size, double& modified) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data)) return false;
  size = data.nFileSizeLow;
  modified = FileTimeToDays(data.ftLastWriteTime);
  return true;
}

bool ModuleLoaded(HMODULE module, const std::string& path) {
  char name[MAX_PATH];
  const DWORD n = GetModuleFileNameA(module, name, sizeof name);
  return n > 0 && n < sizeof name && lstrcmpiA(name, path.c_str()) == 0;
}

// The system's module enumeration, looked up at run time: "EnumProcessModules" of PSAPI.DLL, else
// the tool-help snapshot of kernel32. Empty when neither exists.
using TEnumProcessModules = BOOL(WINAPI*)(HANDLE, HMODULE*, DWORD, LPDWORD);

// Found when the list is made, not when a report first refreshes it: a report loads no library (a
// thread it holds may own the loader's locks, and under Wine a library load takes more than them).
TEnumProcessModules EnumProcessModulesProc() {
  static const TEnumProcessModules proc = [] {
    HMODULE psapi = LoadLibraryA("PSAPI.DLL");  // kept loaded
    return psapi ? reinterpret_cast<TEnumProcessModules>(reinterpret_cast<void*>(GetProcAddress(psapi, "EnumProcessModules")))
                 : nullptr;
  }();
  return proc;
}

std::vector<HMODULE> LoadedModules() {
  std::vector<HMODULE> modules;
  const TEnumProcessModules enumModules = EnumProcessModulesProc();
  if (enumModules) {
    DWORD needed = 0;
    modules.resize(256);
    for (int tries = 0; tries < 4; ++tries) {
      if (!enumModules(GetCurrentProcess(), modules.data(), static_cast<DWORD>(modules.size() * sizeof(HMODULE)),
                       &needed)) {
        modules.clear();
        return modules;
      }
      if (needed <= modules.size() * sizeof(HMODULE)) break;
      modules.resize(needed / sizeof(HMODULE) + 16);
    }
    modules.resize(std::min<size_t>(modules.size(), needed / sizeof(HMODULE)));
    return modules;
  }
  using TSnapshot = HANDLE(WINAPI*)(DWORD, DWORD);
  using TModuleWalk = BOOL(WINAPI*)(HANDLE, MODULEENTRY32*);
  HMODULE kernel = GetModuleHandleA("kernel32.dll");
  auto snapshot = reinterpret_cast<TSnapshot>(reinterpret_cast<void*>(GetProcAddress(kernel, "CreateToolhelp32Snapshot")));
  auto first = reinterpret_cast<TModuleWalk>(reinterpret_cast<void*>(GetProcAddress(kernel, "Module32First")));
  auto next = reinterpret_cast<TModuleWalk>(reinterpret_cast<void*>(GetProcAddress(kernel, "Module32Next")));
  if (!snapshot || !first || !next) return modules;
  HANDLE snap = snapshot(TH32CS_SNAPMODULE, GetCurrentProcessId());
  if (snap == INVALID_HANDLE_VALUE) return modules;
  MODULEENTRY32 entry;
  entry.dwSize = sizeof entry;
  for (BOOL ok = first(snap, &entry); ok; ok = next(snap, &entry)) modules.push_back(entry.hModule);
  CloseHandle(snap);
  return modules;
}

}  // namespace

bool ReadProcessBytes(uint64_t address, void* buffer, size_t size) {
  TProcessMemoryReader reader;
  return reader.Read(address, buffer, size);
}

HMODULE ModuleOfAddress(uint64_t address) {
  MEMORY_BASIC_INFORMATION info;
  if (VirtualQuery(reinterpret_cast<const void*>(static_cast<uintptr_t>(address)), &info, sizeof info) == 0)
    return nullptr;
  if (info.State != MEM_COMMIT || info.Type != MEM_IMAGE || !info.AllocationBase) return nullptr;
  return static_cast<HMODULE>(info.AllocationBase);
}

uint8_t ModuleType(HMODULE module) {
  TImageFacts facts;
  if (!ReadImageFacts(Address(module), ReadProcessBytes, facts) || !facts.IsLibrary) return ModuleExecutable;
  // The module is loaded: its resources can be looked up in place.
  const bool package = FindResourceA(module, "PACKAGEINFO", MAKEINTRESOURCEA(10)) != nullptr &&
                       FindResourceA(module, "PACKAGEOPTIONS", MAKEINTRESOURCEA(10)) != nullptr;
  return package ? ModulePackage : ModuleLibrary;
}

bool LoadExports(HMODULE module, TFaultFunctionsList& functions) {
  TProcessMemoryReader reader;
  return LoadModuleExports(Address(module), reader.Function(), functions);
}

namespace {

// The version-resource functions, looked up at run time so that nothing but kernel32 is required.
struct TVersionApi {
  DWORD(WINAPI* SizeOf)(LPCSTR, LPDWORD) = nullptr;
  BOOL(WINAPI* Read)(LPCSTR, DWORD, DWORD, LPVOID) = nullptr;
  BOOL(WINAPI* Query)(LPCVOID, LPCSTR, LPVOID*, PUINT) = nullptr;
  TVersionApi() {
    HMODULE lib = LoadLibraryA("version.dll");  // kept loaded: the module list asks again and again
    if (!lib) return;
    SizeOf = reinterpret_cast<decltype(SizeOf)>(reinterpret_cast<void*>(GetProcAddress(lib, "GetFileVersionInfoSizeA")));
    Read = reinterpret_cast<decltype(Read)>(reinterpret_cast<void*>(GetProcAddress(lib, "GetFileVersionInfoA")));
    Query = reinterpret_cast<decltype(Query)>(reinterpret_cast<void*>(GetProcAddress(lib, "VerQueryValueA")));
  }
};

}  // namespace

TModuleVersion ReadModuleVersion(const std::string& path) {
  static const TVersionApi api;
  TModuleVersion v;
  if (!api.SizeOf || !api.Read || !api.Query) return v;
  DWORD ignored = 0;
  const DWORD size = api.SizeOf(path.c_str(), &ignored);
  if (size == 0) return v;
  std::vector<char> data(size);
  if (!api.Read(path.c_str(), 0, size, data.data())) return v;
  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT length = 0;
  if (api.Query(data.data(), "\\", reinterpret_cast<void**>(&fixed), &length) && fixed &&
      length >= sizeof(VS_FIXEDFILEINFO)) {
    char text[64];
    std::snprintf(text, sizeof text, "%u.%u.%u.%u", unsigned{HIWORD(fixed->dwFileVersionMS)},
                  unsigned{LOWORD(fixed->dwFileVersionMS)}, unsigned{HIWORD(fixed->dwFileVersionLS)},
                  unsigned{LOWORD(fixed->dwFileVersionLS)});
    if (std::string(text) != "0.0.0.0") v.Version = text;
  }
  struct TTranslation {
    WORD Language, CodePage;
  };
  TTranslation* translations = nullptr;
  if (api.Query(data.data(), "\\VarFileInfo\\Translation", reinterpret_cast<void**>(&translations), &length) &&
      translations && length >= sizeof(TTranslation)) {
    char key[64];
    std::snprintf(key, sizeof key, "\\StringFileInfo\\%04x%04x\\FileDescription", translations[0].Language,
                  translations[0].CodePage);
    char* text = nullptr;
    if (api.Query(data.data(), key, reinterpret_cast<void**>(&text), &length) && text && length > 0)
      v.Description.assign(text, strnlen(text, length));
  }
  return v;
}

// ---------------------------------------------------------------------------------------------

int TFaultModulesList::IndexOf(HMODULE module) const {
  for (int i = 0; i < Count(); ++i)
    if (records_[static_cast<size_t>(i)]->Handle == Address(module)) return i;
  return -1;
}

void TFaultModulesList::Delete(int index) {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  records_.erase(records_.begin() + index);
}

TFaultModuleInfo* TFaultModulesList::Register(HMODULE module) {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  char name[MAX_PATH];
  const DWORD n = GetModuleFileNameA(module, name, sizeof name);
  if (n == 0 || n >= sizeof name) return nullptr;
  auto r = std::make_unique<TFaultModuleInfo>();
  r->Handle = Address(module);
  r->Path.assign(name, n);
  const TModuleVersion version = ReadModuleVersion(r->Path);
  r->Description = version.Description;
  r->Version = version.Version;
  FileFacts(r->Path, r->FileSize, r->ModifiedTime);
  if (!light_) {
    r->ModuleType = ModuleType(module);
    // The executable's own code is named by its debug information; exports would only add noise.
    if (r->ModuleType != ModuleExecutable) LoadExports(module, r->Functions);
  }
  r->Options = std::make_shared<TFaultModuleOptionsEx>(r->Path, true);
  TFaultContainerLoad load;
  try {
    FaultLoadContainer(module, *r->Options, load, light_ ? TContainerReadMode::Light : TContainerReadMode::Full,
                       PasswordHandlers);
  } catch (const std::exception&) {
    // A damaged container leaves the module with default options and no debug information.
    load = TFaultContainerLoad();
  }
  r->ContainerVersion = load.Version;
  r->BuildTime = load.BuildTime;
  if (!light_) r->DebugInfo = std::move(load.DebugInfo);
  r->DebugPassword = load.DebugPassword;
  r->PasswordAccepted = load.PasswordAccepted;
  records_.push_back(std::move(r));
  return records_.back().get();
}

TFaultModuleInfo* TFaultModulesList::Lookup(HMODULE module) {
  if (!module) return nullptr;
  std::lock_guard<std::recursive_mutex> guard(lock_);
  const int i = IndexOf(module);
  if (i >= 0) {
    if (records_[static_cast<size_t>(i)]->ModuleType != ModuleLight || light_) return records_[static_cast<size_t>(i)].get();
    records_.erase(records_.begin() + i);
  }
  return Register(module);
}

TFaultModuleInfo* TFaultModulesList::LookupByAddress(uint64_t address) { return Lookup(ModuleOfAddress(address)); }

void TFaultModulesList::Refresh() {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  const bool wasLight = light_;
  light_ = true;
  for (int i = Count() - 1; i >= 0; --i)
    if (!ModuleLoaded(reinterpret_cast<HMODULE>(records_[static_cast<size_t>(i)]->Handle), records_[static_cast<size_t>(i)]->Path))
      Delete(i);
  const std::vector<HMODULE> loaded = LoadedModules();
  for (HMODULE m : loaded)
    if (IndexOf(m) < 0) Register(m);
  std::stable_sort(records_.begin(), records_.end(),
                   [](const auto& a, const auto& b) { return a->Handle < b->Handle; });
  light_ = wasLight;
}

void TFaultModulesList::DropChanged() {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  for (int i = Count() - 1; i >= 0; --i) {
    TFaultModuleInfo& r = *records_[static_cast<size_t>(i)];
    uint32_t size = 0;
    double modified = 0;
    if (!FileFacts(r.Path, size, modified) || modified != r.ModifiedTime) Delete(i);
  }
}

TFaultModulesList* FaultModules() { return moduleList; }
void CreateFaultModules() {
  EnumProcessModulesProc();
  if (!moduleList) moduleList = new TFaultModulesList();
}
void DestroyFaultModules() {
  TFaultModulesList* list = moduleList;
  moduleList = nullptr;
  delete list;
}
