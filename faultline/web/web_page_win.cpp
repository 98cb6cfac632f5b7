#define _CRT_RAND_S
#include <windows.h>

#include <httpext.h>
#include <stdlib.h>

#include <map>
#include <mutex>

#include "faultline/hooks/hooks.h"
#include "faultline/internal/internal_warning.h"
#include "faultline/options/module_options.h"
#include "faultline/report/report_environment.h"
#include "faultline/web/error_page.h"
#include "faultline/web/framework_points.h"
#include "faultline/web/web_page.h"

namespace {

constexpr char kLastPageFileName[] = "LastHTMLPage.html";
constexpr DWORD kSendLastHtmlPage = 0x0040;

using TWriteClient = BOOL(WINAPI*)(HCONN, LPVOID, LPDWORD, DWORD);
using THttpExtensionProc = DWORD(WINAPI*)(EXTENSION_CONTROL_BLOCK*);
using TWriteFile = BOOL(WINAPI*)(HANDLE, LPCVOID, DWORD, LPDWORD, LPOVERLAPPED);

// Set on the thread that writes an error page, for as long as it writes: what it writes is ours,
// not the program's, and must not become the program's last page.
thread_local bool writingErrorPage = false;
struct TWritingErrorPage {
  TWritingErrorPage() { writingErrorPage = true; }
  ~TWritingErrorPage() { writingErrorPage = false; }
};

std::mutex lastPageLock;
bool hasLastPage = false;
std::string lastPage;
std::string lastMarker;

// The requests in progress: each thread inside HttpExtensionProc answers its own request (the
// error page goes to the request whose thread failed, never to another one), and each
// connection's writes go on to its server's own WriteClient.
std::mutex requestsLock;
std::map<DWORD, EXTENSION_CONTROL_BLOCK*> requestOfThread;
std::map<HCONN, TWriteClient> serverWriteOf;
THttpExtensionProc originalExtensionProc = nullptr;
TWriteFile msvcrtWriteFile = nullptr;
bool cgiProgram = false;

void Warn(const std::string& text) { InternalWarning(eeShowError, 0, text); }

std::string TempFolder() {
  char path[MAX_PATH + 1] = {};
  const DWORD n = GetTempPathA(sizeof path, path);
  std::string folder = n > 0 && n < sizeof path ? std::string(path, n) : std::string();
  if (!folder.empty() && folder.back() != '\\') folder += '\\';
  return folder;
}

bool WriteAll(HANDLE h, const std::string& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    DWORD written = 0;
    if (!WriteFile(h, bytes.data() + done, static_cast<DWORD>(bytes.size() - done), &written, nullptr) || written == 0)
      return false;
    done += written;
  }
  return true;
}

// The program sent a page: it becomes the last one, and with SendFlags 0x0040 it is kept in the
// temporary folder at once (a web-server process may be ended before any report is delivered).
void KeepLastPage(const void* data, size_t size) {
  std::string page(static_cast<const char*>(data), size);
  bool save = false;
  try {
    save = (FaultLoadOwnOptions().SendFlags() & kSendLastHtmlPage) != 0;
  } catch (...) {
  }
  std::lock_guard<std::mutex> guard(lastPageLock);
  lastPage = std::move(page);
  hasLastPage = true;
  if (!save) return;
  const std::string path = TempFolder() + kLastPageFileName;
  TWritingErrorPage ours;  // this file write is not the program's output either
  HANDLE h = CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                         nullptr);
  if (h == INVALID_HANDLE_VALUE) return;
  const bool ok = WriteAll(h, lastPage);
  CloseHandle(h);
  if (!ok) DeleteFileA(path.c_str());
}

BOOL WINAPI HookedWriteClientProc(HCONN connection, LPVOID buffer, LPDWORD bytes, DWORD reserved) {
  TWriteClient server = nullptr;
  {
    std::lock_guard<std::mutex> guard(requestsLock);
    auto it = serverWriteOf.find(connection);
    if (it != serverWriteOf.end()) server = it->second;
  }
  if (!server) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  // The buffer holds exactly *bytes bytes: a page may hold zero bytes, and nothing follows it.
  if (!writingErrorPage && buffer && bytes) {
    try {
      KeepLastPage(buffer, *bytes);
    } catch (...) {
    }
  }
  return server(connection, buffer, bytes, reserved);
}

