#include <windows.h>

#include <cxxabi.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>

#include "faultline/capture/dispatch.h"
#include "faultline/capture/events.h"
#include "faultline/capture/guard.h"
#include "faultline/capture/minidump.h"
#include "faultline/capture/os_exceptions.h"
#include "faultline/lists/memory_reader.h"
#include "faultline/lists/modules_list.h"
#include "faultline/lists/threads_list.h"
#include "faultline/delivery/delivery_run.h"
#include "faultline/delivery/file_access.h"
#include "faultline/log/log_flow.h"
#include "faultline/options/module_options.h"
#include "faultline/report/custom_values.h"
#include "faultline/report/minidump_name.h"
#include "faultline/report/report_environment.h"
#include "faultline/stack/stack.h"
#include "faultline/ui/exception_dialog.h"
#include "faultline/ui/screenshot.h"
#include "faultline/web/web_page.h"
#include "rtl/ansi_paths.h"
#include "rtl/application.h"
#include "rtl/cpu_context.h"

namespace {

CRITICAL_SECTION handlerLock;
bool dispatcherReady = false;
std::atomic<long> reportCount{0}, internalErrorCount{0};
TRecentErrors recentErrors;
std::atomic<uintptr_t> lastReported{0};
// The exceptions of the latest reports, kept alive so that their objects' addresses are not taken
// by other exceptions meanwhile: one that reaches another interception point after its report (the
// terminate handler after a thread's wrapper reported it) is not reported again, even when other
// threads' reports came in between.
std::mutex lastExceptionLock;
std::array<std::exception_ptr, 16> lastExceptions;
size_t nextLastException = 0;
TDateTime startDate = 0;
char startDirectory[MAX_PATH] = {};

// The pending main-thread call: a worker hands a procedure to the waiting main thread.
std::mutex slotLock;
const std::function<void()>* pendingCall = nullptr;
// Set when a call is put into the slot, and when one has run: the two sides wait for these with
// their 10 ms period as the longest wait, so neither loses the rest of a period to a sleep.
HANDLE callPosted = nullptr, callDone = nullptr;
std::atomic<DWORD> waitingThread{0};  // the faulting thread while it waits for its report



std::string FileNameOf(const std::string& path) {
  const size_t slash = path.find_last_of("\\/:");
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// A thread of our own, outside the thread list, that rehearses what a report takes while other
// threads are held: the allocators, the exception machinery (the unwinder's and the dispatcher's
// locks), the loader's lock (module names, version resources), the current directory's lock
// (paths; a thread holds it while it looks for a library to load, outside the loader's lock) and
// the C runtime's environment lock. A held thread that owns any of these would make the report
// wait for it forever; when the rehearsal ends in time, none does, and held threads can take
// nothing more. The rehearsal itself may wait for a lock: only this thread waits then, and the
// report waits for it a bounded time.
class TReportRehearsal {
 public:
  void Start() {
    go_ = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    done_ = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    ended_ = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    lockLoader_ = reinterpret_cast<TLdrLock>(reinterpret_cast<void*>(GetProcAddress(ntdll, "LdrLockLoaderLock")));
    unlockLoader_ = reinterpret_cast<TLdrUnlock>(reinterpret_cast<void*>(GetProcAddress(ntdll, "LdrUnlockLoaderLock")));
    char exe[MAX_PATH] = {};
    const DWORD n = GetModuleFileNameA(nullptr, exe, sizeof exe);
    executable_.assign(exe, n < sizeof exe ? n : 0);
    // Not listed, so no report holds it.
    if (go_ && done_ && ended_) thread_ = CreateUnlistedThread(Body, this, 256 * 1024);
  }
  // True when a rehearsal ends within the time: nobody held owns what the report needs. A
  // rehearsal still running from an earlier call must end first, within the same time.
  bool ReportCanGoOn(DWORD milliseconds) {
    if (!thread_) return true;
    const DWORD start = GetTickCount();
    if (!WaitAnswered(asked_.load(), start, milliseconds)) return false;
    const uint32_t n = asked_.fetch_add(1) + 1;
    SetEvent(go_);
    return WaitAnswered(n, start, milliseconds);
  }
  // After a failed rehearsal, with the threads running again: true when it has ended within the
  // time (whoever owned the lock it waited for has let it go).
  bool Settle(DWORD milliseconds) { return !thread_ || WaitAnswered(asked_.load(), GetTickCount(), milliseconds); }
  // Ends the thread (a rehearsal still waiting for a lock is left to itself).
  void Stop() {
    if (thread_) {
      stopping_ = true;
      SetEvent(go_);
      WaitForHelperEnd(thread_, ended_, 2000);
    }
    for (HANDLE h : {go_, done_, ended_})
      if (h) CloseHandle(h);
    thread_ = go_ = done_ = ended_ = nullptr;
    stopping_ = false;
  }

 private:
  using TLdrLock = LONG(NTAPI*)(ULONG flags, ULONG* disposition, ULONG_PTR* cookie);
  using TLdrUnlock = LONG(NTAPI*)(ULONG flags, ULONG_PTR cookie);

  static DWORD WINAPI Body(LPVOID self) {
    auto* r = static_cast<TReportRehearsal*>(self);
    for (;;) {
      WaitForSingleObject(r->go_, INFINITE);
      if (r->stopping_) break;
      const uint32_t n = r->asked_.load();
      try {
        r->Rehearse();
      } catch (...) {
        // Out of memory: the rehearsal has still passed every lock it takes.
      }
      r->answered_.store(n);
      SetEvent(r->done_);
    }
    // The last thing done in this module's code: the thread goes straight to its end.
    SetEvent(r->ended_);
    ExitThread(0);
  }

  void Rehearse() {
    void* block = std::malloc(64);
    std::free(block);
    delete new std::string(100, 'x');
    HANDLE heap = GetProcessHeap();
    if (HeapLock(heap)) HeapUnlock(heap);
    try {
      throw std::runtime_error("rehearsal");
    } catch (const std::exception&) {
      try {
        std::rethrow_exception(std::current_exception());
      } catch (const std::exception&) {
      }
    }
    ULONG_PTR cookie = 0;
    if (lockLoader_ && unlockLoader_ && lockLoader_(0, nullptr, &cookie) == 0) unlockLoader_(0, cookie);
    wchar_t name[MAX_PATH];
    GetFullPathNameW(L"x", MAX_PATH, name, nullptr);
    // A version resource, read as the modules table reads them (the file is mapped).
    ReadModuleVersion(executable_);
    const char* path = std::getenv("PATH");
    char text[64];
    std::snprintf(text, sizeof text, "%d %s", 1, path ? "" : "-");
  }

  // Waits until rehearsal n has ended, at most `limit` ms counted from `start` (tick counts).
  bool WaitAnswered(uint32_t n, DWORD start, DWORD limit) {
    while (static_cast<int32_t>(answered_.load() - n) < 0) {
      const DWORD spent = GetTickCount() - start;
      if (spent >= limit) return false;
      WaitForSingleObject(done_, std::min<DWORD>(limit - spent, 50));
    }
    return true;
  }

  HANDLE go_ = nullptr, done_ = nullptr, ended_ = nullptr, thread_ = nullptr;
  std::atomic<bool> stopping_{false};
  std::atomic<uint32_t> asked_{0}, answered_{0};
  TLdrLock lockLoader_ = nullptr;
  TLdrUnlock unlockLoader_ = nullptr;
  std::string executable_;
};
TReportRehearsal rehearsal;

// Threads suspended by a report, resumed on every way out of it.
class TSuspendedThreads {
 public:
  ~TSuspendedThreads() { ResumeAll(); }
  // Room for every handle first: once threads are suspended nothing may allocate.
  void Reserve(size_t count) { handles_.reserve(count); }
  void Suspend(HANDLE thread) {
    if (SuspendThread(thread) == static_cast<DWORD>(-1)) return;
    handles_.push_back(thread);
    // A suspension takes effect some time after the call returns; reading the thread's context
    // waits for it, so that a rehearsal after this proves what the held thread owns.
    CONTEXT context{};
    context.ContextFlags = CONTEXT_CONTROL;
    GetThreadContext(thread, &context);
  }
  void ResumeAll() {
    for (HANDLE h : handles_) ResumeThread(h);
    handles_.clear();
  }
  const std::vector<HANDLE>& Handles() const { return handles_; }

 private:
  std::vector<HANDLE> handles_;
};

// Another thread's stack, copied while it was suspended into a buffer made before.
struct TThreadStackCopy {
  uint32_t ThreadId = 0;
  CONTEXT Context{};
  bool HasContext = false;
  uintptr_t StackTop = 0;
  std::vector<uint8_t> Stack;  // [stack pointer, stack pointer + size)
};

// Appends a copied stack's entries for the exception's thread or another one.
void ScanCopy(TFaultStackList& list, const void* copy, uint32_t size, uintptr_t origin, bool hasStart, uintptr_t start,
              uint32_t threadId, bool running) {
  TStackScan scan;
  scan.HasStart = hasStart;
  scan.StartAddress = start;
  scan.ThreadId = threadId;
  scan.Running = running;
  ScanStackCopy(list, copy, size, origin, scan);
}

bool SelectedBy(uint8_t flags, uint8_t frameworkBit, uint8_t otherBit, const TFaultThreadRecord& r) {
  return IsFrameworkThread(r, FaultMainThreadId()) ? (flags & frameworkBit) != 0 : (flags & otherBit) != 0;
}

TFaultThreadInfo ThreadInfoOf(const TFaultThreadRecord& r) {
  TFaultThreadInfo t;
  t.ThreadId = r.ThreadId;
  t.Handle = r.Handle;
  t.Priority = static_cast<uint32_t>(r.Priority);
  t.HasThreadObject = r.ThreadObject != 0;
  if (r.ThreadObject) t.ThreadClassName = "TThread";
  return t;
}

std::string Demangled(const std::type_info& type) {
  int status = 0;
  char* name = abi::__cxa_demangle(type.name(), nullptr, nullptr, &status);
  std::string result = status == 0 && name ? name : type.name();
  std::free(name);
  return result;
}

// A class and its ancestors (depth first), from the run-time type information of the C++ ABI.
std::vector<std::string> TypeLineage(const std::type_info* type) {
  std::vector<std::string> names;
  std::vector<const std::type_info*> todo;
  if (type) todo.push_back(type);
  while (!todo.empty() && names.size() < 64) {
    const std::type_info* t = todo.back();
    todo.pop_back();
    names.push_back(Demangled(*t));
    if (auto* single = dynamic_cast<const abi::__si_class_type_info*>(t)) {
      todo.push_back(single->__base_type);
    } else if (auto* multiple = dynamic_cast<const abi::__vmi_class_type_info*>(t)) {
      for (unsigned i = multiple->__base_count; i-- > 0;) todo.push_back(multiple->__base_info[i].__base_type);
    }
  }
  return names;
}

// The report procedure. Returns whether the program's own handler should still run.
class TReportRun {
 public:
  explicit TReportRun(TExceptionEvent& e) : e_(e) {}

  // Ends the report as an internal error: the self-diagnosis of error at the step it reached.
  void Fail(const std::exception_ptr& error) { InternalError(error); }

  bool Run() {
    stackPointer_ = CurrentStackPointer();
    try {
      return Steps();
    } catch (...) {
      InternalError(std::current_exception());
    }
    return false;
  }

 private:
  bool Steps() {
    stage_ = 1;
    ++reportCount;
    const TDateTime when = LocalNow();
    ThreadBusy() = true;
    struct TBusyReset {
      ~TBusyReset() { ThreadBusy() = false; }
    } busyReset;
    std::unique_ptr<TFaultThreadsList> snapshot;
    if (FaultThreads()) snapshot = std::make_unique<TFaultThreadsList>(*FaultThreads());
    lastReported = e_.Address;
    if (e_.Exception) {
      std::lock_guard<std::mutex> guard(lastExceptionLock);
      lastExceptions[nextLastException++ % lastExceptions.size()] = e_.Exception;
    }
    uintptr_t address = e_.Address;
    if (e_.AddressIsReturn && address >= 5) address -= 5;
    TFaultModulesList* modules = FaultModules();
    if (modules) modules->DropChanged();

    TFaultModuleOptionsEx& options = SelectOptions(address, modules);

    stage_ = 2;
    if (options.FilterOn()) {
      const auto& classes = options.FilterClasses();
      const auto& texts = options.FilterTexts();
      const std::vector<std::string> lineage = ClassLineage();
      for (size_t i = 0; i < classes.size(); ++i) {
        if (std::find(lineage.begin(), lineage.end(), classes[i]) == lineage.end()) continue;
        if (i < texts.size() && !texts[i].empty())
          MessageBoxA(nullptr, texts[i].c_str(), options.Texts()[0].c_str(), 0x242040);
        return false;
      }
    }

    // The machine's facts, read before any other thread is held.
    TReportEnvironment environment = QueryReportEnvironment();

    stage_ = 3;
    TFaultStackList stack;
    if (e_.Raise && !e_.Raise->Stack.empty()) {
      ScanCopy(stack, e_.Raise->Stack.data(), static_cast<uint32_t>(e_.Raise->Stack.size()), e_.Raise->StackPointer,
               true, address, e_.ThreadId, true);
    } else if (e_.Context && e_.StackCopy) {
      if (!e_.StackCopy->empty())
        ScanCopy(stack, e_.StackCopy->data(), static_cast<uint32_t>(e_.StackCopy->size()), ContextStack(*e_.Context), true,
                 address, e_.ThreadId, true);
      else
        stack.push_back(ResolveAddress(address, e_.ThreadId, true));
    } else if (e_.Context) {
      TStackScan scan;
      scan.HasStart = true;
      scan.StartAddress = address;
      scan.StackPointer = ContextStack(*e_.Context);
      scan.StackTop = e_.StackTop;
      scan.ThreadId = e_.ThreadId;
      auto live = NewStackList(scan);
      stack = std::move(*live);
    } else {
      stack.push_back(ResolveAddress(address, e_.ThreadId, true));
    }
    if (snapshot) {
      const int self = snapshot->IndexOfId(e_.ThreadId);
      if (self >= 0 && (*snapshot)[self].StackCopy) {
        const TFaultThreadRecord& r = (*snapshot)[self];
        ScanCopy(stack, reinterpret_cast<const void*>(static_cast<uintptr_t>(r.StackCopy)), r.StackCopySize, 0x1000,
                 false, 0, e_.ThreadId, false);
      }
    }

    stage_ = 4;
    if (snapshot) OtherThreadStacks(*snapshot, options.StackFlags(), stack);

    stage_ = 5;
    TSuspendedThreads held;
    std::vector<HANDLE> again;
    if (snapshot) {
      held.Reserve(static_cast<size_t>(snapshot->Count()));
      again.reserve(static_cast<size_t>(snapshot->Count()));
      const uint8_t flags = options.HandlingFlags();
      for (int i = 0; i < snapshot->Count(); ++i) {
        const TFaultThreadRecord& r = (*snapshot)[i];
        if (r.ThreadId == GetCurrentThreadId() || r.ThreadId == e_.ThreadId) continue;
        const bool framework = IsFrameworkThread(r, FaultMainThreadId());
        const bool selected = framework ? ((flags & 0x02) && !((flags & 0x04) && r.ThreadId == FaultMainThreadId()))
                                        : (flags & 0x08) != 0;
        if (selected) held.Suspend(reinterpret_cast<HANDLE>(r.Handle));
      }
      // A thread caught owning what the report needs is let go and caught again a moment later;
      // after enough tries, or when what it owns stays taken, the report goes on with the others
      // running rather than not at all.
      for (int attempt = 0; !held.Handles().empty() && !rehearsal.ReportCanGoOn(100); ++attempt) {
        again.assign(held.Handles().begin(), held.Handles().end());  // within its reserved room
        held.ResumeAll();
        if (!rehearsal.Settle(1000) || attempt == 20) break;
        Sleep(1);
        for (HANDLE h : again) held.Suspend(h);
      }
    }

    stage_ = 6;
    // Every loaded module goes into the report's modules table, not only those on the stacks.
    if (modules && (options.LogSections() & 0x10)) modules->Refresh();

    stage_ = 7;
    TReportData data;
    data.StartDate = startDate;
    char exe[MAX_PATH] = {};
    GetModuleFileNameA(nullptr, exe, sizeof exe);
    const TModuleVersion version = ReadModuleVersion(exe);  // one read of the version resource
    data.ApplicationName = version.Description.empty() ? FileNameOf(exe) : version.Description;
    data.ApplicationVersion = version.Version;
    data.Parameters = CommandLineParameters();
    data.ExceptionDate = when;
    data.ExceptionAddress = address;
    HMODULE faulting = ModuleOfAddress(address);
    if (faulting) {
      char path[MAX_PATH] = {};
      GetModuleFileNameA(faulting, path, sizeof path);
      data.ExceptionModule = FileNameOf(path);
    }
    data.ExceptionType = ClassName();
    NoteHandledException(data.ExceptionType);
    data.ExceptionMessage = Message();
    data.HasMessage = true;
    data.ConsoleProgram = IsConsoleProgram();
    data.Environment = std::move(environment);
    data.TimeZoneHours = LocalTimeZoneHours();
    data.Stack = std::move(stack);
    data.MainThreadId = FaultMainThreadId();
    if (snapshot)
      for (int i = 0; i < snapshot->Count(); ++i) data.Threads.push_back(ThreadInfoOf((*snapshot)[i]));
    if (modules) {
      std::lock_guard<std::recursive_mutex> guard(modules->Lock());
      data.Modules.reserve(static_cast<size_t>(modules->Count()));
      for (int i = 0; i < modules->Count(); ++i) {
        data.Modules.push_back(ModuleTableRow((*modules)[i]));
        if ((*modules)[i].ModuleType == ModuleExecutable) data.CompilationDate = (*modules)[i].BuildTime;
      }
    }
    data.WideAddresses = sizeof(void*) == 8;
    if (e_.Context) data.Cpu = ReadCpuSnapshot(*e_.Context, ContextInstruction(*e_.Context));
    data.Cpu.Wide = sizeof(void*) == 8;  // the registers' layout, also when none are known
    context_.Exception = e_.Exception ? &e_.Exception : nullptr;
    context_.Address = address;
    context_.ThreadId = e_.ThreadId;
    faulting_ = faulting;
    data.CustomData = RaiseCustomDataRequest(context_, faulting_);
    customValues_ = CustomValuesForReport();
    if (!customValues_.empty()) {
      if (!data.CustomData.empty()) data.CustomData += "\r\n";
      data.CustomData += CustomValuesText(customValues_);
    }
    data.HasCustomData = !data.CustomData.empty();
    // The dump is taken while the program's threads still wait, before any dialog.
    if (options.MinidumpMode() != 0) {
      minidumpPath_ = WriteReportMinidump(options, when, address, snapshot.get());
      if (!minidumpPath_.empty()) data.MinidumpFile = PathFileName(minidumpPath_);
    }
    TReportLayout layout = ReportLayoutFrom(options);
    layout.ReadThreadPriority = [](uint32_t id) -> int32_t {
      HANDLE h = OpenThread(THREAD_QUERY_INFORMATION, FALSE, id);
      if (!h) return ThreadPriorityUnknown;
      const int p = GetThreadPriority(h);
      CloseHandle(h);
      return p;
    };
    TReportTexts texts = BuildReportText(data, layout);
    // The program may take the exception back: its own handler then runs, nothing is saved.
    if (!RaiseExceptionNotify(context_, faulting_)) return true;

    stage_ = 8;
    bool keepGoing = true;
    bool leaveToProgram = false;
    if (options.HandlingFlags() & 0x01) recentErrors.Add(when, options.CrashCount());
    stage_ = 11;
    const bool dialogOn = (options.DialogFlags() & 0x01) != 0;
    // A server process has no desktop: its reports answer the pending request with a page.
    const bool webPage = e_.Presentation == PresentWebServer ||
                         (IsServerProcess() && (e_.Presentation == PresentGeneral || !dialogOn));
    const bool canShowWindows = !data.ConsoleProgram && !webPage;
    // Without a dialog the report goes where the options send it; the dialog lets the user choose.
    const bool deliveryConfigured = options.MailMode() != 0 || options.UploadMode() != 0;
    bool send = deliveryConfigured;
    bool attachScreenshot = deliveryConfigured && (options.SendFlags() & 0x0010) != 0;
    // The screenshot shows the program as it was, before any dialog of ours opens.
    bool screenshotTaken = false;
    if (attachScreenshot && canShowWindows) {
      ScreenshotCapture((options.SendFlags() & 0x0020) != 0, RecordScreenshotMarks(e_.ThreadId));
      screenshotTaken = true;
    }
    if (!dialogOn || RaiseActionNotify(context_, faulting_, ActionBeforeDialog)) {
      if (webPage) {
        // The outcome does not end the process: a failed page must not take a web server down.
        WebPresentation(Message(), options, e_.ThreadId);
      } else if (data.ConsoleProgram) {
        WriteConsoleReport(texts.Report);
      } else if (ReportSeams().ShowDialog) {
        keepGoing = ReportSeams().ShowDialog(texts, e_.Presentation);
      } else if (dialogOn && canShowWindows) {
        stage_ = 12;
        TDialogReport report;
        report.Texts = &texts;
        report.Data = &data;
        report.Message = data.ExceptionMessage;
        report.ErrorCount = static_cast<int>(reportCount.load());
        report.Duplicate = options.LogSaved() &&
                           IsDuplicateReport(options.LogSections(), options.LogFileName(), texts, DefaultLogStorage());
        const TDialogChoices choices = ShowExceptionDialog(options, report);
        send = choices.Send;
        attachScreenshot = choices.Screenshot;
        keepGoing = !choices.Terminate;
        // How to reproduce it, in the user's words, goes into what is saved and sent.
        if (keepGoing && RequestDialogWanted(options, report, send))
          AddReproduceSection(texts, layout, ShowRequestDialog(options));
      } else if (e_.Presentation == PresentApplication) {
        // Without a dialog of its own the report leaves the display to the application's handler.
        leaveToProgram = true;
      }
      if (dialogOn) RaiseActionNotify(context_, faulting_, ActionAfterDialog);
    }

    stage_ = 16;
    std::string logName;
    TLogSaveResult saved;
    if (options.LogSaved()) {
      TLogSaveRequest request;
      request.LogSaved = options.LogSaved();
      request.LogMaxReports = options.LogMaxReports();
      request.SendFlags = options.SendFlags();
      request.LogFileName = [&options, &logName] { return logName = options.LogFileName(); };
      request.ReportText = texts.Report;
      request.ExceptionAddress = address;
      TLogSaveEvents events;
      events.BeforeSave = [this](bool& allowed) { allowed = RaiseActionNotify(context_, faulting_, ActionBeforeLogSave); };
      events.SaveFailed = [this](bool& retry) { retry = RaiseErrorNotify(context_, faulting_, ErrorLogSave); };
      events.AfterSave = [this] { RaiseActionNotify(context_, faulting_, ActionAfterLogSave); };
      saved = SaveReportToLog(request, events, DefaultLogStorage());
    }
    if (ReportSeams().Deliver) ReportSeams().Deliver(texts, logName);
    held.ResumeAll();
    const bool crash = (options.HandlingFlags() & 0x01) &&
                       recentErrors.CrashRuleMet(options.CrashCount(), options.CrashMinutes());
    const bool processEnds = e_.ProcessEnds || crash || !keepGoing;
    if (send && deliveryConfigured) Deliver(options, texts, saved, logName, when, address, canShowWindows,
                                          screenshotTaken && attachScreenshot, processEnds);
    if (screenshotTaken) ScreenshotRelease();

    stage_ = 18;
    if (crash || !keepGoing) EndProcess(crash ? options.CrashAction() : options.TerminateAction());
    return leaveToProgram;
  }

  // Writes this report's minidump beside the log (the oldest beyond the kept number go) and returns
  // its path; empty when none could be written (the reason goes to the internal warnings).
  std::string WriteReportMinidump(const TFaultModuleOptionsEx& options, TDateTime when, uintptr_t address,
                                  const TFaultThreadsList* snapshot) {
    const std::string log = options.LogFileName();
    const std::string folder = log.substr(0, PathNameStart(log));
    const std::vector<std::string> names = FileNamesIn(folder, "*.dmp");
    TMinidumpRequest request;
    request.Path = MinidumpPathFor(log, when, names);
    request.Mode = options.MinidumpMode();
    request.ThreadId = e_.ThreadId;
    request.Context = e_.Context;
    request.Record = e_.Record;
    request.Code = ExternalCodeOf(e_.Exception);
    request.Address = address;
    if (snapshot)
      for (int i = 0; i < snapshot->Count(); ++i)
        request.Threads.push_back({(*snapshot)[i].ThreadId, reinterpret_cast<HANDLE>((*snapshot)[i].Handle)});
    if (TFaultModulesList* modules = FaultModules()) {
      if (!(options.LogSections() & 0x10)) modules->Refresh();  // else the report did it a moment ago
      std::lock_guard<std::recursive_mutex> guard(modules->Lock());
      for (int i = 0; i < modules->Count(); ++i)
        request.Modules.push_back({static_cast<uintptr_t>((*modules)[i].Handle), (*modules)[i].Path});
    }
    std::string error;
    if (!WriteMinidump(request, error)) {
      InternalWarning(eeLogError, address, error);
      return {};
    }
    for (const std::string& old : MinidumpsToDelete(log, names, kKeptMinidumps - 1))
      DeleteFileA((folder + old).c_str());
    return request.Path;
  }

  // The system's code of an exception that was one before it became a C++ exception; the code of
  // reports without one otherwise.
  static DWORD ExternalCodeOf(const std::exception_ptr& e) {
    if (!e) return kReportedExceptionCode;
    try {
      std::rethrow_exception(e);
    } catch (const EExternal& external) {
      return external.Code();
    } catch (...) {
    }
    return kReportedExceptionCode;
  }

  // Delivers the saved report on this thread, while the faulting thread still waits. The events
  // reach the program's sinks as every event of the report does.
  void Deliver(const TFaultModuleOptionsEx& options, const TReportTexts& texts, const TLogSaveResult& saved,
               const std::string& logName, TDateTime when, uintptr_t address, bool canShowWindows, bool screenshot,
               bool processEnds) {
    stage_ = 17;
    TDeliveryRequest request;
    request.ProcessEnds = processEnds;
    request.Options = &options;
    request.Report = texts;
    request.DeliveryText = saved.DeliverWholeLog ? saved.DeliveryText : texts.Report;
    request.LogFileName = logName.empty() ? options.LogFileName() : logName;
    request.ExceptionTime = when;
    request.ExceptionAddress = address;
    request.CanShowWindows = canShowWindows;
    if (screenshot) {
      char folder[MAX_PATH] = {};
      GetTempPathA(sizeof folder, folder);
      request.ScreenshotFile = std::string(folder) + "Screenshot.png";
      ScreenshotSave(request.ScreenshotFile);
    }
    request.AttachScreenshot = screenshot;
    request.MinidumpFile = minidumpPath_;
    request.HasLastHtmlPage = LastHtmlPage(request.LastHtmlPage);
    request.WebServerScript = IsServerProcess();
    // What the events need, kept alive for a delivery that outlasts this report (in the
    // background its events run on the send thread itself).
    struct TKept {
      std::exception_ptr Exception;
      TFaultExceptionContext Context;
      HMODULE Faulting = nullptr;
      std::shared_ptr<TFaultModuleOptionsEx> Options;
      std::string Screenshot;
      std::vector<std::pair<std::string, std::string>> Values;
    };
    auto kept = std::make_shared<TKept>();
    kept->Exception = e_.Exception;
    kept->Context = context_;
    kept->Context.Exception = kept->Exception ? &kept->Exception : nullptr;
    kept->Faulting = faulting_;
    kept->Options = selected_;
    kept->Screenshot = request.ScreenshotFile;
    request.Events.Action = [kept](int action, bool& goOn) {
      const bool answer = RaiseActionNotify(kept->Context, kept->Faulting, action);
      if (action == ActionBeforeMail || action == ActionBeforeWeb) goOn = answer;
    };
    request.Events.Error = [kept](int kind, bool& retry) { retry = RaiseErrorNotify(kept->Context, kept->Faulting, kind); };
    request.Events.AttachedFiles = [kept](std::vector<std::string>& files) {
      RaiseAttachedFilesRequest(kept->Context, kept->Faulting, files);
    };
    kept->Values = customValues_;
    request.Events.CustomFields = [kept](std::vector<std::string>& names, std::vector<std::string>& values) {
      // The program's values as they were at the report, then what its handlers add.
      for (const auto& [name, value] : kept->Values) {
        names.push_back(name);
        values.push_back(value);
      }
      RaiseCustomFieldsRequest(kept->Context, kept->Faulting, names, values);
    };
    TDeliveryHooks hooks;
    // A later report waits until a background delivery is done.
    hooks.EnterLock = [] { EnterCriticalSection(&handlerLock); };
    hooks.LeaveLock = [] { LeaveCriticalSection(&handlerLock); };
    hooks.AfterRun = [kept](const TDeliveryResult&) {
      if (!kept->Screenshot.empty()) DeleteFileA(kept->Screenshot.c_str());
    };
    TDeliveryResult result;
    if (StartDelivery(request, hooks, &result) && !kept->Screenshot.empty()) DeleteFileA(kept->Screenshot.c_str());
  }

  // The options of the module the exception belongs to: the faulting module's when it carries
  // debug information, else the module named by the caller's, else the executable's (or the
  // executable's first, with HandlingFlags 0x10). The running module's are its live options (the
  // program may have changed them); another module's come from its own container.
  TFaultModuleOptionsEx& SelectOptions(uintptr_t address, TFaultModulesList* modules) {
    stage_ = 101;
    TFaultModuleOptionsEx& own = FaultLoadOwnOptions();
    TFaultModuleOptionsEx* options = &own;
    std::string path;
    if (modules) {
      std::lock_guard<std::recursive_mutex> guard(modules->Lock());
      auto usable = [](const TFaultModuleInfo* r) { return r && r->DebugInfo; };
      TFaultModuleInfo* record = modules->LookupByAddress(address);
      if (!usable(record)) {
        stage_ = 102;
        if (TFaultModuleInfo* passed = modules->Lookup(e_.Module); usable(passed)) record = passed;
      }
      TFaultModuleInfo* exe = modules->Lookup(GetModuleHandleA(nullptr));
      if (!usable(record)) {
        stage_ = 103;
        if (exe) record = exe;
      }
      if (record && record->Options && (record->Options->HandlingFlags() & 0x10) && usable(exe)) record = exe;
      if (record) {
        path = record->Path;
        if (record->Handle != reinterpret_cast<uintptr_t>(FaultRunningModule()) &&
            record->Options) {
          selected_ = record->Options;
          options = selected_.get();
        }
      }
    }
    stage_ = 104;
    // Inside the development environment its own debugger shows the exception.
    if (IsDevelopmentEnvironment()) options->SetDialogFlags(static_cast<uint8_t>(options->DialogFlags() & ~0x80));
    if (!path.empty()) options->SetModulePath(path);
    return *options;
  }

  void OtherThreadStacks(const TFaultThreadsList& snapshot, uint8_t stackFlags, TFaultStackList& stack) {
    // Everything the suspended threads' stacks go into is allocated first: a suspended thread may
    // hold the heap's lock, and nothing here may wait for it.
    std::vector<TThreadStackCopy> copies;
    std::vector<HANDLE> handles;
    for (int i = 0; i < snapshot.Count(); ++i) {
      const TFaultThreadRecord& r = snapshot[i];
      if (r.ThreadId == GetCurrentThreadId() || r.ThreadId == e_.ThreadId) continue;
      if (!SelectedBy(stackFlags, 0x04, 0x08, r)) continue;
      TThreadStackCopy c;
      c.ThreadId = r.ThreadId;
      c.StackTop = r.StackTop;
      c.Stack.reserve(MaxRaiseStack);
      copies.push_back(std::move(c));
      handles.push_back(reinterpret_cast<HANDLE>(r.Handle));
    }
    {
      TSuspendedThreads suspended;
      suspended.Reserve(handles.size());
      for (HANDLE h : handles) suspended.Suspend(h);
      for (size_t i = 0; i < copies.size(); ++i) {
        TThreadStackCopy& c = copies[i];
        c.Context.ContextFlags = CONTEXT_FULL;
        c.HasContext = GetThreadContext(handles[i], &c.Context) != 0;
        if (c.HasContext) CopyHeldStack(ContextStack(c.Context), c.StackTop, c.Stack);
      }
    }  // resumed here, before any name is looked up
    for (const TThreadStackCopy& c : copies) {
      if (!c.HasContext) continue;
      if (c.Stack.empty()) {
        stack.push_back(ResolveAddress(ContextInstruction(c.Context), c.ThreadId, true));
        continue;
      }
      ScanCopy(stack, c.Stack.data(), static_cast<uint32_t>(c.Stack.size()), ContextStack(c.Context), true, ContextInstruction(c.Context),
               c.ThreadId, true);
    }
  }

  std::vector<std::string> ClassLineage() const {
    if (!e_.Exception) return {e_.ClassName, "EExternal", "Exception", "std::exception"};
    return ExceptionLineage(e_.Exception);
  }

  std::string ClassName() const {
    if (!e_.ClassName.empty() || !e_.Exception) return e_.ClassName;
    return ExceptionClassName(e_.Exception);
  }
  std::string Message() const {
    if (!e_.Exception) return e_.Message;
    return ExceptionMessage(e_.Exception);
  }

  static void WriteConsoleReport(const std::string& report) {
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    if (!out || out == INVALID_HANDLE_VALUE) throw Exception("Console");
    const std::string line = report + "\r\n";
    DWORD written = 0;
    if (!WriteFile(out, line.data(), static_cast<DWORD>(line.size()), &written, nullptr)) throw Exception("Console");
  }

  static void EndProcess(uint8_t action) {
    if (action == 1) {
      // A new instance with the same command line, started from where this one was started.
      STARTUPINFOA si{};
      si.cb = sizeof si;
      PROCESS_INFORMATION pi{};
      std::string commandLine = GetCommandLineA();
      if (CreateProcessA(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0x220, nullptr,
                         startDirectory[0] ? startDirectory : nullptr, &si, &pi)) {
        CloseHandle(pi.hThread);
        CloseHandle(pi.hProcess);
      }
    }
    TerminateProcess(GetCurrentProcess(), 1);
  }

  void InternalError(const std::exception_ptr& error) {
    ++internalErrorCount;
    try {
      // Where the failing step raised it, when this thread recorded that raise.
      uintptr_t address = e_.Address;
      const void* object = nullptr;
      std::memcpy(&object, &error, sizeof object);
      const TRaiseInfo& raise = ThreadRaise();
      if (object && raise.Object == object) address = raise.ReturnAddress;
      ReportInternalBug(error, ExceptionLineage(error), stage_, address, stackPointer_);
    } catch (...) {
    }
  }

  TExceptionEvent& e_;
  int stage_ = 0;
  uintptr_t stackPointer_ = 0;  // where this report's stack began
  std::shared_ptr<TFaultModuleOptionsEx> selected_;  // another module's options, while they are used
  TFaultExceptionContext context_;
  HMODULE faulting_ = nullptr;
  std::vector<std::pair<std::string, std::string>> customValues_;  // the program's, at this report
  std::string minidumpPath_;  // the dump written for this report; empty: none
};

// The report thread: it runs every report, at the highest priority, while the faulting thread
// waits. It is made when reporting starts, before any fault: a thread made at the fault would not
// start while the faulting thread holds the loader's lock (a library's global constructor or
// destructor), nor while the allocator is broken. It is not in the thread list, so no report holds
// it or shows its stack.
class TReportThread {
 public:
  bool Start() {
    if (handle_) return true;
    posted_ = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    done_ = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    ended_ = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (posted_ && done_ && ended_) handle_ = CreateUnlistedThread(Body, this, 0, &id_);
    if (handle_) SetThreadPriority(handle_, THREAD_PRIORITY_HIGHEST);
    return handle_ != nullptr;
  }

  // Ends the thread; no report runs (the caller has passed through the handler lock). In a DLL
  // being unloaded the thread cannot finish exiting (that takes the loader's lock, held by the
  // unloading thread): it is waited for until it has left this module's code, not until its end.
  void Stop() {
    if (handle_) {
      stopping_ = true;
      SetEvent(posted_);
      WaitForHelperEnd(handle_, ended_, 5000);
    }
    for (HANDLE h : {posted_, done_, ended_})
      if (h) CloseHandle(h);
    handle_ = posted_ = done_ = ended_ = nullptr;
    id_ = 0;
    stopping_ = false;
    lost_ = false;
  }

  DWORD Id() const { return id_; }
  HANDLE Done() const { return done_; }
  bool Running() const { return handle_ != nullptr && !lost_; }

  // On the report thread: see AbandonReport.
  [[noreturn]] void Abandon(const std::exception_ptr& error) {
    if (!lost_.exchange(true)) {
      if (current_ && error) {
        try {
          current_->Fail(error);
        } catch (...) {
        }
      } else {
        ++internalErrorCount;
      }
      result_ = false;
      executing_ = false;
      SetEvent(done_);
      SetEvent(ended_);
    }
    ExitThread(1);
  }

  // Hands a report to the thread; Executing() stays true until it has ended.
  void Post(TExceptionEvent& event) {
    event_ = &event;
    result_ = false;
    executing_ = true;
    SetEvent(posted_);
  }
  bool Executing() const { return executing_.load(); }
  bool Result() const { return result_; }

 private:
  static DWORD WINAPI Body(LPVOID self) {
    auto* t = static_cast<TReportThread*>(self);
    // While no report is asked for, the facts a report keeps between reports are kept current.
    auto refresh = [] {
      try {
        RefreshReportEnvironment();
      } catch (...) {
      }
    };
    refresh();
    for (;;) {
      if (WaitForSingleObject(t->posted_, kReportEnvironmentRefresh) == WAIT_TIMEOUT) {
        if (!t->stopping_) refresh();
        continue;
      }
      if (t->stopping_) break;
      bool result = false;
      try {
        TReportRun run(*t->event_);
        t->current_ = &run;
        result = run.Run();
      } catch (...) {
        result = false;
      }
      t->current_ = nullptr;
      t->result_ = result;
      t->executing_ = false;
      SetEvent(t->done_);
    }
    // The last thing done in this module's code: the thread goes straight to its end.
    SetEvent(t->ended_);
    ExitThread(0);
  }

  HANDLE handle_ = nullptr, posted_ = nullptr, done_ = nullptr, ended_ = nullptr;
  DWORD id_ = 0;
  std::atomic<bool> stopping_{false};
  std::atomic<bool> executing_{false};
  std::atomic<bool> lost_{false};
  TExceptionEvent* event_ = nullptr;
  TReportRun* current_ = nullptr;
  bool result_ = false;
};
TReportThread reportThread;

// One pass of message handling for a main thread that waits for its report: input is dropped,
// a quit request is kept back for later, the rest is handled.
bool PumpWaitingMessages(bool& quitSeen, WPARAM& quitCode) {
  MSG msg;
  for (int i = 0; i < 11 && PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE); ++i) {
    switch (ClassifyWaitMessage(msg.message)) {
      case TWaitMessage::KeepQuit:
        quitSeen = true;
        quitCode = msg.wParam;
        break;
      case TWaitMessage::DropWithBeep:
        MessageBeep(0);
        break;
      case TWaitMessage::Dispatch:
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
        break;
    }
  }
  return true;
}

void RunPendingCall() {
  std::lock_guard<std::mutex> guard(slotLock);
  if (!pendingCall) return;
  try {
    (*pendingCall)();
  } catch (...) {
  }
  pendingCall = nullptr;
  SetEvent(callDone);
}

}  // namespace

