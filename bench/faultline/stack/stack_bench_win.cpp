// Call-stack benchmark: the program's own stack of 40 frames with every entry resolved to unit,
// procedure and line, against the system's debugging library on the same stack in the same run
// (dbghelp: StackWalk64 over the frames, each named with SymFromAddr and SymGetLineFromAddr64),
// and against the bare frame walker (RtlCaptureStackBackTrace, return addresses only). Under Wine
// the 32-bit peers stop after a few frames of code built without frame pointers, so the peer that
// bounds the work from below is a plain copy of the same stack bytes the scan reads. In the 64-bit
// program the stack is walked exactly with the modules' unwind data; the scan alone of the same
// stack is measured beside it.
#include <windows.h>
#include <dbghelp.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

#include "faultline/lists/modules_list.h"
#include "faultline/lists/threads_list.h"
#include "faultline/stack/stack.h"
#include "bench/win_clock.h"
#include "rtl/cpu_context.h"

namespace {

double scanBest = 1e9, scanOnlyBest = 1e9, walkBest = 1e9, helpBest = 1e9, copyBest = 1e9;
size_t stackBytes = 0;
size_t entries = 0, named = 0, recursion = 0, scanOnlyRecursion = 0, helpFrames = 0, helpLines = 0;

// The frames of the recursion below, each named with its procedure and line.
size_t RecursionFrames(const TFaultStackList& list) {
  return static_cast<size_t>(std::count_if(list.begin(), list.end(), [](const TFaultDebugInfo& e) {
    return e.Kind == EntryDebugInfo && e.ProcedureName.compare(0, 7, "Recurse") == 0 && e.Line > 0;
  }));
}

// The same stack by the scan alone (no unwind data), from the caller's frame up.
__attribute__((noinline)) std::unique_ptr<TFaultStackList> ScanOnly() {
  TStackScan scan;
  scan.StackPointer = CurrentStackPointer();
  scan.StackTop = CurrentStackTop();
  scan.ThreadId = GetCurrentThreadId();
  return NewStackList(scan);
}
USHORT frames = 0;

// The debugging library's walk from the current context, every frame named with its line.
__attribute__((noinline)) void HelpWalk() {
  CONTEXT context = {};
  context.ContextFlags = CONTEXT_FULL;
  RtlCaptureContext(&context);
  STACKFRAME64 frame = {};
  frame.AddrPC.Offset = ContextInstruction(context);
  frame.AddrPC.Mode = AddrModeFlat;
  frame.AddrFrame.Offset = ContextFrame(context);
  frame.AddrFrame.Mode = AddrModeFlat;
  frame.AddrStack.Offset = ContextStack(context);
  frame.AddrStack.Mode = AddrModeFlat;
  HANDLE process = GetCurrentProcess();
  helpFrames = helpLines = 0;
  const DWORD machine = sizeof(void*) == 8 ? IMAGE_FILE_MACHINE_AMD64 : IMAGE_FILE_MACHINE_I386;
  while (helpFrames < 200 && StackWalk64(machine, process, GetCurrentThread(), &frame, &context,
                                         nullptr, SymFunctionTableAccess64, SymGetModuleBase64, nullptr)) {
    alignas(SYMBOL_INFO) char buffer[sizeof(SYMBOL_INFO) + 256];
    auto* symbol = reinterpret_cast<SYMBOL_INFO*>(buffer);
    symbol->SizeOfStruct = sizeof(SYMBOL_INFO);
    symbol->MaxNameLen = 255;
    DWORD64 displacement = 0;
    SymFromAddr(process, frame.AddrPC.Offset, &displacement, symbol);
    IMAGEHLP_LINE64 line = {};
    line.SizeOfStruct = sizeof line;
    DWORD lineDisplacement = 0;
    if (SymGetLineFromAddr64(process, frame.AddrPC.Offset, &lineDisplacement, &line)) ++helpLines;
    ++helpFrames;
  }
}

__attribute__((noinline)) void Measure() {
  for (int i = 0; i < 50; ++i) {
    double t0 = Now();
    auto list = CurrentThreadStack();
    scanBest = std::min(scanBest, Now() - t0);
    entries = list->size();
    named = static_cast<size_t>(std::count_if(list->begin(), list->end(),
                                               [](const TFaultDebugInfo& e) { return e.Kind == EntryDebugInfo; }));
    recursion = RecursionFrames(*list);
    t0 = Now();
    auto scanned = ScanOnly();
    scanOnlyBest = std::min(scanOnlyBest, Now() - t0);
    scanOnlyRecursion = RecursionFrames(*scanned);
    void* addresses[128];
    t0 = Now();
    frames = RtlCaptureStackBackTrace(0, 128, addresses, nullptr);
    walkBest = std::min(walkBest, Now() - t0);
    const uintptr_t sp = CurrentStackPointer();
    stackBytes = CurrentStackTop() - sp;
    static char copy[1 << 20];
    t0 = Now();
    std::memcpy(copy, reinterpret_cast<const void*>(sp), stackBytes);
    copyBest = std::min(copyBest, Now() - t0);
    asm volatile("" ::"r"(copy) : "memory");
    t0 = Now();
    HelpWalk();
    helpBest = std::min(helpBest, Now() - t0);
  }
}

// Three procedures that call each other in turn through pointers, so that the compiler keeps one
// real frame per level and neighbouring frames have different return addresses (a return address
// repeated right after itself is taken for a stale copy and hidden).
int RecurseA(int depth);
int RecurseB(int depth);
int RecurseC(int depth);
int (*volatile nextOfA)(int) = &RecurseB;
int (*volatile nextOfB)(int) = &RecurseC;
int (*volatile nextOfC)(int) = &RecurseA;

__attribute__((noinline)) int RecurseA(int depth) {
  if (depth == 0) {
    Measure();
    return 0;
  }
  return nextOfA(depth - 1) + 1;
}

__attribute__((noinline)) int RecurseB(int depth) {
  if (depth == 0) {
    Measure();
    return 0;
  }
  return nextOfB(depth - 1) + 2;
}

__attribute__((noinline)) int RecurseC(int depth) {
  if (depth == 0) {
    Measure();
    return 0;
  }
  return nextOfC(depth - 1) + 3;
}

}  // namespace

