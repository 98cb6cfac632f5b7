// Options containers, resource and trailer forms, full and light reads: never an out-of-bounds
// read, only EFaultContainerError for damage.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "faultline/options/container.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view bytes(reinterpret_cast<const char*>(data), size);
  for (TContainerReadMode mode : {TContainerReadMode::Full, TContainerReadMode::Light}) {
    try {
      TFaultModuleOptions options("", false);
      TFaultContainerLoad load;
      TFaultContainerSources sources;
      sources.Resource = bytes;
      sources.Mode = mode;
      LoadModuleContainer(options, load, sources);
    } catch (const EFaultContainerError&) {
    }
    try {
      FindContainerTrailer(bytes, mode);
    } catch (const EFaultContainerError&) {
    }
  }
  return 0;
}
