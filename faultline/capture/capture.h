#pragma once
// The road of an exception: interception of every raise and of the exceptions nobody catches,
// one dispatcher that runs one report at a time on a thread of its own while the faulting thread
// waits, and the report procedure that builds the report from the live process and saves it.
// Windows only. The program's start-up calls FaultlineStart before it creates any window and
// FaultlineStop at its end.
#ifdef _WIN32
#include <windows.h>

#include <exception>
#include <functional>
#include <string>

#include "faultline/report/report_text.h"
#include "rtl/exception.h"

// Ends of the program that are not exceptions, reported as exceptions of their own kinds: a call
// of a pure virtual method, std::terminate without an exception, abort (a failed assert too).
class EPureVirtualCall : public Exception {
 public:
  using Exception::Exception;
};
class ETerminate : public Exception {
 public:
  using Exception::Exception;
};
class EAbort : public Exception {
 public:
  using Exception::Exception;
};

// Start-up and shutdown, each step in a guarded runner ("FCore.Init", "FHook.Init",
// "FaultReport.Init" and their "Done" twins). A failing step raises the critical error.
void FaultlineStart();
void FaultlineStop();
bool FaultlineActive();

// How a report is presented.
enum TPresentation : int {
  PresentGeneral = 0,      // an exception nobody handled, a thread's, the freeze detector's
  PresentApplication = 1,  // from the application object's exception handler
  PresentWebServer = 2,
};

// Reports exception (raised at address, in module) unless reporting is off for it; returns true
// when the program's own handler should still run, false when the exception has been dealt with.
extern "C" __declspec(dllexport) BOOL __stdcall ExceptionManager(const std::exception_ptr* exception, void* address,
                                                                 int presentation, HMODULE module);

// What a report hands to the stages that other parts of the program provide. Unset seams do
// nothing: no dialog is shown and nothing is delivered.
struct TReportSeams {
  // Shows the report (the exception dialog); returns false when the user chose to end the program.
  std::function<bool(const TReportTexts& report, TPresentation presentation)> ShowDialog;
  // Delivers the saved report.
  std::function<void(const TReportTexts& report, const std::string& logFileName)> Deliver;
  // Mails one file through the user's mail client; false when that cannot be done.
  std::function<bool(const std::string& to, const std::string& subject, const std::string& body,
                     const std::string& file)>
      MailFile;
};

// Replaces the test for an attached debugger (tests only: a developer's conditions without one).
void SetDebuggerPresentProbe(bool (*probe)());
TReportSeams& ReportSeams();

// Sees every WriteFile of the program before it is done (a CGI program's pages go to standard
// output this way); null for none.
using TWriteFileObserver = void (*)(HANDLE file, const void* data, DWORD size);
void SetWriteFileObserver(TWriteFileObserver observer);

// The raise notice of another module's raise of a C++ exception (code 0x0EEDFADE, flags 1, seven
// arguments: the raise address, the thrown object, the raising frame, the object's type, three
// unused): recorded as the calling thread's last raise, with a copy of its stack from the frame up.
// A DLL that delegates its reports to the executable calls it for every throw.
extern "C" __declspec(dllexport) void __stdcall Faultline_CallGeneralRaise(DWORD code, DWORD flags, DWORD count,
                                                                            void* frame, const ULONG_PTR* arguments);
// The exception object of an operating-system exception (EAccessViolation, EDivByZero, ...), with
// the context stored as the calling thread's last raise; with capture, the stack from the faulting
// stack pointer up is copied too. The caller owns the returned std::exception_ptr (delete it).
extern "C" __declspec(dllexport) void* __stdcall Faultline_CallExceptObject(const EXCEPTION_RECORD* record,
                                                                             const CONTEXT* context, BOOL capture);

// A report of exception that ends nothing (the program asked for it): where the calling thread
// last threw it, else at the caller (callerReturn: the return address into it; callerStack: its
// stack just above that return address). False when reporting is not active.
bool ReportWithoutEnd(const std::exception_ptr& exception, uintptr_t callerReturn, uintptr_t callerStack);

// Counts of what the dispatcher did, for tests and the crash laboratory.
struct TCaptureCounters {
  long Reports = 0;        // report procedures run
  long InternalErrors = 0; // reports ended by an internal error
};
TCaptureCounters CaptureCounters();

// Runs call on the main thread while a report waits there (the pending main-thread call slot);
// on the main thread itself, runs it at once. Exceptions of call are swallowed.
void RunOnWaitingMainThread(const std::function<void()>& call);
#endif
