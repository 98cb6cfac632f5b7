#pragma once
// The trampoline of a procedure hook: the whole instructions that the entry jump overwrites, moved
// to another address so that they still do what they did in place, followed by a jump back into
// the procedure. Calling the trampoline therefore runs the original procedure.
//
// Plain bytes and 64-bit addresses, no system headers: the Win32 side reads the procedure's first
// bytes, asks for a plan, allocates the memory where the plan allows and asks for the bytes that
// belong at that address. In 32-bit code address arithmetic is modulo 2^32, as it is on the
// processor. In 64-bit code a displacement reaches only 2 GB either way: the moved instructions
// that carry one (operands relative to the instruction pointer, near branches leaving the moved
// bytes) bound where the trampoline may lie, and every jump the trampoline adds is absolute.
#include <cstddef>
#include <cstdint>
#include <limits>
#include <vector>

#include "faultline/hooks/instruction_length.h"

// The jump written over a hooked procedure's entry: 0xE9 and a 32-bit displacement.
constexpr size_t HookJumpSize = 5;
// An absolute jump of 64-bit code that needs no register: jmp [rip+0] (0xFF 0x25 0) followed by
// the 8-byte destination. The trampoline's own jumps in 64-bit code, a relay that carries an entry
// jump on to a replacement beyond 2 GB, or the entry jump itself when the procedure starts with
// that many bytes of whole instructions.
constexpr size_t AbsoluteJumpSize = 14;

// Most bytes a plan ever reads: instructions that start before the end of the entry jump and end
// after it, each at most 15 bytes long.
constexpr size_t TrampolineReadLimit = AbsoluteJumpSize - 1 + 15;

struct TTrampolinePlan {
  // False when the first instructions cannot be moved safely: an undecodable byte sequence (or
  // one that runs past the bytes available) before EntrySize bytes are covered, a branch under an
  // operand-size prefix (it depends on where it runs), or, in 64-bit code, displacements that
  // together leave no place clear of the procedure's first bytes within their reach. The
  // procedure must then be left alone.
  bool Possible = false;
  TCodeMode Mode = TCodeMode::Code32;
  // Bytes of the jump that is written over the entry.
  size_t EntrySize = HookJumpSize;
  // N: whole instructions covering at least EntrySize bytes.
  size_t CopiedLength = 0;
  // N, then the jump back, then one jump for every short branch whose destination lies outside
  // the N bytes (an 8-bit displacement cannot reach back to the procedure from the trampoline).
  // The jumps are HookJumpSize bytes in 32-bit code, AbsoluteJumpSize bytes in 64-bit code.
  size_t Size = 0;
  // The trampoline's address minus the procedure's must lie in [MinShift, MaxShift] (64-bit code
  // with rebased displacements; otherwise the whole range).
  int64_t MinShift = std::numeric_limits<int64_t>::min();
  int64_t MaxShift = std::numeric_limits<int64_t>::max();
};

// Reads only code[0, available). entrySize is HookJumpSize, or AbsoluteJumpSize for an absolute
// entry jump in 64-bit code.
TTrampolinePlan PlanTrampoline(const uint8_t* code, size_t available, TCodeMode mode = TCodeMode::Code32,
                               size_t entrySize = HookJumpSize);

// Whether a possible plan's trampoline may lie at trampolineAddress for code at codeAddress.
bool TrampolineFits(const TTrampolinePlan& plan, uint64_t codeAddress, uint64_t trampolineAddress);

// The plan.Size bytes of the trampoline for the procedure whose first bytes are code and which
// lives at codeAddress, when the trampoline is placed at trampolineAddress. Branches between the
// moved instructions keep their displacements; those that leave the moved range, and operands
// relative to the instruction pointer, are made to reach their original destinations. Empty when
// the plan is not possible or does not fit at trampolineAddress.
std::vector<uint8_t> BuildTrampoline(const uint8_t* code, const TTrampolinePlan& plan, uint64_t codeAddress,
                                     uint64_t trampolineAddress);

// 0xE9 and the displacement that makes a jump at `at` land on `to`, modulo 2^32 (in 64-bit code,
// ask Rel32Reaches first).
void EncodeJump(uint8_t* out, uint64_t at, uint64_t to);
// Whether a HookJumpSize jump at `at` reaches `to` in 64-bit code.
bool Rel32Reaches(uint64_t at, uint64_t to);
// The AbsoluteJumpSize bytes of jmp [rip+0] to `to`; they work at any address.
void EncodeAbsoluteJump(uint8_t* out, uint64_t to);
