#pragma once
// The trampoline of a procedure hook: the whole instructions that the entry jump overwrites, moved
// to another address so that they still do what they did in place, followed by a jump back into
// the procedure. Calling the trampoline therefore runs the original procedure.
//
// Plain bytes and 32-bit addresses, no system headers: the Win32 side reads the procedure's first
// bytes, asks for a plan, allocates the memory and asks for the bytes that belong at that address.
// Address arithmetic is modulo 2^32, as it is on the processor.
#include <cstddef>
#include <cstdint>
#include <vector>

// The jump written over a hooked procedure's entry: 0xE9 and a 32-bit displacement.
constexpr size_t HookJumpSize = 5;

// Most bytes a plan ever reads: instructions that start in the first HookJumpSize - 1 bytes and
// end after them, each at most 15 bytes long.
constexpr size_t TrampolineReadLimit = HookJumpSize - 1 + 15;

struct TTrampolinePlan {
  // False when the first instructions cannot be moved safely: an undecodable byte sequence (or
  // one that runs past the bytes available) before HookJumpSize bytes are covered, or a 16-bit
  // relative branch that leaves the moved range (its destination cannot be reached from
  // elsewhere). The procedure must then be left alone.
  bool Possible = false;
  // N: whole instructions covering at least HookJumpSize bytes.
  size_t CopiedLength = 0;
  // N, then the jump back, then one jump for every short branch whose destination lies outside
  // the N bytes (an 8-bit displacement cannot reach back to the procedure from the trampoline).
  size_t Size = 0;
};

// Reads only code[0, available).
TTrampolinePlan PlanTrampoline(const uint8_t* code, size_t available);

// The plan.Size bytes of the trampoline for the procedure whose first bytes are code and which
// lives at codeAddress, when the trampoline is placed at trampolineAddress. Branches between the
// moved instructions keep their displacements; those that leave the moved range are made to reach
// their original destinations. Empty when the plan is not possible.
std::vector<uint8_t> BuildTrampoline(const uint8_t* code, const TTrampolinePlan& plan, uint32_t codeAddress,
                                     uint32_t trampolineAddress);

// 0xE9 and the displacement that makes a jump at `at` land on `to`.
void EncodeJump(uint8_t* out, uint32_t at, uint32_t to);
