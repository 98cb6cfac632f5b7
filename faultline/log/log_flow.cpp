#include "faultline/log/log_flow.h"

#include <exception>
#include <memory>

#include "faultline/internal/internal_warning.h"
#include "faultline/log/log_file.h"

bool IsDuplicateReport(uint8_t logSections, const std::string& logFileName,
                       const TReportTexts& report, TLogStorage& storage) {
  if (!(logSections & LogSkipDuplicates)) return false;
  try {
    TLogFile log(logFileName, false, storage);
    return log.FindReport({"2.2", "2.3", "2.4", "2.5"},
                          {report.Address, report.Module, report.Type, report.Message});
  } catch (const std::exception&) {
    return false;
  }
}

bool DeleteLogOnVersionChange(uint8_t logSections, const std::string& logFileName,
                              const std::string& currentVersion, TLogStorage& storage) {
  if (!(logSections & LogNewOnVersionChange)) return false;
  std::string version, name;
  try {
    TLogFile log(logFileName, true, storage);
    version = log.FieldValue("1.3", log.ReportCount() - 1);
    name = log.FileName();
  } catch (const std::exception&) {
    return false;
  }
  if (version.empty() || version == currentVersion) return false;
  return storage.DeleteFile(name);
}

TLogSaveResult SaveReportToLog(const TLogSaveRequest& request, const TLogSaveEvents& events,
                               TLogStorage& storage) {
  TLogSaveResult result;
  bool handlerAllows = true;
  if (request.LogSaved && events.BeforeSave) events.BeforeSave(handlerAllows);

  // Every try reads the file afresh: after a failure the log object may already hold the report.
  bool retry = false;
  do {
    bool failed = false;
    try {
      const std::string name = request.LogFileName ? request.LogFileName() : std::string();
      // Read, add and save under the log's lock: another process (or instance) saving into the same
      // log at the same moment waits, and neither report is lost. Bounded: a holder that hangs
      // does not keep this report from being saved.
      std::unique_ptr<TLogLock> lock = storage.Lock(name, LogLockMilliseconds);
      if (!lock) InternalWarning(eeLogError, request.ExceptionAddress, "[Log] The log is busy: saved without its lock.");
      TLogFile log(name, false, storage);
      if (!request.Duplicate) {
        log.AddReport(request.ReportText, request.LogMaxReports);
        if (request.SendFlags & SendWholeLog) {
          result.DeliveryText = log.WholeText();
          result.DeliverWholeLog = true;
        }
        if (handlerAllows && request.LogSaved) {
          log.Save();
          result.Saved = true;
        }
      }
    } catch (const std::exception& e) {
      InternalWarning(eeLogError, request.ExceptionAddress, std::string("[Log] ") + e.what());
      failed = true;
    } catch (...) {
      InternalWarning(eeLogError, request.ExceptionAddress, "General 'Log' error.");
      failed = true;
    }
    retry = false;
    if (request.LogSaved && failed && events.SaveFailed) events.SaveFailed(retry);
  } while (retry);
  if (request.LogSaved && events.AfterSave) events.AfterSave();
  return result;
}
