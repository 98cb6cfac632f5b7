// Options of a module: fields with their defaults, the default texts, copying, change
// notification and the log file name.
#include "faultline/options/options.h"

#include <utility>

namespace {

const char* const DefaultTextTable[FaultTextCount] = {
    "Information.",  // 0
    "Question.",  // 1
    "Error.",  // 2
    "An error has occurred during program execution.\r\nPlease read the following information for further details.",  // 3
    "General",  // 4
    "General Information",  // 5
    "Call Stack",  // 6
    "Call Stack Information",  // 7
    "Modules",  // 8
    "Modules Information",  // 9
    "CPU",  // 10
    "CPU Information",  // 11
    "Other",  // 12
    "Other Information",  // 13
    "&OK",  // 14
    "&Terminate",  // 15
    "&Restart",  // 16
    "&Details",  // 17
    "&Send this error via Internet",  // 18
    "&Attach a Screenshot image",  // 19
    "&Copy to Clipboard",  // 20
    "Go to the Support Page",  // 21
    "Application",  // 22
    "Start Date",  // 23
    "Name/Description",  // 24
    "Version Number",  // 25
    "Parameters",  // 26
    "Compilation Date",  // 27
    "Exception",  // 28
    "Date",  // 29
    "Address",  // 30
    "Module",  // 31
    "Type",  // 32
    "Message",  // 33
    "Active Controls",  // 34
    "Form Class",  // 35
    "Form Text",  // 36
    "Control Class",  // 37
    "Control Text",  // 38
    "Computer",  // 39
    "Name",  // 40
    "User",  // 41
    "Total Memory",  // 42
    "Free Memory",  // 43
    "Total Disk",  // 44
    "Free Disk",  // 45
    "System Up Time",  // 46
    "Processor",  // 47
    "Display Mode",  // 48
    "Operating System",  // 49
    "Type",  // 50
    "Build #",  // 51
    "Update",  // 52
    "Language",  // 53
    "Network",  // 54
    "IP Address",  // 55
    "Submask",  // 56
    "Gateway",  // 57
    "DNS 1",  // 58
    "DNS 2",  // 59
    "DHCP",  // 60
    "Custom Information",  // 61
    "Address",  // 62
    "Module",  // 63
    "Unit",  // 64
    "Class",  // 65
    "Procedure/Method",  // 66
    "Line",  // 67
    "Main",  // 68
    "Exception Thread",  // 69
    "Running Thread",  // 70
    "Calling Thread",  // 71
    "ID",  // 72
    "Priority",  // 73
    "Class",  // 74
    "Send.",  // 75
    "Message",  // 76
    "Resolving DNS...",  // 77
    "Connecting with server...",  // 78
    "Connected with server.",  // 79
    "Sending message...",  // 80
    "Request",  // 81
    "Please describe the steps to reproduce the error:",  // 82
    "&OK",  // 83
    "Handle",  // 84
    "Name",  // 85
    "Description",  // 86
    "Version",  // 87
    "Size",  // 88
    "Modified",  // 89
    "Path",  // 90
    "Registers",  // 91
    "Stack",  // 92
    "Memory Dump",  // 93
    "The message was sent successfully.",  // 94
    "Sorry, sending the message didn't work.",  // 95
};

const char* const DefaultPageTemplateText =
    "<html>\r\n"
    "  <head>\r\n"
    "  </head>\r\n"
    "  <body TopMargin=10 LeftMargin=10>\r\n"
    "    <table width=\"100%\" border=\"0\">\r\n"
    "      <tr>\r\n"
    "        <td nowrap>\r\n"
    "          <font face=\"Lucida Console, Courier\" size=\"2\">\r\n"
    "            <%HTML_TAG%>\r\n"
    "          </font>\r\n"
    "        </td>\r\n"
    "      </tr>\r\n"
    "    </table>\r\n"
    "  </body>\r\n"
    "</html>";

const char* const DefaultFreezeText = "The application seems to be frozen.";

TOwnOptionsSource ownOptionsSource = nullptr;

// File name parts the Windows way: "\" and ":" end the directory part.
size_t NameStart(std::string_view path) {
  size_t p = path.find_last_of("\\:");
  return p == std::string_view::npos ? 0 : p + 1;
}

size_t ExtStart(std::string_view path) {
  size_t dot = path.rfind('.');
  if (dot == std::string_view::npos || dot < NameStart(path)) return path.size();
  return dot;
}

std::string LowerAscii(std::string_view text) {
  std::string s(text);
  for (char& c : s)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return s;
}

}  // namespace

const char* const DefaultMailSender = "tarn-import@localhost";
// A public resolver that answers anyone; used only when none of the system's servers knows the
// domain.
const char* const DefaultMailFallbackDns = "8.8.8.8";