int main() {
  CreateFaultModules();
  SymSetOptions(SYMOPT_LOAD_LINES | SYMOPT_DEFERRED_LOADS);
  SymInitialize(GetCurrentProcess(), nullptr, TRUE);
  HelpWalk();  // its symbols loaded before the measurement, as ours are
  // The first scan registers the modules and builds the indexes: measured on its own.
  const double t0 = Now();
  CurrentThreadStack();
  const double first = Now() - t0;
  RecurseA(39);  // 40 frames of the recursion
  const char* how = sizeof(void*) == 8 ? "walk with unwind data" : "scan";
  std::printf("%d-bit: the %s found %zu entries, %zu with unit and line, %zu of the 40 recursive frames named; the "
              "scan alone found %zu entries in the recursion (it lists called procedures too); the debugging library walked %zu frames, %zu with a line; the bare "
              "walker %u frames\n", static_cast<int>(sizeof(void*) * 8), how, entries, named, recursion,
              scanOnlyRecursion, helpFrames, helpLines, frames);
  std::printf("first scan (module registration, index build): %8.3f ms\n", first * 1e3);
  std::printf("copy of the %6zu stack bytes scanned:           %8.3f ms\n", stackBytes, copyBest * 1e3);
  std::printf("bare frame walker, addresses only:              %8.3f ms\n", walkBest * 1e3);
  std::printf("debugging library, walk with names and lines:   %8.3f ms\n", helpBest * 1e3);
  std::printf("scan alone with resolution:                     %8.3f ms  ratio to the copy %6.1f, to the debugging "
              "library %6.3f\n", scanOnlyBest * 1e3, scanOnlyBest / copyBest, scanOnlyBest / helpBest);
  std::printf("%-47s %8.3f ms  ratio to the scan alone %6.3f, to the debugging library %6.3f (goal: under 1 ms, "
              "every frame named)\n", (std::string("the program's stack (") + how + "):").c_str(), scanBest * 1e3,
              scanBest / scanOnlyBest, scanBest / helpBest);
  DestroyFaultModules();
  return 0;
}
