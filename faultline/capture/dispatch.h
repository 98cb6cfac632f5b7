#pragma once
// The dispatcher and the report procedure, shared by the interception points. Windows only.
#ifdef _WIN32
#include <windows.h>

#include <exception>
#include <string>
#include <vector>

#include "faultline/capture/capture.h"
#include "faultline/capture/raise_state.h"

// One exception on its way to a report.
struct TExceptionEvent {
  std::exception_ptr Exception;     // the C++ exception; null for an operating-system exception
  std::string ClassName;            // for an operating-system exception: from its code
  std::string Message;
  uintptr_t Address = 0;            // where it was raised
  bool AddressIsReturn = false;     // Address is the return address of the raising call
  uint32_t ThreadId = 0;            // the thread it belongs to
  HMODULE Module = nullptr;
  TPresentation Presentation = PresentGeneral;
  const CONTEXT* Context = nullptr; // the processor context at the exception, when known
  const EXCEPTION_RECORD* Record = nullptr;  // the system's record, when it reported one directly
  uintptr_t StackTop = 0;           // of the faulting thread
  const TRaiseInfo* Raise = nullptr;  // the stack as it was at the raise, when it is this one's
  TRaiseInfo RaiseCopy;                // what Raise points to when the event took a copy (TakeRaise)
  // A copy of the thread's stack from the context's stack pointer up, when the thread ran on
  // after the context was read (a frozen main thread is let go before its report).
  const std::vector<uint8_t>* StackCopy = nullptr;
  // The process ends when the report is done (an exception nobody caught, abort, a stack
  // overflow): nothing of the report may be left to run in the background.
  bool ProcessEnds = false;
};

// The event takes its own copy of raise (and of its context): the thread's record is overwritten by
// any throw while the report runs (an event handler on the waiting thread, a pumped message).
inline void TakeRaise(TExceptionEvent& event, const TRaiseInfo* raise) {
  event.Raise = nullptr;
  event.Context = nullptr;
  if (!raise) return;
  event.RaiseCopy = *raise;
  event.Raise = &event.RaiseCopy;
  if (event.RaiseCopy.HasContext) event.Context = &event.RaiseCopy.Context;
}

// Runs one report (one at a time in the process, on a thread of its own while the caller waits).
// Returns true when the program's own handler should still run.
bool DispatchException(TExceptionEvent& event);

// Starts the threads that reports need, before any fault. Only a module that makes its reports
// itself starts them: a DLL that leaves its reports to the executable has no threads of its own,
// which would outlive it when it is unloaded.
void StartReportHelpers();

// Whether the calling thread is the report thread.
bool IsReportThread();
// On the report thread, when its report cannot go on (an exception that left the report's code,
// a fault no code handled, a stack overflow): the report ends as an internal error (error, when
// known, goes into the self-diagnosis), the thread that waits for it goes on, and the report
// thread ends; later reports are not made (their threads go on as if none were configured).
[[noreturn]] void AbandonReport(const std::exception_ptr& error);

// The address of the last report (the same operating-system fault reaching the last-resort filter
// after a report of its own is not reported again).
uintptr_t LastReportedAddress();
// Whether e is the exception of one of the latest reports (the same exception reaching the
// terminate handler after a report of its own is not reported again, whatever other reports came
// in between; another one thrown from the same place is).
bool AlreadyReported(const std::exception_ptr& e);

// The class name and message of an operating-system exception code.
std::string OsExceptionClassName(DWORD code);
std::string OsExceptionMessage(const EXCEPTION_RECORD& record);

// Takes the handler lock when no report runs (never waits); EndReport gives it back. For the freeze
// detector, which must not hold the main thread while the main thread holds the lock.
bool TryBeginReport();
void EndReport();

// The exception's class and its ancestors, by their demangled names.
std::vector<std::string> ExceptionLineage(const std::exception_ptr& e);

// The self-diagnosis of a report step that failed (section: its number); reportStackPointer is
// where the report's stack began. Remembers the class of each exception handled by a report.
void ReportInternalBug(const std::exception_ptr& error, const std::vector<std::string>& lineage, int section,
                       uintptr_t address, uintptr_t reportStackPointer);
void NoteHandledException(const std::string& className);

// Start-up and shutdown of the dispatcher's state.
void InitDispatcher();
void DoneDispatcher();
#endif
