#pragma once
// Queries of the running machine and process whose results a report shows. Win32 only; the
// formatting of the values is portable (report_format.h).
#include <string>
#include <vector>

#include "faultline/report/report_format.h"
#include "faultline/report/report_records.h"

#ifdef _WIN32
// Computer, user, memory, disk of the main module's drive, up time, processor, display mode,
// operating system, language and, unless told otherwise, the network adapters.
TReportEnvironment QueryReportEnvironment(bool withNetwork = true);
// The network adapters alone (NetworkKnown and Adapters).
void QueryNetwork(TReportEnvironment& e);
// The network adapters as read ahead of any report: reading them is the slowest of the queries
// (milliseconds) and loads a library, which a report must not do while it holds other threads
// (one of them may own the loader's lock). A thread of its own, started before any fault, reads
// them at once, again whenever the system tells of an address change, and at least once a minute.
// Stopping waits a bounded time for that thread.
void StartNetworkFacts();
void StopNetworkFacts();
// The facts last read (NetworkKnown and Adapters); false before the first reading is done.
bool NetworkFacts(TReportEnvironment& e);
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
