#include "tools/flreader/html_pages.h"

#include <cstdio>
#include <filesystem>
#include <memory>
#include <stdexcept>

#include "tools/flreader/gbk_text.h"
#include "tools/flreader/report_group.h"
#include "tools/flreader/report_view.h"

namespace {

const char* const Style =
    "<style>body{font-family:sans-serif;margin:1.5em}table{border-collapse:collapse;margin-bottom:1.5em}"
    "td,th{border:1px solid #bbb;padding:2px 6px;text-align:left;vertical-align:top}"
    "th{background:#eee}td.v{white-space:pre-wrap}tr.thread th{background:#dde6f0}"
    "tr.fault td{background:#fdd;font-weight:bold}.mono td{font-family:monospace}</style>\n";

struct TFileCloser {
  void operator()(std::FILE* f) const { std::fclose(f); }
};

void WriteFile(const std::string& path, const std::string& bytes) {
  std::unique_ptr<std::FILE, TFileCloser> f(std::fopen(path.c_str(), "wb"));
  if (!f || std::fwrite(bytes.data(), 1, bytes.size(), f.get()) != bytes.size())
    throw std::runtime_error("cannot write " + path);
}

// A value of the report: GBK text converted and escaped.
std::string V(const std::string& gbk) { return HtmlEscape(GbkToUtf8(gbk)); }

std::string Head(const std::string& title) {
  return "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>" + title + "</title>\n" + Style +
         "</head><body>\n";
}

std::string ReportPageName(int number) { return "report-" + std::to_string(number) + ".html"; }

std::string AttributesTable(const std::vector<TAttributes>& rows, const std::vector<const char*>& columns,
                            const char* cls) {
  std::string out = std::string("<table class=\"") + cls + "\"><tr>";
  for (const char* c : columns) out += std::string("<th>") + c + "</th>";
  out += "</tr>\n";
  for (const TAttributes& r : rows) {
    out += "<tr>";
    for (const char* c : columns) out += "<td>" + V(AttributeValue(r, c)) + "</td>";
    out += "</tr>\n";
  }
  return out + "</table>\n";
}

std::string ThreadTitle(const TThreadView& t) {
  std::string kind = t.Kind == "ExceptionThread" ? "Exception thread"
                     : t.Kind == "RunningThread" ? "Running thread"
                                                 : "Calling thread";
  std::string s = kind + ": ID " + AttributeValue(t.Facts, "ID");
  const std::string priority = AttributeValue(t.Facts, "Priority"), cls = AttributeValue(t.Facts, "Class");
  if (!priority.empty()) s += ", priority " + priority;
  if (!cls.empty()) s += ", class " + cls;
  if (AttributeValue(t.Facts, "MainThread") == "True") s += ", main thread";
  return s;
}

std::string ReportPage(const TReportView& r, int number, const std::string& screenshot) {
  std::string out = Head("Report " + std::to_string(number) + ": " + V(r.Item("2.4")));
  out += "<p><a href=\"index.html\">All reports</a></p>\n";
  out += "<h1>Report " + std::to_string(number) + ": " + V(r.Item("2.4")) + "</h1>\n";
  out += "<p class=\"message\">" + V(r.Item("2.5")) + "</p>\n";
  out += "<p>Written by version " + V(r.Version) + " of the reporting code.</p>\n";
  // The general sections, the custom data of "Other information" among them.
  std::string group;
  bool open = false;
  for (const TGeneralItem& g : r.General) {
    if (!open || g.Group != group) {
      if (open) out += "</table>\n";
      group = g.Group;
      open = true;
      out += "<h2>" + V(group) + "</h2>\n<table class=\"general\">\n";
    }
    out += "<tr><th>" + V(g.Id) + "</th><th>" + V(g.Label) + "</th><td class=\"v\">" + V(g.Value) + "</td></tr>\n";
  }
  if (open) out += "</table>\n";
  out += "<h2>Call stack</h2>\n<table class=\"stack mono\"><tr><th>Address</th><th>Module</th><th>Unit</th>"
         "<th>Class</th><th>Procedure</th><th>Line</th></tr>\n";
  bool faultMarked = false;
  for (const TThreadView& t : r.Threads) {
    out += "<tr class=\"thread\"><th colspan=\"6\">" + V(ThreadTitle(t)) + "</th></tr>\n";
    for (size_t i = 0; i < t.Rows.size(); ++i) {
      const TStackRow& row = t.Rows[i];
      // The faulting row: the exception thread's first.
      const bool fault = !faultMarked && t.Kind == "ExceptionThread" && i == 0;
      faultMarked = faultMarked || fault;
      out += fault ? "<tr class=\"fault\">" : "<tr>";
      for (const std::string* c : {&row.Address, &row.Module, &row.Unit, &row.Class, &row.Procedure, &row.Line})
        out += "<td>" + V(*c) + "</td>";
      out += "</tr>\n";
    }
  }
  out += "</table>\n<h2>Modules</h2>\n";
  out += AttributesTable(r.Modules, {"Handle", "Name", "Description", "Version", "Size", "Modified", "Path"}, "modules mono");
  out += "<h2>CPU</h2>\n<table class=\"registers mono\"><tr>";
  for (const auto& [n, v] : r.Registers) out += "<th>" + V(n) + "</th>";
  out += "</tr>\n<tr>";
  for (const auto& [n, v] : r.Registers) out += "<td>" + V(v) + "</td>";
  out += "</tr></table>\n<table class=\"dump mono\"><tr><th>Stack address</th><th>Value</th><th>Dump address</th>"
         "<th>Bytes</th><th>Characters</th></tr>\n";
  for (size_t i = 0; i < r.Stack.size() || i < r.Dump.size(); ++i) {
    const TAttributes none;
    const TAttributes& s = i < r.Stack.size() ? r.Stack[i] : none;
    const TAttributes& d = i < r.Dump.size() ? r.Dump[i] : none;
    out += "<tr><td>" + V(AttributeValue(s, "Address")) + "</td><td>" + V(AttributeValue(s, "Value")) + "</td><td>" +
           V(AttributeValue(d, "Address")) + "</td><td>" + V(AttributeValue(d, "Bytes")) + "</td><td class=\"v\">" +
           V(AttributeValue(d, "Chars")) + "</td></tr>\n";
  }
  out += "</table>\n";
  if (!r.HowToReproduce.empty()) out += "<h2>How to reproduce</h2>\n<p class=\"v\">" + V(r.HowToReproduce) + "</p>\n";
  if (!screenshot.empty())
    out += "<h2>Screenshot</h2>\n<p><img src=\"" + HtmlEscape(screenshot) + "\" alt=\"Screenshot\"></p>\n";
  return out + "</body></html>\n";
}

std::string PlaceCell(const std::vector<TGroupPlace>& places) {
  std::string out;
  for (size_t i = 0; i < places.size(); ++i) {
    const TGroupPlace& p = places[i];
    std::string s = p.Module.empty() ? p.Unit + " " + (p.Class.empty() ? "" : p.Class + ".") + p.Procedure + " " + p.Line
                                     : p.Module;
    out += (i ? "<br>" : "") + V(s);
  }
  return out;
}

}  // namespace

