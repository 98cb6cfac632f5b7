#include <windows.h>

#include <algorithm>
#include <cctype>
#include <cstring>

#include "faultline/hooks/hooks.h"
#include "faultline/lists/memory_reader.h"
#include "faultline/lists/modules_list.h"
#include "faultline/lists/threads_list.h"
#include "faultline/options/container.h"
#include "faultline/options/module_options.h"
#include "faultline/stack/export_names.h"
#include "faultline/stack/stack.h"

namespace {

std::string& DevelopmentEnvironmentName() {
  static std::string name;
  return name;
}

std::string Upper(std::string s) {
  for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

bool ReadCode(uint32_t address, void* buffer, size_t size) {
  TProcessMemoryReader reader;
  return reader.Read(address, buffer, size);
}

// The module's index, built on first use (under the module list's lock).
const TDebugIndex* IndexOf(TFaultModuleInfo& module) {
  if (!module.DebugInfo) return nullptr;
  if (!module.DebugIndex) {
    TDebugModule m;
    m.Stream = *module.DebugInfo;
    m.Version = module.ContainerVersion;
    m.Handle = module.Handle;
    m.PasswordAccepted = module.PasswordAccepted;
    m.Password = module.DebugPassword;
    m.ReadCode = ReadCode;
    module.DebugIndex = std::make_shared<const TDebugIndex>(m);
  }
  return module.DebugIndex.get();
}

uint32_t Address(const void* p) { return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(p)); }

}  // namespace

TFaultDebugInfo ResolveAddress(uint32_t address, uint32_t threadId, bool running) {
  TFaultDebugInfo e;
  e.ThreadId = threadId;
  e.Running = running;
  e.Address = address;
  TFaultModulesList* modules = FaultModules();
  if (!modules) return e;
  std::lock_guard<std::recursive_mutex> guard(modules->Lock());
  TFaultModuleInfo* module = modules->LookupByAddress(address);
  e.Module = module;
  if (!module) return e;
  TDebugHit hit;
  if (const TDebugIndex* index = IndexOf(*module); index && index->Lookup(address, hit)) {
    e.Kind = EntryDebugInfo;
    e.UnitName = std::move(hit.Unit);
    e.ClassName = std::move(hit.Class);
    e.ProcedureName = std::move(hit.Procedure);
    e.Line = hit.Line;
    e.LineOffset = hit.LineOffset;
    return e;
  }
  e.Kind = EntryModule;
  if (const TFaultFunctionInfo* f = FindExport(module->Functions, address)) ParseExportName(f->Name, e);
  return e;
}

std::unique_ptr<TFaultStackList> NewStackList(const TStackScan& scan) {
  auto list = std::make_unique<TFaultStackList>();
  TProcessMemoryReader reader;
  const TMemoryRead read = reader.Function();
  TStackScan s = scan;
  s.DevelopmentEnvironment = s.DevelopmentEnvironment || IsDevelopmentEnvironment();
  ScanStack(*list, s, TScanMemory{read, read}, ResolveAddress);
  return list;
}

__attribute__((noinline)) std::unique_ptr<TFaultStackList> CurrentThreadStack(TKindSet kinds) {
  TStackScan scan;
  // From the caller's frame on: this function's own frame holds nothing of interest.
  scan.StackPointer = Address(__builtin_frame_address(0));
  scan.StackTop = CurrentStackTop();
  scan.Kinds = kinds;
  scan.ThreadId = GetCurrentThreadId();
  return NewStackList(scan);
}

std::unique_ptr<TFaultStackList> ThreadContextStack(const CONTEXT& context, uint32_t stackTop, uint32_t threadId,
                                                    TKindSet kinds) {
  TStackScan scan;
  scan.HasStart = true;
  scan.StartAddress = context.Eip;
  scan.StackPointer = context.Esp;
  scan.StackTop = stackTop;
  scan.Kinds = kinds;
  scan.ThreadId = threadId;
  return NewStackList(scan);
}

