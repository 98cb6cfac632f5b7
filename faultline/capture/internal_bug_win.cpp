// The self-diagnosis of the report flow: an exception that escapes one of its own steps is not
// reported through the flow itself (it is what just failed). A developer gets a line in the
// debugger output, a short text file beside the program and the offer to mail it to the vendor;
// anyone else gets nothing.
#include <windows.h>

#include <cstring>

#include "faultline/capture/capture.h"
#include "faultline/capture/dispatch.h"
#include "faultline/internal/internal_bug.h"
#include "faultline/lists/modules_list.h"
#include "faultline/lists/threads_list.h"
#include "faultline/log/log_file.h"
#include "faultline/log/log_storage.h"
#include "faultline/report/report_environment.h"
#include "faultline/report/report_format.h"
#include "faultline/stack/stack.h"
#include "rtl/application.h"
#include "rtl/cpu_context.h"

namespace {

bool (*debuggerProbe)() = nullptr;

// A debugger is attached: the system says so or, on a system without that question, the address
// returned for GetProcAddress lies below kernel32 (a debugger's stub stands in for it).
bool DebuggerAttached() {
  if (debuggerProbe) return debuggerProbe();
  HMODULE kernel = GetModuleHandleA("kernel32.dll");
  using TIsDebuggerPresent = BOOL(WINAPI*)();
  auto present =
      reinterpret_cast<TIsDebuggerPresent>(reinterpret_cast<void*>(GetProcAddress(kernel, "IsDebuggerPresent")));
  if (present) return present() != FALSE;
  return reinterpret_cast<uintptr_t>(reinterpret_cast<void*>(GetProcAddress(kernel, "GetProcAddress"))) <
         reinterpret_cast<uintptr_t>(kernel);
}

std::vector<TInternalBugStackLine> StackLines(uintptr_t stackPointer) {
  TStackScan scan;
  scan.StackPointer = stackPointer;
  scan.StackTop = CurrentStackTop();
  scan.ThreadId = 0;
  std::vector<TInternalBugStackLine> lines;
  auto entries = NewStackList(scan);
  for (const TFaultDebugInfo& e : *entries) {
    TInternalBugStackLine l;
    l.Address = e.Address;
    HMODULE module = ModuleOfAddress(e.Address);
    l.ModuleHandle = reinterpret_cast<uintptr_t>(module);
    char path[MAX_PATH] = {};
    if (module) GetModuleFileNameA(module, path, sizeof path);
    l.ModuleFile = ReportPathFileName(path);
    l.Unit = e.UnitName;
    l.Class = e.ClassName;
    l.Procedure = e.ProcedureName;
    l.Line = e.Line;
    lines.push_back(std::move(l));
  }
  return lines;
}

std::string LastHandledClass;

}  // namespace

void SetDebuggerPresentProbe(bool (*probe)()) { debuggerProbe = probe; }

void NoteHandledException(const std::string& className) { LastHandledClass = className; }

void ReportInternalBug(const std::exception_ptr& error, const std::vector<std::string>& lineage, int section,
                       uintptr_t address, uintptr_t reportStackPointer) {
  if (IsQuietInternalError(lineage)) return;
  if (!IsDevelopmentEnvironment() && !DebuggerAttached()) return;
  TInternalBugFacts f;
  f.Section = section;
  f.Address = address;
  f.Message = "General internal error.";
  if (error) {
    try {
      std::rethrow_exception(error);
    } catch (const std::exception& e) {
      f.Exception = ExceptionClassName(error);
      f.Message = e.what();
    } catch (...) {
    }
  }
  OutputDebugStringA(InternalErrorDebugLine(section, address, f.Message).c_str());

  f.Date = FormatDateR(LocalNow(), LocalTimeZoneHours());
  f.Os = QueryReportEnvironment().OsName;
  f.LastExcept = LastHandledClass;
  uint8_t bytes[32];
  SIZE_T read = 0;
  if (ReadProcessMemory(GetCurrentProcess(), reinterpret_cast<const void*>(static_cast<uintptr_t>(address)), bytes,
                        sizeof bytes, &read) &&
      read == sizeof bytes)
    f.Dump = InternalBugDump(bytes, sizeof bytes);
  const uintptr_t here = CurrentStackPointer();
  const uintptr_t from = IsDevelopmentEnvironment() || !reportStackPointer ? here : reportStackPointer;
  try {
    f.Stack = StackLines(from);
  } catch (...) {
    f.Stack.clear();  // the diagnosis goes out without its stack rather than not at all
  }

  // Beside the program, or where the log's folder fallback finds room.
  char program[MAX_PATH] = {};
  GetModuleFileNameA(nullptr, program, sizeof program);
  std::string name = program;
  const size_t slash = name.find_last_of('\\');
  const size_t dot = name.rfind('.');
  if (dot != std::string::npos && (slash == std::string::npos || dot > slash)) name.resize(dot);
  name += ".log";
  TLogStorage& storage = DefaultLogStorage();
  name = ResolveLogFileName(name, false, storage);
  if (!storage.CanOpen(name, false)) return;
  try {
    storage.Create(name)->Rewrite(InternalBugText(f) + (f.Stack.empty() ? "\r\n" : ""));
  } catch (...) {
    return;
  }

  const UINT style = MB_TASKMODAL | MB_TOPMOST | MB_SERVICE_NOTIFICATION;
  if (MessageBoxA(nullptr, InternalBugQuestion(f.Message).c_str(), kInternalBugCaption,
                  MB_YESNO | MB_ICONERROR | style) != IDYES)
    return;
  const std::string support = InternalBugConfig().SupportAddress;
  const auto& mail = ReportSeams().MailFile;
  bool sent = false;
  try {
    sent = mail && mail(support, kInternalBugSubject, kInternalBugSubject, name);
  } catch (...) {
  }
  if (!sent)
    MessageBoxA(nullptr, InternalBugMailFailedText(name, support).c_str(), kInternalBugInfoCaption,
                MB_OK | MB_ICONEXCLAMATION | style);
}
