#pragma once
// The report archive: a tar stream built in memory and written gzip-compressed in one pass.
#include <cstdint>
#include <string>
#include <string_view>

#include "faultline/delivery/file_access.h"

// One tar entry as the writer sees it.
struct TTarRec {
  std::string Name;   // stored in the header, at most 100 bytes
  int32_t Size = 0;   // number of data bytes
  double Time = 0;    // modification time, date-time value
};

// The 512-byte ustar header of one entry (see TTGZWriter).
std::string TarHeader(const TTarRec& rec);
// An octal header field of width 8 (six digits, blank, zero byte) or 12 (eleven digits, blank):
// leading zero digits become blanks, the last digit always stays, only the low 3 bits per digit
// of the value are written.
void TarOctalField(char* field, int width, uint64_t value);

class TTGZWriter {
 public:
  TTGZWriter(std::string archivePath, TFaultFileAccess& files);
  // Finishes the archive when Finish was not called; errors are swallowed there, so callers that
  // care call Finish.
  ~TTGZWriter();
  TTGZWriter(const TTGZWriter&) = delete;
  TTGZWriter& operator=(const TTGZWriter&) = delete;

  // Reads the whole file and adds it under the file name part of archiveName (or of path when
  // archiveName is empty), with the file's last-write time.
  void AddFile(const std::string& path, const std::string& archiveName);
  // Adds bytes as one entry.
  void AddStream(std::string_view bytes, const std::string& name, double time);
  // Appends the closing zero block, gzip-compresses the tar stream and writes the archive file.
  void Finish();

  const std::string& TarStream() const { return tar_; }

 private:
  std::string archivePath_;
  TFaultFileAccess& files_;
  std::string tar_;
  bool finished_ = false;
};
