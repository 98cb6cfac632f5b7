#include "faultline/stack/stack_scan.h"

#include <cstring>

namespace {

bool Readable(const TMemoryRead& read, uint64_t address, size_t size) {
  uint8_t scratch[400];
  return size <= sizeof scratch && read(address, scratch, size);
}

uint32_t Word(const uint8_t* b) {
  uint32_t v;
  std::memcpy(&v, b, 4);
  return v;
}

// address + a signed 32-bit displacement, in the address space of the code: modulo 2^32 for
// 32-bit code (as the processor computes it), plain for 64-bit code.
uint64_t Displaced(uint64_t address, uint32_t displacement, uint8_t wordSize) {
  if (wordSize == 4) return uint32_t(uint32_t(address) + displacement);
  return address + uint64_t(int64_t(int32_t(displacement)));
}

// A pointer of the code's width read from memory.
bool ReadPointer(const TMemoryRead& read, uint64_t address, uint8_t wordSize, uint64_t& value) {
  value = 0;
  return read(address, &value, wordSize);  // little-endian: the low bytes first
}

bool In(uint8_t b, uint8_t low, uint8_t high) { return b >= low && b <= high; }

bool Named(const TFaultDebugInfo& e) { return e.Kind >= EntryExport && e.Kind <= EntryDebugInfo; }

uint64_t ModuleHandle(const TFaultDebugInfo& e) { return e.Module ? e.Module->Handle : 0; }

// Through an import jump (jmp [pointer]: absolute in 32-bit code, RIP-relative in 64-bit code) to
// the procedure it leads to.
uint64_t ThroughImportJump(uint64_t target, const TMemoryRead& code, uint8_t wordSize) {
  uint8_t b[8];
  if (!code(target, b, sizeof b) || b[0] != 0xFF || b[1] != 0x25) return target;
  const uint64_t slot = wordSize == 4 ? Word(b + 2) : Displaced(target + 6, Word(b + 2), wordSize);
  uint64_t pointed;
  if (!ReadPointer(code, slot, wordSize, pointed)) return target;
  return pointed;
}

class TScanner {
 public:
  TScanner(TFaultStackList& list, const TStackScan& scan, const TResolve& resolve)
      : list_(list), scan_(scan), resolve_(resolve) {}

  void Entry(uint64_t address) {
    TFaultDebugInfo e = resolve_(address, scan_.ThreadId, scan_.Running);
    if (!(scan_.Kinds & (1u << (e.Kind & 7)))) return;
    if (scan_.FirstIndex == -1 ||
        (candidates_ >= scan_.FirstIndex && (scan_.MaxCount < 0 || added_ < scan_.MaxCount))) {
      list_.push_back(std::move(e));
      ++added_;
    }
    ++candidates_;
  }

 private:
  TFaultStackList& list_;
  const TStackScan& scan_;
  const TResolve& resolve_;
  int32_t candidates_ = 0;
  int32_t added_ = 0;
};

}  // namespace

uint64_t CallBefore(uint64_t word, const TMemoryRead& code, uint64_t& callTarget, uint8_t wordSize) {
  callTarget = 0;
  if (word < 7) return 0;
  const uint64_t s = word - 7;
  uint8_t b[7];
  if (!code(s, b, sizeof b)) return 0;
  if (b[2] == 0xE8) {  // call rel32
    const uint64_t target = Displaced(word, Word(b + 3), wordSize);
    if (Readable(code, target, 1)) {
      callTarget = target;
      return s + 2;
    }
  }
  if (b[5] == 0xFF && In(b[6], 0xD0, 0xD7)) return s + 5;  // call reg
  if (b[5] == 0xFF && (In(b[6], 0x10, 0x13) || In(b[6], 0x16, 0x17))) return s + 5;  // call [reg]
  if (b[4] == 0xFF && (In(b[5], 0x50, 0x53) || In(b[5], 0x55, 0x57))) return s + 4;  // call [reg+d8]
  if (b[1] == 0xFF && (In(b[2], 0x90, 0x93) || In(b[2], 0x95, 0x97))) return s + 1;  // call [reg+d32]
  if (b[4] == 0xFF && b[5] == 0x14 && b[6] == 0x24) return s + 4;  // call [esp]
  if (b[3] == 0xFF && b[4] == 0x54 && b[5] == 0x24) return s + 3;  // call [esp+d8]
  if (b[0] == 0xFF && b[1] == 0x94 && b[2] == 0x24) return s;      // call [esp+d32]
  // call [abs] (32-bit code), call [rip+d32] (64-bit code)
  if (b[1] == 0xFF && b[2] == 0x15 &&
      Readable(code, wordSize == 4 ? Word(b + 3) : Displaced(word, Word(b + 3), wordSize), wordSize))
    return s + 1;
  return 0;
}

