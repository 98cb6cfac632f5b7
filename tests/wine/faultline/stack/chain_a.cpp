// First part of the known call chain: the entry, an inlinable helper, and the capture.
#include "tests/wine/faultline/stack/chain.h"

#include <windows.h>

#include "faultline/lists/threads_list.h"
#include "faultline/stack/stack.h"

TCallLines callLines;
std::unique_ptr<TFaultStackList> captured;
std::unique_ptr<TFaultStackList> capturedByScan;

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

// The same stack by the scan alone (no unwind data), from this frame up.
__attribute__((noinline)) static std::unique_ptr<TFaultStackList> ScanFromHere() {
  TStackScan scan;
  scan.StackPointer = reinterpret_cast<uintptr_t>(__builtin_frame_address(0));
  scan.StackTop = CurrentStackTop();
  scan.ThreadId = GetCurrentThreadId();
  return NewStackList(scan);
}

__attribute__((noinline)) void ChainCapture() {
  captured = (CALL_LINE(Capture), CurrentThreadStack()); capturedByScan = ScanFromHere();
  asm volatile("" ::: "memory");
}

volatile uintptr_t chainThreadStackTop = 0;

__attribute__((noinline)) static int ChainThreadWait(HANDLE event) {
  DWORD r = (CALL_LINE(ThreadWait), WaitForSingleObject(event, 20000));
  return static_cast<int>(r) + 1;
}

unsigned long __stdcall ChainThreadBody(void* event) {
  chainThreadStackTop = CurrentStackTop();
  int r = (CALL_LINE(ThreadBody), ChainThreadWait(static_cast<HANDLE>(event)));
  asm volatile("" ::: "memory");  // no tail call: this frame stays on the stack while the thread waits
  return static_cast<unsigned long>(r);
}
