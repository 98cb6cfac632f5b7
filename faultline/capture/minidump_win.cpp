#include "faultline/capture/minidump.h"

#include <dbghelp.h>

#include <atomic>
#include <cstring>

namespace {

using TMiniDumpWriteDump = BOOL(WINAPI*)(HANDLE, DWORD, HANDLE, MINIDUMP_TYPE, PMINIDUMP_EXCEPTION_INFORMATION,
                                         PMINIDUMP_USER_STREAM_INFORMATION, PMINIDUMP_CALLBACK_INFORMATION);
using TSymInitialize = BOOL(WINAPI*)(HANDLE, PCSTR, BOOL);
std::atomic<TMiniDumpWriteDump> writeDump{nullptr};
// The process as the library knows it for our dumps: a handle of our own, so that a program that
// uses the library itself (on GetCurrentProcess()) never meets our session, nor we its.
HANDLE dumpProcess = nullptr;

std::string SystemError(const char* what, DWORD code) {
  return std::string(what) + " failed (system error " + std::to_string(code) + ").";
}

}  // namespace

void PrepareMinidumps() {
  if (writeDump.load()) return;
  // The system's copy, never one that happens to lie beside the program.
  HMODULE library = LoadLibraryExA("dbghelp.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
  if (!library) library = LoadLibraryA("dbghelp.dll");  // systems without the search flags
  if (!library) return;
  // The library stays loaded for the process's life: a report may need it at any time.
  auto write = reinterpret_cast<TMiniDumpWriteDump>(reinterpret_cast<void*>(GetProcAddress(library, "MiniDumpWriteDump")));
  auto initialize = reinterpret_cast<TSymInitialize>(reinterpret_cast<void*>(GetProcAddress(library, "SymInitialize")));
  if (!write) return;
  if (!DuplicateHandle(GetCurrentProcess(), GetCurrentProcess(), GetCurrentProcess(), &dumpProcess, 0, FALSE,
                       DUPLICATE_SAME_ACCESS))
    return;
  // A session opened now, without reading any module's symbols: a dump then finds it and does not
  // open one of its own, which would read the symbols of every module (seconds under Wine) while
  // the program waits. A dump needs no symbols.
  if (initialize) initialize(dumpProcess, nullptr, FALSE);
  writeDump.store(write);
}

bool WriteMinidump(const TMinidumpRequest& request, std::string& error) {
  const TMiniDumpWriteDump write = writeDump.load();
  if (!write) {
    error = "Minidump not written: the debug-help library was not loaded when reporting started.";
    return false;
  }
  // The thread's own context when the exception left none: it waits for this report inside the
  // reporting code, on top of the frames that raised it.
  CONTEXT current;
  const CONTEXT* context = request.Context;
  if (!context && request.ThreadId != GetCurrentThreadId()) {
    if (HANDLE thread = OpenThread(THREAD_SUSPEND_RESUME | THREAD_GET_CONTEXT, FALSE, request.ThreadId)) {
      std::memset(&current, 0, sizeof current);
      current.ContextFlags = CONTEXT_FULL;
      if (SuspendThread(thread) != static_cast<DWORD>(-1)) {
        if (GetThreadContext(thread, &current)) context = &current;
        ResumeThread(thread);
      }
      CloseHandle(thread);
    }
  }
  EXCEPTION_RECORD record;
  std::memset(&record, 0, sizeof record);
  if (request.Record) {
    record = *request.Record;
    record.ExceptionRecord = nullptr;  // a chained record may be gone by now
  } else {
    record.ExceptionCode = request.Code;
    record.ExceptionAddress = reinterpret_cast<void*>(request.Address);
  }
  CONTEXT contextCopy;
  EXCEPTION_POINTERS pointers;
  MINIDUMP_EXCEPTION_INFORMATION exception;
  PMINIDUMP_EXCEPTION_INFORMATION exceptionParam = nullptr;
  if (context) {
    contextCopy = *context;
    pointers.ExceptionRecord = &record;
    pointers.ContextRecord = &contextCopy;
    exception.ThreadId = request.ThreadId;
    exception.ExceptionPointers = &pointers;
    exception.ClientPointers = FALSE;
    exceptionParam = &exception;
  }
  HANDLE file = CreateFileA(request.Path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    error = SystemError(("Minidump not written: creating \"" + request.Path + "\"").c_str(), GetLastError());
    return false;
  }
  const MINIDUMP_TYPE type = request.Mode >= 2
                                 ? static_cast<MINIDUMP_TYPE>(MiniDumpWithFullMemory | MiniDumpWithHandleData)
                                 : MiniDumpNormal;
  const BOOL written = write(dumpProcess, GetCurrentProcessId(), file, type, exceptionParam, nullptr, nullptr);
  const DWORD code = written ? 0 : GetLastError();
  CloseHandle(file);
  if (!written) {
    DeleteFileA(request.Path.c_str());
    error = SystemError("Minidump not written: MiniDumpWriteDump", code);
    return false;
  }
  return true;
}
