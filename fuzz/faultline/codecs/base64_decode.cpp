// Base64 decode of any text: output length follows the length rule, and encoded bytes come back.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "faultline/codecs/codecs.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view input(reinterpret_cast<const char*>(data), size);
  std::string decoded = Base64Decode(input);
  if (size == 0 || size % 4 != 0) {
    if (!decoded.empty()) std::abort();
  } else {
    size_t expected = size / 4 * 3 - (input[size - 1] == '=') - (input[size - 2] == '=');
    if (decoded.size() != expected) std::abort();
  }
  if (Base64Decode(Base64Encode(input)) != input) std::abort();
  return 0;
}
