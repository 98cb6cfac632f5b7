// A small library for the module-list tests: a few exports of known shape.
#include <windows.h>

extern "C" __declspec(dllexport) int __stdcall ListsDllAdd(int a, int b) { return a + b; }

extern "C" __declspec(dllexport) int ListsDllTwice(int a) {
  volatile int x = a;
  return x * 2;
}

extern "C" {
__declspec(dllexport) int ListsDllValue = 42;
}