uintptr_t LastReportedAddress() { return lastReported.load(); }

bool AlreadyReported(const std::exception_ptr& e) {
  std::lock_guard<std::mutex> guard(lastExceptionLock);
  return e && std::find(lastExceptions.begin(), lastExceptions.end(), e) != lastExceptions.end();
}

std::vector<std::string> ExceptionLineage(const std::exception_ptr& e) {
  if (!e) return {};
  try {
    std::rethrow_exception(e);
  } catch (...) {
    return TypeLineage(abi::__cxa_current_exception_type());
  }
}

TReportSeams& ReportSeams() {
  static TReportSeams seams;
  return seams;
}

TCaptureCounters CaptureCounters() {
  TCaptureCounters c;
  c.Reports = reportCount.load();
  c.InternalErrors = internalErrorCount.load();
  return c;
}

void RunOnWaitingMainThread(const std::function<void()>& call) {
  const DWORD waiter = waitingThread.load();
  if (waiter == 0 || waiter == GetCurrentThreadId()) {
    try {
      call();
    } catch (...) {
    }
    return;
  }
  {
    std::lock_guard<std::mutex> guard(slotLock);
    ResetEvent(callDone);
    pendingCall = &call;
  }
  SetEvent(callPosted);
  for (;;) {
    WaitForSingleObject(callDone, 10);
    std::lock_guard<std::mutex> guard(slotLock);
    if (!pendingCall) return;
  }
}