std::string HtmlEscape(const std::string& utf8) {
  std::string out;
  out.reserve(utf8.size());
  for (char c : utf8) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      case '\'': out += "&#39;"; break;
      default:
        // Control characters other than tab and line breaks have no business in a page.
        out += (static_cast<unsigned char>(c) < 0x20 && c != '\t' && c != '\r' && c != '\n') ? '?' : c;
    }
  }
  return out;
}

std::string GroupIndexPage(const std::string& title, const std::string& subtitle,
                           const std::vector<TReportGroup>& groups, int reports,
                           const std::function<TPageLink(const TReportRef&)>& link) {
  std::string index = Head(title);
  index += "<h1>" + std::to_string(reports) + " reports in " + std::to_string(groups.size()) + " groups</h1>\n";
  index += "<p>" + subtitle + "</p>\n";
  index += "<table class=\"groups\"><tr><th>Count</th><th>Type</th><th>Place</th><th>First</th><th>Last</th>"
           "<th>Versions</th><th>Computers</th><th>Reports</th></tr>\n";
  for (const TReportGroup& g : groups) {
    std::string versions, computers, links;
    for (const std::string& v : g.Versions) versions += (versions.empty() ? "" : ", ") + V(v);
    for (const std::string& c : g.Computers) computers += (computers.empty() ? "" : ", ") + V(c);
    for (const TReportRef& ref : g.Reports) {
      const TPageLink l = link(ref);
      links += "<a href=\"" + HtmlEscape(l.Address) + "\">" + HtmlEscape(l.Text) + "</a> ";
    }
    index += "<tr><td>" + std::to_string(g.Count) + "</td><td>" + V(g.Type) + "</td><td>" + PlaceCell(g.Places) +
             "</td><td>" + V(g.FirstText) + "</td><td>" + V(g.LastText) + "</td><td>" + versions + "</td><td>" +
             computers + "</td><td>" + links + "</td></tr>\n";
  }
  return index + "</table>\n</body></html>\n";
}

THtmlResult WriteHtmlPages(const std::string& input, const std::string& folder, const std::string& password) {
  std::filesystem::create_directories(std::filesystem::path(folder));
  const std::string dir = folder + "/";
  // The newest report is known only at the end; the screenshot is found before any report.
  TArchiveExtras extras;
  int count = 0;
  ForEachInputReport(input, [&](std::string&&) { ++count; }, &extras);
  std::string screenshot;
  if (!extras.ScreenshotName.empty()) {
    screenshot = "screenshot.png";
    WriteFile(dir + screenshot, extras.Screenshot);
  }
  TGrouping grouping;
  int number = 0;
  ForEachInputReport(input, [&](std::string&& report) {
    const TReportView view = ViewOfReport(report, password);
    ++number;
    grouping.Add(view, {0, number});
    WriteFile(dir + ReportPageName(number), ReportPage(view, number, number == count ? screenshot : std::string()));
  });
  const std::vector<TReportGroup> groups = grouping.Sorted();
  const std::string index = GroupIndexPage("Reports of " + HtmlEscape(GbkToUtf8(input)), V(input), groups, number,
                                           [](const TReportRef& ref) {
                                             return TPageLink{ReportPageName(ref.Number), std::to_string(ref.Number)};
                                           });
  WriteFile(dir + "index.html", index);
  return {number, static_cast<int>(groups.size())};
}
