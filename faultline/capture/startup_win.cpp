#include <windows.h>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <exception>

#include "faultline/capture/capture.h"
#include "faultline/capture/dispatch.h"
#include "faultline/capture/minidump.h"
#include "faultline/capture/guard.h"
#include "faultline/capture/os_exceptions.h"
#include "faultline/delivery/kept_resend.h"
#include "faultline/freeze/freeze.h"
#include "faultline/hooks/hooks.h"
#include "faultline/internal/internal_warning.h"
#include "faultline/lists/modules_list.h"
#include "faultline/lists/threads_list.h"
#include "faultline/options/module_options.h"
#include "faultline/stack/stack.h"
#include "faultline/web/web_page.h"
#include "rtl/application.h"
#include "rtl/cpu_context.h"

namespace {

bool active = false;
bool interceptionInstalled = false;

// A DLL loaded by an executable that carries reporting too leaves its reports to the executable:
// its exceptions go to the executable's ExceptionManager, its raises to the executable's notice.
using TExceptionManager = BOOL(__stdcall*)(const std::exception_ptr*, void*, int, HMODULE);
using TGeneralRaise = void(__stdcall*)(DWORD, DWORD, DWORD, void*, const ULONG_PTR*);
bool delegating = false;
TExceptionManager executableManager = nullptr;
TGeneralRaise executableRaise = nullptr;
int startCount = 0;
std::terminate_handler previousTerminate = nullptr;
LPTOP_LEVEL_EXCEPTION_FILTER previousFilter = nullptr;
void* handleExceptionTrampoline = nullptr;

uintptr_t Address(const void* p) { return reinterpret_cast<uintptr_t>(p); }

// Runs one start-up or shutdown step; a failure becomes the critical error of the step.
template <typename F>
void Guarded(const char* name, F&& step) {
  try {
    step();
  } catch (const std::exception& e) {
    const std::string message = e.what();
    throw Exception(CriticalErrorMessage(name, &message));
  } catch (...) {
    throw Exception(CriticalErrorMessage(name, nullptr));
  }
}

// The thrown object of an exception pointer (the runtime keeps it as its first word).
const void* ObjectOf(const std::exception_ptr& e) {
  const void* object = nullptr;
  static_assert(sizeof e == sizeof object);
  std::memcpy(&object, &e, sizeof object);
  return object;
}

// The raise this thread recorded for exception, when it is that one.
const TRaiseInfo* RaiseOf(const std::exception_ptr& e) {
  const TRaiseInfo& r = ThreadRaise();
  return r.Object && r.Object == ObjectOf(e) ? &r : nullptr;
}

bool Converted(DWORD code);
bool ThrowAtFault(EXCEPTION_POINTERS& pointers);
std::exception_ptr FaultException(const EXCEPTION_RECORD& record, const CONTEXT& context);

// An exception that no catch takes: reported where it was thrown (its frames are still on the
// stack), then the thread, or on the main thread the program, ends with exit code 1.
// Set once an end of the program that is not an exception has been reported: the ways such an
// end goes on (a pure virtual call goes on to std::terminate) are not reported again.
std::atomic<bool> abnormalEndReported{false};

// Set on a thread while it reports the end of the process (abort, a pure virtual call, terminate
// without an exception): the report's delivery must not be left to the background.
thread_local bool reportingProcessEnd = false;

// Reports an end of the program that is not an exception as one of kind E, thrown here (so that
// its stack is recorded), at address when known (the program's call that led here).
template <class E>
void ReportAbnormalEnd(const char* message, uintptr_t address) {
  if (!active || abnormalEndReported.exchange(true)) return;
  try {
    throw E(message);
  } catch (...) {
    std::exception_ptr e = std::current_exception();
    reportingProcessEnd = true;
    ExceptionManager(&e, reinterpret_cast<void*>(address), PresentGeneral, nullptr);
    reportingProcessEnd = false;
  }
}

// abort(), and a failed assert through it: reported, then the C runtime ends the program as it
// would have (exit code 3).
using TSignalHandler = void (*)(int);
TSignalHandler previousAbortHandler = SIG_DFL;
// The program's call of abort: the first return address beyond the C runtime's own frames.
uintptr_t AbortCaller() {
  void* frames[32];
  const USHORT n = RtlCaptureStackBackTrace(0, 32, frames, nullptr);
  // The C runtime abort runs in: msvcrt.dll, or ucrtbase.dll in a UCRT build.
  const HMODULE msvcrt = GetModuleHandleA("msvcrt.dll"), ucrt = GetModuleHandleA("ucrtbase.dll");
  bool inRuntime = false;
  for (USHORT i = 0; i < n; ++i) {
    const HMODULE m = ModuleOfAddress(Address(frames[i]));
    if (m && (m == msvcrt || m == ucrt)) {
      inRuntime = true;
    } else if (inRuntime) {
      return Address(frames[i]) - 1;  // inside the call, which may be its procedure's last instruction
    }
  }
  return 0;
}

void AbortSignal(int signal) {
  ReportAbnormalEnd<EAbort>("Abnormal program termination.", AbortCaller());
  std::signal(signal, previousAbortHandler);
  if (previousAbortHandler != SIG_DFL && previousAbortHandler != SIG_IGN) previousAbortHandler(signal);
}

[[noreturn]] void Terminate() {
  std::exception_ptr e = std::current_exception();
  if (!e && !abnormalEndReported.load())
    ReportAbnormalEnd<ETerminate>("std::terminate was called without an exception.",
                                  reinterpret_cast<uintptr_t>(__builtin_return_address(0)));
  // An exception that left the report's own code (a window procedure of the dialog, say): that
  // report ends as an internal error and the thread that waits for it goes on.
  if (IsReportThread()) AbandonReport(e);
  // A thread whose exception its wrapper caught has been unwound (and the wrapper reported it).
  const bool unwound = ThreadUnwoundByWrapper();
  if (e && active && delegating) {
    const TRaiseInfo* raise = RaiseOf(e);
    executableManager(&e, raise ? reinterpret_cast<void*>(static_cast<uintptr_t>(raise->ReturnAddress)) : nullptr,
                      PresentGeneral, FaultRunningModule());
  } else if (e && active && !unwound) {
    TExceptionEvent event;
    event.Exception = e;
    const TRaiseInfo* raise = RaiseOf(e);
    TakeRaise(event, raise);
    event.Address = raise ? raise->ReturnAddress : 0;
    event.AddressIsReturn = raise && raise->IsReturnAddress;
    event.ThreadId = GetCurrentThreadId();
    event.StackTop = CurrentStackTop();
    event.Presentation = PresentGeneral;
    event.ProcessEnds = true;  // a thread not unwound ends the process (below)
    if (!AlreadyReported(e)) DispatchException(event);
  }
  // An unwound thread may end alone. Any other (one started by the C runtime or by std::thread,
  // or std::terminate called outright) still holds whatever it held at the throw: ending it alone
  // would leave its locks taken and the threads that wait for them hung, so the process ends, as
  // the runtime would end it.
  if (GetCurrentThreadId() == FaultMainThreadId() || !unwound) TerminateProcess(GetCurrentProcess(), 1);
  ExitThread(1);
}

// Reports an operating-system exception of thread (whose stack ends at stackTop) from its record
// and context, unless its address was reported already. An exception the program raised itself
// through RaiseException (raiseCaller: the return address into the raising code) is reported
// where it was raised, not inside the system library.
void ReportOsException(const EXCEPTION_RECORD& record, const CONTEXT* context, DWORD thread, uintptr_t stackTop,
                       uintptr_t raiseCaller = 0) {
  TExceptionEvent event;
  event.ProcessEnds = true;  // from the last-resort filter or the overflow reporter
  event.ClassName = OsExceptionClassName(record.ExceptionCode);
  event.Message = OsExceptionMessage(record);
  event.Address = raiseCaller ? raiseCaller : Address(record.ExceptionAddress);
  event.AddressIsReturn = raiseCaller != 0;
  event.ThreadId = thread;
  event.Context = context;
  event.Record = &record;
  event.StackTop = stackTop;
  event.Presentation = PresentGeneral;
  if (event.Address == 0 || event.Address != LastReportedAddress()) DispatchException(event);
}

// A structured exception that nothing handled (an access violation outside any C++ code): reported
// from its context, then the process ends with exit code 1.
LONG WINAPI UnhandledFilter(EXCEPTION_POINTERS* pointers) {
  // A C++ exception of 64-bit code travels as one of GCC's own exception codes. One that nothing
  // caught comes here while the system looks for a handler (a thread's outermost frame asks this
  // filter): no handler, so that the throw returns to the C++ runtime, whose terminate handler
  // reports it as in 32-bit code (and ends only the thread, where it is not the main one).
  if (pointers && pointers->ExceptionRecord && IsGccExceptionCode(pointers->ExceptionRecord->ExceptionCode))
    return EXCEPTION_CONTINUE_SEARCH;
  // A stack overflow that comes here is one this module does not report (another module's, in a
  // DLL): nothing can be done on what is left of that stack.
  if (pointers && pointers->ExceptionRecord && pointers->ExceptionRecord->ExceptionCode == EXCEPTION_STACK_OVERFLOW)
    return previousFilter ? previousFilter(pointers) : EXCEPTION_CONTINUE_SEARCH;
  // A fault that nothing handled on the report's own thread (inside a system library: the
  // program's own code is converted at once) ends that report as an internal error; the thread
  // that waits for the report goes on. In 64-bit code the fault is thrown where it happened and
  // unwinds, through the system library's frames, to the report's own handler; 32-bit code cannot
  // unwind through frames without unwind tables, so there the report thread is given up.
#ifdef _WIN64
  // The same, unhandled, on a thread that waits for its report (an event handler run there that
  // faults inside a system library): thrown where it happened, swallowed by the handler's caller.
  if (active && pointers && pointers->ExceptionRecord && pointers->ContextRecord && ThreadInHandler() &&
      Converted(pointers->ExceptionRecord->ExceptionCode) &&
      !(pointers->ExceptionRecord->ExceptionFlags & EXCEPTION_NONCONTINUABLE) && ThrowAtFault(*pointers))
    return EXCEPTION_CONTINUE_EXECUTION;
#endif
  if (active && pointers && pointers->ExceptionRecord && pointers->ContextRecord && IsReportThread()) {
#ifdef _WIN64
    if (Converted(pointers->ExceptionRecord->ExceptionCode) &&
        !(pointers->ExceptionRecord->ExceptionFlags & EXCEPTION_NONCONTINUABLE) && ThrowAtFault(*pointers))
      return EXCEPTION_CONTINUE_EXECUTION;
#endif
    AbandonReport(FaultException(*pointers->ExceptionRecord, *pointers->ContextRecord));
  }
  if (active && pointers && pointers->ExceptionRecord) {
    const EXCEPTION_RECORD& record = *pointers->ExceptionRecord;
    const TRaiseInfo& raise = ThreadRaise();
    const bool raised = raise.RaiseCaller && raise.RaiseCode == record.ExceptionCode &&
                        ModuleOfAddress(Address(record.ExceptionAddress)) != ModuleOfAddress(raise.RaiseCaller);
    ReportOsException(record, pointers->ContextRecord, GetCurrentThreadId(), CurrentStackTop(),
                      raised ? raise.RaiseCaller : 0);
    TerminateProcess(GetCurrentProcess(), 1);
  }
  return previousFilter ? previousFilter(pointers) : EXCEPTION_CONTINUE_SEARCH;
}

// A stack overflow leaves the faulting thread only the last pages of its stack: too little for a
// report, which resolves names and may show windows. A thread made at start-up (outside the
// thread list, so no report suspends it) makes the report from a copy of the faulting context
// while the faulting thread waits; then the process ends with exit code 1.
class TOverflowReporter {
 public:
  void Start() {
    go_ = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    done_ = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    ended_ = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (go_ && done_ && ended_) thread_ = CreateUnlistedThread(Body, this, 256 * 1024);
  }
  void Stop() {
    if (!thread_) return;
    stopping_ = true;
    SetEvent(go_);
    WaitForHelperEnd(thread_, ended_, 5000);
    thread_ = nullptr;
  }
  // On the overflowed thread: copies, signals and waits; only a few hundred bytes of stack.
  [[noreturn]] void ReportAndEnd(const EXCEPTION_POINTERS& pointers) {
    if (thread_ && !taken_.exchange(true)) {
      record_ = *pointers.ExceptionRecord;
      context_ = *pointers.ContextRecord;
      threadId_ = GetCurrentThreadId();
      stackTop_ = CurrentStackTop();
      SetEvent(go_);
    }
    // A second overflow at the same time waits for the first one's report.
    WaitForSingleObject(done_, INFINITE);
    TerminateProcess(GetCurrentProcess(), 1);
    for (;;) Sleep(INFINITE);
  }
  bool Ready() const { return thread_ != nullptr; }

