#pragma once
// The minidump file format, written by the program itself: the header, the stream directory and
// the streams a debugger reads first (system, process, threads with their contexts and stacks,
// modules, the exception, memory). The layout is the documented one; this code only arranges
// bytes, the Windows half gathers what goes in (capture/minidump_win.cpp).
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "faultline/lists/function_list.h"

struct TMinidumpThread {
  uint32_t Id = 0;
  int32_t Priority = 0;
  uint64_t Teb = 0;
  uint64_t StackStart = 0;  // the address of Stack's first byte
  std::string Stack;        // the stack's bytes from StackStart up
  std::string Context;      // the thread's CONTEXT as the system lays it out
};

struct TMinidumpModule {
  uint64_t Base = 0;
  uint32_t Size = 0, CheckSum = 0, TimeStamp = 0;  // from the image's headers
  std::u16string Name;                              // the full path
  std::string FixedFileInfo;                        // 52 bytes of the version resource, or empty
};

struct TMinidumpSystem {
  uint16_t Architecture = 0;  // 0 x86, 9 x64
  uint16_t Level = 0, Revision = 0;
  uint8_t Processors = 0, ProductType = 0;
  uint32_t Major = 0, Minor = 0, Build = 0, PlatformId = 2;
  std::u16string ServicePack;
  uint16_t SuiteMask = 0;
  uint32_t CpuVendor[3] = {0, 0, 0};  // x86 and x64: the processor's identification
  uint32_t CpuVersion = 0, CpuFeatures = 0;
};

struct TMinidumpException {
  uint32_t ThreadId = 0;
  uint32_t Code = 0, Flags = 0;
  uint64_t Address = 0;
  std::vector<uint64_t> Parameters;  // at most 15 are kept
  std::string Context;               // the thread's CONTEXT at the exception
};

struct TMinidumpData {
  uint32_t TimeStamp = 0;  // seconds since 1970 (UTC)
  uint32_t ProcessId = 0;
  TMinidumpSystem System;
  std::vector<TMinidumpThread> Threads;
  std::vector<TMinidumpModule> Modules;
  bool HasException = false;
  TMinidumpException Exception;
  // All the process's memory (a dump of full memory): [start, size) ranges whose bytes the writer
  // appends, in this order, right after the bytes MinidumpBytes returns.
  std::vector<std::pair<uint64_t, uint64_t>> FullMemory;
};

// The dump's bytes (without the full-memory data, which follows them in FullMemory's order).
std::string MinidumpBytes(const TMinidumpData& data);

// From the image at base: its size, checksum and time stamp (headers), and the fixed part of its
// version resource (52 bytes, empty when it has none). False when the headers cannot be read.
bool ReadMinidumpModule(uint64_t base, const TMemoryRead& read, TMinidumpModule& module);
