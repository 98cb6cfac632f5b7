// The screenshot PNG read back by real decoders (Python's imaging library for the pixels, pngcheck
// for the format when it is installed, zlib's crc32 and inflate for the chunk layout), the octree
// checked against the pixels it was built from, and the nearest-colour mapping against an
// exhaustive search.
#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "faultline/ui/color_reduction.h"
#include "tests/unit/python_judge.h"
#include "faultline/ui/png_writer.h"

namespace fs = std::filesystem;

namespace {

using python_judge::ReadFile;
using python_judge::Shell;
using python_judge::WriteFile;

// ---- pictures ---------------------------------------------------------------------------------

// A 24-bit picture laid out like a DIB: rows padded to 4 bytes, the padding filled with a byte
// that must never show up as a colour.
struct TPicture {
  uint32_t Width = 0;
  uint32_t Height = 0;
  size_t Stride = 0;
  std::vector<uint8_t> Bits;  // top row first
  TPicture(uint32_t w, uint32_t h, uint8_t padding = 0) : Width(w), Height(h), Stride((w * 3 + 3) & ~3u) {
    Bits.assign(Stride * h, padding);
  }
  void Set(uint32_t x, uint32_t y, TRgb c) {
    uint8_t* p = &Bits[y * Stride + x * 3];
    p[0] = c.B;
    p[1] = c.G;
    p[2] = c.R;
  }
  TRgb At(uint32_t x, uint32_t y) const {
    const uint8_t* p = &Bits[y * Stride + x * 3];
    return {p[2], p[1], p[0]};
  }
  TBgrView View() const { return {Width, Height, Bits.data(), Stride, TRowOrder::TopDown}; }
  // The same picture stored bottom row first, as a DIB with a positive height.
  std::vector<uint8_t> BottomUpBits() const {
    std::vector<uint8_t> out(Bits.size());
    for (uint32_t y = 0; y < Height; ++y) {
      std::copy_n(&Bits[y * Stride], Stride, &out[(Height - 1 - y) * Stride]);
    }
    return out;
  }
};

uint32_t Morton(TRgb c) {
  uint32_t code = 0;
  for (int bit = 7; bit >= 0; --bit) {
    code = (code << 3) | (((c.R >> bit) & 1u) << 2) | (((c.G >> bit) & 1u) << 1) | ((c.B >> bit) & 1u);
  }
  return code;
}

uint32_t Distance(TRgb a, TRgb b) {
  auto sq = [](int v) { return uint32_t(v * v); };
  return sq(a.R - b.R) + sq(a.G - b.G) + sq(a.B - b.B);
}

// The exhaustive answer: the lowest index among the nearest of the first Count entries.
uint8_t NearestByExhaustiveSearch(const TPalette& palette, TRgb c) {
  uint32_t best = 0;
  for (uint32_t i = 1; i < palette.Count; ++i) {
    if (Distance(palette.Colors[i], c) < Distance(palette.Colors[best], c)) best = i;
  }
  return uint8_t(best);
}

std::set<uint32_t> DistinctColors(const TPicture& pic) {
  std::set<uint32_t> colors;
  for (uint32_t y = 0; y < pic.Height; ++y) {
    for (uint32_t x = 0; x < pic.Width; ++x) colors.insert(Morton(pic.At(x, y)));
  }
  return colors;
}

// The octree against the pixels it was built from: at most 256 leaves, each with pixels; the
// leaves, in depth-first order, stand for disjoint boxes of colours in ascending order that cover
// every pixel; each leaf's count and sums are exactly those of the pixels in its box; the palette
// is their means.
void ExpectOctreeAgreesWithPixels(const TPicture& pic, const TColorOctree& tree, const std::string& what) {
  auto leaves = tree.Leaves();
  ASSERT_LE(leaves.size(), 256u) << what;
  ASSERT_EQ(leaves.size(), tree.LeafCount()) << what;
  std::vector<uint32_t> first(leaves.size()), last(leaves.size());
  for (size_t i = 0; i < leaves.size(); ++i) {
    ASSERT_GT(leaves[i].Count, 0u) << what;
    uint32_t shift = 3 * (8 - leaves[i].Depth);
    first[i] = leaves[i].Path << shift;
    last[i] = first[i] + ((1u << shift) - 1);
    if (i) {
      ASSERT_GT(first[i], last[i - 1]) << what << ": leaves out of order or overlapping at " << i;
    }
  }
  std::vector<TColorOctree::TLeaf> sums(leaves.size());
  for (uint32_t y = 0; y < pic.Height; ++y) {
    for (uint32_t x = 0; x < pic.Width; ++x) {
      TRgb c = pic.At(x, y);
      uint32_t code = Morton(c);
      size_t i = std::upper_bound(first.begin(), first.end(), code) - first.begin();
      ASSERT_TRUE(i > 0 && code <= last[i - 1]) << what << ": a pixel colour outside every leaf";
      TColorOctree::TLeaf& s = sums[i - 1];
      ++s.Count;
      s.SumR += c.R;
      s.SumG += c.G;
      s.SumB += c.B;
    }
  }
  TPalette palette = tree.Palette();
  ASSERT_EQ(palette.Count, leaves.size()) << what;
  for (size_t i = 0; i < leaves.size(); ++i) {
    EXPECT_EQ(leaves[i].Count, sums[i].Count) << what << " leaf " << i;
    EXPECT_EQ(leaves[i].SumR, sums[i].SumR) << what << " leaf " << i;
    EXPECT_EQ(leaves[i].SumG, sums[i].SumG) << what << " leaf " << i;
    EXPECT_EQ(leaves[i].SumB, sums[i].SumB) << what << " leaf " << i;
    TRgb mean{uint8_t(sums[i].SumR / sums[i].Count), uint8_t(sums[i].SumG / sums[i].Count),
              uint8_t(sums[i].SumB / sums[i].Count)};
    EXPECT_EQ(palette.Colors[i], mean) << what << " entry " << i;
  }
}

// ---- the file, chunk by chunk ---------------------------------------------------------------

struct TChunk {
  std::string Type;
  std::string Data;
};

uint32_t Be32(const std::string& s, size_t at) {
  return uint32_t(uint8_t(s[at])) << 24 | uint32_t(uint8_t(s[at + 1])) << 16 | uint32_t(uint8_t(s[at + 2])) << 8 |
         uint8_t(s[at + 3]);
}

// Splits the file into chunks, checking the signature and every CRC with zlib's crc32.
std::vector<TChunk> Chunks(const std::string& png) {
  std::vector<TChunk> chunks;
  EXPECT_EQ(png.substr(0, 8), std::string("\x89PNG\r\n\x1a\n", 8));
  size_t at = 8;
  while (at + 12 <= png.size()) {
    uint32_t size = Be32(png, at);
    if (at + 12 + size > png.size()) break;
    TChunk c{png.substr(at + 4, 4), png.substr(at + 8, size)};
    uLong crc = crc32(0, reinterpret_cast<const Bytef*>(png.data() + at + 4), uInt(size + 4));
    EXPECT_EQ(Be32(png, at + 8 + size), crc) << c.Type;
    chunks.push_back(std::move(c));
    at += 12 + size;
  }
  EXPECT_EQ(at, png.size()) << "bytes after the last whole chunk";
  return chunks;
}

std::string Inflate(const std::string& zlibStream, size_t expectedSize) {
  std::string out(expectedSize + 1, '\0');
  uLongf size = uLongf(out.size());
  int rc = uncompress(reinterpret_cast<Bytef*>(out.data()), &size, reinterpret_cast<const Bytef*>(zlibStream.data()),
                      uLong(zlibStream.size()));
  EXPECT_EQ(rc, Z_OK);
  out.resize(size);
  return out;
}

// The layout every screenshot file has: IHDR (width, height, 8, 3, 0, 0, 0), a full PLTE equal to
// the palette, IDAT chunks of 262143 bytes but the last, IEND; the zlib stream made at level 9
// with a 32 KB window, holding rows of a filter byte 0 and width indices. Returns the indices.
std::string ExpectScreenshotLayout(const std::string& png, uint32_t width, uint32_t height, const TPalette& palette,
                                   size_t* idatChunks = nullptr) {
  auto chunks = Chunks(png);
  EXPECT_GE(chunks.size(), 4u);
  if (chunks.size() < 4) return {};
  EXPECT_EQ(chunks[0].Type, "IHDR");
  EXPECT_EQ(chunks[0].Data, std::string({char(width >> 24), char(width >> 16), char(width >> 8), char(width),
                                         char(height >> 24), char(height >> 16), char(height >> 8), char(height), 8, 3,
                                         0, 0, 0}));
  EXPECT_EQ(chunks[1].Type, "PLTE");
  std::string entries;
  for (const TRgb& c : palette.Colors) entries += {char(c.R), char(c.G), char(c.B)};
  EXPECT_TRUE(chunks[1].Data == entries) << "PLTE differs from the palette";
  std::string stream;
  size_t i = 2;
  for (; i < chunks.size() && chunks[i].Type == "IDAT"; ++i) {
    if (i + 1 < chunks.size() && chunks[i + 1].Type == "IDAT") {
      EXPECT_EQ(chunks[i].Data.size(), 262143u) << "IDAT " << i - 2;
    } else {
      EXPECT_TRUE(!chunks[i].Data.empty() && chunks[i].Data.size() <= 262143u);
    }
    stream += chunks[i].Data;
  }
  if (idatChunks) *idatChunks = i - 2;
  EXPECT_EQ(i + 1, chunks.size());
  EXPECT_EQ(chunks.back().Type, "IEND");
  EXPECT_TRUE(chunks.back().Data.empty());
  EXPECT_EQ(uint8_t(stream[0]), 0x78) << "deflate with a 32 KB window";
  EXPECT_EQ(uint8_t(stream[1]) >> 6, 3) << "maximum compression level";
  std::string rows = Inflate(stream, size_t(width + 1) * height);
  EXPECT_EQ(rows.size(), size_t(width + 1) * height);
  std::string indices;
  for (size_t at = 0; at + width < rows.size(); at += width + 1) {
    EXPECT_EQ(rows[at], 0) << "filter byte of row " << at / (width + 1);
    indices.append(rows, at + 1, width);
  }
  return indices;
}

// ---- the outside judges ---------------------------------------------------------------------

class TempDir {
 public:
  TempDir() {
    char tmpl[] = "/tmp/tarn-png-XXXXXX";
    path_ = mkdtemp(tmpl);
  }
  ~TempDir() { fs::remove_all(path_); }
  const fs::path& Path() const { return path_; }