void InitDispatcher() {
  if (dispatcherReady) return;
  PrepareReportEnvironment();
  InitializeCriticalSection(&handlerLock);
  callPosted = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  callDone = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  startDate = LocalNow();
  GetCurrentDirectoryA(sizeof startDirectory, startDirectory);
  dispatcherReady = true;
}

bool IsReportThread() { return reportThread.Id() != 0 && GetCurrentThreadId() == reportThread.Id(); }

void AbandonReport(const std::exception_ptr& error) { reportThread.Abandon(error); }

void StartReportHelpers() {
  rehearsal.Start();
  reportThread.Start();
}

void DoneDispatcher() {
  if (!dispatcherReady) return;
  // Passes once through the lock: a report still running finishes first.
  EnterCriticalSection(&handlerLock);
  LeaveCriticalSection(&handlerLock);
  dispatcherReady = false;
  reportThread.Stop();
  rehearsal.Stop();
  {
    std::lock_guard<std::mutex> guard(lastExceptionLock);
    lastExceptions.fill(nullptr);  // their objects may belong to a module about to go
  }
  DeleteCriticalSection(&handlerLock);
  CloseHandle(callPosted);
  CloseHandle(callDone);
  callPosted = callDone = nullptr;
}

bool TryBeginReport() { return dispatcherReady && TryEnterCriticalSection(&handlerLock); }
void EndReport() { LeaveCriticalSection(&handlerLock); }

