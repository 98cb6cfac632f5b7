// First part of the known call chain: the entry, an inlinable helper, and the capture.
#include "tests/wine/faultline/stack/chain.h"

#include <windows.h>

#include "faultline/stack/stack.h"

TCallLines callLines;
std::unique_ptr<TFaultStackList> captured;

// Small enough to be inlined at -O2 (its frame then disappears into ChainA's).
static int Inlined(int x) {
  auto shape = MakeShape();
  int r = (CALL_LINE(Virtual), shape->Visit(x));
  return r + 1;
}

__attribute__((noinline)) int ChainA(int x) {
  int r = (CALL_LINE(ChainA), Inlined(x + 1));
  return r + 2;
}

__attribute__((noinline)) void ChainCapture() {
  captured = (CALL_LINE(Capture), CurrentThreadStack());
  asm volatile("" ::: "memory");
}

volatile unsigned long chainThreadStackTop = 0;

__attribute__((noinline)) static int ChainThreadWait(HANDLE event) {
  DWORD r = (CALL_LINE(ThreadWait), WaitForSingleObject(event, 20000));
  return static_cast<int>(r) + 1;
}

unsigned long __stdcall ChainThreadBody(void* event) {
  unsigned long top;
  asm("movl %%fs:4, %0" : "=r"(top));
  chainThreadStackTop = top;
  int r = (CALL_LINE(ThreadBody), ChainThreadWait(static_cast<HANDLE>(event)));
  return static_cast<unsigned long>(r);
}