 private:
  static DWORD WINAPI Body(LPVOID self) {
    auto* r = static_cast<TOverflowReporter*>(self);
    WaitForSingleObject(r->go_, INFINITE);
    if (!r->stopping_) {
      try {
        ReportOsException(r->record_, &r->context_, r->threadId_, r->stackTop_);
      } catch (...) {
      }
    }
    SetEvent(r->done_);
    // The last thing done in this module's code: the thread goes straight to its end.
    SetEvent(r->ended_);
    ExitThread(0);
  }
  HANDLE go_ = nullptr, done_ = nullptr, ended_ = nullptr, thread_ = nullptr;
  std::atomic<bool> taken_{false};
  std::atomic<bool> stopping_{false};
  EXCEPTION_RECORD record_{};
  CONTEXT context_{};
  DWORD threadId_ = 0;
  uintptr_t stackTop_ = 0;
};
TOverflowReporter overflowReporter;

// The application object's handler: the report comes first; the original (a message box) runs
// only when the report leaves the exception to it.
using THandleException = void(__attribute__((thiscall)) *)(TApplication*, std::exception_ptr);
void __attribute__((thiscall)) HandleExceptionHook(TApplication* self, std::exception_ptr e) {
  const TRaiseInfo* raise = RaiseOf(e);
  void* address = raise ? reinterpret_cast<void*>(static_cast<uintptr_t>(raise->ReturnAddress)) : nullptr;
  if (ExceptionManager(&e, address, PresentApplication, nullptr) && handleExceptionTrampoline)
    reinterpret_cast<THandleException>(handleExceptionTrampoline)(self, e);
}

// The operating-system exceptions of the program's own code become C++ exceptions where they
// happen: the faulting thread resumes in ThrowPendingFault as if the faulting instruction had
// called it, and the throw unwinds from there (the code is built for exceptions at any
// instruction). Other modules' faults, and a stack overflow (no stack left to throw on), go on to
// the last-resort filter.
void* vectoredHandler = nullptr;
HMODULE convertedModule = nullptr;
HMODULE executableModule = nullptr;  // the process's executable, read at start
TImageFacts convertedImage;         // convertedModule's code, read at start

struct TFaultToThrow {
  DWORD Code = 0;
  std::string Message;
};
thread_local TFaultToThrow faultToThrow;

#ifdef _WIN64
// A procedure that does nothing and has unwind data that says so: a converted fault's throw
// "returns" into it (after its first byte) when a return slot had to be added to keep the stack
// aligned; unwinding through it finds the faulting instruction's address above.
extern "C" void FaultReturnPad();
asm(R"(
  .text
  .globl FaultReturnPad
  .def FaultReturnPad; .scl 2; .type 32; .endef
  .seh_proc FaultReturnPad
FaultReturnPad:
  .seh_endprologue
  nop
  ret
  .seh_endproc
)");
#endif

extern "C" void ThrowPendingFault() {
  const TFaultToThrow f = faultToThrow;
  switch (f.Code) {
    case EXCEPTION_ACCESS_VIOLATION: throw EAccessViolation(f.Message);
    case EXCEPTION_INT_DIVIDE_BY_ZERO: throw EDivByZero(f.Message);
    case EXCEPTION_INT_OVERFLOW: throw EIntOverflow(f.Message);
    case EXCEPTION_PRIV_INSTRUCTION: throw EPrivilege(f.Message);
    default: throw EExternalException(f.Message, f.Code);
  }
}

}  // namespace

