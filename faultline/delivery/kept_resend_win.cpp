#include <windows.h>

#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "faultline/delivery/kept_resend.h"
#include "faultline/lists/own_thread.h"
#include "faultline/lists/threads_list.h"
#include "rtl/ansi_paths.h"

namespace {

uint64_t CreationTime(HANDLE process) {
  FILETIME created{}, exited{}, kernel{}, user{};
  if (!GetProcessTimes(process, &created, &exited, &kernel, &user)) return 0;
  return (static_cast<uint64_t>(created.dwHighDateTime) << 32) | created.dwLowDateTime;
}

// A process as claims name it: its id and its creation time, so that a later process given the
// same id is not taken for the one that made the claim.
std::string OwnerOf(DWORD processId, uint64_t creationTime) {
  char buf[48];
  std::snprintf(buf, sizeof buf, "%lu-%016llX", static_cast<unsigned long>(processId),
                static_cast<unsigned long long>(creationTime));
  return buf;
}

bool OwnerAlive(const std::string& owner) {
  unsigned long id = 0;
  unsigned long long created = 0;
  if (std::sscanf(owner.c_str(), "%lu-%llx", &id, &created) != 2) return false;
  HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, id);
  if (!process) {
    // A process we may not look at still exists; its claim is not ours to take.
    return GetLastError() == ERROR_ACCESS_DENIED;
  }
  DWORD exitCode = 0;
  const bool running = GetExitCodeProcess(process, &exitCode) && exitCode == STILL_ACTIVE;
  const bool same = CreationTime(process) == created;
  CloseHandle(process);
  return running && same;
}

// Only what the resend uses: the files, the folder listing, the moves and the two background
// transports. Everything that would show something does nothing.
class TResendPlatform : public TDeliveryPlatform {
 public:
  TFaultFileAccess& Files() override { return WinFileAccess(); }
  std::string TempFolder() override { return {}; }
  std::vector<std::string> ListArchives(const std::string& folder) override { return FileNamesIn(folder, "*.tgz"); }
  // A rename within the folder: atomic, and refused when the target exists, so that of two
  // processes claiming one copy exactly one succeeds.
  bool MoveFile(const std::string& from, const std::string& to) override {
    return MoveFileExA(from.c_str(), to.c_str(), 0) != FALSE;
  }
  bool SendByMailClient(const TMailClientMessage&) override { return false; }
  bool SendByShell(const std::string&) override { return false; }
  TSmtpSendResult SendBySmtp(const TSmtpSendRequest& request) override { return SendReportBySmtp(request); }
  TWebUploadResult UploadToWeb(const TWebUploadRequest& request) override { return ::UploadToWeb(request); }
  void OpenProgress(const TFaultModuleOptions&, bool) override {}
  void SetStatus(const std::string&) override {}
  void SetProgress(int) override {}
  void CloseProgress() override {}
  void ShowMessage(const std::string&, const std::string&, uint32_t) override {}
  void CopyToClipboard(const std::string&) override {}
};

class TResendThread : public TFaultlineThread {
 public:
  TResendThread(const TFaultModuleOptions& options, std::string folder)
      : TFaultlineThread(true), options_(options.ModulePath(), false), folder_(std::move(folder)) {
    // A copy of its own: the program may change its options while this thread reads them.
    options_.Assign(&options);
  }

 protected:
  void Execute() override {
    try {
      TKeptResendHost host;
      host.Owner = OwnerOf(GetCurrentProcessId(), CreationTime(GetCurrentProcess()));
      host.OwnerAlive = OwnerAlive;
      host.StopRequested = [this] { return Terminated(); };
      TResendPlatform platform;
      ResendKeptArchives(options_, folder_, host, platform);
    } catch (...) {
    }
    SignalEnded();
  }

 private:
  TFaultModuleOptions options_;
  std::string folder_;
};

std::mutex resendLock;
std::unique_ptr<TResendThread> resend;

}  // namespace

void StartKeptResend(const TFaultModuleOptions& options) {
  if (!KeptResendWanted(options)) return;
  const std::string log = options.LogFileName();
  const std::string folder = log.substr(0, PathNameStart(log));
  if (folder.empty()) return;
  std::lock_guard<std::mutex> guard(resendLock);
  if (resend) {
    // One that has finished makes room; one still sending keeps its place.
    if (WaitForSingleObject(resend->Handle(), 0) != WAIT_OBJECT_0) return;
    resend.reset();
  }
  resend = std::make_unique<TResendThread>(options, folder);
  resend->Start();
}

void StopKeptResend() {
  std::unique_ptr<TResendThread> stopping;
  {
    std::lock_guard<std::mutex> guard(resendLock);
    stopping = std::move(resend);
  }
  if (!stopping) return;
  // Bounded like the other helpers (a send in progress ends by its own socket time-outs); one that
  // has not ended keeps its object.
  if (!stopping->StopWithin(5000)) stopping.release();
}
