#include "faultline/delivery/delivery_run.h"

#include <algorithm>
#include <cstdio>
#include <exception>

#include "faultline/log/log_file.h"
#include "faultline/log/xml_export.h"
#include "faultline/report/report_format.h"
#include "rtl/ansi_paths.h"
#include "rtl/ascii_text.h"

namespace {

constexpr char kCrLf3[] = "\r\n\r\n\r\n";
constexpr size_t kKeptArchives = 10;

bool AllDigits(std::string_view s) {
  return !s.empty() && std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// The parts of one of our archive names; false for any other name.
struct TKeptName {
  std::string Stamp;  // 14 digits or empty
  uint64_t Sequence = 1;
};

bool ParseKeptName(std::string_view name, TKeptName& out) {
  constexpr std::string_view base = "CompressFiles";
  constexpr std::string_view ext = ".tgz";
  if (!StartsWithNoCase(name, base) || name.size() < base.size() + ext.size()) return false;
  if (!StartsWithNoCase(name.substr(name.size() - ext.size()), ext)) return false;
  std::string_view rest = name.substr(base.size(), name.size() - base.size() - ext.size());
  out = TKeptName();
  std::vector<std::string_view> groups;
  while (!rest.empty()) {
    if (rest[0] != '_') return false;
    rest.remove_prefix(1);
    size_t end = rest.find('_');
    std::string_view group = rest.substr(0, end);
    if (!AllDigits(group)) return false;
    groups.push_back(group);
    rest = end == std::string_view::npos ? std::string_view() : rest.substr(end);
  }
  if (groups.size() > 2) return false;
  size_t next = 0;
  if (next < groups.size() && groups[next].size() == 14) out.Stamp = std::string(groups[next++]);
  if (next < groups.size()) {
    if (groups[next].size() > 9) return false;
    out.Sequence = std::stoull(std::string(groups[next++]));
  }
  return next == groups.size();
}

bool KeptNameBefore(const std::string& a, const std::string& b) {
  TKeptName x, y;
  ParseKeptName(a, x);
  ParseKeptName(b, y);
  if (x.Stamp != y.Stamp) return x.Stamp < y.Stamp;
  if (x.Sequence != y.Sequence) return x.Sequence < y.Sequence;
  return a < b;
}

std::string FolderOf(const std::string& path) { return path.substr(0, PathNameStart(path)); }

// One run: the shared lists and flags of the run live here.
class TRun {
 public:
  TRun(const TDeliveryRequest& request, TDeliveryPlatform& platform)
      : r_(request), p_(platform), files_(platform.Files()) {}

  TDeliveryResult Run();

 private:
  const TFaultModuleOptions& O() const { return *r_.Options; }
  void WriteTemporaryFiles();
  void RemoveTemporaryFiles();
  // Builds the list for one method; false when none of the report files this list should carry
  // could be written (a delivery of nothing is no delivery).
  bool BuildList(bool forEmail);
  bool MailDelivery();
  bool MailAttempt();
  bool WebDelivery();
  bool WebAttempt();
  void KeepCompressedCopy();
  std::vector<TSmtpAttachmentFile> AttachmentFiles() const;
  void Record(TFaultlineErrorCode code, const std::string& text) {
    InternalWarning(code, r_.ExceptionAddress, text);
  }
  void RecordException(TFaultlineErrorCode code, const char* method);
  // Handlers' exceptions are swallowed: a faulty handler must not cost the report.
  void RaiseAction(int action, bool& goOn) {
    if (!r_.Events.Action) return;
    try {
      r_.Events.Action(action, goOn);
    } catch (...) {
    }
  }
  void RaiseError(int kind, bool& retry) {
    if (!r_.Events.Error) return;
    try {
      r_.Events.Error(kind, retry);
    } catch (...) {
      retry = false;
    }
  }

  const TDeliveryRequest& r_;
  TDeliveryPlatform& p_;
  TFaultFileAccess& files_;
  TReportFileNames names_;
  TAttachmentSources sources_;
  bool reportCopyWritten_ = false;
  bool xmlWritten_ = false;
  bool pageWritten_ = false;
  std::vector<std::string> list_;          // the attachment list
  std::vector<std::string> unpackedList_;  // the same before packing
  bool listForEmail_ = false;
  bool listComplete_ = true;  // the first build of this method's list found its report files
  std::vector<std::string> fieldNames_, fieldValues_;
  bool keepTemporaryArchive_ = false;
  TDeliveryResult result_;
};

void TRun::RecordException(TFaultlineErrorCode code, const char* method) {
  try {
    throw;
  } catch (const std::exception& e) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "[%s] ", method);
    Record(code, buf + std::string(e.what()));
  } catch (...) {
    Record(code, std::string("General '") + method + "' error.");
  }
}

