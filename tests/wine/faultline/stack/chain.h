#pragma once
// A chain of calls whose every call site records its own line, so that the test knows which lines
// the call stack must name.
#include <cstdint>
#include <memory>
#include <vector>

#include "faultline/stack/stack_scan.h"

// Line numbers of the call sites, set as the calls happen.
struct TCallLines {
  int TestBody = 0, ChainA = 0, Virtual = 0, Visit = 0, Pointer = 0, Thunk = 0, Callback = 0, Capture = 0;
  int ThreadBody = 0, ThreadWait = 0;
};
extern TCallLines callLines;

#define CALL_LINE(field) (callLines.field = __LINE__)

// The stack captured at the end of the chain: as the program takes it (exactly with unwind data
// where the code has it), and by the stack scan alone.
extern std::unique_ptr<TFaultStackList> captured;
extern std::unique_ptr<TFaultStackList> capturedByScan;

int ChainA(int x);            // chain_a.cpp
int ChainPointer(int x);      // chain_b.cpp: calls through a function pointer into the library
void ChainCapture();          // chain_a.cpp
void __cdecl ChainCallback(int x);  // chain_b.cpp, called back by the library

struct TShape {
  virtual ~TShape() = default;
  virtual int Visit(int x) = 0;
};
std::unique_ptr<TShape> MakeShape();  // chain_b.cpp

// The library's export, called through the import thunk the linker makes (no dllimport).
extern "C" int ChainDllCall(void(__cdecl* callback)(int), int x);

// A thread that waits in a known place: ChainThreadBody -> ChainThreadWait -> WaitForSingleObject.
unsigned long __stdcall ChainThreadBody(void* event);
extern volatile uintptr_t chainThreadStackTop;