bool DispatchException(TExceptionEvent& event) {
  if (!dispatcherReady || !FaultlineActive()) return true;
  // A fault of the report itself: the faulting thread holds the lock while it waits for this very
  // report, so waiting for the lock here would hang both. Not reported.
  if (GetCurrentThreadId() == reportThread.Id()) return false;
  EnterCriticalSection(&handlerLock);
  struct TLeave {
    ~TLeave() { LeaveCriticalSection(&handlerLock); }
  } leave;
  if (ThreadInHandler()) return false;  // an exception inside a report is not reported
  ThreadInHandler() = true;
  struct TReset {
    ~TReset() { ThreadInHandler() = false; }
  } reset;
  if (!FaultLoadOwnOptions().HandlingOn()) return true;
  if (event.ThreadId == 0) event.ThreadId = GetCurrentThreadId();

  if (!reportThread.Running()) {
    ++internalErrorCount;  // no thread for the report: the faulting thread goes on
    return true;
  }
  const bool onMain = GetCurrentThreadId() == FaultMainThreadId();
  waitingThread = GetCurrentThreadId();
  reportThread.Post(event);
  bool quitSeen = false;
  WPARAM quitCode = 0;
  bool pumping = onMain;
  while (reportThread.Executing()) {
    if (pumping) {
      try {
        PumpWaitingMessages(quitSeen, quitCode);
      } catch (...) {
        pumping = false;  // a handler that throws ends pumping for the rest of the wait
      }
    }
    RunPendingCall();
    // Polls every 10 ms at the latest; wakes at once when the report ends, a call is posted or,
    // while pumping, a message comes.
    HANDLE waits[2] = {reportThread.Done(), callPosted};
    if (pumping)
      MsgWaitForMultipleObjects(2, waits, FALSE, 10, QS_ALLINPUT);
    else
      WaitForMultipleObjects(2, waits, FALSE, 10);
  }
  waitingThread = 0;
  RunPendingCall();
  const bool result = reportThread.Result();
  // A quit request that came while waiting is handed back to the message loop.
  if (quitSeen) PostQuitMessage(static_cast<int>(quitCode));
  return result;
}