void TRun::WriteTemporaryFiles() {
  const uint16_t flags = O().SendFlags();
  // A file left by an earlier run must never travel in place of one this run failed to write.
  auto write = [&](const std::string& path, std::string_view bytes) {
    files_.Remove(path);
    try {
      files_.WriteAll(path, bytes);
      return true;
    } catch (...) {
      files_.Remove(path);
      return false;
    }
  };
  reportCopyWritten_ = write(names_.LogCopy, WithReportEnding(r_.DeliveryText));
  if ((flags & SendLastHtmlPage) && r_.HasLastHtmlPage) pageWritten_ = write(names_.LastWebPage, r_.LastHtmlPage);
  if (flags & SendXmlCopy) {
    files_.Remove(names_.XmlCopy);
    if (reportCopyWritten_) {
      try {
        std::string xml = XmlDocumentOf(SplitLogText(files_.ReadAll(names_.LogCopy)), r_.LogPassword);
        xmlWritten_ = write(names_.XmlCopy, xml);
      } catch (...) {
        files_.Remove(names_.XmlCopy);
      }
    }
  }
}

void TRun::RemoveTemporaryFiles() {
  if (!names_.XmlCopy.empty()) files_.Remove(names_.XmlCopy);
  if (!names_.LastWebPage.empty() && !r_.WebServerScript) files_.Remove(names_.LastWebPage);
  files_.Remove(names_.LogCopy);
}

bool TRun::BuildList(bool forEmail) {
  listForEmail_ = forEmail;
  unpackedList_.clear();
  sources_.SendFlags = O().SendFlags();
  sources_.ExtraFiles = O().ExtraFiles();
  sources_.LogAppend = O().LogAppend();
  // The list before packing, as the handlers left it (missing files dropped below).
  TAttachedFilesRequest request = [&](std::vector<std::string>& files) {
    if (r_.Events.AttachedFiles) {
      try {
        r_.Events.AttachedFiles(files);
      } catch (...) {
        // A handler's failure does not stop the delivery.
      }
    }
    unpackedList_ = files;
  };
  BuildAttachmentList(list_, sources_, forEmail, request, files_);
  unpackedList_.erase(std::remove_if(unpackedList_.begin(), unpackedList_.end(),
                                     [&](const std::string& p) { return p.empty() || !files_.Exists(p); }),
                      unpackedList_.end());
  // The report files this list was to carry: at least one of them must exist.
  bool expected = false, present = false;
  if (!(forEmail && sources_.LogAppend)) {
    expected = true;
    present |= reportCopyWritten_;
  }
  if (sources_.SendFlags & SendXmlCopy) {
    expected = true;
    present |= xmlWritten_;
  }
  if ((sources_.SendFlags & SendLastHtmlPage) && r_.HasLastHtmlPage) {
    expected = true;
    present |= pageWritten_;
  }
  return !expected || present;
}

std::vector<TSmtpAttachmentFile> TRun::AttachmentFiles() const {
  std::vector<TSmtpAttachmentFile> out;
  for (const std::string& path : list_)
    out.push_back({path, AttachmentDisplayName(path, O().SendFlags(), r_.ExceptionTime)});
  return out;
}

