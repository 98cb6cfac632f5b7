// Arbitrary bytes as a stored report and a value to look for: the duplicate test reads the report
// in place and must stay inside it. A value written by the report builder must always be found.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "faultline/log/log_file.h"
#include "faultline/report/log_item.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view bytes(reinterpret_cast<const char*>(data), size);
  const size_t split = bytes.find('\0');
  const std::string_view value = split == std::string_view::npos ? std::string_view() : bytes.substr(0, split);
  const std::string_view report = split == std::string_view::npos ? bytes : bytes.substr(split + 1);
  for (const char* n : {"2.2", "2.3", "2.4", "2.5"}) (void)ReportMatches(report, n, value);

  // The value as an item of a built section: the search must find what the builder wrote.
  TLogItem log(1);
  log.AddHeader("Exception");
  log.AddItem("Date", "x", true);
  log.AddItem("Message", value, true);
  const std::string built = "Faultline 5.1.11\r\n\r\n" + log.Text() + "\r\n";
  if (value.find('\r') == std::string_view::npos && value.find('\n') == std::string_view::npos &&
      !ReportMatches(built, "2.2", value))
    std::abort();
  return 0;
}
