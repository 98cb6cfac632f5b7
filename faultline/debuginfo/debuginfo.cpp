#include "faultline/debuginfo/debuginfo.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <optional>

#include "faultline/codecs/codecs.h"

namespace {

// ---------------------------------------------------------------------------------------------
// Bounded reading. Every read checks the end it is given; a short read reports failure instead
// of touching bytes outside the stream.

class TBoundedReader {
 public:
  TBoundedReader(std::string_view bytes) : bytes_(bytes) {}
  size_t Pos() const { return pos_; }
  size_t Size() const { return bytes_.size(); }
  void Seek(size_t pos) { pos_ = std::min(pos, bytes_.size()); }

  bool Byte(uint8_t& v, size_t end) {
    if (pos_ + 1 > end) return false;
    v = static_cast<uint8_t>(bytes_[pos_++]);
    return true;
  }
  bool U16(uint32_t& v, size_t end) {
    if (pos_ + 2 > end) return false;
    v = Load(2);
    return true;
  }
  bool U32(uint32_t& v, size_t end) {
    if (pos_ + 4 > end) return false;
    v = Load(4);
    return true;
  }
  bool Bytes(std::string_view& v, size_t n, size_t end) {
    if (n > end || pos_ > end - n) return false;
    v = bytes_.substr(pos_, n);
    pos_ += n;
    return true;
  }

