#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <limits>
#include <memory>
#include <utility>

#include "faultline/hooks/hooks.h"
#include "faultline/hooks/trampoline.h"

namespace {

// ---------------------------------------------------------------------------------------------
// Memory
// ---------------------------------------------------------------------------------------------

bool ReadableProtection(DWORD protect) {
  // Touching a guard page would fire its one-shot exception and take the guard away from the
  // stack that owns it.
  if (protect & (PAGE_GUARD | PAGE_NOACCESS)) return false;
  switch (protect & 0xFF) {
    case PAGE_READONLY:
    case PAGE_READWRITE:
    case PAGE_WRITECOPY:
    case PAGE_EXECUTE_READ:
    case PAGE_EXECUTE_READWRITE:
    case PAGE_EXECUTE_WRITECOPY:
      return true;
    default:
      return false;
  }
}

uintptr_t Address(const void* p) { return reinterpret_cast<uintptr_t>(p); }

// The code this build runs, and so the code it hooks.
constexpr TCodeMode NativeCodeMode = sizeof(void*) == 8 ? TCodeMode::Code64 : TCodeMode::Code32;

// 9x platforms map the upper two gigabytes into every process; code there is shared.
bool IsNtFamily() { return (GetVersion() & 0x80000000u) == 0; }

std::string ModuleFileOf(const void* address) {
  MEMORY_BASIC_INFORMATION mbi;
  char path[MAX_PATH] = "";
  if (VirtualQuery(address, &mbi, sizeof mbi) && mbi.AllocationBase)
    GetModuleFileNameA(static_cast<HMODULE>(mbi.AllocationBase), path, MAX_PATH);
  return path;
}

void CheckSharedArea(const void* address) {
  if (Address(address) >= 0x80000000u && !IsNtFamily()) throw ESharedArea(ModuleFileOf(address));
}

class TCriticalSectionLock {
 public:
  explicit TCriticalSectionLock(CRITICAL_SECTION& cs) : cs_(cs) { EnterCriticalSection(&cs_); }
  ~TCriticalSectionLock() { LeaveCriticalSection(&cs_); }
  TCriticalSectionLock(const TCriticalSectionLock&) = delete;
  TCriticalSectionLock& operator=(const TCriticalSectionLock&) = delete;

 private:
  CRITICAL_SECTION& cs_;
};

// Trampoline memory: written while read-write, then turned execute-read, so that no page of
// ours is writable and executable at once.
class TCodeBlock {
 public:
  TCodeBlock() = default;
  // Anywhere, or at exactly `at` (null when that address is not free).
  explicit TCodeBlock(size_t size, void* at = nullptr)
      : p_(VirtualAlloc(at, size, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE)), size_(size) {}
  ~TCodeBlock() {
    if (p_) VirtualFree(p_, 0, MEM_RELEASE);
  }
  TCodeBlock(const TCodeBlock&) = delete;
  TCodeBlock& operator=(const TCodeBlock&) = delete;
  TCodeBlock(TCodeBlock&& other) noexcept { *this = std::move(other); }
  TCodeBlock& operator=(TCodeBlock&& other) noexcept {
    std::swap(p_, other.p_);
    std::swap(size_, other.size_);
    return *this;
  }

  void* Get() const { return p_; }
  bool Fill(const std::vector<uint8_t>& bytes) {
    if (!p_ || bytes.size() > size_) return false;
    std::memcpy(p_, bytes.data(), bytes.size());
    DWORD old;
    if (!VirtualProtect(p_, size_, PAGE_EXECUTE_READ, &old)) return false;
    return FlushInstructionCache(GetCurrentProcess(), p_, size_) != 0;
  }
  // Gives up the block without freeing it: code that may still run through it stays valid.
  void Abandon() { p_ = nullptr; }

