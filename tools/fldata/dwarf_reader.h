#pragma once
// Reads what the debug-information stream needs from a linked module's DWARF (32-bit or x86-64:
// libdwarf takes the address size from each unit): the line rows and the procedures with their
// class scopes. Offsets are relative to the code base (image base + 4096), the convention of the
// stream; they stay 32-bit because a module's code lies within 4 GB of its base.
#include <string>
#include <vector>

#include "faultline/debuginfo/debuginfo.h"
#include "rtl/exception.h"

class EDwarfError : public Exception {
 public:
  using Exception::Exception;
};

struct TModuleDebugData {
  std::vector<TDebugSourceRow> Rows;       // sorted by sequence, each sequence by offset
  std::vector<TDebugProcedure> Procedures;
};

// codeLow/codeHigh: the offsets of the module's code (rows and procedures outside are dropped:
// the linker leaves discarded duplicates at address 0).
TModuleDebugData ReadModuleDwarf(const std::string& path, uint64_t imageBase, uint32_t codeLow, uint32_t codeHigh);
