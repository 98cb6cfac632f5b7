#pragma once
// Minidumps beside a report (MinidumpMode of the options), written by the report thread itself in
// the documented format (report/minidump_format.h): no library is loaded and no lock of the
// system's loader is taken, so that a dump can be made whatever the program's threads hold.
// Windows only.
#ifdef _WIN32
#include <windows.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

// Finds the system functions a dump needs, ahead of any report (looking them up takes the
// loader's lock, which a held thread may own during a report). Called when reporting starts,
// whatever the options say (any module's options may ask for dumps, now or later); no library is
// loaded for it.
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
  // The program's threads (id, a handle that may suspend it and read its context) and modules
  // (base, path). The exception's thread is opened by its id when it is not among them.
  std::vector<std::pair<DWORD, HANDLE>> Threads;
  std::vector<std::pair<uintptr_t, std::string>> Modules;
};

// Writes the dump; on failure the file is removed and error says why. Never throws.
bool WriteMinidump(const TMinidumpRequest& request, std::string& error);
#endif
