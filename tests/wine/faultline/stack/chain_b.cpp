// Second part of the known call chain: a virtual method, a call through a function pointer, the
// call into the library through its import thunk, and the callback from it.
#include "tests/wine/faultline/stack/chain.h"

namespace {

struct TCircle : TShape {
  __attribute__((noinline)) int Visit(int x) override {
    int r = (CALL_LINE(Visit), ChainPointer(x * 2));
    return r - 1;
  }
};

}  // namespace

std::unique_ptr<TShape> MakeShape() { return std::make_unique<TCircle>(); }

__attribute__((noinline)) static int CallLibrary(int x) {
  int r = (CALL_LINE(Thunk), ChainDllCall(&ChainCallback, x));
  return r + 5;
}

int (*volatile libraryCaller)(int) = &CallLibrary;

__attribute__((noinline)) int ChainPointer(int x) {
  // Through a pointer the compiler cannot see through.
  int r = (CALL_LINE(Pointer), libraryCaller(x));
  return r + 3;
}

__attribute__((noinline)) void __cdecl ChainCallback(int x) {
  (CALL_LINE(Callback), ChainCapture());
  asm volatile("" ::: "memory");
  (void)x;
}
