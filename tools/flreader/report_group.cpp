#include "tools/flreader/report_group.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "tools/flreader/gbk_text.h"

namespace {

void AddOnce(std::vector<std::string>& list, const std::string& value) {
  if (!value.empty() && std::find(list.begin(), list.end(), value) == list.end()) list.push_back(value);
}

TGroupPlace PlaceOf(const TStackRow& row) {
  TGroupPlace p{row.Unit, row.Class, row.Procedure, row.Line, std::string()};
  // A row without debug information names only its module: that is its place then.
  if (p.Unit.empty() && p.Procedure.empty()) p.Module = row.Module;
  return p;
}

std::string PlaceText(const TGroupPlace& p) {
  if (!p.Module.empty()) return p.Module;
  std::string s = p.Unit;
  if (!s.empty()) s += ' ';
  if (!p.Class.empty()) s += p.Class + ".";
  s += p.Procedure;
  if (!p.Line.empty()) s += " " + p.Line;
  return s;
}

std::string JsonString(const std::string& gbk) {
  const std::string s = GbkToUtf8(gbk);
  std::string out = "\"";
  for (unsigned char c : s) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20) {
      char esc[8];
      std::snprintf(esc, sizeof esc, "\\u%04x", c);
      out += esc;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

std::string JsonList(const std::vector<std::string>& list) {
  std::string out = "[";
  for (size_t i = 0; i < list.size(); ++i) out += (i ? ", " : "") + JsonString(list[i]);
  return out + "]";
}

}  // namespace

const std::vector<TStackRow>* FaultingRows(const TReportView& report) {
  for (const TThreadView& t : report.Threads)
    if (t.Kind == "ExceptionThread") return &t.Rows;
  return report.Threads.empty() ? nullptr : &report.Threads.front().Rows;
}

int64_t ReportDateSeconds(const std::string& text) {
  static const char* const months[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                         "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  int day = 0, year = 0, h = 0, m = 0, s = 0, zone = 0;
  char month[4] = {0};
  const size_t comma = text.find(", ");
  const char* p = text.c_str() + (comma == std::string::npos ? 0 : comma + 2);
  if (std::sscanf(p, "%d %3s %d %d:%d:%d %d", &day, month, &year, &h, &m, &s, &zone) < 6) return 0;
  int mon = -1;
  for (int i = 0; i < 12; ++i)
    if (std::strcmp(month, months[i]) == 0) mon = i + 1;
  if (mon < 0 || day < 1 || day > 31 || year < 1900) return 0;
  // Days since 1970 of a civil date (the proleptic Gregorian calendar).
  const int y = year - (mon <= 2 ? 1 : 0);
  const int era = y / 400;
  const int yoe = y - era * 400;
  const int doy = (153 * (mon + (mon > 2 ? -3 : 9)) + 2) / 5 + day - 1;
  const int doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  const int64_t days = static_cast<int64_t>(era) * 146097 + doe - 719468;
  const int zoneSeconds = (zone / 100) * 3600 + (zone % 100) * 60;
  return days * 86400 + h * 3600 + m * 60 + s - zoneSeconds;
}

std::string TGrouping::KeyOf(const TReportView& report) {
  std::string key = report.Item("2.4");
  if (const std::vector<TStackRow>* rows = FaultingRows(report))
    for (size_t i = 0; i < rows->size() && i < GroupStackRows; ++i) {
      const TGroupPlace p = PlaceOf((*rows)[i]);
      key += '\x1f' + p.Unit + '\x1e' + p.Class + '\x1e' + p.Procedure + '\x1e' + p.Line + '\x1e' + p.Module;
    }
  return key;
}

void TGrouping::Add(const TReportView& report, TReportRef ref) {
  TReportGroup& g = groups_[KeyOf(report)];
  if (g.Count == 0) {
    g.Type = report.Item("2.4");
    if (const std::vector<TStackRow>* rows = FaultingRows(report))
      for (size_t i = 0; i < rows->size() && i < GroupStackRows; ++i) g.Places.push_back(PlaceOf((*rows)[i]));
  }
  const std::string when = report.Item("2.1");
  const int64_t t = ReportDateSeconds(when);
  if (g.Count == 0 || (t != 0 && (g.First == 0 || t < g.First))) {
    g.First = t;
    g.FirstText = when;
  }
  if (g.Count == 0 || (t != 0 && t >= g.Last)) {
    g.Last = t;
    g.LastText = when;
  }
  ++g.Count;
  AddOnce(g.Versions, report.Item("1.3"));
  AddOnce(g.Computers, report.Item("4.1"));
  g.Reports.push_back(ref);
}

std::vector<TReportGroup> TGrouping::Sorted() const {
  std::vector<TReportGroup> out;
  out.reserve(groups_.size());
  for (const auto& [key, g] : groups_) out.push_back(g);
  std::stable_sort(out.begin(), out.end(), [](const TReportGroup& a, const TReportGroup& b) {
    if (a.Count != b.Count) return a.Count > b.Count;
    return a.First < b.First;
  });
  return out;
}

std::string GroupTable(const std::vector<TReportGroup>& groups) {
  std::string out;
  char line[64];
  out += "Count  First date                       Last date                        Type\r\n";
  for (const TReportGroup& g : groups) {
    std::snprintf(line, sizeof line, "%5d  ", g.Count);
    std::string first = g.FirstText, last = g.LastText;
    first.resize(std::max<size_t>(first.size(), 31), ' ');
    last.resize(std::max<size_t>(last.size(), 31), ' ');
    out += line + first + "  " + last + "  " + g.Type + "\r\n";
    for (size_t i = 0; i < g.Places.size(); ++i)
      out += std::string(i == 0 ? "       at " : "       from ") + PlaceText(g.Places[i]) + "\r\n";
    std::string versions, computers;
    for (const std::string& v : g.Versions) versions += (versions.empty() ? "" : ", ") + v;
    for (const std::string& c : g.Computers) computers += (computers.empty() ? "" : ", ") + c;
    out += "       versions: " + versions + "; computers: " + computers + "\r\n";
  }
  return out;
}

std::string GroupJson(const std::vector<TReportGroup>& groups, const std::vector<std::string>& inputs) {
  std::string out = "{\"inputs\": " + JsonList(inputs) + ", \"groups\": [";
  for (size_t n = 0; n < groups.size(); ++n) {
    const TReportGroup& g = groups[n];
    out += n ? ",\n" : "\n";
    out += "{\"count\": " + std::to_string(g.Count) + ", \"type\": " + JsonString(g.Type) + ", \"places\": [";
    for (size_t i = 0; i < g.Places.size(); ++i) {
      const TGroupPlace& p = g.Places[i];
      out += std::string(i ? ", " : "") + "{\"unit\": " + JsonString(p.Unit) + ", \"class\": " + JsonString(p.Class) +
             ", \"procedure\": " + JsonString(p.Procedure) + ", \"line\": " + JsonString(p.Line) +
             ", \"module\": " + JsonString(p.Module) + "}";
    }
    out += "], \"first\": " + JsonString(g.FirstText) + ", \"last\": " + JsonString(g.LastText) +
           ", \"versions\": " + JsonList(g.Versions) + ", \"computers\": " + JsonList(g.Computers) + ", \"reports\": [";
    for (size_t i = 0; i < g.Reports.size(); ++i)
      out += std::string(i ? ", " : "") + "{\"input\": " + std::to_string(g.Reports[i].Input) +
             ", \"number\": " + std::to_string(g.Reports[i].Number) + "}";
    out += "]}";
  }
  return out + "\n]}\n";
}