const TCustomizedTexts& DefaultCustomizedTexts() {
  static const TCustomizedTexts texts = [] {
    TCustomizedTexts t;
    for (int i = 0; i < FaultTextCount; ++i) t[i] = DefaultTextTable[i];
    return t;
  }();
  return texts;
}

const std::string& DefaultPageTemplate() {
  static const std::string text = DefaultPageTemplateText;
  return text;
}

EAssertionFailed::EAssertionFailed(std::string message, std::string unitName)
    : Exception(message + " (" + unitName + ")"),
      assertMessage_(std::move(message)),
      unitName_(std::move(unitName)) {}

TFaultOptionsHooks& FaultOptionsHooks() {
  static TFaultOptionsHooks hooks;
  return hooks;
}

std::string CleanComputerName(std::string_view name) {
  std::string s(name);
  for (char& c : s) {
    switch (c) {
      case '"': case '*': case '/': case ':': case '<': case '>': case '?': case '\\': case '|':
        c = '_';
        break;
      default:
        break;
    }
  }
  return s;
}

std::string FaultLogFileName(std::string_view baseName, std::string_view modulePath,
                             std::string_view logPath, uint8_t logSections,
                             std::string_view computerName) {
  std::string base(baseName.empty() ? modulePath : baseName);
  base = base.substr(0, ExtStart(base)) + ".flf";

  std::string result;
  if (LowerAscii(logPath.substr(ExtStart(logPath))) == ".flf") {
    result = logPath;
  } else {
    std::string folder;
    if (logPath.empty()) {
      folder = base.substr(0, NameStart(base));
    } else {
      folder = logPath;
      if (folder.back() != '\\') folder += '\\';
    }
    result = folder + base.substr(NameStart(base));
  }
  if (logSections & 0x08) {
    size_t ext = ExtStart(result);
    result = result.substr(0, ext) + "_" + CleanComputerName(computerName) + result.substr(ext);
  }
  return result;
}

// ---------------------------------------------------------------------------------------------

TFaultModuleOptions::TFaultModuleOptions(std::string modulePath, bool publishShared)
    : publishShared_(publishShared), modulePath_(std::move(modulePath)) {
  Reset();
  updateDepth_ = 0;
}

TFaultModuleOptions::~TFaultModuleOptions() = default;

void TFaultModuleOptions::Publish() {}

void TFaultModuleOptions::SetHandlingOn(bool value) { StoreHandlingOn(value); }
void TFaultModuleOptions::SetFreezeWatch(bool value) { StoreFreezeWatch(value); }

void TFaultModuleOptions::StoreHandlingOn(bool value) {
  handlingOn_ = value;
  Changed();
}

void TFaultModuleOptions::StoreFreezeWatch(bool value) {
  freezeWatch_ = value;
  Changed();
}

void TFaultModuleOptions::Changed() {
  if (updateDepth_ > 0 || !publishShared_) return;
  auto isRunning = FaultOptionsHooks().IsRunningModule;
  if (isRunning && !modulePath_.empty() && isRunning(modulePath_)) Publish();
}

void TFaultModuleOptions::Assign(const TFaultModuleOptions* source) {
  if (!source) throw EConvertError("Impossible to assign nil as TFaultModuleOptions.");
  if (source == this) return;
  const TFaultModuleOptions& s = *source;
  InUpdate(*this, [&] {
    SetFilter(s.filterClasses_, s.filterTexts_);
    SetTexts(s.texts_);
    SetMailSender(s.mailSender_);
    SetMailServer(s.mailServer_);
    SetMailServerUser(s.mailServerUser_);
    SetMailServerPassword(s.mailServerPassword_);
    SetMailServerPort(s.mailServerPort_);
    SetMailFallbackDns(s.mailFallbackDns_);
    SetMinidumpMode(s.minidumpMode_);
    SetResendKept(s.resendKept_);
    SetTerminateAction(s.terminateAction_);
    SetFreezeWatch(s.freezeWatch_);
    SetFreezeSeconds(s.freezeSeconds_);
    SetFreezeText(s.freezeText_);
    SetItemVisibility(s.itemVisibility_);
    SetLogOn(s.logOn_);
    SetFilterOn(s.filterOn_);
    SetLogAppend(s.logAppend_);
    SetTerminateButtonShown(s.terminateButtonShown_);
    SetLogSaved(s.logSaved_);
    SetLogSections(s.logSections_);
    SetSendFlags(s.sendFlags_);
    SetFirstDialogPage(s.firstDialogPage_);
    SetLogMaxReports(s.logMaxReports_);
    SetTerminateButtonAfter(s.terminateButtonAfter_);
    SetLogPath(s.logPath_);
    SetMailTo(s.mailTo_);
    SetMailSubject(s.mailSubject_);
    SetMailBody(s.mailBody_);
    SetMailMode(s.mailMode_);
    SetUploadMode(s.uploadMode_);
    SetExtraFiles(s.extraFiles_);
    SetDialogFlags(s.dialogFlags_);
    SetDialogCloseSeconds(s.dialogCloseSeconds_);
    SetSupportLink(s.supportLink_);
    SetPageTemplate(s.pageTemplate_);
    SetCrashAction(s.crashAction_);
    SetCrashCount(s.crashCount_);
    SetCrashMinutes(s.crashMinutes_);
    SetStackFlags(s.stackFlags_);
    SetHandlingFlags(s.handlingFlags_);
    SetUploadUrl(s.uploadUrl_);
    SetUploadPort(s.uploadPort_);
    SetUploadPassword(s.uploadPassword_);
    SetUploadUser(s.uploadUser_);
  });
}

