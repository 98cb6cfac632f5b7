#include "report/log_file.h"

#include <algorithm>

#include "report/log_item.h"
#include "report/report_format.h"
#include "report/xml_export.h"

namespace {

constexpr std::string_view CrLf = "\r\n";
constexpr std::string_view ReportEnd = "\r\n\r\n\r\n";
constexpr std::string_view Separator = "\r\n\r\n\r\n\r\n";
constexpr std::string_view TableStart = "-\r\n|";

bool StartsWith(std::string_view s, char c) { return !s.empty() && s[0] == c; }

// Lone CR and lone LF become CR LF; a text without them is returned unchanged.
std::string NormaliseLineBreaks(std::string_view text) {
  bool lone = false;
  for (size_t i = 0; i < text.size() && !lone; ++i) {
    if (text[i] == '\r')
      lone = i + 1 >= text.size() || text[i + 1] != '\n';
    else if (text[i] == '\n')
      lone = i == 0 || text[i - 1] != '\r';
  }
  if (!lone) return std::string(text);
  std::string out;
  out.reserve(text.size() + text.size() / 16);
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '\r') {
      out += CrLf;
      if (i + 1 < text.size() && text[i + 1] == '\n') ++i;
    } else if (c == '\n') {
      out += CrLf;
    } else {
      out += c;
    }
  }
  return out;
}

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

std::vector<std::string> SplitLogText(std::string_view bytes) {
  std::vector<std::string> reports;
  if (bytes.size() < 6) return reports;
  // Line breaks are normalised before the end is checked, so that a log written with LF only
  // does not gain extra empty lines at its end.
  std::string text = NormaliseLineBreaks(bytes);
  if (text.size() < 6 || text.compare(text.size() - 6, 6, ReportEnd) != 0) text += ReportEnd;
  size_t start = 0;
  for (;;) {
    const size_t p = text.find(Separator, start);
    if (p == std::string::npos) break;
    // A run of four or more CR LF ends a stored report; its last CR LF joins the next one. Taking
    // the whole run keeps a report that itself ends in an empty line (a section stub) intact and
    // lets the next report start at its banner.
    size_t q = p + Separator.size();
    while (text.compare(q, 2, CrLf) == 0) q += 2;
    const size_t end = q < text.size() ? q - 2 : q;
    std::string_view piece(text.data() + start, end - start);
    if (piece.find(TableStart) != std::string_view::npos) reports.emplace_back(piece);
    start = q;
  }
  // The rest has no run of four CR LF: a last report cut short, or one whose end already carries
  // its three CR LF (the bytes ended there, or were padded above). It is kept as it is, so that
  // saving and loading again gives the same reports.
  if (start < text.size()) {
    std::string_view rest(text.data() + start, text.size() - start);
    if (rest.find(TableStart) != std::string_view::npos) reports.emplace_back(rest);
  }
  return reports;
}

std::string ResolveLogFileName(const std::string& fileName, bool readOnly, TLogStorage& storage) {
#ifdef _WIN32
  const std::string delim = "\\";
#else
  const std::string delim = "/";
#endif
  if (storage.CanOpen(fileName, readOnly)) return fileName;
  std::string folder = storage.EnvironmentVariable("UserProfile");
  if (folder.empty()) folder = delim;
  folder += delim + "Faultline";
  if (!storage.DirectoryExists(folder) && !storage.CreateDirectory(folder)) return fileName;
  std::string program = ReportPathFileName(storage.ProgramFileName());
  const size_t dot = program.rfind('.');
  if (dot != std::string::npos) program.resize(dot);
  folder += delim + program;
  if (!storage.DirectoryExists(folder) && !storage.CreateDirectory(folder)) return fileName;
  const std::string candidate = folder + delim + ReportPathFileName(fileName);
  return storage.CanOpen(candidate, readOnly) ? candidate : fileName;
}

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
  return s.find("EAX") == std::string::npos ? std::string() : s;
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

TLogFile::TLogFile(const std::string& fileName, bool readOnly, TLogStorage& storage)
    : storage_(storage), fileName_(ResolveLogFileName(fileName, readOnly, storage)) {
  if (storage_.FileExists(fileName_)) {
    stream_ = storage_.Open(fileName_, readOnly);
    Load();
  }
}

TLogFile::~TLogFile() = default;

void TLogFile::Load() { reports_ = SplitLogText(stream_->ReadToEnd()); }

void TLogFile::AddReport(std::string_view reportText, int32_t maxCount) {
  const size_t keep = maxCount > 0 ? static_cast<size_t>(maxCount) - 1 : 0;
  if (reports_.size() > keep) reports_.erase(reports_.begin(), reports_.end() - keep);
  std::string r(reportText);
  r += ReportEnd;
  reports_.push_back(std::move(r));
}

std::string TLogFile::WholeText() const {
  std::string out;
  size_t total = 0;
  for (const auto& r : reports_) total += r.size() + 2;
  out.reserve(total);
  for (size_t i = 0; i < reports_.size(); ++i) {
    if (i > 0) out += CrLf;
    out += reports_[i];
  }
  return out;
}

void TLogFile::Save() {
  if (!stream_) stream_ = storage_.Create(fileName_);
  stream_->Rewrite(WholeText());
}

std::string TLogFile::FieldValue(std::string_view itemNumber, int index) const {
  if (index < 0 || index >= ReportCount()) return std::string();
  return ReportFieldValue(Report(index), itemNumber);
}

bool TLogFile::FindReport(const std::vector<std::string>& itemNumbers,
                          const std::vector<std::string>& values) const {
  const size_t pairs = std::min(itemNumbers.size(), values.size());
  for (const std::string& r : reports_) {
    bool all = true;
    for (size_t i = 0; i < pairs && all; ++i) all = ReportMatches(r, itemNumbers[i], values[i]);
    if (all) return true;
  }
  return false;
}

namespace {
template <class F>
std::string Part(const TLogFile& log, int index, F f) {
  if (index < 0 || index >= log.ReportCount()) return std::string();
  return f(log.Report(index));
}
}  // namespace

std::string TLogFile::GeneralPart(int index) const { return Part(*this, index, ReportGeneralPartOf); }
std::string TLogFile::CallStackTable(int index) const {
  return Part(*this, index, ReportCallStackTableOf);
}
std::string TLogFile::ModulesTable(int index) const { return Part(*this, index, ReportModulesTableOf); }
std::string TLogFile::CpuSection(int index) const { return Part(*this, index, ReportCpuSectionOf); }
std::string TLogFile::HowToReproduce(int index) const {
  return Part(*this, index, ReportHowToReproduceOf);
}
std::string TLogFile::ReportVersion(int index) const { return Part(*this, index, ReportVersionOf); }

std::string TLogFile::ReportXml(int index) const {
  if (index < 0 || index >= ReportCount()) return std::string();
  return LogElementOf(Report(index), password_)->XMLText();
}

std::string TLogFile::XmlDocument() const { return XmlDocumentOf(reports_, password_); }

void TLogFile::SaveXmlDocument(const std::string& fileName) const {
  storage_.Create(fileName)->Rewrite(XmlDocument());
}