bool TRun::MailAttempt() {
  const uint8_t mode = O().MailMode();
  std::string body = O().MailBody();
  if (O().LogAppend()) body += kCrLf3 + r_.DeliveryText;
  if (mode == 2 || mode == 3) {
    TSmtpSendRequest smtp = SmtpRequestOf(O());
    smtp.Attachments = AttachmentFiles();
    smtp.Body = body;
    const std::string counter = O().Text(kTextMessageCounter);
    smtp.OnStatus = [&](int textNumber, int recipient, int count) {
      p_.SetStatus(StatusWithCounter(counter, recipient, count, O().Text(textNumber)));
    };
    smtp.OnProgress = [&](int percent) { p_.SetProgress(percent); };
    p_.OpenProgress(O(), r_.CanShowWindows);
    TSmtpSendResult sent;
    try {
      sent = p_.SendBySmtp(smtp);
    } catch (...) {
      p_.CloseProgress();
      throw;
    }
    p_.CloseProgress();
    return sent.Sent;
  }
  TMailClientMessage message;
  message.Recipients = O().MailTo();
  message.Subject = O().MailSubject();
  message.Body = body;
  message.Attachments = AttachmentFiles();
  message.ShowDialog = (O().SendFlags() & SendShowProgress) != 0;
  if (p_.SendByMailClient(message)) return true;
  // The handler gets the report in the body whatever LogAppend says: it cannot carry files.
  return p_.SendByShell(MailtoAddress(O().MailTo(), O().MailSubject(), O().MailBody() + kCrLf3 + r_.Report.Report));
}

bool TRun::MailDelivery() {
  bool goOn = true;
  RaiseAction(ActionBeforeMail, goOn);
  if (!goOn) return false;
  bool ok = false;
  bool retry = false;
  bool firstAttempt = true;
  do {
    const uint8_t mode = O().MailMode();
    const TFaultlineErrorCode code = (mode == 2 || mode == 3) ? eeEmailSMTPError : eeEmailMAPIError;
    goOn = false;
    try {
      // A retry asks for the files again: the new answer replaces the old one.
      bool haveFiles = firstAttempt ? listComplete_ : BuildList(true);
      if (!haveFiles) {
        Record(code, "E-mail error: none of the report files could be written to the temporary folder.");
        ok = false;
      } else {
        ok = MailAttempt();
      }
    } catch (...) {
      RecordException(code, "SendEmail");
      ok = false;
    }
    firstAttempt = false;
    goOn = ok;
    retry = false;
    if (!ok) RaiseError(ErrorMailFailed, retry);
  } while (retry);
  bool after = ok;
  RaiseAction(ActionAfterMail, after);
  return ok;
}

bool TRun::WebAttempt() {
  TWebUploadRequest web = WebUploadRequestOf(O());
  p_.OpenProgress(O(), r_.CanShowWindows);
  web.Progress = [&](int stage, uint32_t total, uint32_t done) {
    if (stage == 0) {
      p_.SetStatus(O().Text(kSmtpStatusConnecting));
      p_.SetProgress(0);
    } else if (stage == 1) {
      p_.SetStatus(O().Text(kSmtpStatusConnected));
    } else {
      p_.SetStatus(O().Text(kSmtpStatusSending));
      p_.SetProgress(total ? static_cast<int>((static_cast<uint64_t>(done) * 200 + total) / (2ull * total)) : 100);
    }
  };
  TWebUploadResult uploaded;
  bool transfer = true;
  if (web.Mode != TWebUploadMode::Ftp) {
    // Asked afresh on every attempt: a retry's answer replaces the earlier one.
    fieldNames_.clear();
    fieldValues_.clear();
    if (r_.Events.CustomFields) {
      try {
        r_.Events.CustomFields(fieldNames_, fieldValues_);
      } catch (...) {
      }
    }
    web.FieldNames = fieldNames_;
    web.FieldValues = fieldValues_;
    transfer = !list_.empty();
  }
  for (const std::string& path : list_) {
    web.Files.push_back(path);
    web.DisplayNames.push_back(AttachmentDisplayName(path, O().SendFlags(), r_.ExceptionTime));
  }
  if (transfer) {
    try {
      uploaded = p_.UploadToWeb(web);
    } catch (...) {
      p_.CloseProgress();
      throw;
    }
  }
  p_.CloseProgress();
  if (!uploaded.Succeeded()) Record(uploaded.ErrorCode != eeNone ? uploaded.ErrorCode : WebUploadErrorCode(web.Mode),
                                    uploaded.Message.empty() ? uploaded.ErrorText : uploaded.Message);
  return uploaded.Succeeded();
}

