#pragma once
// Minidumps beside a report (MinidumpMode of the options): written by the system's debug-help
// library on the report thread, while the program's threads wait. Windows only.
#ifdef _WIN32
#include <windows.h>

#include <cstdint>
#include <string>

// Loads the debug-help library ahead of any report (a report must not load libraries: a held
// thread may own the loader). Called where loading is safe: at start and when the program sets
// options in code. Cheap after the first success.
void PrepareMinidumps();

// The exception code a dump carries for a report of no operating-system exception (a C++
// exception, a message, a frozen main thread): "FLT" in the customer-defined range.
inline constexpr DWORD kReportedExceptionCode = 0xE0464C54;

struct TMinidumpRequest {
  std::string Path;                 // the file to write (replaced when it exists)
  uint8_t Mode = 1;                 // MinidumpMode: 1 stacks, 2 all memory
  DWORD ThreadId = 0;               // the thread of the exception
  const CONTEXT* Context = nullptr; // its context at the exception; null: read now from the thread
  const EXCEPTION_RECORD* Record = nullptr;  // the system's record; else one is made of Code
  DWORD Code = kReportedExceptionCode;
  uintptr_t Address = 0;            // where the exception happened
};

// Writes the dump; on failure the file is removed and error says why. Never throws.
bool WriteMinidump(const TMinidumpRequest& request, std::string& error);
#endif
