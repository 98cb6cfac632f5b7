#pragma once
// Reading a log one stored report at a time, for readers of logs far larger than one report (the
// log reader's XML export, grouping and pages): memory stays bounded by the largest report and the
// read size, and the reports are exactly those SplitLogText gives for the whole bytes.
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

// Receives one stored report (the report text followed by its three CR LF).
using TStoredReportSink = std::function<void(std::string&& report)>;

// Splits bytes fed in pieces of any size; Finish after the last piece.
class TLogSplitter {
 public:
  explicit TLogSplitter(TStoredReportSink sink) : sink_(std::move(sink)) {}
  void Feed(std::string_view bytes);
  void Finish();

 private:
  void Scan(bool final);
  void Emit(size_t from, size_t to);

  TStoredReportSink sink_;
  std::string text_;       // line breaks normalised; starts where the next report starts
  size_t searchFrom_ = 0;  // where in text_ the next separator may start
  bool skipLf_ = false;    // the last piece ended in CR: a LF that follows belongs to it
  uint64_t total_ = 0;     // bytes fed
};

// Reads the file in pieces and passes each stored report to sink. Throws ELogFileError when the
// file cannot be opened or read.
void ForEachStoredReport(const std::string& fileName, const TStoredReportSink& sink);

// Writes the XML document of the log (the same bytes as XmlDocumentOf gives for its reports)
// through write, one report at a time.
void WriteLogXml(const std::string& fileName, const std::string& password,
                 const std::function<void(std::string_view)>& write);
