#include "tools/flreader/report_view.h"

#include <cstdlib>

#include "faultline/log/xml_export.h"
#include "faultline/report/report_reader.h"

namespace {

// The attributes of an element as the XML form writes them (` Name="value"`, the value's special
// characters as decimal references), back as plain name and value pairs.
TAttributes AttributesOf(const TXMLItem& item) {
  TAttributes out;
  const std::string& s = item.Attributes();
  size_t p = 0;
  for (;;) {
    const size_t eq = s.find("=\"", p);
    if (eq == std::string::npos) break;
    const size_t close = s.find('"', eq + 2);
    if (close == std::string::npos) break;
    std::string name = s.substr(p, eq - p);
    while (!name.empty() && name.front() == ' ') name.erase(0, 1);
    std::string value;
    for (size_t i = eq + 2; i < close; ++i) {
      if (s[i] == '&' && i + 1 < close && s[i + 1] == '#') {
        const size_t semi = s.find(';', i);
        if (semi != std::string::npos && semi < close) {
          value += static_cast<char>(std::strtol(s.c_str() + i + 2, nullptr, 10));
          i = semi;
          continue;
        }
      }
      value += s[i];
    }
    out.emplace_back(std::move(name), std::move(value));
    p = close + 1;
  }
  return out;
}

TXMLItem* Child(TXMLItem& parent, std::string_view name) {
  for (int i = 0; i < parent.Children().Count(); ++i)
    if (parent.Children()[i].Name() == name) return &parent.Children()[i];
  return nullptr;
}

void AddThread(TReportView& view, TXMLItem& thread) {
  TThreadView t;
  t.Kind = thread.Name();
  t.Facts = AttributesOf(thread);
  const size_t at = view.Threads.size();
  view.Threads.push_back(std::move(t));
  for (int i = 0; i < thread.Children().Count(); ++i) {
    TXMLItem& c = thread.Children()[i];
    if (c.Name() == "Line") {
      const TAttributes a = AttributesOf(c);
      view.Threads[at].Rows.push_back({AttributeValue(a, "Address"), AttributeValue(a, "Module"),
                                       AttributeValue(a, "Unit"), AttributeValue(a, "Class"),
                                       AttributeValue(a, "Procedure"), AttributeValue(a, "Number")});
    } else {
      // A calling thread is written inside the thread that started it.
      AddThread(view, c);
    }
  }
}

}  // namespace

std::string AttributeValue(const TAttributes& attributes, std::string_view name) {
  for (const auto& [n, v] : attributes)
    if (n == name) return v;
  return std::string();
}

std::string TReportView::Item(std::string_view id) const {
  for (const TGeneralItem& g : General)
    if (g.Id == id) return g.Value;
  return std::string();
}

