#pragma once
// What the capture flow remembers of the last raise on each thread: the exception object, where
// it was raised, and a copy of the raising thread's stack taken at the raise (the stack is gone
// by the time a handler far up reports it). Windows only.
#ifdef _WIN32
#include <windows.h>

#include <cstdint>
#include <typeinfo>
#include <vector>

struct TRaiseInfo {
  const void* Object = nullptr;          // the thrown object
  const std::type_info* Type = nullptr;
  uintptr_t ReturnAddress = 0;           // the return address of the throw call, or the faulting
                                         // instruction of a converted operating-system exception
  bool IsReturnAddress = true;           // false for a converted operating-system exception
  bool HasContext = false;               // Context holds the processor state at the fault
  CONTEXT Context{};
  uintptr_t StackPointer = 0;            // the stack at the throw
  uintptr_t StackTop = 0;
  std::vector<uint8_t> Stack;            // [StackPointer, StackPointer + size) as it was
  // The last call of RaiseException on this thread: its code, the caller's frame and the return
  // address into the caller (an exception it raised is reported where it was called).
  DWORD RaiseCode = 0;
  uintptr_t RaiseFrame = 0;
  uintptr_t RaiseCaller = 0;
};

// Records a raise on the calling thread: the object, its type, the return address of the raising
// call and, with copyStack, a copy of the stack from stackPointer up (the stack is only copied,
// never scanned: a raise that the program handles itself must stay cheap). Nothing happens while
// the thread is already recording (a raise inside the recording) or recording is off.
void RecordRaise(const void* object, const std::type_info* type, uintptr_t returnAddress, uintptr_t stackPointer,
                 bool copyStack = true);

// The calling thread's last raise (empty when it raised nothing).
TRaiseInfo& ThreadRaise();
// Per-thread flags of the capture flow.
bool& ThreadInHandler();
bool& ThreadBusy();

// An operating-system exception turned into a C++ throw on the faulting thread: its address and
// context go into the raise record of that throw (set by the converter just before it throws).
void SetPendingFault(uintptr_t address, const CONTEXT& context);

// Raises are recorded while this is set (from start-up to shutdown).
void SetRaiseRecording(bool on);
// Also hands every C++ throw of this module to forwarder (a delegating DLL's); null for none.
using TRaiseForwarder = void (*)(const void* object, const std::type_info* type, uintptr_t address, uintptr_t frame);
void SetRaiseForwarder(TRaiseForwarder forwarder);

// The most of a stack a raise keeps.
constexpr uint32_t MaxRaiseStack = 102400;
#endif
