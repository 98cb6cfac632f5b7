#pragma once
// The exported procedures of a module, read from its image in memory: names, addresses and the
// length of each procedure's code. A call-stack address that no debug information covers is named
// after the export whose range holds it, so the lengths matter as much as the addresses.
//
// The image is read through a callback, never by pointer: a module's headers and tables may be
// damaged or hostile, and every read must be checked. Portable: the Windows side passes a reader
// that tests the process's memory, tests pass a buffer.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

struct TFaultFunctionInfo {
  std::string Name;
  uint64_t Address = 0;
  uint32_t Size = 1;  // bytes of code; 1 when unknown, 0 when the code could not be read
};

// The functions of one module, sorted by address.
using TFaultFunctionsList = std::vector<TFaultFunctionInfo>;

// Reads `size` bytes at `address` into `buffer`; false when any of them cannot be read.
using TMemoryRead = std::function<bool(uint64_t address, void* buffer, size_t size)>;

// What LoadModuleExports found out of the image's headers.
struct TImageFacts {
  uint64_t CodeStart = 0, CodeEnd = 0;  // absolute [start, end) of the code
  bool IsLibrary = false;               // the file characteristics mark a DLL
  bool Is64 = false;                    // a PE32+ image: x86-64 code, 8-byte pointers
};

// Reads the PE headers at `base`: "MZ", the header offset at 60, "PE\0\0", a 32-bit (PE32) or
// 64-bit (PE32+) optional header. False when any of it is missing or unreadable.
bool ReadImageFacts(uint64_t base, const TMemoryRead& read, TImageFacts& facts);

// Fills `functions` (cleared first) with the named exports of the image at `base`, sorted by
// address. The export directory must lie inside one of the sections and its first word must be 0;
// forwarded exports (whose address points back into the export directory) are not code and are
// left out. With `unitSizes` every size is 1. Returns false when the headers or the directory are
// unusable (then the list stays empty); a name or code that cannot be read drops or shortens only
// that entry.
bool LoadModuleExports(uint64_t base, const TMemoryRead& read, TFaultFunctionsList& functions,
                       bool unitSizes = false);

// The byte count from `address` up to and including the first return instruction (prefixes
// counted), reading at most up to `codeEnd`; 1 when no return comes before the end, 0 when the
// code cannot be read. An undecodable byte counts as one byte. `code64`: x86-64 code.
uint32_t ExportProcedureLength(uint64_t address, uint64_t codeEnd, const TMemoryRead& read, bool code64 = false);
