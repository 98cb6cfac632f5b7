#include "faultline/ui/dialog_model.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "faultline/report/report_format.h"
#include "faultline/report/report_reader.h"

namespace {

const char* const CrLf = "\r\n";

// The text with "\", "{" and "}" escaped and every line break turned into a paragraph end, cut
// into lines (each keeping its "\par").
std::vector<std::string> EscapedLines(const std::string& text) {
  std::string s;
  s.reserve(text.size() + text.size() / 8);
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    const auto byte = static_cast<unsigned char>(c);
    if (byte >= 0x80) {
      // A double-byte character goes as its two byte values: its second byte may be "\\", "{" or
      // "}", which must not be escaped on their own, and a reader then joins the pair by the
      // font's code page.
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\'%02x", byte);
      s += hex;
      const auto next = i + 1 < text.size() ? static_cast<unsigned char>(text[i + 1]) : 0;
      if (byte >= 0x81 && byte != 0xFF && next >= 0x40 && next != 0x7F && next != 0xFF) {
        std::snprintf(hex, sizeof hex, "\\'%02x", static_cast<unsigned char>(text[++i]));
        s += hex;
      }
    } else if (c == '\\' || c == '{' || c == '}') {
      s += '\\';
      s += c;
    } else if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') {
      s += "\\par\r\n";
      ++i;
    } else {
      s += c;
    }
  }
  std::vector<std::string> lines;
  size_t start = 0;
  for (;;) {
    const size_t end = s.find(CrLf, start);
    if (end == std::string::npos) {
      lines.push_back(s.substr(start));
      break;
    }
    lines.push_back(s.substr(start, end - start));
    start = end + 2;
  }
  return lines;
}

std::string Document(const std::vector<std::string>& lines, int charset, const std::string& face, int pointSize) {
  char head[512];
  std::snprintf(head, sizeof head,
                "{\\rtf1\\ansi\\ansicpg1252\\deff0\\deflang1040{\\fonttbl{\\f0\\fmodern\\fprq1\\fcharset%d %s;}}\r\n"
                "{\\colortbl ;\\red0\\green100\\blue100;\\red0\\green0\\blue0;\\red40\\green40\\blue40;\\red0\\green0\\blue160;}\r\n",
                charset, face.c_str());
  std::string out = head;
  out += "\\f0\\fs" + std::to_string(2 * pointSize) + CrLf;
  for (size_t i = 0; i < lines.size(); ++i) {
    if (i) out += CrLf;
    out += lines[i];
  }
  out += "}";
  return out;
}

// Inserts piece before the 1-based character position (at the end when the line is shorter).
void InsertAt(std::string& line, size_t position, const char* piece) {
  line.insert(std::min(position - 1, line.size()), piece);
}

void ReplaceAt(std::string& line, size_t position, size_t count, const char* piece) {
  const size_t at = std::min(position - 1, line.size());
  line.replace(at, std::min(count, line.size() - at), piece);
}

std::string Trim(const std::string& s) { return TrimBlanks(s); }

std::string ThreadHeaderText(const TFaultDebugInfo& e, bool first, const TReportData& data,
                             const TReportLayout& layout) {
  const int title = first ? 69 : e.Running ? 70 : 71;
  std::string priority = "??", className;
  for (size_t t = data.Threads.size(); t-- > 0;) {
    const TFaultThreadInfo& th = data.Threads[t];
    if (th.ThreadId != e.ThreadId) continue;
    if (th.Priority != UnknownThreadPriority) priority = std::to_string(static_cast<int32_t>(th.Priority));
    if (th.HasThreadObject) className = th.ThreadClassName;
    break;
  }
  std::string text = layout.Text(title) + ": " + layout.Text(72) + "=" + std::to_string(e.ThreadId) + "; " +
                     layout.Text(73) + "=" + priority;
  if (!className.empty()) text += "; " + layout.Text(74) + "=" + className;
  if (e.ThreadId == data.MainThreadId) text += "; [" + layout.Text(68) + "]";
  return text;
}

std::string UpperAscii(std::string s) {
  for (char& c : s)
    if (c >= 'a' && c <= 'z') c = char(c - 'a' + 'A');
  return s;
}