 private:
  uint32_t Load(int n) {
    uint32_t v = 0;
    for (int i = 0; i < n; ++i) v |= uint32_t(static_cast<uint8_t>(bytes_[pos_ + i])) << (8 * i);
    pos_ += n;
    return v;
  }
  std::string_view bytes_;
  size_t pos_ = 0;
};

void PutU16(std::string& out, uint32_t v) {
  out += char(v & 0xFF);
  out += char((v >> 8) & 0xFF);
}
void PutU32(std::string& out, uint32_t v) {
  PutU16(out, v & 0xFFFF);
  PutU16(out, v >> 16);
}

bool HasOldPrefix(uint16_t version) { return version >= 405 && version <= 499; }
bool NamesEnciphered(uint16_t version) { return version >= 500; }
bool NamesSplit(uint16_t version) { return version > 501; }
bool HasExtendedEntry(uint16_t version) { return version > 422; }
constexpr uint32_t kExtendedMarker = 0x0FFEFFFE;

// ---------------------------------------------------------------------------------------------
// Name fields

void EncodeNamePart(std::string& out, std::string_view part, uint8_t lengthByte, uint16_t version) {
  std::string bytes(part);
  if (NamesEnciphered(version)) {
    CipherEncrypt(bytes.data(), bytes.size());
  } else {
    for (auto& c : bytes) c = char(uint8_t(c) ^ DebugInfoOldNameXor);
  }
  out += char(lengthByte);
  out += bytes;
}

void EncodeName(std::string& out, std::string_view name, uint16_t version) {
  if (!NamesSplit(version)) {
    name = name.substr(0, 255);
    EncodeNamePart(out, name, uint8_t(name.size()), version);
    return;
  }
  // Above version 501 a length byte holds 7 bits; longer names are chained at a "." (bit 7 set
  // means another name field follows, joined with "."). A name with no "." early enough is cut.
  while (name.size() > 127) {
    size_t dot = name.substr(0, 128).rfind('.');
    if (dot == std::string_view::npos) {
      name = name.substr(0, 127);
      break;
    }
    EncodeNamePart(out, name.substr(0, dot), uint8_t(0x80 | dot), version);
    name = name.substr(dot + 1);
  }
  EncodeNamePart(out, name, uint8_t(name.size()), version);
}

// Reads a name field with its chained parts, as stored.
bool ReadNameParts(TBoundedReader& r, size_t end, uint16_t version, std::vector<std::string_view>& parts) {
  parts.clear();
  for (;;) {
    uint8_t lengthByte;
    if (!r.Byte(lengthByte, end)) return false;
    bool more = NamesSplit(version) && (lengthByte & 0x80);
    size_t length = more ? (lengthByte & 0x7F) : lengthByte;
    std::string_view raw;
    if (!r.Bytes(raw, length, end)) return false;
    parts.push_back(raw);
    if (!more) return true;
  }
}

// The shown text of a name: deciphered, or, when the password was not accepted, "?p" + Base64 of
// the enciphered bytes, per part.
std::string ShowName(const std::vector<std::string_view>& parts, uint16_t version, bool accepted) {
  std::string name;
  for (size_t i = 0; i < parts.size(); ++i) {
    std::string part(parts[i]);
    if (!NamesEnciphered(version)) {
      for (auto& c : part) c = char(uint8_t(c) ^ DebugInfoOldNameXor);
    } else if (accepted) {
      CipherDecrypt(part.data(), part.size());
    } else {
      part = "?p" + Base64Encode(parts[i]);
    }
    if (i) name += '.';
    name += part;
  }
  return name;
}

bool ReadName(TBoundedReader& r, size_t end, uint16_t version, bool accepted, std::string& name) {
  std::vector<std::string_view> parts;
  if (!ReadNameParts(r, end, version, parts)) return false;
  name = ShowName(parts, version, accepted);
  return true;
}

// ---------------------------------------------------------------------------------------------
// Line entries

void EncodeEntry(std::string& out, uint32_t dL, uint32_t dA, bool p, uint16_t version) {
  if (dL < 1) throw EDebugInfoError("line entry without a line step");
  if (!p && dL <= 4 && dA >= 1 && dA <= 32) {
    out += char(((dL - 1) << 6) | ((dA - 1) << 1));
    return;
  }
  if (p && dL <= 8 && dA >= 1 && dA <= 8) {
    out += char(((dL - 1) << 5) | ((dA - 1) << 2) | 1);
    return;
  }
  uint32_t pBit = p ? 4 : 0;
  if (dL <= 32 && dA >= 1 && dA <= 128) {
    PutU16(out, ((dL - 1) << 11) | ((dA - 1) << 4) | pBit | 3);
    return;
  }
  if (dL <= 0x10000 && dA <= 0xFFF) {
    uint32_t high = dA == 0 ? 0xFFF : dA - 1;
    uint32_t c = (high << 16) | (dL - 1);
    if (!(HasExtendedEntry(version) && c == kExtendedMarker)) {
      PutU32(out, (c << 4) | 8 | pBit | 3);
      return;
    }
  }
  if (HasExtendedEntry(version) && dL <= 0x10000 && dA >= 1 && dA <= 0x10000) {
    PutU32(out, (kExtendedMarker << 4) | 8 | pBit | 3);
    PutU16(out, dL - 1);
    PutU16(out, dA - 1);
    return;
  }
  throw EDebugInfoError("line entry out of range: line step " + std::to_string(dL) + ", address step " +
                        std::to_string(dA));
}

bool ReadEntry(TBoundedReader& r, size_t end, uint16_t version, uint32_t& dL, uint32_t& dA, bool& p) {
  uint8_t f;
  size_t start = r.Pos();
  if (!r.Byte(f, end)) return false;
  if (!(f & 1)) {
    p = false;
    dL = (f >> 6) + 1;
    dA = ((f >> 1) & 0x1F) + 1;
    return true;
  }
  if (!(f & 2)) {
    p = true;
    dL = (f >> 5) + 1;
    dA = ((f >> 2) & 7) + 1;
    return true;
  }
  r.Seek(start);
  p = (f & 4) != 0;
  if (!(f & 8)) {
    uint32_t w;
    if (!r.U16(w, end)) return false;
    dL = (w >> 11) + 1;
    dA = ((w >> 4) & 0x7F) + 1;
    return true;
  }
  uint32_t d;
  if (!r.U32(d, end)) return false;
  uint32_t c = d >> 4;
  if (c == kExtendedMarker && HasExtendedEntry(version)) {
    uint32_t a, b;
    if (!r.U16(a, end) || !r.U16(b, end)) return false;
    dL = a + 1;
    dA = b + 1;
    return true;
  }
  dL = (c & 0xFFFF) + 1;
  dA = (c >> 16) == 0xFFF ? 0 : (c >> 16) + 1;
  return true;
}

// Splits a stored procedure name into class and name the way the lookup shows it.
void SplitProcedureName(const std::string& stored, std::string& rememberedClass, std::string& cls,
                        std::string& name) {
  if (!stored.empty() && stored[0] == '.') {
    cls = rememberedClass;
    name = stored.substr(1);
  } else if (size_t dot = stored.find('.'); dot != std::string::npos) {
    cls = stored.substr(0, dot);
    name = stored.substr(dot + 1);
  } else {
    cls.clear();
    name = stored;
  }
  if (!name.empty() && name[0] == '@') name[0] = '_';
  if (!cls.empty()) rememberedClass = cls;
}

// The unit header; the name is left as stored (deciphering it is only worth it for the unit
// that holds the address).
bool ReadUnitHeader(TBoundedReader& r, uint16_t version, std::vector<std::string_view>& nameParts, TDebugUnit& unit,
                    uint32_t& tableLength) {
  size_t end = r.Size();
  uint32_t firstLine;
  if (!ReadNameParts(r, end, version, nameParts)) return false;
  if (!r.U32(firstLine, end) || !r.U32(unit.Start, end) || !r.U32(unit.Size, end) || !r.U32(tableLength, end))
    return false;
  unit.FirstLine = static_cast<int32_t>(firstLine);
  return true;
}

bool SkipPrefix(TBoundedReader& r, uint16_t version, uint32_t& unitCount) {
  if (HasOldPrefix(version)) {
    uint32_t n;
    std::string_view skipped;
    if (!r.U32(n, r.Size()) || !r.Bytes(skipped, n, r.Size())) return false;
  }
  return r.U32(unitCount, r.Size());
}

}  // namespace

