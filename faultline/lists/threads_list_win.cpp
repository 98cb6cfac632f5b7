#include <windows.h>

#include <algorithm>

#include <cstring>
#include <exception>
#include <mutex>

#include "faultline/hooks/hooks.h"
#include "faultline/lists/own_thread.h"
#include "faultline/lists/threads_list.h"
#include "rtl/cpu_context.h"

namespace {

TFaultThreadsList* threadList = nullptr;
DWORD mainThreadId = 0;
// Set on a thread whose escaping exception its wrapper caught: the stack has been unwound to it.
thread_local bool unwoundByWrapper = false;

template <typename F>
F SystemProcedure(const char* name) {
  return reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("kernel32.dll"), name)));
}

using TCreateThread = HANDLE(WINAPI*)(LPSECURITY_ATTRIBUTES, SIZE_T, LPTHREAD_START_ROUTINE, LPVOID, DWORD, LPDWORD);
using TResumeThread = DWORD(WINAPI*)(HANDLE);
using TExitThread = void(WINAPI*)(DWORD);
using TGetThreadId = DWORD(WINAPI*)(HANDLE);

// The system's own procedures, found by name once: our module's import entries may point at the
// replacements below.
struct TSystemThreadProcs {
  TCreateThread CreateThread = SystemProcedure<TCreateThread>("CreateThread");
  TResumeThread ResumeThread = SystemProcedure<TResumeThread>("ResumeThread");
  TExitThread ExitThread = SystemProcedure<TExitThread>("ExitThread");
  TGetThreadId GetThreadId = SystemProcedure<TGetThreadId>("GetThreadId");  // absent before Vista
};
const TSystemThreadProcs& System() {
  static const TSystemThreadProcs procs;
  return procs;
}

bool Active() {
  const TFaultThreadServices& s = FaultThreadServices();
  return threadList != nullptr && s.ReportingActive != nullptr && s.ReportingActive();
}
bool Busy() {
  const TFaultThreadServices& s = FaultThreadServices();
  return s.ThreadBusy != nullptr && s.ThreadBusy();
}

TThreadRecordWord Address(const void* p) { return reinterpret_cast<uintptr_t>(p); }
template <typename T>
T Pointer(TThreadRecordWord a) {
  return reinterpret_cast<T>(static_cast<uintptr_t>(a));
}

HANDLE DuplicateThreadHandle(HANDLE thread) {
  HANDLE own = nullptr;
  if (!DuplicateHandle(GetCurrentProcess(), thread, GetCurrentProcess(), &own, 0, FALSE, DUPLICATE_SAME_ACCESS))
    return nullptr;
  return own;
}

// Index of the record of a thread given by a handle that may be the creator's own: records keep a
// handle of the list's own, so a handle not found as it is is matched by its thread id.
int IndexOfThread(const TFaultThreadsList& list, HANDLE thread) {
  int i = list.IndexOfHandle(thread);
  if (i < 0 && System().GetThreadId) {
    const DWORD id = System().GetThreadId(thread);
    if (id != 0) i = list.IndexOfId(id);
  }
  return i;
}

// What a plain thread starts with: the program's function and parameter travel with the thread,
// so the wrapper runs them even when the record is gone (its creator may close its handle at once,
// and a record whose handle is no longer valid is dropped).
struct TStartBlock {
  LPTHREAD_START_ROUTINE Start;
  LPVOID Parameter;
};

// Under the write lock: the calling thread's record gets its stack top; a copy of it is returned.
bool TakeOwnRecord(TFaultThreadRecord& copy) {
  TFaultThreadsList* list = threadList;
  if (!list) return false;
  TFaultThreadsList::TWriteLock lock(*list);
  const int i = list->IndexOfId(GetCurrentThreadId());
  if (i >= 0) {
    (*list)[i].StackTop = CurrentStackTop();
    copy = (*list)[i];
  }
  return i >= 0;
}

void Report(std::exception_ptr e, const TFaultThreadRecord* record) {
  const TFaultThreadServices& s = FaultThreadServices();
  if (!s.ReportThreadException) return;
  TFaultThreadRecord r = record ? *record : NewThreadRecord();
  if (!record) r.ThreadId = GetCurrentThreadId();
  s.ReportThreadException(e, r);
}