 private:
  void* p_ = nullptr;
  size_t size_ = 0;
};

// A block of size bytes whose address minus code lies in [minShift, maxShift]: anywhere when the
// range is unbounded, else in the free regions nearest to code (walked with VirtualQuery, below
// and above it), at allocation-granularity boundaries. An empty block when there is none.
TCodeBlock AllocateNear(uintptr_t code, int64_t minShift, int64_t maxShift, size_t size) {
  constexpr int64_t unboundedMin = std::numeric_limits<int64_t>::min();
  constexpr int64_t unboundedMax = std::numeric_limits<int64_t>::max();
  if (minShift == unboundedMin && maxShift == unboundedMax) return TCodeBlock(size);
  SYSTEM_INFO si;
  GetSystemInfo(&si);
  const uintptr_t granularity = si.dwAllocationGranularity;
  // [lo, hi]: where the block may start, within the addresses the process may use.
  uintptr_t lo = Address(si.lpMinimumApplicationAddress);
  uintptr_t hi = Address(si.lpMaximumApplicationAddress) - size;
  const int64_t c = static_cast<int64_t>(code);
  if (minShift > -c) lo = std::max<uintptr_t>(lo, static_cast<uintptr_t>(c + minShift));
  if (maxShift < unboundedMax - c) hi = std::min<uintptr_t>(hi, static_cast<uintptr_t>(c + maxShift));
  lo = (lo + granularity - 1) / granularity * granularity;
  if (lo > hi) return {};

  MEMORY_BASIC_INFORMATION mbi;
  for (uintptr_t at = code; at >= lo && VirtualQuery(reinterpret_cast<void*>(at), &mbi, sizeof mbi);) {
    const uintptr_t base = Address(mbi.BaseAddress), end = base + mbi.RegionSize;
    if (mbi.State == MEM_FREE && end - base >= size) {
      const uintptr_t candidate = std::min(end - size, hi) / granularity * granularity;
      if (candidate >= base && candidate >= lo) {
        TCodeBlock block(size, reinterpret_cast<void*>(candidate));
        if (block.Get()) return block;
      }
    }
    if (base == 0) break;
    at = base - 1;
  }
  for (uintptr_t at = code; at <= hi && VirtualQuery(reinterpret_cast<void*>(at), &mbi, sizeof mbi);) {
    const uintptr_t base = Address(mbi.BaseAddress), end = base + mbi.RegionSize;
    if (mbi.State == MEM_FREE) {
      const uintptr_t candidate = (std::max(base, lo) + granularity - 1) / granularity * granularity;
      if (candidate <= hi && candidate + size <= end) {
        TCodeBlock block(size, reinterpret_cast<void*>(candidate));
        if (block.Get()) return block;
      }
    }
    if (end <= at) break;
    at = end;
  }
  return {};
}

// ---------------------------------------------------------------------------------------------
// Hook lists
// ---------------------------------------------------------------------------------------------

struct TProcedureHook {
  uint8_t* Target = nullptr;
  TCodeBlock Trampoline;
  size_t TrampolineSize = 0;
  std::vector<uint8_t> Saved;  // the first N bytes of the target as they were
};

struct THookLists {
  std::vector<TImportHookInfo> Imports;
  std::vector<std::unique_ptr<TProcedureHook>> Procedures;
};

// Created by FHookInit and freed by FHookDone only: if shutdown never runs, the trampolines that
// hooked code jumps through must outlive every static destructor.
THookLists* gLists = nullptr;
// Read by any thread that registers a thread class; hence atomic.
std::atomic<THookedMethodsList*> gMethods{nullptr};

TProcedureHook* FindHook(const void* target) {
  if (!gLists) return nullptr;
  for (auto& h : gLists->Procedures)
    if (h->Target == target) return h.get();
  return nullptr;
}

// ---------------------------------------------------------------------------------------------
// Import tables
// ---------------------------------------------------------------------------------------------

bool EqualNoCase(const char* a, const std::string& b) {
  auto lower = [](unsigned char c) { return c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c; };
  size_t i = 0;
  for (; a[i] && i < b.size(); ++i)
    if (lower(static_cast<unsigned char>(a[i])) != lower(static_cast<unsigned char>(b[i]))) return false;
  return a[i] == 0 && i == b.size();
}

// A zero-terminated string of at most limit characters, every byte of it readable.
bool IsReadableString(const char* s, size_t limit) {
  size_t n = ReadableLength(s, limit + 1);
  return n && std::memchr(s, 0, n) != nullptr;
}

// Calls visit(entry) for every import address table entry of dllName in module. Every structure
// is checked for readability before it is read: the name list may name something that only looks
// like an image, or an image with damaged tables.
template <class TVisit>
void ForEachImportEntry(HMODULE module, const std::string& dllName, TVisit&& visit) {
  const auto* base = reinterpret_cast<const uint8_t*>(module);
  if (!IsReadable(base, 64) || base[0] != 'M' || base[1] != 'Z') return;
  LONG headerOffset;
  std::memcpy(&headerOffset, base + 60, sizeof headerOffset);
  if (headerOffset <= 0) return;
  // The headers of this build's own width (PE32 or PE32+): its import entries are pointer-sized.
  const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + headerOffset);
  if (!IsReadable(nt, sizeof *nt) || std::memcmp(nt, "PE\0\0", 4) != 0) return;
  const IMAGE_OPTIONAL_HEADER& optional = nt->OptionalHeader;
  if (optional.Magic != IMAGE_NT_OPTIONAL_HDR_MAGIC) return;
  if (optional.NumberOfRvaAndSizes <= IMAGE_DIRECTORY_ENTRY_IMPORT) return;
  const IMAGE_DATA_DIRECTORY& dir = optional.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
  if (!dir.VirtualAddress || !dir.Size) return;

