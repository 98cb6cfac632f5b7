// The debug-information index from a damaged or hostile stream: building it never reads outside
// the stream, the index keeps nothing of it, and every lookup answers as DebugLookup does on the
// same bytes (a disagreement aborts: it is a finding). Input as for debuginfo_decode: the first
// byte chooses the layout version, the second the password state (bit 0: accepted) and whether
// code can be read (bit 1), the next four an address; the rest is the stream.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "faultline/codecs/codecs.h"
#include "faultline/debuginfo/debuginfo.h"
#include "faultline/debuginfo/debuginfo_index.h"

namespace {

// Code bytes that depend on the address alone, unreadable at some addresses.
bool FuzzCode(uint32_t address, void* buffer, size_t size) {
  static const uint8_t forms[][3] = {{0x55, 0x8B, 0xEC}, {0x55, 0x89, 0xE5}, {0x53, 0, 0}, {0x90, 0x90, 0x90}};
  if (address % 5 == 4) return false;
  std::memcpy(buffer, forms[address % 4], std::min<size_t>(size, 3));
  return true;
}

void Compare(const TDebugModule& module, const TDebugIndex& index, uint32_t address) {
  TDebugHit ref{"u", "c", "p", -1, -2}, ours = ref;
  bool a = DebugLookup(module, address, ref);
  bool b = index.Lookup(address, ours);
  if (a == b && ref.Unit == ours.Unit && ref.Class == ours.Class && ref.Procedure == ours.Procedure &&
      ref.Line == ours.Line && ref.LineOffset == ours.LineOffset)
    return;
  std::fprintf(stderr, "index and DebugLookup differ at %08X: %d %s|%s|%s|%d|%d against %d %s|%s|%s|%d|%d\n", address,
               a, ref.Unit.c_str(), ref.Class.c_str(), ref.Procedure.c_str(), ref.Line, ref.LineOffset, b,
               ours.Unit.c_str(), ours.Class.c_str(), ours.Procedure.c_str(), ours.Line, ours.LineOffset);
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 6) return 0;
  static const uint16_t versions[] = {404, 420, 423, 450, 499, 500, 501, 502, 5111};
  const uint16_t version = versions[data[0] % (sizeof versions / sizeof versions[0])];
  uint32_t address;
  std::memcpy(&address, data + 2, 4);
  static bool keyed = [] {
    CipherSetKey("fuzz");
    return true;
  }();
  (void)keyed;

  TDebugModule module;
  module.Version = version;
  module.Handle = 0x00400000;
  module.PasswordAccepted = data[1] & 1;
  module.Password = "fuzz";
  if (data[1] & 2) module.ReadCode = FuzzCode;

  // Built from a copy of its own that is freed before any lookup: a reference kept into the
  // stream would be a use after free.
  TDebugIndex index;
  {
    std::string scratch(reinterpret_cast<const char*>(data + 6), size - 6);
    module.Stream = scratch;
    index = TDebugIndex(module);
  }
  const std::string stream(reinterpret_cast<const char*>(data + 6), size - 6);
  module.Stream = stream;

  // The address of the input, the code near the module, and the edges of the indexed ranges.
  std::vector<uint32_t> addresses = {address, 0x00401000 + (address & 0xFFFF), 0x00401000 + (address & 0xFF), 0x00401000,
                                     0x00400FFF, 0xFFFFFFFF, 0};
  auto ranges = index.Ranges();
  for (size_t i = 0; i < ranges.size() && i < 48; ++i) {
    addresses.push_back(ranges[i].Low);
    addresses.push_back(ranges[i].High);
    addresses.push_back(ranges[i].Low - 1);
    addresses.push_back(ranges[i].High + 1);
    addresses.push_back(ranges[i].Low + (ranges[i].High - ranges[i].Low) / 2);
  }
  for (uint32_t a : addresses) Compare(module, index, a);
  return 0;
}
