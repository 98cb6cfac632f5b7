#pragma once
// Plain records that one report is built from. The capture fills them (stack scan, module and
// thread lists, exception context, environment queries); the report text only reads them, so the
// whole layout can be built and checked without a live process.
#include <array>
#include <cstdint>
#include <string>
#include <vector>

// Dates are day counts since 1899-12-30 with the time of day as fraction, the form the module
// list and the options container use for their time stamps.
using TDateTime = double;

// One loaded module (the fields of a module-list record that a report shows or needs).
struct TFaultModuleInfo {
  uint32_t Handle = 0;           // base address
  std::string Path;              // full file path
  std::string Description;       // "FileDescription" of the version resource, may be empty
  std::string Version;           // "a.b.c.d", empty when absent or 0.0.0.0
  uint32_t FileSize = 0;         // low 32 bits
  uint8_t ModuleType = 0;        // 1 executable, 2 package, 3 other library, 0 light registration
  uint16_t ContainerVersion = 0; // format version of the options container
  TDateTime BuildTime = 0;       // build time stamp from the container, 0 when unknown
  TDateTime ModifiedTime = 0;    // last-modified time of the file when registered
  std::string DebugPassword;
  bool PasswordAccepted = true;
};

// One call-stack entry.
struct TFaultDebugInfo {
  uint8_t Kind = 0;                        // 0 hidden .. 4 full debug information
  const TFaultModuleInfo* Module = nullptr;  // the module holding Address, or none
  uint32_t ThreadId = 0;
  bool Running = false;                    // from a live stack, not a stored creation stack
  uint32_t Address = 0;
  std::string UnitName;
  std::string ClassName;
  std::string ProcedureName;
  int32_t Line = 0;
  int32_t LineOffset = 0;
};

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

// Register state and memory captured at the exception.
struct TCpuSnapshot {
  bool HasContext = false;
  uint32_t Eax = 0, Ebx = 0, Ecx = 0, Edx = 0, Edi = 0, Esi = 0, Esp = 0, Eip = 0;
  bool StackReadable = false;               // the 64 bytes at Esp were read
  std::array<uint8_t, 64> Stack{};
  uint32_t DumpAddress = 0;
  bool DumpReadable = false;                // the 256 bytes at DumpAddress were read
  std::array<uint8_t, 256> Dump{};
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
  // Application
  TDateTime StartDate = 0;
  std::string ApplicationName;   // FileDescription of the executable, else its file name
  std::string ApplicationVersion;
  std::vector<std::string> Parameters;
  TDateTime CompilationDate = 0; // build time stamp of the main module, 0 when unknown
  // Exception
  TDateTime ExceptionDate = 0;
  uint32_t ExceptionAddress = 0;
  std::string ExceptionModule;   // file name of the module holding the address
  bool ValidObject = true;       // the exception object is a valid object
  std::string ExceptionType;     // its class name
  bool HasMessage = true;        // the object derives from the exception base class
  std::string ExceptionMessage;
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
