// The resource writer on hand-made images: a header with no room for another section header,
// resources added one after another, and damaged images refused.
#include <gtest/gtest.h>

#include <cstring>
#include <random>

#include "tools/fldata/pe_image.h"

namespace {

void Put32(std::string& s, size_t at, uint32_t v) { std::memcpy(s.data() + at, &v, 4); }
void Put16(std::string& s, size_t at, uint16_t v) { std::memcpy(s.data() + at, &v, 2); }
uint32_t Get32(const std::string& s, size_t at) {
  uint32_t v;
  std::memcpy(&v, s.data() + at, 4);
  return v;
}

// A PE32 image with `count` sections; five fill its 0x200 bytes of headers exactly.
std::string MakeImage(int count) {
  const uint32_t pe = 0x40, opt = pe + 24, table = opt + 224;
  std::string img(0x200 * (count + 1), '\0');
  img[0] = 'M';
  img[1] = 'Z';
  Put32(img, 60, pe);
  std::memcpy(img.data() + pe, "PE\0\0", 4);
  Put16(img, pe + 4, 0x14C);
  Put16(img, pe + 6, uint16_t(count));
  Put16(img, pe + 20, 224);
  Put16(img, opt, 0x10B);
  Put32(img, opt + 28, 0x400000);
  Put32(img, opt + 32, 0x1000);
  Put32(img, opt + 36, 0x200);
  Put32(img, opt + 56, 0x1000 * (count + 1));
  Put32(img, opt + 60, 0x200);
  Put32(img, opt + 92, 16);
  for (int i = 0; i < count; ++i) {
    size_t h = table + i * 40;
    std::string name = i == 0 ? ".text" : ".d" + std::to_string(i);
    std::memcpy(img.data() + h, name.data(), name.size());
    Put32(img, h + 8, 0x180);
    Put32(img, h + 12, 0x1000 * (i + 1));
    Put32(img, h + 16, 0x200);
    Put32(img, h + 20, 0x200 * (i + 1));
    Put32(img, h + 36, i == 0 ? 0x60000020u : 0xC0000040u);
    for (int k = 0; k < 0x180; ++k) img[0x200 * (i + 1) + k] = char(i * 31 + k);
  }
  return img;
}

TEST(PeResources, FullHeaderMovesSectionDataButNotCode) {
  for (int count : {4, 5}) {
    TPeImage before(MakeImage(count));
    TPeImage after(before.WithResource(10, "FLDATA", "container bytes"));
    ASSERT_EQ(after.Sections().size(), size_t(count + 1));
    for (const TPeSection& s : before.Sections()) {
      const TPeSection* t = after.FindSection(s.Name);
      ASSERT_NE(t, nullptr);
      EXPECT_EQ(t->VirtualAddress, s.VirtualAddress);
      EXPECT_EQ(t->RawPointer, s.RawPointer + (count == 5 ? 0x200u : 0u));
      EXPECT_TRUE(after.SectionBytes(*t) == before.SectionBytes(s)) << s.Name;
    }
    const TPeSection& added = after.Sections().back();
    EXPECT_EQ(added.Name, ".rsrc");
    EXPECT_EQ(added.VirtualAddress, 0x1000u * (count + 1));
    EXPECT_EQ(added.RawPointer % 0x200, 0u);
    EXPECT_EQ(after.FindResource(10, "fldata"), "container bytes");  // names match case-insensitively
    const std::string& bytes = after.Bytes();
    EXPECT_EQ(Get32(bytes, 0x58 + 60), count == 5 ? 0x400u : 0x200u);  // SizeOfHeaders
    EXPECT_EQ(Get32(bytes, 0x58 + 56), 0x1000u * (count + 2));          // SizeOfImage
    EXPECT_EQ(Get32(bytes, 0x58 + 96 + 16), added.VirtualAddress);      // resource directory
  }
}

TEST(PeResources, ResourcesAccumulateAndReplace) {
  TPeImage one(TPeImage(MakeImage(3)).WithResource(10, "ZED", "z"));
  TPeImage two(one.WithResource(10, "ALPHA", std::string(1000, 'a')));
  TPeImage three(two.WithResource(10, "ZED", "zz"));
  EXPECT_EQ(three.FindResource(10, "ALPHA"), std::string(1000, 'a'));
  EXPECT_EQ(three.FindResource(10, "ZED"), "zz");
  EXPECT_EQ(three.FindResource(3, "ZED"), std::nullopt);
  // The section this tool added is written anew, not stacked.
  EXPECT_EQ(three.Sections().size(), 4u);
  EXPECT_EQ(three.Bytes().size(), two.Bytes().size());
  // Named directory entries are kept sorted (the loader searches them by bisection).
  const TPeSection& rsrc = three.Sections().back();
  std::string_view dir = three.SectionBytes(rsrc);
  uint32_t typeDir = Get32(std::string(dir.substr(16 + 4, 4)), 0) & 0x7FFFFFFF;
  auto nameAt = [&](int entry) {
    uint32_t off = Get32(std::string(dir.substr(typeDir + 16 + entry * 8, 4)), 0) & 0x7FFFFFFF;
    uint16_t len = uint16_t(uint8_t(dir[off]) | uint8_t(dir[off + 1]) << 8);
    std::string name;
    for (int k = 0; k < len; ++k) name += dir[off + 2 + 2 * k];
    return name;
  };
  EXPECT_EQ(nameAt(0), "ALPHA");
  EXPECT_EQ(nameAt(1), "ZED");
}

TEST(PeResources, DamagedImagesAreRefused) {
  std::string good = TPeImage(MakeImage(3)).WithResource(10, "FLDATA", "data");
  std::mt19937 rng(3);
  for (size_t n : {size_t(0), size_t(10), size_t(0x44), size_t(0x150)})
    EXPECT_THROW(TPeImage(good.substr(0, n)), EPeError) << n;
  // Random damage: either refused or read, never read out of bounds (the sanitizers watch).
  for (int round = 0; round < 300; ++round) {
    std::string bad = good;
    for (int k = 0; k < 4; ++k) bad[0x40 + rng() % (bad.size() - 0x40)] ^= char(1 + rng() % 255);
    try {
      TPeImage image(bad);
      image.FindResource(10, "FLDATA");
      image.WithResource(10, "FLDATA", "new");
    } catch (const EPeError&) {
    }
  }
}

}  // namespace
