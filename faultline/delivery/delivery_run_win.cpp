#include <windows.h>
#include <commctrl.h>
#include <mapi.h>

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include "faultline/delivery/delivery_run.h"
#include "faultline/lists/own_thread.h"
#include "rtl/application.h"
#include "rtl/thread.h"

namespace {

std::string SystemMessage(DWORD code) {
  char buf[512] = {};
  DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0, buf,
                           sizeof buf, nullptr);
  while (n > 0 && (buf[n - 1] == '\r' || buf[n - 1] == '\n' || buf[n - 1] == ' ')) buf[--n] = '\0';
  return n ? std::string(buf, n) : "System error " + std::to_string(code) + ".";
}

std::string ExpandEnvironment(const std::string& text) {
  if (text.empty()) return text;
  char buf[2048];
  DWORD n = ExpandEnvironmentStringsA(text.c_str(), buf, sizeof buf);
  if (n == 0 || n > sizeof buf) return text;
  return std::string(buf);
}

// A string value of a registry key ("" for the default value); empty when missing.
std::string RegistryString(HKEY root, const std::string& key, const char* value) {
  HKEY h = nullptr;
  if (RegOpenKeyExA(root, key.c_str(), 0, KEY_READ, &h) != ERROR_SUCCESS) return {};
  std::string out;
  DWORD type = 0, size = 0;
  if (RegQueryValueExA(h, value, nullptr, &type, nullptr, &size) == ERROR_SUCCESS &&
      (type == REG_SZ || type == REG_EXPAND_SZ) && size > 0) {
    std::string buf(size, '\0');
    if (RegQueryValueExA(h, value, nullptr, &type, reinterpret_cast<BYTE*>(buf.data()), &size) == ERROR_SUCCESS) {
      buf.resize(std::min<size_t>(size, buf.size()));
      out = buf.c_str();
    }
  }
  RegCloseKey(h);
  return out;
}

// The first visible top-level window of the process that has no owner and is no tool window
// (unless marked as an application window).
HWND MainWindowOfProcess(DWORD processId) {
  struct TSearch {
    DWORD Pid;
    HWND Found;
  } search{processId, nullptr};
  EnumWindows(
      [](HWND hwnd, LPARAM param) WINAPI -> BOOL {
        auto* s = reinterpret_cast<TSearch*>(param);
        DWORD pid = 0;
        GetWindowThreadProcessId(hwnd, &pid);
        if (pid != s->Pid || !IsWindowVisible(hwnd)) return TRUE;
        HWND owner = GetWindow(hwnd, GW_OWNER);
        if (owner && owner != GetDesktopWindow()) return TRUE;
        LONG ex = GetWindowLongA(hwnd, GWL_EXSTYLE);
        if ((ex & WS_EX_TOOLWINDOW) && !(ex & WS_EX_APPWINDOW)) return TRUE;
        s->Found = hwnd;
        return FALSE;
      },
      reinterpret_cast<LPARAM>(&search));
  return search.Found;
}

// The program's main window when called on its main thread; none elsewhere.
HWND ParentWindow() {
  DWORD mainThread = Application().MainThreadId();
  if (mainThread == 0 || GetCurrentThreadId() != mainThread) return nullptr;
  return MainWindowOfProcess(GetCurrentProcessId());
}

void RecordError(TFaultlineErrorCode code, const std::string& text) { InternalWarning(code, 0, text); }

// ---- Progress dialog ----

constexpr UINT kCloseDialogMessage = WM_USER + 1234;
constexpr UINT kReadyMessage = WM_USER + 1235;
constexpr int kStatusId = 100;
constexpr int kProgressId = 101;

struct TProgressState {
  std::atomic<HWND> Window{nullptr};
  std::atomic<bool> Ready{false};
  std::atomic<bool> Shown{false};
  std::string Caption;
};
TProgressState progressState;

class TSendDialogThread : public TFaultlineThread {
 public:
  TSendDialogThread() : TFaultlineThread(true) {}