bool TRun::WebDelivery() {
  bool goOn = true;
  RaiseAction(ActionBeforeWeb, goOn);
  if (!goOn) return false;
  bool ok = false;
  bool retry = false;
  bool firstAttempt = true;
  do {
    const TWebUploadMode webMode = WebUploadModeOf(O().UploadMode());
    goOn = false;
    try {
      bool haveFiles = firstAttempt ? listComplete_ : BuildList(false);
      if (!haveFiles) {
        Record(WebUploadErrorCode(webMode), std::string(WebUploadModeName(webMode)) +
                                                " error: none of the report files could be written to the "
                                                "temporary folder.");
        ok = false;
      } else {
        ok = WebAttempt();
      }
    } catch (...) {
      p_.CloseProgress();
      RecordException(WebUploadErrorCode(webMode), "SendWeb");
      ok = false;
    }
    firstAttempt = false;
    goOn = ok;
    retry = false;
    if (!ok) RaiseError(ErrorWebFailed, retry);
  } while (retry);
  bool after = ok;
  RaiseAction(ActionAfterWeb, after);
  return ok;
}

void TRun::KeepCompressedCopy() {
  const uint16_t flags = O().SendFlags();
  const std::string folder = FolderOf(r_.LogFileName);
  std::vector<std::string> existing = p_.ListArchives(folder);
  const std::string name = NextKeptArchiveName(existing, flags, r_.ExceptionTime);
  const std::string target = folder + name;
  // The copy must hold the report: the e-mail list leaves the report text out when it travels in
  // the body, and then the copy is packed afresh with it.
  std::vector<std::string> content = unpackedList_;
  if (reportCopyWritten_ && std::find(content.begin(), content.end(), names_.LogCopy) == content.end())
    content.push_back(names_.LogCopy);
  const bool archiveUsable = (flags & SendCompressed) && content.size() == unpackedList_.size() &&
                             list_.size() == 1 && list_[0] == names_.Archive && files_.Exists(names_.Archive);
  if (content.empty() && !archiveUsable) return;
  bool kept = false;
  if (archiveUsable) {
    kept = p_.MoveFile(names_.Archive, target);
  } else {
    try {
      BuildArchive(target, content, flags, r_.ExceptionTime, files_);
      kept = files_.Exists(target);
    } catch (...) {
      files_.Remove(target);
    }
  }
  if (kept) {
    result_.KeptCopy = target;
  } else {
    // The log folder does not take it: keep it in the temporary folder under a name of its own
    // rather than lose it.
    const std::string temp = FolderOf(names_.Archive);
    const std::string fallback = temp + NextKeptArchiveName(p_.ListArchives(temp), flags | SendTimeStampNames,
                                                            r_.ExceptionTime);
    if (archiveUsable) {
      if (p_.MoveFile(names_.Archive, fallback)) {
        result_.KeptCopy = fallback;
      } else {
        keepTemporaryArchive_ = true;
        result_.KeptCopy = names_.Archive;
      }
    } else {
      try {
        BuildArchive(fallback, content, flags, r_.ExceptionTime, files_);
        result_.KeptCopy = fallback;
      } catch (...) {
        files_.Remove(fallback);
      }
    }
    if (!result_.KeptCopy.empty() && FolderOf(result_.KeptCopy) != folder) {
      for (const std::string& old : KeptArchivesToDelete(p_.ListArchives(temp), kKeptArchives))
        if (temp + old != names_.Archive) files_.Remove(temp + old);
    }
  }
  for (const std::string& old : KeptArchivesToDelete(p_.ListArchives(folder), kKeptArchives))
    if (folder + old != result_.KeptCopy) files_.Remove(folder + old);
}