 private:
  fs::path path_;
};

// What PIL makes of a file: its mode and size, the palette it read, and every pixel as RGB.
struct TDecoded {
  std::string Mode;
  uint32_t Width = 0;
  uint32_t Height = 0;
  std::string Palette;
  std::string Rgb;
};

// Decodes all files in one run of Debian's interpreter, which has python3-pil (one run per file
// would dominate the test's time).
std::vector<TDecoded> DecodeWithPil(const std::vector<fs::path>& files, const fs::path& dir) {
  static const char kScript[] = R"(import sys
from PIL import Image
for p in open(sys.argv[1]).read().split('\n'):
    if not p:
        continue
    im = Image.open(p)
    im.load()
    pal = bytes(im.getpalette() or [])
    with open(p + '.dec', 'wb') as f:
        f.write(('%s %d %d %d\n' % (im.mode, im.width, im.height, len(pal))).encode())
        f.write(pal)
        f.write(im.convert('RGB').tobytes())
)";
  WriteFile(dir / "decode.py", kScript);
  std::string list;
  for (const fs::path& f : files) list += f.string() + "\n";
  WriteFile(dir / "files.txt", list);
  int status = -1;
  std::string out = Shell("/usr/bin/python3 " + (dir / "decode.py").string() + " " + (dir / "files.txt").string() + " 2>&1",
                          &status);
  EXPECT_EQ(status, 0) << out;
  std::vector<TDecoded> decoded;
  for (const fs::path& f : files) {
    std::string bytes = ReadFile(f.string() + ".dec");
    TDecoded d;
    size_t eol = bytes.find('\n');
    size_t paletteSize = 0;
    std::istringstream header(bytes.substr(0, eol));
    header >> d.Mode >> d.Width >> d.Height >> paletteSize;
    if (eol != std::string::npos) {
      d.Palette = bytes.substr(eol + 1, paletteSize);
      d.Rgb = bytes.substr(eol + 1 + paletteSize);
    }
    decoded.push_back(std::move(d));
  }
  return decoded;
}

