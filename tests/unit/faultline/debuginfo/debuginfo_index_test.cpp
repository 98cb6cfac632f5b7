// The debug-information index answers exactly as DebugLookup does: on hand-made streams for every
// address around them (every line-entry encoding and layout, overlapping and shadowed units,
// gaps, the procedure-start rule, refused passwords, line and address limits, truncated and
// damaged streams), and on the containers fldata embedded in the wizard and in the 11 MB Windows
// test program (shell_helpers_test.exe), for every address of their code.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <optional>
#include <random>
#include <sstream>
#include <stdexcept>

#include <time.h>

#include "faultline/codecs/codecs.h"
#include "faultline/debuginfo/debuginfo.h"
#include "faultline/debuginfo/debuginfo_index.h"
#include "faultline/options/container.h"

namespace {

TDebugLineEntry E(uint32_t dL, uint32_t dA) { return {dL, dA, false, "", ""}; }
TDebugLineEntry P(uint32_t dL, uint32_t dA, std::string cls, std::string name) {
  return {dL, dA, true, std::move(cls), std::move(name)};
}

std::string Describe(bool found, const TDebugHit& h) {
  if (!found) return "(miss)";
  std::ostringstream s;
  s << h.Unit << " | " << h.Class << " | " << h.Procedure << " | " << h.Line << " [" << h.LineOffset << "]";
  return s.str();
}

// One address through both: same result, same hit, and a miss leaves the hit as it was.
::testing::AssertionResult Agree(const TDebugModule& module, const TDebugIndex& index, uint64_t address) {
  TDebugHit ref{"unit?", "class?", "proc?", -7, -8}, ours = ref;
  bool a = DebugLookup(module, address, ref);
  bool b = index.Lookup(address, ours);
  if (a == b && ref.Unit == ours.Unit && ref.Class == ours.Class && ref.Procedure == ours.Procedure &&
      ref.Line == ours.Line && ref.LineOffset == ours.LineOffset)
    return ::testing::AssertionSuccess();
  char at[24];
  std::snprintf(at, sizeof at, "%08llX", static_cast<unsigned long long>(address));
  return ::testing::AssertionFailure() << "address " << at << ": DebugLookup " << Describe(a, ref) << ", index "
                                       << Describe(b, ours);
}

// Every address from `low` to `high`, and a few far away; stops at the first disagreement.
void AgreeOnSpan(const TDebugModule& module, uint32_t low, uint32_t high, const std::string& what = "") {
  TDebugIndex index(module);
  for (uint64_t a = low; a <= high; ++a) ASSERT_TRUE(Agree(module, index, uint32_t(a))) << what;
  // Far away, and beyond 32 bits (where a 64-bit program's modules live).
  for (uint64_t a : {uint64_t(0), uint64_t(1), uint64_t(0x1000), module.Handle, module.Handle + 0xFFF,
                     uint64_t(0x7FFFFFFF), uint64_t(0xFFFFFFFE), uint64_t(0xFFFFFFFF), uint64_t(0x100000000),
                     module.Handle + 0x100000000, uint64_t(INT64_MAX), UINT64_MAX})
    ASSERT_TRUE(Agree(module, index, a)) << what;
}

constexpr uint32_t kHandle = 0x00400000, kCode = kHandle + 0x1000;

TDebugModule Module(const std::string& stream, uint16_t version = DebugInfoCurrentVersion, std::string password = "pw",
                    bool accepted = true) {
  TDebugModule m;
  m.Stream = stream;
  m.Version = version;
  m.Handle = kHandle;
  m.Password = std::move(password);
  m.PasswordAccepted = accepted;
  return m;
}

// Code bytes for the procedure-start rule: a fixed pattern per address, unreadable at some.
bool StubCode(uint32_t address, void* buffer, size_t size) {
  static const uint8_t forms[][3] = {{0x55, 0x8B, 0xEC}, {0x55, 0x89, 0xE5}, {0x53, 0, 0},
                                     {0x56, 0x53, 0},    {0x55, 0x8B, 0xE5}, {0x90, 0x90, 0x90}};
  if (address % 7 == 3) return false;
  std::memcpy(buffer, forms[address % 6], std::min<size_t>(size, 3));
  return true;
}

// Entries chosen to need each encoding: 1-byte plain and named, 2-byte, 4-byte with dA = 0 and
// with a large step, the value that marks the extended form, and the extended 16-bit pair;
// procedures of classes, repeated classes (".Name"), plain ones, "@" names, long chained names,
// Initialization and Finalization.
std::vector<TDebugUnit> EncodingUnits(bool extended) {
  TDebugUnit a;
  a.Name = "Main";
  a.FirstLine = 9;
  a.Start = 0x10;
  a.Entries = {P(1, 0, "", "main"),  E(1, 3), E(4, 32),     P(8, 8, "TApp", "Run"), P(2, 5, "TApp", "Stop"),
               P(3, 4, "", "@helper"), P(1, 2, "TApp", "Go"), E(32, 128), E(5, 4095), E(65536, 1),
               P(1, 1, "", "Initialization"), E(2, 40), P(1, 6, "", "Finalization"), E(3, 30), E(0xFFFF, 0xFFF)};
  if (extended) a.Entries.push_back(E(70, 5000));
  a.Entries.push_back(P(2, 9, "TApp", "@Tail"));
  uint32_t size = 0;
  for (auto& e : a.Entries) size += e.AddrDelta;
  a.Size = size + 10;  // a tail after the last entry
  TDebugUnit b;
  b.Name = "std::vector<int>.h";
  b.FirstLine = 100;
  b.Start = a.Start + a.Size + 3;  // a gap of 3 bytes
  b.Size = 50;
  b.Entries = {P(1, 0, std::string(100, 'C'), std::string(120, 'n')), E(2, 20),
               P(1, 4, "K", "with.dots.in.a.very.long.procedure.name." + std::string(100, 'x'))};
  TDebugUnit c;  // no entries: the whole unit is its first line
  c.Name = "empty.cpp";
  c.FirstLine = 5;
  c.Start = b.Start + b.Size;
  c.Size = 7;
  return {a, b, c};
}

uint32_t EndOf(const std::vector<TDebugUnit>& units) {
  uint32_t end = 0;
  for (auto& u : units) end = std::max<uint32_t>(end, u.Start + u.Size);
  return end;
}

TEST(DebugIndex, EveryEncodingInEveryLayout) {
  for (uint16_t version : {5111, 502, 501, 500, 499, 450, 423, 422, 405, 404}) {
    for (bool accepted : {true, false}) {
      CipherSetKey("pw");
      auto units = EncodingUnits(version > 422);
      if (version <= 501) units[1].Entries.pop_back();  // no chained names: keep names below 256 bytes
      std::string stream = EncodeDebugInfo(units, version);
      TDebugModule m = Module(stream, version, "pw", accepted);
      m.ReadCode = StubCode;
      AgreeOnSpan(m, kCode - 4, kCode + EndOf(units) + 4, "version " + std::to_string(version));
      m.ReadCode = nullptr;
      AgreeOnSpan(m, kCode - 4, kCode + EndOf(units) + 4, "no ReadCode, version " + std::to_string(version));
    }
  }
}

TEST(DebugIndex, NamesAsDebugLookupShowsThem) {
  CipherSetKey("pw");
  std::string stream = EncodeDebugInfo(EncodingUnits(true));
  TDebugIndex index(Module(stream));
  TDebugHit hit;
  ASSERT_TRUE(index.Lookup(kCode + 0x10, hit));
  EXPECT_EQ(hit.Unit, "Main.pas");
  ASSERT_TRUE(index.Lookup(kCode + 0x10 + 3 + 32 + 8 + 5 + 4, hit));  // after "@helper" is named
  EXPECT_EQ(hit.Procedure, "_helper");
  EXPECT_EQ(hit.Class, "");
  // Refused password: "?p" + Base64 of the enciphered bytes, no ".pas"; names are interned once.
  TDebugIndex refused(Module(stream, DebugInfoCurrentVersion, "wrong", false));
  ASSERT_TRUE(refused.Lookup(kCode + 0x10, hit));
  EXPECT_EQ(hit.Unit.substr(0, 2), "?p");
  EXPECT_LT(index.NameCount(), 20u);
  // The index keeps nothing of the stream: it answers after the stream is gone, and after a move.
  std::string copy = stream;
  TDebugIndex moved;
  {
    TDebugIndex built(Module(copy));
    copy.assign(copy.size(), '\xAA');
    moved = std::move(built);
  }
  TDebugHit again;
  ASSERT_TRUE(moved.Lookup(kCode + 0x10, again));
  EXPECT_EQ(again.Unit, "Main.pas");
  EXPECT_EQ(again.Procedure, "main");
}

TEST(DebugIndex, ProcedureStartRule) {
  CipherSetKey("pw");
  std::vector<TDebugUnit> units = {
      {"Main", 9, 0x100, 0x80,
       {P(1, 0, "TForm1", "Button1Click"), E(2, 0x10), E(1, 0x10), P(4, 0x10, "", "Initialization"), E(3, 8),
        P(2, 8, "", "Finalization"), E(5, 8), P(1, 8, "", "Other"), E(2, 8)}}};
  std::string stream = EncodeDebugInfo(units);
  // Procedure starts: 32-bit frames, push ebx, others; 64-bit frames (push rbp; mov rbp, rsp with
  // REX.W); then all zeros, and code that cannot be read.
  static const uint8_t bytes[][4] = {{0x55, 0x8B, 0xEC}, {0x55, 0x89, 0xE5}, {0x53, 0x00, 0x00},
                                     {0x56, 0x53, 0x00}, {0x55, 0x8B, 0xE5}, {0x55, 0x89, 0xEC},
                                     {0x55, 0x48, 0x89, 0xE5}, {0x55, 0x48, 0x8B, 0xEC}};
  constexpr int kForms = sizeof bytes / sizeof bytes[0];
  auto reader = [](int form) {
    return [form](uint64_t, void* buffer, size_t size) {
      if (size > 4) return false;
      if (form >= kForms) return form == kForms + 1 ? false : (std::memset(buffer, 0, size), true);
      std::memcpy(buffer, bytes[form], size);
      return true;
    };
  };
  for (int form = 0; form < kForms + 2; ++form) {
    TDebugModule m = Module(stream);
    m.ReadCode = reader(form);
    AgreeOnSpan(m, kCode + 0xF0, kCode + 0x190, "form " + std::to_string(form));
  }
  // A 64-bit frame counts like a 32-bit one.
  for (int form : {6, 7}) {
    TDebugModule m32 = Module(stream), m64 = Module(stream);
    m32.ReadCode = reader(0);
    m64.ReadCode = reader(form);
    TDebugHit a, b;
    ASSERT_TRUE(DebugLookup(m32, kCode + 0x110, a));
    ASSERT_TRUE(DebugLookup(m64, kCode + 0x110, b));
    EXPECT_EQ(a.LineOffset, b.LineOffset) << "form " << form;
  }
  // The code is read at lookup time, so a reader set after the build is used.
  TDebugModule m = Module(stream);
  TDebugIndex index(m);
  TDebugHit hit;
  ASSERT_TRUE(index.Lookup(kCode + 0x110, hit));
  EXPECT_EQ(hit.LineOffset, 2);
  index.SetReadCode([](uint64_t, void* buffer, size_t size) {
    std::memset(buffer, 0x90, size);
    return true;
  });
  ASSERT_TRUE(index.Lookup(kCode + 0x110, hit));
  EXPECT_EQ(hit.LineOffset, 3);
}

// Overlapping units: the first in stream order holding an address wins, whatever the order of
// their ranges; gaps, adjacent units, empty units and units that hold nothing of their own.
TEST(DebugIndex, OverlappingUnits) {
  CipherSetKey("pw");
  auto unit = [](std::string name, uint32_t start, uint32_t size, int first) {
    TDebugUnit u{std::move(name), first, start, size, {}};
    for (uint32_t off = 0; off + 7 < size; off += 7) u.Entries.push_back(off % 21 ? E(1, 7) : P(2, 7, "", "p" + std::to_string(off)));
    return u;
  };
  std::vector<std::vector<TDebugUnit>> layouts = {
      {unit("a", 0x100, 0x100, 10), unit("b", 0x140, 0x20, 20)},                          // inside an earlier one
      {unit("b", 0x140, 0x20, 20), unit("a", 0x100, 0x100, 10)},                          // spans an earlier one
      {unit("a", 0x100, 0x40, 10), unit("b", 0x120, 0x40, 20), unit("c", 0x110, 0x80, 30)},  // chains
      {unit("a", 0x100, 0x40, 10), unit("a2", 0x100, 0x40, 11)},                          // identical ranges
      {unit("c", 0x300, 0x10, 1), unit("b", 0x200, 0x10, 2), unit("a", 0x100, 0x10, 3),
       unit("all", 0x0F0, 0x300, 4)},                                                     // out of order, holes
      {unit("a", 0x100, 0x10, 1), unit("b", 0x110, 0x10, 2), unit("z", 0x120, 0, 3),
       unit("c", 0x120, 0x10, 4)},                                                        // adjacent, empty
  };
  // Tables that run past their unit, stop short of it, or start with a zero step.
  std::vector<TDebugUnit> odd = {{"long", 1, 0x100, 0x10, {E(1, 0x20), E(1, 0x20)}},
                                 {"short", 1, 0x108, 0x40, {E(1, 2)}},
                                 {"zero", 1, 0x150, 0x10, {P(1, 0, "", "z"), E(1, 0), P(1, 0, "T", "y"), E(2, 3)}}};
  layouts.push_back(odd);
  std::mt19937 rng(3);
  for (int round = 0; round < 60; ++round) {  // random ranges, many overlapping
    std::vector<TDebugUnit> units;
    int n = 1 + rng() % 12;
    for (int i = 0; i < n; ++i)
      units.push_back(unit("r" + std::to_string(i), rng() % 0x200, rng() % 0x100, int(rng() % 100)));
    layouts.push_back(units);
  }
  for (size_t i = 0; i < layouts.size(); ++i) {
    std::string stream = EncodeDebugInfo(layouts[i]);
    TDebugModule m = Module(stream);
    m.ReadCode = StubCode;
    AgreeOnSpan(m, kCode, kCode + 0x400, "layout " + std::to_string(i));
  }
}

// Offsets, sizes and lines at their limits: ranges running past 4 GiB, lines beyond 32 bits.
TEST(DebugIndex, AddressAndLineLimits) {
  CipherSetKey("pw");
  std::vector<TDebugUnit> units = {
      {"top", INT32_MAX - 3, 0xFFFFEF00u, 0x200, {P(1, 0x10, "", "f"), E(4, 0x10), E(65536, 0x10), P(8, 8, "", "g")}},
      {"neg", INT32_MIN, 0x10, 0x20, {E(3, 4), P(1, 4, "", "n")}},
      {"wrap", 5, 0xFFFFFFF0u, 0xFFFFFFFFu, {E(1, 1)}},
  };
  std::string stream = EncodeDebugInfo(units);
  for (uint32_t handle : {0x00400000u, 0xFFFF0000u, 0u}) {
    TDebugModule m = Module(stream);
    m.Handle = handle;
    m.ReadCode = StubCode;
    TDebugIndex index(m);
    for (int64_t a : {int64_t(0xFFFFFFFF) - 0x300, int64_t(handle) + 0x1000 - 4, int64_t(0)}) {
      for (int64_t x = a; x < a + 0x310 && x <= 0xFFFFFFFF; ++x)
        ASSERT_TRUE(Agree(m, index, uint32_t(x))) << std::hex << handle;
    }
  }
  // Lines that grow past 32 bits within one procedure (65536 per entry).
  std::vector<TDebugUnit> tall = {{"tall", INT32_MAX - 10, 0, 0x20000, {P(1, 0, "", "t")}}};
  for (int i = 0; i < 70000; ++i) tall[0].Entries.push_back(E(65536, 1));
  stream = EncodeDebugInfo(tall);
  TDebugModule m = Module(stream);
  TDebugIndex index(m);
  for (uint32_t x : {0u, 1u, 2u, 65535u, 65536u, 65537u, 69999u, 70000u, 70001u, 0x1FFFFu})
    ASSERT_TRUE(Agree(m, index, kCode + x));
}

// Damaged streams: every prefix, single byte changes and bit flips, table lengths that cut an
// entry or a procedure name, huge lengths and counts: the index answers as DebugLookup does.
TEST(DebugIndex, DamagedStreams) {
  CipherSetKey("pw");
  // The encodings again, with address steps small enough to compare every address each time;
  // the extended pair (steps of 4 KiB and more) in a stream of its own.
  std::vector<TDebugUnit> units = {
      {"Main", 9, 0x10, 0, {P(1, 0, "", "main"), E(1, 3), E(4, 32), P(8, 8, "TApp", "Run"), P(2, 5, "TApp", "Stop"),
                            P(3, 4, "", "@helper"), P(1, 2, "TApp", "Go"), E(32, 128), E(65536, 1), E(40, 0),
                            P(1, 1, "", "Initialization"), E(2, 40), P(1, 6, "", "Finalization"), E(3, 30),
                            P(2, 9, "TApp", "@Tail")}},
      EncodingUnits(true)[1], EncodingUnits(true)[2],
      {"after", 3, 0x40, 0x30, {P(1, 2, "K", "k"), E(1, 2)}},  // overlaps the first
  };
  for (auto& e : units[0].Entries) units[0].Size += e.AddrDelta;
  units[0].Size += 10;
  units[1].Start = units[0].Start + units[0].Size + 3;
  units[2].Start = units[1].Start + units[1].Size;
  std::vector<TDebugUnit> extended = {{"x", 1, 0, 0x1100, {E(1, 2), P(70, 0x1001, "", "q"), E(1, 2)}}};
  struct TCase {
    std::vector<TDebugUnit> units;
    uint16_t version;
  };
  std::vector<TCase> cases = {{units, 5111}, {units, 450}, {extended, 5111}};
  cases[1].units[1].Entries.pop_back();  // no chained names before 502
  for (const TCase& c : cases) {
    const std::string stream = EncodeDebugInfo(c.units, c.version);
    const uint32_t span = EndOf(c.units) + 8;
    for (size_t n = 0; n <= stream.size(); ++n) {
      std::string cut = stream.substr(0, n);  // its own allocation: over-reads are caught
      TDebugModule m = Module(cut, c.version);
      m.ReadCode = StubCode;
      AgreeOnSpan(m, kCode, kCode + span, "prefix " + std::to_string(n));
    }
    std::mt19937 rng(c.version + span);
    for (int round = 0; round < 400; ++round) {
      std::string bad = stream;
      int changes = 1 + rng() % 3;
      for (int k = 0; k < changes; ++k) {
        size_t at = rng() % bad.size();
        if (rng() % 2)
          bad[at] ^= char(1 << (rng() % 8));
        else
          bad[at] = char(rng());
      }
      TDebugModule m = Module(bad, c.version);
      m.ReadCode = StubCode;
      AgreeOnSpan(m, kCode, kCode + span, "round " + std::to_string(round));
    }
  }
  // A table length that ends inside a procedure's name: DebugLookup has taken the entry's start
  // line and address but not its name.
  std::vector<TDebugUnit> named = {{"n", 1, 0, 0x40, {E(1, 4), P(3, 4, "Cls", "Name"), E(1, 4), P(5, 4, "", "Second")}}};
  std::string whole = EncodeDebugInfo(named);
  const size_t tableAt = 4 + 2 + 12;  // count, name "n", first line, start, size
  for (uint32_t length = 0; length < 40; ++length) {
    std::string s = whole;
    for (int i = 0; i < 4; ++i) s[tableAt + i] = char((length >> (8 * i)) & 0xFF);
    // Also as a length far beyond the stream, and one that DebugLookup's position + length wraps
    // on a 32-bit build (where the index differs: see debuginfo_index.h).
    for (char top : {'\0', '\x7F', '\xFF'}) {
      if (top) s[tableAt + 3] = top;
      if (top == '\xFF') s[tableAt + 2] = '\xFF', s[tableAt + 1] = '\xFF';
      TDebugModule m = Module(s);
      m.ReadCode = [](uint32_t, void* b, size_t n) { return std::memset(b, 0x90, n), true; };
      AgreeOnSpan(m, kCode, kCode + 0x48, "length " + std::to_string(length));
    }
  }
  // Random bytes after a plausible head, and counts far larger than the stream.
  std::mt19937 rng(11);
  for (int round = 0; round < 300; ++round) {
    std::string s(4 + rng() % 200, '\0');
    for (auto& c : s) c = char(rng() % (round % 2 ? 256 : 8));
    if (round % 3 == 0) s[0] = s[1] = s[2] = s[3] = '\xFF';
    TDebugModule m = Module(s, round % 5 ? DebugInfoCurrentVersion : 450);
    m.Handle = 0;
    AgreeOnSpan(m, 0x1000, 0x1000 + 0x300, "random " + std::to_string(round));
  }
}

// Random well-formed streams: random entries of every size, procedures, overlapping units.
TEST(DebugIndex, RandomStreams) {
  std::mt19937 rng(5);
  for (int round = 0; round < 150; ++round) {
    std::vector<TDebugUnit> units;
    int n = 1 + rng() % 8;
    for (int i = 0; i < n; ++i) {
      TDebugUnit u;
      u.Name = rng() % 2 ? "u" + std::to_string(i) : "f" + std::to_string(i) + ".cpp";
      u.FirstLine = int(rng() % 1000) - 10;
      u.Start = rng() % 0x800;
      int entries = rng() % 30;
      uint32_t size = 0;
      for (int e = 0; e < entries; ++e) {
        uint32_t dL = 1 + (rng() % 10 == 0 ? rng() % 0x10000 : rng() % 8);
        uint32_t dA = rng() % 10 == 0 ? 0 : 1 + (rng() % 10 == 0 ? rng() % 0x800 : rng() % 40);
        if (dA == 0 && dL > 0x10000) dL = 1;
        if (rng() % 4 == 0) {
          static const char* classes[] = {"", "", "A", "B"};
          static const char* names[] = {"x", "@y", "Initialization", "Finalization", "z"};
          u.Entries.push_back(P(dL, dA, classes[rng() % 4], names[rng() % 5]));
        } else {
          u.Entries.push_back(E(dL, dA));
        }
        size += dA;
      }
      u.Size = size + rng() % 64 - (size > 16 ? rng() % 16 : 0);
      units.push_back(u);
    }
    for (uint16_t version : {5111, 500}) {
      CipherSetKey("r");
      std::string stream = EncodeDebugInfo(units, version);
      TDebugModule m = Module(stream, version, "r", rng() % 4 != 0);
      m.ReadCode = StubCode;
      AgreeOnSpan(m, kCode, kCode + EndOf(units) + 2, "round " + std::to_string(round));
    }
  }
}

// ---------------------------------------------------------------------------------------------
// Real modules: the containers that fldata embedded in the Windows programs of build/win.

uint32_t Le32(const std::string& s, size_t at) {
  if (at + 4 > s.size()) throw std::runtime_error("PE image cut short");
  return uint32_t(uint8_t(s[at])) | uint32_t(uint8_t(s[at + 1])) << 8 | uint32_t(uint8_t(s[at + 2])) << 16 |
         uint32_t(uint8_t(s[at + 3])) << 24;
}
uint32_t Le16(const std::string& s, size_t at) {
  if (at + 2 > s.size()) throw std::runtime_error("PE image cut short");
  return uint32_t(uint8_t(s[at])) | uint32_t(uint8_t(s[at + 1])) << 8;
}

// Just enough of a 32-bit PE image: sections and the data of one named RT_RCDATA resource.
struct TImage {
  struct TSection {
    std::string Name;
    uint32_t Rva, VirtualSize, RawPointer, RawSize, Characteristics;
  };
  std::string Bytes;
  uint32_t ImageBase = 0;
  uint32_t ResourceRva = 0;
  std::vector<TSection> Sections;