 protected:
  void Execute() override;
};

// The "FL_Server" dialog as an in-memory template: 186 x 34 units, a status line and a bar.
std::vector<WORD> ServerDialogTemplate() {
  std::vector<WORD> t;
  auto dword = [&](DWORD v) {
    t.push_back(LOWORD(v));
    t.push_back(HIWORD(v));
  };
  auto text = [&](const wchar_t* s) {
    do t.push_back(static_cast<WORD>(*s)); while (*s++);
  };
  auto align = [&] {
    if (t.size() % 2) t.push_back(0);
  };
  dword(DS_MODALFRAME | DS_CENTER | DS_SETFONT | WS_POPUP | WS_CAPTION | WS_VISIBLE);
  dword(WS_EX_TOOLWINDOW);
  t.push_back(2);  // controls
  t.push_back(0);
  t.push_back(0);
  t.push_back(186);
  t.push_back(34);
  t.push_back(0);  // no menu
  t.push_back(0);  // standard class
  text(L"SMTP sending...");
  t.push_back(8);
  text(L"MS SANS SERIF");
  // Progress bar.
  align();
  dword(WS_CHILD | WS_VISIBLE | WS_BORDER);
  dword(0);
  t.push_back(8);
  t.push_back(16);
  t.push_back(170);
  t.push_back(10);
  t.push_back(kProgressId);
  text(PROGRESS_CLASSW);
  text(L"");
  t.push_back(0);
  // Status text.
  align();
  dword(WS_CHILD | WS_VISIBLE | SS_LEFT);
  dword(0);
  t.push_back(8);
  t.push_back(6);
  t.push_back(171);
  t.push_back(10);
  t.push_back(kStatusId);
  t.push_back(0xFFFF);
  t.push_back(0x0082);  // static
  text(L"Static");
  t.push_back(0);
  return t;
}