bool HavePngcheck() { return std::system("command -v pngcheck >/dev/null 2>&1") == 0; }

// pngcheck over all files at once; quiet mode names only the files it finds fault with.
void ExpectPngcheckAccepts(const std::vector<fs::path>& files) {
  if (!HavePngcheck()) {
    std::printf("pngcheck is not installed: the files are checked by PIL and zlib only\n");
    return;
  }
  for (size_t at = 0; at < files.size(); at += 100) {
    std::string command = "pngcheck -q";
    for (size_t i = at; i < std::min(files.size(), at + 100); ++i) command += " " + files[i].string();
    int status = -1;
    std::string out = Shell(command + " 2>&1", &status);
    EXPECT_EQ(status, 0) << out;
  }
}

std::string Rgb(TRgb c) { return {char(c.R), char(c.G), char(c.B)}; }

std::string PaletteBytes(const TPalette& palette) {
  std::string s;
  for (const TRgb& c : palette.Colors) s += Rgb(c);
  return s;
}

// A file to be judged: the bytes written, and the RGB every pixel must decode to.
struct TExpected {
  fs::path File;
  uint32_t Width, Height;
  TPalette Palette;
  std::string Rgb;
  std::string What;
};

void ExpectDecodersAgree(const std::vector<TExpected>& expected, const fs::path& dir) {
  std::vector<fs::path> files;
  for (const TExpected& e : expected) files.push_back(e.File);
  ExpectPngcheckAccepts(files);
  auto decoded = DecodeWithPil(files, dir);
  ASSERT_EQ(decoded.size(), expected.size());
  for (size_t i = 0; i < expected.size(); ++i) {
    const TExpected& e = expected[i];
    const TDecoded& d = decoded[i];
    EXPECT_EQ(d.Mode, "P") << e.What;
    EXPECT_EQ(d.Width, e.Width) << e.What;
    EXPECT_EQ(d.Height, e.Height) << e.What;
    EXPECT_TRUE(d.Palette == PaletteBytes(e.Palette)) << e.What << ": the decoded palette differs";
    ASSERT_EQ(d.Rgb.size(), e.Rgb.size()) << e.What;
    if (d.Rgb != e.Rgb) {
      size_t at = std::mismatch(d.Rgb.begin(), d.Rgb.end(), e.Rgb.begin()).first - d.Rgb.begin();
      ADD_FAILURE() << e.What << ": pixel " << at / 3 % e.Width << "," << at / 3 / e.Width << " decodes wrong";
    }
  }
}