DWORD WINAPI SystemThreadWrapper(LPVOID parameter) {
  TStartBlock block = *static_cast<TStartBlock*>(parameter);
  HeapFree(GetProcessHeap(), 0, parameter);
  TFaultThreadRecord record;
  const bool listed = TakeOwnRecord(record);
  try {
    return block.Start(block.Parameter);
  } catch (...) {
    unwoundByWrapper = true;
    Report(std::current_exception(), listed ? &record : nullptr);
#ifdef _WIN64
    // Nothing outside catches it: a rethrow would only travel through the system's thread start
    // (64-bit C++ exceptions pass its structured handler) before reaching the terminate handler.
    // Go there directly, the exception still current, as the rethrow does in 32-bit code.
    std::terminate();
#else
    throw;
#endif
  }
}

using TExecute = void(__attribute__((thiscall))*)(TThread*);

__attribute__((thiscall)) void ExecuteWrapper(TThread* self);

// The class's own Execute: the hook keeps the first original of every slot it replaced.
TExecute OriginalExecute(TThread* self) {
  void* vmt = *reinterpret_cast<void**>(self);
  return reinterpret_cast<TExecute>(
      HookVirtualMethod(vmt, ThreadExecuteSlot(), reinterpret_cast<void*>(&ExecuteWrapper)));
}

__attribute__((thiscall)) void ExecuteWrapper(TThread* self) {
  TFaultThreadRecord record;
  const bool listed = TakeOwnRecord(record) && record.ThreadObject == Address(self);
  TExecute execute = listed && record.OwnExecute ? Pointer<TExecute>(record.OwnExecute) : OriginalExecute(self);
  if (!execute) return;
  try {
    execute(self);
  } catch (...) {
    // Reported when it happened on the thread the record is about (an Execute called directly
    // from another thread is that thread's business).
    if (listed && record.ThreadId == GetCurrentThreadId()) {
      unwoundByWrapper = true;
      Report(std::current_exception(), &record);
    }
    throw;
  }
}

extern "C" void __cxa_pure_virtual();

// Wraps Execute in the class of a TThread object, once per class. At creation the object is still
// inside TThread's constructor (its table is TThread's own), so this runs when it is started.
// Returns the class's own Execute, or 0 when the class cannot be wrapped.
TThreadRecordWord WrapExecute(TThread* object) {
  void** vmt = *reinterpret_cast<void***>(object);
  void* slot = vmt[ThreadExecuteSlot()];
  if (slot == reinterpret_cast<void*>(&__cxa_pure_virtual)) return 0;  // started from the constructor
  return Address(HookVirtualMethod(vmt, ThreadExecuteSlot(), reinterpret_cast<void*>(&ExecuteWrapper)));
}

// The calling thread's stack from here up to its top, on the process heap; null when unreadable.
void CopyCallerStack(TFaultThreadRecord& r) {
  const uintptr_t sp = CurrentStackPointer();
  const uintptr_t top = CurrentStackTop();
  if (top <= sp || !IsReadable(Pointer<const void*>(sp), top - sp)) return;
  void* copy = AllocStackCopy(top - sp);
  if (!copy) return;
  std::memcpy(copy, Pointer<const void*>(sp), top - sp);
  r.StackCopy = Address(copy);
  r.StackCopySize = top - sp;
  r.ForeignStackCopy = 0;
}

}  // namespace

// ---------------------------------------------------------------------------------------------

TFaultThreadsList::TFaultThreadsList() = default;

TFaultThreadsList::TFaultThreadsList(const TFaultThreadsList& source) : copy_(true) {
  TReadLock lock(source);
  records_.reserve(source.records_.size());
  for (const auto& r : source.records_) {
    records_.push_back(std::make_unique<TFaultThreadRecord>(*r));
    // A handle of its own: the thread may end and its record close the original while the copy
    // is in use, and the value could then name another thread (or the reporter itself).
    records_.back()->Handle = r->Handle ? Address(DuplicateThreadHandle(Pointer<HANDLE>(r->Handle))) : 0;
  }
}

TFaultThreadsList::~TFaultThreadsList() {
  while (!records_.empty()) Delete(Count() - 1);
}

void TFaultThreadsList::LockRead() const {
  if (!copy_) lock_.lock_shared();
}
void TFaultThreadsList::UnlockRead() const {
  if (!copy_) lock_.unlock_shared();
}
void TFaultThreadsList::LockWrite() {
  if (!copy_) lock_.lock();
}
void TFaultThreadsList::UnlockWrite() {
  if (!copy_) lock_.unlock();
}

