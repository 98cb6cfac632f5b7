// The instruction-length decoder on arbitrary bytes: decoding at every offset and walking for a
// return never read outside the input (held in a heap buffer of exactly its size), and a decoded
// instruction always fits in what was available and in the processor's 15-byte limit.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "faultline/hooks/instruction_length.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::unique_ptr<uint8_t[]> code(new uint8_t[size]);
  if (size) std::memcpy(code.get(), data, size);
  for (size_t offset = 0; offset <= size; ++offset) {
    size_t available = size - offset;
    TInstruction insn = DecodeInstruction(code.get() + offset, available);
    if (insn.Decodable) {
      if (insn.Length == 0 || insn.Length > available || insn.Length > MaxInstructionLength) std::abort();
      if (insn.PrefixCount >= insn.Length) std::abort();
      if (insn.Relative != TRelativeKind::None &&
          insn.RelativeOffset + insn.RelativeSize != insn.Length) {
        std::abort();
      }
    } else if (insn.Length != 0) {
      std::abort();
    }
    if (ProcedureLength(code.get() + offset, available) > available) std::abort();
  }
  return 0;
}
