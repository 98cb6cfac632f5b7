#include "faultline/debuginfo/debuginfo_index.h"

#include <algorithm>
#include <map>
#include <unordered_map>

#include "faultline/codecs/codecs.h"

// The stream is read here a second time, independently of debuginfo.cpp's reader, so that the
// agreement tests and the fuzzer compare two readings of the same layout. The rules (which the
// reader must keep in step with debuginfo.cpp) are those of the header comment of debuginfo.h.

namespace {

bool HasOldPrefix(uint16_t version) { return version >= 405 && version <= 499; }
bool NamesEnciphered(uint16_t version) { return version >= 500; }
bool NamesSplit(uint16_t version) { return version > 501; }
bool HasExtendedEntry(uint16_t version) { return version > 422; }
constexpr uint32_t kExtendedMarker = 0x0FFEFFFE;
constexpr int64_t kMaxAddress = INT64_MAX;

// Bounded reading of the stream bytes: every read is given the end it may not pass (pos <= end
// <= stream size holds throughout) and fails instead of reading beyond it.
class TReader {
 public:
  explicit TReader(std::string_view bytes) : p_(reinterpret_cast<const uint8_t*>(bytes.data())), size_(bytes.size()) {}
  size_t Size() const { return size_; }
  size_t pos = 0;

  bool U32(uint32_t& v, size_t end) {
    if (end - pos < 4) return false;
    v = Le32(pos);
    pos += 4;
    return true;
  }
  bool Skip(size_t n, size_t end) {
    if (end - pos < n) return false;
    pos += n;
    return true;
  }
  // A name field with its chained parts; `field` is all of it (length bytes included), which
  // decides the shown name for a given layout.
  bool NameField(uint16_t version, std::string_view& field, size_t end) {
    const size_t begin = pos;
    const bool split = NamesSplit(version);
    for (;;) {
      if (pos >= end) return false;
      const uint8_t lengthByte = p_[pos++];
      const bool more = split && (lengthByte & 0x80);
      const size_t length = more ? (lengthByte & 0x7F) : lengthByte;
      if (end - pos < length) return false;
      pos += length;
      if (!more) break;
    }
    field = std::string_view(reinterpret_cast<const char*>(p_) + begin, pos - begin);
    return true;
  }
  bool Entry(uint16_t version, uint32_t& dL, uint32_t& dA, bool& p, size_t end) {
    if (pos >= end) return false;
    const uint8_t f = p_[pos];
    if (!(f & 1)) {
      p = false;
      dL = (f >> 6) + 1u;
      dA = ((f >> 1) & 0x1Fu) + 1;
      ++pos;
      return true;
    }
    if (!(f & 2)) {
      p = true;
      dL = (f >> 5) + 1u;
      dA = ((f >> 2) & 7u) + 1;
      ++pos;
      return true;
    }
    p = (f & 4) != 0;
    if (!(f & 8)) {
      if (end - pos < 2) return false;
      const uint32_t w = Le16(pos);
      pos += 2;
      dL = (w >> 11) + 1;
      dA = ((w >> 4) & 0x7F) + 1;
      return true;
    }
    if (end - pos < 4) return false;
    const uint32_t c = Le32(pos) >> 4;
    pos += 4;
    if (c == kExtendedMarker && HasExtendedEntry(version)) {
      if (end - pos < 4) return false;
      dL = Le16(pos) + 1;
      dA = Le16(pos + 2) + 1;
      pos += 4;
      return true;
    }
    dL = (c & 0xFFFF) + 1;
    dA = (c >> 16) == 0xFFF ? 0 : (c >> 16) + 1;
    return true;
  }

 private:
  uint32_t Le16(size_t at) const { return uint32_t(p_[at]) | uint32_t(p_[at + 1]) << 8; }
  uint32_t Le32(size_t at) const { return Le16(at) | Le16(at + 2) << 16; }
  const uint8_t* p_;
  size_t size_;
};

// The shown text of a name field read by TReader::NameField: parts deciphered (or XORed in old
// layouts), or "?p" + Base64 of the enciphered bytes when the password was not accepted; parts
// joined with ".".
std::string ShowName(std::string_view field, uint16_t version, bool accepted) {
  std::string name;
  const bool split = NamesSplit(version);
  size_t pos = 0;
  for (bool first = true;; first = false) {
    const uint8_t lengthByte = uint8_t(field[pos++]);
    const bool more = split && (lengthByte & 0x80);
    const size_t length = more ? (lengthByte & 0x7F) : lengthByte;
    const std::string_view raw = field.substr(pos, length);
    pos += length;
    if (!first) name += '.';
    if (!NamesEnciphered(version)) {
      for (char c : raw) name += char(uint8_t(c) ^ DebugInfoOldNameXor);
    } else if (accepted) {
      const size_t at = name.size();
      name += raw;
      CipherDecrypt(name.data() + at, length);
    } else {
      name += "?p";
      name += Base64Encode(raw);
    }
    if (!more) return name;
  }
}

}  // namespace