std::string OsExceptionClassName(DWORD code) {
  switch (code) {
    case EXCEPTION_ACCESS_VIOLATION: return "EAccessViolation";
    case EXCEPTION_INT_DIVIDE_BY_ZERO: return "EDivByZero";
    case EXCEPTION_INT_OVERFLOW: return "EIntOverflow";
    case EXCEPTION_FLT_DIVIDE_BY_ZERO: return "EZeroDivide";
    case EXCEPTION_FLT_OVERFLOW: return "EOverflow";
    case EXCEPTION_FLT_UNDERFLOW: return "EUnderflow";
    case EXCEPTION_FLT_INVALID_OPERATION: return "EInvalidOp";
    case EXCEPTION_STACK_OVERFLOW: return "EStackOverflow";
    case EXCEPTION_PRIV_INSTRUCTION: return "EPrivilege";
    case EXCEPTION_ILLEGAL_INSTRUCTION: return "EExternalException";
    default: return "EExternalException";
  }
}

std::string OsExceptionMessage(const EXCEPTION_RECORD& record) {
  char text[256];
  // Addresses as wide as the program's: 8 digits in a 32-bit one, 16 in a 64-bit one.
  const int digits = 2 * sizeof(void*);
  const unsigned long long at = reinterpret_cast<uintptr_t>(record.ExceptionAddress);
  switch (record.ExceptionCode) {
    case EXCEPTION_ACCESS_VIOLATION: {
      const bool write = record.NumberParameters >= 2 && record.ExceptionInformation[0] == 1;
      const unsigned long long target = record.NumberParameters >= 2 ? record.ExceptionInformation[1] : 0;
      std::snprintf(text, sizeof text, "Access violation at address %0*llX. %s of address %0*llX", digits, at,
                    write ? "Write" : "Read", digits, target);
      return text;
    }
    case EXCEPTION_INT_DIVIDE_BY_ZERO: return "Division by zero";
    case EXCEPTION_STACK_OVERFLOW: return "Stack overflow";
    case EXCEPTION_PRIV_INSTRUCTION: return "Privileged instruction";
    default:
      std::snprintf(text, sizeof text, "External exception %08X", static_cast<unsigned>(record.ExceptionCode));
      return text;
  }
}
