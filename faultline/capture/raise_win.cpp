#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <typeinfo>

#include "faultline/capture/raise_state.h"
#include "faultline/lists/threads_list.h"

namespace {

std::atomic<bool> recording{false};
std::atomic<TRaiseForwarder> forwarder{nullptr};

struct TThreadState {
  TRaiseInfo Raise;
  bool FaultPending = false;
  uintptr_t FaultAddress = 0;
  CONTEXT FaultContext{};
  bool InHandler = false;
  bool Busy = false;
  bool RaiseGuard = false;
};

TThreadState& State() {
  thread_local TThreadState state;
  return state;
}

}  // namespace

TRaiseInfo& ThreadRaise() { return State().Raise; }
bool& ThreadInHandler() { return State().InHandler; }
bool& ThreadBusy() { return State().Busy; }
void SetRaiseRecording(bool on) { recording.store(on); }
void SetRaiseForwarder(TRaiseForwarder f) { forwarder.store(f); }

void SetPendingFault(uintptr_t address, const CONTEXT& context) {
  TThreadState& s = State();
  s.FaultPending = true;
  s.FaultAddress = address;
  s.FaultContext = context;
}

void RecordRaise(const void* object, const std::type_info* type, uintptr_t returnAddress, uintptr_t sp, bool copyStack) {
  if (!recording.load(std::memory_order_relaxed)) return;
  TThreadState& s = State();
  if (s.RaiseGuard) return;
  s.RaiseGuard = true;
  const DWORD lastError = GetLastError();
  TRaiseInfo& r = s.Raise;
  r.Object = object;
  r.Type = type;
  r.ReturnAddress = returnAddress;
  r.IsReturnAddress = true;
  r.HasContext = false;
  if (s.FaultPending) {
    // The converter throws for a fault: the fault is where it happened, not here.
    s.FaultPending = false;
    r.ReturnAddress = s.FaultAddress;
    r.IsReturnAddress = false;
    r.Context = s.FaultContext;
    r.HasContext = true;
  }
  const uintptr_t top = CurrentStackTop();
  const uint32_t size = copyStack && top > sp ? uint32_t(std::min<uintptr_t>(top - sp, MaxRaiseStack)) : 0;
  r.StackPointer = sp;
  r.StackTop = top;
  // The buffer keeps its capacity from raise to raise: one allocation per thread. This runs inside
  // the program's throw, which must throw what the program threw: without memory for the buffer
  // the raise is kept without its stack.
  if (r.Stack.capacity() < MaxRaiseStack) {
    try {
      r.Stack.reserve(MaxRaiseStack);
    } catch (...) {
    }
  }
  const uint32_t kept = static_cast<uint32_t>(std::min<size_t>(size, r.Stack.capacity()));
  r.Stack.resize(kept);  // within the capacity: allocates nothing
  if (kept) std::memcpy(r.Stack.data(), reinterpret_cast<const void*>(static_cast<uintptr_t>(sp)), kept);
  SetLastError(lastError);
  s.RaiseGuard = false;
}

extern "C" [[noreturn]] void __real___cxa_throw(void* object, std::type_info* type, void (*destroy)(void*));

// Every C++ throw of the program comes here first (the link wraps __cxa_throw).
extern "C" [[noreturn]] void __wrap___cxa_throw(void* object, std::type_info* type, void (*destroy)(void*)) {
  if (recording.load(std::memory_order_relaxed)) {
    // The thrower's stack begins just above our return address: this wrapper's own frame is of no
    // interest, and the raise address is entered on its own.
    const uintptr_t address = reinterpret_cast<uintptr_t>(__builtin_return_address(0));
    // The caller's stack from just above our return address.
    const uintptr_t frame = reinterpret_cast<uintptr_t>(__builtin_frame_address(0)) + 2 * sizeof(void*);
    RecordRaise(object, type, address, frame);
    if (TRaiseForwarder f = forwarder.load(std::memory_order_relaxed)) f(object, type, address, frame);
  }
  __real___cxa_throw(object, type, destroy);
}