// The expected decoded pixels: every pixel as the nearest palette colour by exhaustive search.
std::string NearestRgb(const TPicture& pic, const TPalette& palette) {
  std::string rgb;
  for (uint32_t y = 0; y < pic.Height; ++y) {
    for (uint32_t x = 0; x < pic.Width; ++x) rgb += Rgb(palette.Colors[NearestByExhaustiveSearch(palette, pic.At(x, y))]);
  }
  return rgb;
}

std::string PictureRgb(const TPicture& pic) {
  std::string rgb;
  for (uint32_t y = 0; y < pic.Height; ++y) {
    for (uint32_t x = 0; x < pic.Width; ++x) rgb += Rgb(pic.At(x, y));
  }
  return rgb;
}

// ---- tests ------------------------------------------------------------------------------------

// At most 256 colours survive exactly, whatever the width (the row padding, black here and not a
// colour of the pictures, must stay out of the palette) and whichever way the rows are stored.
TEST(ScreenshotPng, AtMost256ColoursSurviveExactly) {
  struct TCase {
    uint32_t Width, Height, Colors;
  } cases[] = {{8, 6, 40}, {16, 16, 256}, {17, 16, 256}, {13, 7, 91}, {1, 9, 5}, {1, 1, 1}, {3, 2, 1}, {300, 2, 256}};
  TempDir dir;
  std::vector<TExpected> expected;
  std::mt19937 rng(7);
  for (const TCase& c : cases) {
    std::string what = std::to_string(c.Width) + "x" + std::to_string(c.Height) + " with " +
                       std::to_string(c.Colors) + " colours";
    // Distinct colours, none black, each used at least once.
    std::set<uint32_t> seen;
    std::vector<TRgb> colors;
    while (colors.size() < c.Colors) {
      TRgb rgb{uint8_t(rng()), uint8_t(rng()), uint8_t(rng() | 1)};
      if (seen.insert(Morton(rgb)).second) colors.push_back(rgb);
    }
    TPicture pic(c.Width, c.Height);
    for (uint32_t i = 0; i < c.Width * c.Height; ++i) {
      pic.Set(i % c.Width, i / c.Width, colors[i < c.Colors ? i : rng() % c.Colors]);
    }

    TPalette palette = ReduceColors(pic.View());
    ASSERT_EQ(palette.Count, c.Colors) << what;
    // No reduction: the palette is the colours themselves, in depth-first (interleaved-bit) order.
    std::vector<TRgb> sorted = colors;
    std::sort(sorted.begin(), sorted.end(), [](TRgb a, TRgb b) { return Morton(a) < Morton(b); });
    EXPECT_TRUE(std::equal(sorted.begin(), sorted.end(), palette.Colors.begin())) << what;

    std::string png = EncodeScreenshotPng(c.Width, c.Height, pic.Bits.data(), pic.Stride, TRowOrder::TopDown);
    std::vector<uint8_t> bottomUp = pic.BottomUpBits();
    EXPECT_TRUE(EncodeScreenshotPng(c.Width, c.Height, bottomUp.data(), pic.Stride, TRowOrder::BottomUp) == png)
        << what << ": bottom-up rows give another file";
    // Rows of a filter byte and width indices, even when width is 1 and the stride 4.
    std::string indices = ExpectScreenshotLayout(png, c.Width, c.Height, palette);
    ASSERT_EQ(indices.size(), size_t(c.Width) * c.Height) << what;

    fs::path file = dir.Path() / ("exact" + std::to_string(expected.size()) + ".png");
    WriteFile(file, png);
    expected.push_back({file, c.Width, c.Height, palette, PictureRgb(pic), what});
  }
  ExpectDecodersAgree(expected, dir.Path());
}

