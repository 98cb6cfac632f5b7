#pragma once
// The processor state a report shows: the registers of the exception context, the top of the
// stack and a memory dump, each part only when it could be read. A 32-bit program fills the
// 32-bit registers; a 64-bit program sets Wide and fills the 64-bit ones (the 32-bit fields then
// stay zero), and its stack words are 8 bytes wide.
#include <array>
#include <cstdint>

// Register state and memory captured at the exception.
struct TCpuSnapshot {
  bool HasContext = false;
  bool Wide = false;                        // x86-64: the R fields below, 8-byte stack words
  uint32_t Eax = 0, Ebx = 0, Ecx = 0, Edx = 0, Edi = 0, Esi = 0, Esp = 0, Eip = 0;
  // x86-64 registers (when Wide).
  uint64_t Rax = 0, Rbx = 0, Rcx = 0, Rdx = 0, Rsi = 0, Rdi = 0, Rbp = 0, Rsp = 0;
  uint64_t R8 = 0, R9 = 0, R10 = 0, R11 = 0, R12 = 0, R13 = 0, R14 = 0, R15 = 0, Rip = 0;
  uint32_t EFlags = 0;
  uint16_t SegCs = 0, SegDs = 0, SegEs = 0, SegFs = 0, SegGs = 0, SegSs = 0;
  // The top of the stack: 64 bytes at ESP (16 words), or 128 bytes at RSP (16 words) when Wide.
  bool StackReadable = false;
  std::array<uint8_t, 128> Stack{};
  uint64_t DumpAddress = 0;
  bool DumpReadable = false;                // the 256 bytes at DumpAddress were read
  std::array<uint8_t, 256> Dump{};
};
