#include "faultline/ui/png_writer.h"

#include <zlib.h>

#include <algorithm>
#include <memory>
#include <vector>

#include "faultline/codecs/codecs.h"

namespace {

// PNG keeps its dimensions in 31 bits.
constexpr uint32_t kMaxDimension = 0x7FFFFFFFu;

void AppendBe32(std::string& out, uint32_t v) {
  char b[4] = {char(v >> 24), char(v >> 16), char(v >> 8), char(v)};
  out.append(b, 4);
}

void AppendChunk(std::string& out, const char* type, const uint8_t* data, size_t size) {
  AppendBe32(out, uint32_t(size));
  out.append(type, 4);
  if (size) out.append(reinterpret_cast<const char*>(data), size);
  AppendBe32(out, Crc32Update(Crc32Update(0, type, 4), data, size));
}

void CheckDimensions(uint32_t width, uint32_t height) {
  if (width == 0 || height == 0) {
    throw EPngError("a PNG picture needs at least one pixel, not " + std::to_string(width) + " x " +
                    std::to_string(height));
  }
  if (width > kMaxDimension || height > kMaxDimension) {
    throw EPngError("a PNG picture cannot be " + std::to_string(width) + " x " + std::to_string(height) +
                    " pixels");
  }
}

std::string CompressionError(int code) {
  switch (code) {
    case Z_MEM_ERROR: return "PNG compression failed: insufficient memory";
    case Z_STREAM_ERROR: return "PNG compression failed: stream error";
    case Z_VERSION_ERROR: return "PNG compression failed: incompatible zlib version";
    default: return "PNG compression failed: zlib error " + std::to_string(code);
  }
}

// deflateEnd in every outcome.
struct TDeflateStream {
  z_stream Z{};
  bool Open = false;
  ~TDeflateStream() {
    if (Open) deflateEnd(&Z);
  }
};

// Writes the whole file; fillRow(y, dst) puts the width indices of row y (from the top) at dst.
template <class FillRow>
std::string WritePng(uint32_t width, uint32_t height, const TPalette& palette, FillRow fillRow) {
  std::string out;
  // Screens compress to about a tenth of their pixels; the string grows if this one does not.
  out.reserve(1024 + std::min<size_t>(size_t(width) * height / 8, 4u << 20));
  static const uint8_t kSignature[8] = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
  out.append(reinterpret_cast<const char*>(kSignature), 8);

  uint8_t header[13] = {};
  for (int i = 0; i < 4; ++i) {
    header[i] = uint8_t(width >> (24 - 8 * i));
    header[4 + i] = uint8_t(height >> (24 - 8 * i));
  }
  header[8] = 8;   // bits per index
  header[9] = 3;   // palette colour
  header[10] = 0;  // deflate
  header[11] = 0;  // per-row filter bytes (all of them "none")
  header[12] = 0;  // not interlaced
  AppendChunk(out, "IHDR", header, sizeof header);

  uint8_t entries[256 * 3];
  for (size_t i = 0; i < 256; ++i) {
    entries[3 * i] = palette.Colors[i].R;
    entries[3 * i + 1] = palette.Colors[i].G;
    entries[3 * i + 2] = palette.Colors[i].B;
  }
  AppendChunk(out, "PLTE", entries, sizeof entries);

  TDeflateStream stream;
  z_stream& zs = stream.Z;
  int rc = deflateInit2(&zs, Z_BEST_COMPRESSION, Z_DEFLATED, 15, 8, Z_DEFAULT_STRATEGY);
  if (rc != Z_OK) throw EPngError(CompressionError(rc));
  stream.Open = true;

  // One fixed output buffer: each time it fills it becomes one IDAT chunk and starts over.
  std::unique_ptr<uint8_t[]> chunk(new uint8_t[kPngIdatChunkSize]);
  zs.next_out = chunk.get();
  zs.avail_out = uInt(kPngIdatChunkSize);
  auto flushFullChunk = [&] {
    AppendChunk(out, "IDAT", chunk.get(), kPngIdatChunkSize);
    zs.next_out = chunk.get();
    zs.avail_out = uInt(kPngIdatChunkSize);
  };
  auto deflateSome = [&](int flush) {
    rc = deflate(&zs, flush);
    if (rc != Z_OK && rc != Z_STREAM_END && rc != Z_BUF_ERROR) throw EPngError(CompressionError(rc));
    bool full = zs.avail_out == 0;
    if (full) flushFullChunk();
    // Z_BUF_ERROR with room on both sides would mean zlib can make no progress at all.
    if (rc == Z_BUF_ERROR && !full && (zs.avail_in != 0 || flush == Z_FINISH)) {
      throw EPngError(CompressionError(rc));
    }
  };

  // Rows go to the compressor a batch at a time (a filter byte 0, then the indices): one call of
  // deflate per row would cost more than the copying it saves.
  const size_t rowBytes = size_t(width) + 1;
  const size_t rowsPerBatch = std::max<size_t>(1, (64u << 10) / rowBytes);
  std::vector<uint8_t> batch(rowBytes * std::min<size_t>(rowsPerBatch, height));
  for (uint32_t y = 0; y < height;) {
    size_t filled = 0;
    for (size_t k = 0; k < rowsPerBatch && y < height; ++k, ++y) {
      batch[filled] = 0;
      fillRow(y, batch.data() + filled + 1);
      filled += rowBytes;
    }
    zs.next_in = batch.data();
    zs.avail_in = uInt(filled);
    while (zs.avail_in != 0) deflateSome(Z_NO_FLUSH);
  }
  do {
    deflateSome(Z_FINISH);
  } while (rc != Z_STREAM_END);
  size_t rest = kPngIdatChunkSize - zs.avail_out;
  if (rest) AppendChunk(out, "IDAT", chunk.get(), rest);

  AppendChunk(out, "IEND", nullptr, 0);
  return out;
}

}  // namespace

std::string EncodePalettePng(uint32_t width, uint32_t height, const uint8_t* indices, size_t stride,
                             const TPalette& palette, TRowOrder order) {
  CheckDimensions(width, height);
  if (!indices) throw EPngError("no palette indices to write");
  if (stride < width) throw EPngError("rows of palette indices are shorter than the picture's width");
  return WritePng(width, height, palette, [&](uint32_t y, uint8_t* dst) {
    uint32_t memoryRow = order == TRowOrder::TopDown ? y : height - 1 - y;
    std::copy_n(indices + size_t(memoryRow) * stride, width, dst);
  });
}

std::string EncodeScreenshotPng(uint32_t width, uint32_t height, const uint8_t* bgr24, size_t bgrStride,
                                TRowOrder order) {
  CheckDimensions(width, height);
  if (!bgr24) throw EPngError("no pixels to write");
  if (bgrStride / 3 < width) throw EPngError("rows of pixels are shorter than the picture's width");
  const TBgrView image{width, height, bgr24, bgrStride, order};
  const TPalette palette = ReduceColors(image);
  TNearestColor nearest(palette);
  return WritePng(width, height, palette,
                  [&](uint32_t y, uint8_t* dst) { nearest.MapRow(image.Row(y), width, dst); });
}
