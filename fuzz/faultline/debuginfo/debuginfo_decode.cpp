// The debug-information stream from a damaged or hostile container: the checked decoder and the
// address lookup in every layout never read outside the stream. The first two bytes choose the
// layout version, the next four the address.
#include <cstdint>
#include <cstring>
#include <string>

#include "faultline/debuginfo/debuginfo.h"
#include "faultline/codecs/codecs.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 6) return 0;
  static const uint16_t versions[] = {404, 420, 423, 450, 499, 500, 501, 502, 5111};
  uint16_t version = versions[data[0] % (sizeof versions / sizeof versions[0])];
  bool accepted = data[1] & 1;
  uint32_t address;
  std::memcpy(&address, data + 2, 4);
  std::string stream(reinterpret_cast<const char*>(data + 6), size - 6);
  static bool keyed = [] {
    CipherSetKey("fuzz");
    return true;
  }();
  (void)keyed;
  try {
    DecodeDebugInfo(stream, version);
  } catch (const EDebugInfoError&) {
  }
  TDebugModule module;
  module.Stream = stream;
  module.Version = version;
  module.Handle = 0x00400000;
  module.PasswordAccepted = accepted;
  module.Password = "fuzz";
  TDebugHit hit;
  DebugLookup(module, 0x00401000 + (address & 0xFFFF), hit);
  DebugLookup(module, address, hit);
  return 0;
}
