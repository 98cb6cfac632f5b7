// A web server of our own for the extension DLL (it carries no Faultline): web-host DLL. Two
// requests overlap: "fail" starts first and waits inside the extension, "page" runs and finishes
// meanwhile, then "fail" goes on and fails. Each connection's status, header and body are
// written to conn<N>.status, conn<N>.header, conn<N>.body in the current folder, the extension's
// kept last page (from the temporary folder) to lastpage.bin.
#include <windows.h>

#include <httpext.h>

#include <cstdio>
#include <mutex>
#include <string>

namespace {

struct TConnection {
  EXTENSION_CONTROL_BLOCK Ecb{};
  std::string Query;
  std::string Status, Header, Body;
  HANDLE FirstWrite = nullptr;
};
TConnection connections[3];
std::mutex lock;
PFN_HTTPEXTENSIONPROC extensionProc = nullptr;

TConnection* Of(HCONN c) {
  const auto i = reinterpret_cast<uintptr_t>(c);
  return i >= 1 && i <= 2 ? &connections[i] : nullptr;
}

BOOL WINAPI WriteClient(HCONN c, LPVOID buffer, LPDWORD bytes, DWORD) {
  TConnection* conn = Of(c);
  if (!conn || !bytes) return FALSE;
  {
    std::lock_guard<std::mutex> guard(lock);
    conn->Body.append(static_cast<const char*>(buffer), *bytes);
  }
  SetEvent(conn->FirstWrite);
  return TRUE;
}

BOOL WINAPI ServerSupportFunction(HCONN c, DWORD request, LPVOID buffer, LPDWORD size, LPDWORD dataType) {
  TConnection* conn = Of(c);
  if (!conn || request != HSE_REQ_SEND_RESPONSE_HEADER) return FALSE;
  std::lock_guard<std::mutex> guard(lock);
  conn->Status = buffer ? std::string(static_cast<const char*>(buffer), size ? *size : 0) : "";
  conn->Header = dataType ? reinterpret_cast<const char*>(dataType) : "";
  return TRUE;
}

DWORD WINAPI Serve(LPVOID p) { return extensionProc(&static_cast<TConnection*>(p)->Ecb); }

void Save(const std::string& name, const std::string& bytes) {
  if (FILE* f = std::fopen(name.c_str(), "wb")) {
    std::fwrite(bytes.data(), 1, bytes.size(), f);
    std::fclose(f);
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2 && argc != 3) return 2;
  HMODULE dll = LoadLibraryA(argv[1]);
  if (!dll) return 3;
  if (argc == 3) {  // "outside": the extension fails while no request runs
    using TFail = void(WINAPI*)();
    auto fail = reinterpret_cast<TFail>(reinterpret_cast<void*>(GetProcAddress(dll, "FailOutsideRequest")));
    if (!fail) return 6;
    fail();
    return 0;
  }
  extensionProc = reinterpret_cast<PFN_HTTPEXTENSIONPROC>(reinterpret_cast<void*>(GetProcAddress(dll, "HttpExtensionProc")));
  if (!extensionProc) return 4;
  char temp[MAX_PATH] = {};
  GetTempPathA(sizeof temp, temp);
  DeleteFileA((std::string(temp) + "LastHTMLPage.html").c_str());
  const char* queries[3] = {"", "fail", "page"};
  for (int i = 1; i <= 2; ++i) {
    TConnection& c = connections[i];
    c.Query = queries[i];
    c.FirstWrite = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    c.Ecb.cbSize = sizeof c.Ecb;
    c.Ecb.ConnID = reinterpret_cast<HCONN>(static_cast<uintptr_t>(i));
    c.Ecb.lpszMethod = const_cast<char*>("GET");
    c.Ecb.lpszQueryString = c.Query.data();
    c.Ecb.WriteClient = WriteClient;
    c.Ecb.ServerSupportFunction = ServerSupportFunction;
  }
  HANDLE go = CreateEventA(nullptr, TRUE, FALSE, "TarnWebExtGo");
  HANDLE failing = CreateThread(nullptr, 0, Serve, &connections[1], 0, nullptr);
  if (WaitForSingleObject(connections[1].FirstWrite, 30000) != WAIT_OBJECT_0) return 5;
  HANDLE paging = CreateThread(nullptr, 0, Serve, &connections[2], 0, nullptr);
  WaitForSingleObject(paging, 30000);
  SetEvent(go);
  WaitForSingleObject(failing, 60000);
  for (int i = 1; i <= 2; ++i) {
    const std::string n = "conn" + std::to_string(i);
    Save(n + ".status", connections[i].Status);
    Save(n + ".header", connections[i].Header);
    Save(n + ".body", connections[i].Body);
    Save(n + ".code", std::to_string(connections[i].Ecb.dwHttpStatusCode));
  }
  std::string page;
  if (FILE* f = std::fopen((std::string(temp) + "LastHTMLPage.html").c_str(), "rb")) {
    char buffer[4096];
    for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, f)) > 0;) page.append(buffer, n);
    std::fclose(f);
    Save("lastpage.bin", page);
  }
  return 0;
}