// Noise over all 256 indices barely compresses: the stream spans several IDAT chunks, all but the
// last exactly 262143 bytes. Bottom-up index rows give the same file.
TEST(ScreenshotPng, LargeStreamSplitsIntoFullIdatChunks) {
  const uint32_t width = 1100, height = 800;
  const size_t stride = 1104;
  std::mt19937 rng(3);
  std::vector<uint8_t> indices(stride * height);
  for (auto& i : indices) i = uint8_t(rng());
  TPalette palette;
  palette.Count = 256;
  for (auto& c : palette.Colors) c = {uint8_t(rng()), uint8_t(rng()), uint8_t(rng())};

  std::string png = EncodePalettePng(width, height, indices.data(), stride, palette);
  size_t idatChunks = 0;
  std::string written = ExpectScreenshotLayout(png, width, height, palette, &idatChunks);
  EXPECT_GE(idatChunks, 3u);
  std::string rgb;
  for (uint32_t y = 0; y < height; ++y) {
    for (uint32_t x = 0; x < width; ++x) {
      uint8_t index = indices[y * stride + x];
      ASSERT_EQ(uint8_t(written[y * width + x]), index);
      rgb += Rgb(palette.Colors[index]);
    }
  }
  std::vector<uint8_t> flipped(indices.size());
  for (uint32_t y = 0; y < height; ++y) std::copy_n(&indices[y * stride], stride, &flipped[(height - 1 - y) * stride]);
  EXPECT_TRUE(EncodePalettePng(width, height, flipped.data(), stride, palette, TRowOrder::BottomUp) == png)
      << "bottom-up rows give another file";

  TempDir dir;
  WriteFile(dir.Path() / "noise.png", png);
  ExpectDecodersAgree({{dir.Path() / "noise.png", width, height, palette, rgb, "noise"}}, dir.Path());
}