DWORD WINAPI HookedHttpExtensionProc(EXTENSION_CONTROL_BLOCK* ecb) {
  if (!ecb) return originalExtensionProc(ecb);
  const DWORD thread = GetCurrentThreadId();
  const TWriteClient server = ecb->WriteClient;
  EXTENSION_CONTROL_BLOCK* outer = nullptr;
  {
    std::lock_guard<std::mutex> guard(requestsLock);
    if (server && server != &HookedWriteClientProc) {
      serverWriteOf[ecb->ConnID] = server;
      ecb->WriteClient = &HookedWriteClientProc;
    }
    auto it = requestOfThread.find(thread);
    if (it != requestOfThread.end()) outer = it->second;
    requestOfThread[thread] = ecb;
  }
  // On every way out the thread stops answering this request; a finished request gets its
  // server's WriteClient back (a pending one still writes through ours).
  struct TLeave {
    DWORD Thread;
    EXTENSION_CONTROL_BLOCK* Ecb;
    EXTENSION_CONTROL_BLOCK* Outer;
    TWriteClient Server;
    DWORD Status = HSE_STATUS_ERROR;
    ~TLeave() {
      std::lock_guard<std::mutex> guard(requestsLock);
      if (Outer)
        requestOfThread[Thread] = Outer;
      else
        requestOfThread.erase(Thread);
      if (Status != HSE_STATUS_PENDING && Server && Server != &HookedWriteClientProc) {
        Ecb->WriteClient = Server;
        serverWriteOf.erase(Ecb->ConnID);
      }
    }
  } leave{thread, ecb, outer, server};
  leave.Status = originalExtensionProc(ecb);
  return leave.Status;
}

// The C runtime's own writes (printf, the streams) go through its import of WriteFile.
BOOL WINAPI RuntimeWriteFile(HANDLE file, LPCVOID data, DWORD size, LPDWORD written, LPOVERLAPPED overlapped) {
  if (cgiProgram && !writingErrorPage && data && file == GetStdHandle(STD_OUTPUT_HANDLE)) {
    try {
      KeepLastPage(data, size);
    } catch (...) {
    }
  }
  return msvcrtWriteFile(file, data, size, written, overlapped);
}

bool ExportsExtensionProc() {
  return GetProcAddress(FaultRunningModule(), "HttpExtensionProc") ||
         GetProcAddress(GetModuleHandleA(nullptr), "HttpExtensionProc");
}

bool IsCgiProgram() { return IsConsoleProgram() && GetEnvironmentVariableA("REQUEST_METHOD", nullptr, 0) > 0; }

// The WinCGI output file: the third parameter, else the request profile's own entry.
std::string WinCgiOutputFile() {
  const std::vector<std::string> params = CommandLineParameters();
  if (params.size() >= 3 && !params[2].empty()) return params[2];
  if (params.empty()) return {};
  char full[MAX_PATH + 1] = {}, output[MAX_PATH + 1] = {};
  const DWORD n = GetFullPathNameA(params[0].c_str(), MAX_PATH, full, nullptr);
  const std::string profile = n > 0 && n <= MAX_PATH ? std::string(full, n) : params[0];
  GetPrivateProfileStringA("System", "Output File", "", output, sizeof output, profile.c_str());
  return output;
}

uint32_t NewMarkerId() {
  unsigned int value = 0;
  if (rand_s(&value) != 0) value = GetTickCount() ^ (GetCurrentProcessId() << 16) ^ GetCurrentThreadId();
  return value;
}