// Colours every register value of a line ("NAME: value" pairs, names possibly padded).
void MarkRegisterValues(std::string& line) {
  for (size_t at = line.find(": "); at != std::string::npos; at = line.find(": ", at)) {
    const size_t value = at + 2;
    line.insert(value, "\\cf4 ");
    size_t end = value + 5;
    while (end < line.size() && line[end] != ' ' && line[end] != '\\') ++end;
    line.insert(end, "\\cf2 ");
    at = end + 5;
  }
}

}  // namespace

std::string GeneralRichText(const std::string& text, int charset, const std::string& face, int pointSize) {
  std::vector<std::string> lines = EscapedLines(text);
  for (size_t i = 0; i < lines.size(); ++i) {
    std::string& line = lines[i];
    if (line.empty()) continue;
    if (i == 0) {
      line = "\\cf1\\b " + line + "\\b0";
      continue;
    }
    const size_t colon = line.find(':');
    if (colon != std::string::npos && line.size() == colon + 1 + 4) {
      line = "\\cf3\\b " + line + "\\b0";
    } else if (line[0] == '-') {
      line = "\\cf3 " + line;
    } else if (const size_t pair = line.find(": "); pair != std::string::npos) {
      line = "\\cf2 " + line.substr(0, pair + 1) + "\\cf4 " + line.substr(pair + 1);
    }
  }
  return Document(lines, charset, face, pointSize);
}

std::string CpuRichText(const std::string& text, int charset, const std::string& face, int pointSize,
                        int stackTabTwips) {
  std::vector<std::string> lines = EscapedLines(text);
  // A 64-bit context: more register lines, and addresses and stack words of 16 digits.
  const bool wide = IsWideCpuSection(lines);
  const size_t digits = wide ? 16 : 8;
  size_t registerEnd = 6;  // 1-based number of the last register line
  if (wide) {
    registerEnd = 2;
    while (registerEnd < lines.size() && !lines[registerEnd].empty() && lines[registerEnd] != "\\par")
      ++registerEnd;
  }
  const size_t title = registerEnd + 2;
  for (size_t i = 0; i < lines.size(); ++i) {
    std::string& line = lines[i];
    const size_t number = i + 1;
    if (line.empty() || line == "\\par") continue;
    if (number == 1) {
      line = "\\cf3\\b " + line + "\\cf2\\b0";
    } else if (number == 2) {
      line = "\\cf3 " + line + "\\cf2";
    } else if (number >= 3 && number <= registerEnd) {
      if (wide) {
        MarkRegisterValues(line);
      } else {
        InsertAt(line, 6, "\\cf4 ");
        InsertAt(line, 19, "\\cf2 ");
        InsertAt(line, 32, "\\cf4 ");
        InsertAt(line, 45, "\\cf2 ");
      }
    } else if (number == title) {
      const size_t column = 2 * digits + 5;
      const std::string joined = Trim(line.substr(0, std::min(column, line.size()))) + "\\tab " +
                                 Trim(line.size() > column ? line.substr(column) : std::string());
      line = "\\pard\\tx" + std::to_string(stackTabTwips) + "\\cf3\\b " + joined + "\\cf2\\b0";
    } else if (number == title + 1) {
      ReplaceAt(line, 2 * digits + 3, 3, "\\tab ");
      line = "\\cf3 " + line + "\\cf2";
    } else if (number > title + 1) {
      // Positions count the pieces inserted before them: stack word, tab, bytes.
      InsertAt(line, digits + 3, "\\cf4 ");
      InsertAt(line, 2 * digits + 8, "\\cf2 ");
      ReplaceAt(line, 2 * digits + 13, 3, "\\tab ");
      InsertAt(line, 3 * digits + 20, "\\cf4 ");
      InsertAt(line, 3 * digits + 72, "\\cf2 ");
    }
  }
  return Document(lines, charset, face, pointSize);
}

size_t CpuStackColumnChars(const std::string& text) {
  return IsWideCpuSection(EscapedLines(text)) ? 37 : 21;
}

std::vector<int> TDialogTabs::Pages() const {
  std::vector<int> pages{PageGeneral, PageCallStack};
  if (Modules) pages.push_back(PageModules);
  if (Cpu) pages.push_back(PageCpu);
  if (Custom) pages.push_back(PageCustom);
  return pages;
}

int TDialogTabs::TabOf(int page) const {
  const std::vector<int> pages = Pages();
  auto it = std::find(pages.begin(), pages.end(), page);
  return it == pages.end() ? -1 : int(it - pages.begin());
}