// A picture of more than 256 colours: the octree agrees with the pixels, the file carries its
// palette, and every pixel decodes to the palette colour nearest to the original.
TEST(ScreenshotPng, ManyColoursDecodeToTheNearestPaletteColour) {
  const uint32_t width = 97, height = 61;
  TPicture pic(width, height, 0x5A);
  std::mt19937 rng(11);
  for (uint32_t y = 0; y < height; ++y) {
    for (uint32_t x = 0; x < width; ++x) {
      pic.Set(x, y, {uint8_t(x * 2 + rng() % 8), uint8_t(y * 4 + rng() % 8), uint8_t((x + y) + rng() % 32)});
    }
  }
  ASSERT_GT(DistinctColors(pic).size(), 256u);
  TColorOctree tree;
  tree.AddImage(pic.View());
  ExpectOctreeAgreesWithPixels(pic, tree, "gradient");
  TPalette palette = tree.Palette();

  std::vector<uint8_t> bottomUp = pic.BottomUpBits();
  std::string png = EncodeScreenshotPng(width, height, bottomUp.data(), pic.Stride, TRowOrder::BottomUp);
  ExpectScreenshotLayout(png, width, height, palette);
  TempDir dir;
  WriteFile(dir.Path() / "gradient.png", png);
  ExpectDecodersAgree({{dir.Path() / "gradient.png", width, height, palette, NearestRgb(pic, palette), "gradient"}},
                      dir.Path());
}

// Which node merges is worked out by hand here. A 1-pixel-wide column, read bottom row first:
// blue 0 to 255 (two colours under each depth-7 node, 128 such nodes, 256 leaves), then red 1 at the
// top, a 257th leaf. The node to merge is the newest of the deepest list: the one of blue 254 and
// 255, which become their mean 254. (Read top row first, the newest would be that of blue 2 and 3.)
TEST(ColorOctree, MergesTheNewestNodeOfTheDeepestList) {
  TPicture pic(1, 257);
  pic.Set(0, 0, {1, 0, 0});
  for (uint32_t y = 1; y < 257; ++y) pic.Set(0, y, {0, 0, uint8_t(256 - y)});
  TColorOctree tree;
  tree.AddImage(pic.View());
  ExpectOctreeAgreesWithPixels(pic, tree, "column");
  TPalette palette = tree.Palette();
  ASSERT_EQ(palette.Count, 256u);
  std::vector<TRgb> want;
  for (int b = 0; b < 255; ++b) {
    want.push_back({0, 0, uint8_t(b)});
    if (b == 1) want.push_back({1, 0, 0});  // interleaved bits: red's lowest sorts after blue 1
  }
  EXPECT_TRUE(std::equal(want.begin(), want.end(), palette.Colors.begin()));
  EXPECT_EQ(palette.Colors[255], (TRgb{0, 0, 254}));
}

// Runs of equal pixels take a short cut in the tree; they must give what pixel-by-pixel insertion
// gives, reductions included.
TEST(ColorOctree, RunsEqualSinglePixels) {
  std::mt19937 rng(5);
  TColorOctree byRuns, byPixels;
  for (int i = 0; i < 4000; ++i) {
    TRgb c{uint8_t(rng()), uint8_t(rng()), uint8_t(rng())};
    uint64_t n = 1 + rng() % 5;
    byRuns.AddRun(c, n);
    for (uint64_t k = 0; k < n; ++k) byPixels.Add(c);
  }
  auto a = byRuns.Leaves(), b = byPixels.Leaves();
  ASSERT_EQ(a.size(), b.size());
  for (size_t i = 0; i < a.size(); ++i) {
    EXPECT_EQ(a[i].Path, b[i].Path);
    EXPECT_EQ(a[i].Depth, b[i].Depth);
    EXPECT_EQ(a[i].Count, b[i].Count);
    EXPECT_EQ(a[i].SumR + a[i].SumG + a[i].SumB, b[i].SumR + b[i].SumG + b[i].SumB);
  }
}

