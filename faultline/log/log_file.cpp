#include "faultline/log/log_file.h"

#include <algorithm>

#include "faultline/report/log_item.h"
#include "faultline/report/report_reader.h"
#include "faultline/report/report_format.h"
#include "faultline/log/xml_export.h"

namespace {

constexpr std::string_view CrLf = "\r\n";
constexpr std::string_view ReportEnd = "\r\n\r\n\r\n";
constexpr std::string_view Separator = "\r\n\r\n\r\n\r\n";
constexpr std::string_view TableStart = "-\r\n|";

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
  // Replaced whole, never rewritten in place: a process that ends in the middle leaves the old
  // log as it was. The file read at the start is let go first (its place is taken).
  stream_.reset();
  storage_.Replace(fileName_, WholeText());
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
