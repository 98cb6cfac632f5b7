// Trampolines built for code at one address and run at another, judged by where their branches
// end up: every relative branch of the moved instructions must reach the same place as in the
// original (the moved copy of it when its destination was among the moved bytes), possibly through
// one of the appended jumps, and the jump back must continue right after the moved bytes.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "faultline/hooks/instruction_length.h"
#include "faultline/hooks/trampoline.h"

namespace {

int64_t Displacement(const uint8_t* at, const TInstruction& ins) {
  const uint8_t* d = at + ins.RelativeOffset;
  if (ins.RelativeSize == 1) return static_cast<int8_t>(d[0]);
  int32_t v;
  std::memcpy(&v, d, 4);
  return v;
}

// Destination of the relative branch at offset in bytes placed at base.
uint32_t Destination(const std::vector<uint8_t>& bytes, uint32_t base, size_t offset) {
  TInstruction ins = DecodeInstruction(bytes.data() + offset, bytes.size() - offset);
  return base + static_cast<uint32_t>(offset + ins.Length + Displacement(bytes.data() + offset, ins));
}

struct TCase {
  const char* Name;
  std::vector<uint8_t> Code;
  uint32_t CodeAddress;
  uint32_t TrampolineAddress;
  size_t Moved;  // N
  size_t Size;
};

TEST(Trampoline, BranchesReachTheirOriginalDestinations) {
  const TCase cases[] = {
      {"prologue, nothing relative", {0x55, 0x8B, 0xEC, 0x83, 0xEC, 0x10, 0xC3}, 0x00401000, 0x00910000, 6, 11},
      {"jz rel8 leaving", {0x85, 0xC9, 0x74, 0x10, 0x89, 0xC8, 0xC3}, 0x00401000, 0x00910000, 6, 16},
      {"jmp rel8 inside", {0xEB, 0x00, 0x8D, 0x41, 0x07, 0xC3}, 0x00401000, 0x00910000, 5, 10},
      {"jmp rel8 backwards", {0xEB, 0xF0, 0x90, 0x90, 0x90, 0xC3}, 0x00401010, 0x00910000, 5, 15},
      {"jecxz and loop leaving", {0xE3, 0x05, 0xE2, 0xF0, 0x90, 0xC3}, 0x00401000, 0x00910000, 5, 20},
      {"branch-hint prefix on jz rel8", {0x2E, 0x74, 0x20, 0x90, 0x90, 0xC3}, 0x00401000, 0x00910000, 5, 15},
      {"call rel32, trampoline below", {0xE8, 0x10, 0x00, 0x00, 0x00, 0xC3}, 0x7FF01000, 0x00020000, 5, 10},
      {"jmp rel32 backwards, across the top", {0xE9, 0x00, 0xF0, 0xFF, 0xFF}, 0x00000800, 0xFFFF0000, 5, 10},
      {"jz rel32 leaving", {0x85, 0xC9, 0x0F, 0x84, 0x20, 0x00, 0x00, 0x00, 0xC3}, 0x00401000, 0x00910000, 8, 13},
      {"call rel32 to the next instruction", {0xE8, 0x00, 0x00, 0x00, 0x00, 0x58}, 0x00401000, 0x00910000, 5, 10},
      {"jz rel8 then call rel32 inside", {0x74, 0x03, 0xE8, 0xFD, 0xFF, 0xFF, 0xFF}, 0x00401000, 0x00910000, 7, 12},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    const TTrampolinePlan plan = PlanTrampoline(c.Code.data(), c.Code.size());
    ASSERT_TRUE(plan.Possible);
    EXPECT_EQ(plan.CopiedLength, c.Moved);
    ASSERT_EQ(plan.Size, c.Size);
    const std::vector<uint8_t> t = BuildTrampoline(c.Code.data(), plan, c.CodeAddress, c.TrampolineAddress);
    ASSERT_EQ(t.size(), plan.Size);
    const uint32_t n = static_cast<uint32_t>(c.Moved);

    // The jump back.
    EXPECT_EQ(t[n], 0xE9);
    EXPECT_EQ(Destination(t, c.TrampolineAddress, n), c.CodeAddress + n);

    std::vector<bool> exitUsed((t.size() - n - 5) / 5, false);
    for (size_t at = 0; at < n;) {
      const TInstruction ins = DecodeInstruction(c.Code.data() + at, c.Code.size() - at);
      ASSERT_TRUE(ins.Decodable);
      if (ins.Relative == TRelativeKind::None) {
        EXPECT_TRUE(std::equal(t.begin() + at, t.begin() + at + ins.Length, c.Code.begin() + at)) << at;
      } else {
        uint32_t want = Destination(c.Code, c.CodeAddress, at);
        if (want - c.CodeAddress < n) want = c.TrampolineAddress + (want - c.CodeAddress);  // stays in the copy
        uint32_t got = Destination(t, c.TrampolineAddress, at);
        const uint32_t exitOffset = got - c.TrampolineAddress;
        if (exitOffset >= n + 5 && exitOffset < t.size()) {
          ASSERT_EQ((exitOffset - n - 5) % 5, 0u) << "lands inside an appended jump";
          ASSERT_EQ(t[exitOffset], 0xE9);
          exitUsed[(exitOffset - n - 5) / 5] = true;
          got = Destination(t, c.TrampolineAddress, exitOffset);
        }
        EXPECT_EQ(got, want) << "branch at " << at;
      }
      at += ins.Length;
    }
    for (bool used : exitUsed) EXPECT_TRUE(used) << "an appended jump nobody uses";
  }
}

TEST(Trampoline, CodeThatCannotBeMovedIsRefused) {
  const struct {
    const char* Name;
    std::vector<uint8_t> Code;
  } cases[] = {
      {"undefined opcode first", {0xD6, 0x90, 0x90, 0x90, 0x90, 0xC3}},
      {"undefined two-byte opcode inside the first 5 bytes", {0x90, 0x90, 0x0F, 0x04, 0x90, 0xC3}},
      {"instruction cut by the end of the readable bytes", {0x90, 0xB8, 0x01, 0x00}},
      {"fewer than 5 bytes", {0x90, 0x90, 0xC3}},
      {"16-bit jmp leaving", {0x66, 0xE9, 0x10, 0x00, 0x90, 0xC3}},
      {"jz rel8 under an operand-size prefix", {0x66, 0x74, 0x10, 0x90, 0x90, 0xC3}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    const TTrampolinePlan plan = PlanTrampoline(c.Code.data(), c.Code.size());
    EXPECT_FALSE(plan.Possible);
    EXPECT_TRUE(BuildTrampoline(c.Code.data(), plan, 0x401000, 0x910000).empty());
  }
  // An undefined byte after the moved instructions is not our business.
  const uint8_t later[] = {0xB8, 0x01, 0x00, 0x00, 0x00, 0xD6};
  EXPECT_TRUE(PlanTrampoline(later, sizeof later).Possible);
}

// 64-bit code: where a moved instruction at offset of bytes placed at base sends the processor
// (a relative branch) or reads (an operand relative to the next instruction); 0 when neither.
uint64_t Reference64(const std::vector<uint8_t>& bytes, uint64_t base, size_t offset) {
  TInstruction ins = DecodeInstruction(bytes.data() + offset, bytes.size() - offset, TCodeMode::Code64);
  const uint64_t next = base + offset + ins.Length;
  if (ins.Relative != TRelativeKind::None) return next + Displacement(bytes.data() + offset, ins);
  if (ins.RipRelativeSize == 0) return 0;
  int32_t d;
  std::memcpy(&d, bytes.data() + offset + ins.RipRelativeOffset, 4);
  return next + d;
}

// The destination of the absolute jump (jmp [rip+0], then the address) at offset; 0 when there is
// none.
uint64_t AbsoluteJumpDestination(const std::vector<uint8_t>& bytes, size_t offset) {
  const uint8_t head[] = {0xFF, 0x25, 0, 0, 0, 0};
  if (offset + AbsoluteJumpSize > bytes.size() || !std::equal(head, head + 6, bytes.begin() + offset)) return 0;
  uint64_t to;
  std::memcpy(&to, bytes.data() + offset + 6, 8);
  return to;
}

struct TCase64 {
  const char* Name;
  std::vector<uint8_t> Code;
  size_t EntrySize;
  uint64_t CodeAddress;
  uint64_t TrampolineAddress;
  size_t Moved;  // N
  size_t Size;
};

TEST(Trampoline64, BranchesAndRipRelativeOperandsReachTheirOriginalDestinations) {
  const TCase64 cases[] = {
      {"mov rax,[rip+0x10] first", {0x48, 0x8B, 0x05, 0x10, 0x00, 0x00, 0x00, 0xC3}, HookJumpSize,
       0x140001000, 0x140F00000, 7, 21},
      {"lea rcx,[rip-0x10], trampoline below", {0x48, 0x8D, 0x0D, 0xF0, 0xFF, 0xFF, 0xFF, 0xC3}, HookJumpSize,
       0x7FF612340000, 0x7FF5A0000000, 7, 21},
      {"sub rsp then call rel32 leaving", {0x48, 0x83, 0xEC, 0x28, 0xE8, 0x00, 0x10, 0x00, 0x00, 0xC3},
       HookJumpSize, 0x7FF610000000, 0x7FF5A0010000, 9, 23},
      {"jz rel32 leaving, then cmp [rip+disp32],imm8",
       {0x0F, 0x84, 0x00, 0x01, 0x00, 0x00, 0x80, 0x3D, 0x78, 0x56, 0x34, 0x12, 0x00, 0xC3}, AbsoluteJumpSize,
       0x7FF610000000, 0x7FF610000000 - 0x10000000, 14, 28},
      {"jz rel8 leaving, trampoline anywhere", {0x48, 0x85, 0xC9, 0x74, 0x10, 0x48, 0x89, 0xC8, 0xC3},
       HookJumpSize, 0x7FF610000000, 0x10000, 5, 33},
      {"jmp rel8 inside, then rip-relative lea", {0xEB, 0x00, 0x48, 0x8D, 0x0D, 0x00, 0x00, 0x00, 0x80, 0xC3},
       HookJumpSize, 0x180000000, 0x170000000, 9, 23},
      {"absolute entry over whole instructions",
       {0x48, 0x89, 0x5C, 0x24, 0x08, 0x48, 0x89, 0x74, 0x24, 0x10, 0x57, 0x48, 0x83, 0xEC, 0x20, 0xC3},
       AbsoluteJumpSize, 0x7FF610000000, 0x20000, 15, 29},
  };
  for (const TCase64& c : cases) {
    SCOPED_TRACE(c.Name);
    const TTrampolinePlan plan = PlanTrampoline(c.Code.data(), c.Code.size(), TCodeMode::Code64, c.EntrySize);
    ASSERT_TRUE(plan.Possible);
    EXPECT_EQ(plan.CopiedLength, c.Moved);
    ASSERT_EQ(plan.Size, c.Size);
    ASSERT_TRUE(TrampolineFits(plan, c.CodeAddress, c.TrampolineAddress));
    const std::vector<uint8_t> t = BuildTrampoline(c.Code.data(), plan, c.CodeAddress, c.TrampolineAddress);
    ASSERT_EQ(t.size(), plan.Size);
    const size_t n = c.Moved;

    EXPECT_EQ(AbsoluteJumpDestination(t, n), c.CodeAddress + n) << "the jump back";
    std::vector<bool> exitUsed((t.size() - n - AbsoluteJumpSize) / AbsoluteJumpSize, false);
    for (size_t at = 0; at < n;) {
      const TInstruction ins = DecodeInstruction(c.Code.data() + at, c.Code.size() - at, TCodeMode::Code64);
      ASSERT_TRUE(ins.Decodable);
      const uint64_t original = Reference64(c.Code, c.CodeAddress, at);
      if (original == 0) {
        EXPECT_TRUE(std::equal(t.begin() + at, t.begin() + at + ins.Length, c.Code.begin() + at)) << at;
      } else {
        uint64_t want = original;
        // A branch into the moved bytes goes to their copy; an operand keeps its address.
        if (ins.Relative != TRelativeKind::None && want - c.CodeAddress < n)
          want = c.TrampolineAddress + (want - c.CodeAddress);
        uint64_t got = Reference64(t, c.TrampolineAddress, at);
        const uint64_t exitOffset = got - c.TrampolineAddress;
        if (ins.Relative != TRelativeKind::None && exitOffset >= n + AbsoluteJumpSize && exitOffset < t.size()) {
          ASSERT_EQ((exitOffset - n - AbsoluteJumpSize) % AbsoluteJumpSize, 0u) << "lands inside an appended jump";
          exitUsed[(exitOffset - n - AbsoluteJumpSize) / AbsoluteJumpSize] = true;
          got = AbsoluteJumpDestination(t, exitOffset);
        }
        EXPECT_EQ(got, want) << "instruction at " << at;
      }
      at += ins.Length;
    }
    for (bool used : exitUsed) EXPECT_TRUE(used) << "an appended jump nobody uses";
  }
}

// A moved displacement d must stay an int32 after the move: the trampoline may lie from
// d - INT32_MAX to d - INT32_MIN bytes away from the procedure, not one byte farther.
TEST(Trampoline64, DisplacementsBoundWhereTheTrampolineMayLie) {
  const struct {
    const char* Name;
    std::vector<uint8_t> Code;
    int64_t Displacement;
  } cases[] = {
      {"mov rax,[rip+0x10]", {0x48, 0x8B, 0x05, 0x10, 0x00, 0x00, 0x00}, 0x10},
      {"call rel32 backwards", {0xE8, 0x00, 0x00, 0x00, 0xF0}, -0x10000000},
      {"jmp [rip+0x7fff0000] (an import thunk)", {0xFF, 0x25, 0x00, 0x00, 0xFF, 0x7F}, 0x7FFF0000},
  };
  const uint64_t code = 0x7FF610000000;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    const TTrampolinePlan plan = PlanTrampoline(c.Code.data(), c.Code.size(), TCodeMode::Code64);
    ASSERT_TRUE(plan.Possible);
    const int64_t lowest = c.Displacement - INT32_MAX, highest = c.Displacement - int64_t{INT32_MIN};
    for (int64_t shift : {lowest, highest}) {
      EXPECT_TRUE(TrampolineFits(plan, code, code + shift)) << shift;
      EXPECT_EQ(BuildTrampoline(c.Code.data(), plan, code, code + shift).size(), plan.Size) << shift;
    }
    for (int64_t shift : {lowest - 1, highest + 1, int64_t{1} << 33}) {
      EXPECT_FALSE(TrampolineFits(plan, code, code + shift)) << shift;
      EXPECT_TRUE(BuildTrampoline(c.Code.data(), plan, code, code + shift).empty()) << shift;
    }
  }
  // Nothing relative among the moved bytes: any place will do.
  const uint8_t plain[] = {0x48, 0x83, 0xEC, 0x28, 0x90};
  const TTrampolinePlan anywhere = PlanTrampoline(plain, sizeof plain, TCodeMode::Code64);
  EXPECT_TRUE(TrampolineFits(anywhere, code, 0x10000));
  EXPECT_TRUE(TrampolineFits(anywhere, 0x10000, code));
}

TEST(Trampoline64, CodeThatCannotBeMovedIsRefused) {
  const struct {
    const char* Name;
    std::vector<uint8_t> Code;
    size_t EntrySize;
  } cases[] = {
      // Only the procedure's own place lies within reach of both: [rip-2^31] and [rip+2^31-1].
      {"operands 4 GB apart",
       {0x48, 0x8B, 0x05, 0x00, 0x00, 0x00, 0x80, 0x48, 0x8B, 0x0D, 0xFF, 0xFF, 0xFF, 0x7F}, AbsoluteJumpSize},
      {"jmp under an operand-size prefix", {0x66, 0xE9, 0x10, 0x00, 0x00, 0x00, 0xC3}, HookJumpSize},
      {"opcode 64-bit code does not have", {0x06, 0x90, 0x90, 0x90, 0x90, 0xC3}, HookJumpSize},
      {"fewer than 14 bytes of whole instructions", {0x48, 0x83, 0xEC, 0x28, 0x55, 0x48, 0x89, 0xE5, 0xC3},
       AbsoluteJumpSize},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    const TTrampolinePlan plan = PlanTrampoline(c.Code.data(), c.Code.size(), TCodeMode::Code64, c.EntrySize);
    EXPECT_FALSE(plan.Possible);
    EXPECT_TRUE(BuildTrampoline(c.Code.data(), plan, 0x140001000, 0x140100000).empty());
  }
}

TEST(Trampoline64, JumpEncodings) {
  // The absolute jump: jmp [rip+0] and the destination right behind it, as the decoder reads it.
  std::vector<uint8_t> jump(AbsoluteJumpSize);
  EncodeAbsoluteJump(jump.data(), 0x7FF612345678);
  const TInstruction ins = DecodeInstruction(jump.data(), jump.size(), TCodeMode::Code64);
  ASSERT_TRUE(ins.Decodable);
  EXPECT_EQ(ins.Length + 8u, AbsoluteJumpSize);
  EXPECT_EQ(Reference64(jump, 0x1000, 0), 0x1000 + ins.Length) << "reads the 8 bytes that follow it";
  EXPECT_EQ(AbsoluteJumpDestination(jump, 0), 0x7FF612345678u);

  // rel32: the farthest reachable destinations either way, and one byte beyond.
  const uint64_t at = 0x7FF610000000;
  const uint64_t farthest[] = {at + HookJumpSize + INT32_MAX, at + HookJumpSize - (uint64_t{1} << 31)};
  for (uint64_t to : farthest) {
    EXPECT_TRUE(Rel32Reaches(at, to)) << std::hex << to;
    std::vector<uint8_t> e(HookJumpSize);
    EncodeJump(e.data(), at, to);
    EXPECT_EQ(Reference64(e, at, 0), to);
  }
  EXPECT_FALSE(Rel32Reaches(at, farthest[0] + 1));
  EXPECT_FALSE(Rel32Reaches(at, farthest[1] - 1));
}

}  // namespace
