#pragma once
// The options of one module that carries exception reporting (TFaultModuleOptions), the variant
// used for registered modules and for the process-wide current options (TFaultModuleOptionsEx),
// the 96 customizable texts, and the log file name derived from the options.
//
// Values are read through getters named like the fields (LogSaved(), SendFlags(), Texts() ...)
// and changed through SetXxx setters: every setter stores and calls Changed(), which publishes the
// options of the running module into its shared block (see TFaultOptionsHooks).
#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "faultline/options/options_record.h"
#include "rtl/exception.h"

constexpr int FaultTextCount = 96;
using TCustomizedTexts = std::array<std::string, FaultTextCount>;
// 40 bits of report-item visibility, bit k is bit (k % 8) of byte k / 8.
using TItemVisibility = std::array<uint8_t, 5>;

// The default texts and the default web error page template.
const TCustomizedTexts& DefaultCustomizedTexts();
const std::string& DefaultPageTemplate();
// The placeholder sender address used until the options name one.
extern const char* const DefaultMailSender;
// The DNS server asked for mail exchangers after those the system names ("host" or "host:port").
extern const char* const DefaultMailFallbackDns;

// "Impossible to assign nil as TFaultModuleOptions."
class EConvertError : public Exception {
 public:
  using Exception::Exception;
};

// A failed internal assertion; UnitName() names the unit that asserted.
class EAssertionFailed : public Exception {
 public:
  EAssertionFailed(std::string message, std::string unitName);
  const std::string& AssertMessage() const { return assertMessage_; }
  const std::string& UnitName() const { return unitName_; }

 private:
  std::string assertMessage_;
  std::string unitName_;
};

class TFaultModuleOptions;

// Platform services the options need. Portable code calls them only when set; the Windows glue
// (InstallFaultOptionsHooks in report/module_options.h) fills them in.
struct TFaultOptionsHooks {
  // True when the module found for this path is the module whose code is running (the module that
  // carries this copy of the reporting code). Never true for an empty path.
  bool (*IsRunningModule)(const std::string& modulePath) = nullptr;
  // The computer name as the log file name rule reads it (buffer of 16 characters).
  std::string (*ComputerName)() = nullptr;
  // Writes the options into the running module's shared block (slot 1 of TFaultModuleOptionsEx).
  void (*PublishShared)(const TFaultModuleOptions& options) = nullptr;
  // The freeze detector's start and stop, driven by HandlingOn and FreezeWatch of the running
  // module's own options. Empty until the freeze detector exists.
  void (*FreezeStart)(const TFaultModuleOptions& options) = nullptr;
  void (*FreezeStop)() = nullptr;
};
TFaultOptionsHooks& FaultOptionsHooks();

// Pure rule of the log file name (see TFaultModuleOptions::LogFileName), computer name given.
std::string FaultLogFileName(std::string_view baseName, std::string_view modulePath,
                             std::string_view logPath, uint8_t logSections,
                             std::string_view computerName);
// Replaces each of the characters " * / : < > ? \ | by "_".
std::string CleanComputerName(std::string_view name);

class TFaultModuleOptions {
 public:
  TFaultModuleOptions(std::string modulePath, bool publishShared);
  virtual ~TFaultModuleOptions();
  TFaultModuleOptions(const TFaultModuleOptions&) = delete;
  TFaultModuleOptions& operator=(const TFaultModuleOptions&) = delete;

  // Virtual operations, in their slot order.
  virtual void Publish();                                   // 1
  virtual void SetHandlingOn(bool value);                   // 2
  virtual void SetFreezeWatch(bool value);                  // 3
  virtual void Assign(const TFaultModuleOptions* source);   // 4; nullptr raises EConvertError
  virtual void Reset();                                     // 5
  virtual void SaveToStream(std::string& stream) const;     // 6: appends the options record
  // 7: reads the options record of container format `version`.
  virtual void LoadFromStream(TFaultRecordReader& stream, uint16_t version);

  void BeginUpdate() { ++updateDepth_; }
  void EndUpdate() { --updateDepth_; }
  // Publishes when no update is open, publishing is on and these are the running module's options.
  void Changed();

  // The log file for a base name (empty: the module path); see FaultLogFileName.
  std::string LogFileName(std::string_view baseName = {}) const;