INT_PTR CALLBACK ServerDialogProc(HWND hwnd, UINT msg, WPARAM, LPARAM) {
  switch (msg) {
    case WM_INITDIALOG:
      progressState.Window = hwnd;
      SetWindowTextA(hwnd, progressState.Caption.c_str());
      SetWindowPos(hwnd, HWND_TOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
      // Ready once the dialog's own loop runs: the window is shown by then. (The focus arrives
      // earlier, while the window is still hidden, so it cannot tell.)
      PostMessageA(hwnd, kReadyMessage, 0, 0);
      return TRUE;
    case kReadyMessage:
      progressState.Ready = true;
      return TRUE;
    case WM_PAINT:
      progressState.Shown = true;
      return FALSE;
    case kCloseDialogMessage:
      EndDialog(hwnd, 0);
      return TRUE;
    case WM_DESTROY:
      SetWindowPos(hwnd, HWND_NOTOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
      progressState.Window = nullptr;
      return FALSE;
    default:
      return FALSE;
  }
}

void TSendDialogThread::Execute() {
  INITCOMMONCONTROLSEX icc{sizeof icc, ICC_PROGRESS_CLASS};
  InitCommonControlsEx(&icc);
  std::vector<WORD> t = ServerDialogTemplate();
  DialogBoxIndirectParamA(GetModuleHandleA(nullptr), reinterpret_cast<LPCDLGTEMPLATEA>(t.data()), nullptr,
                          ServerDialogProc, 0);
  progressState.Window = nullptr;
}

TSendDialogThread* dialogThread = nullptr;

void CloseProgressDialog() {
  HWND hwnd = progressState.Window;
  if (hwnd) SendMessageA(hwnd, kCloseDialogMessage, 0, 0);
  if (dialogThread) {
    dialogThread->WaitFor();
    delete dialogThread;
    dialogThread = nullptr;
  }
  progressState.Window = nullptr;
}

bool IsConsoleProgram() {
  auto* base = reinterpret_cast<const BYTE*>(GetModuleHandleA(nullptr));
  auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
  auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
  return nt->OptionalHeader.Subsystem == IMAGE_SUBSYSTEM_WINDOWS_CUI;
}

void OpenProgressDialog(const TFaultModuleOptions& options, bool canShowWindows) {
  CloseProgressDialog();
  progressState.Ready = false;
  progressState.Shown = false;
  if (!(options.SendFlags() & SendShowProgress) || (options.MailMode() == 0 && options.UploadMode() == 0) ||
      !canShowWindows || IsConsoleProgram())
    return;
  progressState.Caption = options.Text(kTextSendCaption);
  dialogThread = new TSendDialogThread();
  dialogThread->Start();
  for (int waited = 0; waited < 10000 && !progressState.Ready; waited += 50) {
    if (WaitForSingleObject(dialogThread->Handle(), 50) == WAIT_OBJECT_0) break;
  }
}

// ---- Simple MAPI ----

std::string MapiLibraryPath() {
  for (HKEY root : {HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE}) {
    std::string client = RegistryString(root, "SOFTWARE\\Clients\\Mail", "");
    std::string path = client.empty() ? std::string()
                                      : RegistryString(root, "SOFTWARE\\Clients\\Mail\\" + client, "DLLPath");
    if (!path.empty()) return ExpandEnvironment(path);
  }
  return {};
}

bool SendByMapi(const TMailClientMessage& m) {
  const std::vector<std::string> recipients = SplitRecipients(m.Recipients);
  const std::string path = MapiLibraryPath();
  HMODULE lib = path.empty() ? nullptr : LoadLibraryA(path.c_str());
  if (!lib) lib = LoadLibraryA("mapi32.dll");
  if (!lib) {
    RecordError(eeEmailMAPIError, "Cannot open the MAPI dll.");
    return false;
  }
  auto logon = reinterpret_cast<LPMAPILOGON>(reinterpret_cast<void*>(GetProcAddress(lib, "MAPILogon")));
  auto logoff = reinterpret_cast<LPMAPILOGOFF>(reinterpret_cast<void*>(GetProcAddress(lib, "MAPILogoff")));
  auto send = reinterpret_cast<LPMAPISENDMAIL>(reinterpret_cast<void*>(GetProcAddress(lib, "MAPISendMail")));
  if (!logon || !logoff || !send) {
    RecordError(eeEmailMAPIError, "Cannot found the MAPI functions.");
    FreeLibrary(lib);
    return false;
  }
  HWND parent = ParentWindow();
  LHANDLE session = 0;
  if (logon(reinterpret_cast<ULONG_PTR>(parent), nullptr, nullptr, MAPI_LOGON_UI, 0, &session) != SUCCESS_SUCCESS) {
    RecordError(eeEmailMAPIError, "Cannot LogOn into the MAPI service.");
    FreeLibrary(lib);
    return false;
  }
  // Names and addresses are held whole: no fixed-size slot cuts a long address short.
  std::vector<std::string> paths, names, addresses;
  for (const TSmtpAttachmentFile& f : m.Attachments) {
    if (f.Path.empty() || GetFileAttributesA(f.Path.c_str()) == INVALID_FILE_ATTRIBUTES) continue;
    paths.push_back(f.Path);
    names.push_back(f.DisplayName.empty() ? f.Path.substr(f.Path.find_last_of("\\/:") + 1) : f.DisplayName);
  }
  for (const std::string& r : recipients) addresses.push_back("SMTP:" + r);
  std::vector<MapiFileDesc> files(paths.size());
  for (size_t i = 0; i < paths.size(); ++i) {
    files[i] = MapiFileDesc{};
    files[i].nPosition = 0xFFFFFFFF;
    files[i].lpszPathName = paths[i].data();
    files[i].lpszFileName = names[i].data();
  }
  std::vector<std::string> recipientNames = recipients;
  std::vector<MapiRecipDesc> recips(recipients.size());
  for (size_t i = 0; i < recipients.size(); ++i) {
    recips[i] = MapiRecipDesc{};
    recips[i].ulRecipClass = MAPI_TO;
    recips[i].lpszName = recipientNames[i].data();
    recips[i].lpszAddress = addresses[i].data();
  }
  std::string subject = MailClientSubject(m.Subject);
  std::string body = m.Body;
  MapiMessage message{};
  message.lpszSubject = subject.data();
  message.lpszNoteText = body.data();
  message.nRecipCount = static_cast<ULONG>(recips.size());
  message.lpRecips = recips.empty() ? nullptr : recips.data();
  message.nFileCount = static_cast<ULONG>(files.size());
  message.lpFiles = files.empty() ? nullptr : files.data();
  ULONG flags = m.ShowDialog ? (MAPI_LOGON_UI | MAPI_DIALOG) : MAPI_LOGON_UI;
  ULONG sent = send(session, reinterpret_cast<ULONG_PTR>(parent), &message, flags, 0);
  bool ok = sent == SUCCESS_SUCCESS || sent == MAPI_USER_ABORT;
  if (!ok) RecordError(eeEmailMAPIError, "Cannot send the MAPI message.");
  logoff(session, reinterpret_cast<ULONG_PTR>(parent), 0, 0);
  FreeLibrary(lib);
  return ok;
}

// ---- The "mailto" handler ----

bool SendByMailtoHandler(const std::string& address) {
  std::string command =
      MailtoCommand(ExpandEnvironment(RegistryString(HKEY_CLASSES_ROOT, "mailto\\shell\\open\\command", "")), address);
  STARTUPINFOA si{};
  si.cb = sizeof si;
  si.dwFlags = STARTF_USESHOWWINDOW;
  si.wShowWindow = SW_SHOWMAXIMIZED;
  PROCESS_INFORMATION pi{};
  std::vector<char> line(command.begin(), command.end());
  line.push_back('\0');
  if (command.empty() || !CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE,
                                         CREATE_DEFAULT_ERROR_MODE | NORMAL_PRIORITY_CLASS, nullptr, nullptr, &si,
                                         &pi)) {
    RecordError(eeEmailShellError, SystemMessage(command.empty() ? ERROR_FILE_NOT_FOUND : GetLastError()));
    return false;
  }
  WaitForInputIdle(pi.hProcess, 10000);
  // The mail program shows its window a little after it is idle; it then goes on top. One that is
  // still open then has the message in front of the user: it is handed over. Waiting until the
  // user has written and sent it would hold the report (and, in the background, every later one)
  // for as long as that takes.
  bool ok = true;
  if (WaitForSingleObject(pi.hProcess, 2000) == WAIT_TIMEOUT) {
    if (HWND window = MainWindowOfProcess(pi.dwProcessId))
      SetWindowPos(window, HWND_TOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
  } else {
    DWORD exitCode = 0;
    ok = GetExitCodeProcess(pi.hProcess, &exitCode) != 0;  // its code is the mail program's business
  }
  CloseHandle(pi.hThread);
  CloseHandle(pi.hProcess);
  return ok;
}

// ---- The platform ----

class TWinDeliveryPlatform : public TDeliveryPlatform {
 public:
  TFaultFileAccess& Files() override { return WinFileAccess(); }
  std::string TempFolder() override {
    char buf[MAX_PATH + 1] = {};
    DWORD n = GetTempPathA(sizeof buf, buf);
    std::string path = (n > 0 && n < sizeof buf) ? std::string(buf, n) : std::string();
    if (!path.empty() && path.back() != '\\' && path.back() != '/') path += '\\';
    return path;
  }
  std::vector<std::string> ListArchives(const std::string& folder) override { return FileNamesIn(folder, "*.tgz"); }
  bool MoveFile(const std::string& from, const std::string& to) override {
    return MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_COPY_ALLOWED) != FALSE;
  }
  bool SendByMailClient(const TMailClientMessage& message) override { return SendByMapi(message); }
  bool SendByShell(const std::string& mailtoAddress) override { return SendByMailtoHandler(mailtoAddress); }
  TSmtpSendResult SendBySmtp(const TSmtpSendRequest& request) override { return SendReportBySmtp(request); }
  TWebUploadResult UploadToWeb(const TWebUploadRequest& request) override { return ::UploadToWeb(request); }
  void OpenProgress(const TFaultModuleOptions& options, bool canShowWindows) override {
    OpenProgressDialog(options, canShowWindows);
  }
  void SetStatus(const std::string& text) override {
    if (HWND hwnd = progressState.Window) SendDlgItemMessageA(hwnd, kStatusId, WM_SETTEXT, 0,
                                                              reinterpret_cast<LPARAM>(text.c_str()));
  }
  void SetProgress(int percent) override {
    if (HWND hwnd = progressState.Window) SendDlgItemMessageA(hwnd, kProgressId, PBM_SETPOS, percent, 0);
  }
  void CloseProgress() override { CloseProgressDialog(); }
  void ShowMessage(const std::string& text, const std::string& caption, uint32_t flags) override {
    MessageBoxA(nullptr, text.c_str(), caption.c_str(), flags);
  }
  void CopyToClipboard(const std::string& text) override {
    if (!OpenClipboard(nullptr)) return;
    EmptyClipboard();
    if (HGLOBAL mem = GlobalAlloc(GMEM_MOVEABLE, text.size() + 1)) {
      if (void* p = GlobalLock(mem)) {
        memcpy(p, text.c_str(), text.size() + 1);
        GlobalUnlock(mem);
        if (!SetClipboardData(CF_TEXT, mem)) GlobalFree(mem);
      } else {
        GlobalFree(mem);
      }
    }
    CloseClipboard();
  }
};

std::once_flag hooksInstalled;

void InstallProgressHooks() {
  std::call_once(hooksInstalled, [] {
    TInternalWarningHooks& hooks = InternalWarningHooks();
    hooks.SendWindowExists = [] { return progressState.Window.load() != nullptr; };
    hooks.ShowMessage = [](const std::string& text, const std::string& caption) {
      MessageBoxA(nullptr, text.c_str(), caption.c_str(), 0x242010);
    };
  });
}

// The background run: holds the subsystem's lock for the whole delivery, then performs the
// post-report steps, and frees itself.
class TSendThread : public TFaultlineThread {
 public:
  TSendThread(TDeliveryRequest request, TDeliveryHooks hooks)
      : TFaultlineThread(true), request_(std::move(request)), hooks_(std::move(hooks)) {
    SetFreeOnTerminate(true);
  }

 protected:
  void Execute() override {
    if (hooks_.EnterLock) hooks_.EnterLock();
    TDeliveryResult result;
    try {
      result = DeliverReport(request_);
    } catch (...) {
    }
    try {
      if (hooks_.AfterRun) hooks_.AfterRun(result);
    } catch (...) {
    }
    if (hooks_.LeaveLock) hooks_.LeaveLock();
  }

 private:
  TDeliveryRequest request_;
  TDeliveryHooks hooks_;
};

}  // namespace

TDeliveryResult DeliverReport(const TDeliveryRequest& request) {
  InstallProgressHooks();
  TWinDeliveryPlatform platform;
  TDeliveryResult result = RunDelivery(request, platform);
  CloseProgressDialog();
  return result;
}

bool StartDelivery(TDeliveryRequest request, TDeliveryHooks hooks, TDeliveryResult* result) {
  if (request.Options && (request.Options->SendFlags() & SendInBackground) && !request.ProcessEnds) {
    auto* thread = new TSendThread(std::move(request), std::move(hooks));
    SetThreadPriority(thread->Handle(), THREAD_PRIORITY_HIGHEST);
    thread->Start();
    return false;
  }
  TDeliveryResult r = DeliverReport(request);
  if (result) *result = r;
  return true;
}
