#pragma once
// The log file (".flf"): a bounded sequence of report texts, each followed by three CR LF, joined
// by one more CR LF. There is no header and no count; readers split at runs of four or more
// CR LF and keep only pieces that hold a table (a rule line followed by a table row).
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "faultline/log/log_storage.h"
#include "faultline/report/report_reader.h"

class TLogFile {
 public:
  // Resolves the folder (see ResolveLogFileName), and when the file exists opens it shared and
  // loads it. Throws ELogFileError when an existing file cannot be opened or read.
  TLogFile(const std::string& fileName, bool readOnly, TLogStorage& storage = DefaultLogStorage());
  ~TLogFile();
  TLogFile(const TLogFile&) = delete;
  TLogFile& operator=(const TLogFile&) = delete;

  // The name in use after the folder fallback.
  const std::string& FileName() const { return fileName_; }

  // Drops the oldest reports until fewer than maxCount remain, then appends the report.
  void AddReport(std::string_view reportText, int32_t maxCount);
  // Writes all reports (creating the file when none is open) and truncates what followed.
  void Save();

  int ReportCount() const { return static_cast<int>(reports_.size()); }
  // A stored report: the report text followed by its three CR LF.
  const std::string& Report(int index) const { return reports_[static_cast<size_t>(index)]; }
  // All stored reports as they are written to the file.
  std::string WholeText() const;

  // Value of item `itemNumber` ("1.3") of report `index`; empty when either is missing.
  std::string FieldValue(std::string_view itemNumber, int index) const;
  // True when one stored report matches every (item number, value) pair.
  bool FindReport(const std::vector<std::string>& itemNumbers,
                  const std::vector<std::string>& values) const;

  std::string GeneralPart(int index) const;
  std::string CallStackTable(int index) const;
  std::string ModulesTable(int index) const;
  std::string CpuSection(int index) const;
  std::string HowToReproduce(int index) const;
  std::string ReportVersion(int index) const;

  // Encoded call-stack names ("?" + kind + Base64) are deciphered with this password in the XML.
  const std::string& Password() const { return password_; }
  void SetPassword(std::string password) { password_ = std::move(password); }
  std::string ReportXml(int index) const;
  std::string XmlDocument() const;
  void SaveXmlDocument(const std::string& fileName) const;

 private:
  void Load();

  TLogStorage& storage_;
  std::string fileName_;
  std::unique_ptr<TLogStream> stream_;
  std::vector<std::string> reports_;
  std::string password_;
};

// The folder fallback: the name itself when it can be opened; else the same file name in
// %UserProfile%\Faultline\<program name without extension>, when that can be opened; else the
// name itself again (the open or the write then fails and is reported).
std::string ResolveLogFileName(const std::string& fileName, bool readOnly, TLogStorage& storage);

// Splits loaded log bytes into stored reports (line breaks normalised, pieces without a table
// dropped). Never reads outside `bytes`.
std::vector<std::string> SplitLogText(std::string_view bytes);
