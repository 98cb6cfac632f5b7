#pragma once
// The report's screenshot as an 8-bit palette PNG: signature, IHDR, a PLTE of all 256 entries, the
// unfiltered rows deflated by zlib (level 9, window bits 15, memory level 8) into IDAT chunks of
// 262143 bytes (the last one shorter), IEND. Portable; the Windows side captures the screen and
// hands over the pixels.
#include <cstddef>
#include <cstdint>
#include <string>

#include "faultline/ui/color_reduction.h"
#include "rtl/exception.h"

// A picture that cannot be written (no pixels, a dimension PNG cannot hold, rows shorter than the
// width) or a failure of the compressor; the message says which.
class EPngError : public Exception {
 public:
  using Exception::Exception;
};

// Each IDAT chunk but the last holds exactly this many bytes of the zlib stream.
inline constexpr size_t kPngIdatChunkSize = 262143;

// The PNG file of a picture of palette indices, one byte per pixel. Rows are stride bytes apart and
// only their first width bytes are pixels. With TRowOrder::TopDown, indices points at the top row;
// with BottomUp at the bottom row, the first row in memory of a bottom-up 8-bit DIB. The PLTE
// chunk carries all 256 entries of palette.Colors, whatever palette.Count says.
std::string EncodePalettePng(uint32_t width, uint32_t height, const uint8_t* indices, size_t stride,
                             const TPalette& palette, TRowOrder order = TRowOrder::TopDown);

// The screenshot file of a 24-bit picture (blue, green, red per pixel; rows bgrStride bytes apart,
// of which the first 3 * width are pixels; order as above, and a DIB with a positive height is
// BottomUp): reduced to at most 256 colours by the octree, every pixel mapped to its nearest palette
// colour, written as EncodePalettePng writes. The rows are mapped as the compressor takes them, so
// no index copy of the whole picture is held.
std::string EncodeScreenshotPng(uint32_t width, uint32_t height, const uint8_t* bgr24, size_t bgrStride,
                                TRowOrder order);
