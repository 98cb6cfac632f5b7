#include "faultline/hooks/trampoline.h"

#include <algorithm>

namespace {

uint32_t ReadLe32(const uint8_t* p) {
  return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

void WriteLe32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

bool HasOperandSizePrefix(const uint8_t* code, const TInstruction& ins) {
  for (size_t i = 0; i < ins.PrefixCount; ++i)
    if (code[i] == 0x66) return true;
  return false;
}

// Offset, from the start of the moved bytes, of a relative branch's destination. Kept signed and
// wide so that "before the start" and "after the end" are both plain comparisons.
int64_t DestinationOffset(const uint8_t* code, size_t at, const TInstruction& ins) {
  const uint8_t* disp = code + at + ins.RelativeOffset;
  int64_t d = ins.Relative == TRelativeKind::Short8 ? int64_t{static_cast<int8_t>(disp[0])}
                                                    : int64_t{static_cast<int32_t>(ReadLe32(disp))};
  return static_cast<int64_t>(at + ins.Length) + d;
}

bool Outside(int64_t offset, size_t copied) { return offset < 0 || offset >= static_cast<int64_t>(copied); }

constexpr int64_t Int32Min = std::numeric_limits<int32_t>::min();
constexpr int64_t Int32Max = std::numeric_limits<int32_t>::max();

// The disp32 fields of a moved 64-bit instruction that must keep pointing at the same address:
// an operand relative to the instruction pointer, and a near branch that leaves the moved bytes.
// Calls visit(offset of the field inside the instruction).
template <class TVisit>
void ForEachRebased(const uint8_t* code, size_t at, const TInstruction& ins, size_t copied, TVisit&& visit) {
  if (ins.RipRelativeSize == 4) visit(ins.RipRelativeOffset);
  if (ins.Relative == TRelativeKind::Near32 && Outside(DestinationOffset(code, at, ins), copied))
    visit(ins.RelativeOffset);
}

size_t JumpSize(TCodeMode mode) { return mode == TCodeMode::Code64 ? AbsoluteJumpSize : HookJumpSize; }

}  // namespace

void EncodeJump(uint8_t* out, uint64_t at, uint64_t to) {
  out[0] = 0xE9;
  WriteLe32(out + 1, static_cast<uint32_t>(to - at - HookJumpSize));
}

bool Rel32Reaches(uint64_t at, uint64_t to) {
  const int64_t d = static_cast<int64_t>(to - (at + HookJumpSize));
  return d >= Int32Min && d <= Int32Max;
}

void EncodeAbsoluteJump(uint8_t* out, uint64_t to) {
  const uint8_t head[] = {0xFF, 0x25, 0, 0, 0, 0};
  std::copy(std::begin(head), std::end(head), out);
  for (int i = 0; i < 8; ++i) out[6 + i] = static_cast<uint8_t>(to >> (8 * i));
}

TTrampolinePlan PlanTrampoline(const uint8_t* code, size_t available, TCodeMode mode, size_t entrySize) {
  TTrampolinePlan plan;
  plan.Mode = mode;
  plan.EntrySize = entrySize;
  size_t at = 0;
  size_t shortExits = 0;
  std::vector<std::pair<size_t, TInstruction>> moved;
  while (at < entrySize) {
    TInstruction ins = DecodeInstruction(code + at, available - at, mode);
    // Counting an unknown byte as a one-byte instruction would leave the jump back landing in
    // the middle of whatever it really is.
    if (!ins.Decodable || ins.Length == 0) return plan;
    if (ins.Relative != TRelativeKind::None) {
      // Under an operand-size prefix a branch also cuts the instruction pointer to 16 bits (or,
      // in 64-bit code, does so on some processors only), which depends on where the branch
      // runs: such code cannot be moved.
      if (ins.RelativeSize == 2 || HasOperandSizePrefix(code + at, ins)) return plan;
    }
    moved.emplace_back(at, ins);
    at += ins.Length;
  }
  const size_t jump = JumpSize(mode);
  size_t exitAt = at + jump;
  for (const auto& [offset, ins] : moved) {
    if (ins.Relative != TRelativeKind::Short8 || !Outside(DestinationOffset(code, offset, ins), at)) continue;
    // The branch goes to a jump appended behind the jump back; its 8 bits must reach it there.
    if (exitAt - (offset + ins.Length) > 127) return plan;
    ++shortExits;
    exitAt += jump;
  }
  if (mode == TCodeMode::Code64) {
    // A displacement d, moved by shift bytes, becomes d - shift, which must still be an int32.
    for (const auto& item : moved) {
      const size_t offset = item.first;  // a plain local: lambdas may not capture bindings (C++17 rule)
      ForEachRebased(code, offset, item.second, at, [&](size_t field) {
        const int64_t d = static_cast<int32_t>(ReadLe32(code + offset + field));
        plan.MinShift = std::max(plan.MinShift, d - Int32Max);
        plan.MaxShift = std::min(plan.MaxShift, d - Int32Min);
      });
    }
  }
  const size_t size = at + jump + jump * shortExits;
  // Every window holds shift 0, the procedure's own place; the trampoline has to lie clear of it.
  const int64_t clear = static_cast<int64_t>(size);
  if (plan.MaxShift < clear && plan.MinShift > -clear) return plan;
  plan.Possible = true;
  plan.CopiedLength = at;
  plan.Size = size;
  return plan;
}

bool TrampolineFits(const TTrampolinePlan& plan, uint64_t codeAddress, uint64_t trampolineAddress) {
  if (!plan.Possible) return false;
  if (plan.Mode == TCodeMode::Code32) return true;
  const int64_t shift = static_cast<int64_t>(trampolineAddress - codeAddress);
  return shift >= plan.MinShift && shift <= plan.MaxShift;
}

std::vector<uint8_t> BuildTrampoline(const uint8_t* code, const TTrampolinePlan& plan, uint64_t codeAddress,
                                     uint64_t trampolineAddress) {
  if (!TrampolineFits(plan, codeAddress, trampolineAddress)) return {};
  const bool code64 = plan.Mode == TCodeMode::Code64;
  const size_t jump = JumpSize(plan.Mode);
  const size_t n = plan.CopiedLength;
  // Unused bytes (there are none when the plan matches the code) trap instead of running on.
  std::vector<uint8_t> out(plan.Size, 0xCC);
  if (n + jump > out.size()) return {};
  for (size_t i = 0; i < n; ++i) out[i] = code[i];
  auto encodeJump = [&](size_t at, uint64_t to) {
    if (code64)
      EncodeAbsoluteJump(&out[at], to);
    else
      EncodeJump(&out[at], trampolineAddress + at, to);
  };
  encodeJump(n, codeAddress + n);

  size_t nextExit = n + jump;
  for (size_t at = 0; at < n;) {
    TInstruction ins = DecodeInstruction(code + at, n - at, plan.Mode);
    if (!ins.Decodable) return {};  // the code is not the one the plan was made for
    int64_t dest = ins.Relative == TRelativeKind::None ? 0 : DestinationOffset(code, at, ins);
    uint8_t* disp = &out[at + ins.RelativeOffset];
    if (ins.Relative == TRelativeKind::Short8 && Outside(dest, n)) {
      // The 8-bit branch goes to a jump of our own, appended behind the jump back, which goes on
      // to the original destination.
      if (nextExit + jump > out.size()) return {};
      encodeJump(nextExit, codeAddress + static_cast<uint64_t>(dest));
      *disp = static_cast<uint8_t>(static_cast<int8_t>(nextExit - (at + ins.Length)));
      nextExit += jump;
    } else if (code64) {
      // Same destination from the new place: the displacement shrinks by the distance moved,
      // which the plan's bounds keep within 32 bits.
      ForEachRebased(code, at, ins, n, [&](size_t field) {
        uint8_t* p = &out[at + field];
        WriteLe32(p, ReadLe32(p) - static_cast<uint32_t>(trampolineAddress - codeAddress));
      });
    } else if (ins.Relative == TRelativeKind::Near32 && Outside(dest, n)) {
      // Same destination from the new place: the displacement grows by the distance moved.
      WriteLe32(disp, ReadLe32(disp) + static_cast<uint32_t>(codeAddress - trampolineAddress));
    }
    at += ins.Length;
  }
  return out;
}