bool IsGccExceptionCode(uint32_t code) {
  // 'GCC' with 0x20 (a throw), 0x21 (unwinding towards a handler) or 0x22 (a foreign unwind).
  return code == 0x20474343 || code == 0x21474343 || code == 0x22474343;
}

namespace {

bool Converted(DWORD code) {
  switch (code) {
    case EXCEPTION_ACCESS_VIOLATION:
    case EXCEPTION_INT_DIVIDE_BY_ZERO:
    case EXCEPTION_INT_OVERFLOW:
    case EXCEPTION_PRIV_INSTRUCTION:
    case EXCEPTION_ILLEGAL_INSTRUCTION:
      return true;
    default:
      return false;
  }
}

// Makes the faulting thread throw the fault as a C++ exception from the faulting instruction, as
// if that instruction had called the throw. False where the stack has no room for it.
bool ThrowAtFault(EXCEPTION_POINTERS& pointers) {
  const EXCEPTION_RECORD& record = *pointers.ExceptionRecord;
  CONTEXT& context = *pointers.ContextRecord;
  // The return address goes where a call would have put it; the stack must have room for it.
  uintptr_t sp = ContextStack(context);
  if (sp < 64) return false;
  faultToThrow.Code = record.ExceptionCode;
  faultToThrow.Message = OsExceptionMessage(record);
  SetPendingFault(Address(record.ExceptionAddress), context);
  sp -= sizeof(void*);
#ifdef _WIN64
  // The system's unwinder takes a frame's address as it is (and knows which prologue instructions
  // ran before it).
  *reinterpret_cast<uintptr_t*>(sp) = ContextInstruction(context);
#else
  // GCC's unwinder takes the address below a return address as the call's own: one byte past the
  // faulting instruction makes that the faulting instruction itself, so that its function (also
  // when it faults at its first byte) and the frame's state at that instruction are the ones used.
  *reinterpret_cast<uintptr_t*>(sp) = ContextInstruction(context) + 1;
#endif
#ifdef _WIN64
  // A 64-bit procedure is entered with the stack 16-byte aligned before the call's push. Where
  // the fault left it 8 bytes off (a leaf function without a frame), the pad below stands between
  // the two: unwinding passes from it to the faulting instruction as if it had been called there.
  if ((sp & 15) == 0) {
    sp -= sizeof(void*);
    *reinterpret_cast<uintptr_t*>(sp) = Address(reinterpret_cast<void*>(&FaultReturnPad)) + 1;
  }
#endif
  SetContextStack(context, sp);
  SetContextInstruction(context, Address(reinterpret_cast<void*>(&ThrowPendingFault)));
  return true;
}

LONG CALLBACK ConvertFault(EXCEPTION_POINTERS* pointers) {
  if (!active || !pointers || !pointers->ExceptionRecord || !pointers->ContextRecord) return EXCEPTION_CONTINUE_SEARCH;
  const EXCEPTION_RECORD& record = *pointers->ExceptionRecord;
  if (record.ExceptionCode == EXCEPTION_STACK_OVERFLOW) {
    // The report's own thread overflowed: that report is given up (there is no stack left to
    // make anything of it), the thread that waits for it goes on.
    if (IsReportThread()) AbandonReport(nullptr);
    // A DLL reports only the overflows of its own code; the executable every one (a delegating
    // DLL has no reporter: the executable's reports it).
    // (What is left of the stack is too little even for a system call: the module's code range
    // was read at start.)
    const uintptr_t at = Address(record.ExceptionAddress);
    if (overflowReporter.Ready() &&
        (convertedModule == executableModule || (at >= convertedImage.CodeStart && at < convertedImage.CodeEnd)))
      overflowReporter.ReportAndEnd(*pointers);
  }
  if (!Converted(record.ExceptionCode) || (record.ExceptionFlags & EXCEPTION_NONCONTINUABLE)) return EXCEPTION_CONTINUE_SEARCH;
  // Also on a thread that waits for its report: a fault of an event handler run there becomes an
  // exception that the handler's caller swallows, and the report goes on.
  if (ModuleOfAddress(Address(record.ExceptionAddress)) != convertedModule) return EXCEPTION_CONTINUE_SEARCH;
  return ThrowAtFault(*pointers) ? EXCEPTION_CONTINUE_EXECUTION : EXCEPTION_CONTINUE_SEARCH;
}

// A delegating DLL's raise, as the executable's notice takes it (see Faultline_CallGeneralRaise).
void ForwardRaise(const void* object, const std::type_info* type, uintptr_t address, uintptr_t frame) {
  const ULONG_PTR arguments[7] = {address, reinterpret_cast<ULONG_PTR>(object), frame,
                                  reinterpret_cast<ULONG_PTR>(type), 0, 0, 0};
  executableRaise(0x0EEDFADE, 1, 7, reinterpret_cast<void*>(static_cast<uintptr_t>(frame)), arguments);
}

// The import hooks of kernel32's RaiseException, RtlUnwind and WriteFile, with their originals.
using TRaiseException = void(WINAPI*)(DWORD, DWORD, DWORD, const ULONG_PTR*);
using TRtlUnwind = void(WINAPI*)(PVOID, PVOID, PEXCEPTION_RECORD, PVOID);
using TWriteFile = BOOL(WINAPI*)(HANDLE, LPCVOID, DWORD, LPDWORD, LPOVERLAPPED);
TRaiseException originalRaiseException = nullptr;
TRtlUnwind originalRtlUnwind = nullptr;
TWriteFile originalWriteFile = nullptr;
std::atomic<TWriteFileObserver> writeFileObserver{nullptr};

constexpr DWORD LanguageRaiseCode = 0x0EEDFADE;

// The raise notice: another module's C++ raise, forwarded with its arguments (see capture.h).
void RaiseNotice(DWORD code, DWORD flags, DWORD count, uintptr_t frame, const ULONG_PTR* arguments, bool capture) {
  if (code != LanguageRaiseCode || flags != 1 || count != 7 || !arguments) return;
  RecordRaise(reinterpret_cast<const void*>(arguments[1]), reinterpret_cast<const std::type_info*>(arguments[3]),
              static_cast<uintptr_t>(arguments[0]), frame ? frame : static_cast<uintptr_t>(arguments[2]), capture);
}

void WINAPI RaiseExceptionHook(DWORD code, DWORD flags, DWORD count, const ULONG_PTR* arguments) {
  if (active) {
    TRaiseInfo& r = ThreadRaise();
    r.RaiseCode = code;
    r.RaiseFrame = Address(__builtin_frame_address(0));
    r.RaiseCaller = Address(__builtin_return_address(0));
    RaiseNotice(code, flags, count, r.RaiseFrame, arguments, true);
  }
  originalRaiseException(code, flags, count, arguments);
}

// An access violation or a similar fault that a structured handler of the system catches is about
// to be unwound: the stack as it was at the fault is kept (a snapshot; nothing is reported).
void WINAPI RtlUnwindHook(PVOID targetFrame, PVOID targetIp, PEXCEPTION_RECORD record, PVOID value) {
  if (active) {
    ThreadRaise().RaiseFrame = Address(targetFrame);
    if (record && record->ExceptionCode > 0xC0000004 && record->ExceptionCode <= 0xC000013A &&
        record->ExceptionFlags == 2 && record->NumberParameters == 2)
      RecordRaise(nullptr, nullptr, Address(record->ExceptionAddress), Address(__builtin_frame_address(0)), true);
  }
  originalRtlUnwind(targetFrame, targetIp, record, value);
}

BOOL WINAPI WriteFileHook(HANDLE file, LPCVOID data, DWORD size, LPDWORD written, LPOVERLAPPED overlapped) {
  if (TWriteFileObserver observer = writeFileObserver.load()) {
    try {
      observer(file, data, size);
    } catch (...) {
    }
  }
  return originalWriteFile(file, data, size, written, overlapped);
}

// The freeze detector reports through the dispatcher, as the main thread at its instruction.
void ReportFreeze(const CONTEXT& context, const std::vector<uint8_t>& stack, uintptr_t stackTop,
                  const std::string& text) {
  TExceptionEvent event;
  event.StackCopy = &stack;
  event.Exception = std::make_exception_ptr(EFrozenApplication(text));
  event.Address = ContextInstruction(context);
  event.ThreadId = FaultMainThreadId();
  event.Context = &context;
  event.StackTop = stackTop;
  event.Presentation = PresentGeneral;
  DispatchException(event);
}

void StartFreeze(const TFaultModuleOptions&) {
  // The executable's detector watches the process; a delegating DLL starts none of its own.
  if (!active || !interceptionInstalled || delegating) return;
  TFreezeReporting reporting;
  reporting.TryBeginReport = TryBeginReport;
  reporting.EndReport = EndReport;
  reporting.Report = ReportFreeze;
  reporting.SetBusy = [](bool busy) { ThreadBusy() = busy; };
  StartFreezeDetector(reporting);
}

bool ReportingActive() { return active; }
bool ThreadIsBusy() { return ThreadBusy(); }

bool ReportThreadException(std::exception_ptr e, const TFaultThreadRecord& record) {
  const TRaiseInfo* raise = RaiseOf(e);
  void* address = raise ? reinterpret_cast<void*>(static_cast<uintptr_t>(raise->ReturnAddress)) : nullptr;
  (void)record;
  return ExceptionManager(&e, address, PresentGeneral, nullptr) == FALSE;
}

std::string ModuleFileName(HMODULE module) {
  char path[MAX_PATH] = {};
  GetModuleFileNameA(module, path, sizeof path);
  const char* slash = std::strrchr(path, '\\');
  return slash ? slash + 1 : path;
}

}  // namespace

