#pragma once
// An in-memory index of a module's debug-information stream (layout in debuginfo.h): every unit
// is decoded once into address ranges sorted by address, so that naming an address is a binary
// search instead of DebugLookup's walk over the unit headers. Lookup gives exactly DebugLookup's
// answers, for every address and every stream, damaged ones included:
// - a unit holds [handle + 4096 + start, ... + start + size - 1]; where units overlap, the first
//   in stream order wins (the later ones keep only what no earlier unit holds);
// - inside a unit, an entry's range belongs to the line, procedure and class before the entry;
//   the tail after the last entry (or after the first entry that cannot be read, which ends the
//   unit's table) belongs to the state reached there;
// - a unit header that cannot be read ends the stream: no unit after it is indexed;
// - the procedure-start rule (the line offset counts from the procedure's first line, one lower
//   unless the code there starts 55 8B EC, 55 89 E5 or 53; "Initialization" never, "Finalization"
//   always) reads the code at lookup time through ReadCode, as DebugLookup does.
// The index owns its data (names, ranges, ReadCode copy); it keeps no reference to the stream
// or the module record, and may be moved or copied freely. Lookup is const and touches no shared
// state other than calling ReadCode, so concurrent lookups are safe when ReadCode is.
// Building deciphers names with the module's password and so sets the process-wide cipher key
// (as DebugLookup does).
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "faultline/debuginfo/debuginfo.h"

class TDebugIndex {
 public:
  using TReadCode = std::function<bool(uint64_t address, void* buffer, size_t size)>;

  // An empty index: every lookup misses.
  TDebugIndex() = default;
  // Decodes module.Stream once (with module.Version, Handle, PasswordAccepted, Password) and
  // keeps a copy of module.ReadCode. Never reads outside the stream; never throws for damaged
  // data (only std::bad_alloc).
  explicit TDebugIndex(const TDebugModule& module);

  // Same answer as DebugLookup(module, address, hit) for the module the index was built from;
  // `hit` is left untouched on a miss.
  bool Lookup(uint64_t address, TDebugHit& hit) const;

  // Replaces the code reader of the procedure-start rule (empty: the rule is skipped, as in
  // DebugLookup), e.g. when the module record that owns the index is moved.
  void SetReadCode(TReadCode readCode) { readCode_ = std::move(readCode); }

  uint64_t Handle() const { return handle_; }
  bool Empty() const { return ranges_.empty(); }
  // Statistics for tests and the benchmark.
  size_t RangeCount() const { return ranges_.size(); }      // address ranges (gaps included)
  size_t ContextCount() const { return contexts_.size(); }  // (unit, procedure, line base) records
  size_t NameCount() const { return nameEnds_.size(); }     // distinct names, "" included
  size_t UnitCount() const { return unitCount_; }           // units read from the stream
  size_t MemoryBytes() const;                               // heap bytes held (approximate)

  // Every indexed range in address order, for tests: [Low, High] resolves like Lookup(Low).
  struct TRangeView {
    uint64_t Low = 0, High = 0;
  };
  std::vector<TRangeView> Ranges() const;

 private:
  static constexpr uint32_t kGap = 0xFFFFFFFFu;
  enum : uint8_t { kHasStart = 1, kInitialization = 2, kFinalization = 4 };

  // The state shared by consecutive ranges: unit, procedure and class, the procedure's start,
  // and the line the ranges count from.
  struct TContext {
    int64_t BaseLine = 0;
    int64_t StartLine = 0;     // when kHasStart
    int64_t StartAddress = 0;  // when kHasStart (absolute)
    uint32_t Unit = 0, Class = 0, Procedure = 0;  // name indexes
    uint8_t Flags = 0;
  };
  struct TRange {
    uint32_t Context = kGap;  // kGap: no unit holds these addresses
    uint32_t LineDelta = 0;   // line = context's BaseLine + LineDelta
  };

  std::string_view Name(uint32_t index) const {
    size_t begin = index ? nameEnds_[index - 1] : 0;
    return std::string_view(names_).substr(begin, nameEnds_[index] - begin);
  }

  friend class TDebugIndexBuilder;

  // Range i covers [lows_[i], lows_[i + 1] - 1] (the last one up to the highest address).
  std::vector<uint64_t> lows_;
  std::vector<TRange> ranges_;
  std::vector<TContext> contexts_;
  std::string names_;               // all distinct names, back to back
  std::vector<size_t> nameEnds_;    // end of name i in names_; name 0 is ""
  TReadCode readCode_;
  uint64_t handle_ = 0;
  size_t unitCount_ = 0;
};
