#pragma once
// Code hooks of the running process: the reporting code has to see exceptions and thread events
// that the program never hands to it, so it puts itself into code of the same process in three
// ways, each recorded so that shutdown puts every byte back:
//   - a slot of a class's virtual method table is replaced (the thread class's Execute);
//   - a procedure's first bytes become a jump to a replacement, and a trampoline keeps the
//     original callable;
//   - entries of modules' import address tables are replaced.
// For 32- and 64-bit x86 code, whichever the build runs. The error classes and the slot-index helper
// are portable; the hooks themselves are Win32 (hooks_win.cpp).
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "rtl/exception.h"

class EHookError : public Exception {
 public:
  using Exception::Exception;
};

// The procedure to hook (after following an import thunk) is absent.
class EProcNull : public EHookError {
 public:
  explicit EProcNull(const std::string& name) : EHookError("Cannot hook a null procedure (\"" + name + "\").") {}
};

// The address lies in the upper two gigabytes, which the 9x platforms share between processes:
// rewriting it there would change every process. moduleFile is the containing module's file name.
class ESharedArea : public EHookError {
 public:
  explicit ESharedArea(const std::string& moduleFile)
      : EHookError("Cannot hook the module \"" + moduleFile + "\" located into the shared-area.") {}
};

// The rewrite failed or could not be done safely, or a required import entry was not found.
class EHookingError : public EHookError {
 public:
  explicit EHookingError(const std::string& name) : EHookError("Cannot hook the procedure \"" + name + "\".") {}
};

// Index of the virtual method table slot that holds method, for a pointer to a virtual member
// function; -1 for a non-virtual one. GCC's C++ ABI stores a virtual member pointer as 1 + the
// slot's byte offset in the table (function addresses are even, so the low bit tells them apart).
template <class TClass, class TMethod>
int VirtualSlotIndex(TMethod TClass::*method) {
  struct TRepresentation {
    uintptr_t Pointer;
    ptrdiff_t Adjustment;
  };
  static_assert(sizeof(method) == sizeof(TRepresentation), "member pointers of this ABI are two words");
  TRepresentation r;
  std::memcpy(&r, &method, sizeof r);
  if (!(r.Pointer & 1)) return -1;
  return static_cast<int>((r.Pointer - 1) / sizeof(void*));
}

#ifdef _WIN32
#include <windows.h>

// Whether every byte of [address, address + size) is committed, readable and not a guard page
// (answered by VirtualQuery, so asking never faults). False for a null address or size 0.
bool IsReadable(const void* address, size_t size);
// How many bytes from address on are readable, up to limit.
size_t ReadableLength(const void* address, size_t limit);

// Makes the range writable and executable, copies, restores the previous protection and flushes
// the instruction cache for the range. False (and nothing written) when the protection cannot be
// changed.
bool WriteMemory(void* address, const void* bytes, size_t count);
// WriteMemory of 5 bytes: 0xE9 and the displacement from at + 5 to to. In 64-bit code false (and
// nothing written) when to lies beyond that displacement's reach.
bool WriteJump(void* at, const void* to);

// For an import thunk (jmp [pointer], 0xFF 0x25 and the pointer's address, relative to the next
// instruction in 64-bit code; the instruction and the pointer both readable), the pointer's
// value; otherwise the address itself.
void* ResolveThunk(void* address);

// Records {class, original, slot index, replacement} of virtual-method hooks. Hooks and unhooks are serialised
// by its critical section; the destructor undoes every hook still recorded, the latest first, so
// that a slot hooked twice ends with its very first content.
class THookedMethodsList {
 public:
  struct TRecord {
    void* ClassPtr;  // the virtual method table (the address an object's first word points at)
    void* Original;
    int Index;
    // Which replacement this hook put in: hooking the slot again with it finds its original.
    void* Replacement;
  };

  THookedMethodsList();
  ~THookedMethodsList();
  THookedMethodsList(const THookedMethodsList&) = delete;
  THookedMethodsList& operator=(const THookedMethodsList&) = delete;

  // Stores replacement in slot index of classPtr and returns the slot's previous content. A slot
  // that already holds the replacement is left as it is and its recorded original is returned,
  // so hooking a class twice still hands out the real method. Null (and nothing changed) when
  // the slot cannot be read or written.
  void* Hook(void* classPtr, int index, void* replacement);
  // Writes the latest recorded original back. False when no hook of that slot is recorded or
  // the slot cannot be written.
  bool Unhook(void* classPtr, int index);
  std::vector<TRecord> Records() const;

 private:
  bool Restore(const TRecord& record);

  mutable CRITICAL_SECTION lock_;
  std::vector<TRecord> records_;
};

// The process-wide list between FHookInit and FHookDone, else null.
THookedMethodsList* HookedMethodsList();
// Through the process-wide list; null and nothing changed when it does not exist.
void* HookVirtualMethod(void* classPtr, int index, void* replacement);
bool UnhookVirtualMethod(void* classPtr, int index);

// Makes target (after following an import thunk) jump to replacement (idem) and returns the
// trampoline, through which the original procedure can still be called. In 64-bit code the
// trampoline lies within 2 GB of the target wherever a moved displacement or the entry jump needs
// it (with a relay to a replacement that lies farther away); failing that, the entry becomes an
// absolute jump when enough whole instructions begin the procedure. Hooking a procedure that
// is already hooked returns its trampoline. name is shown in the errors: EProcNull for an absent
// target, ESharedArea (9x platforms only), EHookingError when the first instructions cannot be
// moved (unreadable, undecodable, a 16-bit branch, no free memory within a displacement's reach),
// when the code cannot be written, or before FHookInit. A refused hook leaves the target untouched.
void* HookProcedure(void* target, void* replacement, const std::string& name);
// Puts the saved bytes back and frees the trampoline. False when target is not hooked or cannot
// be written (the hook then stays, trampoline and all).
bool UnhookProcedure(void* target);

struct TProcedureHookInfo {
  void* Target = nullptr;
  void* Trampoline = nullptr;
  size_t TrampolineSize = 0;
  size_t SavedCount = 0;  // N: bytes of whole instructions moved into the trampoline
};
// The hook of target (after following an import thunk); Target null when there is none.
TProcedureHookInfo FindProcedureHook(void* target);

// Replaces the entries of procName of dllName (matched case-insensitively) in the import address
// tables of the loaded modules named in moduleNames (empty names and modules not loaded are
// skipped) by replacement, recording each. original always receives the procedure's address in
// the loaded dllName (null when it is not loaded). Unless optional, a module whose image is not a
// PE image, has no import directory or has no such entry raises EHookingError with
// "procName.dllName". Returns whether any entry now leads to the replacement.
bool HookImport(const std::vector<std::string>& moduleNames, const std::string& dllName, bool optional,
                void** original, void* replacement, const std::string& procName);

struct TImportHookInfo {
  HMODULE Module;
  std::string DllName;
  void* Original;
  void* Replacement;
};
std::vector<TImportHookInfo> ImportHooks();

// Start-up of the unit: creates the three hook lists. Shutdown undoes everything, in this order:
// every import entry that holds a replacement gets its original back, then every virtual-method
// hook, then every procedure hook from the last to the first. Both are idempotent.
void FHookInit();
void FHookDone();
#endif
