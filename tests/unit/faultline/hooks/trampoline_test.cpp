// Trampolines built for code at one address and run at another, judged by where their branches
// end up: every relative branch of the moved instructions must reach the same place as in the
// original (the moved copy of it when its destination was among the moved bytes), possibly through
// one of the appended jumps, and the jump back must continue right after the moved bytes.
#include <gtest/gtest.h>

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

}  // namespace
