// Runs the delivery cases for check.py: the mail client (our test MAPI DLL, registered the way mail
// clients register), the "mailto" fallback (our handler program), the web against check.py's HTTP
// server, kept copies, a temporary folder that cannot be written, background delivery and the
// progress dialog. Usage: delivery_run_cases WORK HTTP_PORT
//
// WORK holds report.txt (the text to deliver) and files\ (fixtures); every case CASE uses
// temp\CASE\ as its temporary folder, logs\CASE\ as its log folder, mapi\CASE\ for what the mail
// client received and mailto\CASE.txt for the handler's command lines. results.txt gets a line per
// case: CASE<TAB>delivered<TAB>error code<TAB>x error text<TAB>x kept copy<TAB>notes.
#include <windows.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "faultline/delivery/delivery_run.h"

namespace {

std::string work, port;
std::string exeFolder;
std::ofstream results;

std::string Hex(const std::string& bytes) {
  static const char digits[] = "0123456789abcdef";
  std::string out = "x";
  for (unsigned char c : bytes) {
    out += digits[c >> 4];
    out += digits[c & 15];
  }
  return out;
}

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

void SetString(HKEY root, const std::string& key, const char* name, const std::string& value, DWORD type = REG_SZ) {
  HKEY h;
  if (RegCreateKeyExA(root, key.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &h, nullptr) != ERROR_SUCCESS) return;
  RegSetValueExA(h, name, 0, type, reinterpret_cast<const BYTE*>(value.c_str()), static_cast<DWORD>(value.size() + 1));
  RegCloseKey(h);
}

void DeleteValue(HKEY root, const std::string& key, const char* name) {
  HKEY h;
  if (RegOpenKeyExA(root, key.c_str(), 0, KEY_WRITE, &h) != ERROR_SUCCESS) return;
  RegDeleteValueA(h, name);
  RegCloseKey(h);
}

// The registration a mail client makes: the default client's name, and its Simple MAPI library.
void RegisterMailClient(const std::string& dllPath) {
  SetString(HKEY_CURRENT_USER, "Software\\Clients\\Mail", "", "Tarn Test Mail");
  SetString(HKEY_CURRENT_USER, "Software\\Clients\\Mail\\Tarn Test Mail", "DLLPath", dllPath, REG_EXPAND_SZ);
}

void RegisterMailtoHandler(bool on) {
  if (on)
    SetString(HKEY_CLASSES_ROOT, "mailto\\shell\\open\\command", "",
              "\"" + exeFolder + "mailto_handler.exe\" \"%1\"");
  else
    DeleteValue(HKEY_CLASSES_ROOT, "mailto\\shell\\open\\command", "");
}

struct TCase {
  std::string Name;
  TFaultModuleOptions Options{"", false};
  TDeliveryRequest Request;
  std::string Notes;

  explicit TCase(std::string name) : Name(std::move(name)) {
    CreateDirectoryA((work + "temp").c_str(), nullptr);
    CreateDirectoryA((work + "temp\\" + Name).c_str(), nullptr);
    CreateDirectoryA((work + "logs").c_str(), nullptr);
    CreateDirectoryA((work + "logs\\" + Name).c_str(), nullptr);
    CreateDirectoryA((work + "mapi").c_str(), nullptr);
    CreateDirectoryA((work + "mapi\\" + Name).c_str(), nullptr);
    CreateDirectoryA((work + "mailto").c_str(), nullptr);
    SetEnvironmentVariableA("TARN_MAPI_OUT", (work + "mapi\\" + Name).c_str());
    SetEnvironmentVariableA("TARN_MAPI_RESULT", nullptr);
    SetEnvironmentVariableA("TARN_MAILTO_OUT", (work + "mailto\\" + Name + ".txt").c_str());
    Options.SetSendFlags(0);
    Options.SetMailTo("dev@example.org; qa@example.org");
    Options.SetMailSubject("Crash\r\n\tin Import");
    Options.SetMailBody("Please look.");
    Options.SetUploadUrl("http://127.0.0.1/ok/" + Name);
    Options.SetUploadPort(static_cast<uint32_t>(std::stoul(port)));
    Request.Options = &Options;
    Request.LogFileName = work + "logs\\" + Name + "\\Tarn_Import.flf";
    Request.TempFolder = work + "temp\\" + Name + "\\";
    Request.DeliveryText = ReadAll(work + "report.txt");
    Request.Report.Report = "current report";
    Request.ExceptionTime = 45356.588298611;  // 2024-03-05 14:07:09
    Request.CanShowWindows = true;
  }