bool FaultlineActive() { return active; }

void FaultlineStart() {
  if (startCount++ > 0) return;
  Guarded("FCore.Init", [] {
    InstallFaultOptionsHooks();
    InstallInternalWarningOutput();
    FaultLoadOwnOptions();
  });
  Guarded("FHook.Init", [] { FHookInit(); });
  Guarded("FaultReport.Init", [] {
    // Without a container the module has nothing to report with.
    if (!FaultContainerPresent(FaultRunningModule())) return;
    InitDispatcher();
    CreateFaultModules();
    CreateFaultThreads();
    TFaultThreadServices& services = FaultThreadServices();
    services.ReportingActive = ReportingActive;
    services.ThreadBusy = ThreadIsBusy;
    services.ReportThreadException = ReportThreadException;
    // A DLL whose executable reports (it carries a container and the export) delegates to it.
    HMODULE executable = GetModuleHandleA(nullptr);
    delegating = false;
    if (FaultRunningModule() != executable && FaultContainerPresent(executable)) {
      executableManager = reinterpret_cast<TExceptionManager>(
          reinterpret_cast<void*>(GetProcAddress(executable, "ExceptionManager")));
      executableRaise = reinterpret_cast<TGeneralRaise>(
          reinterpret_cast<void*>(GetProcAddress(executable, "Faultline_CallGeneralRaise")));
      delegating = executableManager && executableRaise;
    }
    active = true;
    SetRaiseRecording(true);
    if (delegating) SetRaiseForwarder(ForwardRaise);
    else StartReportHelpers();
    // Copies kept by earlier failed deliveries go again, on a thread of their own (never delaying
    // the start); a delegating DLL's reports are the executable's business.
    if (!delegating) StartKeptResend(FaultLoadOwnOptions());
    // Inside the development environment its debugger takes the exceptions: no interception.
    if (IsDevelopmentEnvironment()) {
      if (FaultModules()) FaultModules()->Refresh();
      return;
    }
    interceptionInstalled = true;
    previousTerminate = std::set_terminate(Terminate);
    // The last-resort filter is the process's: a delegating DLL leaves it to the executable.
    if (!delegating) previousFilter = SetUnhandledExceptionFilter(UnhandledFilter);
    // abort belongs to the process's C runtime: a delegating DLL leaves it to the executable.
    if (!delegating) previousAbortHandler = std::signal(SIGABRT, AbortSignal);
    convertedModule = FaultRunningModule();
    executableModule = GetModuleHandleA(nullptr);
    convertedImage = TImageFacts();
    ReadImageFacts(Address(convertedModule), ReadProcessBytes, convertedImage);
    if (!delegating) overflowReporter.Start();
    vectoredHandler = AddVectoredExceptionHandler(1, ConvertFault);
    handleExceptionTrampoline = HookSymbol(0, reinterpret_cast<void*>(&HandleExceptionHook));
    const std::vector<std::string> modules = {ModuleFileName(FaultRunningModule())};
    void* original = nullptr;
    if (HookImport(modules, "kernel32.dll", true, &original, reinterpret_cast<void*>(&RaiseExceptionHook),
                   "RaiseException"))
      originalRaiseException = reinterpret_cast<TRaiseException>(original);
    if (HookImport(modules, "kernel32.dll", true, &original, reinterpret_cast<void*>(&RtlUnwindHook), "RtlUnwind"))
      originalRtlUnwind = reinterpret_cast<TRtlUnwind>(original);
    if (HookImport(modules, "kernel32.dll", true, &original, reinterpret_cast<void*>(&WriteFileHook), "WriteFile"))
      originalWriteFile = reinterpret_cast<TWriteFile>(original);
    HookImport(modules, "kernel32.dll", true, &original, reinterpret_cast<void*>(&FaultCreateThread), "CreateThread");
    HookImport(modules, "kernel32.dll", true, &original, reinterpret_cast<void*>(&FaultResumeThread), "ResumeThread");
    HookImport(modules, "kernel32.dll", true, &original, reinterpret_cast<void*>(&FaultExitThread), "ExitThread");
    InstallWebInterception(FaultRunningModule());
    SetWriteFileObserver(WebWriteFileObserver);
    // The options start and stop the freeze detector from now on (HandlingOn and FreezeWatch).
    FaultOptionsHooks().FreezeStart = StartFreeze;
    FaultOptionsHooks().FreezeStop = StopFreezeDetector;
    const TFaultModuleOptionsEx& own = FaultLoadOwnOptions();
    if (own.HandlingOn() && own.FreezeWatch()) StartFreeze(own);
    // Whichever module's options ask for a dump, the functions it needs are found now.
    PrepareMinidumps();
  });
}

