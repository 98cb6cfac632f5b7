#pragma once
// The debug-information stream a module carries in its options container: units (source files)
// with code ranges and compact line tables, procedure names with their class scopes, names
// enciphered with the module's debug password. Little-endian throughout. A code offset is relative
// to the module's code: absolute address = module handle + 4096 + offset.
//
//   [versions 405..499: 32-bit n, n skipped bytes]
//   32-bit unit count, then per unit: name field, first line, start offset, code size,
//   line-table length (32-bit each), line table (line entries filling exactly that length).
//
// A line entry advances the line by dL >= 1 and the offset by dA; the range [offset, offset + dA)
// belongs to the line before the advance. Entries that start a procedure (P) carry its name:
// ".Name" (same class as the last named class), "Class.Name" or "Name".
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "rtl/exception.h"

// A stream that cannot be encoded (or, from the checked decoder, read).
class EDebugInfoError : public Exception {
 public:
  using Exception::Exception;
};

// Versions of the container that change the stream.
constexpr uint16_t DebugInfoCurrentVersion = 5111;
// Name bytes of containers below version 500 are XORed with this value.
constexpr uint8_t DebugInfoOldNameXor = 0x3C;

struct TDebugLineEntry {
  uint32_t LineDelta = 1;   // >= 1
  uint32_t AddrDelta = 1;   // 0 only in the 4-byte form
  bool NewProcedure = false;
  std::string ProcClass;    // when NewProcedure: class scope ("" for plain procedures)
  std::string ProcName;     // when NewProcedure
  bool operator==(const TDebugLineEntry&) const = default;
};

struct TDebugUnit {
  std::string Name;         // source file name with extension
  int32_t FirstLine = 0;
  uint32_t Start = 0;       // code offset
  uint32_t Size = 0;        // bytes of code
  std::vector<TDebugLineEntry> Entries;
  bool operator==(const TDebugUnit&) const = default;
};

// Writes the stream of `units` in the layout of `version` (>= 500: names enciphered with the
// current cipher key, which the caller sets from the debug password; >= 502: names longer than
// 127 bytes split at a "."). Throws EDebugInfoError for an entry no encoding can hold.
std::string EncodeDebugInfo(const std::vector<TDebugUnit>& units, uint16_t version = DebugInfoCurrentVersion);

// Reads a whole stream back (names deciphered with the current cipher key for versions >= 500;
// class and name of procedures split as the lookup splits them). Throws EDebugInfoError for a
// damaged stream. For tools and tests; the lookup does not build this.
std::vector<TDebugUnit> DecodeDebugInfo(std::string_view stream, uint16_t version = DebugInfoCurrentVersion);

// What the lookup needs of a module record.
struct TDebugModule {
  std::string_view Stream;      // the debug-information stream
  uint16_t Version = DebugInfoCurrentVersion;
  uint64_t Handle = 0;          // module base
  bool PasswordAccepted = true;
  std::string Password;
  // Reads code bytes for the procedure-start rule; may be empty (then the rule is skipped).
  std::function<bool(uint64_t address, void* buffer, size_t size)> ReadCode;
};

struct TDebugHit {
  std::string Unit;
  std::string Class;
  std::string Procedure;
  int32_t Line = 0;
  int32_t LineOffset = 0;
};

// Whether a procedure's first bytes set up a frame: push ebp; mov ebp, esp in either encoding of
// the move (8B EC, or 89 E5 as GCC writes it), or the same with REX.W in 64-bit code (push rbp;
// mov rbp, rsp: 48 89 E5 or 48 8B EC). code holds 4 bytes (zero where they could not be read).
inline bool StartsWithFrame(const uint8_t* code) {
  if (code[0] != 0x55) return false;
  const uint8_t* move = code[1] == 0x48 ? code + 2 : code + 1;
  return (move[0] == 0x8B && move[1] == 0xEC) || (move[0] == 0x89 && move[1] == 0xE5);
}

// The procedure-start rule: true when the code at a procedure's start, read through readCode,
// neither sets up a frame nor saves a register (push ebx): its start line then counts one lower.
// False when the code cannot be read. Reads 4 bytes, or the first 3 where no fourth is readable.
bool StartLacksFrame(const std::function<bool(uint64_t address, void* buffer, size_t size)>& readCode,
                     uint64_t start);

// Resolves address to unit, class, procedure and line. False when no unit holds it or the stream
// ends early; a damaged line table ends the search of its unit, never reads past the stream.
bool DebugLookup(const TDebugModule& module, uint64_t address, TDebugHit& hit);

// The cipher key is process-wide: set it from password unless it was the last one used.
void DebugCipherUsePassword(const std::string& password);

// ---------------------------------------------------------------------------------------------
// Building units from a linker's view of the code (used by the container build tool).

// One row of a line table: code at Offset (and after it, up to the next row) belongs to File:Line.
struct TDebugSourceRow {
  uint32_t Offset = 0;
  std::string File;   // file name with extension
  int32_t Line = 0;
  bool EndSequence = false;  // the row marks the end of a code sequence: no code at Offset
};

// A procedure: its code range [Low, High) and its class scope.
struct TDebugProcedure {
  uint32_t Low = 0, High = 0;
  std::string Class;  // "" or the scope, e.g. "TApplication" or "std::vector<int>"
  std::string Name;
  int32_t DeclLine = 0;  // the line a lookup counts line offsets from; 0 when unknown
};

// Turns line rows (sorted by offset) and procedures into units. Lines in a unit must rise, so a
// unit ends wherever the file changes, the line falls, or a gap in the code is too large; a
// continued procedure is named again at the start of the next unit.
std::vector<TDebugUnit> BuildDebugUnits(std::vector<TDebugSourceRow> rows, std::vector<TDebugProcedure> procedures);