TDeliveryResult TRun::Run() {
  ClearInternalWarning();
  const std::string temp = r_.TempFolder.empty() ? p_.TempFolder() : r_.TempFolder;
  names_ = ReportFileNames(temp, r_.LogFileName, O().SendFlags());
  sources_.AttachScreenshot = r_.AttachScreenshot;
  sources_.HasLastHtmlPage = r_.HasLastHtmlPage;
  sources_.ExceptionTime = r_.ExceptionTime;
  sources_.ReportCopyPath = names_.LogCopy;
  sources_.XmlCopyPath = names_.XmlCopy;
  sources_.ScreenshotPath = (O().SendFlags() & SendScreenshot) ? r_.ScreenshotFile : std::string();
  sources_.MinidumpPath = r_.MinidumpFile;
  sources_.LastHtmlPagePath = names_.LastWebPage;
  sources_.ArchivePath = names_.Archive;
  bool ok = true;
  try {
    WriteTemporaryFiles();
    if (O().MailMode() != 0) {
      result_.MailTried = true;
      try {
        listComplete_ = BuildList(true);
      } catch (...) {
        list_.clear();
        listComplete_ = false;
      }
      ok = result_.MailSent = MailDelivery();
    }
    if (O().UploadMode() != 0) {
      result_.WebTried = true;
      if (O().MailMode() == 0 || O().LogAppend()) {
        try {
          listComplete_ = BuildList(false);
        } catch (...) {
          list_.clear();
          listComplete_ = false;
        }
      }
      result_.WebSent = WebDelivery();
      ok = ok && result_.WebSent;
    }
    if (!ok && (O().HandlingFlags() & HandlingClipboardOnFailure)) p_.CopyToClipboard(r_.Report.Report);
    if (O().SendFlags() & SendShowOutcome)
      p_.ShowMessage(O().Text(ok ? kTextSentOk : kTextSendFailed), O().Text(kTextInformationCaption),
                     ok ? 0x242040 : 0x242010);
    if (!ok && (O().HandlingFlags() & HandlingKeepCopyOnFailure)) KeepCompressedCopy();
  } catch (...) {
    ok = false;
  }
  if ((O().SendFlags() & SendCompressed) && !keepTemporaryArchive_) files_.Remove(names_.Archive);
  RemoveTemporaryFiles();
  result_.Delivered = ok;
  TInternalWarning last = LastInternalWarning();
  result_.ErrorCode = last.Code;
  result_.ErrorText = last.Text;
  return result_;
}

}  // namespace

TDeliveryResult RunDelivery(const TDeliveryRequest& request, TDeliveryPlatform& platform) {
  if (!request.Options) return TDeliveryResult();
  TRun run(request, platform);
  return run.Run();
}

TSmtpSendRequest SmtpRequestOf(const TFaultModuleOptions& o) {
  TSmtpSendRequest smtp;
  smtp.UseMailExchanger = o.MailMode() == 3;
  smtp.Sender = o.MailSender();
  smtp.Server = o.MailServer();
  smtp.Port = o.MailServerPort();
  smtp.User = o.MailServerUser();
  smtp.Password = o.MailServerPassword();
  smtp.Recipients = o.MailTo();
  smtp.Subject = o.MailSubject();
  smtp.FallbackDns = o.MailFallbackDns();
  return smtp;
}

