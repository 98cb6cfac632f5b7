// Options records of any version: loading must either succeed or raise EFaultContainerError, and
// a record we write must load back to the same bytes.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "faultline/options/container.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  // The first two bytes choose the version, spread over the range that older builds wrote.
  uint16_t version = static_cast<uint16_t>(400 + (data[0] | data[1] << 8) % 4712);
  std::string_view record(reinterpret_cast<const char*>(data) + 2, size - 2);
  TFaultModuleOptions options("", false);
  try {
    size_t used = LoadOptionsRecord(options, record, version);
    if (used > record.size()) __builtin_trap();
  } catch (const EFaultContainerError&) {
    return 0;
  }
  std::string saved = SaveOptionsRecord(options);
  TFaultModuleOptions again("", false);
  if (LoadOptionsRecord(again, saved, FaultContainerVersion) != saved.size()) __builtin_trap();
  if (SaveOptionsRecord(again) != saved) __builtin_trap();
  return 0;
}
