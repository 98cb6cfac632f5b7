#include "faultline/log/log_reader.h"

#include <cstdio>
#include <memory>

#include "faultline/log/log_storage.h"
#include "faultline/log/xml_export.h"

namespace {

constexpr std::string_view CrLf = "\r\n";
constexpr std::string_view ReportEnd = "\r\n\r\n\r\n";
constexpr std::string_view Separator = "\r\n\r\n\r\n\r\n";
constexpr std::string_view TableStart = "-\r\n|";
constexpr size_t ReadSize = 1 << 20;

struct TFileCloser {
  void operator()(std::FILE* f) const { std::fclose(f); }
};

}  // namespace

void TLogSplitter::Feed(std::string_view bytes) {
  total_ += bytes.size();
  text_.reserve(text_.size() + bytes.size());
  size_t i = 0;
  if (skipLf_ && !bytes.empty() && bytes[0] == '\n') i = 1;
  skipLf_ = false;
  // Every lone CR and lone LF becomes CR LF (what the whole-text split does when it meets any);
  // a CR at the end of a piece is written as CR LF at once, and a LF opening the next is dropped.
  for (; i < bytes.size(); ++i) {
    const char c = bytes[i];
    if (c == '\r') {
      text_ += CrLf;
      if (i + 1 < bytes.size()) {
        if (bytes[i + 1] == '\n') ++i;
      } else {
        skipLf_ = true;
      }
    } else if (c == '\n') {
      text_ += CrLf;
    } else {
      text_ += c;
    }
  }
  Scan(false);
}

void TLogSplitter::Emit(size_t from, size_t to) {
  std::string_view piece(text_.data() + from, to - from);
  if (piece.find(TableStart) != std::string_view::npos) sink_(std::string(piece));
}

void TLogSplitter::Scan(bool final) {
  size_t start = 0;
  for (;;) {
    const size_t p = text_.find(Separator, searchFrom_);
    if (p == std::string::npos) {
      searchFrom_ = text_.size() > start + Separator.size() ? text_.size() - Separator.size() : start;
      break;
    }
    size_t q = p + Separator.size();
    while (text_.compare(q, 2, CrLf) == 0) q += 2;
    // A run that reaches the end of what was read so far may go on in the next piece.
    if (q >= text_.size() && !final) {
      searchFrom_ = p;
      break;
    }
    Emit(start, q < text_.size() ? q - 2 : q);
    start = searchFrom_ = q;
  }
  if (final) {
    if (start < text_.size()) Emit(start, text_.size());
    text_.clear();
    searchFrom_ = 0;
    return;
  }
  if (start > 0) {
    text_.erase(0, start);
    searchFrom_ -= start;
  }
}

void TLogSplitter::Finish() {
  // Fewer than six bytes hold no report. Otherwise the text gets its report end when it lacks one;
  // what is left here starts with a report's first character, so its own end is the text's end.
  if (total_ < 6) {
    text_.clear();
    return;
  }
  if (text_.size() < ReportEnd.size() ||
      text_.compare(text_.size() - ReportEnd.size(), ReportEnd.size(), ReportEnd) != 0)
    text_ += ReportEnd;
  Scan(true);
}

void ForEachStoredReport(const std::string& fileName, const TStoredReportSink& sink) {
  std::unique_ptr<std::FILE, TFileCloser> f(std::fopen(fileName.c_str(), "rb"));
  if (!f) throw ELogFileError("Cannot open file " + fileName);
  TLogSplitter splitter(sink);
  std::string buffer(ReadSize, '\0');
  for (;;) {
    const size_t n = std::fread(buffer.data(), 1, buffer.size(), f.get());
    if (n > 0) splitter.Feed(std::string_view(buffer.data(), n));
    if (n < buffer.size()) {
      if (std::ferror(f.get())) throw ELogFileError("Cannot read file " + fileName);
      break;
    }
  }
  splitter.Finish();
}

void WriteLogXml(const std::string& fileName, const std::string& password,
                 const std::function<void(std::string_view)>& write) {
  write(XmlDocumentHead);
  ForEachStoredReport(fileName, [&](std::string&& report) { write(XmlDocumentEntry(report, password)); });
  write(XmlDocumentTail);
}
