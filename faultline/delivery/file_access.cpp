#include "faultline/delivery/file_access.h"

#include <sys/stat.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <sstream>

bool TStdFileAccess::Exists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && (st.st_mode & S_IFMT) == S_IFREG;
}

std::string TStdFileAccess::ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw EFaultFileError("Cannot open file \"" + path + "\"");
  std::ostringstream buf;
  buf << in.rdbuf();
  if (in.bad()) throw EFaultFileError("Cannot read file \"" + path + "\"");
  return buf.str();
}

double TStdFileAccess::LastWriteTime(const std::string& path) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0 || (st.st_mode & S_IFMT) != S_IFREG) return 0;
  return UnixSecondsToDateTime(static_cast<int64_t>(st.st_mtime));
}

void TStdFileAccess::WriteAll(const std::string& path, std::string_view bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  if (!out) throw EFaultFileError("Cannot create file \"" + path + "\"");
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  out.close();
  if (!out) throw EFaultFileError("Cannot write file \"" + path + "\"");
}

void TStdFileAccess::Remove(const std::string& path) { std::remove(path.c_str()); }

int64_t DateTimeToUnixSeconds(double dateTime) {
  double seconds = (dateTime - kUnixEpochDateTime) * 86400.0;
  if (!(seconds > 0)) return 0;  // before 1970, or NaN
  constexpr double kMax = 8589934591.0;  // 8^11 - 1
  if (seconds >= kMax) return static_cast<int64_t>(kMax);
  // A time of whole seconds goes through a double of days and may come back a hair short;
  // round to the millisecond before truncating so that it keeps its second.
  return static_cast<int64_t>(std::floor(std::round(seconds * 1000.0) / 1000.0));
}

double UnixSecondsToDateTime(int64_t seconds) {
  return kUnixEpochDateTime + static_cast<double>(seconds) / 86400.0;
}

std::string FormatDateTimeStamp(double dateTime) {
  if (!std::isfinite(dateTime)) dateTime = 0;
  int64_t ms = static_cast<int64_t>(std::llround(dateTime * 86400000.0));
  int64_t days = ms >= 0 ? ms / 86400000 : -((-ms + 86399999) / 86400000);
  int64_t msOfDay = ms - days * 86400000;
  // Civil date from a day count (days since 1970-01-01), proleptic Gregorian calendar.
  int64_t z = days - 25569 + 719468;
  int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  int64_t doe = z - era * 146097;
  int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  int64_t y = yoe + era * 400;
  int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  int64_t mp = (5 * doy + 2) / 153;
  int64_t d = doy - (153 * mp + 2) / 5 + 1;
  int64_t m = mp < 10 ? mp + 3 : mp - 9;
  if (m <= 2) ++y;
  int64_t secs = msOfDay / 1000;
  char buf[64];
  std::snprintf(buf, sizeof buf, "%04lld%02lld%02lld%02lld%02lld%02lld", static_cast<long long>(y),
                static_cast<long long>(m), static_cast<long long>(d), static_cast<long long>(secs / 3600),
                static_cast<long long>(secs / 60 % 60), static_cast<long long>(secs % 60));
  return buf;
}
