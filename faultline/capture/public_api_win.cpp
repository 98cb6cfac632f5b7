// The public interface (faultline/faultline.h) over the capture, the options and the report.
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "faultline/capture/capture.h"
#include "faultline/include/faultline/faultline.h"
#include "faultline/options/module_options.h"
#include "faultline/options/options.h"
#include "faultline/options/options_file.h"
#include "faultline/report/custom_values.h"

// A message the program reported (faultline::ReportMessage).
class EReportedMessage : public Exception {
 public:
  using Exception::Exception;
};

namespace {

// The keys an options text sets, as written before "=".
std::string KeyOf(const std::string& line) {
  const size_t eq = line.find('=');
  std::string key = line.substr(0, eq == std::string::npos ? 0 : eq);
  while (!key.empty() && (key.back() == ' ' || key.back() == '\t')) key.pop_back();
  size_t start = key.find_first_not_of(" \t");
  return start == std::string::npos ? std::string() : key.substr(start);
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
    start = end + 1;
  }
  return lines;
}

}  // namespace

namespace faultline {

void Start() {
  try {
    FaultlineStart();
  } catch (const std::exception& e) {
    throw std::runtime_error(e.what());
  }
}

void Stop() { FaultlineStop(); }

bool Active() { return FaultlineActive(); }

void SetOptions(const std::string& lines) {
  TFaultModuleOptionsEx& live = CurrentFaultlineOptions();
  // Checked first on a copy: the current options with these lines in place of the same keys, so
  // that values are judged together and a refused text changes nothing.
  std::set<std::string> given;
  for (const std::string& line : Lines(lines))
    if (std::string key = KeyOf(line); !key.empty() && key[0] != '#' && key[0] != ';') given.insert(key);
  std::string combined;
  for (const std::string& line : Lines(FormatOptionsFile(live, false)))
    if (!given.count(KeyOf(line))) combined += line + "\n";
  combined += lines;
  TFaultModuleOptions scratch(live.ModulePath(), false);
  try {
    ParseOptionsFile(scratch, combined, "options");
    ParseOptionsFile(live, lines, "options");
  } catch (const std::exception& e) {
    throw std::invalid_argument(e.what());
  }
}

std::string Options() { return FormatOptionsFile(CurrentFaultlineOptions(), false); }

__attribute__((noinline)) bool Report(std::exception_ptr exception) {
  const uintptr_t caller = reinterpret_cast<uintptr_t>(__builtin_return_address(0));
  const uintptr_t stack = reinterpret_cast<uintptr_t>(__builtin_frame_address(0)) + 2 * sizeof(void*);
  return ReportWithoutEnd(exception, caller, stack);
}

__attribute__((noinline)) bool ReportMessage(const std::string& message) {
  const uintptr_t caller = reinterpret_cast<uintptr_t>(__builtin_return_address(0));
  const uintptr_t stack = reinterpret_cast<uintptr_t>(__builtin_frame_address(0)) + 2 * sizeof(void*);
  // Made without a throw: the report is at this call, not inside this function.
  return ReportWithoutEnd(std::make_exception_ptr(EReportedMessage(message)), caller, stack);
}

void SetValue(const std::string& name, const std::string& value) { SetCustomValue(name, value); }

void ClearValues() { ClearCustomValues(); }

}  // namespace faultline
