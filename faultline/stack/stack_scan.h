#pragma once
// Turning a thread's stack into call-stack entries. There is no frame-pointer walk (optimised
// code keeps no frame chain): every stack word is tested as a return address, and a word counts
// only when the bytes in front of the address it points to are a call instruction that ends there.
// Portable: memory comes through readers, names through a resolver, so the scan is tested on
// hand-made stacks natively and runs on real ones under Windows.
#include <cstdint>
#include <functional>
#include <vector>

#include "faultline/lists/function_list.h"
#include "faultline/stack/stack_entry.h"

using TFaultStackList = std::vector<TFaultDebugInfo>;

// The kinds a scan keeps, one bit per kind (bit k for kind k).
using TKindSet = uint8_t;
constexpr TKindSet AllKinds = 0x1F;  // kinds 0 to 4

// At most this many bytes of a stack are scanned.
constexpr uint32_t MaxScannedStack = 102400;

struct TStackScan {
  bool HasStart = false;
  uint64_t StartAddress = 0;   // the exception address, entered first when HasStart
  uint64_t StackPointer = 0;
  uint64_t StackTop = 0;       // highest address of the stack
  // 4: 32-bit code and stack words; 8: x86-64 (8-byte words, RIP-relative call forms).
  uint8_t WordSize = 4;
  // Return addresses already known exactly (a walk with the modules' unwind data), outermost
  // last: entered after the start address, each as its call instruction; the scan then covers the
  // words from StackPointer on (where the walk stopped).
  std::vector<uint64_t> Frames;
  TKindSet Kinds = AllKinds;
  int32_t MaxCount = -1;       // with FirstIndex: how many entries to keep
  int32_t FirstIndex = -1;     // -1: keep every entry of the set; else skip that many first
  bool FollowCallTargets = true;
  bool Running = true;
  uint32_t ThreadId = 0;
  // The running program is the development environment itself: only named entries stay, and not
  // its own exception handling.
  bool DevelopmentEnvironment = false;
};

// Names an address (the thread and running flag are the scan's).
using TResolve = std::function<TFaultDebugInfo(uint64_t address, uint32_t threadId, bool running)>;

struct TScanMemory {
  // The stack's words: the live stack, or a stored copy that stands in for it.
  TMemoryRead Stack;
  // Code and data around the return addresses: the process's memory.
  TMemoryRead Code;
};

// Appends the entries of one stack to list, then post-processes the new ones.
void ScanStack(TFaultStackList& list, const TStackScan& scan, const TScanMemory& memory, const TResolve& resolve);

// The entry address of the call that returns to word, when one of the call forms ends exactly
// there; 0 otherwise. With a direct call, callTarget receives its target (else 0). wordSize 8:
// x86-64 code (a call through memory at disp32 is RIP-relative there, and pointers are 8 bytes).
uint64_t CallBefore(uint64_t word, const TMemoryRead& code, uint64_t& callTarget, uint8_t wordSize = 4);

// Hides the double hits of a raw scan (a return address stored twice): from the second-to-last
// entry back to firstNew, a named entry (kinds 2 to 4) is hidden when the next named entry, or
// failing that the one after it, is of the same module and address. With developmentEnvironment,
// entries of other kinds and entries of the environment's own exception handling go first.
void PostProcessEntries(TFaultStackList& list, size_t firstNew, bool developmentEnvironment);
