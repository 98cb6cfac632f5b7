#include "faultline/report/report_format.h"

#include <cmath>
#include <cstdio>

#include "rtl/ansi_paths.h"

namespace {

constexpr const char* DayNames[7] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
constexpr const char* MonthNames[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                        "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
constexpr int64_t MsPerDay = 86400000;
constexpr int64_t UnixEpochDays = 25569;  // 1970-01-01 as a day count since 1899-12-30

// Days since 1970-01-01 to a civil date (proleptic Gregorian).
void CivilFromDays(int64_t z, int& y, int& m, int& d) {
  z += 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const int64_t doe = z - era * 146097;
  const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const int64_t mp = (5 * doy + 2) / 153;
  d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  y = static_cast<int>(yoe + era * 400 + (m <= 2));
}

int64_t DaysFromCivil(int64_t y, int m, int d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const int64_t yoe = y - era * 400;
  const int64_t doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
  const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

std::string Unit(uint32_t n, const char* word) {
  std::string s = std::to_string(n) + " " + word;
  if (n > 1) s += 's';
  return s;
}

}  // namespace

TDateParts DecodeDateTime(TDateTime value) {
  // Years 1 to 9999 are all a date can hold; anything else (or NaN) reads as day 0.
  if (!std::isfinite(value) || value < -693593.0 || value > 2958466.0) value = 0;
  int64_t ms = std::llround(value * static_cast<double>(MsPerDay));
  int64_t days = ms / MsPerDay;
  int64_t rest = ms % MsPerDay;
  if (rest < 0) {
    rest += MsPerDay;
    --days;
  }
  TDateParts p;
  const int64_t unixDays = days - UnixEpochDays;
  CivilFromDays(unixDays, p.Year, p.Month, p.Day);
  p.DayOfWeek = static_cast<int>(((unixDays % 7) + 7 + 4) % 7);
  p.Hour = static_cast<int>(rest / 3600000);
  p.Minute = static_cast<int>(rest / 60000 % 60);
  p.Second = static_cast<int>(rest / 1000 % 60);
  p.Millisecond = static_cast<int>(rest % 1000);
  return p;
}

TDateTime EncodeDateTime(int year, int month, int day, int hour, int minute, int second) {
  return static_cast<double>(DaysFromCivil(year, month, day) + UnixEpochDays) +
         (hour * 3600.0 + minute * 60.0 + second) / 86400.0;
}

TDateTime UnixTimeToDateTime(int64_t seconds) {
  return static_cast<double>(UnixEpochDays) + static_cast<double>(seconds) / 86400.0;
}

std::string TimeZoneSuffix(int hours) {
  std::string s = std::to_string(hours);
  if (s[0] != '-') s.insert(s.begin(), '+');
  if (s.size() == 2) s.insert(1, "0");
  return s + "00";
}

std::string FormatDateR(TDateTime value, int timeZoneHours) {
  const TDateParts p = DecodeDateTime(value);
  char buf[64];
  std::snprintf(buf, sizeof buf, "%s, %d %s %d %.2d:%.2d:%.2d ", DayNames[p.DayOfWeek], p.Day,
                MonthNames[p.Month - 1], p.Year, p.Hour, p.Minute, p.Second);
  return buf + TimeZoneSuffix(timeZoneHours);
}

std::string FormatDateTimeIso(TDateTime value) {
  const TDateParts p = DecodeDateTime(value);
  // Written by hand: this runs once per module row.
  std::string s = "0000-00-00 00:00:00";
  auto put = [&](size_t at, int v, int width) {
    for (int i = width - 1; i >= 0; --i, v /= 10) s[at + static_cast<size_t>(i)] = static_cast<char>('0' + v % 10);
  };
  put(0, p.Year, 4);
  put(5, p.Month, 2);
  put(8, p.Day, 2);
  put(11, p.Hour, 2);
  put(14, p.Minute, 2);
  put(17, p.Second, 2);
  return s;
}

std::string FormatDateTimeCompact(TDateTime value) {
  const TDateParts p = DecodeDateTime(value);
  char buf[48];
  std::snprintf(buf, sizeof buf, "%04d%02d%02d%02d%02d%02d", p.Year, p.Month, p.Day, p.Hour,
                p.Minute, p.Second);
  return buf;
}

std::string Hex8(uint32_t value) {
  static const char digits[] = "0123456789ABCDEF";
  std::string s(8, '0');
  for (int i = 7; i >= 0; --i, value >>= 4) s[static_cast<size_t>(i)] = digits[value & 15];
  return s;
}

std::string Hex16(uint64_t value) {
  static const char digits[] = "0123456789ABCDEF";
  std::string s(16, '0');
  for (int i = 15; i >= 0; --i, value >>= 4) s[static_cast<size_t>(i)] = digits[value & 15];
  return s;
}

std::string HexAddress(uint64_t value, bool wide) {
  return wide || value > 0xFFFFFFFFu ? Hex16(value) : Hex8(static_cast<uint32_t>(value));
}

std::string MemoryText(uint64_t bytes) {
  return std::to_string(std::llround(static_cast<double>(bytes) / 1048576.0)) + " Mb";
}

std::string DiskText(uint64_t bytes) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.2f", static_cast<double>(bytes) / 1073741824.0);
  std::string s = buf;
  while (!s.empty() && s.back() == '0') s.pop_back();
  if (!s.empty() && s.back() == '.') s.pop_back();
  return s + " Gb";
}

std::string UpTimeText(uint32_t milliseconds) {
  const uint32_t days = milliseconds / MsPerDay;
  uint32_t rest = milliseconds % MsPerDay;
  const uint32_t hours = rest / 3600000;
  rest %= 3600000;
  const uint32_t minutes = rest / 60000;
  const uint32_t seconds = rest % 60000 / 1000;
  std::string s;
  if (days > 0) s += Unit(days, "day") + ", ";
  if (hours > 0) s += Unit(hours, "hour") + ", ";
  return s + Unit(minutes, "minute") + ", " + Unit(seconds, "second");
}

std::string ProcessorText(std::string_view nameString, std::string_view vendor,
                          std::string_view identifier) {
  std::string s = TrimBlanks(nameString);
  if (s.empty()) {
    s = vendor;
    if (!s.empty() && !identifier.empty()) {
      s += " - ";
      s += identifier;
    }
  }
  if (s.empty()) s = "Unknown processor";
  return s;
}

std::string OperatingSystemName(uint32_t platformId, uint32_t major, uint32_t minor,
                                std::string_view servicePack) {
  std::string s = "Microsoft Windows ";
  const std::string sp = TrimBlanks(servicePack);
  if (platformId == 1) {
    if (minor < 10)
      s += sp == "B" ? "95 OSR 2" : "95";
    else if (minor < 90)
      s += sp == "A" ? "98 SE" : "98";
    else if (minor == 90)
      s += "ME";
  } else if (platformId == 2) {
    if (major == 4)
      s += "NT 4.0";
    else if (major == 5 && minor == 0)
      s += "2000";
    else if (major == 5 && minor == 1)
      s += "XP";
    else if (major == 5 && minor == 2)
      s += "2003";
    else if (major == 6)
      s += "Vista";
  }
  return s;
}

std::string PaddedAddress(std::string_view address) {
  if (address.empty()) return "000.000.000.000";
  std::string out;
  size_t start = 0;
  for (;;) {
    size_t dot = address.find('.', start);
    std::string_view part = address.substr(start, dot == std::string_view::npos ? dot : dot - start);
    if (part.size() < 3) out.append(3 - part.size(), '0');
    out += part;
    if (dot == std::string_view::npos) break;
    out += '.';
    start = dot + 1;
  }
  return out;
}

TNetworkTexts NetworkTexts(const TReportEnvironment& environment) {
  TNetworkTexts t;
  if (!environment.NetworkKnown) return t;
  const std::string sep = " - ";
  for (const TNetworkAdapter& a : environment.Adapters) {
    std::string word = a.Dhcp ? "ON" : "OFF";
    word.resize(16, ' ');
    t.Dhcp += word + sep;
    t.IpAddress += PaddedAddress(a.IpAddress) + sep;
    t.SubnetMask += PaddedAddress(a.SubnetMask) + sep;
    t.Gateway += PaddedAddress(a.Gateway) + sep;
    // The adapter's DNS list always has a first entry, which may be empty.
    t.Dns1 += PaddedAddress(a.DnsServers.empty() ? std::string() : a.DnsServers[0]) + sep;
    t.Dns2 += PaddedAddress(a.DnsServers.size() < 2 ? std::string() : a.DnsServers[1]) + sep;
  }
  for (std::string* s : {&t.IpAddress, &t.SubnetMask, &t.Gateway, &t.Dns1, &t.Dns2, &t.Dhcp})
    if (s->size() >= sep.size() && s->compare(s->size() - sep.size(), sep.size(), sep) == 0)
      s->resize(s->size() - sep.size());
  return t;
}

bool IsWebApplication(const TWebApplicationFacts& f) {
  if (f.ExportsHttpExtensionProc) return true;
  if (f.ConsoleProgram && f.RequestMethodVariable) return true;
  if (!f.ConsoleProgram && f.CgiRequestFile) return true;
  return f.WebApplicationObject;
}

std::string TrimBlanks(std::string_view s) {
  size_t b = 0, e = s.size();
  while (b < e && static_cast<unsigned char>(s[b]) <= ' ') ++b;
  while (e > b && static_cast<unsigned char>(s[e - 1]) <= ' ') --e;
  return std::string(s.substr(b, e - b));
}

std::string ReportPathFileName(std::string_view path) {
  return std::string(path.substr(PathNameStart(path)));
}

std::string ReportPathFolder(std::string_view path) {
  const size_t start = PathNameStart(path);
  if (start == 0) return std::string();
  const size_t p = start - 1;
  size_t len = start;
  if (p > 0 && (path[p] == '\\' || path[p] == '/') && path[p - 1] != ':' && path[p - 1] != '\\' &&
      path[p - 1] != '/')
    len = p;
  return std::string(path.substr(0, len));
}

std::string FlattenControls(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  bool inRun = false;
  for (char c : s) {
    if (static_cast<unsigned char>(c) < 32) {
      if (!inRun) out += ' ';
      inRun = true;
    } else {
      out += c;
      inRun = false;
    }
  }
  return out;
}
