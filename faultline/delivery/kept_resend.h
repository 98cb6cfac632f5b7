#pragma once
// Sending the compressed copies that failed deliveries kept (HandlingFlags 0x40) again when
// reporting starts (ResendKept of the options), oldest first, with the options' background
// methods: SMTP (MailMode 2 or 3) and web upload (UploadMode 1 to 3). The mail client needs a user
// at the keyboard and takes no part.
//
// Each copy is claimed before it is sent by renaming it to a name that is no longer one of ours
// ("Sending.<owner>.<kept name>"), so that two processes starting together never send the same
// copy; it is deleted once delivered, renamed back when delivery failed (and the run stops there,
// so the later copies keep their order and go at the next start). A claim whose owning process
// has ended (killed in the middle of a send) is put back in the queue at the next start: a copy
// may then arrive twice, but it is never lost.
//
// The decisions are portable (ResendKeptArchives over a TDeliveryPlatform); the Windows build runs
// them on a thread of the reporting code (kept_resend_win.cpp).
#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "faultline/delivery/delivery_run.h"

// What the run needs from the process it runs in.
struct TKeptResendHost {
  // This process as claims name it: no "." in it, unique among the processes alive at a time.
  std::string Owner;
  // Whether the process a claim names is still alive (for the calling process: true). Empty: all
  // are taken to be alive (no claim is ever put back).
  std::function<bool(const std::string& owner)> OwnerAlive;
  // Asked before each copy; true ends the run there.
  std::function<bool()> StopRequested;
};

struct TKeptResendResult {
  // Stale claims put back in the queue (their kept names), before anything was sent.
  std::vector<std::string> Requeued;
  // Copies delivered and deleted, in the order sent (their kept names).
  std::vector<std::string> Sent;
  // The copy whose delivery failed (put back; the run stopped there); empty when none failed.
  std::string Failed;
};

// The options ask for the resend and name at least one method that works without a user.
bool KeptResendWanted(const TFaultModuleOptions& options);

// "Sending." + owner + "." + kept name. Never one of our archive names, still a ".tgz" file.
std::string KeptClaimName(std::string_view owner, std::string_view keptName);
// The owner and kept name of a claim name; false for any other name.
bool ParseKeptClaimName(std::string_view name, std::string& owner, std::string& keptName);

// The whole run over the copies in folder (with its trailing separator): stale claims back to the
// queue, then at most maxCopies of our archives, oldest first, each claimed, sent, and deleted or
// put back. Failures go to the internal warning channel; nothing is shown. Never throws.
TKeptResendResult ResendKeptArchives(const TFaultModuleOptions& options, const std::string& folder,
                                     const TKeptResendHost& host, TDeliveryPlatform& platform,
                                     size_t maxCopies = 10);

#ifdef _WIN32
// Starts the resend on a thread of the reporting code when the options want it; the options are
// copied first, and the copies are looked for in the folder of their log file. Does nothing while
// a resend of this process is still running.
void StartKeptResend(const TFaultModuleOptions& options);
// Asks the running resend to end after the copy in hand and waits for it a bounded time (a send
// in progress ends by its own socket time-outs).
void StopKeptResend();
#endif
