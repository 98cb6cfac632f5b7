// Arbitrary bytes as one stored report (read in place, not copied): the first line is the item
// number, the rest the report.
#include <cstdint>
#include <string_view>

#include "faultline/log/log_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view bytes(reinterpret_cast<const char*>(data), size);
  const size_t nl = bytes.find('\n');
  const std::string_view item = bytes.substr(0, nl == std::string_view::npos ? 0 : nl);
  const std::string_view report = nl == std::string_view::npos ? bytes : bytes.substr(nl + 1);
  (void)ReportFieldValue(report, item);
  for (const char* n : {"1.3", "2.2", "2.5", "7.1", ""}) (void)ReportFieldValue(report, n);
  return 0;
}
