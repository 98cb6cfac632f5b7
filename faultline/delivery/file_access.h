#pragma once
// The few file operations packaging needs, behind an interface so that the packaging rules stay
// portable: the Windows build uses the Win32 implementation (WinFileAccess), native tests a
// standard-library one (TStdFileAccess).
#include <cstdint>
#include <string>
#include <vector>
#include <string_view>

#include "rtl/exception.h"

class TFaultFileAccess {
 public:
  virtual ~TFaultFileAccess() = default;
  // True for an existing file (not a folder).
  virtual bool Exists(const std::string& path) = 0;
  // The whole file; opened with sharing allowed for writers and readers. Throws on failure.
  virtual std::string ReadAll(const std::string& path) = 0;
  // Last-write time in UTC as a date-time value (days since 1899-12-30); 0 when the file cannot
  // be found or is a folder.
  virtual double LastWriteTime(const std::string& path) = 0;
  // Creates or replaces the file. Throws on failure.
  virtual void WriteAll(const std::string& path, std::string_view bytes) = 0;
  // Deletes the file if it exists.
  virtual void Remove(const std::string& path) = 0;
};

// Raised by a file access implementation that cannot open, read or write a file.
class EFaultFileError : public Exception {
 public:
  using Exception::Exception;
};

// Standard-library implementation (paths as the C library takes them).
class TStdFileAccess : public TFaultFileAccess {
 public:
  bool Exists(const std::string& path) override;
  std::string ReadAll(const std::string& path) override;
  double LastWriteTime(const std::string& path) override;
  void WriteAll(const std::string& path, std::string_view bytes) override;
  void Remove(const std::string& path) override;
};

#ifdef _WIN32
// Win32 implementation: CreateFileA with FILE_SHARE_READ | FILE_SHARE_WRITE, GetFileTime.
TFaultFileAccess& WinFileAccess();
// The names (no folder) of the files, not folders, in folder (with its trailing separator) that
// match pattern ("*.tgz").
std::vector<std::string> FileNamesIn(const std::string& folder, const std::string& pattern);
#endif

// Date-time values (days since 1899-12-30 as a double) and the conversions packaging needs.
constexpr double kUnixEpochDateTime = 25569.0;  // 1970-01-01
// Whole seconds since 1970-01-01 (truncated), clamped to [0, 8^11 - 1] so that it fits the
// 11-digit octal field of a tar header; NaN gives 0.
int64_t DateTimeToUnixSeconds(double dateTime);
double UnixSecondsToDateTime(int64_t seconds);
// "yyyymmddhhnnss" (the value is rounded to the millisecond first).
std::string FormatDateTimeStamp(double dateTime);
