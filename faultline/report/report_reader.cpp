#include "faultline/report/report_reader.h"

#include <vector>

#include "faultline/report/log_item.h"
#include "faultline/report/report_format.h"

namespace {

constexpr std::string_view CrLf = "\r\n";
constexpr std::string_view TableStart = "-\r\n|";

bool StartsWith(std::string_view s, char c) { return !s.empty() && s[0] == c; }

// Line positions of one report: where its tables and sections begin and end (indices into the
// report's lines; npos when absent).
struct TReportIndex {
  static constexpr size_t npos = static_cast<size_t>(-1);
  std::vector<std::string> Lines;
  size_t StackRule = npos, StackClose = npos;  // closing rule, or Lines.size() when cut off
  size_t ModulesRule = npos, ModulesClose = npos;
  bool ModulesTable = false;
  size_t CpuStart = npos, CpuEnd = npos;

  explicit TReportIndex(std::string_view report) {
    SplitLines(report, Lines);
    const size_t n = Lines.size();
    for (size_t i = 0; i + 1 < n; ++i)
      if (StartsWith(Lines[i], '-') && StartsWith(Lines[i + 1], '|')) {
        StackRule = i;
        break;
      }
    if (StackRule == npos) return;
    StackClose = TableClose(StackRule);
    if (StackClose >= n) return;
    for (size_t i = StackClose + 1; i < n; ++i)
      if (StartsWith(Lines[i], '-')) {
        ModulesRule = i;
        break;
      }
    if (ModulesRule == npos) return;
    ModulesTable = ModulesRule + 1 < n && StartsWith(Lines[ModulesRule + 1], '|');
    ModulesClose = ModulesTable ? TableClose(ModulesRule) : ModulesRule;
    if (ModulesClose >= n) return;
    size_t i = ModulesClose + 1;
    while (i < n && Lines[i].empty()) ++i;
    if (i >= n) return;
    CpuStart = i;
    int empties = 0;
    for (; i < n; ++i)
      if (Lines[i].empty() && ++empties == 2) break;
    CpuEnd = i;
  }

  // The closing rule of a table whose first rule is at `rule`: the first line after the header
  // row and its rule that is not a row.
  size_t TableClose(size_t rule) const {
    size_t j = rule + 3;
    while (j < Lines.size() && StartsWith(Lines[j], '|')) ++j;
    return j;
  }

  std::string Join(size_t from, size_t to) const {  // lines [from, to), each ending in CR LF
    std::string out;
    for (size_t i = from; i < to && i < Lines.size(); ++i) {
      out += Lines[i];
      out += CrLf;
    }
    return out;
  }
};

}  // namespace

std::string ReportFieldValue(std::string_view report, std::string_view itemNumber) {
  const std::string key = "\r\n  " + std::string(itemNumber) + " ";
  const size_t at = report.find(key);
  if (at == std::string_view::npos) return std::string();
  const size_t sep = report.find(": ", at + 2);
  if (sep == std::string_view::npos) return std::string();
  size_t start = sep + 2;
  size_t end = report.find(CrLf, start);
  std::vector<std::string> lines;
  lines.emplace_back(report.substr(start, end == std::string_view::npos ? end : end - start));
  while (end != std::string_view::npos) {
    const size_t lineStart = end + 2;
    const size_t lineEnd = report.find(CrLf, lineStart);
    std::string_view line =
        report.substr(lineStart, lineEnd == std::string_view::npos ? lineEnd : lineEnd - lineStart);
    if (line.empty() || (line.size() >= 4 && line[0] == ' ' && line[1] == ' ' && line[3] != ' '))
      break;
    size_t b = 0;
    while (b < line.size() && line[b] == ' ') ++b;
    lines.emplace_back(line.substr(b));
    end = lineEnd;
  }
  std::string value;
  for (size_t i = 0; i < lines.size(); ++i) {
    std::string& l = lines[i];
    for (size_t p = l.find(":_"); p != std::string::npos; p = l.find(":_", p + 2)) l[p + 1] = ' ';
    if (i > 0 && StartsWith(l, '.')) l[0] = ' ';
    if (i + 1 < lines.size() && !l.empty() && l.back() == '.') l.back() = ' ';
    if (i > 0) value += CrLf;
    value += l;
  }
  return TrimBlanks(value);
}

bool ReportMatches(std::string_view report, std::string_view itemNumber, std::string_view value) {
  const std::string key = "\r\n  " + std::string(itemNumber) + " ";
  const size_t at = report.find(key);
  if (at == std::string_view::npos) return false;
  const size_t lineStart = at + 2;
  const size_t sep = report.find(": ", lineStart);
  if (sep == std::string_view::npos) return false;
  const size_t p = sep - lineStart + 1;
  // Encoded exactly as the report writer stored it, so that a multi-line value can match.
  const std::string expected = EncodeMultiLineValue(value, p + 1) + "\r\n";
  return report.substr(sep + 2, expected.size()) == expected;
}

std::string ReportVersionOf(std::string_view report) {
  const size_t end = report.find_first_of("\r\n");
  std::string_view first = report.substr(0, end);
  return first.size() > 10 ? std::string(first.substr(10)) : std::string();
}

std::string ReportGeneralPartOf(std::string_view report) {
  TReportIndex ix(report);
  std::string s = ix.StackRule == TReportIndex::npos
                      ? std::string(report)
                      : ix.Join(0, ix.StackRule == 0 ? 0 : ix.StackRule - 1);
  while (!s.empty() && (s.back() == '\r' || s.back() == '\n' || s.back() == ' ')) s.pop_back();
  return s;
}

std::string ReportCallStackTableOf(std::string_view report) {
  TReportIndex ix(report);
  if (ix.StackRule == TReportIndex::npos) return std::string();
  return ix.Join(ix.StackRule, ix.StackClose + 1);
}

std::string ReportModulesTableOf(std::string_view report) {
  TReportIndex ix(report);
  if (ix.ModulesRule == TReportIndex::npos || !ix.ModulesTable) return std::string();
  return ix.Join(ix.ModulesRule, ix.ModulesClose + 1);
}

std::string ReportCpuSectionOf(std::string_view report) {
  TReportIndex ix(report);
  if (ix.CpuStart == TReportIndex::npos) return std::string();
  std::string s = ix.Join(ix.CpuStart, ix.CpuEnd);
  // A 32-bit context shows EAX first, a 64-bit one RAX.
  return s.find("EAX") == std::string::npos && s.find("RAX") == std::string::npos ? std::string()
                                                                                    : s;
}

bool IsWideCpuSection(const std::vector<std::string>& lines) {
  return lines.size() > 2 && lines[2].compare(0, 3, "RAX") == 0;
}

std::string ReportHowToReproduceOf(std::string_view report) {
  size_t at = 0;
  for (int i = 0; i < 3; ++i) {
    at = report.find(TableStart, i == 0 ? 0 : at + 1);
    if (at == std::string_view::npos) return std::string();
  }
  for (int i = 0; i < 3; ++i) {
    at = report.find(":\r\n-", at + 1);
    if (at == std::string_view::npos) return std::string();
  }
  const size_t ruleEnd = report.find(CrLf, at + 3);
  if (ruleEnd == std::string_view::npos) return std::string();
  const size_t textStart = ruleEnd + 2;
  const size_t textEnd = report.find("\r\n\r\n", textStart);
  return std::string(report.substr(
      textStart, textEnd == std::string_view::npos ? std::string_view::npos : textEnd - textStart));
}