std::unique_ptr<TFaultThreadRecord> TFaultThreadsList::MakeRecord() const {
  return std::make_unique<TFaultThreadRecord>(NewThreadRecord());
}

void TFaultThreadsList::Add(std::unique_ptr<TFaultThreadRecord> record) { records_.push_back(std::move(record)); }

TFaultThreadRecord* TFaultThreadsList::NewRecord(bool add) {
  auto r = MakeRecord();
  TFaultThreadRecord* p = r.get();
  if (add) {
    Add(std::move(r));
  } else {
    r.release();
  }
  return p;
}

int TFaultThreadsList::IndexOfId(DWORD threadId) const {
  for (int i = Count() - 1; i >= 0; --i)
    if (records_[static_cast<size_t>(i)]->ThreadId == threadId) return i;
  return -1;
}

int TFaultThreadsList::IndexOfHandle(HANDLE handle) const {
  for (int i = Count() - 1; i >= 0; --i)
    if (records_[static_cast<size_t>(i)]->Handle == Address(handle)) return i;
  return -1;
}

int TFaultThreadsList::IndexOfObject(const void* threadObject) const {
  for (int i = Count() - 1; i >= 0; --i)
    if (records_[static_cast<size_t>(i)]->ThreadObject == Address(threadObject)) return i;
  return -1;
}

void TFaultThreadsList::Delete(int index) {
  auto it = records_.begin() + index;
  TFaultThreadRecord& r = **it;
  if (!copy_ && !r.ForeignStackCopy && r.StackCopy) FreeStackCopy(Pointer<void*>(r.StackCopy));
  if (r.Handle) CloseHandle(Pointer<HANDLE>(r.Handle));
  records_.erase(it);
}

void TFaultThreadsList::RemoveCurrentThread() {
  TWriteLock lock(*this);
  const int i = IndexOfId(GetCurrentThreadId());
  if (i >= 0) Delete(i);
}

void TFaultThreadsList::RemoveEndedThreads() {
  TWriteLock lock(*this);
  for (int i = Count() - 1; i >= 0; --i) {
    DWORD code = 0;
    const HANDLE h = Pointer<HANDLE>(records_[static_cast<size_t>(i)]->Handle);
    if (!GetExitCodeThread(h, &code) || code != STILL_ACTIVE) Delete(i);
  }
}

void* AllocStackCopy(size_t size) { return HeapAlloc(GetProcessHeap(), 0, size); }
void FreeStackCopy(void* copy) { HeapFree(GetProcessHeap(), 0, copy); }

uintptr_t CurrentStackTop() {
  // The thread information block's StackBase (fs:[4] on 32-bit Windows, gs:[8] on 64-bit).
  return reinterpret_cast<uintptr_t>(reinterpret_cast<NT_TIB*>(NtCurrentTeb())->StackBase);
}

TFaultThreadServices& FaultThreadServices() {
  static TFaultThreadServices services;
  return services;
}

TFaultThreadsList* FaultThreads() { return threadList; }
bool ThreadUnwoundByWrapper() { return unwoundByWrapper; }
DWORD FaultMainThreadId() { return mainThreadId; }

void CreateFaultThreads() {
  if (threadList) return;
  auto list = new TFaultThreadsList();
  TFaultThreadRecord* r = list->NewRecord(true);
  mainThreadId = GetCurrentThreadId();
  r->ThreadId = mainThreadId;
  r->Handle = Address(DuplicateThreadHandle(GetCurrentThread()));
  r->StackTop = CurrentStackTop();
  threadList = list;
}

void DestroyFaultThreads() {
  TFaultThreadsList* list = threadList;
  threadList = nullptr;
  delete list;
}

TFaultlineThread::TFaultlineThread(bool createSuspended)
    : TThread(createSuspended), ended_(CreateEventA(nullptr, TRUE, FALSE, nullptr)) {}

TFaultlineThread::~TFaultlineThread() {
  if (ended_) CloseHandle(ended_);
}

void TFaultlineThread::SignalEnded() {
  if (ended_) SetEvent(ended_);
}