// A flat area of more than 2^32 / 255 pixels: colour sums past 32 bits must still give the colour.
TEST(ScreenshotPng, HugeFlatAreaKeepsItsColour) {
  const uint32_t side = 4200;  // 17 640 000 pixels; 255 * that exceeds 2^32
  const TRgb color{255, 254, 253};
  TPicture pic(side, side);
  for (size_t i = 0; i < pic.Bits.size(); i += 3) {
    pic.Bits[i] = color.B;
    pic.Bits[i + 1] = color.G;
    pic.Bits[i + 2] = color.R;
  }
  TPalette palette = ReduceColors(pic.View());
  ASSERT_EQ(palette.Count, 1u);
  EXPECT_EQ(palette.Colors[0], color);

  std::string png = EncodeScreenshotPng(side, side, pic.Bits.data(), pic.Stride, TRowOrder::TopDown);
  pic.Bits = {};
  TempDir dir;
  WriteFile(dir.Path() / "flat.png", png);
  std::string rgb(size_t(side) * side * 3, '\0');
  for (size_t i = 0; i < rgb.size(); i += 3) std::copy_n(Rgb(color).data(), 3, &rgb[i]);
  ExpectDecodersAgree({{dir.Path() / "flat.png", side, side, palette, rgb, "flat"}}, dir.Path());
}

// The mapping takes the exact nearest entry, the lowest index among equals, against an exhaustive
// search: palettes on a coarse grid (many exact ties), clustered ones, repeated entries, single
// entries, and colours from everywhere in the cube.
TEST(NearestColor, AgreesWithExhaustiveSearch) {
  std::mt19937 rng(17);
  for (int round = 0; round < 24; ++round) {
    TPalette palette;
    palette.Count = std::vector<uint32_t>{1, 2, 3, 17, 100, 256}[round % 6];
    for (uint32_t i = 0; i < palette.Count; ++i) {
      switch (round / 6) {
        case 0: palette.Colors[i] = {uint8_t(rng() % 5 * 60), uint8_t(rng() % 5 * 60), uint8_t(rng() % 5 * 60)}; break;
        case 1: palette.Colors[i] = {uint8_t(120 + rng() % 9), uint8_t(60 + rng() % 9), uint8_t(rng() % 9)}; break;
        case 2:  // pairs of equal entries
          palette.Colors[i] = i % 2 ? palette.Colors[i - 1] : TRgb{uint8_t(rng()), uint8_t(rng()), uint8_t(rng())};
          break;
        default: palette.Colors[i] = {uint8_t(rng()), uint8_t(rng()), uint8_t(rng())}; break;
      }
    }
    // Entries past Count are left black: they must never be chosen.
    TNearestColor nearest(palette);
    for (int k = 0; k < 20000; ++k) {
      TRgb c = k % 2 ? TRgb{uint8_t(rng()), uint8_t(rng()), uint8_t(rng())}
                     : TRgb{uint8_t(rng() % 9 * 30), uint8_t(rng() % 9 * 30), uint8_t(rng() % 9 * 30)};
      ASSERT_EQ(nearest(c), NearestByExhaustiveSearch(palette, c))
          << "round " << round << " colour " << int(c.R) << "," << int(c.G) << "," << int(c.B);
    }
  }
  // Exact ties between two greys, queried halfway: the far side of one entry's neighbourhood meets
  // the near side of the other's, and the lower index must still win.
  for (int gap = 2; gap <= 24; gap += 2) {
    for (int low = 0; low + gap <= 255; ++low) {
      for (bool lowFirst : {false, true}) {
        TPalette palette;
        palette.Count = 2;
        uint8_t a = uint8_t(lowFirst ? low : low + gap), b = uint8_t(lowFirst ? low + gap : low);
        palette.Colors[0] = {a, a, a};
        palette.Colors[1] = {b, b, b};
        uint8_t mid = uint8_t(low + gap / 2);
        ASSERT_EQ(TNearestColor(palette)({mid, mid, mid}), 0) << int(a) << " and " << int(b);
      }
    }
  }
}

