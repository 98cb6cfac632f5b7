#pragma once
// The exception dialog: a compact presentation (icon, message, buttons, the delivery boxes) and a
// detailed one (resizable, with tab pages for the general text, the call stack, the modules, the
// CPU and the custom data), and the request dialog that asks the user how to reproduce the error.
// Both run modally on the calling thread, which pumps their messages. Windows only.
#ifdef _WIN32
#include <windows.h>

#include <functional>
#include <string>

#include "faultline/options/options.h"
#include "faultline/report/report_records.h"
#include "faultline/report/report_text.h"

// The report as the dialog shows it.
struct TDialogReport {
  const TReportTexts* Texts = nullptr;  // General, Cpu and Report are shown and copied
  const TReportData* Data = nullptr;    // the stack, threads, modules and custom data for the lists
  std::string Message;                  // the exception message (a handler's custom one, else the last)
  bool Duplicate = false;               // the log already holds this report
  int ErrorCount = 0;                   // errors reported in this process, this one included
  // The report flow's own reading of these (the console and web cases never show the dialog).
  bool ConsoleProgram = false;
  bool WebApplication = false;
};

// What the user chose.
struct TDialogChoices {
  bool Send = false;             // deliver the report (never for a box that was not offered)
  bool Screenshot = false;       // attach the screenshot (only with Send)
  bool CopyToClipboard = false;  // the report text has been put on the clipboard
  bool Terminate = false;        // the terminate or restart button was pressed (and not taken back)
  bool Painted = false;          // the dialog appeared; otherwise the message box stood in for it
  std::string ReproduceText;     // the request dialog's trimmed text (empty when not asked)
};

// Calls from the dialog into the report flow. Unset members do nothing.
struct TDialogEvents {
  // The terminate button's action event: a handler may clear terminate, and the dialog opens again.
  std::function<void(bool& terminate)> TerminateAction;
  // An internal warning (code 1: the dialog could not be shown).
  std::function<void(int code, const std::string& text)> Warning;
  // Called on the dialog's window when it has been initialised (tests watch it from here).
  std::function<void(HWND dialog)> Created;
};

// Runs the exception dialog until the user closes it (or it closes itself after
// DialogCloseSeconds), then copies the report to the clipboard when that box was checked. The
// send and screenshot choices start from the options and the report: with no delivery configured,
// or for a duplicate report, neither box is offered and neither is chosen.
TDialogChoices ShowExceptionDialog(const TFaultModuleOptions& options, const TDialogReport& report,
                                   const TDialogEvents& events = {});

// Whether the request dialog is to be shown after the exception dialog (LogSections bit 0x02, a
// windowed program, not a duplicate, and the report is sent or saved).
bool RequestDialogWanted(const TFaultModuleOptions& options, const TDialogReport& report, bool sending);
// Runs the request dialog; returns the trimmed text the user typed. The report flow adds it to
// the report as a custom section headed by text 81.
std::string ShowRequestDialog(const TFaultModuleOptions& options);

// The dialog's remembered geometry: "Faultline.ini" in the Windows folder, or in the
// "%UserProfile%\Faultline" folder when the Windows folder cannot be written.
std::string DialogIniFileName();

// Puts text on the clipboard as plain text; false when the clipboard could not be taken.
bool CopyTextToClipboard(HWND owner, const std::string& text);

// The window handle of the exception dialog while one is open (else nullptr).
HWND CurrentExceptionDialog();
#endif
