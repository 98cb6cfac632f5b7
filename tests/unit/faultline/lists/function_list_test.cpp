// Reading a module's exports from its image: a small hand-made DLL image in a buffer, and the same
// image damaged in the ways a hostile or broken module could be.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "faultline/lists/function_list.h"

namespace {

constexpr uint32_t Base = 0x10000000;

// A DLL image of 0x3000 bytes: headers, .text at 0x1000 and .edata at 0x2000, four named exports
// (one of them forwarded to another DLL).
struct TImage {
  std::vector<uint8_t> Bytes = std::vector<uint8_t>(0x3000, 0);

  template <typename T>
  void Put(uint32_t offset, T value) { std::memcpy(&Bytes[offset], &value, sizeof value); }
  void Put(uint32_t offset, const std::vector<uint8_t>& b) { std::memcpy(&Bytes[offset], b.data(), b.size()); }
  void PutText(uint32_t offset, const char* s) { std::memcpy(&Bytes[offset], s, std::strlen(s) + 1); }

  TImage() {
    Bytes[0] = 'M';
    Bytes[1] = 'Z';
    Put<uint32_t>(60, 0x80);
    PutText(0x80, "PE");
    Put<uint16_t>(0x84, 0x14C);       // machine
    Put<uint16_t>(0x86, 2);           // sections
    Put<uint16_t>(0x94, 224);         // optional header size
    Put<uint16_t>(0x96, 0x2102);      // executable image, 32-bit, DLL
    const uint32_t opt = 0x98;
    Put<uint16_t>(opt, 0x10B);
    Put<uint32_t>(opt + 4, 0x1000);   // size of code
    Put<uint32_t>(opt + 20, 0x1000);  // base of code
    Put<uint32_t>(opt + 56, 0x3000);  // size of image
    Put<uint32_t>(opt + 92, 16);
    Put<uint32_t>(opt + 96, 0x2000);  // export directory
    Put<uint32_t>(opt + 100, 0x100);
    const uint32_t sections = opt + 224;
    std::memcpy(&Bytes[sections], ".text", 5);
    Put<uint32_t>(sections + 8, 0x1000);
    Put<uint32_t>(sections + 12, 0x1000);
    std::memcpy(&Bytes[sections + 40], ".edata", 6);
    Put<uint32_t>(sections + 48, 0x1000);
    Put<uint32_t>(sections + 52, 0x2000);
    // Code: Alpha stores an immediate and leaves (C7, C9 are no returns), Beta returns with "ret 8",
    // Gamma runs into padding with no return at all.
    std::fill(Bytes.begin() + 0x1000, Bytes.begin() + 0x2000, 0x90);
    Put(0x1000, {0x55, 0x89, 0xE5, 0xC7, 0x00, 0x01, 0x00, 0x00, 0x00, 0xC9, 0xC3});
    Put(0x1020, {0x33, 0xC0, 0xC2, 0x08, 0x00});
    // Export directory.
    Put<uint32_t>(0x2000 + 20, 4);        // functions
    Put<uint32_t>(0x2000 + 24, 4);        // names
    Put<uint32_t>(0x2000 + 28, 0x2040);
    Put<uint32_t>(0x2000 + 32, 0x2060);
    Put<uint32_t>(0x2000 + 36, 0x2080);
    Put<uint32_t>(0x2040, 0x1020);        // ordinal 0: Beta
    Put<uint32_t>(0x2044, 0x1000);        // ordinal 1: Alpha
    Put<uint32_t>(0x2048, 0x20C0);        // ordinal 2: forwarded ("OTHER.Func" inside the directory)
    Put<uint32_t>(0x204C, 0x1040);        // ordinal 3: Gamma
    const char* names[] = {"Alpha", "Beta", "Fwd", "Gamma"};
    const uint16_t ordinals[] = {1, 0, 2, 3};
    for (uint32_t i = 0; i < 4; ++i) {
      Put<uint32_t>(0x2060 + i * 4, 0x20A0 + i * 8);
      PutText(0x20A0 + i * 8, names[i]);
      Put<uint16_t>(0x2080 + i * 2, ordinals[i]);
    }
    PutText(0x20C0, "OTHER.Func");
  }