// The key is remembered by the cipher itself, so a key set elsewhere in between (the log's XML
// export deciphers names too) is never mistaken for this password's key.
void DebugCipherUsePassword(const std::string& password) { CipherSetKey(password); }

// ---------------------------------------------------------------------------------------------

std::string EncodeDebugInfo(const std::vector<TDebugUnit>& units, uint16_t version) {
  std::string out;
  if (HasOldPrefix(version)) PutU32(out, 0);
  PutU32(out, static_cast<uint32_t>(units.size()));
  for (const TDebugUnit& unit : units) {
    EncodeName(out, unit.Name, version);
    PutU32(out, static_cast<uint32_t>(unit.FirstLine));
    PutU32(out, unit.Start);
    PutU32(out, unit.Size);
    std::string table;
    std::string rememberedClass;
    for (const TDebugLineEntry& e : unit.Entries) {
      EncodeEntry(table, e.LineDelta, e.AddrDelta, e.NewProcedure, version);
      if (!e.NewProcedure) continue;
      if (e.ProcClass.find('.') != std::string::npos || (e.ProcClass.empty() && e.ProcName.find('.') != std::string::npos))
        throw EDebugInfoError("procedure name cannot be stored: " + e.ProcClass + "." + e.ProcName);
      std::string stored;
      if (e.ProcClass.empty()) {
        stored = e.ProcName;
      } else if (e.ProcClass == rememberedClass) {
        stored = "." + e.ProcName;
      } else {
        stored = e.ProcClass + "." + e.ProcName;
      }
      if (!e.ProcClass.empty()) rememberedClass = e.ProcClass;
      EncodeName(table, stored, version);
    }
    PutU32(out, static_cast<uint32_t>(table.size()));
    out += table;
  }
  return out;
}