  // Getters.
  bool PublishShared() const { return publishShared_; }
  int32_t UpdateDepth() const { return updateDepth_; }
  const std::string& MailSender() const { return mailSender_; }
  const std::string& MailServer() const { return mailServer_; }
  const std::string& MailServerUser() const { return mailServerUser_; }
  const std::string& MailServerPassword() const { return mailServerPassword_; }
  uint16_t MailServerPort() const { return mailServerPort_; }
  const std::string& MailFallbackDns() const { return mailFallbackDns_; }
  // 0: no minidump; 1: a minidump of every thread's stack, the modules and the exception; 2: the
  // same with all the process's memory (a large file).
  uint8_t MinidumpMode() const { return minidumpMode_; }
  // Compressed copies kept after a failed delivery (HandlingFlags 0x40) are sent again, oldest
  // first, by the delivery's background methods when reporting next starts.
  bool ResendKept() const { return resendKept_; }
  uint8_t TerminateAction() const { return terminateAction_; }
  bool FreezeWatch() const { return freezeWatch_; }
  int32_t FreezeSeconds() const { return freezeSeconds_; }
  const std::string& FreezeText() const { return freezeText_; }
  const std::string& ModulePath() const { return modulePath_; }
  const TItemVisibility& ItemVisibility() const { return itemVisibility_; }
  const std::vector<std::string>& FilterClasses() const { return filterClasses_; }
  const std::vector<std::string>& FilterTexts() const { return filterTexts_; }
  const TCustomizedTexts& Texts() const { return texts_; }
  // Entry `index` of Texts (0..95); an index outside that range gives an empty text.
  const std::string& Text(int index) const;
  bool LogOn() const { return logOn_; }
  bool FilterOn() const { return filterOn_; }
  bool LogAppend() const { return logAppend_; }
  bool TerminateButtonShown() const { return terminateButtonShown_; }
  bool LogSaved() const { return logSaved_; }
  uint8_t LogSections() const { return logSections_; }
  uint16_t SendFlags() const { return sendFlags_; }
  uint8_t FirstDialogPage() const { return firstDialogPage_; }
  int32_t LogMaxReports() const { return logMaxReports_; }
  int32_t TerminateButtonAfter() const { return terminateButtonAfter_; }
  const std::string& LogPath() const { return logPath_; }
  const std::string& MailTo() const { return mailTo_; }
  const std::string& MailSubject() const { return mailSubject_; }
  const std::string& MailBody() const { return mailBody_; }
  uint8_t MailMode() const { return mailMode_; }
  uint8_t UploadMode() const { return uploadMode_; }
  const std::string& ExtraFiles() const { return extraFiles_; }
  uint8_t DialogFlags() const { return dialogFlags_; }
  int32_t DialogCloseSeconds() const { return dialogCloseSeconds_; }
  const std::string& SupportLink() const { return supportLink_; }
  const std::string& PageTemplate() const { return pageTemplate_; }
  uint8_t CrashAction() const { return crashAction_; }
  int32_t CrashCount() const { return crashCount_; }
  int32_t CrashMinutes() const { return crashMinutes_; }
  uint8_t StackFlags() const { return stackFlags_; }
  uint8_t HandlingFlags() const { return handlingFlags_; }
  const std::string& UploadUrl() const { return uploadUrl_; }
  uint32_t UploadPort() const { return uploadPort_; }
  const std::string& UploadPassword() const { return uploadPassword_; }
  const std::string& UploadUser() const { return uploadUser_; }
  bool HandlingOn() const { return handlingOn_; }

  // Setters: each stores and calls Changed().
  void SetPublishShared(bool value);
  void SetModulePath(std::string value);
  void SetMailSender(std::string value);
  void SetMailServer(std::string value);
  void SetMailServerUser(std::string value);
  void SetMailServerPassword(std::string value);
  void SetMailServerPort(uint16_t value);
  void SetMailFallbackDns(std::string value);
  void SetMinidumpMode(uint8_t value);
  void SetResendKept(bool value);
  void SetTerminateAction(uint8_t value);
  void SetFreezeSeconds(int32_t value);
  void SetFreezeText(std::string value);
  void SetItemVisibility(const TItemVisibility& value);
  void SetText(int index, std::string value);  // index outside 0..95 is ignored
  void SetTexts(const TCustomizedTexts& value);
  void SetLogOn(bool value);
  void SetFilterOn(bool value);
  void SetLogAppend(bool value);
  void SetTerminateButtonShown(bool value);
  void SetLogSaved(bool value);
  void SetLogSections(uint8_t value);
  void SetSendFlags(uint16_t value);
  void SetFirstDialogPage(uint8_t value);
  void SetLogMaxReports(int32_t value);  // 0 stores 1
  void SetTerminateButtonAfter(int32_t value);
  void SetLogPath(std::string value);
  void SetMailTo(std::string value);
  void SetMailSubject(std::string value);
  void SetMailBody(std::string value);
  void SetMailMode(uint8_t value);
  void SetUploadMode(uint8_t value);
  void SetExtraFiles(std::string value);
  void SetDialogFlags(uint8_t value);
  void SetDialogCloseSeconds(int32_t value);
  void SetSupportLink(std::string value);
  void SetPageTemplate(std::string value);
  void SetCrashAction(uint8_t value);
  void SetCrashCount(int32_t value);
  void SetCrashMinutes(int32_t value);
  void SetStackFlags(uint8_t value);
  void SetHandlingFlags(uint8_t value);
  void SetUploadUrl(std::string value);
  void SetUploadPort(uint32_t value);
  void SetUploadPassword(std::string value);
  void SetUploadUser(std::string value);