void FaultlineStop() {
  if (startCount == 0 || --startCount > 0) return;
  Guarded("FaultReport.Done", [] {
    if (!active) return;
    StopKeptResend();
    FaultOptionsHooks().FreezeStart = nullptr;
    FaultOptionsHooks().FreezeStop = nullptr;
    StopFreezeDetector();
    DoneDispatcher();
    SetRaiseRecording(false);
    SetRaiseForwarder(nullptr);
    if (interceptionInstalled) {
      std::set_terminate(previousTerminate);
      if (!delegating) SetUnhandledExceptionFilter(previousFilter);
      if (!delegating) std::signal(SIGABRT, previousAbortHandler);
      if (vectoredHandler) RemoveVectoredExceptionHandler(vectoredHandler);
      vectoredHandler = nullptr;
      overflowReporter.Stop();
      interceptionInstalled = false;
    }
    FaultThreadServices() = TFaultThreadServices();
    active = false;
  });
  // Hooks go before the lists they feed: no replacement may run on a freed list.
  Guarded("FHook.Done", [] { FHookDone(); });
  Guarded("FaultReport.Done", [] {
    DestroyFaultThreads();
    DestroyFaultModules();
  });
  Guarded("FCore.Done", [] { FaultCloseSharedBlock(); });
}