  for (auto* d = reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(base + dir.VirtualAddress);
       IsReadable(d, sizeof *d) && d->Name != 0; ++d) {
    const auto* name = reinterpret_cast<const char*>(base + d->Name);
    if (!d->FirstThunk || !IsReadableString(name, MAX_PATH) || !EqualNoCase(name, dllName)) continue;
    for (auto* entry = reinterpret_cast<void**>(const_cast<uint8_t*>(base) + d->FirstThunk);
         IsReadable(entry, sizeof *entry) && *entry; ++entry)
      visit(entry);
  }
}

// 9x platforms hand out, instead of a system procedure's address, a stub that pushes a value and
// jumps on; two stubs that push the same value lead to the same procedure.
bool SameForwardingStub(const void* a, const void* b) {
  const auto* x = static_cast<const uint8_t*>(a);
  const auto* y = static_cast<const uint8_t*>(b);
  if (!IsReadable(x, 10) || !IsReadable(y, 10)) return false;
  return x[0] == 0x68 && x[5] == 0xE9 && y[0] == 0x68 && y[5] == 0xE9 && std::memcmp(x + 1, y + 1, 4) == 0;
}

bool EntryLeadsTo(void* entry, void* original, bool ntFamily) {
  return entry == original || (!ntFamily && SameForwardingStub(entry, original));
}

