// The library of the call-stack test: it carries its own debug information and calls back into
// the program. Built a second time without unwind data (64-bit only), under another export name.
#include <windows.h>

#ifndef CHAIN_DLL_CALL
#define CHAIN_DLL_CALL ChainDllCall
#endif

extern "C" {
__declspec(dllexport) int ChainDllLine = 0;
}

extern "C" __declspec(dllexport) __attribute__((noinline)) int CHAIN_DLL_CALL(void(__cdecl* callback)(int), int x) {
  ChainDllLine = __LINE__ + 1;
  callback(x + 1);
  return x * 3;
}
