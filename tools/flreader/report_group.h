#pragma once
// Reports grouped by the place they come from: the exception type and the first rows of the
// faulting thread's call stack, by unit, procedure and line. Addresses are left out on purpose:
// two builds of the same code put it at other addresses, and their reports belong together.
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "tools/flreader/report_view.h"

// Rows of the faulting thread that name a place. The first alone lumps every fault inside a
// shared helper (a conversion routine, a container's range check) into one group; the helper's
// caller and the caller's caller tell those apart. Deeper rows mostly tell apart the paths that
// lead to one bug, which should stay one group.
inline constexpr size_t GroupStackRows = 3;

struct TReportRef {
  size_t Input = 0;  // index of the log or archive among the inputs
  int Number = 0;    // 1-based, the oldest first
};

struct TGroupPlace {
  std::string Unit, Class, Procedure, Line, Module;
};

struct TReportGroup {
  std::string Type;
  std::vector<TGroupPlace> Places;
  int Count = 0;
  std::string FirstText, LastText;  // exception dates as the reports write them
  int64_t First = 0, Last = 0;      // the same as seconds (UTC); 0 when unreadable
  std::vector<std::string> Versions, Computers;  // in the order first seen
  std::vector<TReportRef> Reports;
};

class TGrouping {
 public:
  void Add(const TReportView& report, TReportRef ref);
  // The groups, the largest first (then the earliest).
  std::vector<TReportGroup> Sorted() const;
  // The group key of a report (for linking a report to its group).
  static std::string KeyOf(const TReportView& report);

 private:
  std::map<std::string, TReportGroup> groups_;
};

// "Sun, 6 Dec 2026 11:41:02 +0100" as seconds since 1970 (UTC); 0 when it does not read.
int64_t ReportDateSeconds(const std::string& text);

// The faulting thread's rows (the exception thread's, else the first thread's).
const std::vector<TStackRow>* FaultingRows(const TReportView& report);

// Output of the group command.
std::string GroupTable(const std::vector<TReportGroup>& groups);
std::string GroupJson(const std::vector<TReportGroup>& groups, const std::vector<std::string>& inputs);
