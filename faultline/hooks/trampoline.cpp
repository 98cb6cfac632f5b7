#include "faultline/hooks/trampoline.h"

#include "faultline/hooks/instruction_length.h"

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

}  // namespace

void EncodeJump(uint8_t* out, uint32_t at, uint32_t to) {
  out[0] = 0xE9;
  WriteLe32(out + 1, to - at - static_cast<uint32_t>(HookJumpSize));
}

TTrampolinePlan PlanTrampoline(const uint8_t* code, size_t available) {
  TTrampolinePlan plan;
  size_t at = 0;
  size_t shortExits = 0;
  std::vector<std::pair<size_t, TInstruction>> moved;
  while (at < HookJumpSize) {
    TInstruction ins = DecodeInstruction(code + at, available - at);
    // Counting an unknown byte as a one-byte instruction would leave the jump back landing in
    // the middle of whatever it really is.
    if (!ins.Decodable || ins.Length == 0) return plan;
    if (ins.Relative != TRelativeKind::None) {
      // Under an operand-size prefix a branch also cuts the instruction pointer to 16 bits, which
      // depends on where the branch runs: such code cannot be moved.
      if (ins.RelativeSize == 2 || HasOperandSizePrefix(code + at, ins)) return plan;
    }
    moved.emplace_back(at, ins);
    at += ins.Length;
  }
  for (const auto& [offset, ins] : moved) {
    if (ins.Relative == TRelativeKind::Short8 && Outside(DestinationOffset(code, offset, ins), at)) ++shortExits;
  }
  plan.Possible = true;
  plan.CopiedLength = at;
  plan.Size = at + HookJumpSize + HookJumpSize * shortExits;
  return plan;
}

std::vector<uint8_t> BuildTrampoline(const uint8_t* code, const TTrampolinePlan& plan, uint32_t codeAddress,
                                     uint32_t trampolineAddress) {
  if (!plan.Possible) return {};
  const size_t n = plan.CopiedLength;
  // Unused bytes (there are none when the plan matches the code) trap instead of running on.
  std::vector<uint8_t> out(plan.Size, 0xCC);
  for (size_t i = 0; i < n; ++i) out[i] = code[i];
  EncodeJump(&out[n], trampolineAddress + static_cast<uint32_t>(n), codeAddress + static_cast<uint32_t>(n));

  size_t nextExit = n + HookJumpSize;
  for (size_t at = 0; at < n;) {
    TInstruction ins = DecodeInstruction(code + at, n - at);
    if (!ins.Decodable) return {};  // the code is not the one the plan was made for
    int64_t dest = ins.Relative == TRelativeKind::None ? 0 : DestinationOffset(code, at, ins);
    uint8_t* disp = &out[at + ins.RelativeOffset];
    if (ins.Relative == TRelativeKind::Short8 && Outside(dest, n)) {
      // The 8-bit branch goes to a jump of our own, appended behind the jump back, which goes on
      // to the original destination.
      if (nextExit + HookJumpSize > out.size()) return {};
      EncodeJump(&out[nextExit], trampolineAddress + static_cast<uint32_t>(nextExit),
                 codeAddress + static_cast<uint32_t>(dest));
      *disp = static_cast<uint8_t>(static_cast<int8_t>(nextExit - (at + ins.Length)));
      nextExit += HookJumpSize;
    } else if (ins.Relative == TRelativeKind::Near32 && Outside(dest, n)) {
      // Same destination from the new place: the displacement grows by the distance moved.
      WriteLe32(disp, ReadLe32(disp) + (codeAddress - trampolineAddress));
    }
    at += ins.Length;
  }
  return out;
}
