// Gzip read of damaged or hostile data: never reads outside the input, and what it returns for a
// well-formed member of our own writer is the original.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "faultline/codecs/gzip.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view input(reinterpret_cast<const char*>(data), size);
  try {
    GzipDecompress(input);
  } catch (const EZLibError&) {
  }
  // Round trip of the input through our own writer.
  std::string packed = GzipCompress(input, "x.tgz");
  if (GzipDecompress(packed) != input) std::abort();
  return 0;
}
