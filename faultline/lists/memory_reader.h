#pragma once
// Reading the process's own memory where any byte may be unmapped: a stack word that looks like an
// address, an export table of a damaged module. Each range is checked against the memory map
// before it is copied, and the regions already asked about are remembered, so that thousands of
// small reads (a stack scan, an export table) cost a handful of queries. A reader is meant for one
// short piece of work: memory released meanwhile would not be noticed. Windows only.
#ifdef _WIN32
#include <cstddef>
#include <cstdint>

#include "faultline/lists/function_list.h"

class TProcessMemoryReader {
 public:
  // Copies size bytes at address into buffer; false (and nothing copied) when any is unreadable.
  bool Read(uint64_t address, void* buffer, size_t size);
  bool Readable(uint64_t address, size_t size);
  // A TMemoryRead over this reader (which must outlive it).
  TMemoryRead Function();

 private:
  struct TRegion {
    uint64_t Start = 0, End = 0;  // [Start, End), End 0 for an empty slot
    bool Readable = false;
  };
  const TRegion* Find(uint64_t address);
  const TRegion* Query(uint64_t address);

  static constexpr int Slots = 8;
  TRegion regions_[Slots];
  int next_ = 0;
};
#endif
