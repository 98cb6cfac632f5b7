// Stack scan benchmark: one full scan of a 40-frame stack with every entry resolved to unit,
// procedure and line, against the system's debugging library on the same stack in the same run
// (dbghelp: StackWalk64 over the frames, each named with SymFromAddr and SymGetLineFromAddr64),
// and against the bare frame walker (RtlCaptureStackBackTrace, return addresses only). Under Wine
// both stop after a few frames of code built without frame pointers, so the peer that bounds the
// work from below is a plain copy of the same stack bytes the scan reads.
#include <windows.h>
#include <dbghelp.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "faultline/lists/modules_list.h"
#include "faultline/stack/stack.h"
#include "bench/win_clock.h"
#include "rtl/cpu_context.h"

namespace {

double scanBest = 1e9, walkBest = 1e9, helpBest = 1e9, copyBest = 1e9;
size_t stackBytes = 0;
size_t entries = 0, named = 0, helpFrames = 0, helpLines = 0;
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
    void* addresses[128];
    t0 = Now();
    frames = RtlCaptureStackBackTrace(0, 128, addresses, nullptr);
    walkBest = std::min(walkBest, Now() - t0);
    uint32_t sp, top;
    asm("movl %%esp, %0" : "=r"(sp));
    asm("movl %%fs:4, %0" : "=r"(top));
    stackBytes = top - sp;
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

int Recurse(int depth);
// Through a pointer, so that the compiler keeps one real frame per level.
int (*volatile next)(int) = &Recurse;

__attribute__((noinline)) int Recurse(int depth) {
  if (depth == 0) {
    Measure();
    return 0;
  }
  return next(depth - 1) + 1;
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
  Recurse(40);
  std::printf("scan found %zu entries, %zu with unit and line; the debugging library walked %zu frames, %zu with a "
              "line; the bare walker %u frames\n", entries, named, helpFrames, helpLines, frames);
  std::printf("first scan (module registration, index build): %8.3f ms\n", first * 1e3);
  std::printf("copy of the %6zu stack bytes scanned:           %8.3f ms\n", stackBytes, copyBest * 1e3);
  std::printf("bare frame walker, addresses only:              %8.3f ms\n", walkBest * 1e3);
  std::printf("debugging library, walk with names and lines:   %8.3f ms\n", helpBest * 1e3);
  std::printf("scan with resolution:                           %8.3f ms  ratio to the copy %6.1f, to the debugging "
              "library %6.3f\n", scanBest * 1e3, scanBest / copyBest, scanBest / helpBest);
  DestroyFaultModules();
  return 0;
}