void ScanStack(TFaultStackList& list, const TStackScan& scan, const TScanMemory& memory, const TResolve& resolve) {
  const size_t firstNew = list.size();
  TScanner scanner(list, scan, resolve);
  if (scan.HasStart) scanner.Entry(scan.StartAddress);
  const uint8_t size = scan.WordSize == 8 ? 8 : 4;
  for (const uint64_t ret : scan.Frames) {
    uint64_t target;
    const uint64_t call = CallBefore(ret, memory.Code, target, size);
    scanner.Entry(call ? call : ret - 1);  // a call form the scan does not know: inside it
  }

  const uint64_t last = size == 4 ? 0xFFFFFFFCu : UINT64_MAX - 7;  // the last whole word
  uint64_t top = scan.StackTop;
  if (scan.StackPointer <= UINT64_MAX - MaxScannedStack && top > scan.StackPointer + MaxScannedStack)
    top = scan.StackPointer + MaxScannedStack;
  uint32_t budget = 0;
  for (uint64_t at = scan.StackPointer; at <= top && at <= last; at += size) {
    // Readability is tested a chunk at a time, not per word.
    if (budget == 0) {
      if (Readable(memory.Stack, at, 400)) {
        budget = 400;
      } else if (Readable(memory.Stack, at, size)) {
        budget = size;
      } else {
        continue;
      }
    }
    budget -= size;
    uint64_t word;
    if (!ReadPointer(memory.Stack, at, size, word)) {
      budget = 0;
      continue;
    }
    uint64_t target = 0;
    const uint64_t call = CallBefore(word, memory.Code, target, size);
    if (!call) continue;
    if (target && scan.FollowCallTargets) {
      const uint64_t called = ThroughImportJump(target, memory.Code, size);
      uint8_t first[5];
      if (memory.Code(called, first, sizeof first) && first[0] != 0xE8) scanner.Entry(called);
    }
    scanner.Entry(call);
  }
  PostProcessEntries(list, firstNew, scan.DevelopmentEnvironment);
}

void PostProcessEntries(TFaultStackList& list, size_t firstNew, bool developmentEnvironment) {
  if (developmentEnvironment) {
    size_t out = firstNew;
    for (size_t i = firstNew; i < list.size(); ++i) {
      if (!Named(list[i]) || list[i].ProcedureName.find("HandleException") != std::string::npos) continue;
      if (out != i) list[out] = std::move(list[i]);
      ++out;
    }
    list.resize(out);
  }
  if (list.size() < firstNew + 2) return;
  for (size_t i = list.size() - 1; i-- > firstNew;) {
    TFaultDebugInfo& e = list[i];
    if (!Named(e)) continue;
    // The next two named entries after it.
    const TFaultDebugInfo* next[2] = {nullptr, nullptr};
    int found = 0;
    for (size_t j = i + 1; j < list.size() && found < 2; ++j)
      if (Named(list[j])) next[found++] = &list[j];
    for (const TFaultDebugInfo* n : next) {
      if (n && ModuleHandle(*n) == ModuleHandle(e) && n->Address == e.Address) {
        e.Kind = EntryHidden;
        break;
      }
    }
  }
}
