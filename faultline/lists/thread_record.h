#pragma once
// The thread record: what the reporting code knows of one thread of the process. Every module of
// the process that carries the reporting code hands these records to the executable's exported
// thread notices, so the layout is fixed: packed, addresses and handles as words of the program's
// width (49 bytes in a 32-bit program, 81 in a 64-bit one).

#ifdef _WIN64
using TThreadRecordWord = uint64_t;
#else
using TThreadRecordWord = uint32_t;
#endif

#pragma pack(push, 1)
struct TFaultThreadRecord {
  uint32_t ThreadId;
  TThreadRecordWord Handle;
  uint32_t ResumerId;       // the thread that last resumed (started) this one
  int32_t Priority;         // PriorityUnknown until a report reads it
  TThreadRecordWord ThreadObject;    // the TThread object the thread runs, else 0
  TThreadRecordWord StackTop;        // highest stack address, set when the thread starts running
  TThreadRecordWord OwnExecute;      // the thread class's own Execute, when it was hooked
  TThreadRecordWord ThreadFunction;  // the function the framework's start routine runs
  TThreadRecordWord StartAddress;    // the start address given to the system's thread creation
  TThreadRecordWord Parameter;       // the parameter of that function
  uint32_t StackCopySize;   // bytes of StackCopy
  TThreadRecordWord StackCopy;       // the resuming thread's stack at the resume call, up to its top
  uint8_t ForeignStackCopy; // StackCopy belongs to another module's list: never freed here
};
#pragma pack(pop)

#ifdef _WIN64
static_assert(sizeof(TFaultThreadRecord) == 81, "the thread record is shared between modules");
static_assert(offsetof(TFaultThreadRecord, StackCopy) == 72 && offsetof(TFaultThreadRecord, ForeignStackCopy) == 80,
              "the thread record is shared between modules");
#else
static_assert(sizeof(TFaultThreadRecord) == 49, "the thread record is shared between modules");
static_assert(offsetof(TFaultThreadRecord, StackCopy) == 44 && offsetof(TFaultThreadRecord, ForeignStackCopy) == 48,
              "the thread record is shared between modules");
#endif

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
