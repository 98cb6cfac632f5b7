#pragma once
// The delivery run of a saved report: it writes the temporary report files, builds the attachment
// list, delivers by e-mail and/or to the web as the options say, lets the program's handlers veto,
// retry and add files and form fields, keeps a compressed copy when delivery fails, tells the user
// the outcome and removes the temporary files.
//
// The decisions are portable (RunDelivery over a TDeliveryPlatform, delivery_run.cpp); the Windows
// build supplies the platform (mail client, "mailto" handler, SMTP, WinInet, progress dialog,
// message boxes, clipboard) and the send threads in delivery_run_win.cpp.
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "faultline/delivery/attachments.h"
#include "faultline/delivery/file_access.h"
#include "faultline/delivery/smtp_send.h"
#include "faultline/delivery/web_upload.h"
#include "faultline/internal/internal_warning.h"
#include "faultline/options/options.h"
#include "faultline/report/report_text.h"

// Bits of SendFlags the run reads (besides those of packaging).
enum : uint16_t {
  SendShowProgress = 0x0001,  // progress dialog; the mail client shows the message for editing
  SendShowOutcome = 0x0002,   // message box with the outcome
  SendInBackground = 0x0080,  // the run goes to a TSendThread
};
// Bits of HandlingFlags the run reads.
enum : uint8_t {
  HandlingClipboardOnFailure = 0x20,  // a failed run puts the report text on the clipboard
  HandlingKeepCopyOnFailure = 0x40,   // a failed run keeps a compressed copy next to the log
};

// Actions of the action notification and kinds of the error notification.
enum TDeliveryAction : int { ActionBeforeMail = 4, ActionAfterMail = 5, ActionBeforeWeb = 6, ActionAfterWeb = 7 };
enum TDeliveryErrorKind : int { ErrorMailFailed = 5, ErrorWebFailed = 7 };

// Customisable texts the run shows.
enum : int {
  kTextInformationCaption = 0,  // "Information."
  kTextSendCaption = 75,        // "Send."
  kTextMessageCounter = 76,     // "Message"
  kTextSentOk = 94,             // "The message was sent successfully."
  kTextSendFailed = 95,         // "Sorry, sending the message didn't work."
};

// How the program takes part in a run. The capture layer wires these to the program's event
// sinks (the module's exported procedures, then the registered handlers). They are called on the
// thread that performs the run: in background delivery that is the send thread itself, so the
// wiring must call the sinks directly there and not hand them to the report's thread, which may
// be gone by then. Empty ones do nothing.
struct TDeliveryEvents {
  // Actions 4/6 before e-mail/web delivery (clearing goOn skips that delivery), 5/7 after it
  // (goOn holds the result).
  std::function<void(int action, bool& goOn)> Action;
  // Kind 5 after a failed e-mail attempt, 7 after a failed web attempt; setting retry repeats it.
  std::function<void(int kind, bool& retry)> Error;
  // Raised whenever an attachment list is built (every attempt); handlers may add or remove paths.
  std::function<void(std::vector<std::string>& files)> AttachedFiles;
  // Raised at the start of every HTTP(S) attempt with empty lists; name i pairs with value i.
  std::function<void(std::vector<std::string>& names, std::vector<std::string>& values)> CustomFields;
};

struct TDeliveryRequest {
  // The options of the run (read live: handlers may change them). Must outlive the run.
  const TFaultModuleOptions* Options = nullptr;
  // The current report (the clipboard copy and the "mailto" body use its Report text).
  TReportTexts Report;
  // The report text prepared for delivery: the current report, or the whole log with SendFlags
  // 0x0004 (see SaveReportToLog).
  std::string DeliveryText;
  // The log file name computed for the running module: the report-text copy takes its file name,
  // the compressed copy goes to its folder.
  std::string LogFileName;
  // Deciphers encoded call-stack names in the XML copy.
  std::string LogPassword;
  // The screenshot written for this report (empty: none) and the dialog's attach choice.
  std::string ScreenshotFile;
  bool AttachScreenshot = true;
  // The minidump written beside the log for this report (empty: none); it travels with the files.
  std::string MinidumpFile;
  // The last HTML page text (SendFlags 0x0040).
  bool HasLastHtmlPage = false;
  std::string LastHtmlPage;
  // The local time at which handling of the report began (date-time value).
  double ExceptionTime = 0;
  uint64_t ExceptionAddress = 0;
  // Where the temporary report files go, with its trailing separator; empty: the user's temporary
  // folder.
  std::string TempFolder;
  // False for console programs, web-server extensions and scripts: no progress dialog then.
  bool CanShowWindows = true;
  // A web-server script keeps its last HTML page file.
  bool WebServerScript = false;
  // The process ends as soon as the report is done: a delivery in the background would be cut
  // off, so it runs on the calling thread whatever the options say (bounded by its time-outs).
  bool ProcessEnds = false;
  TDeliveryEvents Events;
};

struct TDeliveryResult {
  bool Delivered = false;
  bool MailTried = false;  // e-mail delivery was configured (MailMode != 0)
  bool MailSent = false;
  bool WebTried = false;   // web delivery was configured (UploadMode != 0)
  bool WebSent = false;
  // The error record at the end of the run (eeNone and "" when nothing failed).
  TFaultlineErrorCode ErrorCode = eeNone;
  std::string ErrorText;
  // Path of the compressed copy kept after a failure; empty when none was kept.
  std::string KeptCopy;
};

// A mail for the mail client: attachments as (path, display name).
struct TMailClientMessage {
  std::string Recipients;  // separated by "," or ";"
  std::string Subject;
  std::string Body;
  std::vector<TSmtpAttachmentFile> Attachments;
  bool ShowDialog = false;  // the mail client shows the message for editing
};