  void Run() { Write(DeliverReport(Request)); }

  void Write(const TDeliveryResult& r) {
    results << Name << '\t' << (r.Delivered ? 1 : 0) << '\t' << FaultlineErrorCodeName(r.ErrorCode) << '\t'
            << Hex(r.ErrorText) << '\t' << Hex(r.KeptCopy) << '\t' << Notes << "\r\n";
    results.flush();
  }
};

void MailCases() {
  // The registered client gets the message with every attachment.
  SetEnvironmentVariableA("TARN_TEST_DIR", exeFolder.substr(0, exeFolder.size() - 1).c_str());
  RegisterMailClient("%TARN_TEST_DIR%\\test_mapi_client.dll");
  RegisterMailtoHandler(true);
  {
    TCase c("mapi");
    c.Options.SetMailMode(1);
    c.Options.SetSendFlags(SendScreenshot | SendXmlCopy);
    c.Options.SetExtraFiles(" " + work + "files\\附件.txt ; " + work + "files\\missing.txt;");
    c.Request.ScreenshotFile = work + "files\\Screenshot.png";
    c.Run();
  }
  {
    TCase c("mapi-cancelled");  // the user closes the mail client's compose window
    c.Options.SetMailMode(1);
    c.Options.SetLogAppend(true);
    c.Options.SetSendFlags(SendShowProgress);
    SetEnvironmentVariableA("TARN_MAPI_RESULT", "1");
    c.Run();
  }
  {
    TCase c("mapi-failed");  // the client refuses: the "mailto" handler takes over
    c.Options.SetMailMode(1);
    SetEnvironmentVariableA("TARN_MAPI_RESULT", "2");
    c.Run();
  }
  // No usable mail client at all: the registered library is missing and the system's is off.
  RegisterMailClient(work + "files\\no-such-client.dll");
  SetString(HKEY_CURRENT_USER, "Software\\Wine\\DllOverrides", "mapi32", "");
  {
    TCase c("no-client");
    c.Options.SetMailMode(1);
    c.Run();
  }
  RegisterMailtoHandler(false);
  {
    TCase c("no-client-no-handler");
    c.Options.SetMailMode(1);
    c.Options.SetHandlingFlags(HandlingKeepCopyOnFailure);
    c.Run();
  }
  DeleteValue(HKEY_CURRENT_USER, "Software\\Wine\\DllOverrides", "mapi32");
}

void WebCases() {
  {
    TCase c("web-packed");
    c.Options.SetUploadMode(1);
    c.Options.SetSendFlags(SendCompressed | SendTimeStampNames);
    c.Request.Events.CustomFields = [](std::vector<std::string>& names, std::vector<std::string>& values) {
      names = {"version", "程序"};
      values = {"1.0", "导入向导"};
    };
    c.Run();
  }
  {
    // The first attempt fails; the handler points the upload elsewhere and asks for a retry.
    TCase c("web-retry");
    c.Options.SetUploadMode(1);
    c.Options.SetUploadUrl("http://127.0.0.1/status/500/web-retry");
    int fieldRequests = 0, fileRequests = 0;
    c.Request.Events.CustomFields = [&](std::vector<std::string>& names, std::vector<std::string>& values) {
      ++fieldRequests;
      names.push_back("attempt");
      values.push_back(std::to_string(fieldRequests));
    };
    std::string extra = work + "files\\附件.txt";
    c.Request.Events.AttachedFiles = [&](std::vector<std::string>& files) {
      ++fileRequests;
      files.push_back(extra);
    };
    std::string errors;
    c.Request.Events.Error = [&](int kind, bool& retry) {
      errors += std::to_string(kind) + ";";
      c.Options.SetUploadUrl("http://127.0.0.1/ok/web-retry");
      retry = errors.size() < 3;
    };
    std::string actions;
    c.Request.Events.Action = [&](int action, bool& goOn) { actions += std::to_string(action) + (goOn ? "+" : "-"); };
    TDeliveryResult r = DeliverReport(c.Request);
    c.Notes = "errors=" + errors + " actions=" + actions + " fieldRequests=" + std::to_string(fieldRequests) +
              " fileRequests=" + std::to_string(fileRequests);
    c.Write(r);
  }
  {
    TCase c("web-fail-keep");  // check.py filled its log folder with archives beforehand
    c.Options.SetUploadMode(1);
    c.Options.SetUploadUrl("http://127.0.0.1/status/500/web-fail-keep");
    c.Options.SetSendFlags(SendCompressed | SendTimeStampNames);
    c.Options.SetHandlingFlags(HandlingKeepCopyOnFailure);
    c.Run();
  }
  {
    TCase c("temp-unwritable");
    c.Options.SetUploadMode(1);
    c.Options.SetHandlingFlags(HandlingKeepCopyOnFailure);
    c.Request.TempFolder = work + "temp\\no-such-folder\\";
    c.Run();
  }
  {
    // The progress dialog is up while the upload runs (the fields are asked inside the attempt).
    TCase c("progress");
    c.Options.SetUploadMode(1);
    c.Options.SetSendFlags(SendShowProgress);
    std::string seen;
    c.Request.Events.CustomFields = [&](std::vector<std::string>&, std::vector<std::string>&) {
      HWND dialog = FindWindowA(nullptr, "Send.");
      DWORD pid = 0;
      if (dialog) GetWindowThreadProcessId(dialog, &pid);
      seen = dialog && pid == GetCurrentProcessId() && IsWindowVisible(dialog) ? "shown" : "missing";
    };
    TDeliveryResult r = DeliverReport(c.Request);
    c.Notes = "dialog=" + seen + " after=" + (FindWindowA(nullptr, "Send.") ? "open" : "closed");
    c.Write(r);
  }
}

void BackgroundCase() {
  TCase c("background");
  c.Options.SetUploadMode(1);
  c.Options.SetSendFlags(SendInBackground);
  static CRITICAL_SECTION lock;
  InitializeCriticalSection(&lock);
  const DWORD mainThread = GetCurrentThreadId();
  HANDLE done = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  std::string threads;
  volatile LONG delivered = 0;
  c.Request.Events.Action = [&](int action, bool&) {
    threads += std::to_string(action) + (GetCurrentThreadId() == mainThread ? "main;" : "send;");
  };
  TDeliveryResult result;
  TDeliveryHooks hooks;
  hooks.EnterLock = [] { EnterCriticalSection(&lock); };
  hooks.LeaveLock = [] { LeaveCriticalSection(&lock); };
  hooks.AfterRun = [&](const TDeliveryResult& r) {
    result = r;
    InterlockedExchange(&delivered, 1);
    SetEvent(done);
  };
  // The report procedure still holds the lock when it starts the thread.
  EnterCriticalSection(&lock);
  bool inline_ = StartDelivery(c.Request, hooks, nullptr);
  Sleep(300);
  const bool waitedForLock = delivered == 0;
  LeaveCriticalSection(&lock);
  const bool finished = WaitForSingleObject(done, 30000) == WAIT_OBJECT_0;
  // The thread leaves the lock once it is done: we can take it again.
  EnterCriticalSection(&lock);
  LeaveCriticalSection(&lock);
  c.Notes = std::string("inline=") + (inline_ ? "1" : "0") + " waited=" + (waitedForLock ? "1" : "0") +
            " finished=" + (finished ? "1" : "0") + " threads=" + threads;
  c.Write(result);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: delivery_run_cases WORK HTTP_PORT\n");
    return 2;
  }
  work = argv[1];
  if (work.back() != '\\') work += '\\';
  port = argv[2];
  char self[MAX_PATH];
  GetModuleFileNameA(nullptr, self, MAX_PATH);
  exeFolder = self;
  exeFolder.erase(exeFolder.find_last_of('\\') + 1);
  results.open(work + "results.txt", std::ios::binary | std::ios::trunc);
  MailCases();
  WebCases();
  BackgroundCase();
  return 0;
}
