// The crash laboratory's DLL, built with Faultline and its own options. Loaded by a program that
// carries Faultline, it leaves its reports to that program; loaded by one that does not, it
// reports by itself (its log is faultlab-dll.flf beside it).
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <stdexcept>

#include "faultline/capture/capture.h"
#include "faultline/options/module_options.h"
#include "faultline/options/options.h"

namespace {

// Faultline starts when the DLL is loaded and stops when it is unloaded, as a module's own
// initialisation and finalisation.
struct TFaultlineForThisDll {
  TFaultlineForThisDll() {
    try {
      FaultlineStart();
      // Asked by the dll-unload scenario: the DLL watches for freezes too (a thread of its own).
      char watch[4] = {};
      if (GetEnvironmentVariableA("FAULTLAB_DLL_FREEZE_WATCH", watch, sizeof watch)) {
        TFaultModuleOptionsEx& options = CurrentFaultlineOptions();
        InUpdate(options, [&] { options.SetFreezeWatch(true); });
      }
    } catch (const std::exception& e) {
      // The DLL still works without reports; the reason goes where a developer looks.
      OutputDebugStringA(e.what());
      std::fprintf(stderr, "faultlab-dll: %s\n", e.what());
    }
  }
  ~TFaultlineForThisDll() { FaultlineStop(); }
} faultlineForThisDll;

// Asked by the freeze-load scenario: the library's start-up keeps the loading thread busy for
// FAULTLAB_INIT_SPIN milliseconds, holding the loader's lock all the while.
__attribute__((noinline)) void SpinAtStartup(DWORD milliseconds) {
  const DWORD start = GetTickCount();
  while (GetTickCount() - start < milliseconds) {}
}

struct TStartupSpin {
  TStartupSpin() {
    char text[16] = {};
    if (GetEnvironmentVariableA("FAULTLAB_INIT_SPIN", text, sizeof text)) SpinAtStartup(std::strtoul(text, nullptr, 10));
  }
} startupSpin;

__attribute__((noinline)) void ThrowInDll() {
  throw std::runtime_error("thrown inside the DLL");  // fault line
}

}  // namespace

// Called by the host: the exception leaves the DLL and nobody catches it.
extern "C" __declspec(dllexport) void __stdcall FaultlabDllThrow() { ThrowInDll(); }