// The platform services the run uses. Transports record their own failures in the internal
// warning channel except where noted.
class TDeliveryPlatform {
 public:
  virtual ~TDeliveryPlatform() = default;
  virtual TFaultFileAccess& Files() = 0;
  // The user's temporary folder with its trailing separator.
  virtual std::string TempFolder() = 0;
  // Names (no folder) of the files in folder matching "*.tgz".
  virtual std::vector<std::string> ListArchives(const std::string& folder) = 0;
  // Moves a file; fails (false) when the target exists.
  virtual bool MoveFile(const std::string& from, const std::string& to) = 0;
  // Simple MAPI through the registered mail client; records eeEmailMAPIError on failure.
  virtual bool SendByMailClient(const TMailClientMessage& message) = 0;
  // The "mailto" handler with the finished address; records eeEmailShellError on failure.
  virtual bool SendByShell(const std::string& mailtoAddress) = 0;
  virtual TSmtpSendResult SendBySmtp(const TSmtpSendRequest& request) = 0;
  // Does not record: the run records the result's Message.
  virtual TWebUploadResult UploadToWeb(const TWebUploadRequest& request) = 0;
  // Progress dialog; without one open the updates do nothing.
  virtual void OpenProgress(const TFaultModuleOptions& options, bool canShowWindows) = 0;
  virtual void SetStatus(const std::string& text) = 0;
  virtual void SetProgress(int percent) = 0;
  virtual void CloseProgress() = 0;
  virtual void ShowMessage(const std::string& text, const std::string& caption, uint32_t flags) = 0;
  virtual void CopyToClipboard(const std::string& text) = 0;
};

// The whole run on the calling thread. Never throws.
TDeliveryResult RunDelivery(const TDeliveryRequest& request, TDeliveryPlatform& platform);

// ---- Portable pieces ----

// The requests the options describe: the SMTP server or exchangers, sender, recipients, subject
// and fallback DNS server (no body, attachments or progress); the upload's mode (options' mode 1 to
// 3), address, port and login (no files, fields or progress). A report's run and the resend of
// kept copies send with them.
TSmtpSendRequest SmtpRequestOf(const TFaultModuleOptions& options);
TWebUploadRequest WebUploadRequestOf(const TFaultModuleOptions& options);

// Recipients are split by SplitRecipients (smtp_message.h).
// The subject as the mail client gets it: every run of control characters becomes one blank.
std::string MailClientSubject(std::string_view subject);
// "mailto:" + recipients + "?Subject=" + encoded subject + "&Body=" + encoded body. Encoding keeps
// "-", digits, letters and bytes of 128 or more and writes every other byte as "%XX".
std::string MailtoEncode(std::string_view text);
std::string MailtoAddress(std::string_view recipients, std::string_view subject, std::string_view body);
// The handler's command with every "%1" replaced by the address.
std::string MailtoCommand(std::string_view command, std::string_view address);
// The text with three CR LF pairs appended unless it already ends in them.
std::string WithReportEnding(std::string_view text);
// "Message 1/2: " + text (format "%s %d/%d: ").
std::string StatusWithCounter(const std::string& counterText, int current, int count, const std::string& text);

// Compressed copies. Ours are "CompressFiles" + optional "_" + 14-digit time stamp + optional
// "_" + sequence number + ".tgz" (any case); other ".tgz" files of the folder are not ours.
bool IsKeptArchiveName(std::string_view fileName);
// The name for a new copy among the existing names of the folder: the display name of
// "CompressFiles.tgz", or, when copies of that name (stamp) exist, that name with "_" + the next
// sequence number, so that the new copy sorts last. Copies out for sending again count as there.
std::string NextKeptArchiveName(const std::vector<std::string>& existing, uint16_t sendFlags, double exceptionTime);
// A copy being sent again is renamed kKeptClaimPrefix + owner + "." + its kept name
// (kept_resend.h), and comes back under that name when sending fails: the kept name it stands
// for, else empty.
inline constexpr std::string_view kKeptClaimPrefix = "Sending.";
std::string KeptNameOfClaim(std::string_view fileName);
// Our archives among names, oldest first (time stamp, then sequence number; names without a time
// stamp before those with one).
std::vector<std::string> KeptArchivesOldestFirst(const std::vector<std::string>& names);
// The first (count - keep) of KeptArchivesOldestFirst: the ones to delete.
std::vector<std::string> KeptArchivesToDelete(const std::vector<std::string>& names, size_t keep = 10);

#ifdef _WIN32
// The delivery run with the Windows platform, on the calling thread.
TDeliveryResult DeliverReport(const TDeliveryRequest& request);

// What a delivery started by StartDelivery does around the run.
struct TDeliveryHooks {
  // The subsystem's global lock: a background run holds it for its whole length, so that a later
  // report waits until this one is delivered.
  std::function<void()> EnterLock;
  std::function<void()> LeaveLock;
  // The post-report steps (delete the screenshot, crash rule, free the report, terminate or
  // restart) that the report procedure otherwise performs itself; runs on the thread of the run,
  // inside the lock. It owns whatever copy of the exception it captured.
  std::function<void(const TDeliveryResult& result)> AfterRun;
};

// With SendFlags 0x0080 (and the process not about to end) starts a TSendThread (which frees itself when done) that runs the delivery
// and then AfterRun, and returns false at once; otherwise runs the delivery on the calling thread
// (without the hooks' lock or AfterRun) and returns true with the result.
bool StartDelivery(TDeliveryRequest request, TDeliveryHooks hooks, TDeliveryResult* result);
#endif