// ---------------------------------------------------------------------------------------------

class TDebugIndexBuilder {
 public:
  TDebugIndexBuilder(TDebugIndex& index, const TDebugModule& module)
      : x_(index),
        stream_(module.Stream),
        version_(module.Version),
        accepted_(module.PasswordAccepted || !NamesEnciphered(module.Version)),
        base_(int64_t(module.Handle) + 4096) {
    if (NamesEnciphered(version_) && module.PasswordAccepted) DebugCipherUsePassword(module.Password);
    x_.nameEnds_.push_back(0);  // name 0 is "": an empty class is index 0
    nameIds_.emplace(std::string(), 0);
  }

  void Run() {
    ReadHeaders();
    FindPieces();
    for (size_t u = 0; u < units_.size(); ++u)
      if (units_[u].PieceBegin != units_[u].PieceEnd) DecodeUnit(units_[u]);
    Finish();
  }

 private:
  struct TUnit {
    std::string_view NameField;
    int64_t FirstLine = 0;
    uint32_t Start = 0;
    int64_t Low = 0, High = 0;  // absolute, High clipped to 32 bits; empty when High < Low
    size_t TableBegin = 0, TableEnd = 0;
    size_t PieceBegin = 0, PieceEnd = 0;  // the parts of [Low, High] no earlier unit holds
  };
  struct TPiece {
    int64_t Low, High;
  };
  struct TItem {
    uint64_t Low, High;
    uint32_t Context, LineDelta;
  };
  struct TProcName {
    bool SameClass;  // stored as ".Name": the class is the remembered one
    uint32_t Class, Name;
  };

  // Unit headers in stream order, up to the first that cannot be read (DebugLookup answers
  // "no" for every address no earlier unit holds once it meets that header).
  void ReadHeaders() {
    TReader r(stream_);
    const size_t size = r.Size();
    if (HasOldPrefix(version_)) {
      uint32_t n;
      if (!r.U32(n, size) || !r.Skip(n, size)) return;
    }
    uint32_t count;
    if (!r.U32(count, size)) return;
    for (uint32_t u = 0; u < count; ++u) {
      TUnit unit;
      uint32_t firstLine, unitSize, tableLength;
      if (!r.NameField(version_, unit.NameField, size) || !r.U32(firstLine, size) || !r.U32(unit.Start, size) ||
          !r.U32(unitSize, size) || !r.U32(tableLength, size))
        break;
      unit.FirstLine = int32_t(firstLine);
      unit.TableBegin = r.pos;
      unit.TableEnd = tableLength > size - r.pos ? size : r.pos + tableLength;
      r.pos = unit.TableEnd;
      unit.Low = base_ + unit.Start;
      unit.High = std::min(base_ + int64_t(unit.Start) + unitSize - 1, kMaxAddress);
      units_.push_back(unit);
    }
    x_.unitCount_ = units_.size();
  }

  // Where units overlap the first in stream order wins: each unit gets the pieces of its range
  // that no earlier unit holds.
  void FindPieces() {
    std::map<int64_t, int64_t> held;  // disjoint, non-adjacent [first, second] held so far
    for (TUnit& unit : units_) {
      unit.PieceBegin = unit.PieceEnd = pieces_.size();
      if (unit.High < unit.Low) continue;
      const int64_t low = unit.Low, high = unit.High;
      auto it = held.upper_bound(low);
      if (it != held.begin() && std::prev(it)->second + 1 >= low) --it;
      int64_t next = low, mergedLow = low, mergedHigh = high;
      while (it != held.end() && it->first <= high + 1) {
        if (it->first > next && next <= high) pieces_.push_back({next, std::min(it->first - 1, high)});
        next = std::max(next, it->second + 1);
        mergedLow = std::min(mergedLow, it->first);
        mergedHigh = std::max(mergedHigh, it->second);
        it = held.erase(it);
      }
      if (next <= high) pieces_.push_back({next, high});
      held.emplace_hint(it, mergedLow, mergedHigh);
      unit.PieceEnd = pieces_.size();
    }
  }

