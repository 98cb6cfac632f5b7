// The public interface (faultline/faultline.h) over the capture, the options and the report.
#include <stdexcept>
#include <string>

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
  // The lines are first applied to a copy of the current options: their values are judged
  // together, as they will stand, and a refused text changes nothing.
  TFaultModuleOptions scratch(live.ModulePath(), false);
  try {
    ParseOptionsFile(scratch, FormatOptionsFile(live, false), "options");
    ParseOptionsFile(scratch, lines, "options");
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