// A few hundred random pictures through reduction and writing: random sizes, strides padded with
// garbage, both row orders, from true noise to a handful of colours. Every octree agrees with its
// pixels; every file decodes (PIL, one run for all) to the nearest palette colours, and to the
// original pixels when there were at most 256 colours.
TEST(ScreenshotPng, RandomPicturesDecodeAsExpected) {
  TempDir dir;
  std::vector<TExpected> expected;
  std::mt19937 rng(2024);
  for (int n = 0; n < 300; ++n) {
    uint32_t width = 1 + rng() % 64, height = 1 + rng() % 64;
    TPicture pic(width, height);
    for (auto& b : pic.Bits) b = uint8_t(rng());  // the padding keeps its garbage
    std::vector<TRgb> table(1 + rng() % 300);
    int kind = n % 3;
    for (auto& c : table) {
      c = kind == 2 ? TRgb{uint8_t(rng() % 6 * 51), uint8_t(rng() % 6 * 51), uint8_t(rng() % 6 * 51)}
                    : TRgb{uint8_t(rng()), uint8_t(rng()), uint8_t(rng())};
    }
    for (uint32_t y = 0; y < height; ++y) {
      for (uint32_t x = 0; x < width; ++x) {
        if (kind == 0) {
          pic.Set(x, y, {uint8_t(rng()), uint8_t(rng()), uint8_t(rng())});
        } else if (x > 0 && rng() % 4) {
          pic.Set(x, y, pic.At(x - 1, y));  // runs, as on a screen
        } else {
          pic.Set(x, y, table[rng() % table.size()]);
        }
      }
    }
    std::string what = "picture " + std::to_string(n) + " (" + std::to_string(width) + "x" + std::to_string(height) + ")";
    TColorOctree tree;
    tree.AddImage(pic.View());
    ExpectOctreeAgreesWithPixels(pic, tree, what);
    TPalette palette = tree.Palette();
    bool bottomUp = rng() % 2;
    std::vector<uint8_t> flipped = pic.BottomUpBits();
    std::string png = bottomUp ? EncodeScreenshotPng(width, height, flipped.data(), pic.Stride, TRowOrder::BottomUp)
                               : EncodeScreenshotPng(width, height, pic.Bits.data(), pic.Stride, TRowOrder::TopDown);
    ASSERT_EQ(png.compare(0, 8, "\x89PNG\r\n\x1a\n"), 0) << what;
    std::string rgb = NearestRgb(pic, palette);
    if (DistinctColors(pic).size() <= 256) {
      EXPECT_TRUE(rgb == PictureRgb(pic)) << what << ": at most 256 colours, yet not kept exactly";
    }
    fs::path file = dir.Path() / ("random" + std::to_string(n) + ".png");
    WriteFile(file, png);
    expected.push_back({file, width, height, palette, rgb, what});
  }
  ExpectDecodersAgree(expected, dir.Path());
}

TEST(ScreenshotPng, RefusesPicturesItCannotWrite) {
  uint8_t pixels[64] = {};
  TPalette palette;
  EXPECT_THROW(EncodePalettePng(0, 1, pixels, 4, palette), EPngError);
  EXPECT_THROW(EncodePalettePng(1, 0, pixels, 4, palette), EPngError);
  EXPECT_THROW(EncodePalettePng(5, 1, pixels, 4, palette), EPngError);
  EXPECT_THROW(EncodePalettePng(0x80000000u, 1, pixels, 0x80000000u, palette), EPngError);
  EXPECT_THROW(EncodeScreenshotPng(0, 0, pixels, 4, TRowOrder::BottomUp), EPngError);
  EXPECT_THROW(EncodeScreenshotPng(2, 2, pixels, 4, TRowOrder::BottomUp), EPngError);
  EXPECT_THROW(EncodeScreenshotPng(2, 2, nullptr, 8, TRowOrder::BottomUp), EPngError);
}

}  // namespace