int TDialogTabs::FirstPage(uint8_t firstDialogPage) const {
  const int page = firstDialogPage & 0x7F;
  // A page without its tab opens the general page (the page number would otherwise pick another
  // page's tab, or none).
  return TabOf(page) < 0 ? PageGeneral : page;
}

int BottomAreaHeight(bool sendOffered, bool screenshotOffered, bool copyOffered, bool linkOffered) {
  if ((sendOffered && screenshotOffered) || (copyOffered && linkOffered)) return 34;
  if (sendOffered || screenshotOffered || copyOffered || linkOffered) return 20;
  return 0;
}

TDialogGeometry PlaceDialog(int screenWidth, int screenHeight, int width, int height, const int* left,
                            const int* top, int windowState, int bottom) {
  TDialogGeometry g;
  g.Width = width;
  g.Height = height;
  g.Left = left ? *left : (screenWidth - width) / 2;
  g.Top = top ? *top : (screenHeight - (height + bottom)) / 2;
  g.WindowState = windowState;
  if (screenHeight < g.Height + g.Top) g.Top = screenHeight - g.Height - bottom;
  if (screenWidth < g.Left + g.Width) g.Left = screenWidth - g.Width;
  if (g.Left < 0) g.Left = 0;
  if (g.Top < 0) g.Top = 0;
  return g;
}

std::vector<TListRowSpec> CallStackRows(const TReportData& data, const TReportLayout& layout) {
  std::vector<TListRowSpec> rows;
  const TFaultDebugInfo* previous = nullptr;
  for (const TFaultDebugInfo& e : data.Stack) {
    if (!StackKindShown(e.Kind, layout.StackFlags)) continue;
    if (e.Kind == EntryQualified && e.Module && e.Module->ModuleType == ModuleExecutable) continue;
    if (!previous || e.ThreadId != previous->ThreadId || e.Running != previous->Running) {
      if (previous && e.Running) {
        TListRowSpec blank;
        blank.Cells.assign(6, std::string());
        rows.push_back(std::move(blank));
      }
      TListRowSpec header;
      header.Header = true;
      header.Running = e.Running;
      header.HeaderText = ThreadHeaderText(e, !previous, data, layout);
      header.Cells.assign(6, std::string());
      rows.push_back(std::move(header));
    }
    TListRowSpec row;
    std::string line;
    if (e.Line != 0) {
      line = std::to_string(e.Line);
      if (layout.StackFlags & 0x10) line += "[" + std::to_string(e.LineOffset) + "]";
    }
    row.Cells = {HexAddress(e.Address, data.WideAddresses),
                 e.Module ? ReportPathFileName(e.Module->Path) : std::string(),
                 e.UnitName,
                 e.ClassName,
                 e.ProcedureName,
                 line};
    row.Address = e.Address;
    if (e.Kind == EntryDebugInfo) {
      row.Image = ImagePas;
    } else if (e.Module && e.Module->ModuleType == ModuleExecutable) {
      row.Image = ImageVcl;
    } else if (e.Module && e.Module->ModuleType == ModulePackage) {
      row.Image = ImageBpl;
    } else {
      row.Image = ImageDll;
    }
    rows.push_back(std::move(row));
    previous = &e;
  }
  return rows;
}

std::string ShortVersion(const std::string& version) {
  const size_t first = version.find('.');
  if (first == std::string::npos) return version;
  const size_t second = version.find('.', first + 1);
  if (second == std::string::npos) return version;
  return version.substr(0, second) + ".x";
}

int ModuleImage(const std::string& path) {
  const std::string name = ReportPathFileName(path);
  const size_t dot = name.rfind('.');
  const std::string ext = dot == std::string::npos ? std::string() : UpperAscii(name.substr(dot));
  if (ext == ".BPL" || ext == ".DPL") return ImageBpl;
  if (ext == ".EXE") return ImageVcl;
  return ImageDll;
}

std::vector<TListRowSpec> ModuleRows(const std::vector<TFaultModuleInfo>& modules, bool wideAddresses) {
  std::vector<TListRowSpec> rows;
  rows.reserve(modules.size());
  for (const TFaultModuleInfo& m : modules) {
    TListRowSpec row;
    const uint64_t kib = (uint64_t(m.FileSize) + 512) / 1024;
    row.Cells = {HexAddress(m.Handle, wideAddresses),
                 ReportPathFileName(m.Path),
                 m.Description,
                 ShortVersion(m.Version),
                 std::to_string(kib) + " Kb",
                 FormatDateTimeIso(m.ModifiedTime),
                 ReportPathFolder(m.Path)};
    row.Image = ModuleImage(m.Path);
    rows.push_back(std::move(row));
  }
  return rows;
}

