#pragma once
// The report flow's steps around the log file: the duplicate search, the version-change deletion,
// saving the report with its events and retry, and the names of the temporary report files.
#include <cstdint>
#include <functional>
#include <string>

#include "faultline/log/log_storage.h"
#include "faultline/report/report_records.h"
#include "faultline/report/report_text.h"

// LogSections bits read here.
enum : uint8_t {
  LogSkipDuplicates = 0x01,
  LogNewOnVersionChange = 0x04,
};
// SendFlags bit: the whole log is what gets delivered.
constexpr uint16_t SendWholeLog = 0x0004;
// The longest a report waits for another process that saves into the same log.
constexpr unsigned LogLockMilliseconds = 5000;

// True when bit 0x01 of logSections is set and the log holds a report with the same address,
// module, type and message (items 2.2 to 2.5). A log that cannot be read holds no duplicate.
bool IsDuplicateReport(uint8_t logSections, const std::string& logFileName,
                       const TReportTexts& report, TLogStorage& storage);

// With bit 0x04 of logSections: deletes the log when the version number (item 1.3) of its last
// report is not empty and differs from currentVersion. Returns true when it deleted the file.
bool DeleteLogOnVersionChange(uint8_t logSections, const std::string& logFileName,
                              const std::string& currentVersion, TLogStorage& storage);

// The events the save step raises (set by the capture layer; empty ones do nothing).
struct TLogSaveEvents {
  // Action event before saving; the handler may clear `saveAllowed`.
  std::function<void(bool& saveAllowed)> BeforeSave;
  // Error event after a failed save; the handler may set `retry`.
  std::function<void(bool& retry)> SaveFailed;
  // Action event after the step.
  std::function<void()> AfterSave;
};

struct TLogSaveRequest {
  bool LogSaved = true;
  int32_t LogMaxReports = 32;
  uint16_t SendFlags = 0;
  // The configured log file name; asked again on every try, since handlers may change options.
  std::function<std::string()> LogFileName;
  std::string ReportText;
  bool Duplicate = false;
  uint64_t ExceptionAddress = 0;  // for the internal warning
};

struct TLogSaveResult {
  bool Saved = false;             // the log file was written
  bool DeliverWholeLog = false;   // DeliveryText holds the whole log
  std::string DeliveryText;       // the whole log when SendFlags has 0x0004
};

// The save step. Failures go to the internal warning channel (code eeLogError) and raise the
// error event; a retry reloads the log from its file, so the report is added once.
TLogSaveResult SaveReportToLog(const TLogSaveRequest& request, const TLogSaveEvents& events,
                               TLogStorage& storage);