TReportView ViewOfReport(std::string_view report, const std::string& password) {
  TReportView view;
  std::unique_ptr<TXMLItem> log = LogElementOf(report, password);
  view.Version = AttributeValue(AttributesOf(*log), "Version");
  if (TXMLItem* general = Child(*log, "General")) {
    for (int g = 0; g < general->Children().Count(); ++g) {
      TXMLItem& group = general->Children()[g];
      const std::string title = AttributeValue(AttributesOf(group), "Label");
      for (int i = 0; i < group.Children().Count(); ++i) {
        const TAttributes a = AttributesOf(group.Children()[i]);
        view.General.push_back({title, AttributeValue(a, "ID"), AttributeValue(a, "Label"), AttributeValue(a, "Value")});
      }
    }
  }
  if (TXMLItem* stack = Child(*log, "CallStack")) {
    for (int i = 0; i < stack->Children().Count(); ++i) {
      TXMLItem& c = stack->Children()[i];
      if (c.Name() == "Line") {
        // Rows outside any thread header: kept under an unnamed exception thread.
        if (view.Threads.empty()) view.Threads.push_back({"ExceptionThread", {}, {}});
        const TAttributes a = AttributesOf(c);
        view.Threads.back().Rows.push_back({AttributeValue(a, "Address"), AttributeValue(a, "Module"),
                                            AttributeValue(a, "Unit"), AttributeValue(a, "Class"),
                                            AttributeValue(a, "Procedure"), AttributeValue(a, "Number")});
      } else {
        AddThread(view, c);
      }
    }
  }
  if (TXMLItem* modules = Child(*log, "Modules"))
    for (int i = 0; i < modules->Children().Count(); ++i) view.Modules.push_back(AttributesOf(modules->Children()[i]));
  if (TXMLItem* cpu = Child(*log, "CPU")) {
    if (TXMLItem* r = Child(*cpu, "Registers")) view.Registers = AttributesOf(*r);
    if (TXMLItem* s = Child(*cpu, "Stack"))
      for (int i = 0; i < s->Children().Count(); ++i) view.Stack.push_back(AttributesOf(s->Children()[i]));
    if (TXMLItem* d = Child(*cpu, "MemoryDump"))
      for (int i = 0; i < d->Children().Count(); ++i) view.Dump.push_back(AttributesOf(d->Children()[i]));
  }
  if (TXMLItem* h = Child(*log, "HoToReproduce")) view.HowToReproduce = AttributeValue(AttributesOf(*h), "Text");
  return view;
}

namespace {

std::string Trimmed(std::string_view s) {
  const size_t b = s.find_first_not_of(' ');
  if (b == std::string_view::npos) return std::string();
  return std::string(s.substr(b, s.find_last_not_of(' ') - b + 1));
}

}  // namespace

TReportView GroupViewOfReport(std::string_view report, const std::string& password) {
  TReportView view;
  for (const char* id : {"1.3", "2.1", "2.4", "4.1"}) view.General.push_back({"", id, "", ReportFieldValue(report, id)});
  const std::string table = ReportCallStackTableOf(report);
  // Lines of the table: the rule, the column titles, the rule, then thread headers (fewer than six
  // cells), rows (six) and rules; the closing rule last.
  std::vector<std::string_view> lines;
  for (size_t p = 0; p < table.size();) {
    size_t e = table.find("\r\n", p);
    if (e == std::string::npos) e = table.size();
    lines.push_back(std::string_view(table).substr(p, e - p));
    p = e + 2;
  }
  for (size_t i = 3; i + 1 < lines.size(); ++i) {
    std::string_view row = lines[i];
    if (row.size() >= 2 && row[0] == '|' && row[1] == '-') continue;
    while (!row.empty() && row.front() == '|') row.remove_prefix(1);
    std::vector<std::string> cells;
    for (size_t start = 0;;) {
      const size_t bar = row.find('|', start);
      cells.push_back(Trimmed(row.substr(start, bar == std::string_view::npos ? bar : bar - start)));
      if (bar == std::string_view::npos) break;
      start = bar + 1;
    }
    if (!cells.empty() && cells.back().empty()) cells.pop_back();
    if (cells.empty()) continue;
    if (cells.size() < 6) {
      if (cells[0].empty()) continue;
      // The first header is the faulting thread's, as in the XML form.
      view.Threads.push_back({view.Threads.empty() ? "ExceptionThread" : "OtherThread", {}, {}});
      continue;
    }
    if (cells.size() != 6) continue;
    // Protected names are deciphered by the whole reading.
    if (!password.empty() && !cells[2].empty() && cells[2][0] == '?') return ViewOfReport(report, password);
    if (view.Threads.empty()) view.Threads.push_back({"ExceptionThread", {}, {}});
    std::string proc = cells[4];
    if (!proc.empty() && proc[0] == '@') proc[0] = '_';
    const std::string& line = cells[5];
    view.Threads.back().Rows.push_back({cells[0], cells[1], cells[2], cells[3], proc, line.substr(0, line.find('['))});
  }
  return view;
}