double ModuleBuildTimeAt(const std::vector<TFaultModuleInfo>& modules, uint64_t address) {
  const TFaultModuleInfo* best = nullptr;
  for (const TFaultModuleInfo& m : modules)
    if (m.Handle <= address && (!best || m.Handle >= best->Handle)) best = &m;
  return best ? best->BuildTime : 0;
}

void TListRowsModel::Add(TListRowSpec spec) {
  TRow row;
  row.Blank = !spec.Header &&
              std::all_of(spec.Cells.begin(), spec.Cells.end(), [](const std::string& c) { return c.empty(); });
  if (spec.Header) ++level_;
  if (row.Blank) level_ = 0;
  row.Indented = !row.Blank && level_ >= 2;
  row.Parent = lastParent_;
  if (row.Blank) {
    lastParent_ = -1;
  } else if (spec.Header) {
    lastParent_ = int(rows_.size());
  }
  row.Spec = std::move(spec);
  rows_.push_back(std::move(row));
}

bool TListRowsModel::Toggle(size_t index) {
  if (index >= rows_.size() || !rows_[index].Spec.Header) return false;
  TRow& header = rows_[index];
  header.Expanded = !header.Expanded;
  const bool show = header.Expanded && header.Visible;
  for (size_t i = index + 1; i < rows_.size() && !rows_[i].Blank; ++i) {
    TRow& row = rows_[i];
    if (!show) {
      row.Visible = false;
      continue;
    }
    row.Visible = true;
    // A nested header that stays collapsed keeps its own rows hidden.
    if (row.Spec.Header && !row.Expanded) break;
  }
  return true;
}

bool TListRowsModel::SignHit(size_t index, int x, int y, int indentStep) const {
  if (index >= rows_.size() || !rows_[index].Spec.Header) return false;
  const int s = rows_[index].Parent < 0 ? 0 : indentStep;
  return x >= s + 2 && x <= s + 12 && y >= 2 && y <= 12;
}

int TListRowsModel::VisibleIndex(size_t index) const {
  if (index >= rows_.size() || !rows_[index].Visible) return -1;
  int n = 0;
  for (size_t i = 0; i < index; ++i) n += rows_[i].Visible;
  return n;
}

std::string SourceLocationMessage(const std::string& programFile, const std::string& unit,
                                  const std::string& className, const std::string& procedure, int32_t line,
                                  int32_t lineOffset, double buildTime) {
  std::string out(376, '\0');
  auto put = [&](size_t at, const std::string& s) { s.copy(&out[at], std::min<size_t>(s.size(), 89)); };
  put(0, programFile);
  put(90, unit);
  put(180, className);
  put(270, procedure);
  auto le32 = [&](size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) out[at + i] = char(v >> (8 * i));
  };
  le32(360, uint32_t(line));
  le32(364, uint32_t(lineOffset));
  uint64_t bits;
  std::memcpy(&bits, &buildTime, 8);
  for (int i = 0; i < 8; ++i) out[368 + i] = char(bits >> (8 * i));
  return out;
}

bool ParseLineCell(const std::string& cell, int32_t& line, int32_t& offset) {
  size_t i = 0;
  int64_t value = 0;
  while (i < cell.size() && cell[i] >= '0' && cell[i] <= '9' && value < 0x7FFFFFFF) value = value * 10 + (cell[i++] - '0');
  if (i == 0) return false;
  line = int32_t(std::min<int64_t>(value, 0x7FFFFFFF));
  offset = -1;
  const size_t open = cell.find('[', i);
  if (open != std::string::npos) {
    size_t j = open + 1;
    bool negative = j < cell.size() && cell[j] == '-';
    if (negative) ++j;
    int64_t o = 0;
    const size_t digits = j;
    while (j < cell.size() && cell[j] >= '0' && cell[j] <= '9' && o < 0x7FFFFFFF) o = o * 10 + (cell[j++] - '0');
    if (j > digits) offset = int32_t(negative ? -std::min<int64_t>(o, 0x7FFFFFFF) : std::min<int64_t>(o, 0x7FFFFFFF));
  }
  return true;
}
