#pragma once
// Plain records that one report is built from. The capture fills them (stack scan, module and
// thread lists, exception context, environment queries); the report text only reads them, so the
// whole layout can be built and checked without a live process.
#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "faultline/lists/module_record.h"
#include "faultline/stack/cpu_snapshot.h"
#include "faultline/stack/stack_entry.h"

// Thread priority value that means "not read yet".
constexpr uint32_t UnknownThreadPriority = 0x80000000u;

// The part of a thread-list record that a report shows.
struct TFaultThreadInfo {
  uint32_t ThreadId = 0;
  uint32_t Handle = 0;
  uint32_t Priority = UnknownThreadPriority;  // a signed priority stored as 32 bits
  bool HasThreadObject = false;               // the list holds a valid framework thread object
  std::string ThreadClassName;                // class name of that object
};

// One network adapter as the IP helper lists it. Addresses are dotted texts; empty when absent.
struct TNetworkAdapter {
  bool Dhcp = false;
  std::string IpAddress;
  std::string SubnetMask;
  std::string Gateway;
  std::vector<std::string> DnsServers;
};

// Facts about the machine, read once per report (Win32 glue fills them).
struct TReportEnvironment {
  std::string ComputerName;
  std::string UserName;
  uint64_t TotalMemory = 0;      // bytes of physical memory
  uint64_t FreeMemory = 0;
  bool DiskKnown = false;        // the extended free-space query exists and succeeded
  uint64_t TotalDisk = 0;        // bytes on the drive of the main module
  uint64_t FreeDisk = 0;         // bytes available to the caller
  uint32_t UpTimeMs = 0;         // milliseconds since system start
  std::string Processor;         // already resolved (see ProcessorText)
  int ScreenWidth = 0, ScreenHeight = 0, BitsPerPixel = 0;
  std::string OsName;            // already resolved (see OperatingSystemName)
  uint32_t BuildNumber = 0;      // already reduced to 16 bits on the 9x platform
  std::string ServicePack;       // trimmed
  std::string Language;
  bool NetworkKnown = false;     // both IP helper procedures were found
  std::vector<TNetworkAdapter> Adapters;
};

// Everything one report text is made of.
struct TReportData {
  // The program is 64-bit (sizeof(void*) == 8): its report writes every address with 16
  // hexadecimal digits instead of 8.
  bool WideAddresses = false;
  // Application
  TDateTime StartDate = 0;
  std::string ApplicationName;   // FileDescription of the executable, else its file name
  std::string ApplicationVersion;
  std::vector<std::string> Parameters;
  TDateTime CompilationDate = 0; // build time stamp of the main module, 0 when unknown
  // Exception
  TDateTime ExceptionDate = 0;
  uint64_t ExceptionAddress = 0;
  std::string ExceptionModule;   // file name of the module holding the address
  bool ValidObject = true;       // the exception object is a valid object
  std::string ExceptionType;     // its class name
  bool HasMessage = true;        // the object derives from the exception base class
  std::string ExceptionMessage;
  // The file name of the minidump written for this report (beside the log); empty: none.
  std::string MinidumpFile;
  // Active controls
  bool ConsoleProgram = false;
  bool WebApplication = false;
  std::string FormClass, FormText, ControlClass, ControlText;
  // Machine
  TReportEnvironment Environment;
  int TimeZoneHours = 0;         // local offset from UTC when the report is formatted
  // Tables
  std::vector<TFaultDebugInfo> Stack;
  std::vector<TFaultThreadInfo> Threads;  // copy of the thread list
  uint32_t MainThreadId = 0;
  std::vector<TFaultModuleInfo> Modules;
  TCpuSnapshot Cpu;
  // Supplied by an event handler; empty when none.
  bool HasCustomData = false;
  std::string CustomData;
};
