#pragma once
// One call-stack entry: a code address and what is known of it.
#include <cstdint>
#include <string>

#include "faultline/lists/module_record.h"

// How much is known of an entry's address.
enum : uint8_t {
  EntryHidden = 0,      // outside every module, or a double hit
  EntryModule = 1,      // only the module
  EntryExport = 2,      // a procedure, from an export name
  EntryQualified = 3,   // unit, class and procedure, from a qualified export name
  EntryDebugInfo = 4,   // full debug information
};

struct TFaultDebugInfo {
  uint8_t Kind = EntryHidden;
  const TFaultModuleInfo* Module = nullptr;  // the module holding Address, or none
  uint32_t ThreadId = 0;
  bool Running = false;                      // from a live stack, not a stored creation stack
  uint64_t Address = 0;
  std::string UnitName;
  std::string ClassName;
  std::string ProcedureName;
  int32_t Line = 0;
  int32_t LineOffset = 0;
};
