#pragma once
// Where a report's minidump goes: beside the log, named after it and the time of the exception
// ("app.flf" at 2026-12-11 12:00:00 -> "app_20261211120000.dmp", then "_2", "_3" ... for further
// dumps of the same second), and how many of them stay.
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "faultline/report/report_records.h"

// The dumps kept beside a log; older ones go when a new one is written.
inline constexpr size_t kKeptMinidumps = 10;

// The path of a new dump for the log file logFileName (a full path), given the names (no folder)
// of the dumps of the log's folder that exist.
std::string MinidumpPathFor(const std::string& logFileName, TDateTime exceptionTime,
                            const std::vector<std::string>& existing);
// Whether name (no folder) is one of this log's dumps: base + "_" + 14 digits [+ "_" + digits] + ".dmp".
bool IsMinidumpOf(std::string_view logFileName, std::string_view name);
// This log's dumps among names, oldest first; the first (count - keep) of them are returned.
std::vector<std::string> MinidumpsToDelete(std::string_view logFileName, const std::vector<std::string>& names,
                                           size_t keep = kKeptMinidumps);