void ScanStackCopy(TFaultStackList& list, const void* copy, uint32_t size, uint32_t origin, const TStackScan& scan) {
  TMemoryRead fromCopy = [copy, size, origin](uint32_t address, void* buffer, size_t n) {
    if (!copy || address < origin || address - origin > size || n > size - (address - origin)) return false;
    std::memcpy(buffer, static_cast<const uint8_t*>(copy) + (address - origin), n);
    return true;
  };
  TProcessMemoryReader reader;
  TStackScan s = scan;
  s.StackPointer = origin;
  s.StackTop = origin + size - std::min<uint32_t>(size, 4);  // the last whole word
  s.DevelopmentEnvironment = IsDevelopmentEnvironment();
  ScanStack(list, s, TScanMemory{fromCopy, reader.Function()}, ResolveAddress);
}

std::unique_ptr<TFaultStackList> CopiedStack(const void* copy, uint32_t size, uint32_t threadId, TKindSet kinds) {
  auto list = std::make_unique<TFaultStackList>();
  if (!copy || size < 4) return list;
  // The copy's words stand at made-up addresses from 0x1000 on; the code they point at is real.
  TStackScan scan;
  scan.Kinds = kinds;
  scan.Running = false;
  scan.ThreadId = threadId;
  ScanStackCopy(*list, copy, size, 0x1000, scan);
  return list;
}

void SetDevelopmentEnvironmentExecutable(std::string fileName) { DevelopmentEnvironmentName() = Upper(std::move(fileName)); }

bool IsDevelopmentEnvironment() {
  const std::string& name = DevelopmentEnvironmentName();
  if (name.empty()) return false;
  char path[MAX_PATH];
  const DWORD n = GetModuleFileNameA(nullptr, path, sizeof path);
  if (n == 0 || n >= sizeof path) return false;
  std::string file(path, n);
  const size_t slash = file.find_last_of("\\/:");
  if (slash != std::string::npos) file.erase(0, slash + 1);
  return Upper(file) == name;
}

void* SymbolAddress(uint8_t symbolId) {
  HMODULE module = FaultRunningModule();
  const auto resource = FaultContainerResource(module);
  if (!resource) return nullptr;
  try {
    const auto container = ReadContainer(*resource, TContainerReadMode::Light);
    if (!container) return nullptr;
    for (const TFaultSymbol& s : container->Symbols)
      if (s.Id == symbolId) return reinterpret_cast<uint8_t*>(module) + 4096 + s.Offset;
  } catch (const std::exception&) {
    // A damaged container names no procedures.
  }
  return nullptr;
}

void* SymbolAddress(uint8_t symbolId, const std::string& moduleName, const std::string& procName) {
  if (void* p = SymbolAddress(symbolId)) return p;
  if (moduleName.empty() || procName.empty()) return nullptr;
  HMODULE module = GetModuleHandleA(moduleName.c_str());
  return module ? reinterpret_cast<void*>(GetProcAddress(module, procName.c_str())) : nullptr;
}

void* HookSymbol(uint8_t symbolId, void* replacement, const std::string& moduleName, const std::string& procName) {
  void* target = SymbolAddress(symbolId, moduleName, procName);
  if (!target) return nullptr;  // not present in this program: nothing to hook
  return HookProcedure(target, replacement, "SymbolID = " + std::to_string(symbolId));
}

TCpuSnapshot ReadCpuSnapshot(const CONTEXT& context, uint32_t dumpAddress) {
  TCpuSnapshot cpu;
  cpu.HasContext = true;
  cpu.Eax = context.Eax;
  cpu.Ebx = context.Ebx;
  cpu.Ecx = context.Ecx;
  cpu.Edx = context.Edx;
  cpu.Edi = context.Edi;
  cpu.Esi = context.Esi;
  cpu.Esp = context.Esp;
  cpu.Eip = context.Eip;
  TProcessMemoryReader reader;
  cpu.StackReadable = reader.Read(context.Esp, cpu.Stack.data(), cpu.Stack.size());
  cpu.DumpAddress = dumpAddress;
  cpu.DumpReadable = reader.Read(dumpAddress, cpu.Dump.data(), cpu.Dump.size());
  return cpu;
}