bool TFaultlineThread::StopWithin(unsigned long milliseconds) {
  RequestStop();
  HANDLE thread = nullptr;
  DuplicateHandle(GetCurrentProcess(), Handle(), GetCurrentProcess(), &thread, 0, FALSE, DUPLICATE_SAME_ACCESS);
  WaitForHelperEnd(thread, ended_, milliseconds);
  return WaitForSingleObject(Handle(), 0) == WAIT_OBJECT_0;
}

bool IsFaultlineOwnThread(const TThread* thread) {
  return dynamic_cast<const TFaultlineThread*>(thread) != nullptr;
}

int ThreadExecuteSlot() {
  struct TProbe : TThread {
    static int Slot() { return VirtualSlotIndex(&TProbe::Execute); }
  };
  static const int slot = TProbe::Slot();
  return slot;
}

// ---------------------------------------------------------------------------------------------

void CopyHeldStack(uintptr_t stackPointer, uintptr_t stackTop, std::vector<uint8_t>& copy) {
  copy.clear();
  if (stackTop <= stackPointer) return;
  copy.resize(std::min<uintptr_t>(stackTop - stackPointer, copy.capacity()));  // within the reserve
  if (!ReadProcessMemory(GetCurrentProcess(), reinterpret_cast<const void*>(stackPointer), copy.data(), copy.size(),
                         nullptr))
    copy.clear();
}

HANDLE CreateUnlistedThread(LPTHREAD_START_ROUTINE start, LPVOID parameter, SIZE_T stackSize, DWORD* id) {
  DWORD ignored = 0;
  return System().CreateThread ? System().CreateThread(nullptr, stackSize, start, parameter, 0, id ? id : &ignored)
                               : nullptr;
}

bool WaitForHelperEnd(HANDLE thread, HANDLE ended, DWORD milliseconds) {
  if (!thread) return true;
  // Whichever comes first: its signal, or its end (at process exit every other thread has been
  // ended already, and will never signal).
  const HANDLE both[2] = {thread, ended};
  const DWORD which = WaitForMultipleObjects(ended ? 2 : 1, both, FALSE, milliseconds);
  // A moment for the few instructions between its signal and its end.
  if (which == WAIT_OBJECT_0 + 1) WaitForSingleObject(thread, 50);
  CloseHandle(thread);
  return which == WAIT_OBJECT_0 || which == WAIT_OBJECT_0 + 1;
}

HANDLE WINAPI FaultCreateThread(LPSECURITY_ATTRIBUTES attributes, SIZE_T stackSize, LPTHREAD_START_ROUTINE start,
                                LPVOID parameter, DWORD flags, LPDWORD id) {
  const TSystemThreadProcs& sys = System();
  if (!Active()) return sys.CreateThread(attributes, stackSize, start, parameter, flags, id);
  TFaultThreadsList* list = threadList;
  list->RemoveEndedThreads();
  std::unique_ptr<TFaultThreadRecord> record;
  try {
    record = list->MakeRecord();
  } catch (...) {
    // Out of memory: the thread starts as the system would start it, unlisted.
    return sys.CreateThread(attributes, stackSize, start, parameter, flags, id);
  }
  record->Parameter = Address(parameter);
  LPTHREAD_START_ROUTINE realStart = start;
  LPVOID realParameter = parameter;
  TStartBlock* block = nullptr;
  if (start == &TThread::ThreadProc) {
    // TThread's start routine gets the thread object; its Execute is wrapped when it is started.
    record->ThreadFunction = Address(reinterpret_cast<void*>(start));
    record->ThreadObject = Address(parameter);
  } else {
    record->StartAddress = Address(reinterpret_cast<void*>(start));
    block = static_cast<TStartBlock*>(HeapAlloc(GetProcessHeap(), 0, sizeof(TStartBlock)));
    if (block) {
      *block = TStartBlock{start, parameter};
      realStart = &SystemThreadWrapper;
      realParameter = block;
    }
  }
  DWORD threadId = 0;
  HANDLE h = sys.CreateThread(attributes, stackSize, realStart, realParameter, flags | CREATE_SUSPENDED, &threadId);
  if (!h) {
    const DWORD error = GetLastError();
    if (block) HeapFree(GetProcessHeap(), 0, block);
    SetLastError(error);
    return nullptr;
  }
  if (id) *id = threadId;
  record->ThreadId = threadId;
  record->Handle = Address(DuplicateThreadHandle(h));
  const TFaultThreadRecord snapshot = *record;
  bool listed = true;
  try {
    TFaultThreadsList::TWriteLock lock(*list);
    list->Add(std::move(record));
  } catch (...) {
    // Out of memory: the thread runs unlisted (its wrapper finds no record of it).
    if (snapshot.Handle) CloseHandle(Pointer<HANDLE>(snapshot.Handle));
    listed = false;
  }
  if (listed && FaultThreadServices().DelegateCreateThread) FaultThreadServices().DelegateCreateThread(&snapshot);
  if (!(flags & CREATE_SUSPENDED)) sys.ResumeThread(h);
  return h;
}

