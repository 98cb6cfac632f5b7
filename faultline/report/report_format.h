#pragma once
// Value formatting of the report text: dates, addresses and the machine facts. All portable; the
// Win32 side only collects raw values.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "faultline/report/report_records.h"

// Broken-down date and time.
struct TDateParts {
  int Year = 1899, Month = 12, Day = 30, Hour = 0, Minute = 0, Second = 0, Millisecond = 0;
  int DayOfWeek = 6;  // 0 Sunday .. 6 Saturday
};
TDateParts DecodeDateTime(TDateTime value);
TDateTime EncodeDateTime(int year, int month, int day, int hour, int minute, int second);
// Seconds since 1970-01-01 to a date (and back); used to turn file and system times into dates.
TDateTime UnixTimeToDateTime(int64_t seconds);

// "+0100", "-0500", "+1000": the whole-hour offset from UTC.
std::string TimeZoneSuffix(int hours);
// Date format R: "Sun, 6 Dec 2026 11:40:48 +0100".
std::string FormatDateR(TDateTime value, int timeZoneHours);
// "yyyy-mm-dd hh:nn:ss"
std::string FormatDateTimeIso(TDateTime value);
// "yyyymmddhhnnss"
std::string FormatDateTimeCompact(TDateTime value);
// 8 upper-case hexadecimal digits.
std::string Hex8(uint32_t value);
// 16 upper-case hexadecimal digits.
std::string Hex16(uint64_t value);
// An address as a report writes it: 16 digits in a report of a 64-bit program, else 8. A value
// that does not fit in 8 digits gets 16 in any report rather than losing its high half.
std::string HexAddress(uint64_t value, bool wide);

std::string MemoryText(uint64_t bytes);  // "512 Mb"
std::string DiskText(uint64_t bytes);    // "12.5 Gb" (pattern 0.##)
std::string UpTimeText(uint32_t milliseconds);
std::string ProcessorText(std::string_view nameString, std::string_view vendor,
                          std::string_view identifier);
// platformId: 1 for the 9x platform, 2 for NT.
std::string OperatingSystemName(uint32_t platformId, uint32_t major, uint32_t minor,
                                std::string_view servicePack);
// "192.168.1.10" -> "192.168.001.010"; empty -> "000.000.000.000".
std::string PaddedAddress(std::string_view address);

// The six network values: IP address, subnet mask, gateway, DNS 1, DNS 2, DHCP.
struct TNetworkTexts {
  std::string IpAddress, SubnetMask, Gateway, Dns1, Dns2, Dhcp;
};
TNetworkTexts NetworkTexts(const TReportEnvironment& environment);

// Facts that decide whether the process is a web-server application.
struct TWebApplicationFacts {
  bool ExportsHttpExtensionProc = false;
  bool ConsoleProgram = false;
  bool RequestMethodVariable = false;   // environment variable REQUEST_METHOD exists
  bool CgiRequestFile = false;          // the WinCGI profile file test passed
  bool WebApplicationObject = false;    // a hosting framework registered its application object
};
bool IsWebApplication(const TWebApplicationFacts& facts);

// Every run of control characters (codes 0 to 31) becomes one blank: window texts and mail
// headers must stay on one line.
std::string FlattenControls(std::string_view s);
// Trims blanks (characters up to the space) at both ends.
std::string TrimBlanks(std::string_view s);
// The file name of a path (after the last "\", "/" or ":").
std::string ReportPathFileName(std::string_view path);
// The folder of a path without the trailing separator, except right after a drive ("C:\").
std::string ReportPathFolder(std::string_view path);