TWebUploadRequest WebUploadRequestOf(const TFaultModuleOptions& o) {
  TWebUploadRequest web;
  web.Mode = WebUploadModeOf(o.UploadMode());
  web.Address = o.UploadUrl();
  web.Port = static_cast<uint16_t>(o.UploadPort() & 0xFFFF);
  web.User = o.UploadUser();
  web.Password = o.UploadPassword();
  return web;
}

std::string MailClientSubject(std::string_view subject) { return FlattenControls(subject); }

std::string MailtoEncode(std::string_view text) {
  static const char hex[] = "0123456789ABCDEF";
  std::string out;
  for (char ch : text) {
    unsigned char c = static_cast<unsigned char>(ch);
    if (c == '-' || (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c >= 128) {
      out += ch;
    } else {
      out += '%';
      out += hex[c >> 4];
      out += hex[c & 15];
    }
  }
  return out;
}

std::string MailtoAddress(std::string_view recipients, std::string_view subject, std::string_view body) {
  // The recipients go in as they are, but nothing in them may end the handler's command line.
  std::string to;
  for (char c : recipients) to += (static_cast<unsigned char>(c) < 32 || c == '"') ? MailtoEncode(std::string(1, c)) : std::string(1, c);
  return "mailto:" + to + "?Subject=" + MailtoEncode(subject) + "&Body=" + MailtoEncode(body);
}

std::string MailtoCommand(std::string_view command, std::string_view address) {
  std::string out;
  for (size_t i = 0; i < command.size(); ++i) {
    if (command[i] == '%' && i + 1 < command.size() && command[i + 1] == '1') {
      out += address;
      ++i;
    } else {
      out += command[i];
    }
  }
  return out;
}

std::string WithReportEnding(std::string_view text) {
  std::string out(text);
  if (out.size() < 6 || out.compare(out.size() - 6, 6, kCrLf3) != 0) out += kCrLf3;
  return out;
}

std::string StatusWithCounter(const std::string& counterText, int current, int count, const std::string& text) {
  char prefix[64];
  std::snprintf(prefix, sizeof prefix, " %d/%d: ", current, count);
  return counterText + prefix + text;
}

bool IsKeptArchiveName(std::string_view fileName) {
  TKeptName parsed;
  return ParseKeptName(fileName, parsed);
}

std::string KeptNameOfClaim(std::string_view fileName) {
  if (!StartsWithNoCase(fileName, kKeptClaimPrefix)) return {};
  fileName.remove_prefix(kKeptClaimPrefix.size());
  const size_t dot = fileName.find('.');
  if (dot == 0 || dot == std::string_view::npos || !IsKeptArchiveName(fileName.substr(dot + 1))) return {};
  return std::string(fileName.substr(dot + 1));
}

std::string NextKeptArchiveName(const std::vector<std::string>& existing, uint16_t sendFlags, double exceptionTime) {
  const std::string name = AttachmentDisplayName(kArchiveFileName, sendFlags, exceptionTime);
  TKeptName wanted;
  ParseKeptName(name, wanted);
  uint64_t last = 0;
  for (const std::string& e : existing) {
    TKeptName parsed;
    const std::string claimed = KeptNameOfClaim(e);
    if (ParseKeptName(claimed.empty() ? e : claimed, parsed) && parsed.Stamp == wanted.Stamp)
      last = std::max(last, parsed.Sequence);
  }
  if (last == 0) return name;
  return PathChangeExt(name, "") + "_" + std::to_string(last + 1) + PathFileExt(name);
}

std::vector<std::string> KeptArchivesOldestFirst(const std::vector<std::string>& names) {
  std::vector<std::string> ours;
  for (const std::string& n : names)
    if (IsKeptArchiveName(n)) ours.push_back(n);
  std::sort(ours.begin(), ours.end(), KeptNameBefore);
  return ours;
}

std::vector<std::string> KeptArchivesToDelete(const std::vector<std::string>& names, size_t keep) {
  std::vector<std::string> ours = KeptArchivesOldestFirst(names);
  if (ours.size() <= keep) return {};
  ours.resize(ours.size() - keep);
  return ours;
}
