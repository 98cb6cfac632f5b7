// Arbitrary bytes as a log file: splitting, normalising and reading every section of every report
// must stay inside the bytes, and a log read back after saving must give the same reports.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "faultline/log/log_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  const std::vector<std::string> reports = SplitLogText(bytes);
  std::string whole;
  for (size_t i = 0; i < reports.size(); ++i) {
    const std::string& r = reports[i];
    (void)ReportVersionOf(r);
    (void)ReportFieldValue(r, "1.3");
    (void)ReportGeneralPartOf(r);
    (void)ReportCallStackTableOf(r);
    (void)ReportModulesTableOf(r);
    (void)ReportCpuSectionOf(r);
    (void)ReportHowToReproduceOf(r);
    if (i > 0) whole += "\r\n";
    whole += r;
  }
  // What a save writes must load as the very same reports.
  if (!reports.empty() && SplitLogText(whole) != reports) std::abort();
  return 0;
}