  uint32_t Intern(std::string&& name) {
    auto [it, added] = nameIds_.try_emplace(std::move(name), uint32_t(x_.nameEnds_.size()));
    if (added) {
      x_.names_ += it->first;
      x_.nameEnds_.push_back(x_.names_.size());
    }
    return it->second;
  }

  uint32_t UnitName(std::string_view field) {
    auto it = unitNames_.find(field);
    if (it != unitNames_.end()) return it->second;
    std::string name = ShowName(field, version_, accepted_);
    if (accepted_ && name.find('.') == std::string::npos) name += ".pas";
    return unitNames_[field] = Intern(std::move(name));
  }

  // Class and name of a stored procedure name, split the way DebugLookup splits them.
  const TProcName& ProcName(std::string_view field) {
    auto it = procNames_.find(field);
    if (it != procNames_.end()) return it->second;
    std::string stored = ShowName(field, version_, accepted_);
    TProcName proc{false, 0, 0};
    std::string name;
    if (!stored.empty() && stored[0] == '.') {
      proc.SameClass = true;
      name = stored.substr(1);
    } else if (size_t dot = stored.find('.'); dot != std::string::npos) {
      proc.Class = Intern(stored.substr(0, dot));
      name = stored.substr(dot + 1);
    } else {
      name = std::move(stored);
    }
    if (!name.empty() && name[0] == '@') name[0] = '_';
    proc.Name = Intern(std::move(name));
    return procNames_.emplace(field, proc).first->second;
  }

  // Decodes the line table of a unit that holds at least one piece, as DebugLookup walks it for
  // an address of that unit: each entry's range [offset, offset + dA) has the state before the
  // entry; the table ends at its length or at the first entry (or procedure name) that cannot be
  // read; the rest of the unit has the state reached then.
  void DecodeUnit(const TUnit& unit) {
    TReader r(stream_);
    r.pos = unit.TableBegin;
    const size_t end = unit.TableEnd;
    const TPiece* piece = pieces_.data() + unit.PieceBegin;
    const TPiece* const pieceEnd = pieces_.data() + unit.PieceEnd;
    const int64_t lastHigh = pieceEnd[-1].High;

    TDebugIndex::TContext state;
    state.Unit = UnitName(unit.NameField);
    int64_t context = -1;  // index of the context holding `state`, -1 until a range needs it
    uint32_t rememberedClass = 0;
    int64_t line = unit.FirstLine, offset = base_ + unit.Start;  // offset: absolute

    // Adds the parts of [low, high] inside the unit's pieces, with the current state and `line`.
    auto emit = [&](int64_t low, int64_t high) {
      while (piece != pieceEnd && piece->High < low) ++piece;
      for (const TPiece* p = piece; p != pieceEnd && p->Low <= high; ++p) {
        if (context < 0 || line - state.BaseLine > int64_t(UINT32_MAX)) {
          state.BaseLine = line;
          context = int64_t(x_.contexts_.size());
          x_.contexts_.push_back(state);
        }
        items_.push_back({uint64_t(std::max(low, p->Low)), uint64_t(std::min(high, p->High)), uint32_t(context),
                          uint32_t(line - state.BaseLine)});
      }
    };
    auto startProcedure = [&](uint32_t cls, uint32_t name, int64_t startLine, int64_t startAddress) {
      state.Class = cls;
      state.Procedure = name;
      state.Flags = TDebugIndex::kHasStart;
      const std::string_view text = x_.Name(name);
      if (text == "Initialization") state.Flags |= TDebugIndex::kInitialization;
      if (text == "Finalization") state.Flags |= TDebugIndex::kFinalization;
      state.StartLine = startLine;
      state.StartAddress = startAddress;
      context = -1;
    };

    while (r.pos < end) {
      // Past the last piece nothing more can be named from this unit.
      if (offset > lastHigh) return;
      uint32_t dL, dA;
      bool p;
      if (!r.Entry(version_, dL, dA, p, end)) break;
      const int64_t newLine = line + dL, newOffset = offset + dA;
      uint32_t cls = 0, name = 0;
      if (p) {
        std::string_view field;
        if (!r.NameField(version_, field, end)) {
          // DebugLookup has already taken this entry's line and address as the procedure's
          // start, but not its name: the rest of the unit counts from there.
          startProcedure(state.Class, state.Procedure, newLine, newOffset);
          break;
        }
        const TProcName& proc = ProcName(field);
        cls = proc.SameClass ? rememberedClass : proc.Class;
        name = proc.Name;
        if (cls != 0) rememberedClass = cls;
      }
      if (dA != 0) emit(offset, newOffset - 1);
      if (p) startProcedure(cls, name, newLine, newOffset);
      line = newLine;
      offset = newOffset;
    }
    if (offset <= unit.High) emit(offset, unit.High);
  }

