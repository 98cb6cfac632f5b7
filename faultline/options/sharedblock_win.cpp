// The shared options block: a named, page-file-backed mapping per module and process holding a
// size word and the payload (see SharedBlockPayload).
#include <windows.h>

#include <cstdio>
#include <cstring>

#include "faultline/options/module_options.h"

namespace {

HANDLE ownBlock = nullptr;

size_t ViewSize(const void* view) {
  MEMORY_BASIC_INFORMATION info{};
  if (!VirtualQuery(view, &info, sizeof info)) return 0;
  return info.RegionSize;
}

}  // namespace

std::string FaultSharedBlockName(HMODULE module, DWORD processId) {
  // The module's base as wide as the program's addresses (8 digits in a 32-bit program).
  char name[48];
  std::snprintf(name, sizeof name, "MODULE%0*llX%08lX", static_cast<int>(2 * sizeof(void*)),
                static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(module)),
                static_cast<unsigned long>(processId));
  return name;
}

bool FaultPublishSharedBlock(std::string_view payload) {
  FaultCloseSharedBlock();
  const DWORD total = static_cast<DWORD>(payload.size() + 4);
  std::string name = FaultSharedBlockName(FaultRunningModule(), GetCurrentProcessId());
  HANDLE block = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, total,
                                    name.c_str());
  if (!block) return false;
  bool existed = GetLastError() == ERROR_ALREADY_EXISTS;
  ownBlock = block;
  auto* view = static_cast<uint8_t*>(MapViewOfFile(block, FILE_MAP_WRITE, 0, 0, 0));
  if (!view) return false;
  bool fits = !existed || ViewSize(view) >= total;
  if (fits) {
    std::memcpy(view, &total, 4);
    std::memcpy(view + 4, payload.data(), payload.size());
  } else {
    // Someone still holds the previous, smaller block open, so the name gives us that one back.
    // Say "no run-time options" rather than leave stale ones behind.
    const DWORD five = 5;
    std::memcpy(view, &five, 4);
    view[4] = 0;
  }
  UnmapViewOfFile(view);
  return fits;
}

std::optional<std::string> FaultOpenSharedBlock(HMODULE module, DWORD processId) {
  std::string name = FaultSharedBlockName(module, processId);
  HANDLE block = OpenFileMappingA(FILE_MAP_READ, FALSE, name.c_str());
  if (!block) return std::nullopt;
  std::optional<std::string> payload;
  if (auto* view = static_cast<const uint8_t*>(MapViewOfFile(block, FILE_MAP_READ, 0, 0, 0))) {
    // The size word comes from another module: believe it only within the mapping's bounds.
    size_t mapped = ViewSize(view);
    uint32_t total = 0;
    if (mapped >= 4) std::memcpy(&total, view, 4);
    if (total >= 4 && total <= mapped)
      payload = std::string(reinterpret_cast<const char*>(view) + 4, total - 4);
    UnmapViewOfFile(view);
  }
  CloseHandle(block);
  return payload;
}

void FaultCloseSharedBlock() {
  if (ownBlock) CloseHandle(ownBlock);
  ownBlock = nullptr;
}