  explicit TImage(std::string bytes) : Bytes(std::move(bytes)) {
    uint32_t pe = Le32(Bytes, 60);
    if (Bytes.compare(pe, 4, std::string("PE\0\0", 4)) != 0) throw std::runtime_error("no PE signature");
    uint32_t count = Le16(Bytes, pe + 6), optSize = Le16(Bytes, pe + 20), opt = pe + 24;
    ImageBase = Le32(Bytes, opt + 28);
    ResourceRva = Le32(Bytes, opt + 96 + 2 * 8);
    for (uint32_t i = 0; i < count; ++i) {
      size_t h = opt + optSize + 40 * i;
      Sections.push_back({Bytes.substr(h, 8).c_str(), Le32(Bytes, h + 12), Le32(Bytes, h + 8), Le32(Bytes, h + 20),
                          Le32(Bytes, h + 16), Le32(Bytes, h + 36)});
    }
  }
  // File offset of `size` bytes at rva, when they are stored in the file.
  std::optional<size_t> FileOffset(uint32_t rva, uint32_t size) const {
    for (const auto& s : Sections)
      if (rva >= s.Rva && uint64_t(rva) + size <= uint64_t(s.Rva) + std::min(s.RawSize, s.VirtualSize))
        return size_t(s.RawPointer) + (rva - s.Rva);
    return std::nullopt;
  }
  std::optional<std::string> Resource(uint32_t type, const std::u16string& name) const {
    auto root = FileOffset(ResourceRva, 16);
    if (!ResourceRva || !root) return std::nullopt;
    size_t base = *root;
    // The entry of a directory (at resource offset dir) matching id or name; returns its target.
    auto find = [&](uint32_t dir, bool byName, uint32_t id) -> std::optional<uint32_t> {
      uint32_t named = Le16(Bytes, base + dir + 12), ids = Le16(Bytes, base + dir + 14);
      for (uint32_t i = 0; i < named + ids; ++i) {
        size_t e = base + dir + 16 + 8 * i;
        uint32_t key = Le32(Bytes, e), target = Le32(Bytes, e + 4);
        bool isName = key & 0x80000000u;
        if (isName != byName) continue;
        if (!byName && key != id) continue;
        if (byName) {
          size_t at = base + (key & 0x7FFFFFFF);
          std::u16string s;
          for (uint32_t k = 0, n = Le16(Bytes, at); k < n; ++k) s += char16_t(Le16(Bytes, at + 2 + 2 * k));
          if (s != name) continue;
        }
        return target;
      }
      return std::nullopt;
    };
    auto typeDir = find(0, false, type);
    if (!typeDir || !(*typeDir & 0x80000000u)) return std::nullopt;
    auto nameDir = find(*typeDir & 0x7FFFFFFF, true, 0);
    if (!nameDir || !(*nameDir & 0x80000000u)) return std::nullopt;
    uint32_t langDir = *nameDir & 0x7FFFFFFF;
    if (Le16(Bytes, base + langDir + 12) + Le16(Bytes, base + langDir + 14) == 0) return std::nullopt;
    uint32_t leaf = Le32(Bytes, base + langDir + 16 + 4);
    if (leaf & 0x80000000u) return std::nullopt;
    uint32_t dataRva = Le32(Bytes, base + leaf), dataSize = Le32(Bytes, base + leaf + 4);
    auto data = FileOffset(dataRva, dataSize);
    if (!data) return std::nullopt;
    return Bytes.substr(*data, dataSize);
  }
  const TSection* Code() const {
    for (const auto& s : Sections)
      if (s.Name == ".text") return &s;
    return nullptr;
  }
  bool Read(uint32_t address, void* buffer, size_t size) const {
    if (address < ImageBase) return false;
    auto at = FileOffset(address - ImageBase, uint32_t(size));
    if (!at) return false;
    std::memcpy(buffer, Bytes.data() + *at, size);
    return true;
  }
};

struct TUnitSpan {
  size_t HeaderBegin, TableEnd;
  int64_t Low, High;  // absolute; empty when High < Low
};

// The unit blocks of a well-formed current-layout stream, read apart from both lookups.
std::vector<TUnitSpan> UnitSpans(std::string_view s, uint32_t handle) {
  std::vector<TUnitSpan> out;
  std::string copy(s);
  uint32_t count = Le32(copy, 0);
  size_t pos = 4;
  for (uint32_t u = 0; u < count; ++u) {
    TUnitSpan span;
    span.HeaderBegin = pos;
    for (;;) {
      uint8_t lengthByte = uint8_t(copy.at(pos++));
      pos += lengthByte & 0x7F;
      if (!(lengthByte & 0x80)) break;
    }
    uint32_t start = Le32(copy, pos + 4), size = Le32(copy, pos + 8), length = Le32(copy, pos + 12);
    pos += 16 + length;
    if (pos > copy.size()) throw std::runtime_error("unit table beyond the stream");
    span.TableEnd = pos;
    span.Low = int64_t(handle) + 4096 + start;
    span.High = span.Low + int64_t(size) - 1;
    out.push_back(span);
  }
  if (pos != copy.size()) throw std::runtime_error("bytes after the last unit");
  return out;
}

std::optional<std::string> ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

// Seconds on the monotonic clock (<chrono> cannot be compiled in this program's character set).
double Now() {
  timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return double(t.tv_sec) + t.tv_nsec * 1e-9;
}
double Since(double t0) { return Now() - t0; }

// Every address of the code section (and of whatever the units hold beyond it, and 4 KiB on
// either side) is compared. DebugLookup on the whole stream costs a walk over all unit headers
// before the one that holds the address, so most addresses are compared against DebugLookup on
// a stream of just that unit's block (the count 1, then the unit's bytes as stored): DebugLookup
// only skips the blocks before the first unit holding the address, so both give the same answer
// when every earlier header is readable (checked: the stream is well-formed) and no earlier unit
// holds the address (checked: each address's owner is the first unit in stream order that holds
// it, found from the headers alone). Addresses no unit holds must miss. Then DebugLookup on the
// whole stream, directly: every address of the first and last units and of every 64th unit,
// every range boundary (first and last address of each index range, and one beyond) in every
// 16th unit, and 3000 random addresses of the code.
void AgreeOnModule(const std::string& relativePath) {
  const std::string path = std::string(TARN_SOURCE_DIR) + "/" + relativePath;
  auto bytes = ReadFile(path);
  if (!bytes) GTEST_SKIP() << path << " is absent (built by the Windows build)";
  TImage image(std::move(*bytes));
  auto resource = image.Resource(10, u"FLDATA");
  ASSERT_TRUE(resource) << path << " has no FLDATA resource";
  auto container = ReadContainer(*resource);
  ASSERT_TRUE(container && container->HasDebugInfo);
  const TImage::TSection* code = image.Code();
  ASSERT_NE(code, nullptr);

  TDebugModule module;
  module.Stream = container->DebugInfo;
  module.Version = container->Version;
  module.Handle = image.ImageBase;
  module.Password = "";
  module.PasswordAccepted = PasswordMatches(container->PasswordCheck, "");
  module.ReadCode = [&image](uint32_t address, void* buffer, size_t size) { return image.Read(address, buffer, size); };
  ASSERT_EQ(module.Version, DebugInfoCurrentVersion);

  auto t0 = Now();
  TDebugIndex index(module);
  const double buildSeconds = Since(t0);
  const auto spans = UnitSpans(module.Stream, module.Handle);
  ASSERT_EQ(index.UnitCount(), spans.size());

  // The window: the code section and every unit's range, 4 KiB beyond.
  int64_t low = int64_t(image.ImageBase) + code->Rva, high = low + code->VirtualSize - 1;
  for (const auto& s : spans)
    if (s.High >= s.Low) low = std::min(low, s.Low), high = std::max(high, s.High);
  low = std::max<int64_t>(0, low - 4096);
  high = std::min<int64_t>(0xFFFFFFFF, high + 4096);
  ASSERT_LT(high - low, int64_t(256) << 20) << "units spread too far for a per-address owner table";
  std::vector<int32_t> owner(size_t(high - low + 1), -1);
  for (size_t u = spans.size(); u-- > 0;)
    for (int64_t a = std::max(spans[u].Low, low); a <= std::min(spans[u].High, high); ++a) owner[a - low] = int32_t(u);

  // Each unit's block as a stream of its own.
  std::string aloneStream;
  TDebugModule alone = module;
  size_t compared = 0, held = 0;
  int64_t lastOwner = -2;
  t0 = Now();
  for (int64_t a = low; a <= high; ++a) {
    int32_t u = owner[a - low];
    if (u != lastOwner && u >= 0) {
      aloneStream = std::string("\x01\x00\x00\x00", 4) +
                    std::string(module.Stream.substr(spans[u].HeaderBegin, spans[u].TableEnd - spans[u].HeaderBegin));
      alone.Stream = aloneStream;
    }
    lastOwner = u;
    if (u < 0) {
      TDebugHit hit;
      ASSERT_FALSE(index.Lookup(uint32_t(a), hit)) << std::hex << a;
      ++compared;
      continue;
    }
    ASSERT_TRUE(Agree(alone, index, uint32_t(a))) << "unit " << u << " of " << path;
    ++compared;
    ++held;
  }
  const double aloneSeconds = Since(t0);

  // DebugLookup on the whole stream.
  t0 = Now();
  size_t direct = 0;
  auto ranges = index.Ranges();
  // A lookup on the whole stream reads it from the start, so its cost grows with the module: every
  // address of about 300 units spread over the module (at least every 64th), the range edges of
  // four times as many.
  const size_t stride = std::max<size_t>(64, (spans.size() / 300 + 15) / 16 * 16);
  for (size_t u = 0; u < spans.size(); ++u) {
    const TUnitSpan& s = spans[u];
    if (s.High < s.Low) continue;
    if (u == 0 || u + 1 == spans.size() || u % stride == 0) {
      for (int64_t a = s.Low; a <= s.High && a <= 0xFFFFFFFF; ++a, ++direct)
        ASSERT_TRUE(Agree(module, index, uint32_t(a))) << "unit " << u;
    } else if (u % (stride / 4) == 0) {
      auto r = std::lower_bound(ranges.begin(), ranges.end(), s.Low,
                                [](const TDebugIndex::TRangeView& v, int64_t x) { return int64_t(v.High) < x; });
      for (; r != ranges.end() && r->Low <= s.High; ++r)
        for (int64_t a : {int64_t(r->Low), int64_t(r->High), int64_t(r->High) + 1})
          if (a >= s.Low && a <= s.High + 1) {
            ASSERT_TRUE(Agree(module, index, uint32_t(a))) << "unit " << u;
            ++direct;
          }
    }
  }
  std::mt19937 rng(2024);
  for (int i = 0; i < 3000; ++i, ++direct) {
    uint32_t a = image.ImageBase + code->Rva + rng() % code->VirtualSize;
    ASSERT_TRUE(Agree(module, index, a));
  }
  const double directSeconds = Since(t0);
  std::printf("%s: %zu units, %zu ranges, %zu contexts, %zu names, %zu KiB; build %.1f ms\n"
              "  %zu addresses compared against DebugLookup on the owner unit's block (%zu held, %.1f s)\n"
              "  %zu addresses compared against DebugLookup on the whole stream (%.1f s)\n",
              relativePath.c_str(), spans.size(), index.RangeCount(), index.ContextCount(), index.NameCount(),
              index.MemoryBytes() / 1024, buildSeconds * 1e3, compared, held, aloneSeconds, direct, directSeconds);
}

TEST(DebugIndexModules, Wizard) { AgreeOnModule("build/win/app/Tarn_Import.exe"); }
TEST(DebugIndexModules, LargeTestProgram) { AgreeOnModule("build/win/tests/shell/shell_helpers_test.exe"); }

}  // namespace