bool SendThroughExtension(const std::string& page, DWORD threadId) {
  EXTENSION_CONTROL_BLOCK* ecb = nullptr;
  {
    std::lock_guard<std::mutex> guard(requestsLock);
    auto it = requestOfThread.find(threadId);
    if (it != requestOfThread.end()) ecb = it->second;
  }
  if (!ecb) {
    Warn("ISAPI: ServerECB = nil");
    return false;
  }
  TWritingErrorPage ours;
  ecb->dwHttpStatusCode = 200;
  std::string status = kWebStatusText;
  DWORD statusSize = static_cast<DWORD>(status.size());
  std::string header = WebResponseHeader(page.size(), false);
  if (!ecb->ServerSupportFunction(ecb->ConnID, HSE_REQ_SEND_RESPONSE_HEADER, status.data(), &statusSize,
                                  reinterpret_cast<LPDWORD>(header.data()))) {
    Warn("ISAPI: Cannot send the response header.");
    return false;
  }
  DWORD size = static_cast<DWORD>(page.size());
  std::string bytes = page;
  if (!ecb->WriteClient(ecb->ConnID, bytes.data(), &size, HSE_IO_SYNC) || size != page.size()) {
    Warn("ISAPI: Cannot write the error page.");
    return false;
  }
  return true;
}

bool SendToStandardOutput(const std::string& page) {
  TWritingErrorPage ours;
  HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  if (!out || out == INVALID_HANDLE_VALUE || !WriteAll(out, WebResponseHeader(page.size(), true))) {
    Warn("CGI: Cannot write in the ouput file.");
    return false;
  }
  return WriteAll(out, page);
}

bool SendToOutputFile(const std::string& page) {
  const std::string path = WinCgiOutputFile();
  // The answer is the error page alone: whatever the program had written there goes.
  HANDLE h = path.empty() ? INVALID_HANDLE_VALUE
                          : CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                                        FILE_ATTRIBUTE_NORMAL, nullptr);
  bool ok = h != INVALID_HANDLE_VALUE;
  if (ok) {
    TWritingErrorPage ours;
    ok = SetFilePointer(h, 0, nullptr, FILE_BEGIN) == 0 && SetEndOfFile(h) &&
         WriteAll(h, WebResponseHeader(page.size(), true) + page);
    CloseHandle(h);
  }
  if (!ok) Warn("WinCGI");
  return ok;
}

}  // namespace

void WebWriteFileObserver(HANDLE file, const void* data, DWORD size) {
  if (!cgiProgram || writingErrorPage || !data || file != GetStdHandle(STD_OUTPUT_HANDLE)) return;
  KeepLastPage(data, size);
}

bool IsServerProcess() { return ExportsExtensionProc() || IsWebApplication(QueryWebApplicationFacts(false)); }

bool WebPresentation(const std::string& text, const TFaultModuleOptions& options, DWORD threadId) {
  std::string marker;
  {
    std::lock_guard<std::mutex> guard(lastPageLock);
    do marker = WebPageMarker(NewMarkerId());
    while (marker == lastMarker);
    lastMarker = marker;
  }
  const std::string title = options.Texts().size() > 2 ? options.Texts()[2] : std::string("Error.");
  const std::string page = WebReportPage(text, options.PageTemplate(), DefaultPageTemplate(), title, marker);
  if (ExportsExtensionProc()) return SendThroughExtension(page, threadId);
  if (IsCgiProgram()) return SendToStandardOutput(page);
  if (QueryWebApplicationFacts(false).CgiRequestFile) return SendToOutputFile(page);
  return false;
}

void InstallWebInterception(HMODULE module) {
  cgiProgram = IsCgiProgram();
  if (cgiProgram) {
    // The program's own WriteFile calls reach WebWriteFileObserver through the reporting's import
    // hook; the runtime's buffered output is seen here.
    msvcrtWriteFile = reinterpret_cast<TWriteFile>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("kernel32.dll"), "WriteFile")));
    void* original = nullptr;
    if (HookImport({"msvcrt.dll"}, "kernel32.dll", true, &original, reinterpret_cast<void*>(&RuntimeWriteFile),
                   "WriteFile"))
      msvcrtWriteFile = reinterpret_cast<TWriteFile>(original);
  }
  InstallFrameworkPoints(module);
  if (void* proc = reinterpret_cast<void*>(GetProcAddress(module, "HttpExtensionProc")))
    originalExtensionProc = reinterpret_cast<THttpExtensionProc>(
        HookProcedure(proc, reinterpret_cast<void*>(&HookedHttpExtensionProc), "HttpExtensionProc"));
}

bool LastHtmlPage(std::string& page) {
  std::lock_guard<std::mutex> guard(lastPageLock);
  if (!hasLastPage) return false;
  page = lastPage;
  return true;
}
