#pragma once
// The reporting code's picture of the threads of the process: one record per thread that was
// created while reporting was active (and the main thread), fed by the replacements of the
// system's thread creation, resume and exit, and by the wrappers that every such thread starts in.
// Windows only.
#ifdef _WIN32
#include <windows.h>

#include <exception>
#include <memory>
#include <shared_mutex>
#include <vector>

#include "faultline/lists/thread_record.h"

class TThread;

class TFaultThreadsList {
 public:
  TFaultThreadsList();
  // A copy of `source`, taken under its read lock. A copy has no lock of its own (it belongs to
  // one report) and does not own the stack copies of its records; it holds handles of its own,
  // which stay valid when a thread ends while the copy is in use.
  explicit TFaultThreadsList(const TFaultThreadsList& source);
  TFaultThreadsList& operator=(const TFaultThreadsList&) = delete;
  ~TFaultThreadsList();

  void LockRead() const;
  void UnlockRead() const;
  void LockWrite();
  void UnlockWrite();
  // The locks held for a scope: an allocation that fails under them must not leave them taken
  // (every later thread start, end and report would wait for them).
  class TReadLock {
   public:
    explicit TReadLock(const TFaultThreadsList& list) : list_(list) { list_.LockRead(); }
    ~TReadLock() { list_.UnlockRead(); }
    TReadLock(const TReadLock&) = delete;
    TReadLock& operator=(const TReadLock&) = delete;

   private:
    const TFaultThreadsList& list_;
  };
  class TWriteLock {
   public:
    explicit TWriteLock(TFaultThreadsList& list) : list_(list) { list_.LockWrite(); }
    ~TWriteLock() { list_.UnlockWrite(); }
    TWriteLock(const TWriteLock&) = delete;
    TWriteLock& operator=(const TWriteLock&) = delete;

   private:
    TFaultThreadsList& list_;
  };

  int Count() const { return static_cast<int>(records_.size()); }
  TFaultThreadRecord& operator[](int index) { return *records_[static_cast<size_t>(index)]; }
  const TFaultThreadRecord& operator[](int index) const { return *records_[static_cast<size_t>(index)]; }
  bool IsCopy() const { return copy_; }

  // Appends a new record (zero-filled, priority unknown) when `add`; the caller fills it. Without
  // `add` the record is returned to the caller to own.
  TFaultThreadRecord* NewRecord(bool add);
  std::unique_ptr<TFaultThreadRecord> MakeRecord() const;
  void Add(std::unique_ptr<TFaultThreadRecord> record);

  // Searches from the last entry to the first; -1 when absent. The caller holds a lock.
  int IndexOfId(DWORD threadId) const;
  int IndexOfHandle(HANDLE handle) const;
  int IndexOfObject(const void* threadObject) const;
  // Frees the record, its handle and, unless this is a copy or the copy belongs to another module,
  // its stack copy.
  void Delete(int index);

  // Under the write lock: deletes the calling thread's record.
  void RemoveCurrentThread();
  // Under the write lock: deletes every record whose handle is no longer valid or whose thread has
  // ended.
  void RemoveEndedThreads();

 private:
  std::vector<std::unique_ptr<TFaultThreadRecord>> records_;
  bool copy_ = false;
  mutable std::shared_mutex lock_;
};

// Stack copies are shared across modules through the records, so they live on the process heap.
void* AllocStackCopy(size_t size);
void FreeStackCopy(void* copy);

// The highest address of the calling thread's stack.
uintptr_t CurrentStackTop();

// Copies a held thread's stack from stackPointer up to stackTop, at most copy.capacity() bytes
// (reserved before the thread was held: this allocates nothing, as the held thread may own the
// heap). The copy is empty when the stack is unreadable or stackTop is not above stackPointer.
void CopyHeldStack(uintptr_t stackPointer, uintptr_t stackTop, std::vector<uint8_t>& copy);

// ---------------------------------------------------------------------------------------------
// What the thread replacements need from the rest of the reporting code. The capture layer sets
// these at start-up; until then reporting is inactive and the replacements pass every call
// straight to the system.
struct TFaultThreadServices {
  // Reporting is active: threads are listed and wrapped.
  bool (*ReportingActive)() = nullptr;
  // The calling thread is busy with a report (it must not touch the list then).
  bool (*ThreadBusy)() = nullptr;
  // An exception escaped a thread's body: report it (presentation kind 0). The record is a copy
  // of the thread's record taken when the wrapper started it. Returns whether it was reported.
  bool (*ReportThreadException)(std::exception_ptr exception, const TFaultThreadRecord& record) = nullptr;
  // Delegation: the executable's exported thread notices, when this module hands its threads to
  // the executable's reporting code.
  void(__stdcall* DelegateCreateThread)(const TFaultThreadRecord* record) = nullptr;
  void(__stdcall* DelegateResumeThread)(HANDLE handle, const TFaultThreadRecord* record) = nullptr;
  void(__stdcall* DelegateExitThread)() = nullptr;
};
TFaultThreadServices& FaultThreadServices();

// The process-wide thread list; null outside the reporting code's lifetime.
TFaultThreadsList* FaultThreads();
// Creates the list with the main thread's record (a duplicated handle and its stack top); called
// on the main thread at start-up. Frees it at shutdown.
void CreateFaultThreads();
void DestroyFaultThreads();
DWORD FaultMainThreadId();
// Whether the calling thread's escaping exception was caught by the wrapper its thread started in:
// its stack has been unwound (destructors ran, the locks it held were given back), so the thread
// can end alone. An exception that escaped any other thread start ends it with its stack as it
// was at the throw.
bool ThreadUnwoundByWrapper();

// A thread started by the system's own thread creation: not listed, so no report holds it or shows
// its stack. For the reporting code's helpers that must exist before any fault.
HANDLE CreateUnlistedThread(LPTHREAD_START_ROUTINE start, LPVOID parameter, SIZE_T stackSize = 0, DWORD* id = nullptr);
// Waits for such a helper, asked to end, that sets `ended` as its last act in this module's code
// and then ends. In a DLL being unloaded a thread cannot finish ending (that takes the loader's
// lock, held by the unloading thread): it is waited for until it has left this module's code, at
// most `milliseconds`, never until its end. True when it has ended or left; closes `thread`.
bool WaitForHelperEnd(HANDLE thread, HANDLE ended, DWORD milliseconds);

// The replacements of the system's thread procedures. Each calls the system's own procedure (found
// once, by name, never through an import table that may itself be hooked).
HANDLE WINAPI FaultCreateThread(LPSECURITY_ATTRIBUTES attributes, SIZE_T stackSize,
                                LPTHREAD_START_ROUTINE start, LPVOID parameter, DWORD flags, LPDWORD id);
DWORD WINAPI FaultResumeThread(HANDLE thread);
void WINAPI FaultExitThread(DWORD exitCode);

// The exported thread notices (a module that delegates calls them in the executable).
extern "C" __declspec(dllexport) void __stdcall Faultline_CallCreateThread(const TFaultThreadRecord* record);
extern "C" __declspec(dllexport) void __stdcall Faultline_CallResumeThread(HANDLE handle, const TFaultThreadRecord* record);
extern "C" __declspec(dllexport) void __stdcall Faultline_CallExitThread();

// The reporting code's own threads derive from this class: they are neither listed nor wrapped.
class TFaultlineThread;
bool IsFaultlineOwnThread(const TThread* thread);

// The Execute slot of TThread's virtual method table, and the wrapper that replaces it in the class
// of every listed TThread object.
int ThreadExecuteSlot();
#endif
