// Arbitrary bytes as a stored report rendered to XML (with and without a password): no read
// outside the report, and the output holds only printable ASCII, CR and LF, so that it is always
// a document an XML parser accepts character by character.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "faultline/log/xml_export.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const std::string password = data[0] & 1 ? "secret" : "";
  const std::string_view report(reinterpret_cast<const char*>(data + 1), size - 1);
  const std::string xml = LogElementOf(report, password)->XMLText();
  for (unsigned char c : xml)
    if (!(c == '\r' || c == '\n' || (c >= 32 && c < 127))) std::abort();
  return 0;
}
