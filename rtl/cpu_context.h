#pragma once
// The registers of a thread context that the reporting code reads, under one name for 32-bit and
// 64-bit Windows (EIP/ESP/EBP or RIP/RSP/RBP). Windows only.
#ifdef _WIN32
#include <windows.h>

#include <cstdint>

inline uintptr_t ContextInstruction(const CONTEXT& c) {
#ifdef _WIN64
  return c.Rip;
#else
  return c.Eip;
#endif
}

inline uintptr_t ContextStack(const CONTEXT& c) {
#ifdef _WIN64
  return c.Rsp;
#else
  return c.Esp;
#endif
}

inline uintptr_t ContextFrame(const CONTEXT& c) {
#ifdef _WIN64
  return c.Rbp;
#else
  return c.Ebp;
#endif
}

// The calling code's own stack pointer (inlined, so that it is the caller's, not a frame of its own).
__attribute__((always_inline)) inline uintptr_t CurrentStackPointer() {
  uintptr_t sp;
#ifdef _WIN64
  asm volatile("movq %%rsp, %0" : "=r"(sp));
#else
  asm volatile("movl %%esp, %0" : "=r"(sp));
#endif
  return sp;
}

inline void SetContextInstruction(CONTEXT& c, uintptr_t value) {
#ifdef _WIN64
  c.Rip = value;
#else
  c.Eip = static_cast<DWORD>(value);
#endif
}

inline void SetContextStack(CONTEXT& c, uintptr_t value) {
#ifdef _WIN64
  c.Rsp = value;
#else
  c.Esp = static_cast<DWORD>(value);
#endif
}
#endif
