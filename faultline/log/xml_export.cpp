#include "faultline/log/xml_export.h"

#include <algorithm>

#include "faultline/codecs/codecs.h"
#include "faultline/report/report_reader.h"
#include "faultline/report/log_item.h"
#include "faultline/report/report_format.h"

namespace {

void ReplaceAll(std::string& s, std::string_view from, std::string_view to) {
  for (size_t p = s.find(from); p != std::string::npos; p = s.find(from, p + to.size()))
    s.replace(p, from.size(), to);
}

bool StartsWith(std::string_view s, std::string_view prefix) {
  return s.size() >= prefix.size() && s.compare(0, prefix.size(), prefix) == 0;
}

// Characters `from` to `to` (1-based, inclusive) of a line; what exists of them.
std::string Columns(const std::string& line, size_t from, size_t to) {
  if (line.size() < from) return std::string();
  return line.substr(from - 1, to - from + 1);
}

// Cells of a table row: leading bars skipped, cells trimmed, an empty last cell dropped.
std::vector<std::string> RowCells(std::string_view row) {
  size_t b = 0;
  while (b < row.size() && row[b] == '|') ++b;
  std::vector<std::string> cells;
  if (b >= row.size()) return cells;
  size_t start = b;
  for (;;) {
    size_t bar = row.find('|', start);
    cells.push_back(TrimBlanks(row.substr(start, bar == std::string_view::npos ? bar : bar - start)));
    if (bar == std::string_view::npos) break;
    start = bar + 1;
  }
  if (!cells.empty() && cells.back().empty()) cells.pop_back();
  return cells;
}

std::string AfterEquals(const std::vector<std::string>& cells, size_t i) {
  if (i >= cells.size()) return std::string();
  size_t eq = cells[i].find('=');
  return eq == std::string::npos ? std::string() : cells[i].substr(eq + 1);
}

// A general value as the reader gives it back: the "." that stands for a blank line goes, and
// ": " returns.
std::string GeneralValue(std::string v) {
  if (StartsWith(v, ".\r\n")) v.erase(0, 1);
  if (v.size() >= 3 && v.compare(v.size() - 3, 3, "\r\n.") == 0) v.pop_back();
  ReplaceAll(v, ":_", ": ");
  ReplaceAll(v, "\n.\r", "\n\r");
  return v;
}

void BuildGeneral(TXMLItem& general, std::string_view report) {
  std::vector<std::string> lines;
  SplitLines(ReportGeneralPartOf(report), lines);
  bool expectHeader = true;
  TXMLItem* group = nullptr;
  bool groupNamed = false;
  std::string groupLabel;
  TXMLItem* pending = nullptr;
  std::string pendingValue;
  auto flush = [&] {
    if (pending) pending->AddAttribute("Value", GeneralValue(std::move(pendingValue)));
    pending = nullptr;
    pendingValue.clear();
  };
  for (size_t i = 2; i < lines.size(); ++i) {
    const std::string& raw = lines[i];
    if (expectHeader) {
      group = &general.AddChild("Group");
      groupLabel = raw.empty() ? std::string() : raw.substr(0, raw.size() - 1);
      groupNamed = false;
      expectHeader = false;
      ++i;  // the rule under the title
      continue;
    }
    const std::string t = TrimBlanks(raw);
    size_t sep = t.find(": ");
    size_t valueStart = sep == std::string::npos ? std::string::npos : sep + 2;
    if (sep == std::string::npos && !t.empty() && t.back() == ':') {
      sep = t.size() - 1;
      valueStart = t.size();
    }
    if (sep == std::string::npos) {
      if (!t.empty()) {
        if (pending) pendingValue += "\r\n" + t;
      } else {
        flush();
        expectHeader = true;
      }
      continue;
    }
    flush();
    const size_t space = t.find(' ');
    const bool numbered = space != std::string::npos && space < sep;
    const std::string number = t.substr(0, numbered ? space : sep);
    const std::string label = numbered ? TrimBlanks(t.substr(space + 1, sep - space - 1)) : "";
    if (!groupNamed) {
      group->AddAttribute("ID", number.substr(0, number.find('.')));
      group->AddAttribute("Label", groupLabel);
      groupNamed = true;
    }
    pending = &group->AddChild("Line");
    pending->AddAttribute("ID", number);
    pending->AddAttribute("Label", label);
    pendingValue = t.substr(valueStart);
  }
  flush();
}

bool IsPlainName(const std::string& s) {
  for (unsigned char c : s)
    if (!(c == '.' || c == '@' || c == '_' || (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') ||
          (c >= 'a' && c <= 'z')))
      return false;
  return true;
}

std::string Decipher(std::string_view base64) {
  std::string bytes = Base64Decode(base64);
  if (!bytes.empty()) CipherDecrypt(bytes.data(), bytes.size());
  return bytes;
}

void BuildCallStack(TXMLItem& callStack, std::string_view report, bool oldVersion,
                    const std::string& password) {
  std::vector<std::string> lines;
  SplitLines(ReportCallStackTableOf(report), lines);
  TXMLItem* current = oldVersion ? &callStack.AddChild("ExceptionThread") : nullptr;
  bool firstHeader = true, topLevelNext = false, keySet = false;
  for (size_t i = 3; i + 1 < lines.size(); ++i) {
    const std::string& row = lines[i];
    if (StartsWith(row, "|-")) continue;
    std::vector<std::string> cells = RowCells(row);
    if (cells.empty()) continue;
    if (cells.size() < 6) {
      if (cells[0].empty()) {
        topLevelNext = true;
        continue;
      }
      const std::string first = cells[0];
      cells.resize(1);
      const size_t colon = first.find(':');
      if (colon != std::string::npos && colon + 2 <= first.size()) {
        std::string_view rest = std::string_view(first).substr(colon + 2);
        for (;;) {
          size_t semi = rest.find(';');
          cells.push_back(TrimBlanks(rest.substr(0, semi)));
          if (semi == std::string_view::npos) break;
          rest.remove_prefix(semi + 1);
        }
      }
      TXMLItem* parent = &callStack;
      const char* name = "CallingThread";
      if (firstHeader)
        name = "ExceptionThread";
      else if (topLevelNext)
        name = "RunningThread";
      else if (current)
        parent = current;
      firstHeader = topLevelNext = false;
      current = &parent->AddChild(name);
      current->AddAttribute("ID", AfterEquals(cells, 1));
      current->AddAttribute("Priority", AfterEquals(cells, 2));
      current->AddAttribute("Class", AfterEquals(cells, 3));
      current->AddAttribute("MainThread", cells.size() >= 5 ? "True" : "False");
      continue;
    }
    if (cells.size() != 6) continue;
    std::string unit = cells[2], cls = cells[3], proc = cells[4];
    if (!password.empty() && StartsWith(unit, "?")) {
      if (!keySet) CipherSetKey(password);
      keySet = true;
      const char kind = unit.size() > 1 ? unit[1] : '\0';
      std::string dUnit = Decipher(unit.size() > 2 ? std::string_view(unit).substr(2) : "");
      std::string dProc = Decipher(proc.size() > 1 ? std::string_view(proc).substr(1) : "");
      std::string dClass = Decipher(cls.size() > 1 ? std::string_view(cls).substr(1) : "");
      if (dUnit.find('.') == std::string::npos) dUnit += kind == 'p' ? ".pas" : ".cpp";
      const size_t dot = dProc.find('.');
      if (dot != std::string::npos) {
        dClass = dProc.substr(0, dot);
        dProc.erase(0, dot + 1);
      }
      if (IsPlainName(dUnit) && IsPlainName(dProc) && IsPlainName(dClass)) {
        unit = dUnit;
        cls = dClass;
        proc = dProc;
      }
    }
    if (StartsWith(proc, "@")) proc[0] = '_';
    const std::string& lineCell = cells[5];
    const size_t open = lineCell.find('[');
    std::string offset;
    if (open != std::string::npos) {
      const size_t close = lineCell.find(']', open);
      offset = lineCell.substr(open + 1, close == std::string::npos ? close : close - open - 1);
    }
    TXMLItem& line = (current ? *current : callStack).AddChild("Line");
    line.AddAttribute("Address", cells[0]);
    line.AddAttribute("Module", cells[1]);
    line.AddAttribute("Unit", unit);
    line.AddAttribute("Class", cls);
    line.AddAttribute("Procedure", proc);
    line.AddAttribute("Number", lineCell.substr(0, open));
    line.AddAttribute("Offset", offset);
  }
}

void BuildModules(TXMLItem& modules, std::string_view report) {
  std::vector<std::string> lines;
  SplitLines(ReportModulesTableOf(report), lines);
  static const char* const names[5] = {"Handle", "Name", "Description", "Version", "Size"};
  for (size_t i = 3; i + 1 < lines.size(); ++i) {
    if (StartsWith(lines[i], "|-")) continue;
    const std::vector<std::string> cells = RowCells(lines[i]);
    TXMLItem& m = modules.AddChild("Module");
    for (size_t c = 0; c < 5 && c < cells.size(); ++c) m.AddAttribute(names[c], cells[c]);
    if (cells.size() >= 7) {
      m.AddAttribute("Modified", cells[5]);
      m.AddAttribute("Path", cells[6]);
    } else if (cells.size() == 6) {
      m.AddAttribute("Path", cells[5]);
    }
  }
}

// The "NAME: value" pairs of a 64-bit context's register lines (names may be padded before
// their ":"); a value of question marks is unknown and left out.
void AddWideRegisters(TXMLItem& registers, const std::vector<std::string>& lines, size_t end) {
  std::vector<std::pair<std::string, std::string>> found;
  for (size_t i = 2; i < end; ++i) {
    std::vector<std::string> words;
    for (size_t p = 0; p < lines[i].size();) {
      const size_t b = lines[i].find_first_not_of(' ', p);
      if (b == std::string::npos) break;
      const size_t e = std::min(lines[i].find(' ', b), lines[i].size());
      words.push_back(lines[i].substr(b, e - b));
      p = e;
    }
    for (size_t w = 0; w < words.size(); ++w) {
      std::string name = words[w];
      if (name == ":") continue;
      if (!name.empty() && name.back() == ':') {
        name.pop_back();
      } else if (w + 1 < words.size() && words[w + 1] == ":") {
        ++w;
      } else {
        continue;
      }
      if (w + 1 >= words.size()) break;
      found.emplace_back(name, words[++w]);
    }
  }
  static const char* const order[] = {"RAX", "RBX", "RCX", "RDX", "RSI", "RDI", "RBP",
                                      "RSP", "R8",  "R9",  "R10", "R11", "R12", "R13",
                                      "R14", "R15", "RIP", "EFLAGS", "CS", "DS", "ES",
                                      "FS",  "GS",  "SS"};
  for (const char* name : order)
    for (const auto& [n, v] : found)
      if (n == name && v.find_first_not_of('?') != std::string::npos) {
        registers.AddAttribute(n, v);
        break;
      }
}

void BuildCpu(TXMLItem& cpu, std::string_view report) {
  std::vector<std::string> lines;
  SplitLines(ReportCpuSectionOf(report), lines);
  if (lines.empty()) return;
  TXMLItem& registers = cpu.AddChild("Registers");
  // A 64-bit context (RAX first) has more register lines and 16-digit addresses and stack words;
  // its dump lines follow the empty line, the title and the rule after the registers.
  const bool wide = IsWideCpuSection(lines);
  size_t first = 9, digits = 8;
  if (wide) {
    size_t empty = 2;
    while (empty < lines.size() && !lines[empty].empty()) ++empty;
    AddWideRegisters(registers, lines, empty);
    first = empty + 3;
    digits = 16;
  } else {
    static const struct {
      const char* Name;
      size_t Line, From;
    } regs[8] = {{"EAX", 3, 6},  {"EBX", 4, 6},  {"ECX", 5, 6},  {"EDX", 6, 6},
                 {"EDI", 3, 22}, {"ESI", 4, 22}, {"ESP", 5, 22}, {"EIP", 6, 22}};
    for (const auto& r : regs) {
      if (r.Line > lines.size()) continue;
      const std::string v = Columns(lines[r.Line - 1], r.From, r.From + 7);
      if (v != "????    ") registers.AddAttribute(r.Name, v);
    }
  }
  TXMLItem& stack = cpu.AddChild("Stack");
  TXMLItem& dump = cpu.AddChild("MemoryDump");
  // Columns of a dump line: stack address, stack word, dump address, 16 bytes, 16 characters.
  const size_t d = digits;
  for (size_t i = first; i < lines.size(); ++i) {
    const std::string& l = lines[i];
    TXMLItem& s = stack.AddChild("Line");
    s.AddAttribute("Address", Columns(l, 1, d));
    s.AddAttribute("Value", Columns(l, d + 3, 2 * d + 2));
    TXMLItem& m = dump.AddChild("Line");
    m.AddAttribute("Address", Columns(l, 2 * d + 6, 3 * d + 5));
    m.AddAttribute("Bytes", Columns(l, 3 * d + 8, 3 * d + 54));
    m.AddAttribute("Chars", Columns(l, 3 * d + 57, 3 * d + 72));
  }
}

}  // namespace

TXMLItem& TXMLItems::Add(std::unique_ptr<TXMLItem> item) {
  items_.push_back(std::move(item));
  return *items_.back();
}

TXMLItem::TXMLItem(std::string name) : name_(std::move(name)) {}

TXMLItem& TXMLItem::AddChild(std::string name) {
  return AddChild(std::make_unique<TXMLItem>(std::move(name)));
}

TXMLItem& TXMLItem::AddChild(std::unique_ptr<TXMLItem> child) {
  TXMLItem& added = children_.Add(std::move(child));
  added.parent_ = this;
  return added;
}

void TXMLItem::AddAttribute(std::string_view name, std::string_view value) {
  attributes_ += ' ';
  attributes_ += name;
  attributes_ += "=\"";
  attributes_ += Escape(value);
  attributes_ += '"';
}

std::string TXMLItem::Escape(std::string_view text) {
  std::string out;
  out.reserve(text.size() + text.size() / 8);
  for (unsigned char c : text) {
    if (c < 32 || c == '"' || c == '&' || c == '\'' || c == '<' || c == '>' || c >= 127) {
      // Control characters other than tab, line feed and carriage return are not characters
      // an XML document may hold, not even as a reference: they are written as "?".
      if (c < 32 && c != 9 && c != 10 && c != 13) c = '?';
      char ref[8] = {'&', '#', static_cast<char>('0' + c / 100), static_cast<char>('0' + c / 10 % 10),
                     static_cast<char>('0' + c % 10), ';', 0, 0};
      out.append(ref, 6);
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

void TXMLItem::AppendText(std::string& out) {
  out += Indentation;
  out += '<';
  out += name_;
  out += attributes_;
  if (Content.empty() && children_.Count() == 0) {
    out += "/>\r\n";
    return;
  }
  out += '>';
  out += Content;
  if (children_.Count() > 0) {
    out += "\r\n";
    for (int i = 0; i < children_.Count(); ++i) {
      children_[i].Indentation = Indentation + "  ";
      children_[i].AppendText(out);
    }
    out += Indentation;
  }
  out += "</";
  out += name_;
  out += ">\r\n";
}

std::string TXMLItem::XMLText() {
  std::string out;
  AppendText(out);
  return out;
}

std::unique_ptr<TXMLItem> LogElementOf(std::string_view report, const std::string& password) {
  const std::string version = ReportVersionOf(report);
  const bool oldVersion = version < std::string("5.0.0");
  auto log = std::make_unique<TXMLItem>("Log");
  log->AddAttribute("Version", version);
  BuildGeneral(log->AddChild("General"), report);
  BuildCallStack(log->AddChild("CallStack"), report, oldVersion, password);
  BuildModules(log->AddChild("Modules"), report);
  BuildCpu(log->AddChild("CPU"), report);
  if (oldVersion)
    log->AddChild("HoToReproduce").AddAttribute("Text", ReportHowToReproduceOf(report));
  return log;
}

std::string XmlDocumentEntry(std::string_view report, const std::string& password) {
  std::unique_ptr<TXMLItem> log = LogElementOf(report, password);
  log->Indentation = "  ";
  return log->XMLText();
}

std::string XmlDocumentOf(const std::vector<std::string>& reports, const std::string& password) {
  std::string out(XmlDocumentHead);
  for (const std::string& r : reports) out += XmlDocumentEntry(r, password);
  out += XmlDocumentTail;
  return out;
}
