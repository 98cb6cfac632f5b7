// The resource writer on hand-made images, PE32 and PE32+: a header with no room for another
// section header, resources added one after another, and damaged images refused.
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

// One row per image form. PE32+ has the longer optional header, so fewer section headers fit in
// the same 0x200 bytes of headers.
struct TForm {
  const char* Name;
  bool Is64;
  uint32_t OptSize;      // optional header with its 16 data directories
  uint32_t DirsAt;       // where the data directories start in it
  int Roomy, Full;       // section counts that leave room for one more header, and that do not
};
const TForm kForms[] = {{"PE32", false, 224, 96, 4, 5}, {"PE32plus", true, 240, 112, 3, 4}};
void PrintTo(const TForm& form, std::ostream* os) { *os << form.Name; }
constexpr uint32_t kOpt = 0x40 + 24;  // the optional header in MakeImage's images

// An image with `count` sections; Full of them fill its 0x200 bytes of headers.
std::string MakeImage(const TForm& form, int count) {
  const uint32_t pe = 0x40, opt = kOpt, table = opt + form.OptSize;
  std::string img(0x200 * (count + 1), '\0');
  img[0] = 'M';
  img[1] = 'Z';
  Put32(img, 60, pe);
  std::memcpy(img.data() + pe, "PE\0\0", 4);
  Put16(img, pe + 4, form.Is64 ? 0x8664 : 0x14C);
  Put16(img, pe + 6, uint16_t(count));
  Put16(img, pe + 20, uint16_t(form.OptSize));
  Put16(img, opt, form.Is64 ? 0x20B : 0x10B);
  if (form.Is64) {
    Put32(img, opt + 24, 0x40000000);  // image base 0x140000000
    Put32(img, opt + 28, 0x1);
  } else {
    Put32(img, opt + 28, 0x400000);
  }
  Put32(img, opt + 32, 0x1000);
  Put32(img, opt + 36, 0x200);
  Put32(img, opt + 56, 0x1000 * (count + 1));
  Put32(img, opt + 60, 0x200);
  Put32(img, opt + form.DirsAt - 4, 16);
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

class PeResources : public ::testing::TestWithParam<TForm> {};

TEST_P(PeResources, FullHeaderMovesSectionDataButNotCode) {
  const TForm& form = GetParam();
  for (int count : {form.Roomy, form.Full}) {
    TPeImage before(MakeImage(form, count));
    EXPECT_EQ(before.Is64(), form.Is64);
    EXPECT_EQ(before.ImageBase(), form.Is64 ? 0x140000000u : 0x400000u);
    TPeImage after(before.WithResource(10, "FLDATA", "container bytes"));
    ASSERT_EQ(after.Sections().size(), size_t(count + 1));
    for (const TPeSection& s : before.Sections()) {
      const TPeSection* t = after.FindSection(s.Name);
      ASSERT_NE(t, nullptr);
      EXPECT_EQ(t->VirtualAddress, s.VirtualAddress);
      EXPECT_EQ(t->RawPointer, s.RawPointer + (count == form.Full ? 0x200u : 0u));
      EXPECT_TRUE(after.SectionBytes(*t) == before.SectionBytes(s)) << s.Name;
    }
    const TPeSection& added = after.Sections().back();
    EXPECT_EQ(added.Name, ".rsrc");
    EXPECT_EQ(added.VirtualAddress, 0x1000u * (count + 1));
    EXPECT_EQ(added.RawPointer % 0x200, 0u);
    EXPECT_EQ(after.FindResource(10, "fldata"), "container bytes");  // names match case-insensitively
    const std::string& bytes = after.Bytes();
    EXPECT_EQ(Get32(bytes, kOpt + 60), count == form.Full ? 0x400u : 0x200u);  // SizeOfHeaders
    EXPECT_EQ(Get32(bytes, kOpt + 56), 0x1000u * (count + 2));                 // SizeOfImage
    EXPECT_EQ(Get32(bytes, kOpt + form.DirsAt + 16), added.VirtualAddress);    // resource directory
    // The image base is not touched (in PE32+ it is 8 bytes where PE32 has two 4-byte fields).
    EXPECT_EQ(after.ImageBase(), before.ImageBase());
  }
}

TEST_P(PeResources, ResourcesAccumulateAndReplace) {
  const TForm& form = GetParam();
  TPeImage one(TPeImage(MakeImage(form, 3)).WithResource(10, "ZED", "z"));
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

TEST_P(PeResources, DamagedImagesAreRefused) {
  const TForm& form = GetParam();
  std::string good = TPeImage(MakeImage(form, 3)).WithResource(10, "FLDATA", "data");
  std::mt19937 rng(3);
  // Cut in the MZ header, in the PE header, in the section table, in the last section's data.
  for (size_t n : {size_t(0), size_t(10), size_t(0x44), size_t(0x150), good.size() - 1})
    EXPECT_THROW(TPeImage(good.substr(0, n)), EPeError) << n;
  // An optional header too short for the fields of its own form.
  std::string shortHeader = good;
  Put16(shortHeader, 0x40 + 20, uint16_t(form.DirsAt - 8));
  EXPECT_THROW(TPeImage{shortHeader}, EPeError);
  // Neither PE32 nor PE32+ (a ROM image's magic).
  std::string rom = good;
  Put16(rom, kOpt, 0x107);
  EXPECT_THROW(TPeImage{rom}, EPeError);
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

INSTANTIATE_TEST_SUITE_P(Form, PeResources, ::testing::ValuesIn(kForms),
                         [](const ::testing::TestParamInfo<TForm>& info) { return std::string(info.param.Name); });

}  // namespace