// At shutdown: the entries that hold our replacement get the original back.
void RestoreImportHook(const TImportHookInfo& hook) {
  char path[MAX_PATH];
  if (!GetModuleFileNameA(hook.Module, path, MAX_PATH)) return;  // unloaded since: nothing to restore
  ForEachImportEntry(hook.Module, hook.DllName, [&](void** entry) {
    if (*entry == hook.Replacement) WriteMemory(entry, &hook.Original, sizeof hook.Original);
  });
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Memory helpers
// ---------------------------------------------------------------------------------------------

size_t ReadableLength(const void* address, size_t limit) {
  const uintptr_t start = Address(address);
  if (!start) return 0;
  size_t done = 0;
  while (done < limit) {
    const uintptr_t at = start + done;
    if (at < start) break;  // ran past the top of the address space
    MEMORY_BASIC_INFORMATION mbi;
    if (!VirtualQuery(reinterpret_cast<const void*>(at), &mbi, sizeof mbi)) break;
    if (mbi.State != MEM_COMMIT || !ReadableProtection(mbi.Protect)) break;
    const uintptr_t regionEnd = Address(mbi.BaseAddress) + mbi.RegionSize;
    if (regionEnd <= at) break;
    done += std::min<size_t>(regionEnd - at, limit - done);
  }
  return done;
}

bool IsReadable(const void* address, size_t size) { return size && ReadableLength(address, size) == size; }

bool WriteMemory(void* address, const void* bytes, size_t count) {
  if (!address || !count) return false;
  // Page by page: the pages of one range may differ in protection, and each gets its own back.
  SYSTEM_INFO si;
  GetSystemInfo(&si);
  const uintptr_t pageSize = si.dwPageSize;
  struct TPage {
    void* At;
    size_t Size;
    DWORD Old;
  };
  std::vector<TPage> pages;
  const uintptr_t start = Address(address);
  for (uintptr_t at = start; at < start + count;) {
    uintptr_t end = std::min<uintptr_t>((at / pageSize + 1) * pageSize, start + count);
    TPage page{reinterpret_cast<void*>(at), static_cast<size_t>(end - at), 0};
    if (!VirtualProtect(page.At, page.Size, PAGE_EXECUTE_READWRITE, &page.Old)) {
      for (const TPage& p : pages) {
        DWORD ignored;
        VirtualProtect(p.At, p.Size, p.Old, &ignored);
      }
      return false;
    }
    pages.push_back(page);
    at = end;
  }
  std::memcpy(address, bytes, count);
  for (const TPage& p : pages) {
    DWORD ignored;
    VirtualProtect(p.At, p.Size, p.Old, &ignored);
  }
  FlushInstructionCache(GetCurrentProcess(), address, count);
  return true;
}

bool WriteJump(void* at, const void* to) {
  if (NativeCodeMode == TCodeMode::Code64 && !Rel32Reaches(Address(at), Address(to))) return false;
  uint8_t jump[HookJumpSize];
  EncodeJump(jump, Address(at), Address(to));
  return WriteMemory(at, jump, sizeof jump);
}

void* ResolveThunk(void* address) {
  const auto* code = static_cast<const uint8_t*>(address);
  if (!IsReadable(code, 6)) return address;
  // The compiler must not read the bytes before the test above (it did, speculatively, for a
  // null address): the reads go through a pointer it cannot reason about.
  asm volatile("" : "+r"(code));
  uint8_t bytes[6];
  std::memcpy(bytes, code, sizeof bytes);
  if (bytes[0] != 0xFF || bytes[1] != 0x25) return address;
  // jmp [disp32]: an absolute address in 32-bit code, relative to the next instruction in 64-bit
  // code.
  int32_t disp;
  std::memcpy(&disp, bytes + 2, sizeof disp);
  void* const* pointer = reinterpret_cast<void* const*>(
      NativeCodeMode == TCodeMode::Code64 ? Address(code) + sizeof bytes + static_cast<intptr_t>(disp)
                                          : static_cast<uintptr_t>(static_cast<uint32_t>(disp)));
  if (!IsReadable(pointer, sizeof *pointer)) return address;
  asm volatile("" : "+r"(pointer));
  return *pointer;
}

// ---------------------------------------------------------------------------------------------
// Virtual methods
// ---------------------------------------------------------------------------------------------

THookedMethodsList::THookedMethodsList() { InitializeCriticalSection(&lock_); }

THookedMethodsList::~THookedMethodsList() {
  {
    TCriticalSectionLock lock(lock_);
    for (auto r = records_.rbegin(); r != records_.rend(); ++r) Restore(*r);
    records_.clear();
  }
  DeleteCriticalSection(&lock_);
}

bool THookedMethodsList::Restore(const TRecord& record) {
  void** slot = static_cast<void**>(record.ClassPtr) + record.Index;
  return WriteMemory(slot, &record.Original, sizeof record.Original);
}

void* THookedMethodsList::Hook(void* classPtr, int index, void* replacement) {
  if (!classPtr || index < 0 || !replacement) return nullptr;
  TCriticalSectionLock lock(lock_);
  void** slot = static_cast<void**>(classPtr) + index;
  if (!IsReadable(slot, sizeof *slot)) return nullptr;
  void* current = *slot;
  if (current == replacement) {
    // Installed before: what this replacement replaced, not the replacement itself (calling that
    // as "the original" would recurse forever).
    for (auto r = records_.rbegin(); r != records_.rend(); ++r)
      if (r->ClassPtr == classPtr && r->Index == index && r->Replacement == replacement) return r->Original;
    return nullptr;
  }
  if (!WriteMemory(slot, &replacement, sizeof replacement)) return nullptr;
  records_.push_back({classPtr, current, index, replacement});
  return current;
}

bool THookedMethodsList::Unhook(void* classPtr, int index) {
  TCriticalSectionLock lock(lock_);
  for (auto r = records_.rbegin(); r != records_.rend(); ++r) {
    if (r->ClassPtr != classPtr || r->Index != index) continue;
    if (!Restore(*r)) return false;
    records_.erase(std::next(r).base());
    return true;
  }
  return false;
}

std::vector<THookedMethodsList::TRecord> THookedMethodsList::Records() const {
  TCriticalSectionLock lock(lock_);
  return records_;
}

THookedMethodsList* HookedMethodsList() { return gMethods.load(); }

void* HookVirtualMethod(void* classPtr, int index, void* replacement) {
  THookedMethodsList* list = gMethods.load();
  return list ? list->Hook(classPtr, index, replacement) : nullptr;
}

bool UnhookVirtualMethod(void* classPtr, int index) {
  THookedMethodsList* list = gMethods.load();
  return list && list->Unhook(classPtr, index);
}

// ---------------------------------------------------------------------------------------------
// Procedures
// ---------------------------------------------------------------------------------------------

void* HookProcedure(void* target, void* replacement, const std::string& name) {
  auto* code = static_cast<uint8_t*>(ResolveThunk(target));
  if (!code) throw EProcNull(name);
  CheckSharedArea(code);
  // Without the list the hook could never be undone.
  if (!gLists) throw EHookingError(name);
  if (TProcedureHook* existing = FindHook(code)) return existing->Trampoline.Get();
  void* to = replacement ? ResolveThunk(replacement) : nullptr;
  if (!to) throw EHookingError(name);
  try {
    uint8_t head[TrampolineReadLimit];
    const size_t available = ReadableLength(code, sizeof head);
    std::memcpy(head, code, available);
    TTrampolinePlan plan = PlanTrampoline(head, available, NativeCodeMode);
    TCodeBlock block;
    std::vector<uint8_t> bytes, entry(HookJumpSize);
    if (NativeCodeMode == TCodeMode::Code32) {
      if (!plan.Possible) throw EHookingError(name);
      block = TCodeBlock(plan.Size);
      if (!block.Get()) throw EHookingError(name);
      bytes = BuildTrampoline(head, plan, Address(code), Address(block.Get()));
      if (bytes.size() != plan.Size) throw EHookingError(name);
      EncodeJump(entry.data(), Address(code), Address(to));
    } else {
      // The entry's rel32 jump reaches the replacement, or a relay behind the trampoline (an
      // absolute jump to the replacement) that is then placed within its reach.
      const bool relay = !Rel32Reaches(Address(code), Address(to));
      if (plan.Possible) {
        int64_t minShift = plan.MinShift, maxShift = plan.MaxShift;
        if (relay) {
          const int64_t toRelay = static_cast<int64_t>(plan.Size) - static_cast<int64_t>(HookJumpSize);
          minShift = std::max<int64_t>(minShift, std::numeric_limits<int32_t>::min() - toRelay);
          maxShift = std::min<int64_t>(maxShift, std::numeric_limits<int32_t>::max() - toRelay);
        }
        block = AllocateNear(Address(code), minShift, maxShift, plan.Size + (relay ? AbsoluteJumpSize : 0));
      }
      if (block.Get()) {
        bytes = BuildTrampoline(head, plan, Address(code), Address(block.Get()));
        if (bytes.size() != plan.Size) throw EHookingError(name);
        const uintptr_t entryTarget = relay ? Address(block.Get()) + plan.Size : Address(to);
        if (relay) {
          bytes.resize(plan.Size + AbsoluteJumpSize);
          EncodeAbsoluteJump(&bytes[plan.Size], Address(to));
        }
        EncodeJump(entry.data(), Address(code), entryTarget);
      } else {
        // Nothing free near the procedure: an absolute jump over its entry, when enough whole
        // instructions begin it, needs no memory nearby (unless a moved displacement does).
        plan = PlanTrampoline(head, available, NativeCodeMode, AbsoluteJumpSize);
        if (!plan.Possible) throw EHookingError(name);
        block = AllocateNear(Address(code), plan.MinShift, plan.MaxShift, plan.Size);
        if (!block.Get()) throw EHookingError(name);
        bytes = BuildTrampoline(head, plan, Address(code), Address(block.Get()));
        if (bytes.size() != plan.Size) throw EHookingError(name);
        entry.resize(AbsoluteJumpSize);
        EncodeAbsoluteJump(entry.data(), Address(to));
      }
    }
    if (!block.Fill(bytes)) throw EHookingError(name);

    auto hook = std::make_unique<TProcedureHook>();
    hook->Target = code;
    hook->TrampolineSize = plan.Size;
    hook->Saved.assign(head, head + plan.CopiedLength);
    // The only write to the target, and the last step: a refused hook leaves it untouched.
    if (!WriteMemory(code, entry.data(), entry.size())) throw EHookingError(name);
    hook->Trampoline = std::move(block);
    void* trampoline = hook->Trampoline.Get();
    gLists->Procedures.push_back(std::move(hook));
    return trampoline;
  } catch (const EHookError&) {
    throw;
  } catch (...) {
    throw EHookingError(name);
  }
}

bool UnhookProcedure(void* target) {
  auto* code = static_cast<uint8_t*>(ResolveThunk(target));
  if (!gLists || !code) return false;
  auto& list = gLists->Procedures;
  for (auto it = list.begin(); it != list.end(); ++it) {
    if ((*it)->Target != code) continue;
    if (!WriteMemory(code, (*it)->Saved.data(), (*it)->Saved.size())) return false;
    list.erase(it);
    return true;
  }
  return false;
}

TProcedureHookInfo FindProcedureHook(void* target) {
  TProcedureHookInfo info;
  if (const TProcedureHook* h = FindHook(ResolveThunk(target))) {
    info.Target = h->Target;
    info.Trampoline = h->Trampoline.Get();
    info.TrampolineSize = h->TrampolineSize;
    info.SavedCount = h->Saved.size();
  }
  return info;
}

// ---------------------------------------------------------------------------------------------
// Imports
// ---------------------------------------------------------------------------------------------

bool HookImport(const std::vector<std::string>& moduleNames, const std::string& dllName, bool optional,
                void** original, void* replacement, const std::string& procName) {
  const std::string display = procName + "." + dllName;
  HMODULE dll = GetModuleHandleA(dllName.c_str());
  void* target = dll ? reinterpret_cast<void*>(GetProcAddress(dll, procName.c_str())) : nullptr;
  // Stored first, so that the caller has it even when a module below refuses the hook.
  if (original) *original = target;
  if (!gLists || !replacement) throw EHookingError(display);

  const bool nt = IsNtFamily();
  bool any = false;
  for (const std::string& moduleName : moduleNames) {
    if (moduleName.empty()) continue;
    HMODULE module = GetModuleHandleA(moduleName.c_str());
    if (!module) continue;
    CheckSharedArea(module);
    size_t found = 0;
    // A module that is not an image, or has no import directory, simply has no entry.
    ForEachImportEntry(module, dllName, [&](void** entry) {
      if (*entry == replacement) {  // hooked before: already where we want it
        ++found;
        return;
      }
      if (!target || !EntryLeadsTo(*entry, target, nt)) return;
      if (!WriteMemory(entry, &replacement, sizeof replacement)) throw EHookingError(display);
      gLists->Imports.push_back({module, dllName, target, replacement});
      ++found;
    });
    if (found)
      any = true;
    else if (!optional)
      throw EHookingError(display);
  }
  return any;
}

std::vector<TImportHookInfo> ImportHooks() { return gLists ? gLists->Imports : std::vector<TImportHookInfo>{}; }

// ---------------------------------------------------------------------------------------------
// Start-up and shutdown
// ---------------------------------------------------------------------------------------------

void FHookInit() {
  if (gLists) return;
  gLists = new THookLists;
  gMethods.store(new THookedMethodsList);
}

void FHookDone() {
  if (!gLists) return;
  // Installation matched entries by the original; here they hold the replacement.
  for (const TImportHookInfo& hook : gLists->Imports) RestoreImportHook(hook);
  gLists->Imports.clear();
  // The destructor undoes every virtual-method hook under the list's lock.
  delete gMethods.exchange(nullptr);
  auto& procedures = gLists->Procedures;
  while (!procedures.empty()) {
    TProcedureHook& hook = *procedures.back();
    if (!WriteMemory(hook.Target, hook.Saved.data(), hook.Saved.size())) {
      // The target still jumps to the replacement, which may still call the trampoline.
      hook.Trampoline.Abandon();
    }
    procedures.pop_back();
  }
  delete gLists;
  gLists = nullptr;
}