std::vector<TDebugUnit> DecodeDebugInfo(std::string_view stream, uint16_t version) {
  TBoundedReader r(stream);
  uint32_t count;
  if (!SkipPrefix(r, version, count)) throw EDebugInfoError("debug information too short");
  std::vector<TDebugUnit> units;
  for (uint32_t u = 0; u < count; ++u) {
    TDebugUnit unit;
    uint32_t tableLength;
    std::vector<std::string_view> nameParts;
    if (!ReadUnitHeader(r, version, nameParts, unit, tableLength)) throw EDebugInfoError("unit header cut short");
    unit.Name = ShowName(nameParts, version, true);
    if (tableLength > r.Size() - r.Pos()) throw EDebugInfoError("line table longer than the stream");
    size_t end = r.Pos() + tableLength;
    std::string rememberedClass;
    while (r.Pos() < end) {
      TDebugLineEntry e;
      if (!ReadEntry(r, end, version, e.LineDelta, e.AddrDelta, e.NewProcedure))
        throw EDebugInfoError("line entry cut short");
      if (e.NewProcedure) {
        std::string stored;
        if (!ReadName(r, end, version, true, stored)) throw EDebugInfoError("procedure name cut short");
        SplitProcedureName(stored, rememberedClass, e.ProcClass, e.ProcName);
      }
      unit.Entries.push_back(std::move(e));
    }
    units.push_back(std::move(unit));
  }
  return units;
}

bool StartLacksFrame(const std::function<bool(uint64_t address, void* buffer, size_t size)>& readCode,
                     uint64_t start) {
  uint8_t code[4] = {};
  if (!readCode(start, code, 4)) {
    code[3] = 0;
    if (!readCode(start, code, 3)) return false;
  }
  return !StartsWithFrame(code) && code[0] != 0x53;
}

bool DebugLookup(const TDebugModule& module, uint64_t address, TDebugHit& hit) {
  const uint16_t version = module.Version;
  const bool accepted = module.PasswordAccepted || !NamesEnciphered(version);
  if (NamesEnciphered(version) && module.PasswordAccepted) DebugCipherUsePassword(module.Password);
  // 64-bit absolute addresses: a damaged offset must not wrap around into a false hit.
  const int64_t base = int64_t(module.Handle) + 4096;
  if (address > uint64_t(INT64_MAX)) return false;
  const int64_t a = int64_t(address);
  auto absolute = [&](int64_t offset) { return base + offset; };

  TBoundedReader r(module.Stream);
  uint32_t count;
  if (!SkipPrefix(r, version, count)) return false;
  std::vector<std::string_view> nameParts;
  for (uint32_t u = 0; u < count; ++u) {
    TDebugUnit unit;
    uint32_t tableLength;
    if (!ReadUnitHeader(r, version, nameParts, unit, tableLength)) return false;
    // A damaged length reaches at most to the end of the stream (the sum could wrap on a 32-bit
    // build and send the reader backwards).
    const size_t tableEnd = tableLength > r.Size() - r.Pos() ? r.Size() : r.Pos() + tableLength;
    const int64_t unitLow = absolute(unit.Start), unitHigh = absolute(int64_t(unit.Start) + unit.Size - 1);
    if (a < unitLow || a > unitHigh) {
      r.Seek(tableEnd);
      continue;
    }
    unit.Name = ShowName(nameParts, version, accepted);
    if (accepted && unit.Name.find('.') == std::string::npos) unit.Name += ".pas";

    int64_t line = unit.FirstLine, offset = unit.Start;
    std::string procName, procClass, rememberedClass;
    std::optional<int64_t> procStartLine, procStartAddress, pendingLine, pendingAddress;
    std::string procStartName;  // the name the procedure-start rule looks at
    bool found = false, passed = false;
    auto applyPending = [&] {
      if (!pendingLine) return;
      procStartLine = pendingLine;
      procStartAddress = pendingAddress;
      pendingLine.reset();
    };
    while (r.Pos() < tableEnd) {
      applyPending();
      uint32_t dL, dA;
      bool p;
      if (!ReadEntry(r, tableEnd, version, dL, dA, p)) break;
      int64_t newLine = line + dL, newOffset = offset + dA;
      std::string newName, newClass;
      if (p) {
        pendingLine = newLine;
        pendingAddress = absolute(newOffset);
        std::string stored;
        if (!ReadName(r, tableEnd, version, accepted, stored)) break;
        SplitProcedureName(stored, rememberedClass, newClass, newName);
      }
      if (a >= absolute(offset) && a <= absolute(newOffset - 1)) {
        found = true;
        break;
      }
      if (p) {
        procName = newName;
        procClass = newClass;
      }
      line = newLine;
      offset = newOffset;
      if (absolute(offset) > a) {
        passed = true;
        break;
      }
    }
    if (!found && !passed) {
      // The tail of the unit after the last entry belongs to the last line. A procedure that
      // starts with the last entry counts its line offsets from its own first line.
      applyPending();
      found = a >= absolute(offset) && a <= unitHigh;
    }
    if (!found) return false;

    hit.Unit = unit.Name;
    hit.Class = procClass;
    hit.Procedure = procName;
    hit.Line = static_cast<int32_t>(std::clamp<int64_t>(line, INT32_MIN, INT32_MAX));
    hit.LineOffset = 0;
    if (procStartLine) {
      int64_t startLine = *procStartLine;
      bool lower = procName == "Finalization";
      if (!lower && procName != "Initialization" && module.ReadCode && *procStartAddress >= 0) {
        lower = StartLacksFrame(module.ReadCode, uint64_t(*procStartAddress));
      }
      if (lower) --startLine;
      hit.LineOffset = static_cast<int32_t>(std::clamp<int64_t>(line - startLine, 0, INT32_MAX));
    }
    return true;
  }
  return false;
}

