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
#include "rtl/cpu_context.h"

namespace {

std::string& DevelopmentEnvironmentName() {
  static std::string name;
  return name;
}

std::string Upper(std::string s) {
  for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

bool ReadCode(uint64_t address, void* buffer, size_t size) {
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

#ifdef _WIN64
// At most this many frames are unwound; a damaged chain must not loop.
constexpr int MaxUnwoundFrames = 1024;

// Whether the unwind information of a function entry can be given to the system's unwinder: the
// entry covers pc, and its unwind data lies readable inside the module with a known version.
// Damaged tables (.pdata or .xdata) end the exact walk; the scan takes over from there.
bool UsableUnwindEntry(const RUNTIME_FUNCTION& f, DWORD64 imageBase, DWORD64 pc, TProcessMemoryReader& reader) {
  const DWORD64 rva = pc - imageBase;
  if (f.BeginAddress >= f.EndAddress || rva < f.BeginAddress || rva >= f.EndAddress) return false;
  if (f.UnwindData & 1) return false;  // not an unwind record (chained entries are not used by MinGW)
  uint8_t head[4];
  if (!reader.Read(imageBase + f.UnwindData, head, sizeof head)) return false;
  const uint8_t version = head[0] & 7;
  if (version != 1 && version != 2) return false;
  // The unwind codes (two bytes each, an even count) and a chained entry or handler after them.
  const size_t codes = (size_t(head[2]) + 1) & ~size_t(1);
  uint8_t scratch[4 + 2 * 256 + 12];
  return reader.Read(imageBase + f.UnwindData, scratch, 4 + 2 * codes + 12);
}

// Walks the stack of `context` with the modules' unwind data: the return address of every frame
// whose function the system's tables describe (or a leaf function, which has no entry and keeps
// its return address at RSP). Stops at the first frame it cannot unwind exactly, at the top of
// the stack, or when the stack pointer does not move upward; `context` is left at the frame where
// it stopped, for the scan of the rest.
std::vector<uint64_t> UnwindFrames(CONTEXT& context, uint64_t stackTop) {
  std::vector<uint64_t> frames;
  TProcessMemoryReader reader;
  bool first = true;
  for (int i = 0; i < MaxUnwoundFrames; ++i) {
    const DWORD64 pc = context.Rip;
    const DWORD64 sp = context.Rsp;
    if (pc == 0 || sp == 0 || sp >= stackTop) break;
    CONTEXT next = context;
    DWORD64 imageBase = 0;
    // A return address points after its call: look up the call's own byte (it may be the last
    // of its function).
    const DWORD64 lookup = first ? pc : pc - 1;
    PRUNTIME_FUNCTION f = RtlLookupFunctionEntry(lookup, &imageBase, nullptr);
    if (f) {
      if (!UsableUnwindEntry(*f, imageBase, lookup, reader)) break;
      PVOID handlerData = nullptr;
      DWORD64 establisher = 0;
      RtlVirtualUnwind(UNW_FLAG_NHANDLER, imageBase, pc, f, &next, &handlerData, &establisher, nullptr);
    } else {
      // No entry. Where the thread stopped, that is a leaf function (or a call through a wild
      // pointer): its return address is at RSP. A return address without an entry means code
      // without tables (generated code, a module built without them): the walk ends there and
      // the scan goes on.
      if (!first) break;
      uint64_t ret;
      if (!reader.Read(sp, &ret, sizeof ret)) break;
      next.Rip = ret;
      next.Rsp = sp + 8;
    }
    // An unwind that leaves the stack or does not move up is not followed: the scan goes on from
    // the last frame that was sound, so nothing above it is lost.
    if (next.Rsp <= sp || next.Rsp >= stackTop || next.Rip == 0) break;
    first = false;
    context = next;
    frames.push_back(context.Rip);
  }
  return frames;
}
#endif

}  // namespace

TFaultDebugInfo ResolveAddress(uint64_t address, uint32_t threadId, bool running) {
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
  s.WordSize = sizeof(void*);
  s.DevelopmentEnvironment = s.DevelopmentEnvironment || IsDevelopmentEnvironment();
  ScanStack(*list, s, TScanMemory{read, read}, ResolveAddress);
  return list;
}

__attribute__((noinline)) std::unique_ptr<TFaultStackList> CurrentThreadStack(TKindSet kinds) {
  TStackScan scan;
  scan.StackTop = CurrentStackTop();
  scan.Kinds = kinds;
  scan.ThreadId = GetCurrentThreadId();
#ifdef _WIN64
  // Exactly, from the caller's frame on, as far as unwind data reaches.
  CONTEXT context;
  RtlCaptureContext(&context);
  // The context stands in this function: its first frame is the return into our caller.
  scan.Frames = UnwindFrames(context, scan.StackTop);
  scan.StackPointer = context.Rsp;
#else
  // From the caller's frame on: this function's own frame holds nothing of interest.
  scan.StackPointer = reinterpret_cast<uintptr_t>(__builtin_frame_address(0));
#endif
  return NewStackList(scan);
}

std::unique_ptr<TFaultStackList> ThreadContextStack(const CONTEXT& context, uint64_t stackTop, uint32_t threadId,
                                                    TKindSet kinds) {
  TStackScan scan;
  scan.HasStart = true;
  scan.StartAddress = ContextInstruction(context);
  scan.StackPointer = ContextStack(context);
  scan.StackTop = stackTop;
  scan.Kinds = kinds;
  scan.ThreadId = threadId;
#ifdef _WIN64
  CONTEXT walked = context;
  scan.Frames = UnwindFrames(walked, stackTop);
  scan.StackPointer = walked.Rsp;
#endif
  return NewStackList(scan);
}

void ScanStackCopy(TFaultStackList& list, const void* copy, uint32_t size, uint64_t origin, const TStackScan& scan) {
  TMemoryRead fromCopy = [copy, size, origin](uint64_t address, void* buffer, size_t n) {
    if (!copy || address < origin || address - origin > size || n > size - (address - origin)) return false;
    std::memcpy(buffer, static_cast<const uint8_t*>(copy) + (address - origin), n);
    return true;
  };
  TProcessMemoryReader reader;
  TStackScan s = scan;
  s.WordSize = sizeof(void*);
  s.StackPointer = origin;
  s.StackTop = origin + size - std::min<uint32_t>(size, sizeof(void*));  // the last whole word
  s.DevelopmentEnvironment = IsDevelopmentEnvironment();
  ScanStack(list, s, TScanMemory{fromCopy, reader.Function()}, ResolveAddress);
}

std::unique_ptr<TFaultStackList> CopiedStack(const void* copy, uint32_t size, uint32_t threadId, TKindSet kinds) {
  auto list = std::make_unique<TFaultStackList>();
  if (!copy || size < sizeof(void*)) return list;
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

TCpuSnapshot ReadCpuSnapshot(const CONTEXT& context, uint64_t dumpAddress) {
  TCpuSnapshot cpu;
  cpu.HasContext = true;
#ifdef _WIN64
  cpu.Wide = true;
  cpu.Rax = context.Rax, cpu.Rbx = context.Rbx, cpu.Rcx = context.Rcx, cpu.Rdx = context.Rdx;
  cpu.Rsi = context.Rsi, cpu.Rdi = context.Rdi, cpu.Rbp = context.Rbp, cpu.Rsp = context.Rsp;
  cpu.R8 = context.R8, cpu.R9 = context.R9, cpu.R10 = context.R10, cpu.R11 = context.R11;
  cpu.R12 = context.R12, cpu.R13 = context.R13, cpu.R14 = context.R14, cpu.R15 = context.R15;
  cpu.Rip = context.Rip;
  cpu.EFlags = context.EFlags;
  cpu.SegCs = context.SegCs, cpu.SegDs = context.SegDs, cpu.SegEs = context.SegEs;
  cpu.SegFs = context.SegFs, cpu.SegGs = context.SegGs, cpu.SegSs = context.SegSs;
  const size_t stackBytes = 128;
#else
  cpu.Eax = context.Eax;
  cpu.Ebx = context.Ebx;
  cpu.Ecx = context.Ecx;
  cpu.Edx = context.Edx;
  cpu.Edi = context.Edi;
  cpu.Esi = context.Esi;
  cpu.Esp = context.Esp;
  cpu.Eip = context.Eip;
  const size_t stackBytes = 64;
#endif
  TProcessMemoryReader reader;
  cpu.StackReadable = reader.Read(ContextStack(context), cpu.Stack.data(), stackBytes);
  cpu.DumpAddress = dumpAddress;
  cpu.DumpReadable = reader.Read(dumpAddress, cpu.Dump.data(), cpu.Dump.size());
  return cpu;
}
