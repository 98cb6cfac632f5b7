#pragma once
// Faultline: reports of a program's exceptions, made inside the program (Windows, MinGW-w64).
//
// The one header a program includes. Link the Faultline::Faultline target and embed the program's
// options with faultline_embed() (CMake package "Faultline"); docs/adding-faultline.md shows the
// whole road. Every exception nobody catches, a stack overflow, abort, a frozen main window (when
// the options watch for it) is then reported: a report with the call stack named to source file
// and line, saved in the log beside the program, shown and delivered as the options say.
#include <exception>
#include <functional>
#include <string>

namespace faultline {

// Starts reporting; call it at the start of main, before any window or thread. Throws
// std::runtime_error when reporting cannot start (the program may go on without it). Start and
// Stop pair up: the last Stop ends reporting.
void Start();
void Stop();
bool Active();

// Sets options over those embedded in the program, as lines of an options file ("Key=Value", the
// syntax fldata reads; several lines at once are checked together, e.g. a mail mode with its
// recipients). Throws std::invalid_argument naming the line for an unknown option or a value the
// program could not act on; nothing is changed then.
void SetOptions(const std::string& lines);
// The program's options as an options file.
std::string Options();

// Reports an exception the program caught (or any std::exception_ptr) without ending anything:
// the whole road of a report (call stack where it was thrown when this thread threw it last,
// else here; the log; the dialog and delivery when the options ask for them), then returns.
// Returns false when reporting is off or the options filter it out.
bool Report(std::exception_ptr exception);
// Reports a message as an exception of its own kind ("EReportedMessage"), with the call stack of
// this call.
bool ReportMessage(const std::string& message);

// Values attached to every later report under names of the program's own (shown in the report's
// custom data, in the XML export, and sent with an upload as form fields). Any thread, any time.
// A name is 1 to 64 letters, digits and "._-"; a value at most 4096 bytes (line breaks become
// spaces); an empty value removes the name. Throws std::invalid_argument otherwise.
void SetValue(const std::string& name, const std::string& value);
void ClearValues();

}  // namespace faultline
