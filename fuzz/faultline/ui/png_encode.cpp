// Screenshot encoding of arbitrary small pictures: the octree keeps at most 256 leaves that hold
// every pixel, the file is a PNG whose chunks add up, and its rows inflate to the index of the
// nearest palette colour of every pixel (checked against an exhaustive search).
// Input: width, height, flags (bit 0 bottom-up rows, bits 1-2 extra row padding, bit 3 pixels pick
// from a small colour table), table size, then pixel bytes, reused cyclically.
#include <zlib.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "faultline/ui/color_reduction.h"
#include "faultline/ui/png_writer.h"

namespace {

void Require(bool ok) {
  if (!ok) std::abort();
}

uint32_t Be32(const std::string& s, size_t at) {
  return uint32_t(uint8_t(s[at])) << 24 | uint32_t(uint8_t(s[at + 1])) << 16 | uint32_t(uint8_t(s[at + 2])) << 8 |
         uint8_t(s[at + 3]);
}

uint32_t Distance(TRgb a, TRgb b) {
  auto sq = [](int v) { return uint32_t(v * v); };
  return sq(a.R - b.R) + sq(a.G - b.G) + sq(a.B - b.B);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 4) return 0;
  const uint32_t width = 1 + data[0] % 40, height = 1 + data[1] % 40;
  const uint8_t flags = data[2];
  const TRowOrder order = flags & 1 ? TRowOrder::BottomUp : TRowOrder::TopDown;
  const size_t stride = width * 3 + ((flags >> 1) & 3);
  const uint8_t* source = data + 4;
  const size_t sourceSize = size - 4;
  auto byte = [&](size_t i) -> uint8_t { return sourceSize ? source[i % sourceSize] : 0; };

  // Every byte of the buffer, padding included, comes from the input: the padding must not count.
  std::vector<uint8_t> bits(stride * height);
  for (size_t i = 0; i < bits.size(); ++i) bits[i] = byte(i);
  if (flags & 8) {
    const size_t tableSize = 1 + data[3] % 16;
    for (uint32_t y = 0; y < height; ++y) {
      for (uint32_t x = 0; x < width; ++x) {
        size_t pick = byte(y * width + x) % tableSize;
        for (int k = 0; k < 3; ++k) bits[y * stride + x * 3 + k] = byte(pick * 3 + k + 7);
      }
    }
  }
  const TBgrView image{width, height, bits.data(), stride, order};
  auto pixel = [&](uint32_t x, uint32_t y) {
    const uint8_t* p = image.Row(y) + x * 3;
    return TRgb{p[2], p[1], p[0]};
  };

  TColorOctree tree;
  tree.AddImage(image);
  Require(tree.LeafCount() >= 1 && tree.LeafCount() <= 256);
  uint64_t pixels = 0;
  for (const auto& leaf : tree.Leaves()) {
    Require(leaf.Count > 0);
    pixels += leaf.Count;
  }
  Require(pixels == uint64_t(width) * height);
  const TPalette palette = tree.Palette();

  const std::string png = EncodeScreenshotPng(width, height, bits.data(), stride, order);
  Require(png.compare(0, 8, "\x89PNG\r\n\x1a\n", 8) == 0);

  // Chunks: lengths add up to the file, CRCs hold, IHDR, PLTE, IDAT..., IEND in that order.
  std::vector<std::string> types;
  std::string stream;
  size_t at = 8;
  while (at < png.size()) {
    Require(at + 12 <= png.size());
    const uint32_t length = Be32(png, at);
    Require(at + 12 + length <= png.size());
    Require(Be32(png, at + 8 + length) == crc32(0, reinterpret_cast<const Bytef*>(png.data() + at + 4), length + 4));
    types.push_back(png.substr(at + 4, 4));
    if (types.back() == "IDAT") stream.append(png, at + 8, length);
    at += 12 + length;
  }
  Require(types.size() >= 4 && types[0] == "IHDR" && types[1] == "PLTE" && types.back() == "IEND");
  for (size_t i = 2; i + 1 < types.size(); ++i) Require(types[i] == "IDAT");

  const size_t rowBytes = size_t(width) + 1;
  std::string rows(rowBytes * height + 1, '\0');
  uLongf rowsSize = uLongf(rows.size());
  Require(uncompress(reinterpret_cast<Bytef*>(rows.data()), &rowsSize, reinterpret_cast<const Bytef*>(stream.data()),
                     uLong(stream.size())) == Z_OK);
  Require(rowsSize == rowBytes * height);
  for (uint32_t y = 0; y < height; ++y) {
    Require(rows[y * rowBytes] == 0);
    for (uint32_t x = 0; x < width; ++x) {
      const uint8_t index = uint8_t(rows[y * rowBytes + 1 + x]);
      Require(index < palette.Count);
      const TRgb c = pixel(x, y);
      const uint32_t d = Distance(palette.Colors[index], c);
      for (uint32_t i = 0; i < palette.Count; ++i) {
        const uint32_t other = Distance(palette.Colors[i], c);
        Require(other > d || (other == d && i >= index));
      }
    }
  }
  return 0;
}
