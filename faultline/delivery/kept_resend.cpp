#include "faultline/delivery/kept_resend.h"

#include <exception>

namespace {

bool MailWanted(const TFaultModuleOptions& o) { return o.MailMode() == 2 || o.MailMode() == 3; }
bool WebWanted(const TFaultModuleOptions& o) { return o.UploadMode() >= 1 && o.UploadMode() <= 3; }


// The code failures of this run are recorded under: that of the first method it uses.
TFaultlineErrorCode RunErrorCode(const TFaultModuleOptions& o) {
  return MailWanted(o) ? eeEmailSMTPError : WebUploadErrorCode(WebUploadModeOf(o.UploadMode()));
}

std::string ExceptionText(const char* method) {
  std::string text = std::string("[") + method + "] ";
  try {
    throw;
  } catch (const std::exception& e) {
    text += e.what();
  } catch (...) {
    text += "unknown error";
  }
  return text;
}

// The copy at path goes out as a report's archive would, under its kept name: by SMTP and/or by
// upload, as the options say. Delivered when every method used has delivered it (as a report's run
// counts success): a copy that reached only one of them is sent again, by both, next time.
bool SendKeptCopy(const TFaultModuleOptions& o, const std::string& path, const std::string& name,
                  TDeliveryPlatform& platform) {
  bool ok = true;
  if (MailWanted(o)) {
    TSmtpSendRequest smtp = SmtpRequestOf(o);
    // The report travels in the archive: nothing is appended to the body.
    smtp.Body = o.MailBody();
    smtp.Attachments = {{path, name}};
    bool sent = false;
    try {
      sent = platform.SendBySmtp(smtp).Sent;  // the transport records its own failures
    } catch (...) {
      InternalWarning(eeEmailSMTPError, 0, ExceptionText("SendEmail"));
    }
    ok = sent;
  }
  if (WebWanted(o)) {
    TWebUploadRequest web = WebUploadRequestOf(o);
    web.Files = {path};
    web.DisplayNames = {name};
    bool uploaded = false;
    try {
      const TWebUploadResult result = platform.UploadToWeb(web);
      uploaded = result.Succeeded();
      if (!uploaded)
        InternalWarning(result.ErrorCode != eeNone ? result.ErrorCode : WebUploadErrorCode(web.Mode), 0,
                        result.Message.empty() ? result.ErrorText : result.Message);
    } catch (...) {
      InternalWarning(WebUploadErrorCode(web.Mode), 0, ExceptionText("SendWeb"));
    }
    ok = ok && uploaded;
  }
  return ok;
}

// Moves a claimed copy back into the queue under its kept name or, when a copy of that name has
// appeared meanwhile (a report kept one while this one was away), under the next free name without
// a time stamp (those sort before the stamped ones).
bool PutBack(TDeliveryPlatform& platform, const std::string& folder, const std::string& claim,
             const std::string& kept) {
  if (platform.MoveFile(folder + claim, folder + kept)) return true;
  if (!platform.Files().Exists(folder + claim)) return false;
  return platform.MoveFile(folder + claim, folder + NextKeptArchiveName(platform.ListArchives(folder), 0, 0));
}

}  // namespace

bool KeptResendWanted(const TFaultModuleOptions& options) {
  return options.ResendKept() && (MailWanted(options) || WebWanted(options));
}

std::string KeptClaimName(std::string_view owner, std::string_view keptName) {
  std::string out(kKeptClaimPrefix);
  out += owner;
  out += '.';
  out += keptName;
  return out;
}

bool ParseKeptClaimName(std::string_view name, std::string& owner, std::string& keptName) {
  std::string kept = KeptNameOfClaim(name);
  if (kept.empty()) return false;
  owner = std::string(name.substr(kKeptClaimPrefix.size(), name.size() - kKeptClaimPrefix.size() - kept.size() - 1));
  keptName = std::move(kept);
  return true;
}

TKeptResendResult ResendKeptArchives(const TFaultModuleOptions& options, const std::string& folder,
                                     const TKeptResendHost& host, TDeliveryPlatform& platform, size_t maxCopies) {
  TKeptResendResult result;
  if (!KeptResendWanted(options)) return result;
  const TFaultlineErrorCode code = RunErrorCode(options);
  try {
    // Claims of processes that ended before they could finish go back first, so that they take
    // their place in the order again.
    if (host.OwnerAlive) {
      for (const std::string& name : platform.ListArchives(folder)) {
        std::string owner, kept;
        if (!ParseKeptClaimName(name, owner, kept) || owner == host.Owner || host.OwnerAlive(owner)) continue;
        if (PutBack(platform, folder, name, kept)) result.Requeued.push_back(kept);
      }
    }
    std::vector<std::string> queue = KeptArchivesOldestFirst(platform.ListArchives(folder));
    if (queue.size() > maxCopies) queue.resize(maxCopies);
    for (const std::string& kept : queue) {
      if (host.StopRequested && host.StopRequested()) break;
      const std::string claim = KeptClaimName(host.Owner, kept);
      // Taken by another process meanwhile (or deleted): it is theirs to send.
      if (!platform.MoveFile(folder + kept, folder + claim)) continue;
      if (SendKeptCopy(options, folder + claim, kept, platform)) {
        platform.Files().Remove(folder + claim);
        if (platform.Files().Exists(folder + claim))
          InternalWarning(code, 0, "The delivered copy \"" + folder + claim + "\" could not be deleted.");
        result.Sent.push_back(kept);
        continue;
      }
      result.Failed = kept;
      if (!PutBack(platform, folder, claim, kept))
        InternalWarning(code, 0, "The copy \"" + folder + claim + "\" could not be put back in the queue.");
      break;
    }
  } catch (...) {
    InternalWarning(code, 0, ExceptionText("ResendKept"));
  }
  return result;
}
