// A web-server extension DLL that carries Faultline. Its requests (the query string):
//   "page"  sends a page holding every byte value, zero included, and succeeds;
//   "fail"  sends a page, waits until the event "TarnWebExtGo" (when the host made one) is set,
//           then fails; like a web framework it catches the exception and hands it to the
//           reporting as a web-server exception.
// Its export FailOutsideRequest fails the same way while no request runs (as a timer or a thread of
// the extension would): there is no connection to send the error page to.
#include <windows.h>

#include <httpext.h>

#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <string>

#include "faultline/capture/capture.h"

namespace {

struct TFaultlineForThisDll {
  TFaultlineForThisDll() {
    try {
      FaultlineStart();
    } catch (const std::exception& e) {
      std::fprintf(stderr, "web-ext: %s\n", e.what());
    }
  }
  ~TFaultlineForThisDll() { FaultlineStop(); }
} faultlineForThisDll;

HMODULE ThisModule() {
  HMODULE module = nullptr;
  GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                     reinterpret_cast<LPCSTR>(&ThisModule), &module);
  return module;
}

bool Send(EXTENSION_CONTROL_BLOCK* ecb, std::string bytes) {
  DWORD size = static_cast<DWORD>(bytes.size());
  return ecb->WriteClient(ecb->ConnID, bytes.data(), &size, HSE_IO_SYNC);
}

__attribute__((noinline)) void Fail() { throw std::runtime_error("extension <failed> \"here\""); }

}  // namespace

extern "C" __declspec(dllexport) BOOL WINAPI GetExtensionVersion(HSE_VERSION_INFO* info) {
  info->dwExtensionVersion = MAKELONG(HSE_VERSION_MINOR, HSE_VERSION_MAJOR);
  std::strcpy(info->lpszExtensionDesc, "Faultline web test");
  return TRUE;
}

extern "C" __declspec(dllexport) DWORD WINAPI HttpExtensionProc(EXTENSION_CONTROL_BLOCK* ecb) {
  const std::string query = ecb->lpszQueryString ? ecb->lpszQueryString : "";
  if (query == "page") {
    std::string page = "<html>binary:";
    for (int i = 0; i < 256; ++i) page += static_cast<char>(i);
    page += "</html>";
    Send(ecb, page);
    return HSE_STATUS_SUCCESS;
  }
  try {
    Send(ecb, "<html>the request's own page</html>");
    if (HANDLE go = OpenEventA(SYNCHRONIZE, FALSE, "TarnWebExtGo")) {
      WaitForSingleObject(go, 30000);
      CloseHandle(go);
    }
    Fail();
  } catch (...) {
    std::exception_ptr e = std::current_exception();
    ExceptionManager(&e, nullptr, PresentWebServer, ThisModule());
  }
  return HSE_STATUS_ERROR;
}

extern "C" __declspec(dllexport) void WINAPI FailOutsideRequest() {
  try {
    Fail();
  } catch (...) {
    std::exception_ptr e = std::current_exception();
    ExceptionManager(&e, nullptr, PresentWebServer, ThisModule());
  }
}
