#pragma once
// A program that serves web requests (a web-server extension DLL, a CGI or WinCGI program) has no
// desktop to show a report on: the failing request is answered with the HTML error page instead,
// written to the channel the program answers through. The pages the program itself sent are
// watched, so that the last one can travel with the report. Windows only.
#ifdef _WIN32
#include <windows.h>

#include <string>

#include "faultline/options/options.h"

// The process answers web requests: the module or the program exports "HttpExtensionProc", or it
// is a CGI program (console, REQUEST_METHOD set) or a WinCGI program (its request profile and
// output file named on the command line).
bool IsServerProcess();

// Answers the pending request of thread threadId (the one whose exception is reported) with the
// error page built from options' PageTemplate around the escaped text and the OK button. True
// when the whole page was written; a failure is an internal warning.
bool WebPresentation(const std::string& text, const TFaultModuleOptions& options, DWORD threadId);

// Installs the watch of the program's output (standard-output writes of a CGI program, and the
// WriteClient of every request of the module's own exported "HttpExtensionProc") and the
// interception points of the web and application frameworks found in module's symbol table or
// among the configured package exports. Errors of the hooking layer propagate.
void InstallWebInterception(HMODULE module);

// The observer of the program's WriteFile calls (for the reporting's import hook): in a CGI
// program, each write to standard output is the program's last page.
void WebWriteFileObserver(HANDLE file, const void* data, DWORD size);

// The last page the program sent (the bytes of its last standard-output write, or of its last
// WriteClient call); false when it sent none.
bool LastHtmlPage(std::string& page);
#endif
