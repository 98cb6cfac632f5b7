#pragma once
// The processor state a report shows: the registers of the exception context, the top of the
// stack and a memory dump, each part only when it could be read.
#include <array>
#include <cstdint>

// Register state and memory captured at the exception.
struct TCpuSnapshot {
  bool HasContext = false;
  uint32_t Eax = 0, Ebx = 0, Ecx = 0, Edx = 0, Edi = 0, Esi = 0, Esp = 0, Eip = 0;
  bool StackReadable = false;               // the 64 bytes at Esp were read
  std::array<uint8_t, 64> Stack{};
  uint32_t DumpAddress = 0;
  bool DumpReadable = false;                // the 256 bytes at DumpAddress were read
  std::array<uint8_t, 256> Dump{};
};