// A call of a pure virtual method (the link wraps the C++ runtime's handler): reported at the
// call, then the runtime ends the program as it would have.
extern "C" void __real___cxa_pure_virtual();
extern "C" [[noreturn]] void __wrap___cxa_pure_virtual() {
  ReportAbnormalEnd<EPureVirtualCall>("Pure virtual method called.",
                                      reinterpret_cast<uintptr_t>(__builtin_return_address(0)));
  __real___cxa_pure_virtual();
  std::terminate();
}

extern "C" __declspec(dllexport) BOOL __stdcall ExceptionManager(const std::exception_ptr* exception, void* address,
                                                                 int presentation, HMODULE module) {
  if (active && delegating) return executableManager(exception, address, presentation, FaultRunningModule());
  if (!active || !exception || !*exception) return TRUE;
  TExceptionEvent event;
  event.Exception = *exception;
  const TRaiseInfo* raise = RaiseOf(*exception);
  TakeRaise(event, raise);
  event.Address = Address(address);
  event.AddressIsReturn = raise && event.Address == raise->ReturnAddress && raise->IsReturnAddress;
  event.ThreadId = GetCurrentThreadId();
  event.StackTop = CurrentStackTop();
  event.Module = module;
  event.Presentation = static_cast<TPresentation>(presentation);
  event.ProcessEnds = reportingProcessEnd;
  return DispatchException(event) ? TRUE : FALSE;
}