// ---------------------------------------------------------------------------------------------
// Building units

namespace {

struct TSegment {
  uint32_t Low, High;  // [Low, High)
  const std::string* File;
  int32_t Line;
  int Proc;  // index into the procedures, -1 for none
};

// Code that no row covers but lies within this many bytes of the previous segment (alignment
// padding between procedures) is left to the previous line instead of starting a new unit.
constexpr uint32_t kMaxAbsorbedGap = 16;

std::string NoDots(std::string s) {
  std::replace(s.begin(), s.end(), '.', '_');
  if (!s.empty() && s[0] == '@') s[0] = '_';
  return s;
}

}  // namespace

std::vector<TDebugUnit> BuildDebugUnits(std::vector<TDebugSourceRow> rows, std::vector<TDebugProcedure> procedures) {
  // Segments: [row, next row of the same sequence) with the file and line of the row; at equal
  // offsets the last row wins.
  std::vector<TSegment> segs;
  for (size_t i = 0; i + 1 < rows.size(); ++i) {
    const TDebugSourceRow& row = rows[i];
    if (row.EndSequence || row.Line <= 0) continue;
    const TDebugSourceRow& next = rows[i + 1];
    if (next.Offset <= row.Offset) continue;
    segs.push_back({row.Offset, next.Offset, &row.File, row.Line, -1});
  }
  std::sort(segs.begin(), segs.end(), [](const TSegment& x, const TSegment& y) { return x.Low < y.Low; });

  // Procedures: names made storable, sorted; split segments at procedure bounds.
  for (auto& p : procedures) {
    p.Class = NoDots(p.Class);
    p.Name = NoDots(p.Name);
  }
  procedures.erase(std::remove_if(procedures.begin(), procedures.end(),
                                  [](const TDebugProcedure& p) { return p.High <= p.Low; }),
                   procedures.end());
  std::sort(procedures.begin(), procedures.end(),
            [](const TDebugProcedure& x, const TDebugProcedure& y) { return x.Low < y.Low; });
  std::vector<uint32_t> bounds;
  for (const auto& p : procedures) {
    bounds.push_back(p.Low);
    bounds.push_back(p.High);
  }
  std::sort(bounds.begin(), bounds.end());
  bounds.erase(std::unique(bounds.begin(), bounds.end()), bounds.end());
  // The innermost procedure holding an offset: the latest-starting one whose range contains it.
  auto procAt = [&](uint32_t offset) {
    auto it = std::upper_bound(procedures.begin(), procedures.end(), offset,
                               [](uint32_t o, const TDebugProcedure& p) { return o < p.Low; });
    // Procedures nest only a little (none at all without inlining): a few steps back suffice.
    for (int steps = 0; it != procedures.begin() && steps < 32; ++steps) {
      --it;
      if (offset < it->High) return int(it - procedures.begin());
    }
    return -1;
  };
  std::vector<TSegment> split;
  for (const TSegment& s : segs) {
    uint32_t low = s.Low;
    auto b = std::upper_bound(bounds.begin(), bounds.end(), low);
    while (low < s.High) {
      uint32_t high = (b != bounds.end() && *b < s.High) ? *b++ : s.High;
      TSegment piece = s;
      piece.Low = low;
      piece.High = high;
      piece.Proc = procAt(low);
      // Merge with the previous piece when nothing changes.
      if (!split.empty()) {
        TSegment& last = split.back();
        if (last.High == piece.Low && *last.File == *piece.File && last.Line == piece.Line && last.Proc == piece.Proc) {
          last.High = piece.High;
          low = high;
          continue;
        }
      }
      split.push_back(piece);
      low = high;
    }
  }

  std::vector<TDebugUnit> units;
  TDebugUnit* unit = nullptr;
  int64_t curLine = 0;
  uint32_t curOffset = 0, unitEnd = 0;
  int curProc = -1;

  auto nameEntry = [&](uint32_t dL, uint32_t dA, int proc) {
    TDebugLineEntry e;
    e.LineDelta = dL;
    e.AddrDelta = dA;
    e.NewProcedure = true;
    if (proc >= 0) {
      e.ProcClass = procedures[proc].Class;
      e.ProcName = procedures[proc].Name;
    }
    unit->Entries.push_back(std::move(e));
  };
  auto plainEntry = [&](uint32_t dL, uint32_t dA) {
    TDebugLineEntry e;
    e.LineDelta = dL;
    e.AddrDelta = dA;
    unit->Entries.push_back(std::move(e));
  };

  for (const TSegment& s : split) {
    bool fits = unit && *s.File == unit->Name && s.Low >= unitEnd && s.Low - unitEnd <= kMaxAbsorbedGap &&
                s.Line > curLine && s.Line - curLine <= 0x10000 && s.Low - curOffset <= 0x10000 &&
                s.Low > curOffset;
    if (fits) {
      uint32_t dA = s.Low - curOffset;
      if (s.Proc != curProc) {
        int64_t decl = s.Proc >= 0 ? procedures[s.Proc].DeclLine : 0;
        if (decl > curLine && decl < s.Line) {
          // Name the procedure at its declaration line so that line offsets count from there.
          nameEntry(uint32_t(decl - curLine), dA, s.Proc);
          plainEntry(uint32_t(s.Line - decl), 0);
        } else {
          nameEntry(uint32_t(s.Line - curLine), dA, s.Proc);
        }
      } else {
        plainEntry(uint32_t(s.Line - curLine), dA);
      }
    } else {
      units.emplace_back();
      unit = &units.back();
      unit->Name = *s.File;
      unit->Start = s.Low;
      if (s.Proc >= 0) {
        int64_t decl = procedures[s.Proc].DeclLine;
        if (decl > 0 && decl < s.Line && s.Line - decl < 0x10000) {
          unit->FirstLine = int32_t(decl - 1);
          nameEntry(1, 0, s.Proc);
          plainEntry(uint32_t(s.Line - decl), 0);
        } else {
          unit->FirstLine = s.Line - 1;
          nameEntry(1, 0, s.Proc);
        }
      } else {
        unit->FirstLine = s.Line;
      }
    }
    curLine = s.Line;
    curOffset = s.Low;
    curProc = s.Proc;
    unitEnd = s.High;
    unit->Size = unitEnd - unit->Start;
  }
  return units;
}
