#pragma once
// One stored report as the reader's commands see it: the values of its XML form (general items,
// threads with their call-stack rows, modules, registers, stack and memory dump) read back into
// plain fields. Values are the log's own bytes (GBK text).
#include <string>
#include <string_view>
#include <utility>
#include <vector>

using TAttributes = std::vector<std::pair<std::string, std::string>>;

struct TGeneralItem {
  std::string Group;  // the section title, such as "Exception"
  std::string Id;     // "2.5"
  std::string Label;
  std::string Value;
};

struct TStackRow {
  std::string Address, Module, Unit, Class, Procedure, Line;
};

struct TThreadView {
  std::string Kind;  // ExceptionThread, RunningThread or CallingThread
  TAttributes Facts;  // ID, Priority, Class, MainThread
  std::vector<TStackRow> Rows;
};

struct TReportView {
  std::string Version;
  std::vector<TGeneralItem> General;
  std::vector<TThreadView> Threads;  // in the order of the call-stack table
  std::vector<TAttributes> Modules;
  TAttributes Registers;
  std::vector<TAttributes> Stack, Dump;
  std::string HowToReproduce;

  // The value of a general item, empty when the report lacks it.
  std::string Item(std::string_view id) const;
};

// Reads one stored report; password deciphers protected call-stack names.
TReportView ViewOfReport(std::string_view report, const std::string& password);

// What grouping needs of a report, read faster than the whole view: the general items 1.3, 2.1,
// 2.4 and 4.1 and the call stack's threads and rows (the same values ViewOfReport gives them).
TReportView GroupViewOfReport(std::string_view report, const std::string& password);

// The value of attribute name, empty when absent.
std::string AttributeValue(const TAttributes& attributes, std::string_view name);
