// A program without the web and service frameworks, whose symbol table holds only the
// application object's pair: none of their points is hooked, except the one configured as an
// export of a package (here the program itself exports the thread-exception procedure).
// Prints the ids hooked, then hands an exception to that procedure: the report comes first, then
// the procedure itself runs.
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <exception>
#include <stdexcept>

#include "faultline/capture/capture.h"
#include "faultline/web/framework_points.h"
#include "rtl/application.h"

namespace {
int originalRuns = 0;
}

extern "C" __declspec(dllexport) void __attribute__((thiscall)) ThreadExceptionProc(void*, std::exception_ptr e) {
  if (e) ++originalRuns;
}

int main(int argc, char** argv) {
  TApplication::Instance();  // its handler and display are in the symbol table
  char self[MAX_PATH] = {};
  GetModuleFileNameA(nullptr, self, sizeof self);
  const char* name = std::strrchr(self, '\\');
  FrameworkPackages().Points[10] = {name ? name + 1 : self, "ThreadExceptionProc"};
  FaultlineStart();
  std::printf("hooked:");
  for (uint8_t id : InstalledFrameworkPoints()) std::printf(" %u", id);
  std::printf("\n");
  auto* proc = reinterpret_cast<void(__attribute__((thiscall)) *)(void*, std::exception_ptr)>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA(nullptr), "ThreadExceptionProc")));
  proc(nullptr, std::make_exception_ptr(std::runtime_error("thread failed")));
  std::printf("reports: %ld original: %d\n", CaptureCounters().Reports, originalRuns);
  std::fflush(stdout);
  FaultlineStop();
  (void)argc;
  (void)argv;
  return 0;
}
