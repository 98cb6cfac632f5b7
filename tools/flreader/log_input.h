#pragma once
// What the reader's commands take in: a log file, or the report archive a delivery sends (a
// gzip-compressed tar holding the log copy and perhaps a screenshot, the XML copy, the last web
// page and files the program added).
#include <functional>
#include <string>

struct TArchiveExtras {
  std::string ScreenshotName;  // the entry's name, empty when the archive holds no screenshot
  std::string Screenshot;      // its bytes (PNG)
};

// Calls sink for every stored report of the file, oldest first: a log is read a piece at a time;
// an archive is unpacked in memory and the reports of every log inside it are passed in the order
// of the entries. extras (when given) receives the archive's screenshot. Throws std::exception
// (ELogFileError, EZLibError, or a runtime_error naming a damaged archive).
void ForEachInputReport(const std::string& path, const std::function<void(std::string&& report)>& sink,
                        TArchiveExtras* extras = nullptr);

// Whether the file starts like a gzip file.
bool IsArchiveFile(const std::string& path);
