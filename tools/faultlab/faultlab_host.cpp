// A host without Faultline for the crash laboratory's DLL: faultlab-host loads faultlab-dll.dll
// and calls into it. The DLL then reports by itself.
#include <windows.h>

#include <cstdio>

int main() {
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