bool ReportWithoutEnd(const std::exception_ptr& exception, uintptr_t callerReturn, uintptr_t callerStack) {
  if (!active || !exception) return false;
  if (delegating) {
    executableManager(&exception, reinterpret_cast<void*>(callerReturn), PresentGeneral, FaultRunningModule());
    return true;
  }
  TExceptionEvent event;
  event.Exception = exception;
  if (const TRaiseInfo* raise = RaiseOf(exception)) {
    // Thrown by this thread last: reported where it was thrown.
    TakeRaise(event, raise);
    event.Address = raise->ReturnAddress;
    event.AddressIsReturn = raise->IsReturnAddress;
  } else {
    // Reported where the program asked, with the stack from there up.
    TRaiseInfo& here = event.RaiseCopy;
    here.ReturnAddress = callerReturn;
    here.IsReturnAddress = true;
    here.StackPointer = callerStack;
    here.StackTop = CurrentStackTop();
    if (here.StackTop > callerStack) {
      const size_t size = std::min<size_t>(here.StackTop - callerStack, MaxRaiseStack);
      here.Stack.assign(reinterpret_cast<const uint8_t*>(callerStack), reinterpret_cast<const uint8_t*>(callerStack) + size);
    }
    event.Raise = &event.RaiseCopy;
    event.Address = callerReturn;
    event.AddressIsReturn = true;
  }
  event.ThreadId = GetCurrentThreadId();
  event.StackTop = CurrentStackTop();
  event.Presentation = PresentGeneral;
  DispatchException(event);
  return true;
}