DWORD WINAPI FaultResumeThread(HANDLE thread) {
  const TSystemThreadProcs& sys = System();
  if (Active() && !Busy()) {
    TFaultThreadsList* list = threadList;
    TFaultThreadRecord snapshot;
    bool found = false;
    try {
      TFaultThreadsList::TWriteLock lock(*list);
      const int i = IndexOfThread(*list, thread);
      if (i >= 0) {
        TFaultThreadRecord& r = (*list)[i];
        if (r.ThreadObject && IsFaultlineOwnThread(Pointer<TThread*>(r.ThreadObject))) {
          list->Delete(i);  // the reporting code's own threads are not listed
        } else {
          if (r.ThreadObject && !r.OwnExecute) r.OwnExecute = WrapExecute(Pointer<TThread*>(r.ThreadObject));
          r.ResumerId = GetCurrentThreadId();
          if (r.StackCopy && !r.ForeignStackCopy) FreeStackCopy(Pointer<void*>(r.StackCopy));
          r.StackCopy = 0;
          r.StackCopySize = 0;
          CopyCallerStack(r);
          snapshot = r;
          found = true;
        }
      }
    } catch (...) {
      found = false;  // out of memory while wrapping the class: the thread still starts
    }
    if (found && FaultThreadServices().DelegateResumeThread) FaultThreadServices().DelegateResumeThread(thread, &snapshot);
  }
  return sys.ResumeThread(thread);
}

void WINAPI FaultExitThread(DWORD exitCode) {
  if (Active()) {
    threadList->RemoveCurrentThread();
    if (FaultThreadServices().DelegateExitThread) FaultThreadServices().DelegateExitThread();
  }
  System().ExitThread(exitCode);
}

// ---------------------------------------------------------------------------------------------
// Notices from modules that hand their threads to this one. Their records carry their module's
// handle and stack copy: the handle is duplicated for this list, the stack copy stays theirs.

extern "C" __declspec(dllexport) void __stdcall Faultline_CallCreateThread(const TFaultThreadRecord* record) {
  if (!Active() || !record) return;
  TFaultThreadsList* list = threadList;
  list->RemoveEndedThreads();
  try {
    auto copy = list->MakeRecord();
    *copy = *record;
    copy->StackCopy = 0;
    copy->StackCopySize = 0;
    copy->ForeignStackCopy = 0;
    TFaultThreadsList::TWriteLock lock(*list);
    list->Add(std::move(copy));
    (*list)[list->Count() - 1].Handle = Address(DuplicateThreadHandle(Pointer<HANDLE>(record->Handle)));
  } catch (...) {
    // Out of memory: the thread stays unlisted; nothing may escape into the other module.
  }
}

extern "C" __declspec(dllexport) void __stdcall Faultline_CallResumeThread(HANDLE handle, const TFaultThreadRecord* record) {
  if (!Active() || Busy() || !record) return;
  TFaultThreadsList* list = threadList;
  TFaultThreadsList::TWriteLock lock(*list);
  const int i = IndexOfThread(*list, handle);
  if (i >= 0) {
    TFaultThreadRecord& r = (*list)[i];
    if (r.StackCopy && !r.ForeignStackCopy) FreeStackCopy(Pointer<void*>(r.StackCopy));
    const TThreadRecordWord ownHandle = r.Handle;
    std::memcpy(&r, record, offsetof(TFaultThreadRecord, ForeignStackCopy));
    r.Handle = ownHandle;
    r.ForeignStackCopy = 1;
  }
}

extern "C" __declspec(dllexport) void __stdcall Faultline_CallExitThread() {
  if (Active()) threadList->RemoveCurrentThread();
}
