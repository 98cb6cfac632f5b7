#pragma once
// Queries of the running machine and process whose results a report shows. Win32 only; the
// formatting of the values is portable (report_format.h).
#include <string>
#include <vector>

#include "faultline/report/report_format.h"
#include "faultline/report/report_records.h"

#ifdef _WIN32
// Computer, user, memory, disk of the main module's drive, up time, processor, display mode,
// operating system, language and the network adapters.
TReportEnvironment QueryReportEnvironment();
// Loads what the queries need, so that a report loads no library itself. Called when reporting
// starts, before any fault.
void PrepareReportEnvironment();
// Reads again the facts that are kept between reports (the network's) when they may have
// changed: called by the report thread while it waits, so that a report finds them ready.
// Returns at once when they are current.
void RefreshReportEnvironment();
// How often the report thread refreshes them (milliseconds): more often than they go stale, so
// that a report never waits for them.
inline constexpr unsigned long kReportEnvironmentRefresh = 20000;
// (local time now - UTC now) in whole hours, rounded.
int LocalTimeZoneHours();
TDateTime LocalNow();
// "FileDescription" of the first translation of a file's version resource; empty when absent.
std::string FileDescriptionOf(const std::string& path);
// The fixed file version as "a.b.c.d"; empty when absent or 0.0.0.0.
std::string FileVersionOf(const std::string& path);
// The program's command-line parameters (without the program name).
std::vector<std::string> CommandLineParameters();
// The main module's subsystem is the console.
bool IsConsoleProgram();
// The facts of the web-application test; webApplicationObject says whether a hosting framework
// registered its application object.
TWebApplicationFacts QueryWebApplicationFacts(bool webApplicationObject);
#endif
