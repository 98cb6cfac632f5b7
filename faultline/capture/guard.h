#pragma once
// Decision rules of the capture flow that need no process around them: the message of a failed
// start-up or shutdown step, the crash rule over the times of recent errors, and which messages a
// waiting main thread may handle while a report runs.
#include <cstdint>
#include <deque>
#include <string>

// "Critical error at: "FaultReport.Init"\r\nError: "message"." (or "General internal error." for an
// exception object that is none of the program's exceptions).
std::string CriticalErrorMessage(const std::string& runnerName, const std::string* exceptionMessage);

// The times of the last errors (days since 1899-12-30), oldest first, at most crashCount of them.
class TRecentErrors {
 public:
  // Adds an error time; drops the oldest one beyond crashCount.
  void Add(double when, int32_t crashCount);
  // The crash rule: exactly crashCount errors within crashMinutes.
  bool CrashRuleMet(int32_t crashCount, int32_t crashMinutes) const;
  size_t Count() const { return times_.size(); }

 private:
  std::deque<double> times_;
};

// While the faulting main thread waits for its report, user input is dropped (with a beep) and
// the quit message is kept back; everything else is handled.
enum class TWaitMessage { Dispatch, DropWithBeep, KeepQuit };
TWaitMessage ClassifyWaitMessage(uint32_t message);
