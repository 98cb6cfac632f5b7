#include <windows.h>

#include <algorithm>
#include <cstring>

#include "faultline/lists/memory_reader.h"

namespace {

bool ProtectionReadable(DWORD protect) {
  if (protect & (PAGE_GUARD | PAGE_NOACCESS)) return false;
  return (protect & (PAGE_READONLY | PAGE_READWRITE | PAGE_WRITECOPY | PAGE_EXECUTE_READ | PAGE_EXECUTE_READWRITE |
                     PAGE_EXECUTE_WRITECOPY)) != 0;
}

// One past the highest address of this process: 4 GB for a 32-bit one.
constexpr uint64_t AddressSpaceEnd = sizeof(void*) == 4 ? 0xFFFFFFFFull : UINT64_MAX;

}  // namespace

const TProcessMemoryReader::TRegion* TProcessMemoryReader::Find(uint64_t address) {
  for (const TRegion& r : regions_)
    if (r.End != 0 && address >= r.Start && address < r.End) return &r;
  return nullptr;
}

const TProcessMemoryReader::TRegion* TProcessMemoryReader::Query(uint64_t address) {
  if (const TRegion* r = Find(address)) return r;
  if (address >= AddressSpaceEnd) return nullptr;
  MEMORY_BASIC_INFORMATION info;
  if (VirtualQuery(reinterpret_cast<const void*>(static_cast<uintptr_t>(address)), &info, sizeof info) == 0)
    return nullptr;
  const uint64_t start = reinterpret_cast<uintptr_t>(info.BaseAddress);
  const uint64_t end = std::min<uint64_t>(start + info.RegionSize, AddressSpaceEnd);
  if (end <= address) return nullptr;
  TRegion& slot = regions_[next_];
  next_ = (next_ + 1) % Slots;
  slot.Start = start;
  slot.End = end;
  slot.Readable = info.State == MEM_COMMIT && ProtectionReadable(info.Protect);
  return &slot;
}

bool TProcessMemoryReader::Readable(uint64_t address, size_t size) {
  if (size == 0 || address == 0 || address >= AddressSpaceEnd || size > AddressSpaceEnd - address) return false;
  uint64_t at = address;
  const uint64_t end = address + size;
  while (at < end) {
    const TRegion* r = Query(at);
    if (!r || !r->Readable) return false;
    if (r->End >= end || r->End == AddressSpaceEnd) return true;
    at = r->End;
  }
  return true;
}

bool TProcessMemoryReader::Read(uint64_t address, void* buffer, size_t size) {
  if (!Readable(address, size)) return false;
  std::memcpy(buffer, reinterpret_cast<const void*>(static_cast<uintptr_t>(address)), size);
  return true;
}

TMemoryRead TProcessMemoryReader::Function() {
  return [this](uint64_t address, void* buffer, size_t size) { return Read(address, buffer, size); };
}
