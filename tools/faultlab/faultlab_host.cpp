// A host without Faultline for the crash laboratory's DLL: faultlab-host loads faultlab-dll.dll
// and calls into it. The DLL then reports by itself.
//   dll-alone: the DLL throws, nobody catches it (one report, by the DLL).
//   dll-unload: the DLL, watching for freezes, is unloaded while the process goes on. Its
//     reporting threads end while the unloading thread holds the loader's lock: no thread may wait
//     there for another's end. Exit code 0, or 3 when the unload took 4 s or more (it hung for
//     good, or stalled 5 s, before).
#include <windows.h>

#include <cstdio>
#include <cstring>

int main(int argc, char** argv) {
  if (argc > 1 && std::strcmp(argv[1], "dll-unload") == 0) {
    SetEnvironmentVariableA("FAULTLAB_DLL_FREEZE_WATCH", "1");
    HMODULE dll = LoadLibraryA("faultlab-dll.dll");
    if (!dll) return 2;
    Sleep(200);  // the detector is looking for the main window
    const DWORD start = GetTickCount();
    // Until it is gone (the detector's start keeps a reference of its own under Wine).
    for (int i = 0; i < 4 && GetModuleHandleA("faultlab-dll.dll"); ++i) FreeLibrary(dll);
    const DWORD spent = GetTickCount() - start;
    const bool gone = GetModuleHandleA("faultlab-dll.dll") == nullptr;
    std::printf("unloaded: %s, in %lu ms\n", gone ? "yes" : "no", spent);
    return gone && spent < 4000 ? 0 : 3;
  }
  HMODULE dll = LoadLibraryA("faultlab-dll.dll");
  if (!dll) {
    std::fprintf(stderr, "faultlab-host: cannot load faultlab-dll.dll (error %lu)\n", GetLastError());
    return 2;
  }
  using TThrow = void(__stdcall*)();
  auto call = reinterpret_cast<TThrow>(reinterpret_cast<void*>(GetProcAddress(dll, "FaultlabDllThrow")));
  if (!call) return 2;
  call();
  return 0;
}
