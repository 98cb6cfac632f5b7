// The instruction-length decoder on arbitrary bytes, as 32-bit and as 64-bit code: decoding at every
// offset and walking for a return never read outside the input (held in a heap buffer of exactly
// its size), and a decoded instruction always fits in what was available and in the processor's
// 15-byte limit, with its displacements inside it.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "faultline/hooks/instruction_length.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::unique_ptr<uint8_t[]> code(new uint8_t[size]);
  if (size) std::memcpy(code.get(), data, size);
  for (TCodeMode mode : {TCodeMode::Code32, TCodeMode::Code64}) {
    for (size_t offset = 0; offset <= size; ++offset) {
      size_t available = size - offset;
      TInstruction insn = DecodeInstruction(code.get() + offset, available, mode);
      if (insn.Decodable) {
        if (insn.Length == 0 || insn.Length > available || insn.Length > MaxInstructionLength) std::abort();
        if (insn.PrefixCount >= insn.Length) std::abort();
        if (insn.Relative != TRelativeKind::None &&
            insn.RelativeOffset + insn.RelativeSize != insn.Length) {
          std::abort();
        }
        if (insn.RipRelativeSize != 0 &&
            (mode != TCodeMode::Code64 || insn.RipRelativeSize != 4 ||
             insn.RipRelativeOffset <= insn.PrefixCount || insn.RipRelativeOffset + 4 > insn.Length)) {
          std::abort();
        }
      } else if (insn.Length != 0) {
        std::abort();
      }
      if (ProcedureLength(code.get() + offset, available, mode) > available) std::abort();
    }
  }
  return 0;
}
