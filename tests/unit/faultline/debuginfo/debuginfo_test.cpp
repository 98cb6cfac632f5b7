// The debug-information stream: every line-entry encoding and name form survives a round trip in
// each container layout, the lookup follows the decoding rules (ranges, procedures, class scopes,
// tails, unit skipping, passwords), damaged streams are refused without over-reading, and units
// built from line rows resolve every address to the row a plain search finds.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <random>

#include "faultline/debuginfo/debuginfo.h"
#include "faultline/codecs/codecs.h"

void PrintTo(const TDebugLineEntry& e, std::ostream* os) {
  *os << "{" << e.LineDelta << "," << e.AddrDelta << "," << e.NewProcedure << "," << e.ProcClass << "." << e.ProcName << "}";
}
void PrintTo(const TDebugUnit& u, std::ostream* os) {
  *os << u.Name << " first " << u.FirstLine << " start " << u.Start << " size " << u.Size << " [";
  for (auto& e : u.Entries) PrintTo(e, os);
  *os << "]";
}

namespace {

TDebugLineEntry E(uint32_t dL, uint32_t dA) { return {dL, dA, false, "", ""}; }
TDebugLineEntry P(uint32_t dL, uint32_t dA, std::string cls, std::string name) {
  return {dL, dA, true, std::move(cls), std::move(name)};
}

// Entries chosen to need each encoding: 1-byte plain and named, 2-byte, 4-byte with dA = 0 and
// with a large step, and the extended 16-bit pair.
std::vector<TDebugUnit> SampleUnits() {
  TDebugUnit a;
  a.Name = "main.cpp";
  a.FirstLine = 9;
  a.Start = 0x10;
  a.Entries = {P(1, 0, "", "main"),           // 4-byte, dA = 0
               E(1, 3), E(4, 32),              // 1-byte plain (limits)
               P(8, 8, "TApp", "Run"),         // 1-byte named (limits)
               P(2, 5, "TApp", "Stop"),        // same class: stored as ".Stop"
               P(3, 4, "", "helper"),          // plain procedure between class members
               P(1, 2, "TApp", "Go"),          // back to the remembered class
               E(32, 128),                     // 2-byte (limits)
               E(5, 4095), E(65536, 1),        // 4-byte
               E(0xFFFF, 0xFFF),               // the value that marks the extended form
               E(70, 60000)};                  // extended pair
  uint32_t size = 0;
  for (auto& e : a.Entries) size += e.AddrDelta;
  a.Size = size + 10;
  TDebugUnit b;
  b.Name = "std::vector<int>.h";  // contains a "." but no class split applies to unit names
  b.FirstLine = 100;
  b.Start = a.Start + a.Size;
  b.Size = 50;
  b.Entries = {P(1, 0, std::string(100, 'C'), std::string(120, 'n')), E(2, 20)};
  return {a, b};
}

TEST(DebugInfoStream, RoundTripInEveryLayout) {
  CipherSetKey("pw");
  for (uint16_t version : {5111, 502, 500, 450, 423}) {
    auto units = SampleUnits();
    std::string stream = EncodeDebugInfo(units, version);
    auto back = DecodeDebugInfo(stream, version);
    if (version <= 501) {
      // Without chained name fields the long class.name is stored whole (up to 255 bytes).
      ASSERT_EQ(back.size(), 2u);
    }
    EXPECT_EQ(back, units) << version;
  }
}

TEST(DebugInfoStream, ExactEncodingsAndOldExtendedRule) {
  CipherSetKey("");
  auto entryBytes = [](TDebugLineEntry e, uint16_t version) {
    TDebugUnit u{"u.cpp", 1, 0, 100, {e}};
    std::string s = EncodeDebugInfo({u}, version);
    // count(4) name(1+5) 4 x 4 header words, then the table
    return s.substr(4 + 6 + 16 + (version >= 405 && version <= 499 ? 4 : 0));
  };
  EXPECT_EQ(entryBytes(E(2, 3), 5111), std::string("\x44", 1));        // (1<<6)|(2<<1)
  EXPECT_EQ(entryBytes(P(3, 2, "", ""), 5111), std::string("\x45\x00", 2));  // (2<<5)|(1<<2)|1, empty name
  EXPECT_EQ(entryBytes(E(5, 100), 5111), std::string("\x33\x26", 2));  // W = 4<<11 | 99<<4 | 3
  EXPECT_EQ(entryBytes(E(40, 0), 5111), std::string("\x7B\x02\xF0\xFF", 4));  // D = (FFF<<16 | 39) << 4 | 8 | 3
  // Before version 423 the marker value is an ordinary 4-byte entry (dL 0xFFFF, dA 0xFFF) and
  // larger steps cannot be stored.
  EXPECT_EQ(entryBytes(E(0xFFFF, 0xFFF), 422), std::string("\xEB\xFF\xEF\xFF", 4));
  EXPECT_EQ(DecodeDebugInfo(EncodeDebugInfo({{"u.cpp", 1, 0, 9, {E(0xFFFF, 0xFFF)}}}, 422), 422)[0].Entries[0],
            E(0xFFFF, 0xFFF));
  EXPECT_THROW(EncodeDebugInfo({{"u.cpp", 1, 0, 9, {E(1, 70000)}}}, 5111), EDebugInfoError);
  EXPECT_THROW(EncodeDebugInfo({{"u.cpp", 1, 0, 9, {E(1, 5000)}}}, 422), EDebugInfoError);
}

TEST(DebugInfoStream, NamesAreEnciphered) {
  CipherSetKey("secret");
  std::string stream = EncodeDebugInfo({{"UniqueUnitName.cpp", 1, 0, 1, {P(1, 0, "", "UniqueProcName")}}});
  EXPECT_EQ(stream.find("UniqueUnitName"), std::string::npos);
  EXPECT_EQ(stream.find("UniqueProcName"), std::string::npos);
  CipherSetKey("other");
  EXPECT_NE(DecodeDebugInfo(stream)[0].Name, "UniqueUnitName.cpp");
}

// A unit "Main" at offset 0x100: lines 10.. with procedures, in a module at 0x400000.
struct TLookupFixture {
  std::string stream;
  TDebugModule module;
  TLookupFixture(std::string password = "pw", std::string unitName = "Main") {
    CipherSetKey(password);
    TDebugUnit u;
    u.Name = unitName;
    u.FirstLine = 9;
    u.Start = 0x100;
    u.Size = 0x60;
    u.Entries = {P(1, 0, "TForm1", "Button1Click"),  // line 10 from 0x100
                 E(2, 0x10),                         // 0x100..0x10F line 10, then line 12
                 E(1, 0x10),                         // 0x110..0x11F line 12, then 13
                 P(4, 0x10, "", "@Helper"),          // 0x120..0x12F line 13; Helper at line 17
                 E(1, 0x08)};                        // 0x130..0x137 line 17; tail line 18
    stream = EncodeDebugInfo({u});
    module.Stream = stream;
    module.Handle = 0x400000;
    module.Password = password;
  }
};

TEST(DebugLookup, ResolvesLinesProceduresAndTail) {
  TLookupFixture f;
  struct Case {
    uint32_t offset;
    const char* cls;
    const char* proc;
    int line, lineOffset;
  } cases[] = {
      {0x100, "TForm1", "Button1Click", 10, 0}, {0x10F, "TForm1", "Button1Click", 10, 0},
      {0x110, "TForm1", "Button1Click", 12, 2}, {0x12F, "TForm1", "Button1Click", 13, 3},
      {0x130, "", "_Helper", 17, 0},            {0x137, "", "_Helper", 17, 0},
      {0x138, "", "_Helper", 18, 1},            {0x15F, "", "_Helper", 18, 1},
  };
  for (const Case& c : cases) {
    TDebugHit hit;
    ASSERT_TRUE(DebugLookup(f.module, 0x401000 + c.offset, hit)) << std::hex << c.offset;
    EXPECT_EQ(hit.Unit, "Main.pas");
    EXPECT_EQ(hit.Class, c.cls);
    EXPECT_EQ(hit.Procedure, c.proc);
    EXPECT_EQ(hit.Line, c.line) << std::hex << c.offset;
    EXPECT_EQ(hit.LineOffset, c.lineOffset) << std::hex << c.offset;
  }
  TDebugHit hit;
  EXPECT_FALSE(DebugLookup(f.module, 0x401000 + 0xFF, hit));
  EXPECT_FALSE(DebugLookup(f.module, 0x401000 + 0x160, hit));
  EXPECT_FALSE(DebugLookup(f.module, 0, hit));
}

TEST(DebugLookup, ProcedureStartRuleReadsTheCode) {
  TLookupFixture f;
  // Code at Button1Click (0x401100) without a frame set-up or register save: its start line
  // counts one lower; with 55 8B EC or 53 it does not.
  for (auto [bytes, expected] : {std::pair<std::string, int>{"\x55\x8B\xEC", 2}, {"\x55\x89\xE5", 2},
                                 {"\x53\x00\x00", 2}, {"\x56\x53\x00", 3}, {"\x55\x8B\xE5", 3},
                                 // 64-bit frames: push rbp; mov rbp, rsp (REX.W, either encoding).
                                 {"\x55\x48\x89\xE5", 2}, {"\x55\x48\x8B\xEC", 2}, {"\x55\x48\x8B\xE5", 3}}) {
    f.module.ReadCode = [&, bytes = bytes](uint64_t address, void* buffer, size_t size) {
      if (address != 0x401100 || size > bytes.size() + 1) return false;
      std::memcpy(buffer, bytes.data(), size);
      return true;
    };
    TDebugHit hit;
    ASSERT_TRUE(DebugLookup(f.module, 0x401110, hit));
    EXPECT_EQ(hit.LineOffset, expected);
  }
}

TEST(DebugLookup, RefusedPasswordShowsEncipheredNames) {
  TLookupFixture f("right");
  f.module.PasswordAccepted = false;
  f.module.Password = "wrong";
  TDebugHit hit;
  ASSERT_TRUE(DebugLookup(f.module, 0x401100, hit));
  // The Base64 of the enciphered bytes of "Main": compute them independently of the lookup.
  CipherSetKey("right");
  std::string main = "Main";
  CipherEncrypt(main.data(), main.size());
  EXPECT_EQ(hit.Unit, "?p" + Base64Encode(main));
  EXPECT_EQ(hit.Line, 10);
  // The unit's name decodes later, given the password.
  std::string raw = Base64Decode(hit.Unit.substr(2));
  CipherDecrypt(raw.data(), raw.size());
  EXPECT_EQ(raw, "Main");
  // Accepted again (the key is set up from the module's password, not whatever was last set).
  f.module.PasswordAccepted = true;
  f.module.Password = "right";
  CipherSetKey("something else");
  DebugCipherUsePassword("x");
  ASSERT_TRUE(DebugLookup(f.module, 0x401100, hit));
  EXPECT_EQ(hit.Unit, "Main.pas");
  EXPECT_EQ(hit.Procedure, "Button1Click");
}

TEST(DebugLookup, KeySetElsewhereBetweenLookups) {
  TLookupFixture f("pw");
  TDebugHit hit;
  ASSERT_TRUE(DebugLookup(f.module, 0x401100, hit));
  EXPECT_EQ(hit.Unit, "Main.pas");
  CipherSetKey("another module's password");  // e.g. the XML export deciphering other names
  ASSERT_TRUE(DebugLookup(f.module, 0x401100, hit));
  EXPECT_EQ(hit.Unit, "Main.pas");
  EXPECT_EQ(hit.Procedure, "Button1Click");
}

TEST(DebugLookup, SkipsUnitsAndKeepsExtensions) {
  CipherSetKey("");
  std::vector<TDebugUnit> units = {{"a.cpp", 0, 0x000, 0x10, {E(1, 4)}},
                                   {"b.h", 0, 0x010, 0x10, {E(3, 4)}},
                                   {"c.cpp", 0, 0x020, 0x10, {}}};
  std::string stream = EncodeDebugInfo(units);
  TDebugModule m{stream, DebugInfoCurrentVersion, 0x10000000, true, "", {}};
  TDebugHit hit;
  ASSERT_TRUE(DebugLookup(m, 0x10001000 + 0x15, hit));
  EXPECT_EQ(hit.Unit, "b.h");
  EXPECT_EQ(hit.Line, 3);
  ASSERT_TRUE(DebugLookup(m, 0x10001000 + 0x2F, hit));
  EXPECT_EQ(hit.Unit, "c.cpp");
  EXPECT_EQ(hit.Line, 0);
  EXPECT_EQ(hit.Procedure, "");
}

TEST(DebugLookup, OldLayoutsWithPrefixAndXorNames) {
  std::vector<TDebugUnit> units = {{"Old", 5, 0, 0x20, {P(1, 0, "TOld", "Run"), E(1, 8)}}};
  for (uint16_t version : {404, 405, 499}) {
    std::string stream = EncodeDebugInfo(units, version);
    EXPECT_EQ(stream.find("Old"), std::string::npos);
    TDebugModule m{stream, version, 0x400000, false, "", {}};  // no password applies to old names
    TDebugHit hit;
    ASSERT_TRUE(DebugLookup(m, 0x401000 + 9, hit)) << version;
    EXPECT_EQ(hit.Unit, "Old.pas");
    EXPECT_EQ(hit.Class, "TOld");
    EXPECT_EQ(hit.Line, 7);
  }
}

// Every prefix of a valid stream, and random bit flips, are read without faults (the sanitizers
// watch the reads); the checked decoder refuses the truncated ones.
TEST(DebugLookup, DamagedStreamsNeverOverRead) {
  CipherSetKey("pw");
  std::string stream = EncodeDebugInfo(SampleUnits());
  std::mt19937 rng(1);
  for (size_t n = 0; n < stream.size(); ++n) {
    std::string cut = stream.substr(0, n);  // a separate allocation: over-reads are caught
    TDebugModule m{cut, DebugInfoCurrentVersion, 0x400000, true, "pw", {}};
    TDebugHit hit;
    for (uint32_t a : {0x401010u, 0x401020u, 0x401500u, 0x410000u}) DebugLookup(m, a, hit);
    EXPECT_THROW(DecodeDebugInfo(cut), EDebugInfoError) << n;
    std::string flipped = stream;
    flipped[rng() % flipped.size()] ^= char(1 << (rng() % 8));
    TDebugModule mf{flipped, DebugInfoCurrentVersion, 0x400000, true, "pw", {}};
    DebugLookup(mf, 0x401000 + rng() % 0x20000, hit);
  }
}

// Units built from random line rows and procedures: every covered address resolves to the file
// and line of the last row at or before it, and to the procedure that contains it.
TEST(BuildDebugUnits, LookupAgreesWithThePlainRowSearch) {
  std::mt19937 rng(7);
  const std::string files[] = {"a.cpp", "b.h", "c.cpp"};
  for (int round = 0; round < 20; ++round) {
    std::vector<TDebugSourceRow> rows;
    std::vector<TDebugProcedure> procs;
    uint32_t offset = rng() % 64;
    for (int f = 0; f < 12; ++f) {  // twelve procedures, each one sequence
      uint32_t low = offset;
      int line = 1 + rng() % 500;
      std::string file = files[rng() % 3];
      int rowCount = 1 + rng() % 12;
      for (int r = 0; r < rowCount; ++r) {
        // Lines mostly rise, sometimes fall back (loops), sometimes jump far or stay.
        int step = int(rng() % 10) - 3;
        if (rng() % 17 == 0) step = 70000;
        line = std::max(1, line + step);
        rows.push_back({offset, rng() % 9 == 0 ? files[rng() % 3] : file, line, false});
        offset += 1 + (rng() % 40 == 0 ? 70000 : rng() % 60);
      }
      rows.push_back({offset, file, 0, true});
      std::string cls = rng() % 2 ? "TClass" + std::to_string(rng() % 3) : "";
      procs.push_back({low, offset, cls, "proc" + std::to_string(f), line - int(rng() % 3)});
      offset += rng() % 24;  // padding, sometimes more than is absorbed
    }
    CipherSetKey("k");
    std::string stream = EncodeDebugInfo(BuildDebugUnits(rows, procs));
    TDebugModule m{stream, DebugInfoCurrentVersion, 0x00400000, true, "k", {}};
    DebugCipherUsePassword("k");
    for (size_t i = 0; i + 1 < rows.size(); ++i) {
      if (rows[i].EndSequence) continue;
      for (uint32_t a = rows[i].Offset; a < rows[i + 1].Offset; a += 1 + (rows[i + 1].Offset - a) / 3) {
        TDebugHit hit;
        ASSERT_TRUE(DebugLookup(m, 0x00401000 + a, hit)) << round << " " << a;
        EXPECT_EQ(hit.Unit, rows[i].File);
        EXPECT_EQ(hit.Line, rows[i].Line) << round << " " << a;
        auto p = std::find_if(procs.begin(), procs.end(), [&](auto& p) { return p.Low <= a && a < p.High; });
        ASSERT_NE(p, procs.end());
        EXPECT_EQ(hit.Procedure, p->Name);
        EXPECT_EQ(hit.Class, p->Class);
        EXPECT_GE(hit.LineOffset, 0);
      }
    }
  }
}

}  // namespace