// Reset leaves the constructor arguments (ModulePath, PublishShared), the update depth and the
// filter alone: an open batch update must survive a reset, or a later EndUpdate would publish
// in the middle of the batch.
void TFaultModuleOptions::Reset() {
  InUpdate(*this, [&] {
    SetMailSender(DefaultMailSender);
    SetMailServer({});
    SetMailServerUser({});
    SetMailServerPassword({});
    SetMailServerPort(25);
    SetMailFallbackDns(DefaultMailFallbackDns);
    SetMinidumpMode(0);
    SetResendKept(false);
    SetTerminateAction(1);
    SetFreezeWatch(false);
    SetFreezeSeconds(60);
    SetFreezeText(DefaultFreezeText);
    SetItemVisibility({0xFF, 0xFF, 0xFF, 0xFF, 0xFF});
    SetTexts(DefaultCustomizedTexts());
    SetLogOn(false);
    SetFilterOn(true);
    SetLogAppend(false);
    SetTerminateButtonShown(true);
    SetLogSaved(true);
    SetLogSections(0x30);
    SetSendFlags(0x51);
    SetFirstDialogPage(0);
    SetLogMaxReports(32);
    SetTerminateButtonAfter(3);
    SetLogPath({});
    SetMailTo({});
    SetMailSubject({});
    SetMailBody({});
    SetMailMode(0);
    SetUploadMode(0);
    SetExtraFiles({});
    SetDialogFlags(0x1F);
    SetDialogCloseSeconds(0);
    SetSupportLink({});
    SetPageTemplate(DefaultPageTemplate());
    SetCrashAction(1);
    SetCrashCount(10);
    SetCrashMinutes(1);
    SetStackFlags(0x0F);
    SetHandlingFlags(0x30);
    SetUploadUrl({});
    SetUploadPort(0);
    SetUploadPassword({});
    SetUploadUser({});
    SetHandlingOn(true);
  });
}

std::string TFaultModuleOptions::LogFileName(std::string_view baseName) const {
  auto computerName = FaultOptionsHooks().ComputerName;
  std::string computer = (logSections_ & 0x08) && computerName ? computerName() : std::string();
  return FaultLogFileName(baseName, modulePath_, logPath_, logSections_, computer);
}

const std::string& TFaultModuleOptions::Text(int index) const {
  static const std::string empty;
  if (index < 0 || index >= FaultTextCount) return empty;
  return texts_[index];
}

#define FAULT_SETTER(Name, member, Type)              \
  void TFaultModuleOptions::Set##Name(Type value) {   \
    member = std::move(value);                        \
    Changed();                                        \
  }