  // Ranges sorted by address, with a gap range wherever no unit holds the addresses.
  void Finish() {
    if (!std::is_sorted(items_.begin(), items_.end(), [](const TItem& a, const TItem& b) { return a.Low < b.Low; }))
      std::sort(items_.begin(), items_.end(), [](const TItem& a, const TItem& b) { return a.Low < b.Low; });
    x_.lows_.reserve(items_.size() + 1);
    x_.ranges_.reserve(items_.size() + 1);
    int64_t next = -1;  // the address after the previous item
    for (const TItem& item : items_) {
      if (next >= 0 && item.Low != uint64_t(next)) {
        x_.lows_.push_back(uint64_t(next));
        x_.ranges_.push_back({TDebugIndex::kGap, 0});
      }
      x_.lows_.push_back(item.Low);
      x_.ranges_.push_back({item.Context, item.LineDelta});
      next = int64_t(item.High) + 1;
    }
    if (next >= 0 && next <= kMaxAddress) {
      x_.lows_.push_back(uint64_t(next));
      x_.ranges_.push_back({TDebugIndex::kGap, 0});
    }
    x_.lows_.shrink_to_fit();
    x_.ranges_.shrink_to_fit();
    x_.contexts_.shrink_to_fit();
    x_.names_.shrink_to_fit();
    x_.nameEnds_.shrink_to_fit();
  }

  TDebugIndex& x_;
  std::string_view stream_;
  uint16_t version_;
  bool accepted_;
  int64_t base_;
  std::vector<TUnit> units_;
  std::vector<TPiece> pieces_;
  std::vector<TItem> items_;
  std::unordered_map<std::string, uint32_t> nameIds_;
  std::unordered_map<std::string_view, uint32_t> unitNames_;    // by name field as stored
  std::unordered_map<std::string_view, TProcName> procNames_;   // by name field as stored
};

TDebugIndex::TDebugIndex(const TDebugModule& module) : readCode_(module.ReadCode), handle_(module.Handle) {
  TDebugIndexBuilder(*this, module).Run();
}

bool TDebugIndex::Lookup(uint64_t address, TDebugHit& hit) const {
  auto it = std::upper_bound(lows_.begin(), lows_.end(), address);
  if (it == lows_.begin()) return false;
  const TRange& range = ranges_[size_t(it - lows_.begin()) - 1];
  if (range.Context == kGap) return false;
  const TContext& c = contexts_[range.Context];
  const int64_t line = c.BaseLine + range.LineDelta;
  hit.Unit = Name(c.Unit);
  hit.Class = Name(c.Class);
  hit.Procedure = Name(c.Procedure);
  hit.Line = static_cast<int32_t>(std::clamp<int64_t>(line, INT32_MIN, INT32_MAX));
  hit.LineOffset = 0;
  if (c.Flags & kHasStart) {
    int64_t startLine = c.StartLine;
    bool lower = (c.Flags & kFinalization) != 0;
    if (!lower && !(c.Flags & kInitialization) && readCode_ && c.StartAddress >= 0) {
      lower = StartLacksFrame(readCode_, uint64_t(c.StartAddress));
    }
    if (lower) --startLine;
    hit.LineOffset = static_cast<int32_t>(std::clamp<int64_t>(line - startLine, 0, INT32_MAX));
  }
  return true;
}

size_t TDebugIndex::MemoryBytes() const {
  return lows_.capacity() * sizeof(uint64_t) + ranges_.capacity() * sizeof(TRange) +
         contexts_.capacity() * sizeof(TContext) + names_.capacity() + nameEnds_.capacity() * sizeof(size_t);
}

std::vector<TDebugIndex::TRangeView> TDebugIndex::Ranges() const {
  std::vector<TRangeView> out;
  for (size_t i = 0; i < lows_.size(); ++i) {
    if (ranges_[i].Context == kGap) continue;
    out.push_back({lows_[i], i + 1 < lows_.size() ? lows_[i + 1] - 1 : uint64_t(kMaxAddress)});
  }
  return out;
}
