// Export tables of hostile images: the bytes are an image at a fixed base; nothing outside them can
// be read, and nothing may be read or loop past them.
#include <cstdint>
#include <cstring>
#include <vector>

#include "faultline/lists/function_list.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  constexpr uint32_t base = 0x00400000;
  std::vector<uint8_t> image(data, data + size);
  TMemoryRead read = [&image](uint32_t address, void* buffer, size_t n) {
    if (address < base || address - base > image.size() || n > image.size() - (address - base)) return false;
    std::memcpy(buffer, image.data() + (address - base), n);
    return true;
  };
  TFaultFunctionsList list;
  LoadModuleExports(base, read, list);
  for (size_t i = 1; i < list.size(); ++i)
    if (list[i - 1].Address > list[i].Address) __builtin_trap();
  // Lengths found by continuing other exports' walks equal those of separate walks.
  TImageFacts facts;
  if (!list.empty() && ReadImageFacts(base, read, facts))
    for (const auto& f : list)
      if (f.Address >= facts.CodeStart && f.Size != ExportProcedureLength(f.Address, facts.CodeEnd, read))
        __builtin_trap();
  return 0;
}
