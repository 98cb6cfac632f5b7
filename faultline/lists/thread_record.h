#pragma once
// The thread record: what the reporting code knows of one thread of the process. Every module of
// the process that carries the reporting code hands these records to the executable's exported
// thread notices, so the layout is fixed: 49 bytes, packed, addresses as 32-bit values.
#include <cstddef>
#include <cstdint>

#pragma pack(push, 1)
struct TFaultThreadRecord {
  uint32_t ThreadId;
  uint32_t Handle;
  uint32_t ResumerId;       // the thread that last resumed (started) this one
  int32_t Priority;         // PriorityUnknown until a report reads it
  uint32_t ThreadObject;    // the TThread object the thread runs, else 0
  uint32_t StackTop;        // highest stack address, set when the thread starts running
  uint32_t OwnExecute;      // the thread class's own Execute, when it was hooked
  uint32_t ThreadFunction;  // the function the framework's start routine runs
  uint32_t StartAddress;    // the start address given to the system's thread creation
  uint32_t Parameter;       // the parameter of that function
  uint32_t StackCopySize;   // bytes of StackCopy
  uint32_t StackCopy;       // the resuming thread's stack at the resume call, up to its top
  uint8_t ForeignStackCopy; // StackCopy belongs to another module's list: never freed here
};
#pragma pack(pop)

static_assert(sizeof(TFaultThreadRecord) == 49, "the thread record is shared between modules");
static_assert(offsetof(TFaultThreadRecord, StackCopy) == 44 && offsetof(TFaultThreadRecord, ForeignStackCopy) == 48,
              "the thread record is shared between modules");

constexpr int32_t ThreadPriorityUnknown = static_cast<int32_t>(0x80000000u);

// A new record: zero-filled, priority not yet known.
inline TFaultThreadRecord NewThreadRecord() {
  TFaultThreadRecord r{};
  r.Priority = ThreadPriorityUnknown;
  return r;
}

// The classes of threads that the options select (StackFlags, HandlingFlags).
enum class TFaultThreadClass : uint8_t { Main, Framework, Other };

inline TFaultThreadClass ClassifyThread(const TFaultThreadRecord& r, uint32_t mainThreadId) {
  if (r.ThreadId == mainThreadId) return TFaultThreadClass::Main;
  if (r.ThreadObject != 0) return TFaultThreadClass::Framework;
  return TFaultThreadClass::Other;
}
// The main thread counts as a framework thread as well.
inline bool IsFrameworkThread(const TFaultThreadRecord& r, uint32_t mainThreadId) {
  return ClassifyThread(r, mainThreadId) != TFaultThreadClass::Other;
}
