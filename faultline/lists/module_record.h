#pragma once
// The module record: what the reporting code knows of one loaded module. The module list owns the
// records; a report takes copies for its modules table, and call-stack entries point at the record
// of their module. Portable: the handle is the module's base address (64 bits wide in every build).
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "faultline/debuginfo/debuginfo_index.h"
#include "faultline/lists/function_list.h"
#include "faultline/options/options.h"

// Dates are day counts since 1899-12-30 with the time of day as fraction.
using TDateTime = double;

// Module kinds.
enum : uint8_t {
  ModuleLight = 0,       // registered in light mode: no exports, no kind, no debug information
  ModuleExecutable = 1,
  ModulePackage = 2,     // a DLL with the "PACKAGEINFO" and "PACKAGEOPTIONS" RT_RCDATA resources
  ModuleLibrary = 3,
};

struct TFaultModuleInfo {
  uint64_t Handle = 0;           // base address
  std::string Path;              // full file path
  std::string Description;       // "FileDescription" of the version resource, first translation
  std::string Version;           // "a.b.c.d", empty when absent or 0.0.0.0
  uint32_t FileSize = 0;         // low 32 bits
  TFaultFunctionsList Functions; // the named exports, sorted by address
  uint8_t ModuleType = ModuleLight;
  uint16_t ContainerVersion = 0; // format version of the options container
  TDateTime BuildTime = 0;       // build time stamp from the container, 0 when unknown
  // The module's options, loaded from its container (copies of the record share them).
  std::shared_ptr<TFaultModuleOptionsEx> Options;
  std::optional<std::string> DebugInfo;  // the debug-information stream, when the container has one
  TDateTime ModifiedTime = 0;    // last-modified time of the file when registered (UTC)
  std::string DebugPassword;
  bool PasswordAccepted = true;
  // The decoded debug information, built on the first lookup of an address of this module.
  std::shared_ptr<const TDebugIndex> DebugIndex;
};

// The record as a report's modules table shows it: without its exports and debug information,
// which a report never reads and which make a copy of every record cost milliseconds.
inline TFaultModuleInfo ModuleTableRow(const TFaultModuleInfo& m) {
  TFaultModuleInfo row;
  row.Handle = m.Handle;
  row.Path = m.Path;
  row.Description = m.Description;
  row.Version = m.Version;
  row.FileSize = m.FileSize;
  row.ModuleType = m.ModuleType;
  row.ContainerVersion = m.ContainerVersion;
  row.BuildTime = m.BuildTime;
  row.ModifiedTime = m.ModifiedTime;
  return row;
}
