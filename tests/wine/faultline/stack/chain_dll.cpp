// The library of the call-stack test: it carries its own debug information and calls back into
// the program.
#include <windows.h>

extern "C" {
__declspec(dllexport) int ChainDllLine = 0;
}

extern "C" __declspec(dllexport) __attribute__((noinline)) int ChainDllCall(void(__cdecl* callback)(int), int x) {
  ChainDllLine = __LINE__ + 1;
  callback(x + 1);
  return x * 3;
}