void SetWriteFileObserver(TWriteFileObserver observer) { writeFileObserver = observer; }

extern "C" __declspec(dllexport) void __stdcall Faultline_CallGeneralRaise(DWORD code, DWORD flags, DWORD count,
                                                                            void* frame, const ULONG_PTR* arguments) {
  // The stack is copied as with the program's own raises: by the time the report is made, the
  // raising frames are gone.
  if (active) RaiseNotice(code, flags, count, Address(frame), arguments, true);
}

extern "C" __declspec(dllexport) void* __stdcall Faultline_CallExceptObject(const EXCEPTION_RECORD* record,
                                                                             const CONTEXT* context, BOOL capture) {
  if (!record) return nullptr;
  CONTEXT none{};
  const CONTEXT& c = context ? *context : none;
  std::exception_ptr e = FaultException(*record, c);
  if (!e) return nullptr;
  if (!capture) ThreadRaise().Stack.clear();
  return new std::exception_ptr(e);
}

namespace {

// The exception object a fault is thrown as (its class from the code), made here by a throw that
// records the raise with this context, as the converter's throw does.
std::exception_ptr FaultException(const EXCEPTION_RECORD& record, const CONTEXT& context) {
  faultToThrow.Code = record.ExceptionCode;
  faultToThrow.Message = OsExceptionMessage(record);
  SetPendingFault(Address(record.ExceptionAddress), context);
  try {
    ThrowPendingFault();
  } catch (...) {
    return std::current_exception();
  }
  return nullptr;
}

}  // namespace