  // Reads like the process memory: only what lies inside the image (and not in `hole`) is readable.
  TMemoryRead Reader(uint32_t holeStart = 0, uint32_t holeEnd = 0) const {
    return [this, holeStart, holeEnd](uint32_t address, void* buffer, size_t size) {
      if (address < Base || address - Base > Bytes.size() || size > Bytes.size() - (address - Base)) return false;
      const uint32_t off = address - Base;
      if (holeEnd > holeStart && off < holeEnd && off + size > holeStart) return false;
      std::memcpy(buffer, &Bytes[off], size);
      return true;
    };
  }
};

std::string Describe(const TFaultFunctionsList& list) {
  std::string s;
  for (const auto& f : list) {
    char row[96];
    std::snprintf(row, sizeof row, "%s@%X+%u ", f.Name.c_str(), f.Address - Base, f.Size);
    s += row;
  }
  return s;
}

TEST(ModuleExports, SortedByAddressWithProcedureLengthsAndNoForwarders) {
  TImage image;
  TFaultFunctionsList list;
  ASSERT_TRUE(LoadModuleExports(Base, image.Reader(), list));
  // Alpha ends at its C3 (not at C7 or C9), Beta at C2 08 00, Gamma has no return before the end
  // of the code (size 1); the forwarded export is no code and is left out.
  EXPECT_EQ(Describe(list), "Alpha@1000+11 Beta@1020+5 Gamma@1040+1 ");
  ASSERT_TRUE(LoadModuleExports(Base, image.Reader(), list, true));
  EXPECT_EQ(Describe(list), "Alpha@1000+1 Beta@1020+1 Gamma@1040+1 ");
  TImageFacts facts;
  ASSERT_TRUE(ReadImageFacts(Base, image.Reader(), facts));
  EXPECT_TRUE(facts.IsLibrary);
  EXPECT_EQ(facts.CodeStart, Base + 0x1000);
  EXPECT_EQ(facts.CodeEnd, Base + 0x2000);
}

TEST(ModuleExports, DamagedImages) {
  struct Case {
    const char* what;
    void (*damage)(TImage&);
    bool loads;
    const char* exports;
  } cases[] = {
      {"wrong PE signature", [](TImage& i) { i.Bytes[0x82] = 'X'; }, false, ""},
      {"no MZ", [](TImage& i) { i.Bytes[0] = 'Z'; }, false, ""},
      {"header offset past the image", [](TImage& i) { i.Put<uint32_t>(60, 0x7FFFFFF0); }, false, ""},
      {"header offset that wraps", [](TImage& i) { i.Put<uint32_t>(60, 0xFFFFFFF0); }, false, ""},
      {"64-bit optional header", [](TImage& i) { i.Put<uint16_t>(0x98, 0x20B); }, false, ""},
      {"export directory outside every section", [](TImage& i) { i.Put<uint32_t>(0x98 + 96, 0x5000); }, false, ""},
      {"export directory with a non-zero first word", [](TImage& i) { i.Put<uint32_t>(0x2000, 1); }, false, ""},
      {"name pointing outside the image", [](TImage& i) { i.Put<uint32_t>(0x2060, 0x00F00000); }, true,
       "Beta@1020+5 Gamma@1040+1 "},
      {"name table outside the image", [](TImage& i) { i.Put<uint32_t>(0x2000 + 32, 0xFFFFFF00); }, true, ""},
      {"ordinal beyond the functions", [](TImage& i) { i.Put<uint16_t>(0x2082, 9); }, true,
       "Alpha@1000+11 Gamma@1040+1 "},
      {"function beyond the image", [](TImage& i) { i.Put<uint32_t>(0x204C, 0x00F00000); }, true,
       "Alpha@1000+11 Beta@1020+5 "},
      {"huge counts", [](TImage& i) { i.Put<uint32_t>(0x2000 + 20, 0xFFFFFFFF); i.Put<uint32_t>(0x2000 + 24, 0xFFFFFFFF); },
       true, "Alpha@1000+11 Beta@1020+5 Gamma@1040+1 "},
      {"name running into unreadable memory without its terminator",
       [](TImage& i) { i.Put<uint32_t>(0x2060, 0x2FFC); std::memset(&i.Bytes[0x2FFC], 'A', 4); }, true,
       "Beta@1020+5 Gamma@1040+1 "},
      {"name longer than 256 characters is cut",
       [](TImage& i) { i.Put<uint32_t>(0x2060, 0x2400); std::memset(&i.Bytes[0x2400], 'L', 300); }, true,
       nullptr},
  };
  for (const Case& c : cases) {
    TImage image;
    c.damage(image);
    TFaultFunctionsList list;
    EXPECT_EQ(LoadModuleExports(Base, image.Reader(), list), c.loads) << c.what;
    if (c.exports) {
      EXPECT_EQ(Describe(list), c.exports) << c.what;
    } else {
      ASSERT_EQ(list.size(), 3u) << c.what;
      EXPECT_EQ(list[0].Name, std::string(256, 'L')) << c.what;
    }
  }
}

TEST(ModuleExports, UnreadableCode) {
  TImage image;
  TFaultFunctionsList list;
  // Alpha's code cannot be read at all: size 0. Beta's code is readable but what follows is not.
  ASSERT_TRUE(LoadModuleExports(Base, image.Reader(0x1000, 0x1010), list));
  EXPECT_EQ(Describe(list), "Alpha@1000+0 Beta@1020+5 Gamma@1040+1 ");
}

TEST(ModuleExports, WalksThatRunIntoOtherExportsGiveTheLengthsOfSeparateWalks) {
  // Alpha's "mov eax, imm32" hides Beta's "ret" in its immediate: Alpha's walk passes Beta's
  // address without stopping there. Gamma's walk runs through padding into Delta at 0x1010.
  TImage image;
  std::fill(image.Bytes.begin() + 0x1000, image.Bytes.begin() + 0x1010, 0x90);
  image.Put(0x1000, {0xB8, 0xC3, 0x90, 0x90, 0x90, 0xC3});
  image.Put(0x1010, {0x33, 0xC0, 0xC3});
  image.Put<uint32_t>(0x2044, 0x1000);  // Alpha
  image.Put<uint32_t>(0x2040, 0x1001);  // Beta
  image.Put<uint32_t>(0x204C, 0x1006);  // Gamma
  image.Put<uint32_t>(0x2048, 0x1010);  // the former forwarder, now code: "Fwd"
  TFaultFunctionsList list;
  ASSERT_TRUE(LoadModuleExports(Base, image.Reader(), list));
  EXPECT_EQ(Describe(list), "Alpha@1000+6 Beta@1001+1 Gamma@1006+13 Fwd@1010+3 ");
  for (const auto& f : list) EXPECT_EQ(f.Size, ExportProcedureLength(f.Address, Base + 0x2000, image.Reader())) << f.Name;
}

TEST(ModuleExports, LongProcedureAcrossReadChunks) {
  // 12000 bytes of code: NOPs, a 10-byte "mov dword [abs], imm" straddling the 4096-byte read
  // boundary, and the return after it. A NOP-only run without return has size 1.
  std::vector<uint8_t> code(12000, 0x90);
  const uint8_t mov[] = {0xC7, 0x05, 0xC3, 0xC3, 0xC3, 0xC3, 0xC3, 0xC3, 0xC3, 0xC3};
  std::memcpy(&code[4090], mov, sizeof mov);
  code[4100] = 0xC3;
  TMemoryRead read = [&code](uint32_t address, void* buffer, size_t size) {
    if (address < Base || address - Base > code.size() || size > code.size() - (address - Base)) return false;
    std::memcpy(buffer, &code[address - Base], size);
    return true;
  };
  EXPECT_EQ(ExportProcedureLength(Base, Base + 12000, read), 4101u);
  EXPECT_EQ(ExportProcedureLength(Base + 4101, Base + 12000, read), 1u);
  EXPECT_EQ(ExportProcedureLength(Base + 4101, Base + 20000, read), 1u);  // runs into unreadable memory
}

}  // namespace