  // The exception filter: class name i pairs with message i. Every change calls Changed().
  void ClearFilter();
  void AddFilter(std::string className, std::string message);
  void SetFilter(std::vector<std::string> classes, std::vector<std::string> texts);

 protected:
  // Plain store + Changed, without the freeze side effects of the virtual setters.
  void StoreHandlingOn(bool value);
  void StoreFreezeWatch(bool value);

 private:
  bool publishShared_;
  int32_t updateDepth_ = 0;
  std::string mailSender_;
  std::string mailServer_;
  std::string mailServerUser_;
  std::string mailServerPassword_;
  uint16_t mailServerPort_ = 25;
  std::string mailFallbackDns_ = DefaultMailFallbackDns;
  uint8_t minidumpMode_ = 0;
  bool resendKept_ = false;
  uint8_t terminateAction_ = 1;
  bool freezeWatch_ = false;
  int32_t freezeSeconds_ = 60;
  std::string freezeText_;
  std::string modulePath_;
  TItemVisibility itemVisibility_{};
  std::vector<std::string> filterClasses_;
  std::vector<std::string> filterTexts_;
  TCustomizedTexts texts_;
  bool logOn_ = false;
  bool filterOn_ = true;
  bool logAppend_ = false;
  bool terminateButtonShown_ = true;
  bool logSaved_ = true;
  uint8_t logSections_ = 0x30;
  uint16_t sendFlags_ = 0x51;
  uint8_t firstDialogPage_ = 0;
  int32_t logMaxReports_ = 32;
  int32_t terminateButtonAfter_ = 3;
  std::string logPath_;
  std::string mailTo_;
  std::string mailSubject_;
  std::string mailBody_;
  uint8_t mailMode_ = 0;
  uint8_t uploadMode_ = 0;
  std::string extraFiles_;
  uint8_t dialogFlags_ = 0x1F;
  int32_t dialogCloseSeconds_ = 0;
  std::string supportLink_;
  std::string pageTemplate_;
  uint8_t crashAction_ = 1;
  int32_t crashCount_ = 10;
  int32_t crashMinutes_ = 1;
  uint8_t stackFlags_ = 0x0F;
  uint8_t handlingFlags_ = 0x30;
  std::string uploadUrl_;
  uint32_t uploadPort_ = 0;
  std::string uploadPassword_;
  std::string uploadUser_;
  bool handlingOn_ = true;
};

// Options of a registered module and the process-wide current options. Publishing writes the
// shared block; for the running module's own options, HandlingOn and FreezeWatch start and stop
// the freeze detector.
class TFaultModuleOptionsEx : public TFaultModuleOptions {
 public:
  using TFaultModuleOptions::TFaultModuleOptions;

  void Publish() override;
  void SetHandlingOn(bool value) override;
  void SetFreezeWatch(bool value) override;

 private:
  bool IsOwnOptions() const;
  void ApplyFreezeState(bool run);
};

// Runs body inside BeginUpdate ... EndUpdate + Changed; the closing pair also runs when an
// exception leaves the body, so a failed batch never leaves the options stuck in an update.
template <class F>
void InUpdate(TFaultModuleOptions& options, F&& body) {
  options.BeginUpdate();
  try {
    body();
  } catch (...) {
    options.EndUpdate();
    options.Changed();
    throw;
  }
  options.EndUpdate();
  options.Changed();
}

// The options of the running module's own registration. Whoever registers the module sets the
// source; with reporting inactive or no registration the source returns nullptr and
// CurrentFaultlineOptions raises EAssertionFailed naming unit "FaultReport".
using TOwnOptionsSource = TFaultModuleOptionsEx* (*)();
void SetOwnOptionsSource(TOwnOptionsSource source);
TFaultModuleOptionsEx& CurrentFaultlineOptions();
// The assertion message of CurrentFaultlineOptions.
const std::string& CurrentOptionsAssertMessage();