FAULT_SETTER(PublishShared, publishShared_, bool)
FAULT_SETTER(ModulePath, modulePath_, std::string)
FAULT_SETTER(MailSender, mailSender_, std::string)
FAULT_SETTER(MailServer, mailServer_, std::string)
FAULT_SETTER(MailServerUser, mailServerUser_, std::string)
FAULT_SETTER(MailServerPassword, mailServerPassword_, std::string)
FAULT_SETTER(MailServerPort, mailServerPort_, uint16_t)
FAULT_SETTER(MailFallbackDns, mailFallbackDns_, std::string)
FAULT_SETTER(MinidumpMode, minidumpMode_, uint8_t)
FAULT_SETTER(ResendKept, resendKept_, bool)
FAULT_SETTER(TerminateAction, terminateAction_, uint8_t)
FAULT_SETTER(FreezeSeconds, freezeSeconds_, int32_t)
FAULT_SETTER(FreezeText, freezeText_, std::string)
FAULT_SETTER(ItemVisibility, itemVisibility_, const TItemVisibility&)
FAULT_SETTER(Texts, texts_, const TCustomizedTexts&)
FAULT_SETTER(LogOn, logOn_, bool)
FAULT_SETTER(FilterOn, filterOn_, bool)
FAULT_SETTER(LogAppend, logAppend_, bool)
FAULT_SETTER(TerminateButtonShown, terminateButtonShown_, bool)
FAULT_SETTER(LogSaved, logSaved_, bool)
FAULT_SETTER(LogSections, logSections_, uint8_t)
FAULT_SETTER(SendFlags, sendFlags_, uint16_t)
FAULT_SETTER(FirstDialogPage, firstDialogPage_, uint8_t)
FAULT_SETTER(TerminateButtonAfter, terminateButtonAfter_, int32_t)
FAULT_SETTER(LogPath, logPath_, std::string)
FAULT_SETTER(MailTo, mailTo_, std::string)
FAULT_SETTER(MailSubject, mailSubject_, std::string)
FAULT_SETTER(MailBody, mailBody_, std::string)
FAULT_SETTER(MailMode, mailMode_, uint8_t)
FAULT_SETTER(UploadMode, uploadMode_, uint8_t)
FAULT_SETTER(ExtraFiles, extraFiles_, std::string)
FAULT_SETTER(DialogFlags, dialogFlags_, uint8_t)
FAULT_SETTER(DialogCloseSeconds, dialogCloseSeconds_, int32_t)
FAULT_SETTER(SupportLink, supportLink_, std::string)
FAULT_SETTER(PageTemplate, pageTemplate_, std::string)
FAULT_SETTER(CrashAction, crashAction_, uint8_t)
FAULT_SETTER(CrashCount, crashCount_, int32_t)
FAULT_SETTER(CrashMinutes, crashMinutes_, int32_t)
FAULT_SETTER(StackFlags, stackFlags_, uint8_t)
FAULT_SETTER(HandlingFlags, handlingFlags_, uint8_t)
FAULT_SETTER(UploadUrl, uploadUrl_, std::string)
FAULT_SETTER(UploadPort, uploadPort_, uint32_t)
FAULT_SETTER(UploadPassword, uploadPassword_, std::string)
FAULT_SETTER(UploadUser, uploadUser_, std::string)

#undef FAULT_SETTER

void TFaultModuleOptions::SetLogMaxReports(int32_t value) {
  logMaxReports_ = value == 0 ? 1 : value;
  Changed();
}

void TFaultModuleOptions::SetText(int index, std::string value) {
  if (index < 0 || index >= FaultTextCount) return;
  texts_[index] = std::move(value);
  Changed();
}

void TFaultModuleOptions::ClearFilter() {
  filterClasses_.clear();
  Changed();
  filterTexts_.clear();
  Changed();
}

void TFaultModuleOptions::AddFilter(std::string className, std::string message) {
  filterClasses_.push_back(std::move(className));
  Changed();
  filterTexts_.push_back(std::move(message));
  Changed();
}

void TFaultModuleOptions::SetFilter(std::vector<std::string> classes,
                                    std::vector<std::string> texts) {
  filterClasses_ = std::move(classes);
  Changed();
  filterTexts_ = std::move(texts);
  Changed();
}

// ---------------------------------------------------------------------------------------------

bool TFaultModuleOptionsEx::IsOwnOptions() const {
  auto isRunning = FaultOptionsHooks().IsRunningModule;
  return isRunning && !ModulePath().empty() && isRunning(ModulePath());
}

void TFaultModuleOptionsEx::ApplyFreezeState(bool run) {
  const TFaultOptionsHooks& hooks = FaultOptionsHooks();
  if (run) {
    if (hooks.FreezeStart) hooks.FreezeStart(*this);
  } else {
    if (hooks.FreezeStop) hooks.FreezeStop();
  }
}

void TFaultModuleOptionsEx::Publish() {
  auto publish = FaultOptionsHooks().PublishShared;
  if (publish) publish(*this);
}

void TFaultModuleOptionsEx::SetHandlingOn(bool value) {
  bool changes = value != HandlingOn();
  StoreHandlingOn(value);
  if (changes && IsOwnOptions()) ApplyFreezeState(value && FreezeWatch());
}

void TFaultModuleOptionsEx::SetFreezeWatch(bool value) {
  bool changes = value != FreezeWatch();
  StoreFreezeWatch(value);
  if (changes && IsOwnOptions()) ApplyFreezeState(value && HandlingOn());
}

// ---------------------------------------------------------------------------------------------

void SetOwnOptionsSource(TOwnOptionsSource source) { ownOptionsSource = source; }

const std::string& CurrentOptionsAssertMessage() {
  static const std::string text =
      "\r\nCannot use 'CurrentFaultlineOptions' function without activate Faultline.\r\n"
      "To activate Faultline use the new IDE \"Project/Faultline Options...\" menu.";
  return text;
}

TFaultModuleOptionsEx& CurrentFaultlineOptions() {
  TFaultModuleOptionsEx* options = ownOptionsSource ? ownOptionsSource() : nullptr;
  if (!options) throw EAssertionFailed(CurrentOptionsAssertMessage(), "FaultReport");
  return *options;
}
