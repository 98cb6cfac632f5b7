#pragma once
// Lengths of x86 instructions, in 32-bit and in 64-bit code. A hook overwrites the first bytes of a
// procedure with a jump, so it has to know where whole instructions end, which of the moved
// instructions carry a displacement relative to their own address (and must be rebased when they
// run elsewhere), and where a procedure returns. Only lengths and those few facts are decoded, not
// operands.
//
// Plain C++ over a byte buffer: no system headers, so the same code is tested natively, fuzzed, and
// checked against a disassembler on real modules. Nothing outside [code, code + available) is ever
// read.
#include <cstddef>
#include <cstdint>

// The processor mode the bytes are decoded for. 64-bit code differs in: REX prefixes (0x40-0x4F,
// which count only directly before the opcode), opcodes that do not exist there (PUSH ES, BCD
// arithmetic, BOUND, LES/LDS, far immediate branches, ...), MOV r64,imm64, 8-byte memory offsets,
// VEX and EVEX without the mod = 11 condition, no 16-bit addressing, near branches that are always
// rel32, and ModR/M mod = 00 r/m = 101 addressing relative to the next instruction.
enum class TCodeMode : uint8_t { Code32, Code64 };

// Relative branch targets: Short8 for 0x70-0x7F, 0xE0-0xE3 and 0xEB (rel8); Near32 for 0xE8, 0xE9
// and 0x0F 0x80-0x8F (rel32, or in 32-bit code rel16 under an operand-size prefix: see
// RelativeSize).
enum class TRelativeKind : uint8_t { None, Short8, Near32 };

struct TInstruction {
  uint8_t Length = 0;          // whole instruction, prefixes included; 0 when not decodable
  bool Decodable = false;      // false for undefined/invalid opcodes and when the instruction
                               // would run past the bytes available
  uint8_t PrefixCount = 0;     // bytes before the opcode: legacy prefixes and REX
  TRelativeKind Relative = TRelativeKind::None;
  uint8_t RelativeOffset = 0;  // offset of the relative displacement inside the instruction
  uint8_t RelativeSize = 0;    // bytes of that displacement: 1, 2 or 4 (0 when Relative is None)
  bool IsReturn = false;       // 0xC2, 0xC3, 0xCA, 0xCB only
  // 64-bit code only: a memory operand relative to the next instruction (ModR/M mod = 00,
  // r/m = 101, no SIB), its disp32 at RipRelativeOffset. Unlike a branch displacement it need not
  // be last: an immediate may follow it. RipRelativeSize is 4, or 0 without such an operand.
  uint8_t RipRelativeOffset = 0;
  uint8_t RipRelativeSize = 0;
};

// The longest instruction a processor accepts; longer byte sequences are not decodable.
constexpr size_t MaxInstructionLength = 15;

// Decodes the instruction at code[0]; never reads code[available] or beyond (also for
// available == 0). Understands legacy and REX prefixes, the one-byte map, 0x0F xx, 0x0F 0x38 xx,
// 0x0F 0x3A xx, x87, 3DNow! and the VEX, EVEX and XOP forms.
TInstruction DecodeInstruction(const uint8_t* code, size_t available, TCodeMode mode = TCodeMode::Code32);

// Bytes from code up to and including the first return instruction (0xC2, 0xC3, 0xCA, 0xCB, with
// any prefixes) found within limit bytes. An undecodable byte counts as one byte and the walk goes
// on. Without a return, the number of bytes walked (which is limit).
size_t ProcedureLength(const uint8_t* code, size_t limit, TCodeMode mode = TCodeMode::Code32);
